// A real MainWindow and what a person does with it: WindowDriver reaches its widgets by name;
// WindowRig adds the emulated Brevia on a pty and the cloud stand-in in this process.
#pragma once

#include "emulatorfixture.h"
#include "messageboxhelper.h"
#include "standinfixture.h" // and the test helpers
#include "ui/mainwindow.h"
#include "ui/roundprogressbar.h"

#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace testsupport {

inline const QString bleName = QStringLiteral("K217-C8F09E4D21A7"); // the emulator's default
inline const QString syncDoneText = QStringLiteral("Health data synchronization\nis done!");

inline QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

// A cloud that offers firmware 1400 and no newer application (7.4 is the running version).
inline standin::Scenario quietCloud()
{
    standin::Scenario scenario;
    scenario.firmwareVersion = 1400;
    scenario.appVersionMinor = 4;
    return scenario;
}

// A device in working mode holding `sessions` sessions of 30, 35, 40... records.
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

inline standin::Scenario cloudRefusingPairing()
{
    standin::Scenario scenario = quietCloud();
    scenario.statusOverrides["/api/device/pairDevice"] = 500;
    scenario.bodyOverrides["/api/device/pairDevice"] = "";
    return scenario;
}

inline int requestCount(const standin::Server &server, const std::string &method,
                        const std::string &path)
{
    int n = 0;
    for (const standin::RequestRecord &record : server.requests())
        n += record.method == method && record.path == path;
    return n;
}

// Forgets what a window left in the test's HOME: the stored sign-in and the application folder.
inline void forgetUserState()
{
    QDir(testHome() + QStringLiteral("/.config")).removeRecursively();
    QFile::remove(applicationFolderPath()); // a test may have put a file in its place
    QDir(applicationFolderPath()).removeRecursively();
    QDir().mkpath(applicationFolderPath());
}

// The moment each upload the stand-in stored was answered, on the emulator's clock.
struct AnsweredUpload
{
    brevia::TimePoint at;
    size_t stored = 0; // index into storedUploads()
    bool confirmed = false; // 200 with the body "true"
};

class UploadClock
{
public:
    explicit UploadClock(standin::Server &server) : server(server)
    {
        server.setRequestObserver([this](const standin::RequestRecord &record) {
            const auto stored = [](const std::string &note) {
                return note.rfind("stored as", 0) == 0 || note.rfind("an upload named", 0) == 0;
            };
            if (record.path != "/api/medical/vitals/save"
                || std::none_of(record.notes.begin(), record.notes.end(), stored))
                return;
            QMutexLocker lock(&mutex);
            answered.push_back({brevia::Clock::now(), answered.size(),
                                record.status == 200 && record.replyBody == "true"});
        });
    }
    ~UploadClock() { server.setRequestObserver({}); }
    std::vector<AnsweredUpload> uploads() const
    {
        QMutexLocker lock(&mutex);
        return answered;
    }

private:
    standin::Server &server;
    mutable QMutex mutex;
    std::vector<AnsweredUpload> answered;
};

class WindowDriver
{
public:
    MainWindow *open(const CloudEndpoint &endpoint, PortLister ports)
    {
        window = std::make_unique<MainWindow>(nullptr, endpoint, std::move(ports));
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
    bool shown(const char *name) const { return w(name)->isVisibleTo(window.get()); }
    QString text(const char *name) const { return label(name)->text(); }
    // The cloud panel's warning; empty while none is shown.
    QString warning() const
    {
        return shown("label_cloud_worning") ? text("label_cloud_worning") : QString();
    }

    void typeAndSignIn(const QString &user, const QString &pass)
    {
        w<QLineEdit>("lineEdit_user")->setText(user);
        w<QLineEdit>("lineEdit_pass")->setText(pass);
        button("button_signin")->click();
    }

    // The device panel shows an identified device: no waiting animation, its firmware filled in.
    bool waitForDevicePanel(int timeoutMs = 15000) const
    {
        return QTest::qWaitFor(
            [&] {
                return !shown("label_indicator")
                    && text("label_fw") != QLatin1String("Firmware version:");
            },
            timeoutMs);
    }

    std::unique_ptr<MainWindow> window;
};

class WindowRig : public WindowDriver
{
public:
    WindowRig(StandinFixture &cloud, const brevia::Scenario &deviceScenario)
        : cloud(cloud), device(deviceScenario)
    { }
    ~WindowRig() { window.reset(); }

    bool startDevice() { return device.start(); }
    MainWindow *open() { return WindowDriver::open(cloud.endpoint(), device.lister()); }

    // Signed in, with the firmware handled and the update check answered: no request on its way.
    bool signIn(const QString &user = QStringLiteral("demo"),
                const QString &pass = QStringLiteral("demo1234"))
    {
        const int checks = requestCount(cloud.server(), "GET", "/api/orvane/checkUpdate");
        typeAndSignIn(user, pass);
        return QTest::qWaitFor(
            [&] {
                return button("button_signin")->text() == QLatin1String("Sign out")
                    && QFile::exists(applicationFilePath(QStringLiteral("rev.bin")))
                    && requestCount(cloud.server(), "GET", "/api/orvane/checkUpdate") > checks;
            },
            15000);
    }

    // Pairing requests answered; a test awaits its last one so that none is on its way at the end.
    int pairings() const { return requestCount(cloud.server(), "PUT", "/api/device/pairDevice"); }
    bool waitForPairings(int count, int timeoutMs = 10000) const
    {
        return QTest::qWaitFor([&] { return pairings() >= count; }, timeoutMs);
    }

    bool readyToUpload()
    {
        return signIn() && startDevice() && waitForDevicePanel()
            && QTest::qWaitFor([&] { return shown("button_cloud_upload"); }, 15000);
    }

    StandinFixture &cloud;
    EmulatorFixture device;
};

} // namespace testsupport
