/* tessarc-server's stop triggers and its single-instance lock, run for real:
 * stop signals (also during start-up), a second instance from the same
 * install root, the lock after a crash, and service-mode notifications. */
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "harness.h"

namespace fs = std::filesystem;
using tq_test::Child;
using tq_test::countOf;
using tq_test::Launch;
using tq_test::serverLaunch;
using tq_test::TempDir;
using tq_test::writeFile;

namespace {

/* A root with the probe service (named svc) and, optionally, the probe
 * protocol p1 configured with `group` settings. */
fs::path makeRoot(const fs::path &root, const std::string &p1Group = "") {
    fs::create_directories(root / "Services");
    fs::copy_file(fs::path(TQ_TEST_MODULE_DIR) / "probe_service.service", root / "Services/svc.service");
    if (!p1Group.empty()) {
        fs::create_directories(root / "Protocols");
        fs::copy_file(fs::path(TQ_TEST_MODULE_DIR) / "probe.protocol", root / "Protocols/p1.protocol");
        writeFile(root / "Config/Communication.cfg", "protocols = ( { name = \"p1\"; " + p1Group + " } );\n");
    }
    return root;
}

size_t at(const std::string &text, const std::string &part) { return text.find(part); }

} /* namespace */

TEST(ServerStop, EachStopSignalLogsOnceAndEndsWithCode0) {
    TempDir tmp;
    std::vector<std::pair<int, std::unique_ptr<Child>>> servers;
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        fs::path root = makeRoot(tmp.path() / std::to_string(signo), "tag = \"t\";");
        servers.emplace_back(signo, std::make_unique<Child>(serverLaunch(root), tmp.path()));
    }
    for (auto &[signo, child] : servers) {
        ASSERT_TRUE(child->waitFor("probe service svc: postinit")) << child->out();
        child->signal(signo);
    }
    for (auto &[signo, child] : servers) {
        EXPECT_EQ(child->wait(), 0) << signo << child->out() << child->err();
        std::string out = child->out();
        EXPECT_EQ(countOf(out, "| info| TQ Server: User requested exit\n"), 1) << signo;
        EXPECT_EQ(countOf(out, "Server is already stopping"), 0) << signo;
        EXPECT_LT(at(out, "User requested exit"), at(out, "probe service svc: predestroy")) << signo;
        EXPECT_LT(at(out, "probe p1: destroy"), at(out, "Unloading modules...")) << signo;
        EXPECT_LT(at(out, "Unloading modules..."), at(out, "probe image p1.protocol unmapped")) << signo;
    }
}

TEST(ServerStop, StopDuringStartUpTakesEffectOnceStarted) {
    TempDir tmp;
    /* Before the core runs: a protocol's configure is still waiting. */
    Child early(serverLaunch(makeRoot(tmp.path() / "early", "delayMs = 1500;")), tmp.path());
    /* While the start sequence runs: a service's preinit is waiting. */
    Child late(serverLaunch(makeRoot(tmp.path() / "late"), {"--probe-slow-start"}), tmp.path());

    ASSERT_TRUE(early.waitFor("probe p1: configure waits"));
    early.signal(SIGTERM);
    ASSERT_TRUE(late.waitFor("probe service svc: preinit"));
    late.signal(SIGINT);

    ASSERT_EQ(early.wait(), 0) << early.out() << early.err();
    std::string out = early.out();
    EXPECT_EQ(countOf(out, "User requested exit\n"), 1);
    /* The core refuses a stop before it runs; the host asks again. */
    EXPECT_EQ(countOf(out, "| info| TQ Server: Server is already stopping\n"), 1);
    EXPECT_LT(at(out, "Server is already stopping"), at(out, "probe service svc: postinit"));
    EXPECT_LT(at(out, "probe service svc: postinit"), at(out, "probe service svc: predestroy"));
    EXPECT_NE(at(out, "Unloading modules..."), std::string::npos);

    ASSERT_EQ(late.wait(), 0) << late.out() << late.err();
    out = late.out();
    EXPECT_EQ(countOf(out, "User requested exit\n"), 1);
    EXPECT_EQ(countOf(out, "Server is already stopping"), 0);
    /* The stop waits for the start sequence instead of overlapping it. */
    EXPECT_LT(at(out, "User requested exit"), at(out, "probe service svc: postinit"));
    EXPECT_LT(at(out, "probe service svc: postinit"), at(out, "probe service svc: predestroy"));
    EXPECT_NE(at(out, "Unloading modules..."), std::string::npos);
}

TEST(ServerLock, OneInstancePerInstallRoot) {
    TempDir tmp;
    fs::path root = makeRoot(tmp.path() / "root");
    writeFile(root / "Config/Logging.cfg", "logFile = \"" + (tmp.path() / "shared.log").string() + "\";\n");
    fs::path other = makeRoot(tmp.path() / "other");

    Child first(serverLaunch(root, {"--probe-slow-stop"}), tmp.path());
    ASSERT_TRUE(tq_test::waitForText(tmp.path() / "shared.log", "probe service svc: postinit"));

    /* Refused after configuring logging and writing its banner, before any
     * module is loaded; ends like the design's main, with code 0. */
    Child second(serverLaunch(root, {"--probe-stop"}), tmp.path());
    EXPECT_EQ(second.wait(), 0);
    /* Another root is not affected. */
    Child elsewhere(serverLaunch(other, {"--probe-stop"}), tmp.path());
    EXPECT_EQ(elsewhere.wait(), 0);
    EXPECT_NE(elsewhere.out().find("Unloading modules..."), std::string::npos);
    EXPECT_EQ(elsewhere.out().find("Another Tessarc Server"), std::string::npos);

    std::string log = tq_test::readFile(tmp.path() / "shared.log");
    EXPECT_EQ(countOf(log, "Starting Tessarc Server\n"), 2);
    EXPECT_EQ(countOf(log, "|FATAL| TQ Server: Another Tessarc Server is already running from " + root.string() +
                               "... exiting\n"),
              1);
    EXPECT_EQ(countOf(log, "probe service svc: preinit"), 1) << "the refused instance loaded nothing";

    /* Once the first has begun to stop, a new instance may start. */
    first.signal(SIGTERM);
    ASSERT_TRUE(tq_test::waitForText(tmp.path() / "shared.log", "probe service svc: predestroy"));
    Child third(serverLaunch(root, {"--probe-stop"}), tmp.path());
    EXPECT_EQ(third.wait(), 0);
    EXPECT_EQ(first.wait(), 0);
    log = tq_test::readFile(tmp.path() / "shared.log");
    EXPECT_EQ(countOf(log, "Another Tessarc Server"), 1) << log;
    EXPECT_EQ(countOf(log, "Unloading modules..."), 2) << log;
}

TEST(ServerLock, NoStaleLockAfterKill) {
    TempDir tmp;
    fs::path root = makeRoot(tmp.path() / "root");
    Child first(serverLaunch(root), tmp.path());
    ASSERT_TRUE(first.waitFor("probe service svc: postinit"));
    first.signal(SIGKILL);
    EXPECT_EQ(first.wait(), 1000 + SIGKILL);

    Child next(serverLaunch(root, {"--probe-stop"}), tmp.path());
    EXPECT_EQ(next.wait(), 0);
    EXPECT_EQ(next.out().find("Another Tessarc Server"), std::string::npos) << next.out();
    EXPECT_NE(next.out().find("Unloading modules..."), std::string::npos);
}

TEST(ServerServiceMode, NotifiesReadyAndStopping) {
    TempDir tmp;
    fs::path root = makeRoot(tmp.path() / "root");
    fs::path socketPath = tmp.path() / "notify";
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
    strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    Launch launch = serverLaunch(root);
    launch.unsetEnv.clear();
    launch.setEnv.push_back("NOTIFY_SOCKET=" + socketPath.string());
    Child child(launch, tmp.path());

    auto receive = [&](int timeoutMs) {
        pollfd ready = {sock, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) != 1)
            return std::string("(nothing)");
        char buffer[4096];
        ssize_t n = recv(sock, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("(error)");
    };
    /* Ready once the start sequence is done, not before. */
    EXPECT_EQ(receive(15000), "READY=1\nSTATUS=Running from " + root.string() + "\n");
    EXPECT_NE(child.out().find("probe service svc: postinit"), std::string::npos);
    child.signal(SIGTERM);
    EXPECT_EQ(receive(15000), "STOPPING=1\nSTATUS=Stopping\n");
    EXPECT_EQ(child.wait(), 0) << child.out() << child.err();
    EXPECT_EQ(receive(0), "STATUS=Stopped\n");
    close(sock);
}
