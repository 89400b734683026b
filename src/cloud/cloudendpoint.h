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

    // However slowly its reply trickles in, a request ends by this long as a failure. The
    // application download gets deadlinePerMiBMs more for each MiB it announces.
    static constexpr int defaultRequestDeadlineMs = 120000;
    static constexpr int defaultDeadlinePerMiBMs = 30000;
    // The largest reply of each kind taken; the service's real replies are far smaller (a
    // firmware image of a few hundred KiB, an application of a few MiB, as JSON byte arrays
    // of about 3.6 characters a byte). Larger ones are aborted.
    static constexpr qint64 defaultJsonReplyLimit = qint64(1) << 20;
    static constexpr qint64 defaultFirmwareReplyLimit = qint64(16) << 20;
    static constexpr qint64 defaultApplicationReplyLimit = qint64(128) << 20;

    QUrl baseUrl; // scheme and host, no path
    QList<QSslCertificate> extraCaCertificates; // trusted besides the system store
    int transferTimeoutMs = defaultTransferTimeoutMs;
    int requestDeadlineMs = defaultRequestDeadlineMs;
    int deadlinePerMiBMs = defaultDeadlinePerMiBMs;
    qint64 jsonReplyLimit = defaultJsonReplyLimit;
    qint64 firmwareReplyLimit = defaultFirmwareReplyLimit;
    qint64 applicationReplyLimit = defaultApplicationReplyLimit;

    // ORVANE_CLOUD_URL and the certificates of the PEM compiled in from ORVANE_CLOUD_CA.
    static CloudEndpoint fromBuild();
};

// Adds the certificates to the process-wide default TLS configuration, keeping the system's
// own authorities and every authority already trusted. A certificate already present is not
// added again. Verification itself is never relaxed. Returns how many were added.
int installCaCertificates(const QList<QSslCertificate> &certificates);
