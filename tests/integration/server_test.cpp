/* tessarc-server run for real in temporary install roots. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "harness.h"

namespace fs = std::filesystem;
using namespace tq_test;

TEST(Server, InstallRootThatCannotBeReadEndsWithCode1BeforeAnyOutput)
{
    TempDir tmp;
    /* TQ_INSTALL_DIR (empty: unset) and the path the message names. */
    std::vector<std::pair<std::string, fs::path>> cases = {
        {(tmp.path() / "missing").string(), tmp.path() / "missing"},
        {"relative/root", tmp.path() / "relative/root"}, /* against the working directory */
    };
    if (!fs::exists("/Tessarc"))
        cases.push_back({"", "/Tessarc"});
    for (const auto &[env, expected] : cases) {
        Launch launch = serverLaunch(env);
        if (env.empty())
            launch.setEnv.clear(), launch.unsetEnv.push_back("TQ_INSTALL_DIR");
        launch.cwd = tmp.path();
        Child child(launch, tmp.path());
        EXPECT_EQ(child.wait(), 1) << env;
        EXPECT_EQ(child.err(), "Tessarc root directory " + expected.string() + " could not be read.\n");
        EXPECT_EQ(child.out(), "") << env;
    }
}

TEST(Server, BannerLogLinesArgumentsAndShutdown)
{
    TempDir tmp;
    fs::path root = tmp.path() / "root";
    install(root, "Services/svc.service");
    Child child(serverLaunch(root, {"--probe-stop", "two words", ""}), tmp.path());
    ASSERT_EQ(child.wait(), 0) << child.out() << child.err();
    std::string out = child.out();
    EXPECT_EQ(child.err(), "");

    const std::string print = "|print| TQ Server: ";
    EXPECT_EQ(out.substr(0, 78), std::string(77, '=') + "\n"); /* bare */
    std::string revision = out.substr(std::min(out.size(), out.find(print + "Revision: ") + print.size() + 10), 40);
    EXPECT_EQ(revision.find_first_not_of("0123456789abcdef"), std::string::npos) << out;
    EXPECT_TRUE(inOrder(out, {print + "Starting Tessarc Server\n",
                              print + "Revision: " + revision + " (" TQ_PROJECT_VERSION ")\n", print + "Built on: 2",
                              "|ERROR| TQ Server: Could not read protocols directory " + (root / "Protocols").string() +
                                  " - no clients will be able to connect\n",
                              "probe image svc.service mapped"}))
        << out;

    /* The module reads the program's own command line through "Args". */
    EXPECT_TRUE(inOrder(out, {"probe service svc: preinit, 4 args\n", "arg 0 [" TQ_SERVER_BIN "]\n",
                              "arg 1 [--probe-stop]\n", "arg 2 [two words]\n", "arg 3 []\n"}));

    /* With standard output the journal (JOURNAL_STREAM names its device and inode), every line starts with its level's
     * priority once, though header and text are separate. */
    const fs::path journal = tmp.path() / "journal";
    int fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    struct stat stream;
    ASSERT_EQ(fstat(fd, &stream), 0);
    Launch launch = serverLaunch(root, {"--probe-stop", "two words", ""});
    launch.setEnv.push_back("JOURNAL_STREAM=" + std::to_string(stream.st_dev) + ":" + std::to_string(stream.st_ino));
    launch.stdoutFd = fd;
    EXPECT_EQ(Child(launch, tmp.path()).wait(), 0);
    close(fd);
    std::string text = readFile(journal);
    /* As many lines as without the journal, each "<" at a line start, the priority of its level. */
    EXPECT_EQ(text.substr(0, 81), "<5>" + std::string(77, '=') + "\n") << text;
    EXPECT_EQ(countOf(text, "<"), countOf(out, "\n")) << text;
    EXPECT_EQ(countOf(text, "\n<3>"), countOf(out, "|ERROR|")) << text;
    EXPECT_EQ(countOf(text, "\n<6>"), countOf(out, "| info|")) << text;
}

TEST(Server, ConfigurationFiles)
{
    TempDir tmp;
    const fs::path dir = tmp.path() / "a-directory";
    fs::create_directories(dir);
    struct Case {
        std::string logging, communication;       /* file contents; empty: no file */
        std::string err;                          /* standard error, with <cfg> for the Config path */
        std::vector<std::string> present, absent; /* in standard output */
    };
    const std::string info = "| info| TQ Server: Could not read Communication.cfg. Using default values...\n";
    Case cases[] = {
        {"logLevel = \"debug\";\n\nlogFile = ;\n",
         "",
         "Parse error reading <cfg>/Logging.cfg, line 3: syntax error\n",
         {info},
         {"|debug|"}},
        {"logLevel = \"Debug\";\n",
         "",
         "",
         {"|ERROR| TQ Server: Unrecognized log level \"Debug\"; defaulting to \"info\"\n", info},
         {}},
        {"logFile = \"" + dir.string() + "\";\n",
         "",
         "",
         {"|ERROR| TQ Server: Log file \"" + dir.string() +
              "\" could not be opened for appending. Using stdout instead.\n",
          "Starting Tessarc Server"},
         {}},
        {"",
         "# 1\n# 2\nserverName = \"kept\";\n# 4\n# 5\n# 6\nnetworkId = ;\n",
         "Parse error reading <cfg>/Communication.cfg, line 7: syntax error\n",
         {info, ", network Tessarc\n"},
         {"server kept"}},
        {"",
         "serverName = 42;\nnetworkId = \"net-b\";\n",
         "",
         {"| info| TQ Server: No config found for individual protocols\n", ", network net-b\n"},
         {"server 42"}},
        {"<directory>", "", "Error reading config file <cfg>/Logging.cfg\n", {info}, {}},
    };
    /* Every root runs at once; each server stops itself. */
    std::vector<std::unique_ptr<Child>> children;
    for (Case &c : cases) {
        fs::path root = tmp.path() / std::to_string(children.size());
        install(root, "Services/svc.service");
        if (c.logging == "<directory>")
            fs::create_directories(root / "Config/Logging.cfg");
        else if (!c.logging.empty())
            writeFile(root / "Config/Logging.cfg", c.logging);
        if (!c.communication.empty())
            writeFile(root / "Config/Communication.cfg", c.communication);
        size_t at = c.err.find("<cfg>");
        if (at != std::string::npos)
            c.err.replace(at, 5, (root / "Config").string());
        children.push_back(std::make_unique<Child>(serverLaunch(root, {"--probe-stop"}), tmp.path()));
    }
    for (size_t i = 0; i < children.size(); ++i) {
        const Case &c = cases[i];
        ASSERT_EQ(children[i]->wait(), 0) << c.logging << c.communication << children[i]->out();
        std::string out = children[i]->out();
        EXPECT_EQ(children[i]->err(), c.err) << c.logging << c.communication;
        for (const std::string &text : c.present)
            EXPECT_NE(out.find(text), std::string::npos) << text << " in:\n" << out;
        for (const std::string &text : c.absent)
            EXPECT_EQ(out.find(text), std::string::npos) << text << " in:\n" << out;
    }
}

TEST(Server, ModuleDiscoveryAndProtocolGroupsInFileOrder)
{
    TempDir tmp;
    fs::path root = tmp.path() / "root";
    for (const char *name :
         {"Protocols/p1.protocol", "Protocols/a.protocol", "Protocols/x.protocol.bak", "Protocols/X.PROTOCOL",
          "Protocols/.protocol", "Protocols/d.protocol/inner.protocol", "Services/svc.service", "Services/.service"})
        install(root, name);
    install(root, "Protocols/noconf.protocol", "probe_noconf.protocol");
    writeFile(root / "Protocols/junk.protocol", "not a shared object\n");
    writeFile(root / "Config/Communication.cfg", R"(
serverName = "alpha";
networkId = "net-7";
protocols = (
  { name = "p1"; tag = "first"; }, { name = "ghost"; tag = "unknown"; }, { tag = "no name"; },
  { name = ""; tag = "empty"; }, { name = "a"; tag = "second"; }, { name = "p1"; tag = "third"; },
  { name = "noconf"; }, { name = "x"; }, { name = "X"; }, { name = "a"; fail = "refused by a"; },
  { name = "p1"; tag = "never"; }
);
)");
    Child child(serverLaunch(root, {"--probe-stop"}), tmp.path());
    ASSERT_EQ(child.wait(), 0) << child.out() << child.err();
    std::string out = child.out();

    /* Only regular files named exactly "<something>.protocol" load. */
    EXPECT_EQ(countOf(out, "descriptor taken"), 2) << out;
    EXPECT_TRUE(inOrder(out, {"probe p1: descriptor taken"}) && inOrder(out, {"probe a: descriptor taken"}));
    for (const char *name : {"x.protocol.bak", "X.PROTOCOL", "image .protocol", "inner.protocol", "image .service"})
        EXPECT_EQ(out.find(name), std::string::npos) << name;
    /* Without configure the module is mapped and unmapped again at once. */
    EXPECT_TRUE(inOrder(out, {"probe image noconf.protocol mapped", "probe image noconf.protocol unmapped",
                              "Got config for 11 protocols"}));

    /* Groups apply in file order, as often as named, with the server's logger; an exception ends the list and keeps
     * what was applied. */
    EXPECT_TRUE(inOrder(out, {"| info| TQ Server: Got config for 11 protocols\n",
                              "| info| TQ Server: probe p1: configured with tag first\n",
                              "probe a: configured with tag second\n", "probe p1: configured with tag third\n",
                              "|ERROR| TQ Server: Error reading Communication.cfg: refused by a\n", "probe p1: run",
                              "postinit, server alpha, network net-7\n"}));
    EXPECT_EQ(countOf(out, "configured with tag"), 3);
}

TEST(Server, ModulesBuiltOutOfTreeAgainstTheInstalledSdk)
{
    TempDir tmp;
    const std::string prefix = (tmp.path() / "sdk").string(), build = (tmp.path() / "build").string();
    const fs::path root = tmp.path() / "root";
    fs::create_directories(root / "Services");
    fs::create_directories(root / "Protocols");
    auto sh = [&](const std::string &command) {
        Child child(Launch{"/bin/sh", {"-c", command}, {}, {"CMAKE_PREFIX_PATH", "PKG_CONFIG_PATH"}, {}}, tmp.path());
        int code = child.wait(120000);
        EXPECT_EQ(code, 0) << command << "\n" << child.out() << child.err();
        return code == 0;
    };
    ASSERT_TRUE(sh("'" TQ_CMAKE "' --install '" TQ_BINARY_DIR "' --component runtime --prefix '" + prefix +
                   "' && '" TQ_CMAKE "' --install '" TQ_BINARY_DIR "' --component sdk --prefix '" + prefix + "'"));
    /* A protocol module with find_package(Tessarc) and tessarc_add_module. */
    ASSERT_TRUE(
        sh("'" TQ_CMAKE "' -S '" TQ_SDK_PROJECT_DIR "' -B '" + build + "' -G Ninja -DCMAKE_PREFIX_PATH='" + prefix +
           "' -DPROBE_SOURCE='" TQ_PROBE_SOURCE_DIR "/probe_module.cpp' >/dev/null && '" TQ_CMAKE "' --build '" +
           build + "' >/dev/null"));
    /* The guide's example modules (examples/modules/hello). */
    ASSERT_TRUE(sh("'" TQ_CMAKE "' -S '" TQ_EXAMPLES_DIR "/hello' -B '" + build +
                   "-hello' -G Ninja -DCMAKE_PREFIX_PATH='" + prefix + "' >/dev/null && '" TQ_CMAKE "' --build '" +
                   build + "-hello' >/dev/null && cp '" + build + "-hello/hello.service' '" +
                   (root / "Services").string() + "'"));
    /* A service module with nothing but the pkg-config file. */
    ASSERT_TRUE(sh("export PKG_CONFIG_PATH=\"$(dirname \"$(find '" + prefix + "' -name tessarc.pc)\")\" && c++ " +
                   "-shared -fPIC -o '" + (root / "Services/sdksvc.service").string() +
                   "' '" TQ_PROBE_SOURCE_DIR "/probe_module.cpp' $(pkg-config --cflags --libs tessarc) -ldl"));

    fs::copy_file(fs::path(build) / "sdkproto.protocol", root / "Protocols/sdkproto.protocol");
    writeFile(root / "Config/Communication.cfg", "protocols = ( { name = \"sdkproto\"; tag = \"sdk\"; } );\n");
    Child child(serverLaunch(root, {"--probe-stop"}), tmp.path());
    ASSERT_EQ(child.wait(), 0) << child.out() << child.err();
    EXPECT_TRUE(inOrder(child.out(), {"probe sdkproto: configured with tag sdk",
                                      "probe service sdksvc: preinit, 2 args", "probe sdkproto: run",
                                      "probe service sdksvc: postinit", "hello: stopped", "Unloading modules..."}))
        << child.out();
}
