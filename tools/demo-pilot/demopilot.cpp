// Walks one complete sync through the real window, as a person would: types the credentials,
// presses "Sign in", presses "Upload to cloud" once the device shows its data, waits for the
// transfer, then presses "Update" and waits until the flashed device is back. It saves a
// screenshot of the window after each step. The window, the device link and the cloud client
// are the ones Orvane runs, built with this build's cloud address and extra port.
//
// With --update-target FILE it also answers Yes when the cloud offers a newer Orvane after the
// sign-in: the update is proven and installed over FILE (a copy of Orvane, since the pilot is
// not Orvane's own file), the old one kept beside it. Where Orvane would then quit and start
// the new version, the pilot says so and walks on.

#include "ui/highdpi.h"
#include "ui/mainwindow.h"
#include "ui/startup.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>
#include <QtTest>

#include "ui/roundprogressbar.h"

#include <cstdio>
#include <functional>

namespace {

QTextStream out(stdout);

struct Options
{
    QString user;
    QString password;
    QString screenshots;
    QString updateTarget;
    int stepTimeoutS = 120;
};

bool parseOptions(const QStringList &args, Options &options, QString &error)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        auto value = [&](QString &target) {
            if (i + 1 >= args.size()) {
                error = arg + QStringLiteral(" needs a value");
                return false;
            }
            target = args.at(++i);
            return true;
        };
        QString number;
        if (arg == QLatin1String("--user")) {
            if (!value(options.user))
                return false;
        } else if (arg == QLatin1String("--password")) {
            if (!value(options.password))
                return false;
        } else if (arg == QLatin1String("--screenshots")) {
            if (!value(options.screenshots))
                return false;
        } else if (arg == QLatin1String("--update-target")) {
            if (!value(options.updateTarget))
                return false;
        } else if (arg == QLatin1String("--step-timeout")) {
            if (!value(number))
                return false;
            bool ok = false;
            options.stepTimeoutS = number.toInt(&ok);
            if (!ok || options.stepTimeoutS < 1) {
                error = QStringLiteral("--step-timeout takes a number of seconds");
                return false;
            }
        } else {
            error = QStringLiteral("unknown option ") + arg;
            return false;
        }
    }
    if (options.user.isEmpty() || options.screenshots.isEmpty()) {
        error = QStringLiteral("--user and --screenshots are required");
        return false;
    }
    return true;
}

class Pilot
{
public:
    Pilot(MainWindow &window, const Options &options) : window(window), options(options) { }

    int run()
    {
        QDir().mkpath(options.screenshots);
        if (!options.updateTarget.isEmpty()) {
            window.setApplicationUpdateTarget(options.updateTarget);
            window.setRestartHandler([this] {
                updateInstalled = true;
                say(QStringLiteral("application update installed over ") + options.updateTarget
                    + QStringLiteral("; Orvane would now quit and start it, the walk goes on"));
            });
            QObject::connect(&updateWatch, &QTimer::timeout, [this] { answerUpdate(); });
            updateWatch.start(100);
        }

        if (!step("the window shows the device", [&] { return deviceShown(); }))
            return 1;
        shoot("01-device-found");

        type(QStringLiteral("lineEdit_user"), options.user);
        type(QStringLiteral("lineEdit_pass"), options.password);
        shoot("02-credentials-typed");
        click(QStringLiteral("button_signin"));
        if (!step("signed in, the device paired and its data offered for upload",
                  [&] { return visible("button_cloud_upload"); }))
            return 1;
        say(QStringLiteral("signed in as ") + options.user);
        shoot("03-signed-in");

        click(QStringLiteral("button_cloud_upload"));
        if (!step("the transfer runs", [&] {
                return bar("roundBarCloud")->format() == QLatin1String("Syncing");
            }))
            return 1;
        shoot("04-syncing");
        if (!step("every session uploaded and the device erased", [&] {
                return text("label_cloud_main").startsWith(QLatin1String("Health data synchronization"));
            }))
            return 1;
        say(QStringLiteral("health data synchronized: ") + text("label_cloud_used"));
        shoot("05-synchronized");

        if (!step("the restarted device identified and a firmware update offered",
                  [&] { return visible("button_update"); }))
            return 1;
        say(QStringLiteral("firmware update offered: ") + text("label_fw_version"));
        shoot("06-update-offered");
        if (!startFlashing())
            return 1;
        shoot("07-flashing");
        if (!step("the flashed device is back and up to date", [&] {
                return text("label_fw_main") == QLatin1String("Your Brevia's firmware is up to date.");
            }))
            return 1;
        say(QStringLiteral("device back with ") + text("label_fw"));
        shoot("08-up-to-date");
        if (!options.updateTarget.isEmpty()
            && !step("the application update installed", [&] { return updateInstalled; }))
            return 1;
        // The device found again is paired again; let that request finish before the window
        // closes, as a person would not close it in the same instant.
        QTest::qWait(1500);
        return 0;
    }

private:
    // Presses "Update". A question about data on the device is answered Yes; while the
    // restarted device is still being found the window says it is busy and to try later,
    // and the walk does so, as a person would.
    bool startFlashing()
    {
        for (int attempt = 1; attempt <= 10; ++attempt) {
            busySaid = false;
            QTimer::singleShot(0, [this] { answerBoxes(); });
            click(QStringLiteral("button_update"));
            if (!busySaid)
                return step("the firmware is written", [&] { return visible("roundBarFW"); });
            say(QStringLiteral("the device is busy; trying again shortly"));
            QTest::qWait(2000);
            if (!step("the firmware update offered again", [&] { return visible("button_update"); }))
                return false;
        }
        say(QStringLiteral("FAILED: the device stayed busy"));
        shoot("failed");
        return false;
    }

    // The application update's boxes: the offer is answered Yes, a refusal is reported.
    void answerUpdate()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (box->text() == QLatin1String("A new version of Orvane app is available.")) {
            say(QStringLiteral("application update offered: ") + box->informativeText());
            const QString path =
                QDir(options.screenshots).filePath(QStringLiteral("03b-application-update.png"));
            box->grab().save(path);
            say(QStringLiteral("screenshot ") + path);
            if (QAbstractButton *yes = box->button(QMessageBox::Yes))
                yes->click();
            else
                box->accept();
        } else if (box->text() == QLatin1String("The update could not be installed.")) {
            say(QStringLiteral("FAILED: the application update was refused: ")
                + box->informativeText());
            box->accept();
        }
    }

    void answerBoxes()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (box->text().contains(QLatin1String("busy"))) {
            busySaid = true;
            box->accept();
            return;
        }
        if (QAbstractButton *yes = box->button(QMessageBox::Yes))
            yes->click();
        else
            box->accept();
        // A second box (busy) may follow the question.
        QTimer::singleShot(0, [this] { answerBoxes(); });
    }

    template<typename T = QWidget>
    T *widget(const QString &name) const
    {
        return window.findChild<T *>(name);
    }
    QString text(const char *name) const
    {
        auto *label = widget<QLabel>(QLatin1String(name));
        return label ? label->text() : QString();
    }
    bool visible(const char *name) const
    {
        auto *w = widget(QLatin1String(name));
        return w && w->isVisible();
    }
    RoundProgressBar *bar(const char *name) const
    {
        return widget<RoundProgressBar>(QLatin1String(name));
    }
    bool deviceShown() const { return text("label_mac").size() > QStringLiteral("BLE ID:  ").size(); }

    void type(const QString &name, const QString &text)
    {
        auto *edit = widget<QLineEdit>(name);
        QTest::mouseClick(edit, Qt::LeftButton);
        QTest::keyClicks(edit, text);
    }
    void click(const QString &name) { QTest::mouseClick(widget<QPushButton>(name), Qt::LeftButton); }

    bool step(const QString &what, const std::function<bool()> &done)
    {
        say(QStringLiteral("waiting: ") + what);
        if (QTest::qWaitFor(done, options.stepTimeoutS * 1000))
            return true;
        say(QStringLiteral("FAILED: no sign within %1 s that %2").arg(options.stepTimeoutS).arg(what));
        shoot("failed");
        return false;
    }

    void shoot(const char *name)
    {
        const QString path = QDir(options.screenshots).filePath(QLatin1String(name) + QLatin1String(".png"));
        window.grab().save(path);
        say(QStringLiteral("screenshot ") + path);
    }

    static void say(const QString &line)
    {
        out << "pilot: " << line << Qt::endl;
    }

    MainWindow &window;
    const Options &options;
    bool busySaid = false;
    bool updateInstalled = false;
    QTimer updateWatch;
};

} // namespace

int main(int argc, char *argv[])
{
    enableHighDpiScaling(); // as main() does
    QApplication application(argc, argv);
    Options options;
    QString error;
    if (!parseOptions(application.arguments(), options, error)) {
        std::fprintf(stderr, "orvane-demo-pilot: %s\nUsage: orvane-demo-pilot --user NAME "
                             "--password PASS --screenshots DIR [--update-target FILE] "
                             "[--step-timeout S]\n",
                     qPrintable(error));
        return 2;
    }

    // The same start-up as Orvane's own.
    MainWindow window;
    setApplicationIdentity();
    const QDir folder = prepareApplicationFolder();
    startApplicationLog(&application, folder);
    window.show();

    int result = 1;
    QTimer::singleShot(0, [&] {
        Pilot pilot(window, options);
        result = pilot.run();
        window.close();
    });
    application.exec();
    return result;
}
