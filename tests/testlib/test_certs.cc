#include "testlib/test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace vorpane::testing {

namespace {

using Key = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)>;
using Cert = std::unique_ptr<X509, void (*)(X509*)>;

bool addExtension(X509* subject, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, subject, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr) {
        return false;
    }
    const bool ok = X509_add_ext(subject, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

Cert newCert(EVP_PKEY* key, const std::string& name, long serial, long validSeconds) {
    Cert x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), validSeconds);
    X509_set_pubkey(x.get(), key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    return x;
}

bool writeCert(X509* x, const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "w"), std::fclose);
    return f && PEM_write_X509(f.get(), x) == 1;
}

}  // namespace

struct TestCa::Parts {
    Key key{nullptr, EVP_PKEY_free};
    Cert cert{nullptr, X509_free};
};

TestCa::TestCa(const std::string& name) : _p(std::make_unique<Parts>()) {
    _p->key = Key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    _p->cert = newCert(_p->key.get(), name, 1, 365L * 86400);
    X509_set_issuer_name(_p->cert.get(), X509_get_subject_name(_p->cert.get()));
    addExtension(_p->cert.get(), _p->cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(_p->cert.get(), _p->cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(_p->cert.get(), _p->cert.get(), NID_subject_key_identifier, "hash");
    X509_sign(_p->cert.get(), _p->key.get(), EVP_sha256());
}

TestCa::~TestCa() = default;

bool TestCa::writeCa(const std::string& path) const { return writeCert(_p->cert.get(), path); }

bool TestCa::issue(const std::string& name, const std::string& certPath, const std::string& keyPath,
                   long validSeconds) const {
    static long serial = 100;
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key) {
        return false;
    }
    Cert x = newCert(key.get(), name, ++serial, validSeconds);
    X509_set_issuer_name(x.get(), X509_get_subject_name(_p->cert.get()));
    const bool ok = addExtension(x.get(), _p->cert.get(), NID_basic_constraints, "CA:FALSE") &&
                    addExtension(x.get(), _p->cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
                    addExtension(x.get(), _p->cert.get(), NID_ext_key_usage, "serverAuth,clientAuth") &&
                    X509_sign(x.get(), _p->key.get(), EVP_sha256()) != 0;
    if (!ok || !writeCert(x.get(), certPath)) {
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> k(std::fopen(keyPath.c_str(), "w"), std::fclose);
    return k && PEM_write_PrivateKey(k.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

}  // namespace vorpane::testing
