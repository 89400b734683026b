// One Orvane per user. The first start holds a lock file in the application folder and
// listens on a local socket beside it; a later start asks that one to bring its window to the
// front and ends before it changes anything (the log, the settings, the folder's files).
#pragma once

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>

class SingleInstance : public QObject
{
    Q_OBJECT

public:
    enum class Claim {
        First, // no other Orvane runs for this folder: this one goes on
        OtherRaised, // another one runs and brought its window to the front
        OtherSilent, // another one holds the lock but did not answer in time
    };

    // `folder` is the application folder: the lock ".instance.lock" and the socket
    // ".instance.socket" live there, as private as the folder.
    explicit SingleInstance(const QString &folder, QObject *parent = nullptr);

    // Takes the lock and listens for later starts, or asks the running Orvane to come to the
    // front. A lock left by a run that crashed is taken over. Waits up to `patience` for a
    // running one that does not answer: an update's restart starts the new copy while the
    // old one is still quitting. When the lock cannot be made at all, this start goes on
    // (First) and says why on the debug stream: better two windows than none.
    Claim claim(std::chrono::milliseconds patience = std::chrono::seconds(10));

signals:
    // A later start asked this one to bring its window to the front.
    void activationRequested();

private:
    bool askRunningToRaise(const QDeadlineTimer &deadline) const;
    void listen();
    void answerLaterStart();
    void release();

    QString folder;
    QString socketPath;
    QLockFile lock;
    QLocalServer server;
};
