// Loading well-formed namespace files: the diagnostic protocol line by line, the
// addressing fields of each drive parameter tag, the shipped sample plant, and the
// fallback to "appdefault.xml".
#include <gtest/gtest.h>

#include <functional>

#include "common/TVCmnVariant.h"
#include "da/DaStandardProperties.h"
#include "tests/namespace/NamespaceTestSupport.h"

TEST(NamespaceLoader, ReportsEveryStepOfAMinimalFileInOrder)
{
    LoadedSpace space(testFile("minimal.xml"));
    ASSERT_TRUE(space.result);
    EXPECT_EQ(space.protocol, 2);
    const std::vector<std::string> expected = {
        "looking for nodes",
        "looking for nodes",
        "found a node",
        "param list not null",
        "enumerating param list", "name", " *node name from XML", "Pump", " ** node contents",
        "enumerating param list", "address", " *node name from XML", "added node address 7",
        "enumerating param list", "listaccess", " *node name from XML", "0 converted bool",
        "enumerating param list", "Slot", " *node name from XML",
        "enumerating slot list", "List of parameters", " ** constructed slot name",
        "enumerating slot list",
        "enumerating Menu list", "Status", " ** menu name",
        "enumerating Menu list", "menu_10",
        "enumerating Menu list",
        "enumerating Param list", "Running", " ** added leaf contents",
        "enumerating Param list", "addr_2", " ** added node addr & param name",
        "enumerating Param list", "set object type",
        "enumerating Param list", "VT_BOOL", "VT_BOOL", "set data type",
        "enumerating Param list", "set description",
        "enumerating Param list", "Good access string",
        "enumerating Param list", "unknown element?",
        "finished at root",
    };
    EXPECT_EQ(space.diagnostics.texts(kNamespaceDiagClass), expected);
    EXPECT_TRUE(space.diagnostics.always().empty());

    DaRef<DriveTag> tag = space.tag("Pump.List of parameters.Status.Running");
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->getMenuNumber(), 10);
    EXPECT_EQ(tag->getParameterNumber(), 2);
    EXPECT_EQ(tag->getObjectType(), 1);
    EXPECT_EQ(tag->getParameterLabel(), "addr_2");
    EXPECT_EQ(tag->getDescription(), "Drive running");
    EXPECT_EQ(tag->getAccessRights(), kDaAccessReadable);
    EXPECT_EQ(tag->getDefaultHandling(), 3u);
    EXPECT_EQ(tag->getCacheFirst(), kDaCacheFirstSet);
}

TEST(NamespaceLoader, SamplePlantLoadsCompletely)
{
    LoadedSpace space(KV_APPDEFAULT_XML);
    ASSERT_TRUE(space.result);
    EXPECT_EQ(space.protocol, -1);  // the sample names no protocol: any comms settings do
    EXPECT_TRUE(space.diagnostics.always().empty()) << space.diagnostics.always().front();

    std::vector<DaRef<DaElement>> drives;
    space.root->getChildren(drives);
    std::vector<std::string> names;
    for (const auto& drive : drives)
        names.push_back(drive->getName());
    EXPECT_EQ(names, (std::vector<std::string>{"Conveyor1", "Conveyor2", "ExhaustFan", "MainPump", "Mixer"}));

    size_t tags = 0;
    std::function<void(const DaNode&)> count = [&](const DaNode& node) {
        std::vector<DaRef<DaElement>> children;
        node.getChildren(children);
        for (const auto& child : children) {
            if (child->isNode())
                count(static_cast<const DaNode&>(*child));
            else
                ++tags;
        }
    };
    count(*space.root);
    EXPECT_EQ(tags, 543u);

    struct Row {
        const char* itemId;
        const char* address;
        LONG menu, parameter;
        VARTYPE vt;
        uint32_t rights;
        LONG euType;
    };
    const Row rows[] = {
        {"Conveyor1.Drive.Setup.Maximum speed", "10.0.1.11", 0, 2, VT_R4, 3, kDaEuAnalog},
        {"MainPump.Fieldbus option.Fieldbus.Network status", "10.0.1.21", 17, 6, VT_UI1, 1, kDaEuEnumerated},
        {"Mixer.Drive.Identity.Drive name", "10.0.1.40:3", 11, 44, VT_BSTR, 3, kDaEuNone},
    };
    for (const Row& row : rows) {
        DaRef<DriveTag> tag = space.tag(row.itemId);
        ASSERT_TRUE(tag) << row.itemId;
        EXPECT_EQ(tag->getNodeAddress(), row.address) << row.itemId;
        EXPECT_EQ(tag->getMenuNumber(), row.menu) << row.itemId;
        EXPECT_EQ(tag->getParameterNumber(), row.parameter) << row.itemId;
        EXPECT_EQ(tag->getDatatype(), row.vt) << row.itemId;
        EXPECT_EQ(tag->getAccessRights(), row.rights) << row.itemId;
        EXPECT_EQ(tag->getEUType(), row.euType) << row.itemId;
    }
    // The fan's drive menus leave out the inputs and outputs.
    EXPECT_FALSE(space.has("ExhaustFan.List of parameters.Inputs and outputs"));

    // Engineering units and ranges reach the standard properties.
    DaRef<DriveTag> speed = space.tag("Conveyor1.Drive.Setup.Maximum speed");
    TVCmnVariant value;
    ASSERT_EQ(speed->getPropertyValue(kDaPropEuUnits, 20.0f, value.put()), S_OK);
    ASSERT_EQ(value.vt(), VT_BSTR);
    EXPECT_EQ(std::wstring(value.get().bstrVal), L"rpm");
    DaRef<DriveTag> state = space.tag("Conveyor1.Drive.Status.Drive state");
    ASSERT_EQ(state->getEUInfo(value.put()), S_OK);
    ASSERT_EQ(value.vt(), VT_ARRAY | VT_BSTR);
    LONG upper = 0;
    SafeArrayGetUBound(value.get().parray, 1, &upper);
    EXPECT_EQ(upper, 16);  // 17 drive states
}

TEST(NamespaceLoader, MissingFileFallsBackToAppdefaultWithTheOneAlwaysShownLine)
{
    LoadedSpace space;
    space.diagnostics.wantsNamespace = false;
    space.loadFile("/no/such/dir/plant.xml", KV_APPDEFAULT_XML);
    ASSERT_TRUE(space.result);
    EXPECT_EQ(space.diagnostics.always(),
              (std::vector<std::string>{"Cannot open file \"/no/such/dir/plant.xml\" trying backup file \"appdefault.xml\""}));
    EXPECT_TRUE(space.diagnostics.texts(kNamespaceDiagClass).empty()) << "a sink that does not want them";
    EXPECT_TRUE(space.has("Conveyor1.Drive.Setup.Maximum speed"));
}

TEST(NamespaceLoader, ProtocolAttributeIsReadFromAnyTopLevelNode)
{
    const struct {
        const char* document;
        int32_t protocol;
    } rows[] = {
        {"<QZNetcfg Protocol=\"5\"/>", 5},
        {"<QZNetcfg Protocol=\"+12rpm\"/>", 12},
        {"<QZNetcfg Protocol=\"99999999999\"/>", 2147483647},
        {"<QZNetcfg protocol=\"5\"/>", -1},
        {"<Other Protocol=\"8\"/>", 8},
    };
    for (const auto& row : rows) {
        LoadedSpace space;
        space.loadText(row.document);
        EXPECT_TRUE(space.result) << row.document;
        EXPECT_EQ(space.protocol, row.protocol) << row.document;
    }
}
