// Namespace files with faults: each yields its exact diagnostics and an address space of
// everything that is still valid; none crashes or hangs the load.
#include <gtest/gtest.h>

#include <algorithm>

#include "namespace/NamespaceBranches.h"
#include "tests/namespace/NamespaceTestSupport.h"

using Lines = std::vector<std::string>;

TEST(NamespaceBrokenFiles, UnloadableFilesTryTheBackupAndFail)
{
    for (const std::string& path : {testFile("missing.xml"), testFile("empty.xml"), testFile("not_xml.xml"),
                                   testFile("truncated.xml")}) {
        LoadedSpace space(path);
        EXPECT_FALSE(space.result) << path;
        EXPECT_EQ(space.diagnostics.always(),
                  Lines{"Cannot open file \"" + path + "\" trying backup file \"appdefault.xml\""})
            << path;
        EXPECT_TRUE(space.diagnostics.texts(kNamespaceDiagClass).empty()) << path;
        EXPECT_EQ(space.root->childCount(), 0u) << path;
    }
}

TEST(NamespaceBrokenFiles, AnythingButADriveNodeUnderTheNetworkFailsTheLoad)
{
    LoadedSpace space(testFile("comment_between_nodes.xml"));
    EXPECT_FALSE(space.result);
    const Lines lines = space.diagnostics.texts(kNamespaceDiagClass);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Wrong XML file syntax: no devices element");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "finished at root"), 0);
    // What was attached before the comment stays.
    EXPECT_TRUE(space.has("First.List of parameters.M.P"));
    EXPECT_FALSE(space.has("Second"));

    for (const char* document : {"<QZNetcfg><Node/>text<Node/></QZNetcfg>", "<QZNetcfg><Drive/></QZNetcfg>",
                                 "<QZNetcfg><?pi x?></QZNetcfg>", "<QZNetcfg><node/></QZNetcfg>"}) {
        LoadedSpace other;
        other.loadText(document);
        EXPECT_FALSE(other.result) << document;
        EXPECT_TRUE(other.diagnostics.has("Wrong XML file syntax: no devices element")) << document;
    }
}

TEST(NamespaceBrokenFiles, ADocumentWithoutANetworkBuildsNothingAndSucceeds)
{
    LoadedSpace space(testFile("no_netcfg.xml"));
    EXPECT_TRUE(space.result);
    EXPECT_EQ(space.protocol, -12);
    EXPECT_EQ(space.diagnostics.texts(kNamespaceDiagClass),
              (Lines{"looking for nodes", "looking for nodes", "finished at root"}));
    EXPECT_EQ(space.root->childCount(), 0u);
}

TEST(NamespaceBrokenFiles, UnknownElementsArePassedOverAndOnlyParametersReportThem)
{
    LoadedSpace space(testFile("unknown_elements.xml"));
    ASSERT_TRUE(space.result);
    const Lines lines = space.diagnostics.texts(kNamespaceDiagClass);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "unknown element?"), 1);
    DaRef<DriveTag> tag = space.tag("Fan.Drive.Setup.Max speed");
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->getMenuNumber(), 1);
    EXPECT_EQ(tag->getParameterNumber(), 6);
    EXPECT_EQ(tag->getDatatype(), VT_R4);
    EXPECT_TRUE(space.diagnostics.always().empty());
}

TEST(NamespaceBrokenFiles, BadNumbersDiscardTheObjectThatHoldsThem)
{
    LoadedSpace space(testFile("bad_numbers.xml"));
    ASSERT_TRUE(space.result);
    EXPECT_EQ(space.diagnostics.always(), (Lines{
                                              "Bad number \"-1\" in element \"number\": slot discarded",
                                              "Bad number \"abc\" in element \"addrHigh\": menu discarded",
                                              "Bad number \"65536\" in element \"addrLow\": parameter discarded",
                                              "No number in element \"addrLow\": parameter discarded",
                                              "Bad number \"1.5\" in element \"objecttype\": parameter discarded",
                                              "Bad number \"ten\" in element \"lowEU\": EU range ignored",
                                          }));
    EXPECT_FALSE(space.has("Drive.Bad slot"));
    EXPECT_FALSE(space.has("Drive.Good slot.Bad menu"));
    for (const char* gone : {"Too big", "No number", "Bad type code"})
        EXPECT_FALSE(space.has(std::string("Drive.Good slot.Good menu.") + gone)) << gone;
    DaRef<DriveTag> kept = space.tag("Drive.Good slot.Good menu.Kept");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->getParameterNumber(), 65535);
    EXPECT_EQ(kept->getMenuNumber(), 4);
    EXPECT_EQ(kept->getNodeAddress(), "3");
    EXPECT_EQ(kept->getEUType(), 0);  // half a range is no range
}

TEST(NamespaceBrokenFiles, RefusedNamesLeaveTheirSubtreeOut)
{
    LoadedSpace space(testFile("duplicate_names.xml"));
    ASSERT_TRUE(space.result);
    EXPECT_EQ(space.diagnostics.always(), (Lines{
                                              "Duplicate name \"Speed\": parameter not added",
                                              "Invalid name \"Bad/name\": parameter not added",
                                              "Duplicate name \"List of parameters\": slot not added",
                                              "Duplicate name \"Line\": drive node not added",
                                              "Invalid name \"\": drive node not added",
                                          }));
    DaRef<DriveTag> speed = space.tag("Line.List of parameters.Menu.Speed");
    ASSERT_TRUE(speed);
    EXPECT_EQ(speed->getParameterNumber(), 1);  // the first of the two
    EXPECT_FALSE(space.has("Line.List of parameters.Hidden"));
    EXPECT_EQ(space.root->childCount(), 1u);
}

TEST(NamespaceBrokenFiles, NumbersBeyondEightBitsKeepTheirLowBitsAndMenusChangeInOrder)
{
    LoadedSpace space(testFile("out_of_range.xml"));
    ASSERT_TRUE(space.result);
    EXPECT_TRUE(space.diagnostics.has("menu_300"));
    EXPECT_TRUE(space.diagnostics.has("menu_7"));
    DaRef<DriveTag> before = space.tag("Drive.Options.Wide.Before");
    DaRef<DriveTag> after = space.tag("Drive.Options.Wide.After");
    ASSERT_TRUE(before && after);
    EXPECT_EQ(before->getMenuNumber(), 44);
    EXPECT_EQ(before->getParameterNumber(), 300);
    EXPECT_EQ(after->getMenuNumber(), 7);
    EXPECT_EQ(after->getParameterNumber(), 65535);
    DaRef<DaElement> slot = space.root->findElement("Drive.Options");
    ASSERT_TRUE(slot);
    EXPECT_EQ(static_cast<SlotBranch*>(slot.get())->slotNumber, 2);
    EXPECT_TRUE(space.diagnostics.always().empty());
}

TEST(NamespaceBrokenFiles, UnknownTypesAndRightsLeaveTheTagEmptyAndUnreachable)
{
    LoadedSpace space(testFile("unknown_types.xml"));
    ASSERT_TRUE(space.result);
    const struct {
        const char* name;
        VARTYPE vt;
        uint32_t rights;
    } rows[] = {{"Decimal", VT_EMPTY, 0}, {"Lower", VT_EMPTY, 0}, {"Array", VT_ARRAY | VT_I2, 2}, {"NoText", VT_EMPTY, 0}};
    for (const auto& row : rows) {
        DaRef<DriveTag> tag = space.tag(std::string("Drive.List of parameters.Menu.") + row.name);
        ASSERT_TRUE(tag) << row.name;
        EXPECT_EQ(tag->getDatatype(), row.vt) << row.name;
        EXPECT_EQ(tag->getAccessRights(), row.rights) << row.name;
    }
    const Lines lines = space.diagnostics.texts(kNamespaceDiagClass);
    const auto at = std::find(lines.begin(), lines.end(), "VT_DECIMAL");
    ASSERT_LE(at + 3, lines.end());
    EXPECT_EQ(Lines(at, at + 3), (Lines{"VT_DECIMAL", "VT_EMPTY", "set data type"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Bad access rights string passed"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Good access string"), 1);
    EXPECT_EQ(space.diagnostics.always(),
              (Lines{"No text in element \"datatype\"", "No text in element \"description\""}));
}

TEST(NamespaceBrokenFiles, HugeTextsLoadAndDiagnosticLinesStayBounded)
{
    const std::string hugeName(200000, 'N');
    const std::string hugeDescription(1000000, 'd');
    const std::string document = "<QZNetcfg><Node><name>Drive</name><address>" + std::string(5000, '1') +
                                 "</address><Slot><number>0</number><Menu><name>M</name><Parameter><name>" +
                                 hugeName + "</name><addrLow>1</addrLow><description>" + hugeDescription +
                                 "</description></Parameter></Menu></Slot></Node></QZNetcfg>";
    LoadedSpace space;
    space.loadText(document);
    ASSERT_TRUE(space.result);
    DaRef<DriveTag> tag = space.tag("Drive.List of parameters.M." + hugeName);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->getDescription().size(), hugeDescription.size());
    EXPECT_EQ(tag->getNodeAddress().size(), 5000u);
    for (const auto& line : space.diagnostics.lines)
        EXPECT_LE(line.text.size(), 512u);
}

TEST(NamespaceBrokenFiles, ElementsInTheWrongOrderFollowTheDocumentOrder)
{
    // The address comes after the slot and the menu number after the parameter: the tag
    // keeps what was known when its number was read.
    LoadedSpace space;
    space.loadText("<QZNetcfg><Node><name>D</name><Slot><number>0</number><Menu><name>M</name>"
                   "<Parameter><addrLow>5</addrLow><name>P</name></Parameter><addrHigh>9</addrHigh>"
                   "</Menu></Slot><address>late</address></Node></QZNetcfg>");
    ASSERT_TRUE(space.result);
    DaRef<DriveTag> tag = space.tag("D.List of parameters.M.P");
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->getNodeAddress(), "");
    EXPECT_EQ(tag->getMenuNumber(), 0);
    EXPECT_EQ(tag->getParameterNumber(), 5);

    // A slot without a number and a menu or parameter without a name are never attached.
    LoadedSpace missing;
    missing.loadText("<QZNetcfg><Node><name>D</name><Slot><Menu><name>M</name></Menu></Slot>"
                     "<Slot SlotName=\"S\"><number>1</number><Menu><addrHigh>1</addrHigh></Menu>"
                     "<Menu><name>M</name><Parameter><addrLow>1</addrLow></Parameter></Menu></Slot></Node></QZNetcfg>");
    ASSERT_TRUE(missing.result);
    DaRef<DaElement> drive = missing.root->findElement("D"), menu = missing.root->findElement("D.S.M");
    ASSERT_TRUE(drive && menu);
    EXPECT_EQ(static_cast<DaNode*>(drive.get())->childCount(), 1u) << "slot S only";
    EXPECT_EQ(static_cast<DaNode*>(menu.get())->childCount(), 0u);
}
