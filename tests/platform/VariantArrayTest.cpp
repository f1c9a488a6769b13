// Arrays: VariantChangeTypeEx keeps element types; changeArrayType converts elements.
#include <gtest/gtest.h>

#include <vector>

#include "platform/VariantArray.h"
#include "tests/platform/VariantTestSupport.h"

namespace kv::platform::test {
namespace {

TVCmnVariant r8Array(const std::vector<double>& values, LONG lower = 0)
{
    TVCmnVariant owner;
    VARIANT& v = *owner.put();
    v.vt = VT_ARRAY | VT_R8;
    v.parray = SafeArrayCreateVector(VT_R8, lower, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
        LONG index = lower + i;
        double value = values[static_cast<std::size_t>(i)];
        SafeArrayPutElement(v.parray, &index, &value);
    }
    return owner;
}

// VariantChangeTypeEx only copies arrays of the same type; changeArrayType converts.
TEST(VariantArray, ConvertsElementByElement)
{
    const struct {
        const char* name;
        std::vector<double> values;
        VARTYPE to;
        LCID lcid;
        HRESULT hr;
        std::vector<std::string> expected;  // describe() of each element
    } rows[] = {
        {"to I4 rounds to even", {2.5, 3.5, -2.5}, VT_ARRAY | VT_I4, 1033, S_OK, {"vt=3 2", "vt=3 4", "vt=3 -2"}},
        {"to BSTR in de-DE", {1.5, -0.25}, VT_ARRAY | VT_BSTR, 1031, S_OK, {"vt=8 \"1,5\"", "vt=8 \"-0,25\""}},
        {"to VARIANT", {1.5}, VT_ARRAY | VT_VARIANT, 1033, S_OK, {"vt=5 1.5"}},
        {"one element overflows", {1, 1e10}, VT_ARRAY | VT_I4, 1033, DISP_E_OVERFLOW, {}},
    };
    for (const auto& row : rows) {
        TVCmnVariant src = r8Array(row.values, 1), owner;
        VARIANT& dst = owner.get();
        EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeTypeEx(&dst, &src.get(), 1033, 0, VT_ARRAY | VT_I4)) << row.name;
        EXPECT_EQ(row.hr, changeArrayType(&dst, &src.get(), row.lcid, 0, row.to)) << row.name;
        if (row.hr == S_OK) {
            EXPECT_EQ(row.to, dst.vt) << row.name;
            LONG lower = 0, upper = 0;
            SafeArrayGetLBound(dst.parray, 1, &lower);
            SafeArrayGetUBound(dst.parray, 1, &upper);
            EXPECT_EQ(1, lower) << row.name;  // bounds are kept
            ASSERT_EQ(static_cast<LONG>(row.expected.size()), upper - lower + 1) << row.name;
            for (LONG i = lower; i <= upper; ++i) {
                TVCmnVariant elementOwner;
                VARIANT& element = elementOwner.get();
                const VARTYPE et = row.to & VT_TYPEMASK;
                SafeArrayGetElement(dst.parray, &i, et == VT_VARIANT ? static_cast<void*>(&element) : &element.llVal);
                if (et != VT_VARIANT)
                    element.vt = et;
                EXPECT_EQ(row.expected[static_cast<std::size_t>(i - lower)], describe(element)) << row.name << " [" << i << "]";
            }
        } else {
            EXPECT_EQ(VT_EMPTY, dst.vt) << row.name;
        }
    }
}

}  // namespace
}  // namespace kv::platform::test
