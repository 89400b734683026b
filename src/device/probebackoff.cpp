#include "device/probebackoff.h"

#include <QtGlobal>

qint64 ProbeBackoff::pauseAfter(int failures) const
{
    const int doublings = failures - rule.forgiven - 1;
    if (doublings < 0)
        return 0;
    qint64 pause = rule.firstPauseMs;
    for (int i = 0; i < doublings && pause < rule.longestPauseMs; ++i)
        pause *= 2;
    return qMin(pause, rule.longestPauseMs);
}

qint64 ProbeBackoff::failed(const QString &port, const QByteArray &node, qint64 now)
{
    Port &known = ports[port];
    if (known.node != node)
        known = Port {node, 0, 0};
    ++known.failures;
    const qint64 pause = pauseAfter(known.failures);
    known.notBefore = now + pause;
    return pause;
}

void ProbeBackoff::answered(const QString &port)
{
    ports.remove(port);
}

bool ProbeBackoff::mayProbe(const QString &port, const QByteArray &node, qint64 now)
{
    const auto known = ports.constFind(port);
    if (known == ports.constEnd())
        return true;
    if (known->node != node) {
        ports.erase(known);
        return true;
    }
    return now >= known->notBefore;
}

void ProbeBackoff::keepListed(const QStringList &listed)
{
    for (auto it = ports.begin(); it != ports.end();) {
        if (listed.contains(it.key()))
            ++it;
        else
            it = ports.erase(it);
    }
}
