// How often the scan probes a port whose device answers like no Brevia: an adapter with the
// same bridge (an RS-485 cable, a console) would otherwise be asked "ATN?" again and again.
// One bad answer is forgiven (a Brevia may garble one), a few in a row too; after that the
// port sits out a pause that doubles with each further failure, up to a ceiling. A port that
// goes away, or whose device node is made anew (plugged in again), starts afresh.
// Pure: ports by name, their nodes by an identity the caller gives, times in milliseconds.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

class ProbeBackoff
{
public:
    struct Rule
    {
        int forgiven = 2; // failures in a row that cost no pause
        qint64 firstPauseMs = 2000; // after the first failure past them
        qint64 longestPauseMs = 60000;
    };

    ProbeBackoff() = default;
    explicit ProbeBackoff(const Rule &rule) : rule(rule) { }
    void setRule(const Rule &newRule) { rule = newRule; }

    // The pause imposed after this many failures in a row: 0 while they are forgiven.
    qint64 pauseAfter(int failures) const;

    // The device on port (its node known as node) answered like no Brevia, or not at all, at
    // now. Returns the pause it now sits out (0: none).
    qint64 failed(const QString &port, const QByteArray &node, qint64 now);
    // The device on port answered like a Brevia: whatever it did before is forgiven.
    void answered(const QString &port);
    // Whether port may be probed at now. A node other than the one that failed was plugged
    // in anew: the port starts afresh.
    bool mayProbe(const QString &port, const QByteArray &node, qint64 now);
    // Forgets the ports a scan pass no longer listed.
    void keepListed(const QStringList &listed);

    int failures(const QString &port) const { return ports.value(port).failures; }

private:
    struct Port
    {
        QByteArray node;
        int failures = 0;
        qint64 notBefore = 0;
    };
    Rule rule;
    QHash<QString, Port> ports;
};
