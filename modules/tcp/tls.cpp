/* TLS 1.3 on the tcp protocol's links, with OpenSSL. One server context
 * (accepted links) and one client context (dialled links) share the
 * certificate chain and the key, read once at start. A server link always
 * authenticates both ends: the peer's certificate must chain to the CA file
 * or, when pins are set, its SHA-256 fingerprint must be one of them. A
 * client link asks for a client certificate and, unless tlsVerifyClients is
 * false, refuses a client without one. Sessions run on the link's
 * non-blocking socket; the handshake is stepped from the link's readiness
 * and bounded by the link's deadline like the plain hello. */
#include "tls.h"

#include "link.h"
#include "transport.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace tcp {

struct TlsSession {
    SSL *ssl = nullptr;
    bool done = false; /* handshake complete */
};

namespace {

/* One record's worth of plaintext: small datasets are gathered up to this
 * before a write, so each write sends one full record. */
constexpr size_t kRecordBytes = 16384;

struct AddressTls {
    bool required = false;
    std::string serverName; /* a peer's expected certificate name; empty: not checked */
};

struct TlsState {
    bool defaultRequired = false;
    std::map<std::pair<AddressKind, std::string>, AddressTls> addresses;
    std::string certificate, key, caFile;
    std::vector<std::string> pins; /* lower-case hex, no separators */
    bool verifyClients = true;
    SSL_CTX *server = nullptr, *client = nullptr;
    std::vector<Link *> readLater;
    uint8_t staging[kRecordBytes];
};

TlsState s_tls;

bool parseMode(const libconfig::Setting &setting)
{
    std::string text = setting.getType() == libconfig::Setting::TypeString ? setting.c_str() : "";
    if (text != "required" && text != "off")
        throw std::runtime_error(std::string("tcp: ") + setting.getName() + " must be \"required\" or \"off\"");
    return text == "required";
}

std::string stringOf(const libconfig::Setting &group, const char *name)
{
    noteSetting(name);
    if (!group.exists(name))
        return "";
    if (group[name].getType() != libconfig::Setting::TypeString)
        throw std::runtime_error(std::string("tcp: ") + name + " must be a string");
    return group[name].c_str();
}

std::string normalPin(const std::string &text)
{
    std::string hex;
    for (char c : text) {
        if (c == ':')
            continue;
        if (!isxdigit(static_cast<unsigned char>(c)))
            throw std::runtime_error("tcp: tlsPins must hold SHA-256 fingerprints in hex");
        hex.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
    }
    if (hex.size() != 64)
        throw std::runtime_error("tcp: tlsPins must hold SHA-256 fingerprints in hex");
    return hex;
}

void readAddressList(const libconfig::Setting &group, const char *name, AddressKind kind)
{
    if (!group.exists(name))
        return;
    const libconfig::Setting &list = group[name];
    auto add = [&](const libconfig::Setting &entry) {
        AddressTls tls;
        tls.required = s_tls.defaultRequired;
        std::string address;
        if (entry.getType() == libconfig::Setting::TypeString) {
            address = entry.c_str();
        } else if (entry.isGroup()) {
            for (int i = 0; i < entry.getLength(); ++i) {
                std::string setting = entry[i].getName();
                if (setting != "address" && setting != "tls" && (setting != "serverName" || kind != AddressKind::Peer))
                    throw std::runtime_error(std::string("tcp: an address of ") + name + " has no setting \"" +
                                             setting + "\"");
            }
            address = entry.exists("address") ? entry["address"].c_str() : "";
            if (entry.exists("tls"))
                tls.required = parseMode(entry["tls"]);
            if (kind == AddressKind::Peer && entry.exists("serverName"))
                tls.serverName = entry["serverName"].c_str();
        }
        s_tls.addresses[{kind, address}] = tls;
    };
    if (list.isList() || list.isArray()) {
        for (int i = 0; i < list.getLength(); ++i)
            add(list[i]);
    } else {
        add(list);
    }
}

/* The text of the library's last error for `ssl` after `result`, with the
 * certificate check's reason when that failed. */
std::string failure(SSL *ssl, int result)
{
    int saved = errno;
    int code = SSL_get_error(ssl, result);
    std::string text;
    if (unsigned long error = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(error, buffer, sizeof buffer);
        const char *reason = ERR_reason_error_string(error);
        text = reason != nullptr ? reason : buffer;
    } else if (code == SSL_ERROR_SYSCALL) {
        text = saved != 0 ? strerror(saved) : "the peer closed the connection";
    } else {
        text = "error " + std::to_string(code);
    }
    long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK)
        text += std::string(": ") + X509_verify_cert_error_string(verify);
    ERR_clear_error();
    return text;
}

/* A certificate that a pin vouches for needs no chain to a trusted CA;
 * other faults (a name or a date) still count. */
bool chainError(int error)
{
    return error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT || error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
           error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
           error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE || error == X509_V_ERR_CERT_UNTRUSTED;
}

/* With pins the leaf certificate decides alone: the chain above it is not
 * looked at, and the leaf passes only when its fingerprint is pinned. */
int verifyCallback(int ok, X509_STORE_CTX *store)
{
    if (s_tls.pins.empty())
        return ok;
    if (X509_STORE_CTX_get_error_depth(store) > 0)
        return 1;
    X509 *leaf = X509_STORE_CTX_get_current_cert(store);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (leaf != nullptr && X509_digest(leaf, EVP_sha256(), digest, &length) == 1) {
        std::string hex;
        static const char kHex[] = "0123456789abcdef";
        for (unsigned i = 0; i < length; ++i) {
            hex.push_back(kHex[digest[i] >> 4]);
            hex.push_back(kHex[digest[i] & 15]);
        }
        if ((std::find(s_tls.pins.begin(), s_tls.pins.end(), hex) != s_tls.pins.end()) &&
            (ok || chainError(X509_STORE_CTX_get_error(store)))) {
            X509_STORE_CTX_set_error(store, X509_V_OK);
            return 1;
        }
    }
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

/* Reads the key file once; refuses one that group or others may access. */
EVP_PKEY *readKey(TQ_Logger *log)
{
    FILE *file = fopen(s_tls.key.c_str(), "re");
    if (file == nullptr) {
        TQ_log(log, TQ_LOG_ERROR, "tcp: cannot read the TLS key %s: %s\n", s_tls.key.c_str(), strerror(errno));
        return nullptr;
    }
    struct stat status;
    EVP_PKEY *key = nullptr;
    if (fstat(fileno(file), &status) != 0 || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        TQ_log(log, TQ_LOG_ERROR, "tcp: the TLS key %s may be read by group or others (mode %03o); refusing it\n",
               s_tls.key.c_str(), static_cast<unsigned>(status.st_mode & 0777));
    else if ((key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr)) == nullptr)
        TQ_log(log, TQ_LOG_ERROR, "tcp: the TLS key %s cannot be used: %s\n", s_tls.key.c_str(),
               ERR_reason_error_string(ERR_get_error()));
    fclose(file);
    ERR_clear_error();
    return key;
}

SSL_CTX *makeContext(bool server, EVP_PKEY *key, TQ_Logger *log)
{
    SSL_CTX *context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    const char *step = "the context";
    if (context == nullptr)
        goto failed;
    SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    /* A framed dataset stream shows a cut itself; an end without the alert
     * is read as the peer's end. */
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (server)
        SSL_CTX_set_num_tickets(context, 0); /* links are long-lived: no resumption */
    step = "the certificate chain";
    if (SSL_CTX_use_certificate_chain_file(context, s_tls.certificate.c_str()) != 1)
        goto failed;
    step = "the key";
    if (SSL_CTX_use_PrivateKey(context, key) != 1 || SSL_CTX_check_private_key(context) != 1)
        goto failed;
    step = "the CA file";
    if (!s_tls.caFile.empty() && SSL_CTX_load_verify_locations(context, s_tls.caFile.c_str(), nullptr) != 1)
        goto failed;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verifyCallback);
    return context;
failed:
    TQ_log(log, TQ_LOG_ERROR, "tcp: TLS: cannot use %s: %s\n", step, ERR_reason_error_string(ERR_get_error()));
    ERR_clear_error();
    SSL_CTX_free(context);
    return nullptr;
}

} /* namespace */

void readTlsSettings(const libconfig::Setting &group)
{
    noteSetting("tls");
    if (group.exists("tls"))
        s_tls.defaultRequired = parseMode(group["tls"]);
    readAddressList(group, "listen", AddressKind::Listen);
    readAddressList(group, "clientListen", AddressKind::ClientListen);
    readAddressList(group, "peers", AddressKind::Peer);
    std::string text;
    if (!(text = stringOf(group, "tlsCertificate")).empty())
        s_tls.certificate = text;
    if (!(text = stringOf(group, "tlsKey")).empty())
        s_tls.key = text;
    if (!(text = stringOf(group, "tlsCaFile")).empty())
        s_tls.caFile = text;
    noteSetting("tlsPins");
    if (group.exists("tlsPins")) {
        const libconfig::Setting &pins = group["tlsPins"];
        if (pins.getType() == libconfig::Setting::TypeString) {
            s_tls.pins.push_back(normalPin(pins.c_str()));
        } else {
            for (int i = 0; i < pins.getLength(); ++i) {
                if (pins[i].getType() != libconfig::Setting::TypeString)
                    throw std::runtime_error("tcp: tlsPins must hold only strings");
                s_tls.pins.push_back(normalPin(pins[i].c_str()));
            }
        }
    }
    noteSetting("tlsVerifyClients");
    if (group.exists("tlsVerifyClients")) {
        if (group["tlsVerifyClients"].getType() != libconfig::Setting::TypeBoolean)
            throw std::runtime_error("tcp: tlsVerifyClients must be true or false");
        s_tls.verifyClients = group["tlsVerifyClients"];
    }
}

bool tlsRequired(AddressKind kind, const std::string &address)
{
    auto found = s_tls.addresses.find({kind, address});
    return found != s_tls.addresses.end() && found->second.required;
}

int tlsStart(TQ_Logger *log)
{
    bool any = false, authenticate = false;
    for (const auto &entry : s_tls.addresses) {
        any = any || entry.second.required;
        authenticate = authenticate || (entry.second.required &&
                                        (entry.first.first != AddressKind::ClientListen || s_tls.verifyClients));
    }
    if (!any)
        return 1;
    if (s_tls.certificate.empty() || s_tls.key.empty()) {
        TQ_log(log, TQ_LOG_ERROR, "tcp: TLS is required on some addresses but tlsCertificate or tlsKey is not set\n");
        return -1;
    }
    if (authenticate && s_tls.caFile.empty() && s_tls.pins.empty()) {
        TQ_log(log, TQ_LOG_ERROR, "tcp: TLS peers are authenticated, but neither tlsCaFile nor tlsPins is set\n");
        return -1;
    }
    EVP_PKEY *key = readKey(log);
    if (key == nullptr)
        return -1;
    s_tls.server = makeContext(true, key, log);
    s_tls.client = s_tls.server != nullptr ? makeContext(false, key, log) : nullptr;
    EVP_PKEY_free(key);
    if (s_tls.client == nullptr) {
        SSL_CTX_free(s_tls.server);
        s_tls.server = nullptr;
        return -1;
    }
    return 1;
}

void tlsStop()
{
    SSL_CTX_free(s_tls.server);
    SSL_CTX_free(s_tls.client);
    s_tls.server = s_tls.client = nullptr;
}

bool tlsAttach(Link *link, bool accepting, const std::string &address)
{
    SSL *ssl = SSL_new(accepting ? s_tls.server : s_tls.client);
    if (ssl == nullptr || SSL_set_fd(ssl, link->fd) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        die(link, TQ_LOG_ERROR, "no TLS session could be made");
        return false;
    }
    if (accepting) {
        SSL_set_accept_state(ssl);
        if (!link->forServer && !s_tls.verifyClients)
            SSL_set_verify(ssl, SSL_VERIFY_PEER, verifyCallback);
    } else {
        SSL_set_connect_state(ssl);
        auto found = s_tls.addresses.find({AddressKind::Peer, address});
        if (found != s_tls.addresses.end() && !found->second.serverName.empty()) {
            SSL_set_tlsext_host_name(ssl, found->second.serverName.c_str());
            SSL_set1_host(ssl, found->second.serverName.c_str());
        }
    }
    link->tls = new TlsSession();
    link->tls->ssl = ssl;
    return true;
}

int tlsHandshake(Link *link)
{
    SSL *ssl = link->tls->ssl;
    if (link->tls->done)
        return 1;
    ERR_clear_error();
    int result = SSL_do_handshake(ssl);
    if (result == 1) {
        link->tls->done = true;
        char subject[256] = "no certificate";
        if (X509 *peer = SSL_get0_peer_certificate(ssl))
            X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
        TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: connection %s: TLS 1.3 with %s\n", link->name, subject);
        return 1;
    }
    int code = SSL_get_error(ssl, result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
        setEvents(link, code == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT);
        return 0;
    }
    die(link, TQ_LOG_WARN, ("TLS handshake failed: " + failure(ssl, result)).c_str());
    return -1;
}

ssize_t tlsRead(Link *link, void *buffer, size_t size)
{
    SSL *ssl = link->tls->ssl;
    size_t got = 0;
    while (got < size) {
        size_t count = 0;
        ERR_clear_error();
        int result = SSL_read_ex(ssl, static_cast<uint8_t *>(buffer) + got, size - got, &count);
        if (result == 1) {
            got += count;
            continue;
        }
        int code = SSL_get_error(ssl, result);
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE || got > 0)
            break; /* an end or error is met again by the next call */
        if (code == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (code == SSL_ERROR_SYSCALL && errno != 0)
            return -1;
        die(link, TQ_LOG_WARN, ("TLS: " + failure(ssl, result)).c_str());
        errno = EPROTO;
        return -1;
    }
    if (got == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(got);
}

ssize_t tlsWritev(Link *link, const iovec *iov, int count)
{
    SSL *ssl = link->tls->ssl;
    size_t total = 0, offset = 0;
    int at = 0;
    while (at < count) {
        const uint8_t *data = static_cast<const uint8_t *>(iov[at].iov_base) + offset;
        size_t length = iov[at].iov_len - offset;
        if (length < kRecordBytes) {
            /* Gathered from the same leading bytes on every call, so a write
             * the socket refused is repeated as the library requires. */
            length = 0;
            for (int i = at; i < count && length < kRecordBytes; ++i) {
                size_t skip = i == at ? offset : 0;
                size_t take = std::min(iov[i].iov_len - skip, kRecordBytes - length);
                memcpy(s_tls.staging + length, static_cast<const uint8_t *>(iov[i].iov_base) + skip, take);
                length += take;
            }
            data = s_tls.staging;
        }
        size_t written = 0;
        ERR_clear_error();
        int result = SSL_write_ex(ssl, data, length, &written);
        if (result != 1) {
            int code = SSL_get_error(ssl, result);
            if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ)
                break;
            if (code != SSL_ERROR_SYSCALL || errno == 0) {
                die(link, TQ_LOG_WARN, ("TLS: " + failure(ssl, result)).c_str());
                errno = EPROTO;
            }
            return total > 0 ? static_cast<ssize_t>(total) : -1;
        }
        total += written;
        for (offset += written; at < count && offset >= iov[at].iov_len; ++at)
            offset -= iov[at].iov_len;
    }
    if (total == 0 && at < count) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(total);
}

void tlsShutdown(Link *link)
{
    if (link->tls != nullptr && link->tls->done) {
        SSL_shutdown(link->tls->ssl);
        ERR_clear_error();
    }
}

void tlsFree(Link *link)
{
    if (link->tls == nullptr)
        return;
    s_tls.readLater.erase(std::remove(s_tls.readLater.begin(), s_tls.readLater.end(), link), s_tls.readLater.end());
    SSL_free(link->tls->ssl);
    delete link->tls;
    link->tls = nullptr;
}

void tlsReadLater(Link *link)
{
    if (link->tls != nullptr && link->phase != Phase::Dead && SSL_has_pending(link->tls->ssl) &&
        std::find(s_tls.readLater.begin(), s_tls.readLater.end(), link) == s_tls.readLater.end())
        s_tls.readLater.push_back(link);
}

bool tlsReadsWaiting()
{
    return !s_tls.readLater.empty();
}

void tlsRunReads()
{
    std::vector<Link *> links;
    links.swap(s_tls.readLater);
    for (Link *link : links)
        readable(link);
}

} /* namespace tcp */
