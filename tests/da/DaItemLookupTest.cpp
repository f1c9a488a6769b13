// Resolving client item IDs: path and property parts, the result codes and the exact
// trace lines that the server writes for each failure.
#include <gtest/gtest.h>

#include "da/DaItemLookup.h"
#include "tests/da/DaTestTree.h"

namespace {
class RejectingSyntax : public DaLookupHooks {
public:
    bool checkSyntax(std::string_view) const override { return false; }
};
}  // namespace

TEST(DaItemLookup, ResolvesTagsAndPropertiesWithTheirTraces)
{
    DaTestTree tree;
    DaRef<DaTag> hidden = makeTag("Hidden");
    hidden->setDefaultHandling(kDaHandlingNotAnItem);
    tree.drive1->addChild(hidden.get());
    DaRef<DaProperty> units(new DaProperty(100));
    tree.actual->addProperty(units.get());

    struct Row {
        const char* id;
        HRESULT expected;
        const char* tag;  // item ID of the resolved tag
        uint32_t propertyId;
        const char* trace;
    };
    const Row rows[] = {
        {"Drive1.Speed.Actual", S_OK, "Drive1.Speed.Actual", 0, ""},
        {"Drive1.Speed.Actual#5", S_OK, "Drive1.Speed.Actual", 5, ""},
        {"Drive1.Speed.Actual#100", S_OK, "Drive1.Speed.Actual", 100, ""},
        {"Drive1.Speed.Actual#2501", S_OK, "Drive1.Speed.Actual", 2501, ""},
        {"Drive1.Speed.Actual#0", OPC_E_UNKNOWNITEMID, nullptr, 0, ""},
        {"Drive1.Speed.Actual#102", OPC_E_UNKNOWNITEMID, nullptr, 0,
         "can't validate item; Drive1.Speed.Actual has no property 102"},
        {"Drive1.Speed.Actual#1#5", OPC_E_INVALIDITEMID, nullptr, 0, "can't validate item; no valid id Drive1.Speed.Actual#1"},
        {"Drive1.Sp'eed", OPC_E_INVALIDITEMID, nullptr, 0, "can't validate item; no valid id Drive1.Sp'eed"},
        {"#5", OPC_E_INVALIDITEMID, nullptr, 0, "can't validate item; no valid id "},
        {"", OPC_E_INVALIDITEMID, nullptr, 0, ""},
        {"Drive1.Speed", OPC_E_UNKNOWNITEMID, nullptr, 0, "can't validate item; Drive1.Speed is no node or tag"},
        {"Drive1.Nothing", OPC_E_UNKNOWNITEMID, nullptr, 0, "can't validate item; unknown id Drive1.Nothing"},
        {"Drive1.Hidden", OPC_E_UNKNOWNITEMID, nullptr, 0, "can't validate item; unknown id Drive1.Hidden"},
    };
    for (const Row& row : rows) {
        DaLookupResult result;
        EXPECT_EQ(daLookupItem(tree.root.get(), row.id, '#', result), row.expected) << row.id;
        EXPECT_EQ(result.errorTrace, row.trace) << row.id;
        if (row.tag) {
            ASSERT_TRUE(result.tag) << row.id;
            EXPECT_EQ(result.tag->itemId(), row.tag) << row.id;
            EXPECT_EQ(result.propertyId, row.propertyId) << row.id;
        } else {
            EXPECT_FALSE(result.tag) << row.id;
        }
    }
    tree.drive1->removeChild(hidden.get());
}

TEST(DaItemLookup, SyntaxHookTurnsUnknownIntoInvalidAndNoRootIsOutOfMemory)
{
    DaTestTree tree;
    RejectingSyntax rejecting;
    DaLookupResult result;
    EXPECT_EQ(daLookupItem(tree.root.get(), "Drive1.Nothing", '#', result, &rejecting), OPC_E_INVALIDITEMID);
    EXPECT_EQ(result.errorTrace, "can't validate item; unknown id Drive1.Nothing");
    EXPECT_EQ(daLookupItem(tree.root.get(), "Drive1.Status#77", '#', result, &rejecting), OPC_E_INVALIDITEMID);
    // A node stays "unknown": the syntax hook is not asked.
    EXPECT_EQ(daLookupItem(tree.root.get(), "Drive1", '#', result, &rejecting), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(daLookupItem(nullptr, "Drive1.Status", '#', result), E_OUTOFMEMORY);
}

TEST(DaItemLookup, OtherDelimitersSplitPathAndProperty)
{
    DaTestTree tree;
    tree.root->setPathDelimiter('/');
    DaLookupResult result;
    ASSERT_EQ(daLookupItem(tree.root.get(), "Drive1/Speed/Setpoint!6", '!', result), S_OK);
    EXPECT_EQ(result.tag.get(), tree.setpoint.get());
    EXPECT_EQ(result.propertyId, 6u);
    EXPECT_EQ(daLookupItem(tree.root.get(), "Drive1.Speed.Setpoint", '!', result), OPC_E_UNKNOWNITEMID);
}

TEST(DaItemLookup, PropertyIdHookParsesDecimalDigitsOnly)
{
    const DaLookupHooks hooks;
    const struct {
        const char* text;
        uint32_t id;
    } rows[] = {{"5", 5}, {"0005", 5}, {"4294967295", 4294967295u}, {"4294967296", 0}, {"-5", 0},
                {" 5", 0}, {"5a", 0}, {"", 0}, {"99999999999", 0}};
    for (const auto& row : rows)
        EXPECT_EQ(hooks.parsePropertyId(row.text), row.id) << '"' << row.text << '"';
}
