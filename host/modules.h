/* Protocol and service modules: shared objects in the Protocols and
 * Services directories of the install root, loaded at start-up, handed to
 * the server core by their descriptors and unloaded at shutdown. */
#ifndef TESSARC_HOST_MODULES_H
#define TESSARC_HOST_MODULES_H

#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <libconfig.h++>
#include <tessarc/server.h>

namespace Tessarc {

/* One loaded shared object, or the program itself. Never copied: the
 * destructor unloads the library. */
class DynamicLib {
public:
    /* An untyped function pointer as found in the library. */
    typedef void (*Function)();

    /* Loads the library at `path` (all symbols bound now, kept local to it);
     * the path "main" stands for the program itself. Throws Tessarc::Error
     * with the text "\"<path>\": <loader message>" when it cannot be loaded. */
    explicit DynamicLib(const std::string &path);
    /* Unloads the library; the program itself is never unloaded. */
    ~DynamicLib();
    DynamicLib(const DynamicLib &) = delete;
    DynamicLib &operator=(const DynamicLib &) = delete;

    /* The exported symbol `name`. Throws Tessarc::Error with the text
     * "\"<name>\": <loader message>" when the library does not export it. */
    Function loadSymbol(const std::string &name);
    /* The exported symbol `name`, or `fallback` when it is missing; never
     * throws. */
    Function loadSymbol(const std::string &name, Function fallback);
    /* The throwing form, stored into `target` cast to its type. */
    template <typename T>
    void loadSymbol(const std::string &name, T *&target)
    {
        target = reinterpret_cast<T *>(loadSymbol(name));
    }

private:
    void *m_handle;
    bool m_isMain;
};

} /* namespace Tessarc */

/* The configure entry of a protocol module: its group of Communication.cfg
 * (valid only during the call) and the host's logger. */
typedef void (*TQ_ConfigureFunction)(libconfig::Setting &group, TQ_Logger *log);

/* One protocol module. Owns its library; the descriptor is the module's. */
class Protocol {
public:
    /* Loads the module at `path` and takes its getProtocol and configure
     * entries, then its descriptor. Throws Tessarc::Error (the module
     * unloaded again) when the module cannot be loaded, lacks an entry, or
     * gives no descriptor. */
    explicit Protocol(const std::string &path);
    Protocol(const Protocol &) = delete;
    Protocol &operator=(const Protocol &) = delete;

    TQ_Server_Protocol *protocol;
    TQ_ConfigureFunction configure;
    Tessarc::DynamicLib library;
};

/* One service module. Owns its library; the descriptor is the module's. */
class Service {
public:
    /* Loads the module at `path`, takes its getService entry and its
     * descriptor. Throws Tessarc::Error (the module unloaded again) on
     * failure, as Protocol does. */
    explicit Service(const std::string &path);
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    TQ_Server_Service *service;
    Tessarc::DynamicLib library;
};

typedef std::vector<std::unique_ptr<Protocol>> ProtocolList;
typedef std::vector<std::unique_ptr<Service>> ServiceList;

/* The modules the host has loaded, in discovery order; owned by the host
 * from start-up until unloadModules. Start-up and stop tasks only. */
extern ProtocolList g_protocols;
extern ServiceList g_services;

/* Appends a Protocol for every loadable regular file of root/Protocols
 * whose name is longer than ".protocol" and ends with it (case-sensitive),
 * in directory order. Files that cannot be loaded are skipped silently; a
 * missing directory is logged at level 2. */
void findProtocols(const boost::filesystem::path &root, ProtocolList &list);
/* The same for root/Services, files ending in ".service". */
void findServices(const boost::filesystem::path &root, ServiceList &list);

/* The first loaded protocol (in g_protocols) whose descriptor name equals
 * `name` exactly, or null. */
Protocol *getProtocol(const std::string &name);

/* Destroys every protocol of g_protocols in list order, then every service
 * of g_services, each unloading its library; both lists end empty. Call only
 * when no module code runs any more (the postdestroy callback). */
void unloadModules();

#endif /* TESSARC_HOST_MODULES_H */
