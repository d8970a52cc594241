// TLS for the management API's connections. The HTTP front owns every connection's reads and writes
// on non-blocking sockets, so it runs each connection's TLS session itself with OpenSSL (the library
// cpp-httplib's own TLS is built on) instead of handing sockets to a server that would hold a thread
// for each handshake.
//
//   VORPANE_API_TLS_CERT       PEM certificate chain the API presents (with the key: HTTPS)
//   VORPANE_API_TLS_KEY        PEM private key of that certificate
//   VORPANE_API_TLS_CLIENT_CA  PEM CA certificates; set: every client must present a certificate they signed
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace vorpane::api {

class TlsContext {
public:
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Loads the certificate chain, its key and, when clientCa is not empty, the CAs that client
    // certificates must be signed by. Null with *error naming the file and what is wrong with it.
    static std::unique_ptr<TlsContext> load(const std::string& cert, const std::string& key,
                                            const std::string& clientCa, std::string* error);

    // A server session on the non-blocking socket fd; null when OpenSSL cannot make one. The socket
    // stays the caller's to close. Writes never raise SIGPIPE.
    SSL* accept(int fd) const;

private:
    explicit TlsContext(SSL_CTX* ctx) : _ctx(ctx) {}
    SSL_CTX* _ctx;
};

struct SslFree {
    void operator()(SSL* ssl) const;
};
using SslPtr = std::unique_ptr<SSL, SslFree>;

// What a TLS read or write came to.
enum class TlsIo { Done, WantRead, WantWrite, Closed, Failed };

// SSL_read / SSL_write on a non-blocking session: *n is the bytes moved when Done.
TlsIo tlsRead(SSL* ssl, char* buffer, size_t size, size_t* n);
TlsIo tlsWrite(SSL* ssl, const char* data, size_t size, size_t* n);

// Why the last TLS call of this thread failed, in OpenSSL's words ("" when it did not say).
std::string tlsError();

}  // namespace vorpane::api
