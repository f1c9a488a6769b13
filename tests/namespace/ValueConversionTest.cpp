// Drive values to canonical VARIANTs and back, over every data type, decimal places
// -1..6 and both full precision settings, with the limits of each direction.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <string>

#include "da/DaTypes.h"
#include "namespace/ValueConversion.h"

namespace {

struct ReadRow {
    int32_t value;
    int32_t places;
    bool full;
    // Expected per canonical type.
    int32_t i4;
    int16_t i2;
    uint16_t ui2;
    int8_t i1;
    uint8_t ui1;
    bool boolean;
    double real;  // VT_R8 and VT_R4 (R4 compared at float precision)
};

std::string rowName(const ReadRow& row)
{
    return std::to_string(row.value) + " places " + std::to_string(row.places) + (row.full ? " full" : " cut");
}

}  // namespace

TEST(ValueConversion, DriveValueToEachCanonicalType)
{
    const ReadRow rows[] = {
        // value, places, full: I4, I2, UI2, I1, UI1, BOOL, R8
        {1234567, -1, false, 1234567, -10617, 54919, -121, 135, true, 1234567.0},
        {1234567, 1, false, 123456, -7616, 57920, 64, 64, true, 123456.7},
        {1234567, 3, false, 1234, 1234, 1234, -46, 210, true, 1234.567},
        {1234567, 6, false, 1, 1, 1, 1, 1, true, 1.234567},
        {1234567, 6, true, 1234567, -10617, 54919, -121, 135, true, 1.234567},
        {-1234567, 2, false, -12345, -12345, 53191, -57, 199, true, -12345.67},
        {std::numeric_limits<int32_t>::max(), 0, false, 2147483647, -1, 65535, -1, 255, true, 2147483647.0},
        {std::numeric_limits<int32_t>::min(), 0, true, std::numeric_limits<int32_t>::min(), 0, 0, 0, 0, true,
         -2147483648.0},
        {std::numeric_limits<int32_t>::min(), 6, false, -2147, -2147, 63389, -99, 157, true, -2147.483648},
    };
    for (const ReadRow& row : rows) {
        const DriveValue drive{row.value, row.places};
        VARIANT v;
        const auto convert = [&](VARTYPE vt) {
            EXPECT_EQ(driveValueToVariant(drive, vt, row.full, &v), S_OK) << rowName(row) << " vt " << vt;
            EXPECT_EQ(v.vt, vt) << rowName(row);
        };
        convert(VT_I4);
        EXPECT_EQ(v.lVal, row.i4) << rowName(row);
        convert(VT_UI4);
        EXPECT_EQ(v.ulVal, static_cast<ULONG>(row.i4)) << rowName(row);
        convert(VT_I2);
        EXPECT_EQ(v.iVal, row.i2) << rowName(row);
        convert(VT_UI2);
        EXPECT_EQ(v.uiVal, row.ui2) << rowName(row);
        convert(VT_I1);
        EXPECT_EQ(static_cast<int8_t>(v.cVal), row.i1) << rowName(row);
        convert(VT_UI1);
        EXPECT_EQ(v.bVal, row.ui1) << rowName(row);
        convert(VT_BOOL);
        EXPECT_EQ(v.boolVal, row.boolean ? VARIANT_TRUE : VARIANT_FALSE) << rowName(row);
        convert(VT_R8);
        EXPECT_NEAR(v.dblVal, row.real, std::fabs(row.real) * 1e-12) << rowName(row);
        convert(VT_R4);
        EXPECT_NEAR(v.fltVal, static_cast<float>(row.real), std::fabs(row.real) * 1e-6) << rowName(row);
    }
}

TEST(ValueConversion, TypesWithoutADriveConversionAreRefused)
{
    const VARTYPE refused[] = {VT_INT, VT_BSTR, VT_DATE, VT_EMPTY, VT_I8, VT_ARRAY | VT_I4};
    for (VARTYPE vt : refused) {
        VARIANT v;
        EXPECT_EQ(driveValueToVariant({1234, 2}, vt, false, &v), DISP_E_BADVARTYPE) << "vt " << vt;
        EXPECT_EQ(v.vt, VT_EMPTY) << "vt " << vt;
    }
}

namespace {

struct WriteRow {
    const char* name;
    VARIANT written;
    bool full;
    HRESULT expected;
    int32_t value;
    int32_t places;
};

VARIANT make(VARTYPE vt, double number)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    switch (vt) {
    case VT_I1: v.cVal = static_cast<CHAR>(number); break;
    case VT_I2: v.iVal = static_cast<SHORT>(number); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(number); break;
    case VT_I4: v.lVal = static_cast<LONG>(number); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(number); break;
    case VT_BOOL: v.boolVal = number != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_R4: v.fltVal = static_cast<float>(number); break;
    case VT_R8: v.dblVal = number; break;
    default: break;
    }
    return v;
}

}  // namespace

TEST(ValueConversion, WrittenValueToDriveValue)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const WriteRow rows[] = {
        {"I1 -5", make(VT_I1, -5), false, S_OK, -5, 0},
        {"I2 -300", make(VT_I2, -300), true, S_OK, -300, -1},
        {"UI2 60000", make(VT_UI2, 60000), false, S_OK, 60000, 0},
        {"I4 12 full", make(VT_I4, 12), true, S_OK, 12, -1},
        {"UI4 4000000000", make(VT_UI4, 4000000000.0), false, S_OK, -294967296, 0},
        {"BOOL true", make(VT_BOOL, 1), false, S_OK, 1, 0},
        {"R8 12.5 full", make(VT_R8, 12.5), true, S_OK, 125, 1},
        {"R8 1/3", make(VT_R8, 1.0 / 3.0), false, S_OK, 333333, 6},
        {"R8 0.0000004", make(VT_R8, 0.0000004), false, S_OK, 0, 6},
        {"R8 min", make(VT_R8, -2147483648.0), false, S_OK, std::numeric_limits<int32_t>::min(), 0},
        {"R8 2^31", make(VT_R8, 2147483648.0), false, OPC_E_RANGE, 0, 0},
        {"R8 NaN", make(VT_R8, nan), false, OPC_E_RANGE, 0, 0},
        {"R4 0.1", make(VT_R4, 0.1), false, S_OK, 1, 1},
        {"R4 3000.3 needs 6 places", make(VT_R4, 3000.3), false, OPC_E_RANGE, 0, 0},
        {"BSTR", make(VT_BSTR, 0), false, DISP_E_BADVARTYPE, 0, 0},
    };
    for (const WriteRow& row : rows) {
        DriveValue drive{111, 111};
        EXPECT_EQ(variantToDriveValue(row.written, row.full, drive), row.expected) << row.name;
        if (row.expected == S_OK) {
            EXPECT_EQ(drive.value, row.value) << row.name;
            EXPECT_EQ(drive.decimalPlaces, row.places) << row.name;
        } else {
            EXPECT_EQ(drive.value, 111) << row.name << ": a refused value leaves the output alone";
        }
    }
}

TEST(ValueConversion, DataTypeAndAccessTexts)
{
    // Every named type reads back as itself: 15 scalars and their 15 arrays.
    int named = 0;
    for (unsigned vt = 0; vt <= 0x3000; ++vt) {
        const char* name = vtToName(static_cast<VARTYPE>(vt));
        if (std::string(name) == "VT_EMPTY")
            continue;
        ++named;
        EXPECT_EQ(vtFromName(name), vt) << name;
        EXPECT_EQ(std::string(name).find(" ARRAY") != std::string::npos, (vt & VT_ARRAY) != 0) << name;
    }
    EXPECT_EQ(named, 30);
    for (const char* unknown : {"vt_i4", "VT_I4 ", " VT_I4", "VT_I4ARRAY", "VT_VARIANT", "VT_EMPTY", ""})
        EXPECT_EQ(vtFromName(unknown), VT_EMPTY) << '"' << unknown << '"';
    for (VARTYPE vt : std::initializer_list<VARTYPE>{VT_VARIANT, VT_EMPTY, VT_I8, VT_ERROR, VT_ARRAY | VT_VARIANT})
        EXPECT_STREQ(vtToName(vt), "VT_EMPTY") << "vt " << vt;

    const struct {
        const char* text;
        uint32_t rights;
    } access[] = {{"READ", 1}, {"WRITE", 2}, {"READWRITE", 3}, {"READ WRITE", 0}, {"read", 0},
                  {"READWRITE ", 0}, {"", 0}, {"WRITEREAD", 0}};
    for (const auto& row : access)
        EXPECT_EQ(accessFromName(row.text), row.rights) << '"' << row.text << '"';
}

