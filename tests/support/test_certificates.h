#pragma once

#include <QString>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace parlonda::test {

// A certificate and its private key, both PEM.
struct Pem
{
    std::string certificate;
    std::string privateKey;
};

// A throwaway certificate authority for the TLS tests: its key lives only in
// this process, so nothing it signs is trusted anywhere but where a test
// chooses to trust its certificate.
class TestCa
{
public:
    explicit TestCa(const std::string &commonName = "Parlonda test CA");
    ~TestCa();
    TestCa(const TestCa &) = delete;
    TestCa &operator=(const TestCa &) = delete;

    const std::string &certificatePem() const { return m_certificatePem; }

    // A server certificate for these DNS names and IP addresses (as
    // subjectAltName), valid from now + notBefore to now + notAfter: a
    // negative notAfter makes an expired one.
    Pem issue(const std::vector<std::string> &hosts,
              std::chrono::seconds notBefore = -std::chrono::hours(1),
              std::chrono::seconds notAfter = std::chrono::hours(24)) const;

private:
    struct Keys;
    std::unique_ptr<Keys> m_keys;
    std::string m_certificatePem;
};

// Writes bytes to a file, replacing it; false on any failure.
bool writeFile(const QString &path, const std::string &bytes);

} // namespace parlonda::test
