// The watch object's documents over an in-process engine: the tree from the roots down
// to items and tags, object attributes, changes reported once, statistics per watch,
// and the XML writer's escaping that every document relies on.
#include <atomic>
#include <regex>
#include <thread>

#include "opc/DaWatch.h"
#include "opc/DaXmlWriter.h"
#include "tests/da_engine/DaEngineTestSupport.h"

namespace {

TEST(DaXmlWriter, EscapesTextAndAttributesAndClosesEmptyElementsShort)
{
    struct Row {
        const char* text;
        const char* escaped;
    } rows[] = {
        {"plain", "plain"},
        {"a & b", "a &amp; b"},
        {"<tag>", "&lt;tag&gt;"},
        {"say \"hi\"", "say &quot;hi&quot;"},
        {"it's", "it&apos;s"},
        {"bell\x07tab\t", "bell?tab\t"},
        {"", ""},
    };
    for (const Row& row : rows) {
        DaXmlWriter xml;
        xml.open("a").attribute("v", row.text).open("b").text(row.text).close().open("c");
        EXPECT_EQ(std::string(DaXmlWriter::kDeclaration) + "<a v = \"" + row.escaped + "\"><b>" + row.escaped +
                      "</b><c/></a>",
                  xml.finish())
            << row.text;
    }
}

// The id of the element whose name is `name`, or "".
std::string idNamed(const std::string& document, const std::string& name)
{
    std::smatch match;
    const std::regex pattern("id = \"([^\"]*)\" name = \"" + name + "\"");
    return std::regex_search(document, match, pattern) ? match[1].str() : std::string();
}

class DaWatchTest : public DaEngineTest {
protected:
    void SetUp() override
    {
        DaEngineTest::SetUp();
        server->setClientName("panel");
        DaWatchEntry entry;
        entry.vendor = "Kestrova & Co";
        entry.major = 1;
        entry.minor = 2;
        entry.build = 3;
        watch = std::make_unique<DaWatch>(server, entry);
        group = addGroup("G", true, 1000);
        setValue(status.get(), int32_t(9));
        statusHandle = addItem(group.get(), "Drive1.Status", 22);
    }
    void TearDown() override
    {
        watch.reset();
        group = nullptr;
        DaEngineTest::TearDown();
    }
    std::string children(const std::string& parent)
    {
        std::string document;
        EXPECT_EQ(S_OK, watch->getChildren(parent, document)) << parent;
        return document;
    }
    std::string object(const std::string& id)
    {
        std::string document;
        EXPECT_EQ(S_OK, watch->getObject(id, document)) << id;
        return document;
    }

    std::unique_ptr<DaWatch> watch;
    DaRef<DaGroup> group;
    uint32_t statusHandle = 0;
};

TEST_F(DaWatchTest, ChildrenLeadFromTheRootsToItemsAndTags)
{
    const std::string roots = children("");
    for (const char* root : {"<ENT id = \"ENT\"", "<DOR id = \"DOR\"", "<DNS id = \"DNS\""})
        EXPECT_NE(std::string::npos, roots.find(root)) << root;

    const std::string servers = children("DOR");
    const std::string serverId = idNamed(servers, "panel");
    ASSERT_EQ(serverId, DaWatch::idOf(*server));
    EXPECT_NE(std::string::npos, servers.find("name = \"panel\" self = \"1\""));
    EXPECT_NE(std::string::npos, servers.find("name = \"Public Group Templates\"/>"));

    const std::string groupId = idNamed(children(serverId), "G");
    ASSERT_EQ(groupId, DaWatch::idOf(*group));
    EXPECT_EQ(DaWatch::idOf(*group->findItem(statusHandle)), idNamed(children(groupId), "Drive1.Status"));
    EXPECT_EQ("DNO:Drive1", idNamed(children("DNS"), "Drive1"));
    EXPECT_EQ("DTA:Drive1.Status", idNamed(children("DNO:Drive1"), "Status"));
}

TEST_F(DaWatchTest, ObjectsShowTheirAttributes)
{
    struct Row {
        std::string id;
        std::vector<std::string> shows;
    } rows[] = {
        {"ENT", {"<ENT id = \"ENT\" version = \"1.02.3\" vendorInfo = \"Kestrova &amp; Co\""}},
        {DaWatch::idOf(*server), {"clientName = \"panel\"", "LCID = \"2048\"", "serverState = \"running\""}},
        {DaWatch::idOf(*group),
         {"name = \"G\" active = \"1\" updateRate = \"1000\" deadBand = \"0\"", "clientHandle = \"77\"",
          "public = \"0\"", "keepAliveTime = \"0\""}},
        {DaWatch::idOf(*group->findItem(statusHandle)),
         {"itemID = \"Drive1.Status\" active = \"1\" accessPath = \"\"", "clientHandle = \"22\"", "datatype = \"0\""}},
        {"DTA:Drive1.Status",
         {"name = \"Status\" path = \"Drive1\"", "itemID = \"Drive1.Status\" value = \"9\" quality = \"192\"",
          "datatype = \"3\"", "accessRights = \"1\" euType = \"0\""}},
        {"DTA:Drive1.Speed", {"euType = \"1\" euInfo = \"{0,200}\" hasProperties = \"1\""}},
    };
    for (const Row& row : rows) {
        const std::string document = object(row.id);
        for (const std::string& shown : row.shows)
            EXPECT_NE(std::string::npos, document.find(shown)) << document << "\nlacks: " << shown;
    }
}

TEST_F(DaWatchTest, IdsThatNameNothingAreRefusedAndChangeNothing)
{
    const std::string groupId = DaWatch::idOf(*group);
    for (const char* id : {"XYZ", "DGR:", "DGR:XYZ", "DGR:1", "DSE:1", "DTA:Drive1", "DNO:Drive1.Status", "DTA:No.Such"}) {
        std::string document = "untouched";
        EXPECT_EQ(E_INVALIDARG, watch->getObject(id, document)) << id;
        EXPECT_EQ(E_INVALIDARG, watch->getChildren(id, document)) << id;
        EXPECT_EQ("untouched", document) << id;
        EXPECT_EQ(E_INVALIDARG, watch->collectChanges(groupId + "|" + id, true)) << id;
    }
    EXPECT_EQ(E_INVALIDARG, watch->collectChanges("", true));
    group->setActive(false);
    EXPECT_EQ(std::string(DaXmlWriter::kDeclaration) + "<changes/>", watch->getChanges())
        << "a refused collect records nothing";
}

TEST_F(DaWatchTest, ChangesShowOnceAndRemovedObjectsLeaveTheRecord)
{
    const std::string serverId = DaWatch::idOf(*server), groupId = DaWatch::idOf(*group);
    ASSERT_EQ(S_OK, watch->collectChanges(serverId + "|" + groupId, true));
    group->setActive(false);
    uint32_t revised = 0;
    group->setUpdateRate(500, &revised);
    addItem(group.get(), "Drive1.Speed", 23);
    server->setLCID(1031);
    watch->attributeChanged(*server, "LCID", "1031");  // what SetLocaleID hands over

    const std::string changes = watch->getChanges();
    struct Row {
        std::string element;
        size_t times;
    } rows[] = {
        {"<chg id = \"" + groupId + "\" attr = \"active\" value = \"0\"/>", 1},
        {"<chg id = \"" + groupId + "\" attr = \"updateRate\" value = \"500\"/>", 1},
        {"<add parent = \"" + groupId + "\" id = \"DIT:", 1},
        {"<chg id = \"" + serverId + "\" attr = \"LCID\" value = \"1031\"/>", 1},
    };
    for (const Row& row : rows) {
        size_t times = 0;
        for (size_t at = changes.find(row.element); at != std::string::npos; at = changes.find(row.element, at + 1))
            ++times;
        EXPECT_EQ(row.times, times) << changes << "\n" << row.element;
    }
    EXPECT_EQ(std::string(DaXmlWriter::kDeclaration) + "<changes/>", watch->getChanges()) << "each change shows once";

    const uint32_t handle = group->serverHandle();
    group = nullptr;
    ASSERT_EQ(S_OK, server->removeGroup(handle));
    const std::string removal = watch->getChanges();
    EXPECT_NE(std::string::npos, removal.find("<del parent = \"" + serverId + "\" id = \"" + groupId + "\"/>"))
        << removal;
    EXPECT_NE(std::string::npos, removal.find("<gone id = \"" + groupId + "\"/>")) << removal;
    EXPECT_EQ(std::string::npos, watch->getChanges().find("gone")) << "a gone object is no longer recorded";
}

TEST_F(DaWatchTest, StatisticsCountWhatHappenedSinceTheWatchsPreviousReport)
{
    auto cacheReads = [this] {
        std::smatch match;
        const std::string document = watch->getStatistics();
        std::regex_search(document, match, std::regex("name = \"DA-nrSCacheRead\" value = \"(\\d+)\""));
        return match.size() > 1 ? std::stoi(match[1].str()) : -1;
    };
    EXPECT_EQ(0, cacheReads());
    std::vector<DaReadResult> results;
    std::vector<HRESULT> errors;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(S_OK, group->syncRead(false, one(statusHandle), results, errors));
    EXPECT_EQ(3, cacheReads());
    EXPECT_EQ(0, cacheReads());
    EXPECT_NE(std::string::npos, watch->getStatistics().find("name = \"DA-nrGroupObj\" value = \""));
}

// COM threads look at the watch while others add and remove groups (run under TSan).
TEST_F(DaWatchTest, WatchCallsRunBesideGroupsComingAndGoing)
{
    const std::string serverId = DaWatch::idOf(*server);
    ASSERT_EQ(S_OK, watch->collectChanges(serverId + "|DTA:Drive1.Status", true));
    std::atomic<bool> done{false};
    std::vector<std::string> removedIds;
    std::thread changer([&] {
        for (int i = 0; i < 200; ++i) {
            DaRef<DaGroup> added = addGroup("", i % 2 == 0, 1000);
            watch->objectAdded(*server, *added);
            addItem(added.get(), "Drive1.Status", uint32_t(i));
            setValue(status.get(), int32_t(i));
            removedIds.push_back(DaWatch::idOf(*added));
            server->removeGroup(added->serverHandle());
        }
        done = true;
    });
    std::string document;
    do {
        watch->getChanges();
        watch->getStatistics();
        watch->getChildren(serverId, document);
        watch->attributeChanged(*server, "LCID", "1031");
    } while (!done);
    changer.join();
    const std::string left = children(serverId);
    EXPECT_EQ(DaWatch::idOf(*group), idNamed(left, "G"));
    EXPECT_EQ(std::string::npos, left.find("name = \"GRP")) << left;
    EXPECT_EQ(E_INVALIDARG, watch->getObject(removedIds.back(), document));
}

}  // namespace
