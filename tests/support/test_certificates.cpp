#include "tests/support/test_certificates.h"

#include <QFile>
#include <QtGlobal>
#include <atomic>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace parlonda::test {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char *what)
{
    if (!ok)
        qFatal("TestCa: %s failed", what);
}

Key newKey()
{
    // P-256 keys are made in microseconds; RSA keys would slow every test.
    return Key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

Bio memoryBio()
{
    Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
    check(bio != nullptr, "BIO_new");
    return bio;
}

std::string text(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string toPem(X509 *certificate)
{
    const Bio bio = memoryBio();
    check(PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM_write_bio_X509");
    return text(bio.get());
}

std::string keyPem(EVP_PKEY *key)
{
    const Bio bio = memoryBio();
    check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_bio_PrivateKey");
    return text(bio.get());
}

void addExtension(X509 *certificate, X509 *issuer, int nid, const std::string &value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    check(extension != nullptr, "making an extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

bool isIpAddress(const std::string &host)
{
    return host.find_first_not_of("0123456789.") == std::string::npos ||
           host.find(':') != std::string::npos;
}

Certificate newCertificate(EVP_PKEY *key, const std::string &commonName,
                           std::chrono::seconds notBefore, std::chrono::seconds notAfter)
{
    // Serial numbers must differ between certificates of one issuer.
    static std::atomic<long> serial{1};
    Certificate certificate(X509_new(), &X509_free);
    check(certificate != nullptr, "X509_new");
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), static_cast<long>(notBefore.count()));
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), static_cast<long>(notAfter.count()));
    X509_set_pubkey(certificate.get(), key);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(commonName.c_str()), -1, -1,
                               0);
    return certificate;
}

} // namespace

struct TestCa::Keys
{
    Key key{nullptr, &EVP_PKEY_free};
    Certificate certificate{nullptr, &X509_free};
};

TestCa::TestCa(const std::string &commonName) : m_keys(std::make_unique<Keys>())
{
    m_keys->key = newKey();
    check(m_keys->key != nullptr, "making the CA key");
    m_keys->certificate = newCertificate(m_keys->key.get(), commonName, -std::chrono::hours(24),
                                         std::chrono::hours(24 * 30));
    X509 *certificate = m_keys->certificate.get();
    X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
    addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate, certificate, NID_subject_key_identifier, "hash");
    check(X509_sign(certificate, m_keys->key.get(), EVP_sha256()) > 0, "signing the CA");
    m_certificatePem = toPem(certificate);
}

TestCa::~TestCa() = default;

Pem TestCa::issue(const std::vector<std::string> &hosts, std::chrono::seconds notBefore,
                  std::chrono::seconds notAfter) const
{
    const Key key = newKey();
    check(key != nullptr, "making a server key");
    const Certificate certificate = newCertificate(
        key.get(), hosts.empty() ? std::string("server") : hosts.front(), notBefore, notAfter);
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(m_keys->certificate.get()));

    std::string names;
    for (const std::string &host : hosts) {
        if (!names.empty())
            names += ',';
        names += (isIpAddress(host) ? "IP:" : "DNS:") + host;
    }
    if (!names.empty())
        addExtension(certificate.get(), m_keys->certificate.get(), NID_subject_alt_name, names);
    addExtension(certificate.get(), m_keys->certificate.get(), NID_basic_constraints, "CA:FALSE");
    addExtension(certificate.get(), m_keys->certificate.get(), NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), m_keys->certificate.get(), NID_authority_key_identifier,
                 "keyid:always");
    check(X509_sign(certificate.get(), m_keys->key.get(), EVP_sha256()) > 0,
          "signing a server certificate");
    return {toPem(certificate.get()), keyPem(key.get())};
}

bool writeFile(const QString &path, const std::string &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
               static_cast<qint64>(bytes.size());
}

} // namespace parlonda::test
