// Drives the download dialogue through one long, randomly chosen run: a device that answers
// page reads cleanly, in pieces, with stray text, short or long; a cloud whose outcomes are
// confirmations, failures, confirmations of the wrong file, from another device or an
// earlier link, or missing; a window that asks to move on at any moment; restarts and
// watchdog expiries in between. It checks the one property that matters: the erase command
// goes out only when every session of that download was confirmed by its own upload, and at
// most once per download.
//
// The choices come from a Chooser: a seeded generator for the property test, the fuzzer's
// bytes for the fuzz target. Header-only, Qt Core only.
#pragma once

#include "device/download.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>

namespace testsupport {

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
        for (int i = 0; i < steps && failure.isEmpty(); ++i)
            move();
        return failure.isEmpty();
    }

    QString violation() const { return failure; }
    int erases() const { return eraseCount; }
    int sessionsConfirmed() const { return confirmedTotal; }

private:
    bool chance(uint32_t in) { return choose(in) == 0; }

    void restart()
    {
        ++generation;
        uid = chance(8) ? QStringLiteral("OTHERDEVICE01") : QStringLiteral("4B21C07DE5A19F03");
        sessions.clear();
        const int count = 1 + int(choose(3));
        quint32 address = 0x1A00;
        for (int i = 0; i < count; ++i) {
            const quint32 records = 22 + choose(60);
            sessions.append({1767225600u + 3600u * quint32(i), records, address});
            address += ((records + 20) / 21) * 256;
        }
        int total = 0;
        for (const auto &row : sessions)
            total += int(row.value(1));
        confirmed.clear();
        saved.clear();
        erasedThisDownload = false;
        apply(dialogue.begin(sessions, total,
                             chance(2) ? QStringLiteral("WM") : QStringLiteral("BM"), uid,
                             generation, clock, 1000));
    }

    void move()
    {
        clock += choose(300);
        switch (choose(12)) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
            answerPending();
            break;
        case 5:
            outcome();
            break;
        case 6:
            apply(dialogue.moveOn(uid, generation, clock));
            break;
        case 7:
            apply(dialogue.line(junkLine(), clock));
            break;
        case 8:
            clock += choose(3000);
            apply(dialogue.tick(clock));
            break;
        case 9:
            if (chance(4)) {
                dialogue.abandon();
                restart();
            }
            break;
        default:
            answerPending();
            break;
        }
    }

    // The device's answer to the last command, shaped by the choices.
    void answerPending()
    {
        if (pending.isEmpty())
            return;
        const QByteArray command = pending;
        pending.clear();
        if (command == "BTR\n" || command == "D\n") {
            apply(dialogue.line(chance(3) ? QByteArray("OK\r\n") : QByteArray("ENTER BM\r\n"),
                                clock));
        } else if (command.startsWith('R')) {
            for (const QByteArray &line : pageLines(command))
                apply(dialogue.line(line, clock));
        } else if (command == "E000FF000\n") {
            apply(dialogue.line(chance(4) ? QByteArray("BUSY\r\n") : QByteArray("ERASED OK\r\n"),
                                clock));
        }
    }

    QList<QByteArray> pageLines(const QByteArray &command)
    {
        const quint32 address = command.mid(1, command.size() - 2).toUInt(nullptr, 16);
        QByteArray hex;
        for (int i = 0; i < 256; ++i)
            hex +=
                QByteArray::number((address + quint32(i) * 7u) & 0xFF, 16).rightJustified(2, '0');
        QList<QByteArray> lines;
        // Mostly whole pages, so that downloads get to their end; faults often enough.
        switch (choose(20)) {
        case 0: // in pieces, white space among the digits
            lines << hex.left(100) + " \n" << hex.mid(100, 300) + "\r\n" << hex.mid(400) + "\r\n";
            break;
        case 1: // a stray line first
            lines << "A\r\n" << hex + "\r\n";
            break;
        case 2: // stray hex first
            lines << "0A\r\n" << hex + "\r\n";
            break;
        case 3: // one digit short, then the line end
            lines << hex.left(511) + "\r\n";
            break;
        case 4: // one digit too many
            lines << hex + "0\r\n";
            break;
        case 5: // nothing yet
            break;
        case 6: // stray text after the digits
            lines << hex + "#?\r\n";
            break;
        default:
            lines << hex + "\r\n";
            break;
        }
        return lines;
    }

    QByteArray junkLine()
    {
        static const QByteArray junk[] = {"\r\n",
                                          "OK\r\n",
                                          "STATUS 87%\r\n",
                                          "FFFF\r\n",
                                          QByteArray(512, 'F') + "\r\n",
                                          QByteArray("\0\n", 2)};
        return junk[choose(6)];
    }

    // A cloud outcome, right or wrong, for a session saved in this download.
    void outcome()
    {
        if (saved.isEmpty())
            return;
        const QList<QString> names = saved.keys();
        const QString name = names.at(int(choose(uint32_t(names.size()))));
        const QString path = saved.value(name);
        switch (choose(6)) {
        case 0:
        case 1:
            record(uid, generation, path, true, name);
            break;
        case 2:
            record(uid, generation, path, false, name);
            break;
        case 3:
            record(uid, generation, path + QStringLiteral(".other"), true, QString());
            break;
        case 4:
            record(QStringLiteral("SOMEONEELSE"), generation, path, true, QString());
            break;
        default:
            record(uid, generation - 1, path, true, QString());
            break;
        }
        if (chance(2))
            apply(dialogue.moveOn(uid, generation, clock));
    }

    void record(const QString &who, quint64 onLink, const QString &path, bool success,
                const QString &name)
    {
        const SyncLedger::Verdict verdict = dialogue.uploadFinished(who, onLink, path, success);
        // The driver's own account: a session counts as confirmed only by a true outcome for
        // its own file, on this device and link, that the dialogue recorded.
        if (verdict == SyncLedger::Verdict::Recorded && success && !name.isEmpty()) {
            confirmed.insert(name);
            ++confirmedTotal;
        }
        if (verdict == SyncLedger::Verdict::Recorded && (who != uid || onLink != generation))
            failure = QStringLiteral("an outcome from another device or link was recorded");
    }

    void apply(const LinkStep &step)
    {
        for (const QByteArray &write : step.writes) {
            if (write == "E000FF000\n") {
                ++eraseCount;
                if (erasedThisDownload)
                    failure = QStringLiteral("a second erase in one download");
                erasedThisDownload = true;
                for (const auto &row : sessions) {
                    const QString name = QString::number(row.value(0)) + QStringLiteral("000");
                    if (!confirmed.contains(name))
                        failure =
                            QStringLiteral("erase while session %1 was unconfirmed").arg(name);
                }
            }
            pending = write;
        }
        switch (step.event) {
        case LinkStep::Event::PageComplete:
            apply(dialogue.page(step.page, clock));
            break;
        case LinkStep::Event::SessionReady: {
            const QString path = QStringLiteral("/home/u/orvane/") + step.sessionName;
            // The file is saved whole, or with a wrong size, or not at all (the link then
            // restarts).
            const uint32_t save = choose(8);
            if (save == 0) {
                dialogue.abandon();
                restart();
                break;
            }
            const qint64 size = save == 1 ? step.sessionBytes.size() - 1 : step.sessionBytes.size();
            const LinkStep afterSave = dialogue.sessionSaved(path, size);
            if (afterSave.event == LinkStep::Event::None)
                saved.insert(step.sessionName, path);
            apply(afterSave);
            break;
        }
        case LinkStep::Event::Broken:
        case LinkStep::Event::GaveUp:
        case LinkStep::Event::EraseAcknowledged:
            // The link restarts: a new download on a new link generation.
            if (chance(2))
                restart();
            break;
        default:
            break;
        }
    }

    Chooser choose;
    DownloadDialogue dialogue;
    devicecodec::SessionTable sessions;
    QString uid;
    quint64 generation = 0;
    qint64 clock = 0;
    QByteArray pending;
    QSet<QString> confirmed; // session names confirmed in this download
    QHash<QString, QString> saved; // session name -> path, saved in this download
    bool erasedThisDownload = false;
    int eraseCount = 0;
    int confirmedTotal = 0;
    QString failure;
};

} // namespace testsupport
