// The server core without running it; each test brings up a fresh core.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tessarc/server.h>

namespace {

std::string g_events;

class Core : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(initMallocAllocator(&m_allocator), 1);
        TQ_Server_init(&m_allocator);
        g_events.clear();
    }
    void TearDown() override
    {
        TQ_Server_destroyCommunication();
        TQ_Server_destroy();
        m_allocator.destroy(&m_allocator);
    }
    TQ_Allocator m_allocator;
};

// Hooks record "<hook><id>[<node>] ".
void note(const char *hook, int id, const char *node = "")
{
    g_events += hook + std::to_string(id) + node + " ";
}
template <int Id>
int32_t preinit(TQ_Server_ServiceApi *api)
{
    note("pre", Id);
    EXPECT_EQ(api, TQ_Server_getServiceApi());
    return Id == 7 ? -1 : Id == 4 ? 0 : 1;
}
void noDataset(TQ_Server_Node *, TQ_Buffer *, TQ_TreeSet *) {}

template <int Id>
TQ_Server_Service makeService(const char *name, int16_t order, uint8_t type, void *interface)
{
    return TQ_Server_Service{preinit<Id>,
                             [] { note("post", Id); },
                             [](TQ_Server_Node *n) { note("add", Id, n->name); },
                             [](TQ_Server_Node *) { note("remove", Id); },
                             noDataset,
                             nullptr,
                             [] { note("predestroy", Id); },
                             [] { note("postdestroy", Id); },
                             name,
                             interface,
                             order,
                             type};
}

TEST_F(Core, ServiceHooksRunInOrderAndARefusingServiceGetsNothingMore)
{
    int ifaceA = 0, ifaceB = 0, ifaceR = 0;
    // Two type-0 services of equal order are told apart by address: take both from one array so their order is known.
    TQ_Server_Service zero[2] = {makeService<3>("zero", 10, 0, nullptr), makeService<4>("zero", 10, 0, nullptr)};
    TQ_Server_Service s1 = makeService<1>("shared", 10, 5, &ifaceA);
    TQ_Server_Service s2 = makeService<2>("shared", -3, 9, &ifaceB);
    TQ_Server_Service refusing = makeService<7>("refusing", -100, 7, &ifaceR);
    TQ_Server_Service sameType = makeService<8>("dup", 0, 5, nullptr);

    for (TQ_Server_Service *service : {&s1, &zero[1], &s2, &refusing, &zero[0]})
        EXPECT_EQ(TQ_Server_addService(service), 1) << service->name;
    // A dataset type already owned, a service already registered.
    for (TQ_Server_Service *service : {&sameType, &s1, &zero[0]})
        EXPECT_EQ(TQ_Server_addService(service), -1) << service->name;
    EXPECT_EQ(TQ_Server_findServiceByType(5), &s1);
    EXPECT_EQ(TQ_Server_findServiceByType(0), nullptr);
    EXPECT_EQ(TQ_Server_getServiceInterface("refusing"), &ifaceR);
    // A shared name finds the service of the lower dataset type.
    EXPECT_EQ(TQ_Server_getServiceInterface("shared"), &ifaceA);

    TQ_Server_Services_preinit();
    TQ_Server_Services_postinit();
    TQ_Server_Node node{};
    char name[] = "peer";
    node.name = name;
    TQ_Server_Services_addNode(&node);
    TQ_Server_Services_removeNode(&node);
    TQ_Server_Services_predestroy();
    TQ_Server_Services_postdestroy();

    EXPECT_EQ(g_events, "pre7 pre2 pre3 pre4 pre1 post2 post3 post4 post1 add2peer add3peer add4peer add1peer "
                        "remove2 remove3 remove4 remove1 predestroy1 predestroy4 predestroy3 predestroy2 "
                        "postdestroy1 postdestroy4 postdestroy3 postdestroy2 ");

    // The refusing service has left both orders; its type is free again.
    EXPECT_EQ(TQ_Server_findServiceByType(7), nullptr);
    EXPECT_EQ(TQ_Server_getServiceInterface("refusing"), nullptr);
    TQ_List listed;
    TQ_listInit(&listed);
    TQ_Server_getServices(&listed);
    ASSERT_EQ(TQ_listSize(&listed), 4u);
    std::vector<void *> inTypeOrder;
    TQ_ListIterator it;
    for (TQ_listBegin(&listed, &it); TQ_listHasNext(&it); TQ_listNext(&it))
        inTypeOrder.push_back(it.m_value);
    EXPECT_EQ(inTypeOrder, (std::vector<void *>{&zero[0], &zero[1], &s1, &s2}));
    TQ_listDestroy(&listed);
}

TEST_F(Core, NamesAreCutCopiedAndKeptWhenNoCopyCanBeHad)
{
    // A copy handed out, as a string ("(null)" for none), freed again.
    auto value = [&](char *copy) {
        std::string text = copy ? copy : "(null)";
        if (copy)
            TQ_freeStringWithAllocator(&m_allocator, copy);
        return text;
    };
    // A copy that cannot be had (the pool refill fails) keeps the old value.
    EXPECT_EQ(value(TQ_Server_getName()), "(null)");
    TQ_Server_setName("first");
    TQ_allocFailAfter(0);
    TQ_Server_setName("a name of more than thirty-one characters");
    TQ_allocFailAfter(-1);
    EXPECT_EQ(value(TQ_Server_getName()), "first");

    std::string longName(300, 'n');
    longName[254] = 'e';
    TQ_Server_setName(longName.c_str());
    char *a = TQ_Server_getName();
    char *b = TQ_Server_getName();
    EXPECT_NE(a, b);
    EXPECT_EQ(value(a), longName.substr(0, 255));
    value(b);
    // A configured name survives the host-name default.
    TQ_Server_initName();
    EXPECT_EQ(value(TQ_Server_getName()), longName.substr(0, 255));
}

int g_continued = 0;
TQ_Connection *g_expectConnection;
TQ_Buffer *g_expectDataset;
void continuation(TQ_Connection *connection, TQ_Buffer *dataset)
{
    EXPECT_EQ(connection, g_expectConnection);
    EXPECT_EQ(dataset, g_expectDataset);
    ++g_continued;
}

TEST_F(Core, DefaultGroupManagerWithoutABufferStillContinuesTheHandshake)
{
    // The first pool refill fails: nothing is sent, and the continuation still runs with what it was given.
    TQ_Server_GroupManager *gm = TQ_Server_getServiceApi()->groupManager;
    TQ_Connection connection{};
    connection.send = [](TQ_Connection *, TQ_Buffer *) { ADD_FAILURE() << "sent without a buffer"; };
    g_expectConnection = &connection;
    TQ_Allocator fresh;
    ASSERT_EQ(initMallocAllocator(&fresh), 1);
    g_expectDataset = fresh.allocBuffer(&fresh, 300);
    TQ_allocFailAfter(0);
    gm->exchangeGroups(continuation, &connection, g_expectDataset);
    TQ_allocFailAfter(-1);
    EXPECT_EQ(g_continued, 1);
    TQ_bufferFree(g_expectDataset);
    fresh.destroy(&fresh);
}

int g_destroyedA = 0, g_destroyedB = 0;
TQ_Server_GroupManager replacement(void (*destroy)())
{
    TQ_Server_GroupManager m = *TQ_Server_getDefaultGroupManager();
    m.destroy = destroy;
    return m;
}

TEST_F(Core, EachInstalledGroupManagerIsDestroyedOnce)
{
    static TQ_Server_GroupManager a = replacement([] { ++g_destroyedA; });
    static TQ_Server_GroupManager b = replacement([] { ++g_destroyedB; });
    g_destroyedA = g_destroyedB = 0;
    TQ_Server_setGroupManager(&a);
    TQ_Server_setGroupManager(&a);
    EXPECT_EQ(g_destroyedA, 0);
    TQ_Server_setGroupManager(&b);
    EXPECT_EQ(g_destroyedA, 1);
    EXPECT_EQ(TQ_Server_getServiceApi()->groupManager, &b);
    TQ_Server_destroyCommunication();
    EXPECT_EQ(g_destroyedB, 1);
    EXPECT_EQ(TQ_Server_getServiceApi()->groupManager, nullptr);
    // Teardown in TearDown must not destroy anything again.
    TQ_Server_initCommunication();
    EXPECT_EQ(g_destroyedA + g_destroyedB, 2);
}

} // namespace
