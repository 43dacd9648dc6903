/* TLS 1.3 on the tcp protocol's links, with OpenSSL. One server context
 * (accepted links) and one client context (dialled links) share the
 * certificate chain and the key, read once at start. A server link always
 * authenticates both ends: the peer's certificate must chain to the CA file
 * or, when pins are set, its SHA-256 fingerprint must be one of them. A
 * client link asks for a client certificate and, unless tlsVerifyClients is
 * false, refuses a client without one. Sessions run on the link's
 * non-blocking socket; the handshake is stepped from the link's readiness
 * and bounded by the link's deadline like the plain hello. A session reads
 * its socket through a read-ahead buffer and, once the handshake is done,
 * writes its records in batches, so a TLS link makes about as many system
 * calls as a clear one. */
#include "tls.h"

#include "link.h"
#include "transport.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
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
    int fd = -1;
    /* Bytes read from the socket that the session has not taken yet; held
     * only while some are left. */
    uint8_t *ahead = nullptr;
    size_t aheadAt = 0, aheadEnd = 0;
    /* Records made but not yet taken by the socket; held only while some
     * are left. */
    uint8_t *behind = nullptr;
    size_t behindAt = 0, behindEnd = 0;
};

namespace {

/* One record's worth of plaintext: small datasets are gathered up to this
 * before a write, so each write sends one full record. */
constexpr size_t kRecordBytes = 16384;
/* A session reads its socket this much at a time, so one system call (and
 * one window update sent to the peer) brings many records, where the
 * library alone would read each record's header and then its body. 512 KiB
 * each way spends less per 1 KiB dataset than 256 KiB (fewer system calls)
 * and than 1 MiB (the buffers stay in the processor's caches). */
constexpr size_t kReadAheadBytes = 512 * 1024;
/* Once the handshake is done, records are collected up to this much and
 * then written with one system call, as the clear path writes a whole
 * queue at once. */
constexpr size_t kWriteBatchBytes = 512 * 1024;
/* AES-128-GCM first: the fastest suite where the processor has AES
 * instructions; the accepting side's order decides. */
constexpr const char *kDefaultCiphersuites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

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
    std::string ciphersuites = kDefaultCiphersuites;
    SSL_CTX *server = nullptr, *client = nullptr;
    BIO_METHOD *readAhead = nullptr, *writeBatch = nullptr;
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

/* The session's reads: served from the bytes read ahead, the socket read
 * again (kReadAheadBytes at most) once they are taken. The buffer is freed
 * whenever the socket is found empty, so an idle link holds none. */
int readAheadRead(BIO *bio, char *out, int size)
{
    TlsSession *session = static_cast<TlsSession *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (session->aheadAt == session->aheadEnd) {
        if (session->ahead == nullptr)
            session->ahead = new uint8_t[kReadAheadBytes];
        ssize_t got = recv(session->fd, session->ahead, kReadAheadBytes, MSG_DONTWAIT);
        if (got <= 0) {
            int saved = errno;
            delete[] session->ahead;
            session->ahead = nullptr;
            session->aheadAt = session->aheadEnd = 0;
            if (got < 0 && (saved == EAGAIN || saved == EWOULDBLOCK || saved == EINTR))
                BIO_set_retry_read(bio);
            errno = saved;
            return static_cast<int>(got);
        }
        session->aheadAt = 0;
        session->aheadEnd = static_cast<size_t>(got);
    }
    size_t take = std::min(static_cast<size_t>(size), session->aheadEnd - session->aheadAt);
    memcpy(out, session->ahead + session->aheadAt, take);
    session->aheadAt += take;
    return static_cast<int>(take);
}

long readAheadControl(BIO *bio, int command, long, void *)
{
    if (command == BIO_CTRL_PENDING) {
        TlsSession *session = static_cast<TlsSession *>(BIO_get_data(bio));
        return static_cast<long>(session->aheadEnd - session->aheadAt);
    }
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

/* Writes the records collected for the socket: 1 when all are taken (the
 * buffer freed), 0 when the socket is full, -1 with errno. */
int sendBehind(TlsSession *session)
{
    while (session->behindAt < session->behindEnd) {
        ssize_t sent = send(session->fd, session->behind + session->behindAt, session->behindEnd - session->behindAt,
                            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        }
        session->behindAt += static_cast<size_t>(sent);
    }
    delete[] session->behind;
    session->behind = nullptr;
    session->behindAt = session->behindEnd = 0;
    return 1;
}

/* The session's writes once the handshake is done: each record is added to
 * the batch; a full batch is written first, and while the socket cannot
 * take it the session is told to retry the same record later. */
int writeBatchWrite(BIO *bio, const char *data, int size)
{
    TlsSession *session = static_cast<TlsSession *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    size_t length = static_cast<size_t>(size);
    if (session->behindEnd + length > kWriteBatchBytes && session->behindAt > 0) {
        memmove(session->behind, session->behind + session->behindAt, session->behindEnd - session->behindAt);
        session->behindEnd -= session->behindAt;
        session->behindAt = 0;
    }
    if (session->behindEnd + length > kWriteBatchBytes) {
        int sent = sendBehind(session);
        if (sent < 0)
            return -1;
        if (sent == 0) {
            BIO_set_retry_write(bio);
            return -1;
        }
    }
    if (session->behind == nullptr)
        session->behind = new uint8_t[std::max(kWriteBatchBytes, length)];
    memcpy(session->behind + session->behindEnd, data, length);
    session->behindEnd += length;
    return size;
}

long writeBatchControl(BIO *bio, int command, long, void *)
{
    if (command == BIO_CTRL_WPENDING) {
        TlsSession *session = static_cast<TlsSession *>(BIO_get_data(bio));
        return static_cast<long>(session->behindEnd - session->behindAt);
    }
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

/* Refuses a list of TLS 1.3 suites that is empty or names one the library
 * does not know, naming it. */
void checkCiphersuites(const std::string &list)
{
    SSL_CTX *probe = SSL_CTX_new(TLS_method());
    if (probe == nullptr)
        throw std::runtime_error("tcp: tlsCiphersuites cannot be checked: no TLS context");
    std::string bad;
    size_t at = 0;
    do {
        size_t end = std::min(list.find(':', at), list.size());
        std::string name = list.substr(at, end - at);
        if (name.empty() || SSL_CTX_set_ciphersuites(probe, name.c_str()) != 1) {
            bad = name;
            break;
        }
        at = end + 1;
    } while (at <= list.size());
    SSL_CTX_free(probe);
    ERR_clear_error();
    if (!bad.empty() || list.empty())
        throw std::runtime_error("tcp: tlsCiphersuites: \"" + bad +
                                 "\" is not a TLS 1.3 suite (such as TLS_AES_128_GCM_SHA256)");
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
    if (server) {
        SSL_CTX_set_num_tickets(context, 0);                           /* links are long-lived: no resumption */
        SSL_CTX_set_options(context, SSL_OP_CIPHER_SERVER_PREFERENCE); /* tlsCiphersuites' order decides */
    }
    step = "tlsCiphersuites";
    if (SSL_CTX_set_ciphersuites(context, s_tls.ciphersuites.c_str()) != 1)
        goto failed;
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
    noteSetting("tlsCiphersuites");
    if (group.exists("tlsCiphersuites")) {
        if (group["tlsCiphersuites"].getType() != libconfig::Setting::TypeString)
            throw std::runtime_error("tcp: tlsCiphersuites must be a string");
        checkCiphersuites(group["tlsCiphersuites"].c_str());
        s_tls.ciphersuites = group["tlsCiphersuites"].c_str();
    }
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
    if (s_tls.readAhead == nullptr) {
        s_tls.readAhead = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tcp read-ahead");
        if (s_tls.readAhead == nullptr || BIO_meth_set_read(s_tls.readAhead, readAheadRead) != 1 ||
            BIO_meth_set_ctrl(s_tls.readAhead, readAheadControl) != 1 ||
            (s_tls.writeBatch = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tcp write batch")) ==
                nullptr ||
            BIO_meth_set_write(s_tls.writeBatch, writeBatchWrite) != 1 ||
            BIO_meth_set_ctrl(s_tls.writeBatch, writeBatchControl) != 1) {
            TQ_log(log, TQ_LOG_ERROR, "tcp: TLS: cannot make the sessions' reader and writer\n");
            return -1;
        }
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
    BIO_meth_free(s_tls.readAhead);
    BIO_meth_free(s_tls.writeBatch);
    s_tls.readAhead = s_tls.writeBatch = nullptr;
}

bool tlsAttach(Link *link, bool accepting, const std::string &address)
{
    SSL *ssl = SSL_new(accepting ? s_tls.server : s_tls.client);
    BIO *reader = BIO_new(s_tls.readAhead);
    if (ssl == nullptr || reader == nullptr || SSL_set_fd(ssl, link->fd) != 1) {
        SSL_free(ssl);
        BIO_free(reader);
        ERR_clear_error();
        die(link, TQ_LOG_ERROR, "no TLS session could be made");
        return false;
    }
    link->tls = new TlsSession();
    link->tls->ssl = ssl;
    link->tls->fd = link->fd;
    BIO_set_data(reader, link->tls);
    BIO_set_init(reader, 1);
    SSL_set0_rbio(ssl, reader); /* writes still go straight to the socket */
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
        BIO *writer = BIO_new(s_tls.writeBatch);
        if (writer == nullptr) {
            ERR_clear_error();
            die(link, TQ_LOG_ERROR, "no TLS session could be made");
            return -1;
        }
        BIO_set_data(writer, link->tls);
        BIO_set_init(writer, 1);
        SSL_set0_wbio(ssl, writer); /* frees the socket's writer; the socket stays open */
        link->tls->done = true;
        char subject[256] = "no certificate";
        if (X509 *peer = SSL_get0_peer_certificate(ssl))
            X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
        TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: connection %s: TLS 1.3 with %s (%s)\n", link->name, subject,
               SSL_get_cipher_name(ssl));
        /* The peer's first datasets may have been read ahead with its last
         * handshake message: no socket readiness would report them. */
        tlsReadLater(link);
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
    /* Reading may have made a record of its own (an answer to a key
     * update): it leaves when the socket takes it. */
    TlsSession *session = link->tls;
    if (session->behindAt < session->behindEnd && sendBehind(session) == 0 && !link->epollOut) {
        link->epollOut = true;
        setEvents(link, (link->readPaused ? 0u : static_cast<uint32_t>(EPOLLIN)) | static_cast<uint32_t>(EPOLLOUT));
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
    int sent = sendBehind(link->tls); /* what an earlier call left goes first */
    if (sent <= 0) {
        if (sent == 0)
            errno = EAGAIN;
        return -1;
    }
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
    /* Taken bytes count as written once their records are made: what the
     * socket does not take now leaves before anything else. */
    if (sendBehind(link->tls) < 0 && total == 0)
        return -1;
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
        sendBehind(link->tls);
    }
}

bool tlsSent(Link *link)
{
    return link->tls == nullptr || link->tls->behindAt == link->tls->behindEnd || sendBehind(link->tls) == 1;
}

void tlsFree(Link *link)
{
    if (link->tls == nullptr)
        return;
    s_tls.readLater.erase(std::remove(s_tls.readLater.begin(), s_tls.readLater.end(), link), s_tls.readLater.end());
    SSL_free(link->tls->ssl);
    delete[] link->tls->ahead;
    delete[] link->tls->behind;
    delete link->tls;
    link->tls = nullptr;
}

void tlsReadLater(Link *link)
{
    if (link->tls != nullptr && link->phase != Phase::Dead &&
        (SSL_has_pending(link->tls->ssl) || link->tls->aheadAt < link->tls->aheadEnd) &&
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
