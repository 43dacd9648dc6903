/* Reading the tcp protocol's group of Communication.cfg. */
#include "tcp.h"

#include <set>
#include <algorithm>
#include <stdexcept>

namespace tcp {

namespace {

/* Every setting name the readers below have looked for: what the group may
 * hold. Filled as the group is read, so a setting added with these readers is
 * known without a second list to keep in step. Start-up thread only. */
std::set<std::string> s_known = {"name"};

/* Refuses an address of `name` whose port (after the last ':') is not a
 * number up to 65535, or is 0 where a port must be named: converting it to
 * 16 bits later would quietly take another port. */
void checkPort(const char *name, const std::string &address, bool zeroAllowed)
{
    size_t colon = address.rfind(':');
    std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
    bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    unsigned long value = digits ? std::stoul(port) : 0;
    if (!digits || value > 65535 || (value == 0 && !zeroAllowed))
        throw std::runtime_error(std::string("tcp: ") + name + ": \"" + address + "\" has no port from " +
                                 (zeroAllowed ? "0" : "1") + " to 65535");
}

/* A setting that is one string or a list/array of strings (or of address
 * groups with options of their own, see readTlsSettings), appended once
 * every one has a port in range (0 only where `zeroAllowed`). */
void readAddresses(const libconfig::Setting &group, const char *name, std::vector<std::string> &out, bool zeroAllowed)
{
    s_known.insert(name);
    if (!group.exists(name))
        return;
    const libconfig::Setting &setting = group[name];
    std::vector<std::string> read;
    if (setting.getType() == libconfig::Setting::TypeString) {
        read.push_back(static_cast<const char *>(setting));
    } else {
        if (!setting.isAggregate())
            throw std::runtime_error(std::string("tcp: ") + name + " must be a string or a list of strings");
        for (int i = 0; i < setting.getLength(); ++i) {
            if (setting[i].isGroup() && setting[i].exists("address") &&
                setting[i]["address"].getType() == libconfig::Setting::TypeString) {
                read.push_back(static_cast<const char *>(setting[i]["address"]));
                continue;
            }
            if (setting[i].getType() != libconfig::Setting::TypeString)
                throw std::runtime_error(std::string("tcp: ") + name + " must hold only strings");
            read.push_back(static_cast<const char *>(setting[i]));
        }
    }
    for (const std::string &address : read)
        checkPort(name, address, zeroAllowed);
    out.insert(out.end(), read.begin(), read.end());
}

/* A whole number of at least `min`, at most `max`. */
void readNumber(const libconfig::Setting &group, const char *name, uint64_t min, uint64_t max, uint64_t &out)
{
    s_known.insert(name);
    if (!group.exists(name))
        return;
    const libconfig::Setting &setting = group[name];
    long long value = 0;
    if (setting.getType() == libconfig::Setting::TypeInt)
        value = static_cast<int>(setting);
    else if (setting.getType() == libconfig::Setting::TypeInt64)
        value = static_cast<long long>(setting);
    else
        throw std::runtime_error(std::string("tcp: ") + name + " must be a whole number");
    if (value < 0 || static_cast<uint64_t>(value) < min || static_cast<uint64_t>(value) > max)
        throw std::runtime_error(std::string("tcp: ") + name + " is out of range");
    out = static_cast<uint64_t>(value);
}

void readMs(const libconfig::Setting &group, const char *name, uint32_t &out)
{
    uint64_t value = out;
    readNumber(group, name, 1, 3600000, value);
    out = static_cast<uint32_t>(value);
}

/* The flow control settings: the watermarks, the stall limit and what a
 * stalled client gets. Checked together, after the cap and sendTimeout,
 * since one reading may change any of them. */
void readFlowSettings(const libconfig::Setting &group, Settings &settings)
{
    readNumber(group, "highWater", 1, uint64_t(1) << 40, settings.highWater);
    readNumber(group, "lowWater", 0, uint64_t(1) << 40, settings.lowWater);
    readMs(group, "stallLimit", settings.stallLimitMs);
    if (group.exists("slowClient")) {
        const libconfig::Setting &setting = group["slowClient"];
        std::string value = setting.getType() == libconfig::Setting::TypeString ? setting.c_str() : "";
        if (value != "drop" && value != "disconnect")
            throw std::runtime_error("tcp: slowClient must be \"drop\" or \"disconnect\"");
        settings.slowClientDisconnect = value == "disconnect";
    }
    /* Watermarks not named follow a smaller cap, so a group that sets only
     * sendQueueBytes stays valid. */
    if (!group.exists("highWater") && settings.highWater >= settings.sendQueueBytes)
        settings.highWater = settings.sendQueueBytes / 4;
    if (!group.exists("lowWater") && settings.lowWater >= settings.highWater)
        settings.lowWater = settings.highWater / 4;
    if (!group.exists("stallLimit") && settings.stallLimitMs >= settings.sendTimeoutMs)
        settings.stallLimitMs = std::max<uint32_t>(1, settings.sendTimeoutMs / 2);
    if (settings.highWater >= settings.sendQueueBytes)
        throw std::runtime_error("tcp: highWater must be under sendQueueBytes");
    if (settings.lowWater >= settings.highWater)
        throw std::runtime_error("tcp: lowWater must be under highWater");
    if (settings.stallLimitMs >= settings.sendTimeoutMs)
        throw std::runtime_error("tcp: stallLimit must be under sendTimeout");
}

} /* namespace */

void readSettings(const libconfig::Setting &group, Settings &settings)
{
    readAddresses(group, "listen", settings.listen, true);
    readAddresses(group, "clientListen", settings.clientListen, true);
    readAddresses(group, "peers", settings.peers, false);
    readMs(group, "connectTimeout", settings.connectTimeoutMs);
    readMs(group, "handshakeTimeout", settings.handshakeTimeoutMs);
    readMs(group, "acceptBackoff", settings.acceptBackoffMs);
    readMs(group, "reconnectMin", settings.reconnectMinMs);
    readMs(group, "reconnectMax", settings.reconnectMaxMs);
    readMs(group, "closeTimeout", settings.closeTimeoutMs);
    readMs(group, "sendTimeout", settings.sendTimeoutMs);
    /* At least one dataset of the largest size must fit. */
    readNumber(group, "sendQueueBytes", TQ_SERVER_SIZE_LIMIT, uint64_t(1) << 40, settings.sendQueueBytes);
    if (settings.reconnectMaxMs < settings.reconnectMinMs)
        settings.reconnectMaxMs = settings.reconnectMinMs;
    readFlowSettings(group, settings);
}

void noteSetting(const char *name)
{
    s_known.insert(name);
}

void warnUnknownSettings(const libconfig::Setting &group, TQ_Logger *log)
{
    std::string file;
    if (group.getSourceFile() != nullptr)
        file = group.getSourceFile();
    else if (const char *dir = TQ_Server_getConfigDir())
        file = std::string(dir) + "/Communication.cfg";
    else
        file = "Communication.cfg";
    for (int i = 0; i < group.getLength(); ++i) {
        const char *name = group[i].getName();
        if (name != nullptr && s_known.count(name) == 0)
            TQ_log(log, TQ_LOG_WARN, "tcp: %s, line %u: the group \"tcp\" has no setting \"%s\"; ignored\n",
                   file.c_str(), group[i].getSourceLine(), name);
    }
}

} /* namespace tcp */
