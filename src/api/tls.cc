#include "api/tls.h"

#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace vorpane::api {

namespace {

// A socket BIO whose writes pass MSG_NOSIGNAL: a client that goes away while its answer is written
// must not end the agent with SIGPIPE, and nothing else in the process ignores that signal.
int fdOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

// One transfer on the BIO's socket without waiting: io does the send or recv; when the socket is
// not ready the BIO is marked to retry that way (retry).
template <typename Io, typename Retry>
int transfer(BIO* bio, Io io, Retry retry) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = io(fdOf(bio));
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            retry(bio);
        }
        return -1;
    }
}

int bioWrite(BIO* bio, const char* data, int size) {
    return transfer(
        bio, [&](int fd) { return ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT); },
        [](BIO* b) { BIO_set_retry_write(b); });
}

int bioRead(BIO* bio, char* buffer, int size) {
    return transfer(
        bio, [&](int fd) { return ::recv(fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT); },
        [](BIO* b) { BIO_set_retry_read(b); });
}

int bioPuts(BIO* bio, const char* text) {
    size_t length = 0;
    while (text[length] != '\0' && length < INT_MAX) {
        ++length;
    }
    return bioWrite(bio, text, static_cast<int>(length));
}

long bioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int bioDestroy(BIO*) { return 1; }

const BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vorpane api socket");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_puts(m, bioPuts);
        BIO_meth_set_ctrl(m, bioCtrl);
        BIO_meth_set_create(m, bioCreate);
        BIO_meth_set_destroy(m, bioDestroy);
        return m;
    }();
    return method;
}

TlsIo outcome(SSL* ssl, int rc) {
    switch (SSL_get_error(ssl, rc)) {
        case SSL_ERROR_WANT_READ:
            return TlsIo::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return TlsIo::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            return TlsIo::Closed;
        case SSL_ERROR_SYSCALL:
            // The peer closed the socket without a close_notify, or it broke.
            return ERR_peek_error() == 0 ? TlsIo::Closed : TlsIo::Failed;
        default:
            return TlsIo::Failed;
    }
}

}  // namespace

void SslFree::operator()(SSL* ssl) const { SSL_free(ssl); }

TlsContext::~TlsContext() { SSL_CTX_free(_ctx); }

std::unique_ptr<TlsContext> TlsContext::load(const std::string& cert, const std::string& key,
                                             const std::string& clientCa, std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        *error = "cannot make a TLS context: " + tlsError();
        return nullptr;
    }
    std::unique_ptr<TlsContext> tls(new TlsContext(ctx));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1) {
        *error = "VORPANE_API_TLS_CERT=" + cert + " is not a readable PEM certificate: " + tlsError();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
            *error = "VORPANE_API_TLS_KEY=" + key + " is not the key of VORPANE_API_TLS_CERT=" + cert;
        } else {
            *error = "VORPANE_API_TLS_KEY=" + key + " is not a readable PEM private key: " + tlsError();
        }
        return nullptr;
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        *error = "VORPANE_API_TLS_KEY=" + key + " is not the key of VORPANE_API_TLS_CERT=" + cert;
        return nullptr;
    }
    if (!clientCa.empty()) {
        if (SSL_CTX_load_verify_locations(ctx, clientCa.c_str(), nullptr) != 1) {
            *error = "VORPANE_API_TLS_CLIENT_CA=" + clientCa + " is not a readable PEM CA file: " + tlsError();
            return nullptr;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return tls;
}

SSL* TlsContext::accept(int fd) const {
    SSL* ssl = SSL_new(_ctx);
    if (ssl == nullptr) {
        return nullptr;
    }
    BIO* bio = BIO_new(socketMethod());
    if (bio == nullptr) {
        SSL_free(ssl);
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    SSL_set_accept_state(ssl);
    return ssl;
}

TlsIo tlsRead(SSL* ssl, char* buffer, size_t size, size_t* n) {
    ERR_clear_error();
    const int rc = SSL_read(ssl, buffer, static_cast<int>(size > INT_MAX ? INT_MAX : size));
    if (rc > 0) {
        *n = static_cast<size_t>(rc);
        return TlsIo::Done;
    }
    return outcome(ssl, rc);
}

TlsIo tlsWrite(SSL* ssl, const char* data, size_t size, size_t* n) {
    ERR_clear_error();
    const int rc = SSL_write(ssl, data, static_cast<int>(size > INT_MAX ? INT_MAX : size));
    if (rc > 0) {
        *n = static_cast<size_t>(rc);
        return TlsIo::Done;
    }
    return outcome(ssl, rc);
}

std::string tlsError() {
    const unsigned long e = ERR_peek_last_error();
    if (e == 0) {
        return "";
    }
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

}  // namespace vorpane::api
