#include "standin/certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

namespace standin {

namespace {

constexpr long caDays = 3650;
constexpr long serverDays = 365; // under the 825-day limit some TLS stacks apply
constexpr long renewDays = 30;

struct Deleter
{
    void operator()(X509 *x) const { X509_free(x); }
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    void operator()(BIO *b) const { BIO_free(b); }
    void operator()(X509_STORE *s) const { X509_STORE_free(s); }
    void operator()(X509_STORE_CTX *c) const { X509_STORE_CTX_free(c); }
    void operator()(BIGNUM *n) const { BN_free(n); }
};
using X509Ptr = std::unique_ptr<X509, Deleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter>;
using BioPtr = std::unique_ptr<BIO, Deleter>;

std::string opensslError(const std::string &what)
{
    std::string text = what;
    if (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += ": ";
        text += buffer;
    }
    ERR_clear_error();
    return text;
}

X509Ptr readCertificate(const std::string &path)
{
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return certificate;
}

KeyPtr readKey(const std::string &path)
{
    BioPtr bio(BIO_new_file(path.c_str(), "r"));
    KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return key;
}

// Still valid `renewDays` from now.
bool lastsLongEnough(X509 *certificate)
{
    time_t later = std::time(nullptr) + renewDays * 86400;
    return X509_cmp_time(X509_get0_notAfter(certificate), &later) > 0
        && X509_cmp_current_time(X509_get0_notBefore(certificate)) < 0;
}

bool caIsSound(X509 *ca, EVP_PKEY *key)
{
    return ca && key && X509_check_private_key(ca, key) == 1 && X509_check_ca(ca) >= 1
        && X509_verify(ca, key) == 1 && lastsLongEnough(ca);
}

bool serverIsSound(X509 *server, EVP_PKEY *key, X509 *ca)
{
    if (!server || !key || X509_check_private_key(server, key) != 1 || !lastsLongEnough(server)
        || X509_check_host(server, "localhost", 0, 0, nullptr) != 1
        || X509_check_ip_asc(server, "127.0.0.1", 0) != 1) {
        ERR_clear_error();
        return false;
    }
    std::unique_ptr<X509_STORE, Deleter> store(X509_STORE_new());
    std::unique_ptr<X509_STORE_CTX, Deleter> context(X509_STORE_CTX_new());
    bool ok = store && context && X509_STORE_add_cert(store.get(), ca) == 1
        && X509_STORE_CTX_init(context.get(), store.get(), server, nullptr) == 1
        && X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER) == 1
        && X509_verify_cert(context.get()) == 1;
    ERR_clear_error();
    return ok;
}

KeyPtr newKey()
{
    return KeyPtr(EVP_EC_gen("P-256"));
}

bool addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        return false;
    const bool ok = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

bool setName(X509_NAME *name, const char *commonName)
{
    const auto text = [](const char *s) { return reinterpret_cast<const unsigned char *>(s); };
    return X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, text("Orvane cloud stand-in"), -1,
                                      -1, 0)
        == 1
        && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text(commonName), -1, -1, 0) == 1;
}

// issuer == nullptr: self-signed CA.
X509Ptr newCertificate(EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuerKey, long days, bool ca)
{
    X509Ptr certificate(X509_new());
    std::unique_ptr<BIGNUM, Deleter> serial(BN_new());
    if (!certificate || !serial || X509_set_version(certificate.get(), 2) != 1
        || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1
        || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get()))
        || !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600)
        || !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), days * 86400)
        || X509_set_pubkey(certificate.get(), key) != 1
        || !setName(X509_get_subject_name(certificate.get()),
                    ca ? "Orvane cloud stand-in CA" : "localhost")) {
        return nullptr;
    }
    X509 *signer = issuer ? issuer : certificate.get();
    if (X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer)) != 1
        || !addExtension(certificate.get(), signer, NID_subject_key_identifier, "hash")
        || !addExtension(certificate.get(), signer, NID_authority_key_identifier, "keyid:always")) {
        return nullptr;
    }
    const bool extended = ca
        ? addExtension(certificate.get(), signer, NID_basic_constraints,
                       "critical,CA:TRUE,pathlen:0")
            && addExtension(certificate.get(), signer, NID_key_usage,
                            "critical,keyCertSign,cRLSign")
        : addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE")
            && addExtension(certificate.get(), signer, NID_key_usage, "critical,digitalSignature")
            && addExtension(certificate.get(), signer, NID_ext_key_usage, "serverAuth")
            && addExtension(certificate.get(), signer, NID_subject_alt_name,
                            "IP:127.0.0.1,DNS:localhost");
    if (!extended || X509_sign(certificate.get(), issuerKey, EVP_sha256()) <= 0)
        return nullptr;
    return certificate;
}

std::string toPem(X509 *certificate, EVP_PKEY *key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return {};
    const bool ok = certificate
        ? PEM_write_bio_X509(bio.get(), certificate) == 1
        : PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (!ok)
        return {};
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

// Written beside the target and renamed over it, so a reader never sees half a file.
bool writeFileAtomically(const std::string &path, const std::string &content, mode_t mode,
                         std::string *error)
{
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = "cannot write " + temporary + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

class FolderLock
{
public:
    explicit FolderLock(const std::string &path)
        : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (fd >= 0) {
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
        }
    }
    ~FolderLock()
    {
        if (fd >= 0)
            ::close(fd); // releases the lock
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    bool locked() const { return fd >= 0; }

private:
    int fd;
};

} // namespace

CertificateFiles ensureCertificates(const std::string &directory)
{
    CertificateFiles files;
    std::error_code code;
    std::filesystem::create_directories(directory, code);
    if (code || !std::filesystem::is_directory(directory)) {
        files.error = "cannot create the certificate folder " + directory
            + (code ? ": " + code.message() : std::string());
        return files;
    }
    const std::string base = std::filesystem::absolute(directory).lexically_normal().string();
    files.caCertificate = base + "/ca.pem";
    files.caKey = base + "/ca.key";
    files.serverCertificate = base + "/server.pem";
    files.serverKey = base + "/server.key";

    FolderLock lock(base + "/.lock");
    if (!lock.locked()) {
        files.error = "cannot lock the certificate folder " + base + ": " + std::strerror(errno);
        return files;
    }

    X509Ptr ca = readCertificate(files.caCertificate);
    KeyPtr caKey = readKey(files.caKey);
    if (!caIsSound(ca.get(), caKey.get())) {
        ERR_clear_error();
        caKey = newKey();
        ca = caKey ? newCertificate(caKey.get(), nullptr, caKey.get(), caDays, true) : nullptr;
        if (!ca) {
            files.error = opensslError("cannot create the CA certificate");
            return files;
        }
        // Key first: a certificate without its key would be useless on the next start.
        if (!writeFileAtomically(files.caKey, toPem(nullptr, caKey.get()), 0600, &files.error)
            || !writeFileAtomically(files.caCertificate, toPem(ca.get(), nullptr), 0644,
                                    &files.error)) {
            return files;
        }
        files.createdCa = true;
    }

    X509Ptr server = readCertificate(files.serverCertificate);
    KeyPtr serverKey = readKey(files.serverKey);
    if (files.createdCa || !serverIsSound(server.get(), serverKey.get(), ca.get())) {
        serverKey = newKey();
        server = serverKey
            ? newCertificate(serverKey.get(), ca.get(), caKey.get(), serverDays, false)
            : nullptr;
        if (!server) {
            files.error = opensslError("cannot create the server certificate");
            return files;
        }
        if (!writeFileAtomically(files.serverKey, toPem(nullptr, serverKey.get()), 0600,
                                 &files.error)
            || !writeFileAtomically(files.serverCertificate, toPem(server.get(), nullptr), 0644,
                                    &files.error)) {
            return files;
        }
        files.createdServer = true;
    }
    return files;
}

} // namespace standin
