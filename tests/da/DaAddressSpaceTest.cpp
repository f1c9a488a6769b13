// Building the tree: name rules, duplicates, item IDs with delimiters, renames, object
// type codes and trace names, and the tag fields other subsystems rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>

#include "da/DaObjectCounts.h"
#include "da/DaTypes.h"
#include "tests/da/DaTestTree.h"

TEST(DaAddressSpace, NameRulesRefuseDelimitersBadCharactersAndDuplicates)
{
    struct Row {
        const char* name;
        HRESULT expected;
    };
    const Row rows[] = {
        {"Speed", S_OK},          {"Motor speed 2", S_OK}, {"", E_INVALIDARG},
        {"a.b", E_INVALIDARG},    {"a,b", E_INVALIDARG},  {"a/b", E_INVALIDARG},
        {"a\\b", E_INVALIDARG},   {"a!b", E_INVALIDARG},  {"a|b", E_INVALIDARG},
        {"a\"b", E_INVALIDARG},   {"a`b", E_INVALIDARG},  {"a'b", E_INVALIDARG},
        {"a#b", E_INVALIDARG},    {"Existing", OPC_E_DUPLICATENAME},
    };
    DaRef<DaNamespaceRoot> root(new DaNamespaceRoot);
    DaRef<DaNode> parent = makeNode("Parent");
    ASSERT_EQ(root->addChild(parent.get()), S_OK);
    ASSERT_EQ(parent->addChild(makeTag("Existing").get()), S_OK);
    for (const Row& row : rows) {
        DaRef<DaTag> tag(new DaTag);
        tag->setName(row.name);  // refused names leave the tag unnamed; addChild refuses again
        EXPECT_EQ(parent->addChild(tag.get()), row.expected) << "name \"" << row.name << "\"";
    }
    root->removeAllChildren();
}

TEST(DaAddressSpace, SetNameChecksRulesAndSiblingsAndResortsTheParent)
{
    DaTestTree tree;
    EXPECT_EQ(tree.actual->setName("Setpoint"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(tree.actual->setName("Actual"), S_OK);  // its own name: no change
    EXPECT_EQ(tree.actual->setName("x/y"), E_INVALIDARG);
    EXPECT_EQ(tree.actual->getName(), "Actual");

    EXPECT_EQ(tree.actual->setName("Zeta"), S_OK);
    EXPECT_EQ(tree.root->findTag("Drive1.Speed.Zeta").get(), tree.actual.get());
    EXPECT_FALSE(tree.root->findTag("Drive1.Speed.Actual"));
    std::vector<DaRef<DaElement>> children;
    tree.speed->getChildren(children);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0]->getName(), "Setpoint");
    EXPECT_EQ(children[1]->getName(), "Zeta");
}

TEST(DaAddressSpace, ItemIdsJoinNamesBelowTheRootWithThePathDelimiter)
{
    DaTestTree tree;
    EXPECT_EQ(tree.setpoint->itemId(), "Drive1.Speed.Setpoint");
    EXPECT_EQ(tree.status->itemId(), "Drive1.Status");
    EXPECT_EQ(tree.drive1->itemId(), "Drive1");
    EXPECT_EQ(tree.root->itemId(), "");

    tree.root->setPathDelimiter('/');
    EXPECT_EQ(tree.setpoint->itemId(), "Drive1/Speed/Setpoint");

    std::string delimiters, bad;
    EXPECT_EQ(tree.root->getDelimiters(delimiters, bad), '/');
    EXPECT_EQ(delimiters, ".,/\\!|");
    EXPECT_EQ(bad, "\"`'#");
}

TEST(DaAddressSpace, FindTagIgnoresNodesAndPartialPaths)
{
    DaTestTree tree;
    const struct {
        const char* id;
        bool found;
    } rows[] = {
        {"Drive1.Speed.Actual", true}, {"Drive1.Status", true}, {"Drive1.Speed", false},
        {"Drive1", false},             {"Drive1.Status.X", false}, {"Drive1..Status", false},
        {".Drive1.Status", false},     {"Drive1.Status.", false},  {"", false},
        {"drive1.status", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(static_cast<bool>(tree.root->findTag(row.id)), row.found) << row.id;
    EXPECT_EQ(tree.root->findElement("Drive1.Speed").get(), tree.speed.get());
}

TEST(DaAddressSpace, AChildHasOneParentAndRemovalDetachesIt)
{
    DaTestTree tree;
    EXPECT_EQ(tree.drive2->addChild(tree.actual.get()), E_INVALIDARG);
    EXPECT_EQ(tree.speed->removeChild(tree.actual.get()), S_OK);
    EXPECT_EQ(tree.actual->parent(), nullptr);
    EXPECT_EQ(tree.actual->itemId(), "Actual");
    EXPECT_EQ(tree.speed->removeChild(tree.actual.get()), E_INVALIDARG);
    EXPECT_EQ(tree.drive2->addChild(tree.actual.get()), S_OK);
    EXPECT_EQ(tree.actual->itemId(), "Drive2.Actual");
}

// Trace lines name an object by its kind's tag and its own name.
TEST(DaAddressSpace, TraceNamesShowTheKindAndTheName)
{
    DaTestTree tree;
    const std::regex layout(R"(\[(\w{3})\|([0-9A-F]{8})\| (.*)\])");
    std::smatch match;
    const std::string rootName = tree.root->traceName();
    ASSERT_TRUE(std::regex_match(rootName, match, layout)) << rootName;
    EXPECT_EQ(match[1], "DNS");
    EXPECT_EQ(match[3], "DaS Name Space Root");
    const std::string tagName = tree.setpoint->traceName();
    ASSERT_TRUE(std::regex_match(tagName, match, layout)) << tagName;
    EXPECT_EQ(match[1], "DTA");
    EXPECT_EQ(match[3], "Setpoint");
}

// The fields share one byte: setting one must not disturb the others.
TEST(DaTag, PackedFieldsKeepEachOther)
{
    DaRef<DaTag> tag(new DaTag);
    tag->setAccessRights(7);
    tag->setDefaultHandling(0xF);
    tag->setCacheFirst(true);
    tag->setAccessFlag(true);
    EXPECT_EQ(tag->getAccessRights(), 3u);
    EXPECT_EQ(tag->getDefaultHandling(), 7u);
    EXPECT_EQ(tag->getCacheFirst(), 0x80u);
    EXPECT_TRUE(tag->getAccessFlag());
    EXPECT_FALSE(tag->servesAsItem());
    EXPECT_FALSE(tag->getCache());  // handling 7: not an item, no cache
    tag->setAccessFlag(false);
    tag->setDefaultHandling(3);
    EXPECT_EQ(tag->getAccessRights(), 3u);
    EXPECT_EQ(tag->getCacheFirst(), 0x80u);
    EXPECT_TRUE(tag->servesAsItem());
}

TEST(DaTag, CanonicalDatatypesAndRequestedDatatypes)
{
    const VARTYPE accepted[] = {VT_EMPTY, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL, VT_I1,
                                VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT, VT_ARRAY | VT_I2,
                                VT_ARRAY | VT_BSTR, VT_ARRAY | VT_BOOL, VT_ARRAY | VT_VARIANT, VT_ARRAY | VT_I1,
                                VT_ARRAY | VT_UINT};
    const VARTYPE refused[] = {VT_DECIMAL, VT_ARRAY | VT_DECIMAL, VT_VARIANT, VT_NULL, VT_ERROR, VT_UNKNOWN,
                               VT_ARRAY, VT_ARRAY | VT_EMPTY, VT_ARRAY | VT_ERROR};
    DaRef<DaTag> accepting = makeTag("T", VT_R8);
    DaRef<DaCache> cache = accepting->getCache();  // made once, follows the tag's type
    for (VARTYPE vt : accepted) {
        EXPECT_EQ(accepting->setDatatype(vt), S_OK) << "vt " << vt;
        EXPECT_EQ(accepting->getDatatype(), vt) << "vt " << vt;
        EXPECT_EQ(accepting->getCache().get(), cache.get()) << "vt " << vt;
        EXPECT_EQ(cache->getDatatype(), vt) << "vt " << vt;
    }
    for (VARTYPE vt : refused) {
        DaRef<DaTag> tag(new DaTag);
        tag->setDatatype(VT_R8);
        EXPECT_EQ(tag->setDatatype(vt), OPC_E_BADTYPE) << "vt " << vt;
        EXPECT_EQ(tag->getDatatype(), VT_R8) << "vt " << vt;
    }

    struct Row {
        VARTYPE canonical, requested;
        HRESULT expected;
    };
    const Row rows[] = {
        {VT_R4, VT_EMPTY, S_OK},          {VT_R4, VT_ARRAY, S_OK},
        {VT_R4, VT_R4, S_OK},             {VT_R4, VT_BSTR, S_OK},
        {VT_R4, VT_ARRAY | VT_R4, OPC_E_BADTYPE},
        {VT_ARRAY | VT_I2, VT_ARRAY | VT_R8, S_OK},
        {VT_ARRAY | VT_I2, VT_I2, OPC_E_BADTYPE},
        {VT_ARRAY | VT_I2, VT_ARRAY, S_OK},
    };
    for (const Row& row : rows) {
        DaRef<DaTag> tag(new DaTag);
        tag->setDatatype(row.canonical);
        EXPECT_EQ(tag->checkRequestedDatatype(row.requested), row.expected)
            << "canonical " << row.canonical << " requested " << row.requested;
    }
}

namespace {
class FakeItem : public DaObject {
public:
    FakeItem() : DaObject(kDaCodeItem) {}
};
class FakeGroup : public DaObject {
public:
    FakeGroup() : DaObject(kDaCodeGroup) {}
};
}  // namespace

// A tag keeps each item once and only items. A lone item is kept without the tag's
// block; a second item or a property child makes the block and the item moves into it.
// Each path must keep the list and give back exactly the references it took.
TEST(DaTag, ItemListSurvivesTheMoveFromALoneItemToTheBlock)
{
    enum Step { connectFirst, connectSecond, connectGroup, addProperty, dropFirst, dropSecond, dropGroup };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        size_t listed;  // items listed at the end
        bool tracking = true;
    };
    const Case cases[] = {
        {"lone item in and out", {connectFirst, dropFirst}, 0},
        {"the same item twice is listed once", {connectFirst, connectFirst}, 1},
        {"a group is no item", {connectGroup, connectFirst, dropGroup}, 1},
        {"second item makes the block", {connectFirst, connectSecond, dropFirst}, 1},
        {"property makes the block under a lone item", {connectFirst, addProperty, dropFirst}, 0},
        {"property first, then an item", {addProperty, connectFirst}, 1},
        {"lone item again after the first left", {connectFirst, dropFirst, connectSecond}, 1},
        {"tag goes with its items", {connectFirst, connectSecond}, 2},
        {"a tag that tracks nothing", {connectFirst, connectSecond}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DaRef<FakeItem> first(new FakeItem), second(new FakeItem);
        DaRef<FakeGroup> group(new FakeGroup);
        {
            DaRef<DaTag> tag(new DaTag(c.tracking));
            for (Step step : c.steps) {
                switch (step) {
                case connectFirst: tag->onItemConnected(first.get()); break;
                case connectSecond: tag->onItemConnected(second.get()); break;
                case connectGroup: tag->onItemConnected(group.get()); break;
                case addProperty: ASSERT_EQ(tag->addProperty(new DaProperty(5000)), S_OK); break;
                case dropFirst: tag->onItemDisconnected(first.get()); break;
                case dropSecond: tag->onItemDisconnected(second.get()); break;
                case dropGroup: tag->onItemDisconnected(group.get()); break;
                }
            }
            std::vector<DaRef<DaObject>> items;
            tag->getItems(items);
            ASSERT_EQ(items.size(), c.listed);
            if (c.listed == 2) {
                EXPECT_TRUE(items[0].get() == first.get() && items[1].get() == second.get()) << "in connection order";
            }
            items.clear();
            EXPECT_EQ(first->refCount() + second->refCount() + group->refCount(), 3u + c.listed);
            const bool withProperty = std::find(c.steps.begin(), c.steps.end(), addProperty) != c.steps.end();
            EXPECT_EQ(static_cast<bool>(tag->findProperty(5000)), withProperty);
        }
        EXPECT_EQ(first->refCount() + second->refCount() + group->refCount(), 3u);
    }
}

// The statistics report counts live nodes, tags and properties: each made one counts up
// and goes back down when its last reference goes, also when its parent took it.
TEST(DaObjectCounts, NodesTagsAndPropertiesCountWhileTheyLive)
{
    const struct {
        DaObjectKind kind;
        std::function<DaRef<DaObject>()> make;
    } rows[] = {
        {DaObjectKind::node, [] { return DaRef<DaObject>(new DaNode); }},
        {DaObjectKind::tag, [] { return DaRef<DaObject>(new DaTag(true)); }},
        {DaObjectKind::property, [] { return DaRef<DaObject>(new DaProperty(5000)); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(int(row.kind));
        const int32_t before = daObjectCount(row.kind);
        {
            DaRef<DaObject> first = row.make(), second = row.make();
            EXPECT_EQ(daObjectCount(row.kind), before + 2);
        }
        EXPECT_EQ(daObjectCount(row.kind), before);
    }
    // A tag under a node goes with it and takes its property along.
    const int32_t tags = daObjectCount(DaObjectKind::tag), properties = daObjectCount(DaObjectKind::property);
    {
        DaRef<DaNode> node(new DaNode);
        node->setName("N");
        DaRef<DaTag> tag(new DaTag);
        tag->setName("T");
        ASSERT_EQ(tag->addProperty(new DaProperty(5000)), S_OK);
        ASSERT_EQ(node->addChild(tag.get()), S_OK);
        EXPECT_EQ(daObjectCount(DaObjectKind::property), properties + 1);
    }
    EXPECT_EQ(daObjectCount(DaObjectKind::tag), tags);
    EXPECT_EQ(daObjectCount(DaObjectKind::property), properties);
}
