// Browsing: the OPC DA 2.0 browse position and its lists, the OPC DA 3.0 Browse with
// continuation points, and the wildcard rules of the name filter.
#include <gtest/gtest.h>

#include "da/DaBrowse.h"
#include "da/DaMatchPattern.h"
#include "tests/da/DaTestTree.h"

using Names = std::vector<std::string>;

TEST(DaBrowsePosition, MovesUpDownAndToAndRefusesWhatIsNoBranch)
{
    DaTestTree tree;
    DaBrowsePosition position(tree.root);
    struct Step {
        uint32_t direction;
        const char* name;
        HRESULT expected;
        const char* pathAfter;
    };
    const Step steps[] = {
        {kDaBrowseUp, "", E_FAIL, ""},
        {kDaBrowseDown, "Drive1", S_OK, "Drive1"},
        {kDaBrowseDown, "Status", E_INVALIDARG, "Drive1"},  // a tag
        {kDaBrowseDown, "Nothing", E_INVALIDARG, "Drive1"},
        {kDaBrowseDown, "Speed", S_OK, "Drive1.Speed"},
        {kDaBrowseUp, "", S_OK, "Drive1"},
        {kDaBrowseUp, "", S_OK, ""},
        {kDaBrowseTo, "Drive1.Speed", S_OK, "Drive1.Speed"},
        {kDaBrowseTo, "Drive1.Speed.Actual", E_INVALIDARG, "Drive1.Speed"},
        {kDaBrowseTo, "Drive9", E_INVALIDARG, "Drive1.Speed"},
        {kDaBrowseTo, "", S_OK, ""},
        {4, "Drive1", E_INVALIDARG, ""},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(position.change(step.direction, step.name), step.expected)
            << "direction " << step.direction << " name " << step.name;
        EXPECT_EQ(position.currentPath(), step.pathAfter) << "direction " << step.direction << " name " << step.name;
    }
}

TEST(DaBrowsePosition, ListsBranchesLeavesAndFlatIdsThroughTheFilters)
{
    DaTestTree tree;
    DaBrowsePosition position(tree.root);
    struct Row {
        const char* at;
        uint32_t type;
        const char* filter;
        VARTYPE vt;
        uint32_t rights;
        Names expected;
    };
    const Row rows[] = {
        {"", kDaBrowseBranch, nullptr, VT_EMPTY, 0, {"Drive1", "Drive2"}},
        {"", kDaBrowseLeaf, nullptr, VT_EMPTY, 0, {}},
        {"Drive1", kDaBrowseBranch, nullptr, VT_EMPTY, 0, {"Speed"}},
        {"Drive1", kDaBrowseLeaf, nullptr, VT_EMPTY, 0, {"Status"}},
        {"Drive1.Speed", kDaBrowseLeaf, nullptr, VT_EMPTY, 0, {"Actual", "Setpoint"}},
        {"Drive1.Speed", kDaBrowseLeaf, "S*", VT_EMPTY, 0, {"Setpoint"}},
        {"Drive1.Speed", kDaBrowseLeaf, "", VT_EMPTY, 0, {"Actual", "Setpoint"}},
        {"Drive1.Speed", kDaBrowseLeaf, "Actual", VT_EMPTY, 0, {"Actual"}},
        {"Drive1.Speed", kDaBrowseLeaf, nullptr, VT_R4, kDaAccessWritable, {"Setpoint"}},
        {"Drive1.Speed", kDaBrowseLeaf, nullptr, VT_I4, 0, {}},
        {"", kDaBrowseFlat, nullptr, VT_EMPTY, 0, {"Drive1.Speed.Actual", "Drive1.Speed.Setpoint", "Drive1.Status"}},
        {"", kDaBrowseFlat, nullptr, VT_R4, kDaAccessReadable, {"Drive1.Speed.Actual", "Drive1.Speed.Setpoint"}},
        {"", kDaBrowseFlat, "*.Status", VT_EMPTY, 0, {"Drive1.Status"}},
        {"Drive1.Speed", kDaBrowseFlat, nullptr, VT_EMPTY, 3, {"Drive1.Speed.Setpoint"}},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(position.change(kDaBrowseTo, row.at), S_OK);
        Names ids;
        EXPECT_EQ(position.browseItemIds(row.type, row.filter, row.vt, row.rights, ids), S_OK);
        EXPECT_EQ(ids, row.expected) << "at '" << row.at << "' type " << row.type << " filter "
                                     << (row.filter ? row.filter : "(null)");
    }
    Names ids;
    EXPECT_EQ(position.browseItemIds(0, nullptr, VT_EMPTY, 0, ids), E_INVALIDARG);
    EXPECT_EQ(position.browseItemIds(kDaBrowseFlat, nullptr, VT_EMPTY, 4, ids), E_INVALIDARG);
}

TEST(DaBrowsePosition, GetItemIdQualifiesNamesRelativeToThePosition)
{
    DaTestTree tree;
    DaBrowsePosition position(tree.root);
    position.change(kDaBrowseTo, "Drive1");
    std::string id;
    EXPECT_EQ(position.getItemId("Status", id), S_OK);
    EXPECT_EQ(id, "Drive1.Status");
    EXPECT_EQ(position.getItemId("Speed", id), S_OK);
    EXPECT_EQ(id, "Drive1.Speed");
    EXPECT_EQ(position.getItemId("", id), S_OK);
    EXPECT_EQ(id, "Drive1");
    EXPECT_EQ(position.getItemId("Actual", id), E_INVALIDARG);
}

namespace {

Names names(const std::vector<DaBrowseElement>& elements)
{
    Names result;
    for (const auto& element : elements)
        result.push_back(element.name);
    return result;
}

// Drive1 holds nodes A, C and tags B, D, E (children sorted: A B C D E Speed Status).
struct WideTree : DaTestTree {
    WideTree()
    {
        for (const char* name : {"A", "C"})
            drive1->addChild(makeNode(name).get());
        for (const char* name : {"B", "D", "E"})
            drive1->addChild(makeTag(name).get());
    }
};

}  // namespace

TEST(DaBrowse, BranchesComeFirstThenItemsWithTheirFlags)
{
    WideTree tree;
    std::vector<DaBrowseElement> elements;
    bool more = true;
    std::string next = "x";
    ASSERT_EQ(daBrowse(*tree.drive1, 3, "", "", 0, "", elements, more, next), S_OK);
    EXPECT_EQ(names(elements), (Names{"A", "C", "Speed", "B", "D", "E", "Status"}));
    EXPECT_FALSE(more);
    EXPECT_EQ(next, "");
    EXPECT_EQ(elements[0].flags, 0u);                       // empty node
    EXPECT_EQ(elements[2].flags, kDaBrowseHasChildren);     // Speed
    EXPECT_EQ(elements[3].flags, kDaBrowseIsItem);          // B
    EXPECT_EQ(elements[2].itemId, "Drive1.Speed");

    ASSERT_EQ(daBrowse(*tree.drive1, 1, "", "", 0, "", elements, more, next), S_OK);
    EXPECT_EQ(names(elements), (Names{"A", "C", "Speed"}));
    ASSERT_EQ(daBrowse(*tree.drive1, 2, "", "", 0, "", elements, more, next), S_OK);
    EXPECT_EQ(names(elements), (Names{"B", "D", "E", "Status"}));
    ASSERT_EQ(daBrowse(*tree.drive1, 3, "S*", "", 0, "", elements, more, next), S_OK);
    EXPECT_EQ(names(elements), (Names{"Speed", "Status"}));
}

TEST(DaBrowse, ContinuationPointsResumeEachPassWhereTheLastPageEnded)
{
    WideTree tree;
    std::vector<DaBrowseElement> elements;
    bool more = false;
    std::string next;
    Names all;
    std::vector<std::string> points;
    std::string continuation;
    for (int page = 0; page < 10; ++page) {
        ASSERT_EQ(daBrowse(*tree.drive1, 3, "", "", 2, continuation, elements, more, next), S_OK);
        for (auto& name : names(elements))
            all.push_back(name);
        if (!more)
            break;
        points.push_back(next);
        continuation = next;
    }
    EXPECT_EQ(all, (Names{"A", "C", "Speed", "B", "D", "E", "Status"}));
    // Child positions: A0 B1 C2 D3 E4 Speed5 Status6.
    EXPECT_EQ(points, (std::vector<std::string>{"O:N00000002", "O:T00000001", "O:T00000004"}));

    // Exactly filling the page with nothing after it: no more elements.
    ASSERT_EQ(daBrowse(*tree.drive1, 2, "", "", 4, "", elements, more, next), S_OK);
    EXPECT_FALSE(more);
    EXPECT_EQ(next, "");
}

TEST(DaBrowse, MalformedOrStaleContinuationPointsAreRefused)
{
    WideTree tree;
    std::vector<DaBrowseElement> elements;
    bool more = false;
    std::string next;
    const struct {
        const char* point;
        uint32_t mask;
        HRESULT expected;
    } rows[] = {
        {"O:N00000002", 3, S_OK},
        {"O:X00000002", 3, OPC_E_INVALIDCONTINUATIONPOINT},
        {"O:N0000002", 3, OPC_E_INVALIDCONTINUATIONPOINT},
        {"O:N0000000G", 3, OPC_E_INVALIDCONTINUATIONPOINT},
        {"O:N00000001", 3, OPC_E_INVALIDCONTINUATIONPOINT},  // position 1 is a tag
        {"O:T00000002", 3, OPC_E_INVALIDCONTINUATIONPOINT},  // position 2 is a node
        {"O:T00000001", 1, OPC_E_INVALIDCONTINUATIONPOINT},  // leaves not asked for
        {"O:N00000063", 3, OPC_E_INVALIDCONTINUATIONPOINT},
        {"S:anything", 3, OPC_E_INVALIDCONTINUATIONPOINT},
        {"XY", 3, S_OK},  // two characters or fewer: no continuation point
        {"garbage", 3, OPC_E_INVALIDCONTINUATIONPOINT},
    };
    for (const auto& row : rows)
        EXPECT_EQ(daBrowse(*tree.drive1, row.mask, "", "", 0, row.point, elements, more, next), row.expected)
            << row.point;
}

TEST(DaMatchPattern, OpcWildcardRules)
{
    const struct {
        const char* text;
        const char* pattern;
        bool match;
    } rows[] = {
        {"Speed", "Speed", true},     {"Speed", "speed", false},   {"Speed", "S?eed", true},
        {"Speed", "S*", true},        {"Speed", "*d", true},       {"Speed", "*", true},
        {"", "*", true},              {"", "?", false},            {"Speed", "S*e*d", true},
        {"Speed", "S*x*d", false},    {"Motor1", "Motor#", true},  {"MotorA", "Motor#", false},
        {"Motor12", "Motor#", false}, {"Motor12", "Motor##", true}, {"b", "[abc]", true},
        {"d", "[abc]", false},        {"d", "[!abc]", true},       {"a", "[!abc]", false},
        {"m", "[a-z]", true},         {"M", "[a-z]", false},       {"5", "[0-46-9]", false},
        {"7", "[0-46-9]", true},      {"[", "[", true},            {"a[", "a[", true},
        {"-", "[a-]", true},          {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*b", true},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*a*a*a*a*b", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(daMatchPattern(row.text, row.pattern), row.match) << row.text << " ~ " << row.pattern;
    EXPECT_TRUE(daIsPattern("a*"));
    EXPECT_TRUE(daIsPattern("[x]"));
    EXPECT_FALSE(daIsPattern("plain"));
}
