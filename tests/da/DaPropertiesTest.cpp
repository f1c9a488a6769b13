// Item properties as clients see them: the standard table, the list a properties query
// answers, the values the address space computes and the EU model.
#include <gtest/gtest.h>

#include <string>

#include "common/TVCmnString.h"
#include "common/TVCmnVariant.h"
#include "da/DaStandardProperties.h"
#include "tests/da/DaTestTree.h"

namespace {

std::string text(const VARIANT& v) { return v.vt == VT_BSTR ? TVCmnString::wideToAnsi(v.bstrVal) : "<not text>"; }

}  // namespace

TEST(DaProperties, StandardIdsAssignDescriptionAndDatatype)
{
    struct Row {
        uint32_t id;
        const char* description;
        VARTYPE datatype;
        const char* xmlName;
    };
    // One row per kind of ID: standard, EU, OPC-recommended, text twin, gap, application.
    const Row rows[] = {
        {1, "Item Canonical DataType", VT_I2, "dataType"},   {2, "Item Value", VT_EMPTY, "value"},
        {8, "Item EU Info", VT_ARRAY | VT_BSTR, "euInfo"},   {102, "High EU", VT_R8, "highEU"},
        {203, "Current Blink", VT_BOOL, ""},                 {2501, "Item Canonical DataType", VT_BSTR, ""},
        {2502, "", VT_EMPTY, ""},                            {5000, "", VT_EMPTY, ""},
    };
    for (const Row& row : rows) {
        DaRef<DaProperty> property(new DaProperty(row.id));
        EXPECT_EQ(property->getDescription(), row.description) << "id " << row.id;
        EXPECT_EQ(property->getDatatype(), row.datatype) << "id " << row.id;
        EXPECT_STREQ(property->xmlName(), row.xmlName) << "id " << row.id;
    }
    // An application ID keeps what the application set; a standard ID overrides it.
    DaRef<DaProperty> property(new DaProperty(5000));
    property->setDescription("Gear ratio");
    property->setDatatype(VT_R8);
    property->setId(5001);
    EXPECT_EQ(property->getDescription(), "Gear ratio");
    property->setId(101);
    EXPECT_EQ(property->getDescription(), "Item Description");
    EXPECT_EQ(property->getDatatype(), VT_BSTR);
}

TEST(DaProperties, ListOrderFollowsTheQueryWithChildrenLast)
{
    DaTestTree tree;
    tree.setpoint->setAnalogEU(-1500.0, 1500.0);
    DaRef<DaProperty> units(new DaProperty(100));
    tree.setpoint->addProperty(units.get());

    struct Row {
        bool typeAndQuality, accessRights;
        std::vector<uint32_t> ids;
    };
    const Row rows[] = {
        {true, true, {1, 2, 3, 4, 5, 6, 7, 100, 102, 103}},
        {false, true, {2, 4, 5, 6, 7, 100, 102, 103}},
        {true, false, {1, 2, 3, 4, 6, 7, 100, 102, 103}},
        {false, false, {2, 4, 6, 7, 100, 102, 103}},
    };
    for (const Row& row : rows) {
        std::vector<DaPropertyInfo> list;
        tree.setpoint->getPropertyList(row.typeAndQuality, row.accessRights, list);
        std::vector<uint32_t> ids;
        for (const auto& info : list)
            ids.push_back(info.id);
        EXPECT_EQ(ids, row.ids) << "typeAndQuality " << row.typeAndQuality << " access " << row.accessRights;
    }
    std::vector<DaPropertyInfo> list;
    tree.setpoint->getPropertyList(true, true, list);
    EXPECT_EQ(list[1].datatype, VT_R4);  // "Item Value" carries the tag's own type
    EXPECT_EQ(list[1].description, "Item Value");
    EXPECT_EQ(list[7].description, "EU Units");
}

TEST(DaProperties, ComputedValuesComeFromTheTagFields)
{
    DaTestTree tree;  // Setpoint: VT_R4, read/write
    struct Row {
        uint32_t id;
        VARTYPE vt;
        long number;
        const char* text;
    };
    const Row rows[] = {
        {1, VT_I2, VT_R4, nullptr},          {2501, VT_BSTR, 0, "VT_R4"},
        {5, VT_I4, 3, nullptr},              {2505, VT_BSTR, 0, "readWritable"},
        {7, VT_I4, 0, nullptr},              {2507, VT_BSTR, 0, "noEnum"},
    };
    for (const Row& row : rows) {
        TVCmnVariant value;
        ASSERT_EQ(tree.setpoint->getPropertyValue(row.id, 20.0f, value.put()), S_OK) << "id " << row.id;
        ASSERT_EQ(value.vt(), row.vt) << "id " << row.id;
        if (row.text)
            EXPECT_EQ(text(value.get()), row.text) << "id " << row.id;
        else if (row.vt == VT_I2)
            EXPECT_EQ(value.get().iVal, row.number) << "id " << row.id;
        else
            EXPECT_EQ(value.get().lVal, row.number) << "id " << row.id;
    }
    TVCmnVariant scan;
    ASSERT_EQ(tree.setpoint->getPropertyValue(6, 20.0f, scan.put()), S_OK);
    EXPECT_EQ(scan.vt(), VT_R4);
    EXPECT_FLOAT_EQ(scan.get().fltVal, 20.0f);

    const struct {
        uint32_t rights;
        const char* text;
    } rights[] = {{0, "unknown"}, {1, "readable"}, {2, "writable"}, {3, "readWritable"}};
    for (const auto& row : rights) {
        tree.status->setAccessRights(row.rights);
        TVCmnVariant value;
        tree.status->getPropertyValue(2505, 20.0f, value.put());
        EXPECT_EQ(text(value.get()), row.text) << "rights " << row.rights;
    }

    // Value, quality, timestamp and quality text are read through the tag's cache.
    for (uint32_t id : {2u, 3u, 4u, 2503u}) {
        TVCmnVariant value;
        EXPECT_TRUE(DaTag::readsThroughTag(id));
        EXPECT_EQ(tree.setpoint->getPropertyValue(id, 20.0f, value.put()), E_FAIL) << "id " << id;
    }
    TVCmnVariant none;
    EXPECT_EQ(tree.setpoint->getPropertyValue(104, 20.0f, none.put()), OPC_E_INVALID_PID);
}

TEST(DaProperties, EuModelFollowsTheTagsPropertyChildren)
{
    DaTestTree tree;
    TVCmnVariant info;

    // No property 7: no EU.
    EXPECT_EQ(tree.actual->getEUType(), kDaEuNone);
    ASSERT_EQ(tree.actual->getEUInfo(info.put()), S_OK);
    EXPECT_EQ(info.vt(), VT_EMPTY);

    // Analog: [Low EU, High EU] as doubles, whatever type the limits were stored in.
    tree.actual->setAnalogEU(-50.0, 150.0);
    EXPECT_EQ(tree.actual->getEUType(), kDaEuAnalog);
    DaRef<DaProperty> high = tree.actual->findProperty(102);
    ASSERT_TRUE(high);
    high->setValue(TVCmnVariant(std::int32_t(200)).get());
    ASSERT_EQ(tree.actual->getEUInfo(info.put()), S_OK);
    ASSERT_EQ(info.vt(), VT_ARRAY | VT_R8);
    double limits[2] = {0, 0};
    for (LONG i = 0; i < 2; ++i)
        SafeArrayGetElement(info.get().parray, &i, &limits[i]);
    EXPECT_DOUBLE_EQ(limits[0], -50.0);
    EXPECT_DOUBLE_EQ(limits[1], 200.0);
    TVCmnVariant euInfoProperty;
    ASSERT_EQ(tree.actual->getPropertyValue(8, 20.0f, euInfoProperty.put()), S_OK);
    EXPECT_EQ(euInfoProperty.vt(), VT_ARRAY | VT_R8);
    TVCmnVariant euText;
    tree.actual->getPropertyValue(2507, 20.0f, euText.put());
    EXPECT_EQ(text(euText.get()), "analog");

    // Enumerated: property 7 without 102; the info is property 8's string array.
    tree.status->setEnumeratedEU({"Stopped", "Running", "Tripped"});
    EXPECT_EQ(tree.status->getEUType(), kDaEuEnumerated);
    DaRef<DaProperty> texts = tree.status->findProperty(8);
    ASSERT_TRUE(texts);
    EXPECT_EQ(texts->getDescription(), "Enumerated EU");
    EXPECT_EQ(texts->getDatatype(), VT_ARRAY | VT_BSTR);
    ASSERT_EQ(tree.status->getEUInfo(info.put()), S_OK);
    ASSERT_EQ(info.vt(), VT_ARRAY | VT_BSTR);
    LONG upper = -1;
    SafeArrayGetUBound(info.get().parray, 1, &upper);
    ASSERT_EQ(upper, 2);
    BSTR second = nullptr;
    LONG index = 1;
    SafeArrayGetElement(info.get().parray, &index, &second);
    EXPECT_EQ(TVCmnString::wideToAnsi(second), "Running");
    SysFreeString(second);

    // Property 7 alone (no 102, no 8): enumerated with empty info.
    DaRef<DaProperty> euType(new DaProperty(7));
    tree.setpoint->addProperty(euType.get());
    EXPECT_EQ(tree.setpoint->getEUType(), kDaEuEnumerated);
    EXPECT_EQ(tree.setpoint->getEUInfo(info.put()), S_OK);
    EXPECT_EQ(info.vt(), VT_EMPTY);
}

TEST(DaProperties, PropertyItemIdsAndDuplicates)
{
    DaTestTree tree;
    DaRef<DaProperty> units(new DaProperty(100));
    ASSERT_EQ(tree.setpoint->addProperty(units.get()), S_OK);
    EXPECT_EQ(units->itemId('#'), "Drive1.Speed.Setpoint#100");
    EXPECT_EQ(units->tag(), tree.setpoint.get());
    DaRef<DaProperty> again(new DaProperty(100));
    EXPECT_EQ(tree.setpoint->addProperty(again.get()), OPC_E_DUPLICATENAME);
    EXPECT_EQ(tree.actual->addProperty(units.get()), E_INVALIDARG);  // belongs to Setpoint
    EXPECT_TRUE(tree.setpoint->hasProperty(100));
    EXPECT_TRUE(tree.setpoint->hasProperty(6));
    EXPECT_TRUE(tree.setpoint->hasProperty(2507));
    EXPECT_FALSE(tree.setpoint->hasProperty(2502));
    EXPECT_FALSE(tree.setpoint->hasProperty(7));
}
