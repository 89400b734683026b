// Proof that a downloaded application is the Orvane the cloud offered, for this computer,
// before it is kept or installed: its header says it is a program of the running program's
// format and processor, and started as a child with "--version" it answers "Orvane X.Y" for
// the version offered. The child runs from a private scratch folder that is also its HOME,
// with a clean environment (HOME, TMPDIR, PATH and the offscreen Qt platform) and no input,
// and is killed (with everything it started) when it has not ended within the time limit.
// The scratch folder goes with the proof.
#pragma once

#include "common/executableheader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>

class QProcess;
class QTemporaryDir;
class QTimer;

class ProgramProof : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultTimeLimitMs = 5000;

    explicit ProgramProof(QObject *parent = nullptr);
    ~ProgramProof() override;

    // Seams: the time the child has (5 s), the kind of program this computer runs (the
    // running program's own), where the scratch folder is made (the application folder).
    void setTimeLimit(int ms) { timeLimitMs = ms; }
    void setRunningProgram(const executable::Identity &identity) { running = identity; }
    void setScratchParent(const QString &folder) { scratchParent = folder; }

    // Starts proving that the bytes, or a copy of the file, are Orvane versionMajor.versionMinor.
    // finished() follows once, always after the call has returned. One proof per object.
    void start(const QByteArray &program, int versionMajor, int versionMinor);
    void startWithFile(const QString &path, int versionMajor, int versionMinor);

    // Runs the event loop, user input held back, until finished() was emitted.
    void waitForFinished();

    bool isFinished() const { return done; }
    bool proven() const { return done && reason.isEmpty(); }
    // Why the program was refused, in plain words for the user; empty when proven.
    QString refusal() const { return reason; }
    // What was found, for the log.
    QString details() const { return detail; }
    // The copy that was proven; it stays as it is while this object lives.
    QString provenFile() const { return proven() ? candidatePath : QString(); }
    qint64 elapsedMs() const { return elapsed; }

signals:
    void finished();

private:
    bool begin(int versionMajor, int versionMinor);
    bool prepareScratch();
    void examine();
    void childEnded();
    void finish(const QString &why, const QString &what);
    void killChildren();

    int timeLimitMs = defaultTimeLimitMs;
    executable::Identity running;
    QString scratchParent;

    QByteArray expectedAnswer; // "Orvane 7.5"
    std::unique_ptr<QTemporaryDir> scratch;
    QString candidatePath;
    QProcess *child = nullptr;
    QTimer *limit = nullptr;
    qint64 childPid = 0;
    QByteArray output;
    bool timedOut = false;
    bool started = false;
    bool done = false;
    bool announced = false; // finished() was emitted
    QString reason;
    QString detail;
    QElapsedTimer clock;
    qint64 elapsed = 0;
};
