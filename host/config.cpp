/* The install root and the configuration files Logging.cfg and
 * Communication.cfg. */
#include "config.h"

#include <cstdio>
#include <cstdlib>

#include <boost/filesystem/operations.hpp>

#include "modules.h"

namespace fs = boost::filesystem;

/* ---- Install root ---- */

namespace {

fs::path findRootPath()
{
    fs::path root("/Tessarc");
    const char *dir = std::getenv("TQ_INSTALL_DIR");
    bool readable = true;
    if (dir != nullptr) {
        root = fs::path(dir);
        /* A relative root needs the working directory, which may be gone
         * (removed while the process sat in it): such a root cannot be
         * read either. */
        try {
            root = fs::absolute(root);
        } catch (const fs::filesystem_error &) {
            readable = false;
        }
    }
    boost::system::error_code error;
    if (!readable || !fs::is_directory(root, error)) {
        std::string message = "Tessarc root directory " + root.string() + " could not be read.\n";
        std::fputs(message.c_str(), stderr);
        TQ_exitProcess(1);
    }
    return root;
}

} /* namespace */

const fs::path &getRootPath()
{
    /* The first call computes it; concurrent first calls wait for it. */
    static const fs::path root = findRootPath();
    return root;
}

/* ---- Reading files ---- */

std::unique_ptr<libconfig::Config> loadConfig(const std::string &fileName)
{
    boost::system::error_code error;
    if (!fs::exists(fs::path(fileName), error))
        return nullptr;
    std::unique_ptr<libconfig::Config> config(new libconfig::Config());
    try {
        config->readFile(fileName.c_str());
    } catch (const libconfig::ParseException &e) {
        std::string message =
            "Parse error reading " + fileName + ", line " + std::to_string(e.getLine()) + ": " + e.getError() + "\n";
        std::fputs(message.c_str(), stderr);
        return nullptr;
    } catch (const libconfig::ConfigException &) {
        std::string message = "Error reading config file " + fileName + "\n";
        std::fputs(message.c_str(), stderr);
        return nullptr;
    }
    return config;
}

namespace {

std::string configFile(const fs::path &root, const char *name)
{
    return (root / "Config" / name).string();
}

/* The value of a top-level string setting, or false when it is missing or
 * is not a string. */
bool stringSetting(const libconfig::Setting &group, const char *name, std::string &value)
{
    if (!group.exists(name))
        return false;
    const libconfig::Setting &setting = group[name];
    if (setting.getType() != libconfig::Setting::TypeString)
        return false;
    value = static_cast<const char *>(setting);
    return true;
}

/* The value of a top-level non-negative integer setting, or false when it is
 * missing, is not an integer or is negative. */
bool countSetting(const libconfig::Setting &group, const char *name, unsigned long long &value)
{
    if (!group.exists(name))
        return false;
    const libconfig::Setting &setting = group[name];
    long long number;
    if (setting.getType() == libconfig::Setting::TypeInt)
        number = static_cast<int>(setting);
    else if (setting.getType() == libconfig::Setting::TypeInt64)
        number = static_cast<long long>(setting);
    else
        return false;
    if (number < 0)
        return false;
    value = static_cast<unsigned long long>(number);
    return true;
}

} /* namespace */

/* ---- Logging.cfg ---- */

namespace {

/* The stream the server logger writes to when Logging.cfg names a file. */
FILE *s_logFile = nullptr;

struct LevelWord {
    const char *word;
    int level;
};

const LevelWord c_levelWords[] = {
    {"off", 0}, {"fatal", 1}, {"error", 2}, {"warning", 3}, {"info", 4}, {"debug", 5}, {"trace", 6},
};

} /* namespace */

void configureLogging(const fs::path &root)
{
    std::unique_ptr<libconfig::Config> config = loadConfig(configFile(root, "Logging.cfg"));
    if (!config)
        return;
    TQ_Logger *log = TQ_Server_getLog();
    const libconfig::Setting &top = config->getRoot();

    std::string logFile;
    if (stringSetting(top, "logFile", logFile)) {
        FILE *stream = std::fopen(logFile.c_str(), "a");
        if (stream != nullptr) {
            /* Whole lines reach the file as they are written, so a reader
             * (tail, a test, a crash) never misses the last messages. */
            std::setvbuf(stream, nullptr, _IOLBF, BUFSIZ);
            s_logFile = stream;
            TQ_logToFile(log, stream);
        } else {
            TQ_log(log, TQ_LOG_ERROR, "Log file \"%s\" could not be opened for appending. Using stdout instead.\n",
                   logFile.c_str());
        }
    }

    std::string word;
    if (stringSetting(top, "logLevel", word)) {
        int level = -1;
        for (const LevelWord &entry : c_levelWords) {
            if (word == entry.word)
                level = entry.level;
        }
        if (level < 0) {
            TQ_log(log, TQ_LOG_ERROR, "Unrecognized log level \"%s\"; defaulting to \"info\"\n", word.c_str());
            level = 4;
        }
        TQ_logSetLevel(log, level);
    }
}

void closeLogFile()
{
    if (s_logFile == nullptr)
        return;
    TQ_logSetOutput(TQ_Server_getLog(), TQ_LOGOUTPUT_PRINTF_func);
    std::fclose(s_logFile);
    s_logFile = nullptr;
}

/* ---- Communication.cfg ---- */

void readConfig(const fs::path &root)
{
    TQ_Logger *log = TQ_Server_getLog();
    std::unique_ptr<libconfig::Config> config = loadConfig(configFile(root, "Communication.cfg"));
    if (!config) {
        TQ_log(log, TQ_LOG_INFO, "Could not read Communication.cfg. Using default values...\n");
        return;
    }
    const libconfig::Setting &top = config->getRoot();

    std::string value;
    if (stringSetting(top, "serverName", value))
        TQ_Server_setName(value.c_str());
    if (stringSetting(top, "networkId", value))
        TQ_Server_setNetworkId(value.c_str());
    unsigned long long count;
    if (countSetting(top, "broadcastRecordBudget", count))
        TQ_Server_setBroadcastRecordBudget(count);
    if (countSetting(top, "neighbourLimit", count))
        TQ_Server_setNeighbourLimit(count > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(count));

    try {
        if (!top.exists("protocols")) {
            TQ_log(log, TQ_LOG_INFO, "No config found for individual protocols\n");
            return;
        }
        libconfig::Setting &protocols = top["protocols"];
        int count = protocols.getLength();
        TQ_log(log, TQ_LOG_INFO, "Got config for %u protocols\n", static_cast<unsigned>(count));
        for (int i = 0; i < count; ++i) {
            libconfig::Setting &group = protocols[i];
            std::string name;
            if (!stringSetting(group, "name", name) || name.empty())
                continue;
            Protocol *protocol = getProtocol(name);
            if (protocol != nullptr)
                protocol->configure(group, log);
        }
    } catch (const std::exception &e) {
        TQ_log(log, TQ_LOG_ERROR, "Error reading Communication.cfg: %s\n", e.what());
    } catch (...) {
        TQ_log(log, TQ_LOG_ERROR, "Error reading Communication.cfg\n");
    }
}
