#include "ui/commandline.h"

#include "buildconfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int refusedExitCode = 2;

// The options QGuiApplication and QApplication read themselves (and remove from argv).
const char *const qtOptionsWithValue[] = {
    "platform",
    "platformpluginpath",
    "platformtheme",
    "plugin",
    "qwindowgeometry",
    "geometry",
    "qwindowicon",
    "qwindowtitle",
    "session",
    "display",
    "name",
    "style",
    "stylesheet",
    "qmljsdebugger",
};
const char *const qtFlags[] = {"reverse", "widgetcount", "nograb", "dograb"};

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

std::optional<int> answerCommandLine(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The desktop companion of the Brevia: uploads its health data to "
                       "Kestrane's cloud and keeps its firmware up to date."));
    // Qt's options are written with one dash ("-platform offscreen").
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the name and version and exits."));
    parser.addOption(help);
    parser.addOption(version);
    for (const char *name : qtOptionsWithValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : qtFlags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    // Arguments that are not options are left alone, as QApplication leaves them: a restart
    // after an update passes the program's own path again.

    if (!parser.parse(arguments)) {
        print(stderr,
              QStringLiteral("Orvane: %1\nTry \"Orvane --help\" for the options.\n")
                  .arg(parser.errorText()));
        return refusedExitCode;
    }
    if (parser.isSet(help)) {
        // The help text names the program as it was started, which needs an application
        // object; one without a window needs no display.
        QCoreApplication application(argc, argv);
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("Orvane %1\n").arg(QLatin1String(buildconfig::appVersion)));
        return 0;
    }
    return std::nullopt;
}
