// The texts kvopc prints and reads: what a plant engineer sees and what the end-to-end
// scripts match.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

#include "tools/ClientText.h"

using namespace kvopc;

namespace {

struct OwnedVariant {
    VARIANT v;
    OwnedVariant() { VariantInit(&v); }
    ~OwnedVariant() { VariantClear(&v); }
};

TEST(ClientText, QualityTexts)
{
    struct Row {
        std::uint16_t quality;
        const char* text;
    };
    const Row rows[] = {
        {0xC0, "good"},
        {0x1C, "bad out of service (0x1C)"},
        {0x44, "uncertain last usable value (0x44)"},
        {0x18, "bad comm failure (0x18)"},
        {0xC1, "good, low limited (0xC1)"},
        {0x56, "uncertain EU units exceeded, high limited (0x56)"},
        {0x24, "bad substatus 9 (0x24)"},
        {0xC4, "good substatus 1 (0xC4)"},
        {0x80, "not a quality (0x80)"},
        {0x12C0, "good (0x12C0)"},  // vendor bits make plain good show its code
    };
    for (const Row& row : rows)
        EXPECT_EQ(qualityText(row.quality), row.text) << "quality 0x" << std::hex << row.quality;
}

TEST(ClientText, TimestampsAreUtcWithMilliseconds)
{
    struct Row {
        unsigned long long ticks;  // 100 ns since 1601-01-01
        const char* text;
    };
    const Row rows[] = {
        {0, "-"},
        {116444736000000000ull, "1970-01-01T00:00:00.000Z"},
        {116444736000000000ull + 9999ull, "1970-01-01T00:00:00.000Z"},  // below a millisecond: cut, not rounded
        {116444736000000000ull + 10000ull, "1970-01-01T00:00:00.001Z"},
        {134410173123450000ull, "2026-12-06T07:55:12.345Z"},
    };
    for (const Row& row : rows) {
        FILETIME time;
        time.dwLowDateTime = static_cast<DWORD>(row.ticks);
        time.dwHighDateTime = static_cast<DWORD>(row.ticks >> 32);
        EXPECT_EQ(fileTimeText(time), row.text) << row.ticks;
    }
}

TEST(ClientText, ValueTexts)
{
    struct Row {
        VARTYPE type;
        double number;
        const char* text;
    };
    const Row rows[] = {
        {VT_R4, 0.1, "0.1"},          // shortest form of the float, not 0.100000001
        {VT_R8, 1.0 / 3, "0.3333333333333333"},
        {VT_UI4, 4294967295.0, "4294967295"},
        {VT_BOOL, -1, "true"},
        {VT_DATE, 46362.5, "2026-12-06 12:00:00"},
        {VT_ERROR, 0, "error 0x80004005"},
        {VT_EMPTY, 0, "(empty)"},
    };
    for (const Row& row : rows) {
        OwnedVariant value;
        value.v.vt = row.type;
        switch (row.type) {
        case VT_R4: value.v.fltVal = static_cast<float>(row.number); break;
        case VT_R8: value.v.dblVal = row.number; break;
        case VT_UI4: value.v.ulVal = static_cast<ULONG>(row.number); break;
        case VT_BOOL: value.v.boolVal = row.number ? VARIANT_TRUE : VARIANT_FALSE; break;
        case VT_DATE: value.v.date = row.number; break;
        case VT_ERROR: value.v.scode = static_cast<SCODE>(0x80004005); break;
        default: break;
        }
        EXPECT_EQ(valueText(value.v), row.text) << row.text;
    }

    OwnedVariant text;
    text.v.vt = VT_BSTR;
    text.v.bstrVal = SysAllocString(L"Stop \u00e4");
    EXPECT_EQ(valueText(text.v), "\"Stop \xC3\xA4\"");

    OwnedVariant array;
    array.v.vt = VT_ARRAY | VT_I2;
    array.v.parray = SafeArrayCreateVector(VT_I2, 0, 3);
    SHORT* data = nullptr;
    SafeArrayAccessData(array.v.parray, reinterpret_cast<void**>(&data));
    data[0] = 1;
    data[1] = -2;
    data[2] = 3;
    SafeArrayUnaccessData(array.v.parray);
    EXPECT_EQ(valueText(array.v), "[1, -2, 3]");
}

TEST(ClientText, WrittenTextsBecomeTheCanonicalType)
{
    struct Row {
        const char* text;
        VARTYPE type;
        const char* printedBack;  // nullptr: refused
        const char* why;          // part of the refusal
    };
    const Row rows[] = {
        {"42.5", VT_R4, "42.5", nullptr},
        {"-1e3", VT_R8, "-1000", nullptr},
        {"1,5", VT_R4, nullptr, "not a number"},  // the C locale whatever the machine's
        {"", VT_R4, nullptr, "not a number"},
        {"1e39", VT_R4, nullptr, "out of range for R4"},
        {"1e39", VT_R8, "1e+39", nullptr},
        {"12abc", VT_I4, nullptr, "not a whole number"},
        {" 12", VT_I4, nullptr, "not a whole number"},
        {"2147483647", VT_I4, "2147483647", nullptr},
        {"2147483648", VT_I4, nullptr, "out of range for I4"},
        {"32768", VT_I2, nullptr, "out of range for I2"},
        {"256", VT_UI1, nullptr, "out of range for UI1"},
        {"-1", VT_UI2, nullptr, "zero or more"},
        {"true", VT_BOOL, "true", nullptr},
        {"OFF", VT_BOOL, "false", nullptr},
        {"maybe", VT_BOOL, nullptr, "not true or false"},
        {"Line = 2", VT_BSTR, "\"Line = 2\"", nullptr},
        // Types without a reading of their own travel as text for the server to convert.
        {"2026-12-06", VT_DATE, "\"2026-12-06\"", nullptr},
    };
    for (const Row& row : rows) {
        VARIANT value;
        const std::string error = parseValue(row.text, row.type, value);
        if (row.printedBack) {
            EXPECT_EQ(error, "") << row.text;
            EXPECT_EQ(valueText(value), row.printedBack) << row.text;
        } else {
            EXPECT_NE(error.find(row.why), std::string::npos) << row.text << ": " << error;
            EXPECT_EQ(value.vt, VT_EMPTY) << "a refused text leaves nothing to send: " << row.text;
        }
        VariantClear(&value);
    }
}

TEST(ClientText, TypeNamesReadBackAndUnknownsRefused)
{
    const VARTYPE types[] = {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8, VT_UI8, VT_R4, VT_R8,
                             VT_BOOL, VT_BSTR, VT_DATE, VT_CY, static_cast<VARTYPE>(VT_ARRAY | VT_R4)};
    for (VARTYPE type : types) {
        VARTYPE back = VT_NULL;
        ASSERT_TRUE(parseTypeName(typeName(type), back)) << typeName(type);
        EXPECT_EQ(back, type) << typeName(type);
    }
    VARTYPE type = VT_EMPTY;
    EXPECT_TRUE(parseTypeName("vt_r4", type));
    EXPECT_EQ(type, VT_R4);
    EXPECT_FALSE(parseTypeName("R5", type));
    EXPECT_FALSE(parseTypeName("", type));
    EXPECT_EQ(typeName(0x0FFF), "VT 0x0FFF");
}

TEST(ClientText, ResultNamesAndAccess)
{
    EXPECT_EQ(resultName(static_cast<HRESULT>(0xC0040007)), "OPC_E_UNKNOWNITEMID");
    EXPECT_EQ(resultName(static_cast<HRESULT>(0x0004000D)), "OPC_S_UNSUPPORTEDRATE");
    EXPECT_EQ(resultName(static_cast<HRESULT>(0xC0040002)), "0xC0040002");
    EXPECT_EQ(accessText(3), "read/write");
    EXPECT_EQ(accessText(0), "none");
}

}  // namespace
