/* Child processes and temporary directories for integration tests. */
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace tq_test {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "tessarc-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

void writeFile(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

void install(const fs::path &root, const std::string &relative, const char *module)
{
    fs::create_directories((root / relative).parent_path());
    fs::copy_file(fs::path(TQ_TEST_MODULE_DIR) / module, root / relative);
}

std::string readFile(const fs::path &file)
{
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool waitForText(const fs::path &file, const std::string &text, int timeoutMs)
{
    return waitUntil([&] { return readFile(file).find(text) != std::string::npos; }, timeoutMs);
}

int countOf(const std::string &haystack, const std::string &needle)
{
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++n;
    return n;
}

bool inOrder(const std::string &text, const std::vector<std::string> &parts)
{
    size_t at = 0;
    for (const std::string &part : parts) {
        if ((at = text.find(part, at)) == std::string::npos)
            return false;
        at += part.size();
    }
    return true;
}

uint16_t loggedPort(const std::string &log, const std::string &prefix)
{
    size_t at = log.find(prefix), end = log.find('\n', at);
    size_t colon = at == std::string::npos ? at : log.find(':', at + prefix.size());
    if (colon == std::string::npos || end == std::string::npos || colon > end)
        return 0; /* absent, or its line not written whole yet */
    return (uint16_t)std::atoi(log.c_str() + colon + 1);
}

int liveConnections(const std::string &log)
{
    return countOf(log, "CM: adding connection") - countOf(log, "CM: removing connection");
}

long statusKb(pid_t pid, const std::string &field)
{
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + field.size() + 2);
}

int listenLoopback(uint16_t &port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (bind(fd, (sockaddr *)&address, length) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, (sockaddr *)&address, &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string dataset(uint32_t length, uint8_t type, uint8_t flags, const std::string &payload)
{
    std::string bytes = std::string((const char *)&length, 4) + std::string{char(type), char(flags), 0, 0} + payload;
    for (size_t i = bytes.size(); i < length; ++i)
        bytes.push_back((char)i);
    bytes.resize(std::max<size_t>(length, 8));
    return bytes;
}

Raw::Raw(uint16_t port) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        fd = -1;
    }
}

Raw::~Raw()
{
    if (fd >= 0)
        close(fd);
}

bool Raw::put(const std::string &bytes) const
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

std::string Raw::take(size_t count, int idleMs) const
{
    std::string bytes;
    char buffer[65536];
    for (pollfd p{fd, POLLIN, 0}; bytes.size() < count && poll(&p, 1, idleMs) == 1;) {
        ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (n <= 0)
            break;
        bytes.append(buffer, (size_t)n);
    }
    return bytes;
}

std::string Raw::dataset(int idleMs) const
{
    std::string head = take(4, idleMs);
    uint32_t length = 0;
    if (head.size() < 4)
        return "";
    std::memcpy(&length, head.data(), 4);
    return length < 4 ? head : head + take(length - 4, idleMs);
}

Launch serverLaunch(const fs::path &root, std::vector<std::string> args)
{
    return Launch{TQ_SERVER_BIN, std::move(args), {"TQ_INSTALL_DIR=" + root.string()}, {"NOTIFY_SOCKET"}, {}};
}

Child::Child(const Launch &launch, const fs::path &dir)
{
    static std::atomic<int> serial{0};
    int n = ++serial;
    m_out = dir / (std::to_string(n) + ".out");
    m_err = dir / (std::to_string(n) + ".err");

    /* Everything the child needs is prepared before fork. */
    std::vector<std::string> env = launch.setEnv, args = launch.args, dropped = launch.unsetEnv;
    for (const std::string &e : launch.setEnv)
        dropped.push_back(e.substr(0, e.find('=')));
    for (char **e = environ; *e != nullptr; ++e)
        if (std::find(dropped.begin(), dropped.end(), std::string(*e, std::strcspn(*e, "="))) == dropped.end())
            env.push_back(*e);
    args.insert(args.begin(), launch.program);
    std::vector<char *> envp, argv;
    for (std::string &e : env)
        envp.push_back(e.data());
    for (std::string &a : args)
        argv.push_back(a.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = getpid();
    m_pid = out < 0 || err < 0 ? -1 : fork();
    if (m_pid == 0) {
        /* A test program killed by a time-out takes its children with it (the parent may already be gone before
         * prctl). */
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(127);
        dup2(launch.stdoutFd >= 0 ? launch.stdoutFd : out, 1);
        dup2(err, 2);
        if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0)
            _exit(127);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(err);
    if (m_pid < 0)
        throw std::runtime_error("cannot start a child");
}

Child::~Child()
{
    if (!m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

int Child::wait(int timeoutMs)
{
    int status = 0;
    pid_t ended = 0;
    if (!m_reaped && !waitUntil([&] { return (ended = waitpid(m_pid, &status, WNOHANG)) != 0; }, timeoutMs)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    m_reaped = true;
    return ended != m_pid ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

void Child::signal(int signo) const
{
    if (!m_reaped)
        kill(m_pid, signo);
}

} /* namespace tq_test */
