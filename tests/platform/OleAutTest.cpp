// BSTR, SAFEARRAY and VARIANT life cycle: lengths, embedded NULs, bounds, locks and
// the error codes callers see for bad arguments.
#include <gtest/gtest.h>

#include <string>

#include "tests/platform/VariantTestSupport.h"

namespace kv::platform::test {
namespace {

TEST(Bstr, LengthsCountEmbeddedNulsAndOddByteCounts)
{
    const OLECHAR text[] = {L'a', 0, L'b', L'c'};
    BSTR s = SysAllocStringLen(text, 4);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(4u, SysStringLen(s));
    EXPECT_EQ(4u * sizeof(OLECHAR), SysStringByteLen(s));
    EXPECT_EQ(0, s[4]);  // terminated even with embedded NULs
    EXPECT_TRUE(SysReAllocStringLen(&s, s, 1));  // may shrink from its own text
    EXPECT_EQ(1u, SysStringLen(s));
    EXPECT_STREQ(L"a", s);
    SysFreeString(s);

    BSTR bytes = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(nullptr, bytes);
    EXPECT_EQ(3u, SysStringByteLen(bytes));
    EXPECT_EQ(0, std::memcmp(bytes, "abc", 4));  // the terminator follows the bytes
    SysFreeString(bytes);

    // NULL is the empty string; a NULL source leaves room for the characters.
    EXPECT_EQ(nullptr, SysAllocString(nullptr));
    EXPECT_EQ(0u, SysStringLen(nullptr));
    BSTR blank = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(nullptr, blank);
    EXPECT_EQ(3u, SysStringLen(blank));
    SysFreeString(blank);
}

TEST(SafeArray, BoundsAndElementSizes)
{
    const struct {
        VARTYPE vt;
        UINT size;
    } rows[] = {{VT_UI1, 1}, {VT_BSTR, sizeof(BSTR)}, {VT_DECIMAL, sizeof(DECIMAL)}};
    for (const auto& row : rows) {
        SAFEARRAY* sa = SafeArrayCreateVector(row.vt, -2, 5);
        ASSERT_NE(nullptr, sa) << row.vt;
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

    SAFEARRAY* sa = SafeArrayCreateVector(VT_I4, 1, 3);
    LONG value = 42;
    for (auto [index, hr] : {std::pair<LONG, HRESULT>{0, DISP_E_BADINDEX}, {1, S_OK}, {3, S_OK}, {4, DISP_E_BADINDEX}}) {
        EXPECT_EQ(hr, SafeArrayPutElement(sa, &index, &value)) << index;
        LONG read = 0;
        EXPECT_EQ(hr, SafeArrayGetElement(sa, &index, &read)) << index;
        EXPECT_EQ(hr == S_OK ? 42 : 0, read) << index;
    }
    SafeArrayDestroy(sa);
}

TEST(SafeArray, LockedArraysCannotBeDestroyedOrResizedAndNullIsRefused)
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

    LONG index = 0, out;
    EXPECT_EQ(E_INVALIDARG, SafeArrayLock(nullptr));
    EXPECT_EQ(E_INVALIDARG, SafeArrayAccessData(nullptr, &data));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetElement(nullptr, &index, &out));
    EXPECT_EQ(E_INVALIDARG, SafeArrayGetLBound(nullptr, 1, &out));
    EXPECT_EQ(S_OK, SafeArrayDestroy(nullptr));
    EXPECT_EQ(0u, SafeArrayGetDim(nullptr));
}

// Deep copies are tested with the owners (tests/common); this is the by-reference path.
TEST(Variant, CopyIndFollowsOneReference)
{
    TVCmnVariant copy;
    TVCmnVariant inner = Str(L"x");
    VARIANT ref;  // borrows inner: nothing to clear
    VariantInit(&ref);
    ref.vt = VT_VARIANT | VT_BYREF;
    ref.pvarVal = &inner.get();
    ASSERT_EQ(S_OK, VariantCopyInd(copy.put(), &ref));
    EXPECT_TRUE(sameValue(copy.get(), Str(L"x"))) << describe(copy.get());
    EXPECT_NE(inner.get().bstrVal, copy.get().bstrVal);
}

TEST(Variant, InvalidTypesAreRefusedAndDecimalOverlaysTheWhole)
{
    for (VARTYPE vt : {VARTYPE(15), VARTYPE(VT_I4 | VT_VECTOR), VARTYPE(VT_ARRAY | VT_EMPTY)}) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        EXPECT_EQ(DISP_E_BADVARTYPE, VariantClear(&v)) << vt;
        VARIANT copy;
        VariantInit(&copy);
        EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopy(&copy, &v)) << vt;
    }
    VARIANT v;
    EXPECT_EQ(static_cast<const void*>(&v), static_cast<const void*>(&v.decVal));
    EXPECT_EQ(sizeof(DECIMAL), sizeof(VARIANT) - sizeof(void*));
}

// SystemTimeToVariantTime rolls a day past the month's end over as oleaut32 does.
TEST(VariantTime, SystemTimeRoundTrip)
{
    const struct {
        SYSTEMTIME st;
        DATE date;
    } rows[] = {
        {{2020, 1, 3, 1, 12, 0, 0, 0}, 43831.5},
        {{1899, 12, 5, 29, 12, 0, 0, 0}, -1.5},
        {{9999, 12, 5, 31, 0, 0, 0, 0}, 2958465.0},
    };
    for (const auto& row : rows) {
        SYSTEMTIME st = row.st;
        DATE d = -99;
        ASSERT_TRUE(SystemTimeToVariantTime(&st, &d)) << row.date;
        EXPECT_DOUBLE_EQ(row.date, d);
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(row.date, &back)) << row.date;
        EXPECT_EQ(0, std::memcmp(&row.st, &back, sizeof back)) << row.date;
    }
    SYSTEMTIME pastMonthEnd{2020, 2, 0, 30, 0, 0, 0, 0};
    DATE d;
    ASSERT_TRUE(SystemTimeToVariantTime(&pastMonthEnd, &d));
    EXPECT_DOUBLE_EQ(43891.0, d);  // 1 March 2020
    SYSTEMTIME bad[] = {{2020, 13, 0, 1, 0, 0, 0, 0}, {2020, 1, 0, 32, 0, 0, 0, 0}};
    for (SYSTEMTIME& st : bad)
        EXPECT_FALSE(SystemTimeToVariantTime(&st, &d)) << st.wMonth << "/" << st.wDay;
}

}  // namespace
}  // namespace kv::platform::test
