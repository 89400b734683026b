#include "ui/singleinstance.h"

#include "common/privatefiles.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

namespace {
const QByteArray raisedReply = QByteArrayLiteral("raised\n");
constexpr int retryPauseMs = 50;
} // namespace

SingleInstance::SingleInstance(const QString &folder, QObject *parent)
    : QObject(parent),
      folder(folder),
      socketPath(folder + QStringLiteral("/.instance.socket")),
      lock(folder + QStringLiteral("/.instance.lock"))
{
    // Only a dead holder makes a lock stale, never its age: Orvane runs for days.
    lock.setStaleLockTime(0);
}

SingleInstance::Claim SingleInstance::claim(std::chrono::milliseconds patience)
{
    // A later start finds the folder made already and leaves it as it is.
    if (!QFileInfo(folder).isDir()) {
        const QString error = makePrivateFolder(folder);
        if (!error.isEmpty()) {
            qWarning() << "🚀" << Q_FUNC_INFO << folder << ":" << error;
            return Claim::First;
        }
    }
    const QDeadlineTimer deadline(patience);
    for (;;) {
        if (lock.tryLock(0)) {
            listen();
            return Claim::First;
        }
        if (lock.error() != QLockFile::LockFailedError) {
            qWarning() << "🚀" << Q_FUNC_INFO << "cannot make the lock file in" << folder
                       << "; a second Orvane would not be noticed";
            return Claim::First;
        }
        if (askRunningToRaise(deadline))
            return Claim::OtherRaised;
        if (deadline.hasExpired())
            return Claim::OtherSilent;
        // The holder is starting (not listening yet) or quitting (lock not yet released).
        QThread::msleep(retryPauseMs);
    }
}

bool SingleInstance::askRunningToRaise(const QDeadlineTimer &deadline) const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    // The running one answers when its event loop gets to the connection; one that is
    // quitting closes it unanswered.
    QByteArray reply;
    while (
        reply.size() < raisedReply.size()
        && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(int(deadline.remainingTime()))))
        reply += socket.read(raisedReply.size() - reply.size());
    return reply == raisedReply;
}

void SingleInstance::listen()
{
    // We hold the lock: a socket file still there was left by a run that crashed.
    QLocalServer::removeServer(socketPath);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, &SingleInstance::answerLaterStart);
    if (!server.listen(socketPath))
        qWarning() << "🚀" << Q_FUNC_INFO
                   << "a later start cannot reach this one:" << server.errorString();
    // The lock goes as soon as the event loop ends, so that an update's new copy, started
    // while this one quits, need not wait for its clean-up.
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &SingleInstance::release);
}

void SingleInstance::answerLaterStart()
{
    while (QLocalSocket *socket = server.nextPendingConnection()) {
        qDebug() << "🚀" << Q_FUNC_INFO
                 << "Orvane was started again: this window comes to the front";
        emit activationRequested();
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        socket->write(raisedReply);
        // Closes once the reply is written.
        socket->disconnectFromServer();
    }
}

void SingleInstance::release()
{
    server.close();
    lock.unlock();
}
