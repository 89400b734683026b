#include "device/syncledger.h"

#include <algorithm>

void SyncLedger::begin(const QString &deviceUid, quint64 generation,
                       const devicecodec::SessionTable &rows,
                       const devicecodec::SessionTable &inCloud, const InFlight &inFlight)
{
    clear();
    running = true;
    uid = deviceUid;
    linkGeneration = generation;
    for (const devicecodec::SessionRow &row : rows) {
        Session session;
        session.startTime = row.value(0);
        session.records = row.value(1);
        session.fileName = QString::number(session.startTime) + QLatin1String("000");
        session.expectedFileSize = qint64(session.records) * fileRecordSize;
        if (inCloud.contains(row))
            session.upload = Upload::ConfirmedEarlier;
        for (const auto &flying : inFlight) {
            if (flying.first == row && session.upload == Upload::NotRead) {
                session.upload = Upload::Awaited;
                session.filePath = flying.second;
            }
        }
        sessions.append(session);
    }
}

void SyncLedger::clear()
{
    running = false;
    uid.clear();
    linkGeneration = 0;
    sessions.clear();
}

bool SyncLedger::announce(int index, const QString &filePath, qint64 fileSize)
{
    if (!running || index < 0 || index >= sessions.size() || awaitedCount() >= maxAwaited)
        return false;
    // Sessions go out in directory order, each after the ones before it went out.
    for (int i = 0; i < index; ++i) {
        if (!confirmed(i) && sessions.at(i).upload != Upload::Awaited)
            return false;
    }
    Session &session = sessions[index];
    if (session.upload != Upload::NotRead || fileSize != session.expectedFileSize
        || session.expectedFileSize <= 0)
        return false;
    session.filePath = filePath;
    session.upload = Upload::Awaited;
    return true;
}

SyncLedger::Verdict SyncLedger::recordOutcome(const QString &outcomeUid, quint64 generation,
                                              const QString &filePath, bool success)
{
    if (!running)
        return Verdict::NoDownload;
    if (outcomeUid != uid)
        return Verdict::OtherDevice;
    if (generation != linkGeneration)
        return Verdict::OtherLink;
    const auto awaitedFile = std::find_if(sessions.begin(), sessions.end(), [&](const Session &s) {
        return s.upload == Upload::Awaited && s.filePath == filePath;
    });
    if (awaitedFile == sessions.end())
        return Verdict::NotAwaited;
    awaitedFile->upload = success ? Upload::Confirmed : Upload::Failed;
    return Verdict::Recorded;
}

int SyncLedger::awaited() const
{
    for (int i = 0; i < sessions.size(); ++i) {
        if (sessions.at(i).upload == Upload::Awaited)
            return i;
    }
    return -1;
}

int SyncLedger::awaitedCount() const
{
    return int(std::count_if(sessions.cbegin(), sessions.cend(),
                             [](const Session &s) { return s.upload == Upload::Awaited; }));
}

bool SyncLedger::anyFailed() const
{
    return std::any_of(sessions.cbegin(), sessions.cend(),
                       [](const Session &s) { return s.upload == Upload::Failed; });
}

bool SyncLedger::allConfirmed() const
{
    for (int i = 0; i < sessions.size(); ++i) {
        if (!confirmed(i))
            return false;
    }
    return true;
}

bool SyncLedger::confirmed(int index) const
{
    if (index < 0 || index >= sessions.size())
        return false;
    const Upload upload = sessions.at(index).upload;
    return upload == Upload::Confirmed || upload == Upload::ConfirmedEarlier;
}

bool SyncLedger::toRead(int index) const
{
    return index >= 0 && index < sessions.size() && sessions.at(index).upload == Upload::NotRead;
}

bool SyncLedger::mayErase(const QString &eraseUid, quint64 generation) const
{
    return running && !uid.isEmpty() && eraseUid == uid && generation == linkGeneration
        && !sessions.isEmpty() && allConfirmed();
}

QString SyncLedger::verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Recorded:
        return QStringLiteral("recorded");
    case Verdict::NoDownload:
        return QStringLiteral("no download is running");
    case Verdict::OtherDevice:
        return QStringLiteral("it is for another device");
    case Verdict::OtherLink:
        return QStringLiteral("it belongs to an earlier link (device lost, rebooted or "
                              "identified again since)");
    case Verdict::NotAwaited:
        return QStringLiteral("no upload of that session file is awaited");
    }
    return QString();
}
