// The cloud stand-in on its own thread over real TLS, and a capture of what the client writes.
#pragma once

#include "cloud/cloudendpoint.h"
#include "common/appfolder.h"
#include "logging/logger.h"
#include "standin/server.h"
#include "testmain.h" // and with it QtCore

#include <QSslCertificate>

#include <memory>

namespace testsupport {

class StandinFixture
{
public:
    // Starts a new server with the scenario; the CA stays the same for the fixture's life.
    bool start(const standin::Scenario &scenario = standin::Scenario())
    {
        stop();
        const QString data = work.filePath(QStringLiteral("data%1").arg(++starts));
        running = std::make_unique<standin::Server>(
            scenario, work.filePath(QStringLiteral("certs")).toStdString(), data.toStdString());
        return running->start(0);
    }

    // Waits for the server's workers; delete or clear the client's idle connections first.
    void stop() { running.reset(); }

    bool isRunning() const { return running && running->isRunning(); }
    standin::Server &server() { return *running; }
    QString errorString() const
    {
        return running ? QString::fromStdString(running->errorString()) : QString();
    }

    QList<QSslCertificate> caCertificates() const
    {
        return running
            ? QSslCertificate::fromPath(QString::fromStdString(running->caCertificatePath()))
            : QList<QSslCertificate>();
    }

    CloudEndpoint endpoint(int transferTimeoutMs = CloudEndpoint::defaultTransferTimeoutMs) const
    {
        CloudEndpoint endpoint;
        if (running)
            endpoint.baseUrl = QUrl(QString::fromStdString(running->baseUrl()));
        endpoint.extraCaCertificates = caCertificates();
        endpoint.transferTimeoutMs = transferTimeoutMs;
        return endpoint;
    }

private:
    QTemporaryDir work;
    std::unique_ptr<standin::Server> running;
    int starts = 0;
};

// Logs to "app.log" and captures the debug stream (still passed on); one at a time.
class DiagnosticsCapture
{
public:
    DiagnosticsCapture()
    {
        QDir().mkpath(applicationFolderPath());
        logger = applog::Logger::createInstance(nullptr);
        logger->setLogFileName(applicationFilePath(QStringLiteral("app.log")), 64u << 20, 3);
        active = this;
        previous = qInstallMessageHandler(&DiagnosticsCapture::handler);
    }

    ~DiagnosticsCapture()
    {
        qInstallMessageHandler(previous);
        active = nullptr;
        delete logger;
    }

    // Closes (and so flushes) the log; every debug line captured, then the whole log file.
    QString finishAndReadEverything()
    {
        delete logger;
        const QByteArray log = readFile(applicationFilePath(QStringLiteral("app.log")));
        QMutexLocker lock(&mutex);
        return lines.join(QLatin1Char('\n')) + QLatin1Char('\n') + QString::fromUtf8(log);
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &where, const QString &text)
    {
        if (!active)
            return;
        {
            QMutexLocker lock(&active->mutex);
            active->lines << text;
        }
        if (active->previous)
            active->previous(type, where, text);
    }

    inline static DiagnosticsCapture *active = nullptr;

    QPointer<applog::Logger> logger;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList lines;
};

} // namespace testsupport
