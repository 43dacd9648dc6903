/* The client library's TLS layer, with OpenSSL: TLS 1.3 only; the server is
 * authenticated by a CA file or a pinned SHA-256 fingerprint, and the client
 * shows a certificate when it is given one. */
#include "tls.h"

#include "socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace tq_client {

struct Tls {
    SSL_CTX *context = nullptr;
    SSL *ssl = nullptr;
    std::mutex lock;
    std::string pin; /* lower-case hex; empty: the CA decides */
};

namespace {

const int c_recordRestMs = 10000; /* for the rest of a record once it has begun */
int s_pinIndex = -1;              /* the session's Tls in the SSL object, for the pin check */
std::once_flag s_pinOnce;

std::string libraryError()
{
    unsigned long code = ERR_get_error();
    const char *reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "unknown error";
}

/* A certificate that a pin vouches for needs no chain to a trusted CA;
 * other faults (a name or a date) still count. */
bool chainError(int error)
{
    return error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT || error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
           error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
           error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE || error == X509_V_ERR_CERT_UNTRUSTED;
}

/* With a pin the server's own certificate decides alone. */
int verifyCallback(int ok, X509_STORE_CTX *store)
{
    SSL *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    Tls *tls = static_cast<Tls *>(SSL_get_ex_data(ssl, s_pinIndex));
    if (tls == nullptr || tls->pin.empty())
        return ok;
    if (X509_STORE_CTX_get_error_depth(store) > 0)
        return 1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::string hex;
    X509 *leaf = X509_STORE_CTX_get_current_cert(store);
    if (leaf != nullptr && X509_digest(leaf, EVP_sha256(), digest, &length) == 1) {
        char pair[3];
        for (unsigned i = 0; i < length; ++i) {
            snprintf(pair, sizeof pair, "%02x", digest[i]);
            hex += pair;
        }
    }
    if ((hex == tls->pin) && (ok || chainError(X509_STORE_CTX_get_error(store)))) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

void fail(TQ_ClientError *error, int code, const std::string &text)
{
    if (error) {
        error->code = code;
        snprintf(error->message, sizeof error->message, "%s", text.c_str());
    }
}

/* Waits for the socket as the session asks: 1 ready, 0 time-out, -1 error. */
int waitFor(int fd, int sslError, int timeoutMs)
{
    struct pollfd waiting = {fd, (short)(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        int ready = poll(&waiting, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
    }
}

} /* namespace */

bool tlsWanted(const TQ_ClientOptions *options)
{
    return options != nullptr && ((options->tlsCaFile && *options->tlsCaFile) || (options->tlsPin && *options->tlsPin));
}

Tls *tlsConnect(int fd, const TQ_ClientOptions *options, uint64_t deadline, TQ_ClientError *error)
{
    std::call_once(s_pinOnce, [] { s_pinIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });
    Tls *tls = new Tls;
    if (options->tlsPin && *options->tlsPin) {
        for (const char *c = options->tlsPin; *c; ++c) {
            if (*c != ':')
                tls->pin.push_back((char)tolower((unsigned char)*c));
        }
        if (tls->pin.size() != 64 || tls->pin.find_first_not_of("0123456789abcdef") != std::string::npos) {
            fail(error, TQ_CLIENT_BAD_ARGUMENT, "the TLS pin is not a SHA-256 fingerprint in hex");
            tlsFree(tls);
            return nullptr;
        }
    }
    tls->context = SSL_CTX_new(TLS_client_method());
    std::string step = "the context";
    bool ready = tls->context != nullptr;
    if (ready) {
        SSL_CTX_set_min_proto_version(tls->context, TLS1_3_VERSION);
        SSL_CTX_set_options(tls->context, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_verify(tls->context, SSL_VERIFY_PEER, verifyCallback);
        step = std::string("the CA file ") + (options->tlsCaFile ? options->tlsCaFile : "");
        ready = !(options->tlsCaFile && *options->tlsCaFile) ||
                SSL_CTX_load_verify_locations(tls->context, options->tlsCaFile, nullptr) == 1;
    }
    if (ready && options->tlsCertificate && *options->tlsCertificate) {
        step = std::string("the certificate ") + options->tlsCertificate + " or its key";
        ready = SSL_CTX_use_certificate_chain_file(tls->context, options->tlsCertificate) == 1 &&
                SSL_CTX_use_PrivateKey_file(tls->context, options->tlsKey ? options->tlsKey : options->tlsCertificate,
                                            SSL_FILETYPE_PEM) == 1 &&
                SSL_CTX_check_private_key(tls->context) == 1;
    }
    if (!ready || (tls->ssl = SSL_new(tls->context)) == nullptr) {
        fail(error, TQ_CLIENT_BAD_ARGUMENT, "TLS: cannot use " + step + ": " + libraryError());
        tlsFree(tls);
        return nullptr;
    }
    SSL_set_ex_data(tls->ssl, s_pinIndex, tls);
    if (options->tlsServerName && *options->tlsServerName) {
        SSL_set_tlsext_host_name(tls->ssl, options->tlsServerName);
        SSL_set1_host(tls->ssl, options->tlsServerName);
    }
    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    SSL_set_fd(tls->ssl, fd);
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(tls->ssl);
        if (result == 1)
            return tls;
        int code = SSL_get_error(tls->ssl, result);
        int wait = 0;
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            wait = waitFor(fd, code, msUntil(deadline));
            if (wait > 0)
                continue;
        }
        long verify = SSL_get_verify_result(tls->ssl);
        std::string text = wait == 0 && (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
                               ? "the TLS handshake did not finish in time"
                               : "TLS handshake failed: " + libraryError();
        if (verify != X509_V_OK)
            text += std::string(": ") + X509_verify_cert_error_string(verify);
        fail(error, wait == 0 ? TQ_CLIENT_TIMEOUT : TQ_CLIENT_TLS, text);
        tlsFree(tls);
        return nullptr;
    }
}

int tlsWaitReadable(Tls *tls, int fd, int timeoutMs)
{
    if (tls != nullptr) {
        std::lock_guard<std::mutex> guard(tls->lock);
        if (SSL_has_pending(tls->ssl))
            return 1;
    }
    return waitReadable(fd, timeoutMs);
}

long tlsReadSome(Tls *tls, int fd, void *buffer, size_t size)
{
    if (tls == nullptr)
        return readSome(fd, buffer, size);
    for (;;) {
        int code;
        {
            std::lock_guard<std::mutex> guard(tls->lock);
            size_t got = 0;
            ERR_clear_error();
            int result = SSL_read_ex(tls->ssl, buffer, size, &got);
            if (result == 1)
                return (long)got;
            code = SSL_get_error(tls->ssl, result);
        }
        if (code == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (code == SSL_ERROR_SYSCALL && errno != 0)
            return -1;
        if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            errno = EPROTO;
            return -1;
        }
        /* The socket was readable, so a record has begun: the rest of it
         * comes at once from a live server. */
        int ready = waitFor(fd, code, c_recordRestMs);
        if (ready <= 0) {
            errno = ready == 0 ? ETIMEDOUT : errno;
            return -1;
        }
    }
}

int tlsWriteAll(Tls *tls, int fd, const void *bytes, size_t size)
{
    if (tls == nullptr)
        return writeAll(fd, bytes, size);
    const char *at = (const char *)bytes;
    while (size > 0) {
        int code;
        {
            std::lock_guard<std::mutex> guard(tls->lock);
            size_t written = 0;
            ERR_clear_error();
            int result = SSL_write_ex(tls->ssl, at, size, &written);
            if (result == 1) {
                at += written;
                size -= written;
                continue;
            }
            code = SSL_get_error(tls->ssl, result);
        }
        if (code == SSL_ERROR_SYSCALL && errno != 0)
            return -1;
        if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            errno = EPIPE;
            return -1;
        }
        if (waitFor(fd, code, -1) < 0)
            return -1;
    }
    return 0;
}

int tlsShutdownWrite(Tls *tls, int fd)
{
    if (tls != nullptr) {
        std::lock_guard<std::mutex> guard(tls->lock);
        SSL_shutdown(tls->ssl);
        ERR_clear_error();
    }
    return shutdownWrite(fd);
}

void tlsFree(Tls *tls)
{
    if (tls == nullptr)
        return;
    SSL_free(tls->ssl);
    SSL_CTX_free(tls->context);
    delete tls;
}

} /* namespace tq_client */
