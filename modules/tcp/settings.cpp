/* Reading the tcp protocol's group of Communication.cfg. */
#include "tcp.h"

#include <set>
#include <stdexcept>

namespace tcp {

namespace {

/* Every setting name the readers below have looked for: what the group may
 * hold. Filled as the group is read, so a setting added with these readers is
 * known without a second list to keep in step. Start-up thread only. */
std::set<std::string> s_known = {"name"};

/* A setting that is one string or a list/array of strings, appended. */
void readAddresses(const libconfig::Setting &group, const char *name, std::vector<std::string> &out)
{
    s_known.insert(name);
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
        /* An address with options of its own (see readTlsSettings). */
        if (setting[i].isGroup() && setting[i].exists("address") &&
            setting[i]["address"].getType() == libconfig::Setting::TypeString) {
            out.push_back(static_cast<const char *>(setting[i]["address"]));
            continue;
        }
        if (setting[i].getType() != libconfig::Setting::TypeString)
            throw std::runtime_error(std::string("tcp: ") + name + " must hold only strings");
        out.push_back(static_cast<const char *>(setting[i]));
    }
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
