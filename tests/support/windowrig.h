// A real MainWindow wired to the emulated Brevia on a pty and to the cloud stand-in over
// HTTPS, for the window's suites. Header-only: the suites that include it link
// brevia_emulator and cloud_standin.
#pragma once

#include "common/appfolder.h"
#include "emulatorfixture.h"
#include "ui/mainwindow.h"
#include "messageboxhelper.h"
#include "standinfixture.h"
#include "testmain.h"
#include "ui/roundprogressbar.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace testsupport {

// A cloud that offers firmware 1400 and no newer application (7.4 is the running version).
inline standin::Scenario quietCloud()
{
    standin::Scenario scenario;
    scenario.firmwareVersion = 1400;
    scenario.appVersionMinor = 4;
    return scenario;
}

// A device in working mode with firmware 1310 and, when asked, two sessions of data.
inline brevia::Scenario breviaWith(int sessions, int firmwareVersion = 1310)
{
    brevia::Scenario scenario;
    scenario.firmwareVersion = firmwareVersion;
    for (int i = 0; i < sessions; ++i) {
        brevia::SessionSpec session;
        session.startTime = 1700000000u + 3600u * unsigned(i);
        session.records = uint16_t(30 + 5 * i);
        scenario.sessions.push_back(session);
    }
    return scenario;
}

inline const QString bleName = QStringLiteral("K217-C8F09E4D21A7");

inline int requestCount(const standin::Server &server, const std::string &method,
                        const std::string &path)
{
    int n = 0;
    for (const standin::RequestRecord &record : server.requests()) {
        if (record.method == method && record.path == path)
            ++n;
    }
    return n;
}

// Forgets everything a window left in the test's HOME: the stored sign-in, the firmware
// image, the downloaded application and session files.
inline void forgetUserState()
{
    QDir(testHome() + QStringLiteral("/.config")).removeRecursively();
    QFile::remove(applicationFolderPath()); // a test may have put a file in its place
    QDir(applicationFolderPath()).removeRecursively();
    QDir().mkpath(applicationFolderPath());
}

class WindowRig
{
public:
    WindowRig(StandinFixture &cloud, const brevia::Scenario &deviceScenario)
        : cloud(cloud), device(deviceScenario)
    { }

    ~WindowRig()
    {
        window.reset();
        // The client's idle connections go with the window: nothing keeps the server busy.
    }

    bool startDevice() { return device.start(); }

    MainWindow *open()
    {
        window = std::make_unique<MainWindow>(nullptr, cloud.endpoint(), device.lister());
        window->show();
        return window.get();
    }

    template<class T = QWidget>
    T *w(const char *name) const
    {
        T *found = window->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    QLabel *label(const char *name) const { return w<QLabel>(name); }
    QPushButton *button(const char *name) const { return w<QPushButton>(name); }
    RoundProgressBar *bar(const char *name) const { return w<RoundProgressBar>(name); }
    bool shown(const char *name) const { return w(name)->isVisibleTo(window.get()); }

    void typeAndSignIn(const QString &user, const QString &pass)
    {
        w<QLineEdit>("lineEdit_user")->setText(user);
        w<QLineEdit>("lineEdit_pass")->setText(pass);
        button("button_signin")->click();
    }

    // Signed in and the cloud's firmware information handled (the image is written just
    // before the window is told).
    // The application update check that follows is awaited too, so that no request is
    // still on its way when the test goes on or ends.
    bool signIn(const QString &user = QStringLiteral("demo"),
                const QString &pass = QStringLiteral("demo1234"))
    {
        const int checks = requestCount(cloud.server(), "GET", "/api/orvane/checkUpdate");
        typeAndSignIn(user, pass);
        return waitSignedIn(checks);
    }

    bool waitSignedIn(int updateChecksBefore)
    {
        return QTest::qWaitFor(
            [&] {
                return button("button_signin")->text() == QLatin1String("Sign out")
                    && QFile::exists(applicationFilePath(QStringLiteral("rev.bin")))
                    && requestCount(cloud.server(), "GET", "/api/orvane/checkUpdate")
                    > updateChecksBefore;
            },
            15000);
    }

    // The device panel shows an identified device (the waiting animation is gone and the
    // firmware version is filled in).
    bool waitForDevicePanel(int timeoutMs = 10000)
    {
        return QTest::qWaitFor(
            [&] {
                return !shown("label_indicator")
                    && label("label_fw")->text() != QLatin1String("Firmware version:");
            },
            timeoutMs);
    }

    // Pairing requests answered so far; every identification while signed in (with the
    // firmware information in) sends one, and a test awaits it before it ends.
    int pairings() const { return requestCount(cloud.server(), "PUT", "/api/device/pairDevice"); }
    bool waitForPairings(int count, int timeoutMs = 10000) const
    {
        return QTest::qWaitFor([&] { return pairings() >= count; }, timeoutMs);
    }

    StandinFixture &cloud;
    EmulatorFixture device;
    std::unique_ptr<MainWindow> window;
};

} // namespace testsupport
