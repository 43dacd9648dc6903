/* Relaying through real servers against the machine's ceiling. Two clients
 * exchange datasets of the relay's type through one tessarc-server or a line
 * of three (tcp.protocol, relay.service), and, in the same run, through a
 * plain TCP forwarder doing the same framing (one forwarder, or a line of
 * three). Measured: a flood (the first client publishes 1,000,000 datasets
 * as fast as its socket takes them, the last one reads them: datasets/s,
 * its ratio to the forwarder, the share delivered, links cut and datasets
 * shed), round trips (p50, p99, p99.9 and the ratio of the p50s), and for
 * every server or forwarder its resident memory at the end and the CPU time
 * it spent per dataset (cpu<i>_us; a round trip is two datasets).
 *
 * With servers = 2 every link, the clients' included, runs TLS 1.3 (a test CA
 * made with the openssl tool); vs_plain is then the ratio to the same run in
 * clear, and cpu<i>_us shows what TLS costs each server per dataset.
 *
 * Placement: "split" pins the servers (or forwarders) to CPU 0 and the
 * clients to CPU 1; "onecore" puts everything on CPU 0.
 *
 * The server, the modules and this program come from one build tree
 * (<build>/host, <build>/modules, <build>/bench). The forwarder is this
 * program started again with TQ_MESH_FORWARDER set. */
#include <benchmark/benchmark.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const uint8_t c_type = 16; /* relay.service's dataset type */
const uint32_t c_maxDataset = 1048576;
const long c_flood = 1000000; /* datasets per flood iteration */

using Clock = std::chrono::steady_clock;

void pin(pid_t pid, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(pid, sizeof set, &set);
}

uint32_t lengthAt(const uint8_t *p)
{
    uint32_t length;
    std::memcpy(&length, p, 4);
    return length;
}

int listenLoopback()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (sockaddr *)&address, sizeof address) != 0 || listen(fd, 64) != 0)
        return -1;
    return fd;
}

int dial(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const uint8_t *bytes, size_t length)
{
    for (size_t done = 0; done < length;) {
        ssize_t n = send(fd, bytes + done, length - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

/* ---- The forwarder ---- */

/* The ceiling the servers are measured against: one thread, one epoll set,
 * reads of up to 1 MiB, and every complete dataset (framed by the length in
 * its 8-byte header) of a read appended, unchanged and in one piece, to
 * every other connection's queue; each queue is written with one call per
 * batch of events. While any queue holds more than kForwardBound bytes no
 * connection is read, so a flood slows its publisher here as well. */
const size_t kForwardRead = 1u << 20;
const size_t kForwardBound = 8u << 20;

struct Link {
    int fd;
    std::vector<uint8_t> in = std::vector<uint8_t>(kForwardRead + c_maxDataset);
    size_t have = 0;
    std::vector<uint8_t> out;
    size_t sent = 0;
    bool wantsOut = false;
};

int runForwarder(const char *peer)
{
    signal(SIGPIPE, SIG_IGN);
    int listener = listenLoopback();
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(listener, (sockaddr *)&address, &length);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::map<int, std::unique_ptr<Link>> links;
    bool paused = false;
    auto watch = [&](Link &l, int op) {
        epoll_event w{(paused ? 0u : (uint32_t)EPOLLIN) | (l.wantsOut ? (uint32_t)EPOLLOUT : 0u), {}};
        w.data.fd = l.fd;
        epoll_ctl(ep, op, l.fd, &w);
    };
    auto add = [&](int fd) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fcntl(fd, F_SETFL, O_NONBLOCK);
        auto link = std::make_unique<Link>();
        link->fd = fd;
        watch(*link, EPOLL_CTL_ADD);
        links[fd] = std::move(link);
    };
    if (std::atoi(peer) != 0)
        add(dial((uint16_t)std::atoi(peer)));
    epoll_event e{EPOLLIN, {}};
    e.data.fd = listener;
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &e);
    std::printf("forwarder listening on 127.0.0.1:%u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    std::vector<epoll_event> events(64);
    for (;;) {
        int n = epoll_wait(ep, events.data(), (int)events.size(), -1);
        for (int i = 0; i < n; ++i) {
            int fd = events[(size_t)i].data.fd;
            if (fd == listener) {
                int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0)
                    add(c);
                continue;
            }
            auto it = links.find(fd);
            if (it == links.end() || (paused && !(events[(size_t)i].events & (EPOLLHUP | EPOLLERR))))
                continue;
            Link &l = *it->second;
            ssize_t got = recv(fd, l.in.data() + l.have, kForwardRead, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                close(fd);
                links.erase(it);
                continue;
            }
            l.have += got > 0 ? (size_t)got : 0;
            size_t at = 0;
            while (l.have - at >= 8) {
                uint32_t size = lengthAt(l.in.data() + at);
                if (size < 8 || size > c_maxDataset)
                    return 1;
                if (l.have - at < size)
                    break;
                at += size;
            }
            for (auto &[other, target] : links)
                if (other != fd)
                    target->out.insert(target->out.end(), l.in.begin(), l.in.begin() + (long)at);
            std::memmove(l.in.data(), l.in.data() + at, l.have - at);
            l.have -= at;
        }
        bool full = false;
        for (auto &[fd, l] : links) {
            if (l->out.size() > l->sent) {
                ssize_t put = send(fd, l->out.data() + l->sent, l->out.size() - l->sent, MSG_NOSIGNAL);
                l->sent += put > 0 ? (size_t)put : 0;
            }
            if (l->sent == l->out.size()) {
                l->out.clear();
                l->sent = 0;
            } else if (l->sent >= kForwardBound) {
                l->out.erase(l->out.begin(), l->out.begin() + (long)l->sent);
                l->sent = 0;
            }
            full = full || l->out.size() - l->sent > kForwardBound;
            bool wants = !l->out.empty();
            if (wants != l->wantsOut) {
                l->wantsOut = wants;
                watch(*l, EPOLL_CTL_MOD);
            }
        }
        if (full != paused) {
            paused = full;
            for (auto &[fd, l] : links)
                watch(*l, EPOLL_CTL_MOD);
        }
    }
}

/* Started with TQ_MESH_FORWARDER=<port to dial, or 0>, this program is a
 * forwarder and never reaches the benchmarks. */
const bool s_isForwarder = [] {
    const char *peer = std::getenv("TQ_MESH_FORWARDER");
    if (peer != nullptr)
        _exit(runForwarder(peer));
    return false;
}();

/* ---- Processes ---- */

std::string readText(const fs::path &file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* A child pinned to `cpu`, its output in `out`. */
pid_t spawn(const std::string &program, const std::vector<std::string> &env, const fs::path &out, int cpu)
{
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        /* Ends with this program, even when it is killed. */
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        pin(0, cpu);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    return pid;
}

/* Waits up to 20 s for `marker` in `file`; the number after it, or 0. */
long waitForNumber(const fs::path &file, const std::string &marker)
{
    for (int i = 0; i < 2000; ++i) {
        std::string text = readText(file);
        size_t at = text.find(marker);
        if (at != std::string::npos)
            return std::atol(text.c_str() + at + marker.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

/* A memory figure of process `pid` in kB, or -1. The figures are the
 * process's, so the first thread whose status has them gives them. */
long residentKb(pid_t pid, const char *field)
{
    std::error_code error;
    for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string status = readText(task.path() / "status");
        size_t at = status.find(field);
        if (at != std::string::npos)
            return std::atol(status.c_str() + at + std::strlen(field) + 1);
    }
    return -1;
}

/* CPU time (user and system) that process `pid` has used, in clock ticks. */
long cpuTicks(pid_t pid)
{
    long ticks = 0;
    std::error_code error;
    for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string stat = readText(task.path() / "stat");
        size_t at = stat.rfind(')'); /* the name may hold blanks */
        std::istringstream fields(at == std::string::npos ? "" : stat.substr(at + 2));
        std::string field;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i == 14 || i == 15)
                ticks += std::atol(field.c_str());
    }
    return ticks;
}

/* ---- Clients ---- */

/* One client connection with a receive buffer. */
struct Client {
    int fd = -1;
    SSL *ssl = nullptr; /* a TLS session over fd; null in clear */
    std::vector<uint8_t> in = std::vector<uint8_t>(262144);
    size_t have = 0, at = 0;

    ~Client()
    {
        SSL_free(ssl);
        if (fd >= 0)
            close(fd);
    }
    /* Starts TLS on the connected socket, trusting the server unchecked.
     * Records go through buffers of 256 KiB both ways, so the clients make
     * about as many system calls as in clear (one read or write of many
     * records) and the servers stay what is measured. */
    bool startTls(SSL_CTX *context)
    {
        ssl = SSL_new(context);
        if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1)
            return false;
        BIO *socket = SSL_get_rbio(ssl), *reader = BIO_new(BIO_f_buffer()), *writer = BIO_new(BIO_f_buffer());
        if (reader == nullptr || writer == nullptr || BIO_set_read_buffer_size(reader, 262144) != 1 ||
            BIO_set_write_buffer_size(writer, 262144) != 1 || BIO_up_ref(socket) != 1 || BIO_up_ref(socket) != 1) {
            BIO_free(reader);
            BIO_free(writer);
            return false;
        }
        /* The socket ends both chains: one reference each, as the session's
         * two it drops below. */
        SSL_set0_rbio(ssl, BIO_push(reader, socket));
        SSL_set0_wbio(ssl, BIO_push(writer, socket));
        return SSL_connect(ssl) == 1;
    }
    /* Up to `length` bytes as they come, within `timeoutMs`; 0 at the end
     * or on a time-out. */
    ssize_t readSome(uint8_t *bytes, size_t length, int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        if ((ssl == nullptr || (SSL_pending(ssl) == 0 && BIO_ctrl_pending(SSL_get_rbio(ssl)) == 0)) &&
            poll(&p, 1, timeoutMs) != 1)
            return 0;
        size_t got = 0;
        if (ssl != nullptr)
            return SSL_read_ex(ssl, bytes, length, &got) == 1 ? (ssize_t)got : 0;
        return recv(fd, bytes, length, 0);
    }
    bool put(const uint8_t *bytes, size_t length)
    {
        size_t written = 0;
        if (ssl != nullptr)
            return SSL_write_ex(ssl, bytes, length, &written) == 1 && BIO_flush(SSL_get_wbio(ssl)) == 1;
        return sendAll(fd, bytes, length);
    }
    /* The next dataset (pointer into the buffer), or null when none came
     * within `timeoutMs` or the connection ended. */
    const uint8_t *next(int timeoutMs)
    {
        for (;;) {
            if (have - at >= 8) {
                uint32_t size = lengthAt(in.data() + at);
                if (have - at >= size) {
                    at += size;
                    return in.data() + at - size;
                }
                if (size > in.size())
                    in.resize(size);
            }
            std::memmove(in.data(), in.data() + at, have - at);
            have -= at;
            at = 0;
            ssize_t n = readSome(in.data() + have, in.size() - have, timeoutMs);
            if (n <= 0)
                return nullptr;
            have += (size_t)n;
        }
    }
};

void putBasic(std::vector<uint8_t> &out, uint8_t subtype, const std::vector<uint8_t> &body)
{
    uint32_t length = (uint32_t)(9 + body.size());
    uint8_t header[9] = {0, 0, 0, 0, 2, 0x80, 0, 0, subtype};
    std::memcpy(header, &length, 4);
    out.insert(out.end(), header, header + 9);
    out.insert(out.end(), body.begin(), body.end());
}

/* The client side of a server's handshake, all at once: network ID "*"
 * with version 2.1, accept, node name; connected when the group exchange
 * dataset (type 4) arrives. */
bool handshake(Client &c, const std::string &name)
{
    std::vector<uint8_t> out;
    putBasic(out, 0, {1, 2, 0, 1, 0, '*', 0});
    putBasic(out, 1, {1});
    std::vector<uint8_t> body = {0, 0, 0};
    body.insert(body.end(), name.begin(), name.end());
    body.push_back(0);
    putBasic(out, 2, body);
    if (!c.put(out.data(), out.size()))
        return false;
    while (const uint8_t *d = c.next(10000)) {
        if (d[4] == 4)
            return true;
        if (d[4] == 2 && d[8] == 1 && lengthAt(d) == 10 && d[9] == 0)
            return false;
    }
    return false;
}

/* A client dataset: header, subtype 0, `payload` bytes. */
std::vector<uint8_t> dataset(uint32_t payload)
{
    std::vector<uint8_t> d(12 + payload, 0x5a);
    uint32_t length = 12 + payload;
    std::memcpy(d.data(), &length, 4);
    d[4] = c_type;
    d[5] = d[6] = d[7] = 0;
    std::memset(d.data() + 8, 0, 4);
    return d;
}

/* ---- Set-ups ---- */

/* servers: 0 forwarders, 1 servers, 2 servers with TLS on every link. */
std::string setupKey(int servers, int count, bool split)
{
    return std::string(servers == 2 ? "tls"
                       : servers    ? "server"
                                    : "forwarder") +
           std::to_string(count) + (split ? "split" : "onecore");
}

/* A test CA and one certificate it signed, for every server. */
std::string tlsSettings(const fs::path &dir)
{
    std::string script =
        "cd '" + dir.string() +
        "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out "
        "ca.pem -days 2 -subj /CN=ca && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-keyout node.key -out node.csr -subj /CN=node && openssl x509 -req -in node.csr -CA ca.pem "
        "-CAkey ca.key -CAcreateserial -days 2 -out node.pem && chmod 600 *.key";
    if (std::system(("(" + script + ") >/dev/null 2>&1").c_str()) != 0)
        return "";
    return " tls = \"required\"; tlsVerifyClients = false; tlsCertificate = \"" + (dir / "node.pem").string() +
           "\"; tlsKey = \"" + (dir / "node.key").string() + "\"; tlsCaFile = \"" + (dir / "ca.pem").string() + "\";";
}

/* Servers (or forwarders) in a line, a client on the first and one on the
 * last. Started once for every benchmark with the same key. */
struct Setup {
    std::string key;
    fs::path dir;
    std::vector<pid_t> pids;
    Client a, c;
    std::string failure;

    SSL_CTX *context = nullptr;

    Setup(int servers, int count, bool split)
    {
        key = setupKey(servers, count, split);
        char pattern[] = "/tmp/mesh_relay_bench.XXXXXX";
        dir = mkdtemp(pattern);
        std::string tls = servers == 2 ? tlsSettings(dir) : "";
        if (servers == 2 && (tls.empty() || (context = SSL_CTX_new(TLS_client_method())) == nullptr)) {
            failure = "no certificates for TLS";
            return;
        }
        fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path();
        std::vector<uint16_t> clientPorts;
        uint16_t previous = 0;
        for (int i = 0; i < count; ++i) {
            fs::path out = dir / ("p" + std::to_string(i) + ".log");
            if (servers) {
                fs::path root = dir / ("s" + std::to_string(i));
                fs::create_directories(root / "Config");
                fs::create_directories(root / "Protocols");
                fs::create_directories(root / "Services");
                /* Links, so that a profiler finds the modules' symbols
                 * after the root is gone. */
                fs::create_symlink(build / "modules/tcp/tcp.protocol", root / "Protocols/tcp.protocol");
                fs::create_symlink(build / "modules/relay/relay.service", root / "Services/relay.service");
                std::ofstream(root / "Config/Communication.cfg")
                    << "serverName = \"s" << i << "\";\nprotocols = ( { name = \"tcp\"; listen = \"127.0.0.1:0\";"
                    << " clientListen = \"127.0.0.1:0\"; peers = ["
                    << (previous ? "\"127.0.0.1:" + std::to_string(previous) + "\"" : "") << "];" << tls << " } );\n";
                pids.push_back(
                    spawn((build / "host/tessarc-server").string(), {"TQ_INSTALL_DIR=" + root.string()}, out, 0));
                previous = (uint16_t)waitForNumber(out, "listening for servers on 127.0.0.1:");
                clientPorts.push_back((uint16_t)waitForNumber(out, "listening for clients on 127.0.0.1:"));
            } else {
                pids.push_back(spawn(fs::canonical("/proc/self/exe").string(),
                                     {"TQ_MESH_FORWARDER=" + std::to_string(previous)}, out, 0));
                previous = (uint16_t)waitForNumber(out, "forwarder listening on 127.0.0.1:");
                clientPorts.push_back(previous);
            }
            if (clientPorts.back() == 0) {
                failure = "process " + std::to_string(i) + " did not start: " + readText(out);
                return;
            }
        }
        /* The clients' thread, and every thread it starts, on the other
         * CPU or on the same one. */
        pin(0, split ? 1 : 0);
        /* In a line of servers, each one holds a node for its neighbours
         * before the clients come. */
        for (int i = 0; servers && i < count; ++i) {
            int want = (i > 0) + (i < count - 1);
            for (int tries = 0; tries < 2000; ++tries) {
                std::string log = readText(dir / ("p" + std::to_string(i) + ".log"));
                int have = 0;
                for (size_t at = log.find("adding a node with name 's"); at != std::string::npos;
                     at = log.find("adding a node with name 's", at + 1))
                    ++have;
                if (have >= want)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        a.fd = dial(clientPorts.front());
        c.fd = dial(clientPorts.back());
        if (context != nullptr && (a.fd < 0 || c.fd < 0 || !a.startTls(context) || !c.startTls(context))) {
            failure = "clients cannot start TLS";
            return;
        }
        if (a.fd < 0 || c.fd < 0 || (servers && (!handshake(a, "bench-a") || !handshake(c, "bench-c")))) {
            failure = "clients cannot connect";
            return;
        }
        /* Probes both ways until each side has seen one: the relays know
         * both clients and the links carry datasets. */
        std::vector<uint8_t> probe = dataset(16);
        for (auto [from, to] : {std::make_pair(&a, &c), std::make_pair(&c, &a)}) {
            bool through = false;
            for (int tries = 0; tries < 100 && !through; ++tries)
                through = from->put(probe.data(), probe.size()) && to->next(100) != nullptr;
            while (to->next(50) != nullptr) {
            }
            if (!through)
                failure = "datasets do not get through";
        }
    }
    ~Setup()
    {
        SSL_CTX_free(context);
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    /* CPU ticks of every process so far. */
    std::vector<long> cpu() const
    {
        std::vector<long> ticks;
        for (pid_t pid : pids)
            ticks.push_back(cpuTicks(pid));
        return ticks;
    }
    /* Resident memory of every process, and the CPU time each spent per
     * dataset since `before`. */
    void report(benchmark::State &state, const std::vector<long> &before, long datasets) const
    {
        std::vector<long> after = cpu();
        for (size_t i = 0; i < pids.size(); ++i) {
            std::string n = std::to_string(i);
            state.counters["rss" + n + "_kB"] = (double)residentKb(pids[i], "VmRSS:");
            state.counters["hwm" + n + "_kB"] = (double)residentKb(pids[i], "VmHWM:");
            if (datasets > 0)
                state.counters["cpu" + n + "_us"] =
                    (double)(after[i] - before[i]) * 1e6 / (double)sysconf(_SC_CLK_TCK) / (double)datasets;
        }
    }
};

std::unique_ptr<Setup> s_setup;

Setup &setup(int servers, int count, bool split)
{
    std::string key = setupKey(servers, count, split);
    if (!s_setup || s_setup->key != key) {
        s_setup.reset();
        s_setup = std::make_unique<Setup>(servers, count, split);
    }
    return *s_setup;
}

/* Forwarder results by measurement, for the ratios of the servers' runs
 * that follow them. */
std::map<std::string, double> s_ceiling;

/* The set-up a benchmark's arguments name: servers (0: forwarders), count in
 * the line, payload bytes, split placement (0: one core). Null, with the
 * benchmark skipped, when it could not be made. */
Setup *setupFor(benchmark::State &state)
{
    Setup &s = setup((int)state.range(0), (int)state.range(1), state.range(3) != 0);
    if (!s.failure.empty()) {
        state.SkipWithError(s.failure.c_str());
        return nullptr;
    }
    return &s;
}

/* A forwarder run records `value` as the ceiling of `what` with these
 * arguments; the servers' run after it reports its own value over it as
 * `counter`. */
void compare(benchmark::State &state, const std::string &what, double value, const char *counter)
{
    std::string key = what + std::to_string(state.range(1)) + "/" + std::to_string(state.range(2)) + "/" +
                      std::to_string(state.range(3));
    if (state.range(0) == 0)
        s_ceiling[key] = value;
    else if (s_ceiling.count(key) != 0)
        state.counters[counter] = value / s_ceiling[key];
    if (state.range(0) == 1)
        s_ceiling["plain" + key] = value;
    else if (state.range(0) == 2 && s_ceiling.count("plain" + key) != 0)
        state.counters["vs_plain"] = value / s_ceiling["plain" + key];
}

/* ---- Benchmarks ---- */

/* Reads from the client in chunks of up to 1 MiB until `want` datasets of the
 * relay's type have come or nothing came for `idleMs`; the number that
 * came. */
long drain(Client &c, long want, int idleMs)
{
    std::vector<uint8_t> in(kForwardRead + c_maxDataset);
    size_t have = 0;
    long got = 0;
    while (got < want) {
        ssize_t n = c.readSome(in.data() + have, kForwardRead, idleMs);
        if (n <= 0)
            break;
        have += (size_t)n;
        size_t at = 0;
        while (have - at >= 8 && have - at >= lengthAt(in.data() + at)) {
            got += in[at + 4] == c_type;
            at += lengthAt(in.data() + at);
        }
        std::memmove(in.data(), in.data() + at, have - at);
        have -= at;
    }
    return got;
}

/* Lines holding `text` in every server's log. */
long logLines(const Setup &s, const std::string &text)
{
    long lines = 0;
    for (size_t i = 0; i < s.pids.size(); ++i) {
        std::string log = readText(s.dir / ("p" + std::to_string(i) + ".log"));
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++lines;
    }
    return lines;
}

/* The publisher at full speed: c_flood datasets written in blocks of about
 * 256 KiB as fast as the first client's socket takes them, while the last
 * client reads in 1 MiB chunks. Reported: datasets/s and its ratio to the
 * forwarder, the share delivered, links cut ("disconnecting" lines) and
 * datasets shed (warnings) in the servers' logs, and memory per process. */
void BM_Flood(benchmark::State &state)
{
    Setup *setup = setupFor(state);
    if (setup == nullptr)
        return;
    Setup &s = *setup;
    std::vector<uint8_t> one = dataset((uint32_t)state.range(2)), block;
    while (block.size() < 256 * 1024)
        block.insert(block.end(), one.begin(), one.end());
    const long perBlock = (long)(block.size() / one.size());
    long sent = 0, delivered = 0;
    double seconds = 0;
    std::vector<long> before = s.cpu();
    for (auto _ : state) {
        long got = 0;
        auto start = Clock::now();
        std::thread reader([&] { got = drain(s.c, c_flood, 5000); });
        long wrote = 0;
        while (wrote < c_flood) {
            long count = std::min(perBlock, c_flood - wrote);
            if (!s.a.put(block.data(), (size_t)count * one.size()))
                break;
            wrote += count;
        }
        reader.join();
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        sent += wrote;
        delivered += got;
        if (got < wrote)
            break; /* what is missing is lost; the timing is not a rate any more */
    }
    state.SetItemsProcessed(delivered);
    state.SetBytesProcessed(delivered * (int64_t)one.size());
    state.counters["delivered"] = sent > 0 ? (double)delivered / (double)sent : 0;
    if (state.range(0) != 0) {
        state.counters["disconnecting"] = (double)logLines(s, "; disconnecting");
        state.counters["shed_warnings"] = (double)logLines(s, " while congested");
    }
    compare(state, "flood", seconds > 0 ? (double)delivered / seconds : 0, "vs_forwarder");
    s.report(state, before, delivered);
}

/* One dataset from the first client to the last and back, as a reply sent
 * once the first arrived. */
void BM_RoundTrip(benchmark::State &state)
{
    Setup *setup = setupFor(state);
    if (setup == nullptr)
        return;
    Setup &s = *setup;
    std::vector<uint8_t> one = dataset((uint32_t)state.range(2));
    std::vector<double> samples;
    samples.reserve((size_t)state.max_iterations);
    std::vector<long> before = s.cpu();
    for (auto _ : state) {
        auto start = Clock::now();
        if (!s.a.put(one.data(), one.size()) || s.c.next(10000) == nullptr || !s.c.put(one.data(), one.size()) ||
            s.a.next(10000) == nullptr) {
            state.SkipWithError("a round trip was lost");
            return;
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[std::min(samples.size() - 1, (size_t)(q * (double)samples.size()))]; };
    state.counters["p50_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["p99.9_us"] = at(0.999);
    compare(state, "rtt", at(0.5), "p50_vs_forwarder");
    s.report(state, before, (long)samples.size() * 2);
}

/* For every placement and line: the forwarder, then the servers, in clear
 * and with TLS. */
void throughputArgs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"servers", "line", "payload", "split"});
    for (int split : {1, 0})
        for (int count : {1, 3})
            for (int payload : {64, 1024})
                for (int servers : {0, 1, 2})
                    b->Args({servers, count, payload, split});
}

void roundTripArgs(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"servers", "line", "payload", "split"});
    for (int split : {1, 0})
        for (int count : {1, 3})
            for (int servers : {0, 1, 2})
                b->Args({servers, count, 64, split});
}

BENCHMARK(BM_Flood)->Apply(throughputArgs)->UseRealTime()->Iterations(2);
BENCHMARK(BM_RoundTrip)->Apply(roundTripArgs)->UseRealTime()->Iterations(20000);

/* The set-up's processes end with the program. */
struct TearDown {
    ~TearDown() { s_setup.reset(); }
} s_tearDown;

} /* namespace */
