#include "cloud/cloudendpoint.h"

#include "buildconfig.h"

#include <QDebug>
#include <QSslConfiguration>

CloudEndpoint CloudEndpoint::fromBuild()
{
    CloudEndpoint endpoint;
    endpoint.baseUrl = QUrl(QString::fromUtf8(buildconfig::cloudUrl));
    const QByteArray pem(buildconfig::cloudCaPem);
    if (!pem.trimmed().isEmpty()) {
        endpoint.extraCaCertificates = QSslCertificate::fromData(pem, QSsl::Pem);
        if (endpoint.extraCaCertificates.isEmpty())
            qWarning() << "🌐" << Q_FUNC_INFO << "the compiled-in CA file holds no certificate";
    }
    return endpoint;
}

int installCaCertificates(const QList<QSslCertificate> &certificates)
{
    if (certificates.isEmpty())
        return 0;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> authorities = configuration.caCertificates();
    // Qt loads the system store lazily only while nobody has set a CA list; once we set
    // one, it must hold the system's authorities itself.
    for (const QSslCertificate &system : QSslConfiguration::systemCaCertificates()) {
        if (!authorities.contains(system))
            authorities.append(system);
    }
    int added = 0;
    for (const QSslCertificate &certificate : certificates) {
        if (certificate.isNull() || authorities.contains(certificate))
            continue;
        authorities.append(certificate);
        ++added;
    }
    configuration.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return added;
}
