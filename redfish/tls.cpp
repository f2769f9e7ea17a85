// The TLS context and the self-signed certificate.
#include "tls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktzredfish
{

namespace
{

namespace ssl = boost::asio::ssl;

constexpr long kValidDays = 3650;

struct Free
{
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <class T> using Owned = std::unique_ptr<T, Free>;

bool AddExtension(X509* cert, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Writes `bio`'s bytes to `path` through a new file renamed over it.
bool WriteFile(const std::string& path, BIO* bio, mode_t mode, std::string* error)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const std::string temp = path + ".new";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
    {
        *error = temp + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = ::write(fd, data, static_cast<size_t>(size)) == size && ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0)
    {
        *error = path + ": " + std::strerror(ok ? errno : err);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool MakeSelfSigned(const std::string& certFile, const std::string& keyFile, std::string* error)
{
    Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    Owned<X509> cert(X509_new());
    if (!key || !cert)
    {
        *error = "cannot make a key";
        return false;
    }
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f; // a positive serial number
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("KTZ Monitor"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(host), -1, -1,
                               0);
    std::string san = "DNS:localhost,IP:127.0.0.1,IP:::1";
    if (std::strcmp(host, "localhost") != 0)
    {
        san = "DNS:" + std::string(host) + "," + san;
    }
    const bool ok = X509_set_version(cert.get(), 2) == 1 && X509_set_issuer_name(cert.get(), name) == 1 &&
                    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
                    X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidDays * 24 * 3600) != nullptr &&
                    X509_set_pubkey(cert.get(), key.get()) == 1 &&
                    AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
                    AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
                    AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
                    AddExtension(cert.get(), NID_subject_alt_name, san) &&
                    X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    if (!ok)
    {
        *error = "cannot make a self-signed certificate";
        return false;
    }
    Owned<BIO> keyPem(BIO_new(BIO_s_mem()));
    Owned<BIO> certPem(BIO_new(BIO_s_mem()));
    if (PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(certPem.get(), cert.get()) != 1)
    {
        *error = "cannot write the certificate";
        return false;
    }
    // The key first: a certificate without its key would be taken next time.
    return WriteFile(keyFile, keyPem.get(), 0600, error) && WriteFile(certFile, certPem.get(), 0644, error);
}

} // namespace

bool LoadTls(ssl::context& ctx, const std::string& certFile, const std::string& keyFile, std::string* error)
{
    SSL_CTX* native = ctx.native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_options(native,
                        SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
    // TLS 1.2: ECDHE with AES-GCM or ChaCha20-Poly1305 only; TLS 1.3's suites are all of that kind.
    SSL_CTX_set_cipher_list(native, "ECDHE+AESGCM:ECDHE+CHACHA20");
    boost::system::error_code ec;
    ctx.use_certificate_chain_file(certFile, ec);
    if (ec)
    {
        *error = certFile + ": " + ec.message();
        return false;
    }
    ctx.use_private_key_file(keyFile, ssl::context::pem, ec);
    if (ec)
    {
        *error = keyFile + ": " + ec.message();
        return false;
    }
    if (SSL_CTX_check_private_key(native) != 1)
    {
        *error = keyFile + ": the key does not belong to the certificate in " + certFile;
        return false;
    }
    return true;
}

bool EnsureSelfSigned(const std::string& dir, std::string* certFile, std::string* keyFile, bool* created,
                      std::string* error)
{
    *certFile = dir + "/tls.crt";
    *keyFile = dir + "/tls.key";
    *created = false;
    if (::access(certFile->c_str(), R_OK) == 0 && ::access(keyFile->c_str(), R_OK) == 0)
    {
        return true;
    }
    if (!MakeSelfSigned(*certFile, *keyFile, error))
    {
        return false;
    }
    *created = true;
    return true;
}

} // namespace ktzredfish
