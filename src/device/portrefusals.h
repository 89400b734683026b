// The device ports the scan found but could not open, so that a refusal is reported once
// while the port stays listed instead of on every pass.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

class PortRefusals
{
public:
    // Notes that port (its device node) refused to open for reason; accessDenied when the
    // node's permissions refuse this user. True when this is news, to be told: the port had
    // not refused before, or for another reason.
    bool note(const QString &port, const QString &reason, bool accessDenied);

    // Forgets the ports a scan pass no longer listed: plugged in again, they are news again.
    void keepListed(const QStringList &listed);

    // Forgets every refusal (a port opened).
    void clear();

    // True once when no port refused for want of access is left after such a refusal was
    // told (it opened, went away, or now refuses for another reason).
    bool accessDeniedOver();

private:
    bool anyAccessDenied() const;

    struct Refusal
    {
        QString reason;
        bool accessDenied = false;
    };
    QHash<QString, Refusal> refusals;
    bool accessDeniedTold = false;
};
