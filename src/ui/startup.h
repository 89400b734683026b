// The steps of start-up that main() takes around the window: one instance per user, the
// application's identity and icon, its folder and a fresh log.
#pragma once

#include <QDir>

#include <optional>

class QObject;
class QWidget;
class SingleInstance;
namespace applog {
class Logger;
}

// Claims the user's one instance. When another Orvane runs already, says so on standard
// error and returns the exit code this start ends with: 0 when that one brought its window to
// the front, 1 when it did not answer. Returns nothing when this start goes on.
std::optional<int> endIfAlreadyRunning(SingleInstance *instance);

// Shows the window in front of the others, restored when it was minimised: the answer to a
// later start.
void bringToFront(QWidget *window);

// The window draws everything itself, without OpenGL; on X11 Qt would still load the GL
// libraries at start (tens of MiB held for nothing). Call before the application object
// exists; a QT_XCB_GL_INTEGRATION the user set is left alone.
void skipOpenGlIntegration();

// Name "Orvane", the build's version ("7.4"), organization "KESTRANE TECHNOLOGIES, Inc.".
void setApplicationIdentity();

// The icon of every window (the maker's mark at 48, 64 and 128 pixels), from the compiled-in
// resources. Needs the QApplication.
void setApplicationIcon();

// The application folder (home + "/orvane"), created when missing. The previous run's
// "app.log" becomes "app.previous.log" (owner-only, replacing the one before), so that the
// log of a run that crashed survives the next start while the log of this run begins with
// it; the rolled generations of earlier runs stay.
QDir prepareApplicationFolder();

// Creates the process's logger, owned by parent, writing "app.log" in the folder (rolled at
// 10000000 bytes, at most 20 files).
applog::Logger *startApplicationLog(QObject *parent, const QDir &folder);
