// BSTR, SAFEARRAY and VARIANT life cycle: lengths, embedded NULs, bounds, locks and
// the error codes callers see for bad arguments.
#include <gtest/gtest.h>

#include <string>

#include "tests/platform/VariantTestSupport.h"

namespace kv::platform::test {
namespace {

TEST(Bstr, LengthsCountCharactersAndBytes)
{
    const OLECHAR text[] = {L'a', 0, L'b', L'c'};
    BSTR s = SysAllocStringLen(text, 4);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(4u, SysStringLen(s));
    EXPECT_EQ(4u * sizeof(OLECHAR), SysStringByteLen(s));
    EXPECT_EQ(std::wstring(text, 4), std::wstring(s, SysStringLen(s)));
    EXPECT_EQ(0, s[4]);  // terminated even with embedded NULs
    SysFreeString(s);

    BSTR plain = SysAllocString(L"Drive");
    EXPECT_EQ(5u, SysStringLen(plain));
    EXPECT_TRUE(SysReAllocString(&plain, L"Drive 12"));
    EXPECT_STREQ(L"Drive 12", plain);
    EXPECT_TRUE(SysReAllocStringLen(&plain, plain, 5));  // may shrink from its own text
    EXPECT_STREQ(L"Drive", plain);
    SysFreeString(plain);
}

TEST(Bstr, NullIsTheEmptyString)
{
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    EXPECT_EQ(0u, SysStringByteLen(nullptr));
    SysFreeString(nullptr);

    BSTR blank = SysAllocStringLen(nullptr, 3);  // room for three characters
    ASSERT_NE(nullptr, blank);
    EXPECT_EQ(3u, SysStringLen(blank));
    SysFreeString(blank);
}

TEST(Bstr, ByteLengthKeepsOddCounts)
{
    BSTR bytes = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(3u, SysStringByteLen(bytes));
    EXPECT_EQ(0, std::memcmp(bytes, "abc", 4));  // the terminator follows the bytes
    SysFreeString(bytes);
}

TEST(SafeArray, BoundsDimensionsAndElementSizes)
{
    const struct {
        VARTYPE vt;
        UINT size;
    } rows[] = {
        {VT_UI1, 1}, {VT_I2, 2}, {VT_BOOL, 2}, {VT_I4, 4}, {VT_R4, 4}, {VT_R8, 8}, {VT_DATE, 8},
        {VT_CY, 8}, {VT_BSTR, sizeof(BSTR)}, {VT_VARIANT, sizeof(VARIANT)}, {VT_DECIMAL, sizeof(DECIMAL)},
    };
    for (const auto& row : rows) {
        SAFEARRAY* sa = SafeArrayCreateVector(row.vt, -2, 5);
        ASSERT_NE(nullptr, sa) << row.vt;
        EXPECT_EQ(1u, SafeArrayGetDim(sa));
        EXPECT_EQ(row.size, SafeArrayGetElemsize(sa)) << row.vt;
        VARTYPE vt = 0;
        EXPECT_EQ(S_OK, SafeArrayGetVartype(sa, &vt));
        EXPECT_EQ(row.vt, vt);
        LONG lower = 0, upper = 0;
        EXPECT_EQ(S_OK, SafeArrayGetLBound(sa, 1, &lower));
        EXPECT_EQ(S_OK, SafeArrayGetUBound(sa, 1, &upper));
        EXPECT_EQ(-2, lower);
        EXPECT_EQ(2, upper);
        EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetLBound(sa, 0, &lower));
        EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetUBound(sa, 2, &upper));
        EXPECT_EQ(S_OK, SafeArrayDestroy(sa));
    }
    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_EMPTY, 0, 1));
}

TEST(SafeArray, ElementsOutsideTheBoundsAreRefused)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_I4, 1, 3);
    LONG value = 42;
    const struct {
        LONG index;
        HRESULT hr;
    } rows[] = {{0, DISP_E_BADINDEX}, {1, S_OK}, {3, S_OK}, {4, DISP_E_BADINDEX}, {-1, DISP_E_BADINDEX}};
    for (const auto& row : rows) {
        LONG index = row.index;
        EXPECT_EQ(row.hr, SafeArrayPutElement(sa, &index, &value)) << row.index;
        LONG read = 0;
        EXPECT_EQ(row.hr, SafeArrayGetElement(sa, &index, &read)) << row.index;
        if (row.hr == S_OK) {
            EXPECT_EQ(42, read);
        }
    }
    SafeArrayDestroy(sa);
}

TEST(SafeArray, TwoDimensionsVaryLeftmostFastest)
{
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 10}};  // [0..1][10..12]
    SAFEARRAY* sa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(nullptr, sa);
    for (LONG j = 10; j <= 12; ++j)
        for (LONG i = 0; i <= 1; ++i) {
            LONG index[2] = {i, j};
            LONG value = i * 100 + j;
            ASSERT_EQ(S_OK, SafeArrayPutElement(sa, index, &value));
        }
    LONG* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(sa, reinterpret_cast<void**>(&data)));
    EXPECT_EQ(10, data[0]);
    EXPECT_EQ(110, data[1]);
    EXPECT_EQ(11, data[2]);
    EXPECT_EQ(112, data[5]);
    SafeArrayUnaccessData(sa);
    LONG upper;
    EXPECT_EQ(S_OK, SafeArrayGetUBound(sa, 2, &upper));
    EXPECT_EQ(12, upper);
    SafeArrayDestroy(sa);
}

TEST(SafeArray, LockedArraysCannotBeDestroyedOrResized)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    void* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(sa, &data));
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(sa));
    SAFEARRAYBOUND bigger{4, 0};
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayRedim(sa, &bigger));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = sa;
    EXPECT_EQ(DISP_E_ARRAYISLOCKED, VariantClear(&v));
    EXPECT_EQ(S_OK, SafeArrayUnaccessData(sa));
    EXPECT_EQ(E_UNEXPECTED, SafeArrayUnlock(sa));
    EXPECT_EQ(S_OK, SafeArrayRedim(sa, &bigger));
    LONG upper;
    SafeArrayGetUBound(sa, 1, &upper);
    EXPECT_EQ(3, upper);
    EXPECT_EQ(S_OK, VariantClear(&v));
    EXPECT_EQ(VT_EMPTY, v.vt);
}

TEST(SafeArray, BadArgumentsAreRefused)
{
    LONG index = 0, out;
    void* data;
    EXPECT_EQ(E_INVALIDARG, SafeArrayLock(nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayAccessData(nullptr, &data));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(nullptr, &index, &out));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetLBound(nullptr, 1, &out));
    EXPECT_EQ(S_OK, SafeArrayDestroy(nullptr));
    EXPECT_EQ(0u, SafeArrayGetDim(nullptr));
}

TEST(SafeArray, CopyIsDeep)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, 1);
    LONG index = 0;
    BSTR s = SysAllocString(L"speed");
    SafeArrayPutElement(sa, &index, s);  // the array keeps its own copy
    SysFreeString(s);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(S_OK, SafeArrayCopy(sa, &copy));
    SafeArrayDestroy(sa);
    BSTR read = nullptr;
    ASSERT_EQ(S_OK, SafeArrayGetElement(copy, &index, &read));
    EXPECT_STREQ(L"speed", read);
    SysFreeString(read);
    SafeArrayDestroy(copy);
}

TEST(Variant, CopyAndClearOwnTheirContents)
{
    VARIANT src = toVariant(Str(L"torque"));
    VARIANT dst = toVariant(Str(L"old"));
    ASSERT_EQ(S_OK, VariantCopy(&dst, &src));  // frees "old"
    EXPECT_NE(src.bstrVal, dst.bstrVal);
    EXPECT_STREQ(L"torque", dst.bstrVal);
    VariantClear(&src);
    EXPECT_STREQ(L"torque", dst.bstrVal);
    EXPECT_EQ(S_OK, VariantClear(&dst));
    EXPECT_EQ(VT_EMPTY, dst.vt);

    VARIANT array;
    VariantInit(&array);
    array.vt = VT_ARRAY | VT_R8;
    array.parray = SafeArrayCreateVector(VT_R8, 0, 3);
    VARIANT arrayCopy;
    VariantInit(&arrayCopy);
    ASSERT_EQ(S_OK, VariantCopy(&arrayCopy, &array));
    EXPECT_NE(array.parray, arrayCopy.parray);
    VariantClear(&array);
    VariantClear(&arrayCopy);
}

TEST(Variant, InvalidTypesAreRefused)
{
    const VARTYPE rows[] = {15, VT_VOID, 0xFFF, VT_I4 | VT_VECTOR, VT_ARRAY | VT_EMPTY, VT_BYREF | VT_NULL};
    for (VARTYPE vt : rows) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        EXPECT_EQ(DISP_E_BADVARTYPE, VariantClear(&v)) << vt;
        VARIANT copy;
        VariantInit(&copy);
        EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopy(&copy, &v)) << vt;
    }
}

TEST(Variant, DecimalOverlaysTheWholeVariant)
{
    VARIANT v;
    VariantInit(&v);
    v.decVal.Lo64 = 5;
    v.vt = VT_DECIMAL;
    EXPECT_EQ(VT_DECIMAL, V_VT(&v));
    EXPECT_EQ(5u, V_DECIMAL(&v).Lo64);
    EXPECT_EQ(static_cast<const void*>(&v), static_cast<const void*>(&v.decVal));
    EXPECT_EQ(sizeof(DECIMAL), sizeof(VARIANT) - sizeof(void*));
}

TEST(Variant, CopyIndFollowsOneReference)
{
    LONG target = 17;
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_I4 | VT_BYREF;
    ref.plVal = &target;
    VARIANT out;
    VariantInit(&out);
    ASSERT_EQ(S_OK, VariantCopyInd(&out, &ref));
    EXPECT_EQ(VT_I4, out.vt);
    EXPECT_EQ(17, out.lVal);

    VARIANT inner = toVariant(Str(L"x"));
    VARIANT refToVariant;
    VariantInit(&refToVariant);
    refToVariant.vt = VT_VARIANT | VT_BYREF;
    refToVariant.pvarVal = &inner;
    ASSERT_EQ(S_OK, VariantCopyInd(&out, &refToVariant));
    EXPECT_EQ(VT_BSTR, out.vt);
    EXPECT_NE(inner.bstrVal, out.bstrVal);
    VariantClear(&out);
    VariantClear(&inner);
}

TEST(VariantTime, SystemTimeRoundTrip)
{
    const struct {
        SYSTEMTIME st;
        DATE date;
    } rows[] = {
        {{1899, 12, 6, 30, 0, 0, 0, 0}, 0.0},
        {{2020, 1, 3, 1, 12, 0, 0, 0}, 43831.5},
        {{1899, 12, 5, 29, 12, 0, 0, 0}, -1.5},
        {{100, 1, 5, 1, 0, 0, 0, 0}, -657434.0},
        {{9999, 12, 5, 31, 0, 0, 0, 0}, 2958465.0},
    };
    for (const auto& row : rows) {
        SYSTEMTIME st = row.st;
        DATE d = -99;
        ASSERT_TRUE(SystemTimeToVariantTime(&st, &d)) << row.date;
        EXPECT_DOUBLE_EQ(row.date, d);
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(row.date, &back)) << row.date;
        EXPECT_EQ(row.st.wYear, back.wYear);
        EXPECT_EQ(row.st.wMonth, back.wMonth);
        EXPECT_EQ(row.st.wDay, back.wDay);
        EXPECT_EQ(row.st.wDayOfWeek, back.wDayOfWeek) << row.date;
        EXPECT_EQ(row.st.wHour, back.wHour);
    }
    SYSTEMTIME pastMonthEnd{2020, 2, 0, 30, 0, 0, 0, 0};
    DATE d;
    ASSERT_TRUE(SystemTimeToVariantTime(&pastMonthEnd, &d));
    EXPECT_DOUBLE_EQ(43891.0, d);  // 1 March 2020
    SYSTEMTIME rows2[] = {{2020, 13, 0, 1, 0, 0, 0, 0}, {2020, 1, 0, 32, 0, 0, 0, 0}};
    for (SYSTEMTIME& bad : rows2)
        EXPECT_FALSE(SystemTimeToVariantTime(&bad, &d)) << bad.wMonth << "/" << bad.wDay << " " << bad.wHour;
}

}  // namespace
}  // namespace kv::platform::test
