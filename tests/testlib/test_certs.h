// Certificates made at test time: a CA and certificates it signs for 127.0.0.1 (servers) or for
// clients (mutual TLS). Nothing secret is ever kept in the repository.
#pragma once

#include <memory>
#include <string>

namespace vorpane::testing {

class TestCa {
public:
    // A new CA with a fresh P-256 key; `name` is its common name.
    explicit TestCa(const std::string& name = "vorpane test CA");
    ~TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    // Writes the CA's certificate (PEM). False when it cannot.
    bool writeCa(const std::string& path) const;
    // A certificate for `name` signed by this CA, valid for 127.0.0.1 and localhost from a day ago
    // until validSeconds from now, with its new key: certificate and key written as PEM. False when
    // they cannot be made or written.
    bool issue(const std::string& name, const std::string& certPath, const std::string& keyPath,
               long validSeconds = 30L * 86400) const;

private:
    struct Parts;
    std::unique_ptr<Parts> _p;
};

}  // namespace vorpane::testing
