/* tessarc-server run for real in temporary install roots: the install root,
 * the banner and log lines, configuration files, module discovery and
 * configuration, the "Args" service, and modules built out of tree against
 * the installed SDK. */
#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "harness.h"

namespace fs = std::filesystem;
using tq_test::Child;
using tq_test::countOf;
using tq_test::Launch;
using tq_test::serverLaunch;
using tq_test::TempDir;
using tq_test::writeFile;

namespace {

const fs::path c_modules = TQ_TEST_MODULE_DIR;

/* Copies a built test module into the root under another name. */
void install(const fs::path &root, const std::string &relative, const std::string &module) {
    fs::create_directories((root / relative).parent_path());
    fs::copy_file(c_modules / module, root / relative, fs::copy_options::overwrite_existing);
}

/* A root whose one service module stops the server once it has started. */
void makeSelfStoppingRoot(const fs::path &root) {
    install(root, "Services/svc.service", "probe_service.service");
}

/* True when `line` is "YYYY-MM-DD HH:MM:SS " followed by `rest`. */
bool stamped(const std::string &line, const std::string &rest) {
    const std::string shape = "dddd-dd-dd dd:dd:dd ";
    if (line.size() != shape.size() + rest.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i])
            return false;
    }
    return line.compare(shape.size(), std::string::npos, rest) == 0;
}

/* The line of `text` that contains `part`, without its line end. */
std::string lineWith(const std::string &text, const std::string &part) {
    size_t at = text.find(part);
    if (at == std::string::npos)
        return "";
    size_t begin = text.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

/* True when every text occurs, each after the previous one. */
bool inOrder(const std::string &text, const std::vector<std::string> &parts) {
    size_t at = 0;
    for (const std::string &part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos)
            return false;
        at += part.size();
    }
    return true;
}

} /* namespace */

TEST(Server, InstallRootThatCannotBeReadEndsWithCode1BeforeAnyOutput) {
    TempDir tmp;
    writeFile(tmp.path() / "plain-file", "not a directory\n");

    struct Case {
        std::string env;   /* TQ_INSTALL_DIR, or empty to unset it */
        fs::path expected; /* the path named in the message */
    };
    std::vector<Case> cases = {
        {(tmp.path() / "missing").string(), tmp.path() / "missing"},
        {(tmp.path() / "plain-file").string(), tmp.path() / "plain-file"},
        /* Relative: resolved against the working directory at start. */
        {"relative/root", tmp.path() / "relative/root"},
    };
    if (!fs::exists("/Tessarc"))
        cases.push_back({"", "/Tessarc"});

    for (const Case &c : cases) {
        Launch launch = serverLaunch(c.env);
        if (c.env.empty()) {
            launch.setEnv.clear();
            launch.unsetEnv.push_back("TQ_INSTALL_DIR");
        }
        launch.cwd = tmp.path();
        Child child(launch, tmp.path());
        EXPECT_EQ(child.wait(), 1) << c.env;
        EXPECT_EQ(child.err(), "Tessarc root directory " + c.expected.string() + " could not be read.\n");
        EXPECT_EQ(child.out(), "") << c.env;
    }
}

TEST(Server, BannerLogLinesArgumentsAndShutdown) {
    TempDir tmp;
    fs::path root = tmp.path() / "root";
    makeSelfStoppingRoot(root);
    Child child(serverLaunch(root, {"--probe-stop", "two words", ""}), tmp.path());
    ASSERT_EQ(child.wait(), 0) << child.out() << child.err();
    std::string out = child.out();
    EXPECT_EQ(child.err(), "");

    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, std::string(77, '='));
    std::getline(lines, line);
    EXPECT_TRUE(stamped(line, "|print| TQ Server: Starting Tessarc Server")) << line;
    std::getline(lines, line);
    const std::string revision = line.substr(std::min(line.size(), line.find("Revision: ") + 10), 40);
    EXPECT_EQ(revision.size(), 40u) << line;
    EXPECT_EQ(revision.find_first_not_of("0123456789abcdef"), std::string::npos) << line;
    EXPECT_TRUE(stamped(line, "|print| TQ Server: Revision: " + revision + " (" TQ_PROJECT_VERSION ")")) << line;
    std::getline(lines, line);
    EXPECT_EQ(line.find("|print| TQ Server: Built on: 2"), 20u) << line;

    EXPECT_TRUE(stamped(lineWith(out, "Could not read protocols directory"),
                        "|ERROR| TQ Server: Could not read protocols directory " + (root / "Protocols").string() +
                            " - no clients will be able to connect"))
        << out;
    EXPECT_TRUE(stamped(lineWith(out, "Could not read Communication.cfg"),
                        "| info| TQ Server: Could not read Communication.cfg. Using default values..."));

    /* The module reads the program's own command line through "Args". */
    EXPECT_TRUE(inOrder(out, {"probe service svc: preinit, 4 args\n", "arg 0 [" TQ_SERVER_BIN "]\n",
                              "arg 1 [--probe-stop]\n", "arg 2 [two words]\n", "arg 3 []\n"}));
    EXPECT_NE(out.find("probe service svc: postinit, server "), std::string::npos);
    EXPECT_NE(out.find(", network Tessarc\n"), std::string::npos);
    EXPECT_TRUE(inOrder(out, {"probe service svc: predestroy", "probe service svc: postdestroy",
                              "| info| TQ Server: Unloading modules...\n"}));
    EXPECT_EQ(countOf(out, "Starting Tessarc Server"), 1);
}

TEST(Server, ConfigurationFiles) {
    TempDir tmp;
    struct Case {
        std::string name;
        std::string logging;       /* Logging.cfg, or empty for none */
        std::string communication; /* Communication.cfg, or empty for none */
        std::unique_ptr<Child> child;
    };
    const fs::path logDir = tmp.path() / "a-directory";
    fs::create_directories(logDir);
    std::vector<Case> cases;
    cases.push_back({"syntax", "logLevel = \"debug\";\n\nlogFile = ;\n", "", nullptr});
    cases.push_back({"types", "logLevel = 5;\nlogFile = 7;\n", "", nullptr});
    cases.push_back({"word", "logLevel = \"Debug\";\n", "", nullptr});
    cases.push_back({"unopenable", "logFile = \"" + logDir.string() + "\";\n", "", nullptr});
    cases.push_back({"quiet", "logLevel = \"error\";\n", "", nullptr});
    cases.push_back({"commsyntax", "",
                     "# line 1\n# 2\nserverName = \"kept\";\n# 4\n# 5\n# 6\nnetworkId = ;\n", nullptr});
    cases.push_back({"commtypes", "", "serverName = 42;\nnetworkId = \"net-b\";\n", nullptr});
    cases.push_back({"cfgdir", "", "", nullptr});

    /* All roots run at once; each server stops itself. */
    for (Case &c : cases) {
        fs::path root = tmp.path() / c.name;
        makeSelfStoppingRoot(root);
        if (!c.logging.empty())
            writeFile(root / "Config/Logging.cfg", c.logging);
        if (!c.communication.empty())
            writeFile(root / "Config/Communication.cfg", c.communication);
        if (c.name == "cfgdir")
            fs::create_directories(root / "Config/Logging.cfg");
        c.child = std::make_unique<Child>(serverLaunch(root, {"--probe-stop"}), tmp.path());
    }
    for (Case &c : cases) {
        ASSERT_EQ(c.child->wait(), 0) << c.name << c.child->out() << c.child->err();
        std::string out = c.child->out(), err = c.child->err();
        fs::path config = tmp.path() / c.name / "Config";
        bool infoShown = out.find("Could not read Communication.cfg") != std::string::npos ||
                         out.find("No config found for individual protocols") != std::string::npos;
        if (c.name == "syntax") {
            EXPECT_EQ(err, "Parse error reading " + (config / "Logging.cfg").string() + ", line 3: syntax error\n");
            EXPECT_TRUE(infoShown);
            EXPECT_EQ(out.find("|debug|"), std::string::npos);
        } else if (c.name == "types") {
            EXPECT_EQ(err, "");
            EXPECT_EQ(out.find("Unrecognized log level"), std::string::npos) << "a wrong type is ignored";
            EXPECT_EQ(out.find("could not be opened"), std::string::npos) << "a wrong type is ignored";
            EXPECT_TRUE(infoShown);
        } else if (c.name == "word") {
            EXPECT_NE(out.find("|ERROR| TQ Server: Unrecognized log level \"Debug\"; defaulting to \"info\"\n"),
                      std::string::npos);
            EXPECT_TRUE(infoShown);
        } else if (c.name == "unopenable") {
            EXPECT_NE(out.find("|ERROR| TQ Server: Log file \"" + logDir.string() +
                               "\" could not be opened for appending. Using stdout instead.\n"),
                      std::string::npos);
            EXPECT_TRUE(inOrder(out, {"could not be opened", "Starting Tessarc Server"}));
        } else if (c.name == "quiet") {
            /* Level 0 is always written; info is not at threshold "error". */
            EXPECT_NE(out.find("Starting Tessarc Server"), std::string::npos);
            EXPECT_NE(out.find("|ERROR| TQ Server: Could not read protocols directory"), std::string::npos);
            EXPECT_EQ(out.find("| info|"), std::string::npos) << out;
        } else if (c.name == "commsyntax") {
            EXPECT_EQ(err,
                      "Parse error reading " + (config / "Communication.cfg").string() + ", line 7: syntax error\n");
            EXPECT_TRUE(inOrder(out, {"Could not read Communication.cfg. Using default values...\n",
                                      ", network Tessarc\n"}));
            EXPECT_EQ(out.find("server kept"), std::string::npos);
        } else if (c.name == "commtypes") {
            EXPECT_NE(out.find("No config found for individual protocols\n"), std::string::npos);
            EXPECT_NE(out.find(", network net-b\n"), std::string::npos);
            EXPECT_EQ(out.find("server 42"), std::string::npos);
        } else if (c.name == "cfgdir") {
            EXPECT_EQ(err, "Error reading config file " + (config / "Logging.cfg").string() + "\n");
            EXPECT_TRUE(infoShown);
        }
    }
}

TEST(Server, LogFileIsAppendedFromTheWorkingDirectory) {
    TempDir tmp;
    fs::path root = tmp.path() / "root";
    makeSelfStoppingRoot(root);
    writeFile(root / "Config/Logging.cfg", "logFile = \"logs/server.log\";\n");
    fs::create_directories(tmp.path() / "logs");
    for (int run = 0; run < 2; ++run) {
        Launch launch = serverLaunch(root, {"--probe-stop"});
        launch.cwd = tmp.path();
        Child child(launch, tmp.path());
        ASSERT_EQ(child.wait(), 0);
        EXPECT_EQ(child.out(), "");
    }
    std::string log = tq_test::readFile(tmp.path() / "logs/server.log");
    EXPECT_EQ(countOf(log, "Starting Tessarc Server\n"), 2);
    EXPECT_EQ(countOf(log, "Unloading modules...\n"), 2);
    EXPECT_TRUE(inOrder(log, {"Unloading modules", std::string(77, '=') + "\n", "Starting Tessarc Server"}));
}

TEST(Server, ModuleDiscoveryAndProtocolGroupsInFileOrder) {
    TempDir tmp;
    fs::path root = tmp.path() / "root";
    makeSelfStoppingRoot(root);
    for (const char *name : {"p1.protocol", "a.protocol", "x.protocol.bak", "X.PROTOCOL", ".protocol"})
        install(root, std::string("Protocols/") + name, "probe.protocol");
    install(root, "Protocols/noconf.protocol", "probe_noconf.protocol");
    install(root, "Protocols/d.protocol/inner.protocol", "probe.protocol");
    writeFile(root / "Protocols/junk.protocol", "not a shared object\n");
    install(root, "Services/.service", "probe_service.service");
    install(root, "Services/old.service.bak", "probe_service.service");
    writeFile(root / "Config/Communication.cfg", R"(
serverName = "alpha";
networkId = "net-7";
protocols = (
  { name = "p1"; tag = "first"; },
  { name = "ghost"; tag = "unknown"; },
  { tag = "no name"; },
  { name = ""; tag = "empty name"; },
  { name = "a"; tag = "second"; },
  { name = "p1"; tag = "third"; },
  { name = "noconf"; },
  { name = "x"; },
  { name = "X"; },
  { name = "a"; fail = "refused by a"; },
  { name = "p1"; tag = "never"; }
);
)");
    Child child(serverLaunch(root, {"--probe-stop"}), tmp.path());
    ASSERT_EQ(child.wait(), 0) << child.out() << child.err();
    std::string out = child.out();

    /* Only exact "*.protocol" regular files longer than the ending load. */
    EXPECT_NE(out.find("probe p1: descriptor taken"), std::string::npos);
    EXPECT_NE(out.find("probe a: descriptor taken"), std::string::npos);
    EXPECT_EQ(countOf(out, "descriptor taken"), 2) << out;
    EXPECT_EQ(out.find("x.protocol.bak"), std::string::npos);
    EXPECT_EQ(out.find("X.PROTOCOL"), std::string::npos);
    EXPECT_EQ(out.find("image .protocol"), std::string::npos);
    EXPECT_EQ(out.find("inner.protocol"), std::string::npos);
    /* Without configure the module is mapped and unmapped again at once. */
    EXPECT_TRUE(inOrder(out, {"probe image noconf.protocol mapped", "probe image noconf.protocol unmapped",
                              "Got config for 11 protocols"}));
    EXPECT_EQ(countOf(out, "probe service "), countOf(out, "probe service svc: ")) << "only svc.service loads";

    /* Groups apply in file order, a protocol as often as it is named; an
     * exception ends the list and keeps what was applied. */
    EXPECT_TRUE(inOrder(out, {"| info| TQ Server: Got config for 11 protocols\n", "probe p1: configured with tag first\n",
                              "probe a: configured with tag second\n", "probe p1: configured with tag third\n",
                              "|ERROR| TQ Server: Error reading Communication.cfg: refused by a\n",
                              "probe p1: run", "postinit, server alpha, network net-7\n"}));
    EXPECT_EQ(countOf(out, "configured with tag"), 3);
    EXPECT_EQ(out.find("never"), std::string::npos);

    /* Protocols are torn down by the core, then unloaded before services. */
    EXPECT_TRUE(inOrder(out, {"probe p1: destroy", "Unloading modules...", "probe image p1.protocol unmapped"}));
}

TEST(Server, ModulesBuiltOutOfTreeAgainstTheInstalledSdk) {
    TempDir tmp;
    const fs::path prefix = tmp.path() / "sdk";
    auto run = [&](const std::string &command) {
        Launch launch;
        launch.program = "/bin/sh";
        launch.args = {"-c", command};
        launch.unsetEnv = {"CMAKE_PREFIX_PATH", "PKG_CONFIG_PATH"};
        Child child(launch, tmp.path());
        int code = child.wait(120000);
        EXPECT_EQ(code, 0) << command << "\n" << child.out() << child.err();
        return code == 0;
    };
    ASSERT_TRUE(run(std::string("\"" TQ_CMAKE "\" --install \"" TQ_BINARY_DIR "\" --component sdk --prefix \"") +
                    prefix.string() + "\""));
    for (const char *header : {"tessarc/runtime.h", "tessarc/server.h", "tessarc/module.h"})
        EXPECT_TRUE(fs::exists(prefix / "include" / header)) << header;

    /* A protocol module with CMake's find_package(Tessarc). */
    const fs::path build = tmp.path() / "build";
    ASSERT_TRUE(run(std::string("\"" TQ_CMAKE "\" -S \"" TQ_SDK_PROJECT_DIR "\" -B \"") + build.string() +
                    "\" -G Ninja -DCMAKE_PREFIX_PATH=\"" + prefix.string() +
                    "\" -DPROBE_SOURCE=\"" TQ_PROBE_SOURCE_DIR "/probe_protocol.cpp\" >/dev/null && \"" TQ_CMAKE
                    "\" --build \"" + build.string() + "\" >/dev/null"));
    /* A service module in C with the pkg-config file only. */
    const fs::path root = tmp.path() / "root";
    fs::create_directories(root / "Services");
    fs::create_directories(root / "Protocols");
    ASSERT_TRUE(run("export PKG_CONFIG_PATH=\"$(dirname \"$(find \"" + prefix.string() +
                    "\" -name tessarc.pc)\")\" && cc -shared -fPIC -o \"" + (root / "Services/sdksvc.service").string() +
                    "\" \"" TQ_PROBE_SOURCE_DIR "/probe_service.c\" $(pkg-config --cflags --libs tessarc) -ldl"));

    fs::copy_file(build / "sdkproto.protocol", root / "Protocols/sdkproto.protocol");
    writeFile(root / "Config/Communication.cfg", "protocols = ( { name = \"sdkproto\"; tag = \"sdk\"; } );\n");
    Child child(serverLaunch(root, {"--probe-stop"}), tmp.path());
    ASSERT_EQ(child.wait(), 0) << child.out() << child.err();
    std::string out = child.out();
    EXPECT_TRUE(inOrder(out, {"probe sdkproto: configured with tag sdk", "probe service sdksvc: preinit, 2 args",
                              "probe sdkproto: run", "probe service sdksvc: postinit", "Unloading modules..."}))
        << out;
}
