// What an oversized cloud reply costs the client: the cloud stand-in runs as a process of its
// own and offers an application (or a firmware image) far past the client's limit; the
// client signs in, and the bench prints how long the reply ran before it was cut off and the
// client's peak resident memory. A plain main: the requests are driven by the event loop.
//
// Usage: bench_cloud_limits application|firmware [MiB of the image, default 64 / 16]
#include "cloud/cloudendpoint.h"
#include "cloud/network.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace {

double peakMiB()
{
    struct rusage usage
    {
    };
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString what = argc > 1 ? QString::fromLatin1(argv[1]) : QStringLiteral("application");
    const bool firmware = what == QLatin1String("firmware");
    const int mib = argc > 2 ? QByteArray(argv[2]).toInt() : (firmware ? 16 : 64);
    if ((!firmware && what != QLatin1String("application")) || mib <= 0) {
        std::fprintf(stderr, "usage: bench_cloud_limits application|firmware [MiB]\n");
        return 2;
    }

    QTemporaryDir dir;
    const QString portFile = dir.filePath(QStringLiteral("port"));
    QStringList arguments {QStringLiteral("--certs"),     dir.filePath(QStringLiteral("certs")),
                           QStringLiteral("--data"),      dir.filePath(QStringLiteral("data")),
                           QStringLiteral("--port-file"), portFile,
                           QStringLiteral("--quiet")};
    if (firmware) {
        // 256-byte blocks behind the header; no application update on offer.
        arguments << QStringLiteral("--fw-blocks")
                  << QStringLiteral("%1,0").arg(qMin(mib * 4096, 65535))
                  << QStringLiteral("--no-update");
    } else {
        arguments << QStringLiteral("--app-size") << QString::number(qint64(mib) << 20)
                  << QStringLiteral("--chunked") << QStringLiteral("/orvane");
    }
    QProcess standin;
    standin.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    standin.start(QStringLiteral(ORVANE_STANDIN_PROGRAM), arguments);
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(portFile) && waited.elapsed() < 120000
           && standin.state() != QProcess::NotRunning)
        standin.waitForReadyRead(100);
    QFile port(portFile);
    if (!port.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "the cloud stand-in did not start\n");
        return 1;
    }

    CloudEndpoint endpoint;
    endpoint.baseUrl = QUrl(
        QStringLiteral("https://127.0.0.1:%1").arg(QString::fromLatin1(port.readAll().trimmed())));
    endpoint.extraCaCertificates =
        QSslCertificate::fromPath(dir.filePath(QStringLiteral("certs/ca.pem")));
    const double before = peakMiB();
    Network network(nullptr, endpoint);
    // The chain: sign-in, firmware check, and for the application the update check and the
    // download. An image past its limit ends its chain at the firmware reply.
    int finished = 0;
    bool done = false;
    QObject::connect(network.findChild<QNetworkAccessManager *>(), &QNetworkAccessManager::finished,
                     [&](QNetworkReply *) { ++finished; });
    QObject::connect(&network, &Network::preparationsDone, [&] { done = true; });
    QElapsedTimer clock;
    clock.start();
    network.sigIn(QStringLiteral("demo"), QStringLiteral("demo1234"));
    while (!done && !(firmware && finished >= 2) && clock.elapsed() < 600000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    std::printf("%s of %d MiB offered: the chain ended after %lld ms; peak resident memory "
                "%.1f MiB (%.1f MiB before the client started)\n",
                firmware ? "firmware image" : "application", mib, clock.elapsed(), peakMiB(),
                before);
    standin.terminate();
    standin.waitForFinished(10000);
    return 0;
}
