// The stand-in's TLS material: a private CA and a server certificate for 127.0.0.1 and
// localhost signed by it, kept in one folder and reused as long as they are sound.
#pragma once

#include <string>

namespace standin {

struct CertificateFiles
{
    std::string caCertificate; // DIR/ca.pem
    std::string caKey; // DIR/ca.key
    std::string serverCertificate; // DIR/server.pem
    std::string serverKey; // DIR/server.key
    bool createdCa = false; // the CA was made anew (so was the server certificate)
    bool createdServer = false; // the server certificate was made anew
    std::string error; // empty on success
};

// Creates the folder when needed, then reuses the four files when they parse, the keys match
// their certificates, the server certificate verifies against the CA for 127.0.0.1 and
// localhost as a TLS server and neither expires within 30 days. A sound CA is kept even when
// the server certificate has to be made again, so a CA compiled into an app stays valid.
// Keys are EC P-256; the CA lives 10 years, the server certificate 365 days.
// Safe against other processes doing the same on the same folder (a lock file).
CertificateFiles ensureCertificates(const std::string &directory);

} // namespace standin
