// The steps of start-up that main() takes after the window exists: the application's
// identity, its folder and a fresh log.
#pragma once

#include <QDir>

class QObject;
namespace applog {
class Logger;
}

// Name "Orvane", the build's version ("7.4"), organization "KESTRANE TECHNOLOGIES, Inc.".
void setApplicationIdentity();

// The application folder (home + "/orvane"), created when missing, with the previous run's
// "app.log" removed so that the log of a run begins with that run; the rolled generations
// of earlier runs stay.
QDir prepareApplicationFolder();

// Creates the process's logger, owned by parent, writing "app.log" in the folder (rolled at
// 10000000 bytes, at most 20 files).
applog::Logger *startApplicationLog(QObject *parent, const QDir &folder);
