/* Module loading: the only host file that calls the dynamic loader. */
#include "modules.h"

#include <boost/filesystem/operations.hpp>
#include <dlfcn.h>

namespace fs = boost::filesystem;

ProtocolList g_protocols;
ServiceList g_services;

/* ---- Dynamic libraries ---- */

namespace {

/* The loader's error text: the subject in double quotes, a colon, a blank,
 * then the loader's own message as it comes. */
Tessarc::Error loaderError(const std::string &subject)
{
    const char *reason = dlerror();
    return Tessarc::Error("\"" + subject + "\": " + (reason != nullptr ? reason : "unknown error"));
}

} /* namespace */

namespace Tessarc {

DynamicLib::DynamicLib(const std::string &path) : m_handle(nullptr), m_isMain(false)
{
    if (path == "main") {
        m_isMain = true;
        m_handle = dlopen(nullptr, RTLD_NOW | RTLD_LOCAL);
    } else {
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (m_handle == nullptr)
        throw loaderError(path);
}

DynamicLib::~DynamicLib()
{
    if (!m_isMain)
        dlclose(m_handle);
}

DynamicLib::Function DynamicLib::loadSymbol(const std::string &name)
{
    dlerror(); /* forget an older message, so the one below is this lookup's */
    void *symbol = dlsym(m_handle, name.c_str());
    if (symbol == nullptr)
        throw loaderError(name);
    return reinterpret_cast<Function>(symbol);
}

DynamicLib::Function DynamicLib::loadSymbol(const std::string &name, Function fallback)
{
    void *symbol = dlsym(m_handle, name.c_str());
    if (symbol == nullptr) {
        dlerror();
        return fallback;
    }
    return reinterpret_cast<Function>(symbol);
}

} /* namespace Tessarc */

/* ---- Protocol and service modules ---- */

Protocol::Protocol(const std::string &path) : protocol(nullptr), configure(nullptr), library(path)
{
    TQ_Server_Protocol *(*entry)() = nullptr;
    library.loadSymbol("getProtocol", entry);
    library.loadSymbol("configure", configure);
    protocol = entry();
    /* The core dereferences every registered descriptor. */
    if (protocol == nullptr || protocol->name == nullptr)
        throw Tessarc::Error("\"getProtocol\": " + path + " gives no named protocol");
}

Service::Service(const std::string &path) : service(nullptr), library(path)
{
    TQ_Server_Service *(*entry)() = nullptr;
    library.loadSymbol("getService", entry);
    service = entry();
    if (service == nullptr || service->name == nullptr)
        throw Tessarc::Error("\"getService\": " + path + " gives no named service");
}

/* ---- Discovery ---- */

namespace {

bool hasModuleName(const fs::path &file, const std::string &ending)
{
    std::string name = file.filename().string();
    return name.size() > ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
}

/* Appends a T for every loadable module file of `dir` named "*<ending>", in
 * directory order. False when `dir` is missing or is not a directory. */
template <typename T>
bool findModules(const fs::path &dir, const std::string &ending, std::vector<std::unique_ptr<T>> &list)
{
    boost::system::error_code error;
    if (!fs::is_directory(dir, error))
        return false;
    fs::directory_iterator it(dir, error), end;
    for (; !error && it != end; it.increment(error)) {
        const fs::path &file = it->path();
        if (!fs::is_regular_file(it->status(error)) || !hasModuleName(file, ending))
            continue;
        try {
            list.push_back(std::unique_ptr<T>(new T(file.string())));
        } catch (const std::exception &) {
            /* Not a module we can use: skipped without a message. */
        }
    }
    return true;
}

} /* namespace */

void findProtocols(const fs::path &root, ProtocolList &list)
{
    fs::path dir = root / "Protocols";
    if (!findModules(dir, ".protocol", list))
        TQ_log(TQ_Server_getLog(), TQ_LOG_ERROR, "Could not read protocols directory %s - no clients will be able to connect\n",
               dir.string().c_str());
}

void findServices(const fs::path &root, ServiceList &list)
{
    fs::path dir = root / "Services";
    if (!findModules(dir, ".service", list))
        TQ_log(TQ_Server_getLog(), TQ_LOG_ERROR, "Could not read services directory %s\n", dir.string().c_str());
}

Protocol *getProtocol(const std::string &name)
{
    for (const std::unique_ptr<Protocol> &entry : g_protocols) {
        if (name == entry->protocol->name)
            return entry.get();
    }
    return nullptr;
}

void unloadModules()
{
    for (std::unique_ptr<Protocol> &entry : g_protocols)
        entry.reset();
    g_protocols.clear();
    for (std::unique_ptr<Service> &entry : g_services)
        entry.reset();
    g_services.clear();
}
