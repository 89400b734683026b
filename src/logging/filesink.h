// A log sink that writes one role's records to a text file and rolls the file into numbered
// generations (name_01.log newest ... name_NN.log oldest) once it has grown past a size.
#pragma once

#include "sink.h"

#include <QFile>
#include <QTimer>

#include <memory>

namespace applog {

class FileSink : public Sink
{
    Q_OBJECT

public:
    FileSink(QObject *parent, const QString &role);
    ~FileSink() override;

    // The name must end in ".log". The size is clamped to at least 100 bytes, the number of
    // generations to 1..99. Returns whether the file could be opened.
    bool setLogFileName(const QString &fileName, unsigned int rotationSize, unsigned int maxFiles);

    QString role() const { return roleName; }
    QString fileName() const { return logFileName; }
    bool isLogFileOpen() const { return logFile != nullptr; }

    // Name of generation n of the log file (1 is the newest).
    QString generationFileName(unsigned int generation) const;

public slots:
    void slotLog(const QString &timeStamp, const QString &threadId, const QString &text,
                 applog::LogLevel level, const QString &function, const QString &file,
                 unsigned int line);
    void slotCheckLogFileActivity();

private:
    bool checkLogFileOpen();
    void checkLogFileRolling();
    void closeLogFile();
    void writeInternal(const QString &text);
    bool moveFile(const QString &from, const QString &to);

    QString roleName;
    QString logFileName;
    quint32 rotationSize = 0;
    quint32 maxFiles = 0;
    std::unique_ptr<QFile> logFile;
    bool activity = false;
    bool started = false;
    // One timer for the activity check, so that reopening never stacks a second check.
    QTimer activityTimer;
};

} // namespace applog
