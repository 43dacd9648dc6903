/* Reading the tcp protocol's group of Communication.cfg. */
#include "tcp.h"

#include <algorithm>
#include <stdexcept>

namespace tcp {

namespace {

/* A setting that is one string or a list/array of strings, appended. */
void readAddresses(const libconfig::Setting &group, const char *name, std::vector<std::string> &out)
{
    if (!group.exists(name))
        return;
    const libconfig::Setting &setting = group[name];
    if (setting.getType() == libconfig::Setting::TypeString) {
        out.push_back(static_cast<const char *>(setting));
        return;
    }
    if (!setting.isAggregate())
        throw std::runtime_error(std::string("tcp: ") + name + " must be a string or a list of strings");
    for (int i = 0; i < setting.getLength(); ++i) {
        if (setting[i].getType() != libconfig::Setting::TypeString)
            throw std::runtime_error(std::string("tcp: ") + name + " must hold only strings");
        out.push_back(static_cast<const char *>(setting[i]));
    }
}

/* A whole number of at least `min`, at most `max`. */
void readNumber(const libconfig::Setting &group, const char *name, uint64_t min, uint64_t max, uint64_t &out)
{
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
    readAddresses(group, "listen", settings.listen);
    readAddresses(group, "clientListen", settings.clientListen);
    readAddresses(group, "peers", settings.peers);
    readMs(group, "connectTimeout", settings.connectTimeoutMs);
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

} /* namespace tcp */
