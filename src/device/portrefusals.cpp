#include "device/portrefusals.h"

bool PortRefusals::note(const QString &port, const QString &reason, bool accessDenied)
{
    const auto known = refusals.constFind(port);
    if (known != refusals.constEnd() && known->reason == reason
        && known->accessDenied == accessDenied)
        return false;
    refusals.insert(port, Refusal {reason, accessDenied});
    accessDeniedTold = accessDeniedTold || accessDenied;
    return true;
}

void PortRefusals::keepListed(const QStringList &listed)
{
    for (auto it = refusals.begin(); it != refusals.end();) {
        if (listed.contains(it.key()))
            ++it;
        else
            it = refusals.erase(it);
    }
}

void PortRefusals::clear()
{
    refusals.clear();
}

bool PortRefusals::accessDeniedOver()
{
    if (!accessDeniedTold || anyAccessDenied())
        return false;
    accessDeniedTold = false;
    return true;
}

bool PortRefusals::anyAccessDenied() const
{
    for (const Refusal &refusal : refusals) {
        if (refusal.accessDenied)
            return true;
    }
    return false;
}
