// Drives the download dialogue through a long random run (device answers, cloud outcomes,
// restarts, expiries) and checks: one erase at most, only with every session confirmed and the
// device's own directory just read; only an empty directory after it proves the download done.
#pragma once

#include "device/download.h"

#include <QHash>
#include <QSet>

#include <cstdint>
#include <functional>
#include <utility>

namespace testsupport {

// The summary page as the device sends it: 41 entries of 12 bytes (start time, start
// address, records: little-endian; two bytes unused), the rest FF, as 1024 hex digits.
inline QByteArray summaryPageHex(const devicecodec::SessionTable &sessions)
{
    QByteArray page(512, char(0xFF));
    for (int k = 0; k < sessions.size() && k < 41; ++k) {
        const devicecodec::SessionRow &row = sessions.at(k);
        const quint32 fields[] = {row.value(0), row.value(2)};
        for (int f = 0; f < 2; ++f)
            for (int b = 0; b < 4; ++b)
                page[12 * k + 4 * f + b] = char((fields[f] >> (8 * b)) & 0xFF);
        page[12 * k + 8] = char(row.value(1) & 0xFF);
        page[12 * k + 9] = char((row.value(1) >> 8) & 0xFF);
    }
    return page.toHex().toUpper();
}

// Where the choices come from: next(n) is a number in [0, n).
using Chooser = std::function<uint32_t(uint32_t)>;

class DownloadExercise
{
public:
    explicit DownloadExercise(Chooser choose) : choose(std::move(choose)) { }

    // Runs `steps` moves; false with violation() set when the property broke.
    bool run(int steps)
    {
        restart();
        for (int i = 0; i < steps && failure.isEmpty(); ++i) {
            clock += choose(300);
            const uint32_t move = choose(12);
            if (move == 0)
                outcome();
            else if (move == 1)
                apply(dialogue.moveOn(uid, generation, clock));
            else if (move == 2)
                apply(dialogue.line(junk[choose(4)], clock));
            else if (move == 3)
                apply(dialogue.tick(clock += choose(3000)));
            else if (move == 4 && chance(4))
                restart();
            else if (move > 4)
                answerPending();
        }
        return failure.isEmpty();
    }

    QString violation() const { return failure; }
    int erases() const { return eraseCount; }
    int erasuresProven() const { return provenCount; }
    int sessionsConfirmed() const { return confirmedTotal; }

private:
    bool chance(uint32_t in) { return choose(in) == 0; }

    // A new download of one to three sessions on a new link generation, now and then elsewhere.
    void restart()
    {
        dialogue.abandon();
        now = Download();
        ++generation;
        uid = chance(8) ? QStringLiteral("OTHERDEVICE01") : QStringLiteral("4B21C07DE5A19F03");
        devicecodec::SessionTable inCloud;
        SyncLedger::InFlight inFlight;
        for (quint32 i = 0, address = 0x1A00, count = 1 + choose(3); i < count; ++i) {
            const quint32 records = 22 + choose(60);
            now.sessions.append({1767225600u + 3600u * i, records, address});
            address += ((records + 20) / 21) * 256;
            // Now and then a session an earlier sync confirmed, or is still uploading.
            const QString name = QString::number(now.sessions.last().value(0)) + "000";
            if (chance(5)) {
                inCloud.append(now.sessions.last());
                now.confirmed.insert(name);
            } else if (chance(6)) {
                inFlight.append({now.sessions.last(), "/home/u/orvane/earlier/" + name});
                now.saved.insert(name, inFlight.last().second);
            }
        }
        apply(dialogue.begin(now.sessions, inCloud, inFlight, chance(2) ? "WM" : "BM", uid,
                             generation, clock, 1000));
    }

    // A page comes mostly whole, so that downloads get to their end; else in pieces, after a
    // stray line, a digit short or long, not at all, or with stray text after it.
    void answerPending()
    {
        const QByteArray command = std::exchange(pending, QByteArray());
        if (command == "BTR\n" || command == "D\n")
            apply(dialogue.line(chance(3) ? "OK\r\n" : "ENTER BM\r\n", clock));
        if (command == "E000FF000\n")
            apply(dialogue.line(chance(4) ? "BUSY\r\n" : "ERASED OK\r\n", clock));
        if (command == "R000FF000\n" || command == "R000FF100\n")
            return answerDirectory(command == "R000FF000\n");
        if (!command.startsWith('R'))
            return;
        QByteArray hex;
        for (quint32 i = 0, address = command.mid(1, 8).toUInt(nullptr, 16); i < 256; ++i)
            hex += QByteArray::number((address + i * 7u) & 0xFF, 16).rightJustified(2, '0');
        const QList<QByteArrayList> faulty {{hex.left(100) + " \n", hex.mid(100) + "\r\n"},
                                            {"0A\r\n", hex + "\r\n"},
                                            {hex.left(511) + "\r\n"},
                                            {hex + "0\r\n"},
                                            {},
                                            {hex + "#?\r\n"}};
        for (const QByteArray &line : faulty.value(int(choose(18)), {hex + "\r\n"}))
            apply(dialogue.line(line, clock));
    }

    // Half of the directory: the device's own, now and then misread or, after the erase, full.
    void answerDirectory(bool firstHalf)
    {
        devicecodec::SessionTable shown = now.erased ? devicecodec::SessionTable() : now.sessions;
        if (chance(6)) {
            if (now.erased)
                shown = now.sessions;
            else if (!shown.isEmpty())
                shown[0][1] += 1 + choose(30);
        }
        const QByteArray page = summaryPageHex(shown);
        const QByteArray truth =
            summaryPageHex(now.erased ? devicecodec::SessionTable() : now.sessions);
        const QByteArray half = firstHalf ? page.left(512) : page.mid(512);
        const bool same = half == (firstHalf ? truth.left(512) : truth.mid(512));
        // A junk line may have stood in for a half: what it said counts as it was.
        directoryTrue = firstHalf ? same : directoryTrue && same;
        directoryEmpty = directoryEmpty && half == QByteArray(512, 'F');
        apply(dialogue.line(half + "\r\n", clock));
    }

    // Confirmed (kinds 0 and 1), failed, for another file, from another device or link.
    void outcome()
    {
        if (now.saved.isEmpty())
            return;
        const QString name = now.saved.keys().at(int(choose(uint32_t(now.saved.size()))));
        const uint32_t kind = choose(6);
        const QString who = kind == 4 ? QStringLiteral("SOMEONEELSE") : uid;
        const quint64 onLink = kind == 5 ? generation - 1 : generation;
        const QString path = now.saved.value(name) + (kind == 3 ? ".other" : "");
        if (dialogue.uploadFinished(who, onLink, path, kind != 2)
            == SyncLedger::Verdict::Recorded) {
            if (who != uid || onLink != generation)
                failure = QStringLiteral("an outcome from another device or link was recorded");
            // The driver's own account: only a true outcome for the session's own file.
            if (kind < 2)
                now.confirmed.insert(name), ++confirmedTotal;
        }
        if (chance(2))
            apply(dialogue.moveOn(uid, generation, clock));
    }

    void apply(const LinkStep &step)
    {
        for (const QByteArray &write : step.writes) {
            pending = write;
            if (write == "R000FF000\n") {
                directoryTrue = false;
                directoryEmpty = true;
            }
            if (write != "E000FF000\n")
                continue;
            ++eraseCount;
            if (std::exchange(now.erased, true))
                failure = QStringLiteral("a second erase in one download");
            if (!directoryTrue)
                failure = QStringLiteral("erase after a misread directory");
            for (const auto &row : qAsConst(now.sessions))
                if (!now.confirmed.contains(QString::number(row.value(0)) + "000"))
                    failure = QStringLiteral("erase with session %1 unconfirmed").arg(row.value(0));
        }
        if (step.event == LinkStep::Event::ErasureProven) {
            if (!now.erased || !directoryEmpty)
                failure = QStringLiteral("proven done without an empty directory after erase");
            ++provenCount;
        } else if (step.event == LinkStep::Event::SessionReady) {
            // The file is saved whole, with a wrong size, or not at all (the link restarts).
            const QString path = QStringLiteral("/home/u/orvane/") + step.sessionName;
            const uint32_t save = choose(8);
            if (save == 0)
                return restart();
            const LinkStep saved =
                dialogue.sessionSaved(path, step.sessionBytes.size() - (save == 1), clock);
            if (saved.event == LinkStep::Event::None)
                now.saved.insert(step.sessionName, path);
            apply(saved);
        } else if (step.event != LinkStep::Event::None
                   && step.event != LinkStep::Event::EraseSent) {
            // Any other end of a step: the link may restart now.
            if (chance(2))
                restart();
        }
    }

    struct Download
    {
        devicecodec::SessionTable sessions;
        QSet<QString> confirmed; // session names confirmed in this download or before it
        QHash<QString, QString> saved; // session name -> path, saved in this download
        bool erased = false;
    };

    const QByteArray junk[4] = {"OK\r\n", "STATUS 87%\r\n", QByteArray(512, 'F') + "\r\n",
                                QByteArray("\0\n", 2)};
    Chooser choose;
    DownloadDialogue dialogue;
    Download now;
    QString uid;
    quint64 generation = 0;
    qint64 clock = 0;
    QByteArray pending;
    int eraseCount = 0;
    int provenCount = 0;
    bool directoryTrue = false; // the last directory read was the device's own
    bool directoryEmpty = false; // the last directory read listed nothing
    int confirmedTotal = 0;
    QString failure;
};

} // namespace testsupport
