/* Real processes for integration tests: temporary directories, children whose output goes to files there, bounded waits
 * for that output and their end, raw dataset sockets. */
#ifndef TESSARC_TESTS_HARNESS_H
#define TESSARC_TESTS_HARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tq_test {

/* A fresh temporary directory, removed with everything in it when the object goes. */
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

/* Writes `text` to `file`, making its parent directories. */
void writeFile(const std::filesystem::path &file, const std::string &text);
/* Copies the test module `module` built here into `root` as `relative`. */
void install(const std::filesystem::path &root, const std::string &relative, const char *module = "probe.protocol");
/* The whole content of `file`; empty when it cannot be read. */
std::string readFile(const std::filesystem::path &file);
/* Polls `condition` every 10 ms for up to `timeoutMs`; its last value. */
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 20000);
/* Waits up to `timeoutMs` for `text` to appear in `file`. */
bool waitForText(const std::filesystem::path &file, const std::string &text, int timeoutMs = 15000);
/* Number of times `needle` occurs in `haystack`. */
int countOf(const std::string &haystack, const std::string &needle);
/* True when every part occurs in `text`, each after the previous one. */
bool inOrder(const std::string &text, const std::vector<std::string> &parts);

/* The port in the first "<prefix><host>:<port>" of `log`; 0 when absent. */
uint16_t loggedPort(const std::string &log, const std::string &prefix);
/* Connections the communication manager logged as added minus removed. */
int liveConnections(const std::string &log);
/* A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS"); -1 if absent. */
long statusKb(pid_t pid, const std::string &field);
/* A socket the caller closes, listening on 127.0.0.1 at `port` of the system's choosing; -1 on failure. */
int listenLoopback(uint16_t &port);
/* A dataset of `length` (>= 8) bytes: type, flags, 0, `payload` cut or padded with bytes counting up. */
std::string dataset(uint32_t length, uint8_t type, uint8_t flags, const std::string &payload);

/* A client socket to 127.0.0.1:<port> speaking datasets (fd -1: no connection). A send stuck for 20 s fails, so a
 * deadlock fails the test instead of hanging it. One thread may send while another receives. */
struct Raw {
    int fd;
    explicit Raw(uint16_t port);
    ~Raw();
    Raw(const Raw &) = delete;
    Raw &operator=(const Raw &) = delete;
    /* All of `bytes`, or false. */
    bool put(const std::string &bytes) const;
    /* `count` bytes, or fewer at the end of the stream or after `idleMs` without any. */
    std::string take(size_t count, int idleMs = 20000) const;
    /* One whole dataset; empty at the end of the stream or after `idleMs`. */
    std::string dataset(int idleMs = 20000) const;
    bool atEnd() const { return take(1).empty(); }
};

/* How to start a child. */
struct Launch {
    std::string program;               /* path of the executable */
    std::vector<std::string> args;     /* after argv[0] */
    std::vector<std::string> setEnv;   /* "NAME=value", replacing NAME in the test's environment */
    std::vector<std::string> unsetEnv; /* names removed from it */
    std::filesystem::path cwd;         /* empty: the test's own */
    int stdoutFd = -1;                 /* standard output in place of <n>.out when >= 0 */
};

/* This build's tessarc-server on install root `root`, not in service mode. */
Launch serverLaunch(const std::filesystem::path &root, std::vector<std::string> args = {});

/* One child process, killed and reaped with the object or the test program. Start children from the main thread: the
 * kernel's kill follows the thread that forked. */
class Child {
public:
    /* Starts the child; its output goes to <dir>/<n>.out and <n>.err. */
    Child(const Launch &launch, const std::filesystem::path &dir);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    std::string out() const { return readFile(m_out); }
    std::string err() const { return readFile(m_err); }
    /* Waits up to `timeoutMs` for `text` to appear in standard output. */
    bool waitFor(const std::string &text, int timeoutMs = 15000) const { return waitForText(m_out, text, timeoutMs); }
    /* Waits up to `timeoutMs` for the end: the exit code, 1000 + the signal that ended it, or -1 on time-out (the child
     * is then killed). */
    int wait(int timeoutMs = 15000);
    void signal(int signo) const;
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid;
    bool m_reaped = false;
    std::filesystem::path m_out, m_err;
};

} /* namespace tq_test */

#endif /* TESSARC_TESTS_HARNESS_H */
