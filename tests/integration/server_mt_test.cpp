/* tessarc-server's stop triggers and its single-instance lock, run for real. */
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>

#include "harness.h"

namespace fs = std::filesystem;
using namespace tq_test;

namespace {

/* A root with the probe as service "svc" and, when `p1Group` is given, as protocol "p1" configured with those
 * settings. */
fs::path makeRoot(const fs::path &root, const std::string &p1Group = "")
{
    install(root, "Services/svc.service");
    if (!p1Group.empty()) {
        install(root, "Protocols/p1.protocol");
        writeFile(root / "Config/Communication.cfg", "protocols = ( { name = \"p1\"; " + p1Group + " } );\n");
    }
    return root;
}

} /* namespace */

/* The SIGTERM server runs in service mode: it reports readiness only once the start sequence is done, then stopping,
 * then its final status. */
TEST(ServerStop, EachStopSignalLogsOnceAndEndsWithCode0)
{
    TempDir tmp;
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {AF_UNIX, {}};
    std::string socketPath = (tmp.path() / "notify").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    auto notified = [&](int timeoutMs) {
        pollfd ready = {sock, POLLIN, 0};
        char buffer[4096];
        ssize_t n = poll(&ready, 1, timeoutMs) == 1 ? recv(sock, buffer, sizeof buffer, 0) : 0;
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("(nothing)");
    };

    std::vector<std::pair<int, std::unique_ptr<Child>>> servers;
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        fs::path root = makeRoot(tmp.path() / std::to_string(signo), "tag = \"t\";");
        Launch launch = serverLaunch(root);
        if (signo == SIGTERM) {
            launch.unsetEnv.clear();
            launch.setEnv.push_back("NOTIFY_SOCKET=" + socketPath);
        }
        servers.emplace_back(signo, std::make_unique<Child>(launch, tmp.path()));
        if (signo == SIGTERM) { /* ready once the start sequence is done */
            EXPECT_EQ(notified(15000), "READY=1\nSTATUS=Running from " + root.string() + "\n");
            EXPECT_NE(servers.back().second->out().find("probe service svc: postinit"), std::string::npos);
        }
    }
    for (auto &[signo, child] : servers) {
        ASSERT_TRUE(child->waitFor("probe service svc: postinit")) << child->out();
        child->signal(signo);
    }
    EXPECT_EQ(notified(15000), "STOPPING=1\nSTATUS=Stopping\n");
    for (auto &[signo, child] : servers) {
        EXPECT_EQ(child->wait(), 0) << signo << child->out() << child->err();
        std::string out = child->out();
        EXPECT_EQ(countOf(out, "| info| TQ Server: User requested exit\n"), 1) << signo;
        EXPECT_EQ(countOf(out, "Server is already stopping"), 0) << signo;
        EXPECT_TRUE(inOrder(out, {"User requested exit", "probe service svc: predestroy", "probe p1: destroy",
                                  "Unloading modules...", "probe image p1.protocol unmapped",
                                  "probe image svc.service unmapped"}))
            << signo;
    }
    EXPECT_EQ(notified(0), "STATUS=Stopped\n");
    close(sock);
}

/* A stop while a protocol's configure still runs, before the core does: the start sequence ends before the stop
 * sequence begins. */
TEST(ServerStop, StopBeforeTheCoreRunsTakesEffectOnceStarted)
{
    TempDir tmp;
    Child early(serverLaunch(makeRoot(tmp.path() / "early", "delayMs = 1500;")), tmp.path());
    ASSERT_TRUE(early.waitFor("probe p1: configure waits"));
    early.signal(SIGTERM);
    ASSERT_EQ(early.wait(), 0) << early.out() << early.err();
    EXPECT_TRUE(
        inOrder(early.out(), {"User requested exit", "| info| TQ Server: Server is already stopping\n",
                              "probe service svc: postinit", "probe service svc: predestroy", "Unloading modules..."}));
    EXPECT_EQ(countOf(early.out(), "User requested exit\n"), 1);
}

TEST(ServerLock, OneInstancePerInstallRootUntilItStopsOrDies)
{
    TempDir tmp;
    fs::path root = makeRoot(tmp.path() / "root");
    /* Relative: every instance appends to tmp/shared.log. */
    writeFile(root / "Config/Logging.cfg", "logFile = \"shared.log\";\n");
    const fs::path log = tmp.path() / "shared.log";
    auto start = [&](const fs::path &root, std::vector<std::string> args) {
        Launch launch = serverLaunch(root, std::move(args));
        launch.cwd = tmp.path();
        return std::make_unique<Child>(launch, tmp.path());
    };

    auto first = start(root, {"--probe-slow-stop"});
    ASSERT_TRUE(waitForText(log, "probe service svc: postinit"));
    /* Refused after its banner, before loading anything; exit code 0. */
    EXPECT_EQ(start(root, {"--probe-stop"})->wait(), 0);
    std::string text = readFile(log);
    EXPECT_EQ(countOf(text, "Starting Tessarc Server\n"), 2);
    EXPECT_EQ(countOf(text, "|FATAL| TQ Server: Another Tessarc Server is already running from " + root.string() +
                                "... exiting\n"),
              1);
    EXPECT_EQ(countOf(text, "probe image"), 1) << "the refused instance loaded nothing";

    /* Another root is not affected. */
    auto elsewhere = start(makeRoot(tmp.path() / "other"), {"--probe-stop"});
    EXPECT_EQ(elsewhere->wait(), 0);
    EXPECT_NE(elsewhere->out().find("Unloading modules..."), std::string::npos);

    /* Once the first has begun to stop, a new instance may start. */
    first->signal(SIGTERM);
    ASSERT_TRUE(waitForText(log, "probe service svc: predestroy"));
    EXPECT_EQ(start(root, {"--probe-stop"})->wait(), 0);
    EXPECT_EQ(first->wait(), 0);

    /* A killed instance leaves no stale lock. Running, it is a live process with resident memory to ps, top and
     * profilers, not a zombie whose first thread has ended. */
    auto killed = start(root, {});
    ASSERT_TRUE(waitUntil([&] { return countOf(readFile(log), "probe service svc: postinit") == 3; }));
    std::string status = readFile("/proc/" + std::to_string(killed->pid()) + "/status");
    EXPECT_EQ(status.find("State:\tZ"), std::string::npos) << status;
    EXPECT_GT(statusKb(killed->pid(), "VmRSS"), 0) << status;
    killed->signal(SIGKILL);
    EXPECT_EQ(killed->wait(), 1000 + SIGKILL);
    EXPECT_EQ(start(root, {"--probe-stop"})->wait(), 0);
    text = readFile(log);
    EXPECT_EQ(countOf(text, "Another Tessarc Server"), 1) << text;
    EXPECT_EQ(countOf(text, "Unloading modules..."), 3) << text;
}
