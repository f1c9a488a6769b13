// VariantChangeTypeEx between the value types the server hands to clients. Every row
// runs natively against the stand-in and under Wine against oleaut32.
#include <gtest/gtest.h>

#include <vector>

#include "tests/platform/VariantTestSupport.h"

namespace kv::platform::test {
namespace {

constexpr LCID kEnUs = 1033, kDeDe = 1031, kSvSe = 1053;

struct Row {
    const char* name;
    Value from;
    VARTYPE to;
    HRESULT hr;
    Value expected;  // checked only when hr is S_OK
    LCID lcid = kEnUs;
    USHORT flags = 0;
};

void check(const std::vector<Row>& rows)
{
    for (const Row& row : rows) {
        VARIANT src = toVariant(row.from);
        VARIANT dst;
        VariantInit(&dst);
        const HRESULT hr = VariantChangeTypeEx(&dst, &src, row.lcid, row.flags, row.to);
        EXPECT_EQ(row.hr, hr) << row.name << ": " << describe(row.from) << " -> vt " << row.to;
        if (hr == S_OK && row.hr == S_OK) {
            EXPECT_TRUE(sameValue(dst, row.expected))
                << row.name << ": got " << describe(dst) << ", expected " << describe(row.expected);
        }
        VariantClear(&dst);
        VariantClear(&src);
    }
}

TEST(VariantChangeType, NumbersRoundHalfToEvenAndCheckRange)
{
    check({
        {"2.5 to I4", R8(2.5), VT_I4, S_OK, I4(2)},
        {"3.5 to I4", R8(3.5), VT_I4, S_OK, I4(4)},
        {"-2.5 to I4", R8(-2.5), VT_I4, S_OK, I4(-2)},
        {"-1.5 to I4", R8(-1.5), VT_I4, S_OK, I4(-2)},
        {"-0.6 to I4", R8(-0.6), VT_I4, S_OK, I4(-1)},
        {"1e10 to I4", R8(1e10), VT_I4, DISP_E_OVERFLOW, {}},
        {"2147483647.5 to I4", R8(2147483647.5), VT_I4, DISP_E_OVERFLOW, {}},
        {"-2147483648.5 to I4", R8(-2147483648.5), VT_I4, S_OK, I4(-2147483648LL)},
        {"1e10 to I8", R8(1e10), VT_I8, S_OK, I8(10000000000LL)},
        {"1.8e19 to UI8", R8(1.8e19), VT_UI8, S_OK, UI8(18000000000000000000ull)},
        {"9.3e18 to I8", R8(9.3e18), VT_I8, DISP_E_OVERFLOW, {}},
        {"127.5 to I1", R8(127.5), VT_I1, DISP_E_OVERFLOW, {}},
        {"-128.5 to I1", R8(-128.5), VT_I1, S_OK, I1(-128)},
        {"254.5 to UI1", R8(254.5), VT_UI1, S_OK, UI1(254)},
        {"255.5 to UI1", R8(255.5), VT_UI1, DISP_E_OVERFLOW, {}},
        {"-0.5 to UI1", R8(-0.5), VT_UI1, S_OK, UI1(0)},
        {"-1.5 to UI4", R8(-1.5), VT_UI4, DISP_E_OVERFLOW, {}},
        {"R4 2.5 to I2", R4(2.5f), VT_I2, S_OK, I2(2)},
        {"DATE 3.5 to I4", Date(3.5), VT_I4, S_OK, I4(4)},
        {"128 to I1", I4(128), VT_I1, DISP_E_OVERFLOW, {}},
        {"-129 to I1", I4(-129), VT_I1, DISP_E_OVERFLOW, {}},
        {"-1 to UI1", I4(-1), VT_UI1, DISP_E_OVERFLOW, {}},
        {"I2 -1 to UI4", I2(-1), VT_UI4, DISP_E_OVERFLOW, {}},
        {"65536 to UI2", I4(65536), VT_UI2, DISP_E_OVERFLOW, {}},
        {"32768 to I2", I4(32768), VT_I2, DISP_E_OVERFLOW, {}},
        {"UI4 max to I2", UI4(0xFFFFFFFF), VT_I2, DISP_E_OVERFLOW, {}},
        {"I8 min to I4", I8(-9223372036854775807LL - 1), VT_I4, DISP_E_OVERFLOW, {}},
        // oleaut32 carries the bits over between the signed and unsigned type of one width.
        {"I4 -1 to UI4", I4(-1), VT_UI4, S_OK, UI4(0xFFFFFFFF)},
        {"UI4 max to I4", UI4(0xFFFFFFFF), VT_I4, S_OK, I4(-1)},
        {"UI1 200 to I1", UI1(200), VT_I1, S_OK, I1(-56)},
        {"I8 -1 to UI8", I8(-1), VT_UI8, S_OK, UI8(~0ull)},
        {"UI4 max to I8", UI4(0xFFFFFFFF), VT_I8, S_OK, I8(4294967295LL)},
        {"I4 to INT", I4(-7), VT_INT, S_OK, Int(-7)},
        {"I4 to R4", I4(16777217), VT_R4, S_OK, R4(16777216.0f)},
        {"I4 to R8", I4(-5), VT_R8, S_OK, R8(-5)},
        {"R8 to R4 rounds", R8(3.4028235e38), VT_R4, S_OK, R4(3.40282347e38f)},
        {"R8 to R4 overflow", R8(1e39), VT_R4, DISP_E_OVERFLOW, {}},
        {"R8 to R4 underflow", R8(1e-50), VT_R4, S_OK, R4(0)},
    });
}

TEST(VariantChangeType, BooleansAreMinusOneAndZero)
{
    check({
        {"true to I4", Bool(true), VT_I4, S_OK, I4(-1)},
        {"true to UI1", Bool(true), VT_UI1, S_OK, UI1(255)},
        {"true to UI4", Bool(true), VT_UI4, S_OK, UI4(0xFFFFFFFF)},
        {"true to CY", Bool(true), VT_CY, S_OK, Cy(-10000)},
        {"true to DATE", Bool(true), VT_DATE, S_OK, Date(-1)},
        {"false to I4", Bool(false), VT_I4, S_OK, I4(0)},
        {"5 to BOOL", I4(5), VT_BOOL, S_OK, Bool(true)},
        {"0 to BOOL", I4(0), VT_BOOL, S_OK, Bool(false)},
        {"0.5 to BOOL", R8(0.5), VT_BOOL, S_OK, Bool(true)},
        {"DEC 0 to BOOL", Dec(false, 0, 0, 0), VT_BOOL, S_OK, Bool(false)},
        {"true as text", Bool(true), VT_BSTR, S_OK, Str(L"-1")},
        {"false as text", Bool(false), VT_BSTR, S_OK, Str(L"0")},
        {"true alpha", Bool(true), VT_BSTR, S_OK, Str(L"True"), kDeDe, VARIANT_ALPHABOOL},
        {"false alpha", Bool(false), VT_BSTR, S_OK, Str(L"False"), kEnUs, VARIANT_ALPHABOOL},
        {"true local de", Bool(true), VT_BSTR, S_OK, Str(L"Wahr"), kDeDe, VARIANT_LOCALBOOL},
        {"false local sv", Bool(false), VT_BSTR, S_OK, Str(L"Falskt"), kSvSe, VARIANT_LOCALBOOL},
        {"true local en", Bool(true), VT_BSTR, S_OK, Str(L"True"), kEnUs, VARIANT_LOCALBOOL},
        {"'True'", Str(L"True"), VT_BOOL, S_OK, Bool(true)},
        {"'false' any case", Str(L"false"), VT_BOOL, S_OK, Bool(false), kDeDe},
        {"'#TRUE#'", Str(L"#TRUE#"), VT_BOOL, S_OK, Bool(true)},
        {"'0'", Str(L"0"), VT_BOOL, S_OK, Bool(false)},
        {"'2.5'", Str(L"2.5"), VT_BOOL, S_OK, Bool(true)},
        {"'Wahr' without LOCALBOOL", Str(L"Wahr"), VT_BOOL, DISP_E_TYPEMISMATCH, {}, kDeDe},
        {"'yes'", Str(L"yes"), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        {"' True ' with blanks", Str(L" True "), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        {"empty text", Str(L""), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
    });
}

TEST(VariantChangeType, NumbersToTextUseTheLocaleSeparator)
{
    check({
        {"1.5 en", R8(1.5), VT_BSTR, S_OK, Str(L"1.5")},
        {"1.5 de", R8(1.5), VT_BSTR, S_OK, Str(L"1,5"), kDeDe},
        {"-1234.5678 de", R8(-1234.5678), VT_BSTR, S_OK, Str(L"-1234,5678"), kDeDe},
        {"0.1", R8(0.1), VT_BSTR, S_OK, Str(L"0.1")},
        {"1/3 has 15 digits", R8(1.0 / 3), VT_BSTR, S_OK, Str(L"0.333333333333333")},
        {"999999999999999", R8(999999999999999.0), VT_BSTR, S_OK, Str(L"999999999999999")},
        {"1e15", R8(1e15), VT_BSTR, S_OK, Str(L"1E+15")},
        {"1.2345678901234568e17", R8(123456789012345678.0), VT_BSTR, S_OK, Str(L"1.23456789012346E+17")},
        {"0.0001", R8(0.0001), VT_BSTR, S_OK, Str(L"0.0001")},
        {"1e-5", R8(1e-5), VT_BSTR, S_OK, Str(L"1E-05")},
        {"-1.5e300", R8(-1.5e300), VT_BSTR, S_OK, Str(L"-1.5E+300")},
        {"-0", R8(-0.0), VT_BSTR, S_OK, Str(L"0")},
        {"R4 1/3 has 7 digits", R4(1.0f / 3), VT_BSTR, S_OK, Str(L"0.3333333")},
        {"R4 0.1", R4(0.1f), VT_BSTR, S_OK, Str(L"0.1")},
        {"R4 1234567", R4(1234567.0f), VT_BSTR, S_OK, Str(L"1234567")},
        {"R4 16777216", R4(16777216.0f), VT_BSTR, S_OK, Str(L"1.677722E+07")},
        {"I4 has no grouping", I4(123456789), VT_BSTR, S_OK, Str(L"123456789"), kDeDe},
        {"I1", I1(-5), VT_BSTR, S_OK, Str(L"-5")},
        {"UI1", UI1(200), VT_BSTR, S_OK, Str(L"200")},
        {"UI8 max", UI8(~0ull), VT_BSTR, S_OK, Str(L"18446744073709551615")},
        {"I8 min", I8(-9223372036854775807LL - 1), VT_BSTR, S_OK, Str(L"-9223372036854775808")},
        {"CY 1.5", Cy(15000), VT_BSTR, S_OK, Str(L"1.5")},
        {"CY 1", Cy(10000), VT_BSTR, S_OK, Str(L"1")},
        {"CY 0.0001 de", Cy(1), VT_BSTR, S_OK, Str(L"0,0001"), kDeDe},
        {"CY -12.3456", Cy(-123456), VT_BSTR, S_OK, Str(L"-12.3456")},
        {"CY max", Cy(9223372036854775807LL), VT_BSTR, S_OK, Str(L"922337203685477.5807")},
        {"DEC 1.50", Dec(false, 2, 0, 150), VT_BSTR, S_OK, Str(L"1.5")},
        {"DEC -1.50 de", Dec(true, 2, 0, 150), VT_BSTR, S_OK, Str(L"-1,5"), kDeDe},
        {"DEC max", Dec(false, 0, 0xFFFFFFFF, ~0ull), VT_BSTR, S_OK, Str(L"79228162514264337593543950335")},
        {"DEC smallest", Dec(true, 28, 0, 1), VT_BSTR, S_OK, Str(L"-0.0000000000000000000000000001")},
        {"DEC 0.00001", Dec(false, 5, 0, 1), VT_BSTR, S_OK, Str(L"0.00001")},
    });
}

TEST(VariantChangeType, TextToNumbersFollowsTheLocale)
{
    check({
        {"'1.5' en", Str(L"1.5"), VT_R8, S_OK, R8(1.5)},
        {"'1,5' de", Str(L"1,5"), VT_R8, S_OK, R8(1.5), kDeDe},
        {"'1,5' sv", Str(L"1,5"), VT_R8, S_OK, R8(1.5), kSvSe},
        {"'1,5' en groups", Str(L"1,5"), VT_R8, S_OK, R8(15)},
        {"'1.5' de groups", Str(L"1.5"), VT_R8, S_OK, R8(15), kDeDe},
        {"'1.5' sv", Str(L"1.5"), VT_R8, DISP_E_TYPEMISMATCH, {}, kSvSe},
        {"'1,000.5' en", Str(L"1,000.5"), VT_R8, S_OK, R8(1000.5)},
        {"'1.000,5' de", Str(L"1.000,5"), VT_R8, S_OK, R8(1000.5), kDeDe},
        {"no-break space sv", Str(L"1\u00A0000,5"), VT_R8, S_OK, R8(1000.5), kSvSe},
        {"space sv", Str(L"1 000,5"), VT_R8, S_OK, R8(1000.5), kSvSe},
        {"space en", Str(L"12 34"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {"blanks around", Str(L" \t7\t "), VT_R8, S_OK, R8(7)},
        {"trailing minus", Str(L"12-"), VT_R8, S_OK, R8(-12)},
        {"parentheses", Str(L"(12)"), VT_R8, S_OK, R8(-12)},
        {"plus", Str(L"+12"), VT_R8, S_OK, R8(12)},
        {"exponent", Str(L"1E+3"), VT_R8, S_OK, R8(1000)},
        {"exponent de", Str(L"1,5e2"), VT_R8, S_OK, R8(150), kDeDe},
        {"exponent missing", Str(L"1e"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {"exponent too big", Str(L"1e400"), VT_R8, DISP_E_OVERFLOW, {}},
        {"leading point", Str(L".5"), VT_R8, S_OK, R8(0.5)},
        {"trailing point", Str(L"5."), VT_R8, S_OK, R8(5)},
        {"dollar", Str(L"$5"), VT_R8, S_OK, R8(5)},
        {"hex", Str(L"&HFF"), VT_R8, S_OK, R8(255)},
        {"octal", Str(L"&O17"), VT_R8, S_OK, R8(15)},
        {"C hex", Str(L"0x10"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"word", Str(L"abc"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {"empty", Str(L""), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"sign only", Str(L"-"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"two points", Str(L"1..2"), VT_R8, DISP_E_TYPEMISMATCH, {}},
        {"'2.5' to I4", Str(L"2.5"), VT_I4, S_OK, I4(2)},
        {"'2147483648' to I4", Str(L"2147483648"), VT_I4, DISP_E_OVERFLOW, {}},
        {"'&HFFFFFFFF' to I4", Str(L"&HFFFFFFFF"), VT_I4, S_OK, I4(-1)},
        {"'&HFF' to I1", Str(L"&HFF"), VT_I1, S_OK, I1(-1)},
        {"'&HFFFF' to UI1", Str(L"&HFFFF"), VT_UI1, DISP_E_OVERFLOW, {}},
        {"'-1' to UI1", Str(L"-1"), VT_UI1, DISP_E_OVERFLOW, {}},
        {"'18446744073709551615' to UI8", Str(L"18446744073709551615"), VT_UI8, S_OK, UI8(~0ull)},
        {"'9223372036854775808' to I8", Str(L"9223372036854775808"), VT_I8, DISP_E_OVERFLOW, {}},
        {"'-9223372036854775808' to I8", Str(L"-9223372036854775808"), VT_I8, S_OK, I8(-9223372036854775807LL - 1)},
        {"'1.5' to R4", Str(L"1.5"), VT_R4, S_OK, R4(1.5f)},
    });
}

TEST(VariantChangeType, CurrencyIsScaledByTenThousand)
{
    check({
        {"1.5 to CY", R8(1.5), VT_CY, S_OK, Cy(15000)},
        {"1.00015 to CY", R8(1.00015), VT_CY, S_OK, Cy(10002)},
        {"-2.5 to CY", R8(-2.5), VT_CY, S_OK, Cy(-25000)},
        {"1e15 to CY", R8(1e15), VT_CY, DISP_E_OVERFLOW, {}},
        {"I4 5 to CY", I4(5), VT_CY, S_OK, Cy(50000)},
        {"I8 too big for CY", I8(922337203685478LL), VT_CY, DISP_E_OVERFLOW, {}},
        {"'1.23456' to CY", Str(L"1.23456"), VT_CY, S_OK, Cy(12346)},
        {"'1,5' to CY de", Str(L"1,5"), VT_CY, S_OK, Cy(15000), kDeDe},
        {"CY 2.5 to I4", Cy(25000), VT_I4, S_OK, I4(2)},
        {"CY 3.5 to I4", Cy(35000), VT_I4, S_OK, I4(4)},
        {"CY -2.5 to I4", Cy(-25000), VT_I4, S_OK, I4(-2)},
        {"CY -2.5 to UI1", Cy(-25000), VT_UI1, DISP_E_OVERFLOW, {}},
        {"CY 2.4999 to R8", Cy(24999), VT_R8, S_OK, R8(2.4999)},
        {"CY 2.5 to I8", Cy(25000), VT_I8, S_OK, I8(2)},
        {"CY max to I4", Cy(9223372036854775807LL), VT_I4, DISP_E_OVERFLOW, {}},
        {"CY to DEC keeps 4 decimals", Cy(25000), VT_DECIMAL, S_OK, Dec(false, 4, 0, 25000)},
        {"CY -1.5 to DEC", Cy(-15000), VT_DECIMAL, S_OK, Dec(true, 4, 0, 15000)},
        {"DEC 1.50 to CY", Dec(false, 2, 0, 150), VT_CY, S_OK, Cy(15000)},
        {"DATE to CY", Date(43831.5), VT_CY, S_OK, Cy(438315000)},
    });
}

TEST(VariantChangeType, DecimalHoldsNinetySixBitsAndAScale)
{
    check({
        {"I4 5", I4(5), VT_DECIMAL, S_OK, Dec(false, 0, 0, 5)},
        {"I4 -5", I4(-5), VT_DECIMAL, S_OK, Dec(true, 0, 0, 5)},
        {"UI8 max", UI8(~0ull), VT_DECIMAL, S_OK, Dec(false, 0, 0, ~0ull)},
        {"R8 0.1", R8(0.1), VT_DECIMAL, S_OK, Dec(false, 1, 0, 1)},
        {"R8 -2.5", R8(-2.5), VT_DECIMAL, S_OK, Dec(true, 1, 0, 25)},
        {"R8 1234.5678", R8(1234.5678), VT_DECIMAL, S_OK, Dec(false, 4, 0, 12345678)},
        {"R8 0.1+0.2", R8(0.1 + 0.2), VT_DECIMAL, S_OK, Dec(false, 1, 0, 3)},
        {"R8 1e20", R8(1e20), VT_DECIMAL, S_OK, Dec(false, 0, 5, 7766279631452241920ull)},
        {"R8 1e-28", R8(1e-28), VT_DECIMAL, S_OK, Dec(false, 28, 0, 1)},
        {"R8 1e-30 is zero", R8(1e-30), VT_DECIMAL, S_OK, Dec(false, 0, 0, 0)},
        {"R8 1e29", R8(1e29), VT_DECIMAL, DISP_E_OVERFLOW, {}},
        {"R4 0.1", R4(0.1f), VT_DECIMAL, S_OK, Dec(false, 1, 0, 1)},
        {"R4 1/3", R4(1.0f / 3), VT_DECIMAL, S_OK, Dec(false, 7, 0, 3333333)},
        {"DATE", Date(43831.5), VT_DECIMAL, S_OK, Dec(false, 1, 0, 438315)},
        {"'0.1'", Str(L"0.1"), VT_DECIMAL, S_OK, Dec(false, 1, 0, 1)},
        {"'1.50' drops the zero", Str(L"1.50"), VT_DECIMAL, S_OK, Dec(false, 1, 0, 15)},
        {"'1e-5'", Str(L"1e-5"), VT_DECIMAL, S_OK, Dec(false, 5, 0, 1)},
        {"'1,5' de", Str(L"1,5"), VT_DECIMAL, S_OK, Dec(false, 1, 0, 15), kDeDe},
        {"29 digits", Str(L"79228162514264337593543950335"), VT_DECIMAL, S_OK, Dec(false, 0, 0xFFFFFFFF, ~0ull)},
        {"one more", Str(L"79228162514264337593543950336"), VT_DECIMAL, DISP_E_OVERFLOW, {}},
        {"scale 9", Str(L"12345678901234567890.123456789"), VT_DECIMAL, S_OK, Dec(false, 9, 669260594, 5097733592125636885ull)},
        {"DEC 2.5 to I4", Dec(false, 1, 0, 25), VT_I4, S_OK, I4(2)},
        {"DEC 3.5 to I4", Dec(false, 1, 0, 35), VT_I4, S_OK, I4(4)},
        {"DEC -2.5 to I4", Dec(true, 1, 0, 25), VT_I4, S_OK, I4(-2)},
        {"DEC 300 to UI1", Dec(false, 0, 0, 300), VT_UI1, DISP_E_OVERFLOW, {}},
        {"DEC big to I4", Dec(false, 0, 0xFFFFFFFF, 0), VT_I4, DISP_E_OVERFLOW, {}},
        {"DEC to R8", Dec(false, 2, 0, 150), VT_R8, S_OK, R8(1.5)},
        {"DEC max to R8", Dec(false, 0, 0xFFFFFFFF, ~0ull), VT_R8, S_OK, R8(7.9228162514264338e+28)},
        {"DEC to R4", Dec(false, 2, 0, 150), VT_R4, S_OK, R4(1.5f)},
        {"DEC to DATE", Dec(false, 2, 0, 150), VT_DATE, S_OK, Date(1.5)},
        {"DEC scale 29 is invalid", Dec(false, 29, 0, 1), VT_I4, E_INVALIDARG, {}},
    });
}

TEST(VariantChangeType, DatesAsLocaleText)
{
    check({
        {"en date and time", Date(43831.5), VT_BSTR, S_OK, Str(L"1/1/2020 12:00:00 PM")},
        {"en date only", Date(43831.0), VT_BSTR, S_OK, Str(L"1/1/2020")},
        {"en time only", Date(0.5), VT_BSTR, S_OK, Str(L"12:00:00 PM")},
        {"en midnight of day 0", Date(0.0), VT_BSTR, S_OK, Str(L"12:00:00 AM")},
        {"en before 1899-12-30", Date(-1.5), VT_BSTR, S_OK, Str(L"12/29/1899 12:00:00 PM")},
        {"en rounds to seconds", Date(43831.0 + 1.0 / 86400 - 1e-9), VT_BSTR, S_OK, Str(L"1/1/2020 12:00:01 AM")},
        {"en afternoon", Date(43831.0 + (15 * 3600 + 4 * 60 + 5) / 86400.0), VT_BSTR, S_OK, Str(L"1/1/2020 3:04:05 PM")},
        {"de", Date(44189.75), VT_BSTR, S_OK, Str(L"24.12.2020 18:00:00"), kDeDe},
        {"de time only", Date(0.0), VT_BSTR, S_OK, Str(L"00:00:00"), kDeDe},
        {"sv", Date(43831.5), VT_BSTR, S_OK, Str(L"2020-01-01 12:00:00"), kSvSe},
        {"sv date only", Date(1.0), VT_BSTR, S_OK, Str(L"1899-12-31"), kSvSe},
        {"last day", Date(2958465.9999), VT_BSTR, S_OK, Str(L"9999-12-31 23:59:51"), kSvSe},
        {"'1/2/2020' en", Str(L"1/2/2020"), VT_DATE, S_OK, Date(43832)},
        {"'1/2/2020' de", Str(L"1/2/2020"), VT_DATE, S_OK, Date(43862), kDeDe},
        {"'02.01.2020' de", Str(L"02.01.2020"), VT_DATE, S_OK, Date(43832), kDeDe},
        {"'02.01.2020' en", Str(L"02.01.2020"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"ISO date", Str(L"2020-01-02"), VT_DATE, S_OK, Date(43832), kDeDe},
        {"ISO date and time", Str(L"2020-01-02 15:04:05"), VT_DATE, S_OK, Date(43832.627835648149), kSvSe},
        {"en with PM", Str(L"1/2/2020 3:04:05 PM"), VT_DATE, S_OK, Date(43832.627835648149)},
        {"de with time", Str(L"02.01.2020 15:04:05"), VT_DATE, S_OK, Date(43832.627835648149), kDeDe},
        {"time only", Str(L"15:04:05"), VT_DATE, S_OK, Date(0.62783564814814818)},
        {"short time", Str(L"3:04 PM"), VT_DATE, S_OK, Date(0.62777777777777777)},
        {"midnight AM", Str(L"12:00:00 AM"), VT_DATE, S_OK, Date(0)},
        {"month name", Str(L"Jan 2, 2020"), VT_DATE, S_OK, Date(43832)},
        {"two-digit year", Str(L"1/2/20"), VT_DATE, S_OK, Date(43832)},
        {"day and month swapped", Str(L"13/1/2020"), VT_DATE, S_OK, Date(43843)},
        {"word", Str(L"abc"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"ISO with T", Str(L"2020-01-02T15:04:05"), VT_DATE, DISP_E_TYPEMISMATCH, {}},
        {"R8 in range", R8(-657434.5), VT_DATE, S_OK, Date(-657434.5)},
        {"R8 past 9999", R8(2958466.0), VT_DATE, DISP_E_OVERFLOW, {}},
        {"R8 before 100", R8(-657435.0), VT_DATE, DISP_E_OVERFLOW, {}},
        {"I4 past 9999", I4(3000000), VT_DATE, DISP_E_OVERFLOW, {}},
        {"DATE 0 to BOOL", Date(0), VT_BOOL, S_OK, Bool(false)},
    });
}

TEST(VariantChangeType, EmptyNullAndBadTypes)
{
    check({
        {"EMPTY to I4", Empty(), VT_I4, S_OK, I4(0)},
        {"EMPTY to BSTR", Empty(), VT_BSTR, S_OK, Str(L"")},
        {"EMPTY to DEC", Empty(), VT_DECIMAL, S_OK, Dec(false, 0, 0, 0)},
        {"EMPTY to NULL", Empty(), VT_NULL, S_OK, Null()},
        {"NULL to I4", Null(), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"NULL to BSTR", Null(), VT_BSTR, DISP_E_TYPEMISMATCH, {}},
        {"NULL to EMPTY", Null(), VT_EMPTY, DISP_E_TYPEMISMATCH, {}},
        {"NULL to NULL", Null(), VT_NULL, S_OK, Null()},
        {"I4 to EMPTY", I4(5), VT_EMPTY, S_OK, Empty()},
        {"I4 to NULL", I4(5), VT_NULL, S_OK, Null()},
        {"I4 to I4 copies", I4(5), VT_I4, S_OK, I4(5)},
        {"BSTR to BSTR copies", Str(L"x\0y"), VT_BSTR, S_OK, Str(L"x\0y")},
        {"bad target 0xFFF", I4(5), 0xFFF, DISP_E_BADVARTYPE, {}},
        {"bad target 15", I4(5), 15, DISP_E_BADVARTYPE, {}},
        {"vector target", I4(5), VT_I4 | VT_VECTOR, DISP_E_BADVARTYPE, {}},
        {"VOID target", I4(5), VT_VOID, DISP_E_BADVARTYPE, {}},
        {"by-reference target", I4(5), VT_I4 | VT_BYREF, DISP_E_TYPEMISMATCH, {}},
        {"array target", I4(5), VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"VARIANT target", I4(5), VT_VARIANT, DISP_E_TYPEMISMATCH, {}},
        {"UNKNOWN target", I4(5), VT_UNKNOWN, DISP_E_TYPEMISMATCH, {}},
    });
}

// Rows where Wine 8's oleaut32 and Windows part ways; the stand-in follows Windows.
TEST(VariantChangeType, WindowsBehaviourWineDoesNotShare)
{
#ifdef _WIN32
    GTEST_SKIP() << "checked natively only";
#endif
    check({
        // Every other numeric target reads VARIANT_TRUE as -1; Wine 8 gives +1 here.
        {"true to DEC", Bool(true), VT_DECIMAL, S_OK, Dec(true, 0, 0, 1)},
        // Windows writes R8 to DECIMAL with 15 significant digits and R4 with 7 (the rule
        // .NET documents for its decimal, which is this code); Wine keeps more.
        {"R8 1/3 to DEC", R8(1.0 / 3), VT_DECIMAL, S_OK, Dec(false, 15, 0, 333333333333333ull)},
        {"R4 1234.5678 to DEC", R4(1234.5678f), VT_DECIMAL, S_OK, Dec(false, 3, 0, 1234568)},
        // The de-DE short date is dd.MM.yyyy; Wine 8 drops the leading zeros.
        {"de pads day and month", Date(43831.5), VT_BSTR, S_OK, Str(L"01.01.2020 12:00:00"), kDeDe},
    });
}

TEST(VariantChangeType, ConvertsInPlaceAndFollowsReferences)
{
    VARIANT v = toVariant(Str(L"42"));
    ASSERT_EQ(S_OK, VariantChangeTypeEx(&v, &v, kEnUs, 0, VT_I4));
    EXPECT_EQ(VT_I4, v.vt);
    EXPECT_EQ(42, v.lVal);

    double target = 2.5;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_R8 | VT_BYREF;
    ref.pdblVal = &target;
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(S_OK, VariantChangeTypeEx(&out, &ref, kEnUs, 0, VT_BSTR));
    EXPECT_EQ(std::wstring(L"2.5"), std::wstring(out.bstrVal));
    VariantClear(&out);

    // A failed conversion leaves the destination as it was.
    VARIANT keep = toVariant(I4(7));
    VARIANT bad = toVariant(Str(L"x"));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeTypeEx(&keep, &bad, kEnUs, 0, VT_I4));
    EXPECT_EQ(VT_I4, keep.vt);
    EXPECT_EQ(7, keep.lVal);
#ifndef _WIN32
    // oleaut32 dereferences a NULL destination; the stand-in refuses it instead.
    EXPECT_EQ(E_INVALIDARG, VariantChangeTypeEx(nullptr, &bad, kEnUs, 0, VT_I4));
#endif
    VariantClear(&bad);
}

}  // namespace
}  // namespace kv::platform::test
