/* The default communication manager, installed until a module sets its
 * own: it runs every registered protocol, opens every interface a protocol
 * reports, accepts every connection and logs what comes and goes. */
#include <tessarc/server.h>

namespace {

TQ_Server_ProtocolCallbacks *s_cmCallbacks = nullptr;
TQ_List *s_cmProtocols = nullptr;

const char *interfaceProtocolName(const TQ_Interface *interface)
{
    return interface->protocol ? interface->protocol->name : "";
}

void cmInit(TQ_Allocator *, TQ_Server_ProtocolCallbacks *callbacks, TQ_List *protocolList)
{
    s_cmCallbacks = callbacks;
    s_cmProtocols = protocolList;
}

void cmStop()
{
    if (!s_cmProtocols)
        return;
    TQ_ListIterator it;
    for (TQ_listBegin(s_cmProtocols, &it); TQ_listHasNext(&it); TQ_listNext(&it))
        static_cast<TQ_Server_Protocol *>(it.m_value)->stop();
}

void cmDestroy() {}

void cmStartProtocol(TQ_Server_Protocol *protocol)
{
    if (protocol->run(s_cmCallbacks) == -1)
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "CM: failed to run protocol %s\n", protocol->name);
}

void cmAddInterface(TQ_Interface *interface)
{
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "CM: adding new interface, protocol = %s, name = %s\n",
           interfaceProtocolName(interface), interface->name);
    interface->ops->open(interface);
}

void cmRemoveInterface(TQ_Interface *interface)
{
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "CM: removing interface, protocol = %s, name = %s\n",
           interfaceProtocolName(interface), interface->name);
}

int cmAddConnection(TQ_Connection *connection)
{
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "CM: adding connection, protocol = %s, interface = %s, name = %s\n",
           interfaceProtocolName(connection->interface), connection->interface->name, connection->name);
    return 1;
}

void cmConnectionReady(TQ_Connection *) {}

void cmRemoveConnection(TQ_Connection *connection)
{
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "CM: removing connection, protocol = %s, interface = %s, name = %s\n",
           interfaceProtocolName(connection->interface), connection->interface->name, connection->name);
}

} /* namespace */

TQ_Server_CommManager g_TQ_Server_defaultCommManager = {
    cmInit,
    cmStop,
    cmDestroy,
    cmStartProtocol,
    cmAddInterface,
    cmRemoveInterface,
    cmAddConnection,
    cmConnectionReady,
    cmRemoveConnection,
};
