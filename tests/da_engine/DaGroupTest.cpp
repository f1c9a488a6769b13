// Groups and items as a client manages them: names, handles, rate and keep-alive
// revision, activation and the per-item answers of add, validate and remove.
#include "DaEngineTestSupport.h"
#include "common/TVCmnString.h"
#include "TraceCapture.h"

namespace {

TEST_F(DaEngineTest, GroupsAreFoundByNameAndHandleRenamedUniquelyAndRemovedByHandle)
{
    DaRef<DaGroup> a = addGroup("Fast");
    DaRef<DaGroup> b = addGroup("Slow");
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->serverHandle(), b->serverHandle());
    EXPECT_EQ(a, server->findGroupByName("Fast"));
    EXPECT_EQ(b, server->findGroupByHandle(b->serverHandle()));
    const struct {
        const char* name;
        HRESULT expected;
    } renames[] = {{"Fast", OPC_E_DUPLICATENAME}, {"", E_INVALIDARG}, {"B/C", E_INVALIDARG}, {"Slow", S_OK}, {"Slower", S_OK}};
    for (const auto& rename : renames)
        EXPECT_EQ(rename.expected, b->setName(rename.name)) << "rename to \"" << rename.name << "\"";
    EXPECT_EQ(b, server->findGroupByName("Slower"));
    EXPECT_FALSE(server->findGroupByName("Slow"));

    const uint32_t handle = a->serverHandle();
    a = nullptr;
    EXPECT_EQ(S_OK, server->removeGroup(handle));
    EXPECT_FALSE(server->findGroupByHandle(handle));
    EXPECT_FALSE(server->findGroupByName("Fast"));
    EXPECT_EQ(E_INVALIDARG, server->removeGroup(handle));
    EXPECT_TRUE(trace.has(TVCmnString::format(64, "can't remove group; no group with handle 0x%lX", (unsigned long)handle)));
    EXPECT_EQ(1u, server->groupCount());
}

TEST_F(DaEngineTest, AddGroupRefusesBadNamesDuplicatesAndUnknownLocalesWithoutLeavingAGroup)
{
    addGroup("Fast");
    struct Row {
        const char* name;
        LCID lcid;
        HRESULT expected;
        const char* traceLine;
    } rows[] = {
        {"Fa.st", 0x409, E_INVALIDARG, "can't add group; no valid name Fa.st"},
        {"Fast", 0x409, OPC_E_DUPLICATENAME, "can't add group; no unique name Fast"},
        {"Other", 0x411, E_INVALIDARG, "can't add group; no supported LCID 0x411"},
    };
    for (const Row& row : rows) {
        DaGroupParams params;
        params.name = row.name;
        params.lcid = row.lcid;
        params.requestedUpdateRateMs = 1000;
        DaRef<DaGroup> group;
        EXPECT_EQ(row.expected, server->addGroup(params, group, nullptr)) << row.name;
        EXPECT_FALSE(group) << row.name;
        EXPECT_TRUE(trace.has(row.traceLine)) << row.traceLine;
    }
    EXPECT_EQ(1u, server->groupCount());
    EXPECT_EQ(1u, server->transactionCount());  // only the one group's cyclic transaction
}

TEST_F(DaEngineTest, UpdateRateIsRaisedToTheMinimumAndCappedAtNever)
{
    struct Row {
        uint32_t requested;
        uint32_t revised;
        HRESULT answer;
    } rows[] = {
        {0, 10, OPC_S_UNSUPPORTEDRATE},
        {5, 10, OPC_S_UNSUPPORTEDRATE},
        {10, 10, S_OK},
        {1000, 1000, S_OK},
        {kTickNever, kTickNever, S_OK},
        {kTickNever + 1, kTickNever, OPC_S_UNSUPPORTEDRATE},
        {0xFFFFFFFF, kTickNever, OPC_S_UNSUPPORTEDRATE},
    };
    for (const Row& row : rows) {
        DaGroupParams params;
        params.requestedUpdateRateMs = row.requested;
        DaRef<DaGroup> group;
        uint32_t revised = 0;
        EXPECT_EQ(row.answer, server->addGroup(params, group, &revised)) << row.requested;
        EXPECT_EQ(row.revised, revised) << row.requested;
        EXPECT_EQ(row.revised, group->updateRate()) << row.requested;
    }
}

TEST_F(DaEngineTest, KeepAliveIsOffAtZeroElseRaisedAndCapped)
{
    DaRef<DaGroup> group = addGroup();
    struct Row {
        uint32_t requested, revised;
    } rows[] = {{0, 0}, {5, 20}, {20, 20}, {2000, 2000}, {0xFFFFFFFF, kTickNever}};
    for (const Row& row : rows) {
        uint32_t revised = 1;
        EXPECT_EQ(S_OK, group->setKeepAlive(row.requested, &revised));
        EXPECT_EQ(row.revised, revised) << row.requested;
        EXPECT_EQ(row.revised, group->keepAlive()) << row.requested;
    }
}

TEST_F(DaEngineTest, ActivatingAGroupMakesItsFirstCycleDueAtOnce)
{
    DaRef<DaGroup> group = addGroup("G", false, 1000);
    uint32_t wait = 0;
    EXPECT_FALSE(group->isCycleDue(DaClock::tick(), &wait));
    EXPECT_EQ(0xFFFFFFFFu, wait);
    group->setActive(true);
    EXPECT_TRUE(group->isCycleDue(DaClock::tick(), &wait));
    EXPECT_EQ(1000u, wait);
    EXPECT_FALSE(group->isCycleDue(DaClock::tick(), &wait));
    EXPECT_EQ(1000u, wait);
}

TEST_F(DaEngineTest, ItemsAddAndValidateWithPerItemErrorsAndNothingOfAFailedItemStays)
{
    DaRef<DaGroup> group = addGroup();
    const DaItemDef defs[] = {
        {"Drive1.Speed", "", VT_R4, true, 11},
        {"Drive1.Nothing", "", VT_EMPTY, true, 12},
        {"", "", VT_EMPTY, true, 13},
        {"Drive1.Status", "", VT_ARRAY | VT_I4, true, 14},
        {"Drive1.Status", "", VT_BSTR, false, 15},
        {"Drive1", "", VT_EMPTY, true, 16},
    };
    std::vector<DaItemResult> results;
    std::vector<HRESULT> errors;
    EXPECT_EQ(S_FALSE, group->addItems(defs, results, errors));
    const HRESULT expected[] = {S_OK, OPC_E_UNKNOWNITEMID, OPC_E_INVALIDITEMID, OPC_E_BADTYPE, S_OK, OPC_E_UNKNOWNITEMID};
    for (size_t i = 0; i < std::size(defs); ++i)
        EXPECT_EQ(expected[i], errors[i]) << defs[i].itemId;
    EXPECT_EQ(VT_R8, results[0].canonicalType);  // the tag's type, not the requested one
    EXPECT_EQ(0u, results[1].serverHandle);
    EXPECT_EQ(2u, group->itemCount());
    EXPECT_EQ(2u, group->cyclicTransaction()->requestCount());
    EXPECT_TRUE(trace.has("can't validate item; bad requested datatype 8195"));
    // Validating the same list answers as adding did and adds nothing.
    std::vector<DaItemResult> validated;
    std::vector<HRESULT> validateErrors;
    EXPECT_EQ(S_FALSE, group->validateItems(defs, validated, validateErrors));
    EXPECT_EQ(errors, validateErrors);
    EXPECT_EQ(VT_R8, validated[0].canonicalType);
    EXPECT_EQ(2u, group->itemCount());

    std::vector<DaRef<DaObject>> connected;
    status->getItems(connected);
    EXPECT_EQ(1u, connected.size());  // the failed Status item was never connected

    DaRef<DaItem> item = group->findItem(results[4].serverHandle);
    ASSERT_TRUE(item);
    EXPECT_FALSE(item->isActive());
    EXPECT_EQ(15u, item->clientHandle());
    EXPECT_EQ(VT_BSTR, item->requestedDatatype());
}

TEST_F(DaEngineTest, RemoveItemsAnswersPerHandleAndDisconnectsTheTag)
{
    DaRef<DaGroup> group = addGroup();
    const uint32_t a = addItem(group.get(), "Drive1.Speed");
    const uint32_t b = addItem(group.get(), "Drive1.Status");
    const uint32_t handles[] = {a, 999999, a, b};
    std::vector<HRESULT> errors;
    EXPECT_EQ(S_FALSE, group->removeItems(handles, errors));
    // The same handle twice: gone after the first.
    EXPECT_EQ((std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, S_OK}), errors);
    EXPECT_EQ(0u, group->itemCount());
    EXPECT_EQ(0u, group->cyclicTransaction()->requestCount());
    std::vector<DaRef<DaObject>> connected;
    speed->getItems(connected);
    EXPECT_TRUE(connected.empty());
    EXPECT_EQ(OPC_E_INVALIDHANDLE, group->removeItem(a));
}

TEST_F(DaEngineTest, ActivationHooksRunForItemsThatAreActiveInAnActiveGroup)
{
    DaRef<DaGroup> group = addGroup("G", false);
    const uint32_t handle = addItem(group.get(), "Drive1.Counted");
    EXPECT_EQ(0, counted->activated.load());  // the group is inactive
    group->setActive(true);
    EXPECT_EQ(1, counted->activated.load());
    std::vector<HRESULT> errors;
    group->setItemsActive(one(handle), false, errors);
    EXPECT_EQ(1, counted->deactivated.load());
    group->setItemsActive(one(handle), true, errors);
    EXPECT_EQ(2, counted->activated.load());
    group->setActive(false);
    EXPECT_EQ(2, counted->deactivated.load());
    group->setActive(true);
    EXPECT_EQ(3, counted->activated.load());
    const uint32_t unknown = 424242;
    EXPECT_EQ(S_FALSE, group->setItemsActive(one(unknown), true, errors));
    EXPECT_EQ(OPC_E_INVALIDHANDLE, errors[0]);
    server->removeGroup(group->serverHandle());
    EXPECT_EQ(3, counted->deactivated.load());  // removal deactivates the active item
}

TEST_F(DaEngineTest, ItemDeadbandOnlyOnAnalogTagsAndWithinZeroToHundred)
{
    DaRef<DaGroup> group = addGroup();
    DaRef<DaItem> analog = group->findItem(addItem(group.get(), "Drive1.Speed"));
    DaRef<DaItem> plain = group->findItem(addItem(group.get(), "Drive1.Status"));
    struct Row {
        float percent;
        HRESULT analogAnswer;
    } rows[] = {{0.0f, S_OK}, {100.0f, S_OK}, {50.5f, S_OK}, {100.5f, E_INVALIDARG}, {-0.1f, E_INVALIDARG}};
    for (const Row& row : rows) {
        EXPECT_EQ(row.analogAnswer, analog->setItemDeadband(row.percent)) << row.percent;
        EXPECT_EQ(OPC_E_DEADBANDNOTSUPPORTED, plain->setItemDeadband(row.percent)) << row.percent;
    }
    float percent = 0.0f;
    EXPECT_EQ(S_OK, analog->getItemDeadband(&percent));
    EXPECT_FLOAT_EQ(50.5f, percent);
    EXPECT_EQ(S_OK, analog->clearItemDeadband());
    EXPECT_EQ(OPC_E_DEADBANDNOTSET, analog->clearItemDeadband());
    EXPECT_EQ(OPC_E_DEADBANDNOTSET, analog->getItemDeadband(&percent));
    EXPECT_EQ(OPC_E_DEADBANDNOTSUPPORTED, plain->clearItemDeadband());
}

TEST_F(DaEngineTest, WithoutASinkLinesGoToTheProcessTraceUnderTheObjectsName)
{
    DaEngineTrace::setSink(nullptr, nullptr, 0);
    TraceCapture capture(kTraceGroupOpc, 0, 0, 0);
    server->setClientName("HMI");
    DaGroupParams params;
    params.name = "a.b";
    DaRef<DaGroup> group;
    server->addGroup(params, group, nullptr);
    const auto lines = capture.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("can't add group; no valid name a.b", lines[0].message);
    EXPECT_EQ(0u, lines[0].objectId.rfind("[DSE|", 0)) << lines[0].objectId;
    EXPECT_NE(std::string::npos, lines[0].objectId.find("| HMI]")) << lines[0].objectId;
}

}  // namespace
