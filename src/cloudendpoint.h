// Where the cloud service is and which extra certificate authorities vouch for it. Production
// code takes the values of the build; tests hand their own (a local service and its CA).
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QUrl>

struct CloudEndpoint
{
    // A silent service ends a request after this long without any bytes moving, so that
    // every reply handler runs its failure path instead of waiting for ever.
    static constexpr int defaultTransferTimeoutMs = 30000;

    QUrl baseUrl; // scheme and host, no path
    QList<QSslCertificate> extraCaCertificates; // trusted besides the system store
    int transferTimeoutMs = defaultTransferTimeoutMs;

    // ORVANE_CLOUD_URL and the certificates of the PEM compiled in from ORVANE_CLOUD_CA.
    static CloudEndpoint fromBuild();
};

// Adds the certificates to the process-wide default TLS configuration, keeping the system's
// own authorities and every authority already trusted. A certificate already present is not
// added again. Verification itself is never relaxed. Returns how many were added.
int installCaCertificates(const QList<QSslCertificate> &certificates);
