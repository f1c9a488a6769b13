#include "common/TVCmnVariantText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/TVCmnSafeArray.h"
#include "tests/platform/VariantTestSupport.h"

namespace {

using namespace kv::platform::test;

template <class T>
TVCmnVariant makeArray(VARTYPE elementType, const std::vector<T>& elements)
{
    TVCmnSafeArray array = TVCmnSafeArray::createVector(elementType, static_cast<ULONG>(elements.size()));
    {
        TVCmnSafeArrayAccess<T> data(array.get());
        for (std::size_t i = 0; i < elements.size(); ++i)
            data[i] = elements[i];
    }
    return make(VT_ARRAY | elementType, [&array](VARIANT& v) { v.parray = array.detach(); });
}

TEST(TVCmnVariantTextTest, TextShowsTypeAndValue)
{
    struct Row {
        const char* name;
        TVCmnVariant value;
        const char* text;
    };
    const DATE wholeTime = 45418 + (7 * 3600 + 8 * 60 + 9.123) / 86400.0;
    const Row rows[] = {
        {"empty", TVCmnVariant(), "VT_EMPTY"},
        {"ui8", UI8(18446744073709551615ULL), "VT_UI8 18446744073709551615"},
        {"r8 shortest form", TVCmnVariant(0.1), "VT_R8 0.1"},
        {"bool true", TVCmnVariant(true), "VT_BOOL true"},
        {"bstr in the ANSI code page", TVCmnVariant(L"Ger\u00E4t 1"), "VT_BSTR Ger\xE4t 1"},
        {"error", make(VT_ERROR, [](VARIANT& v) { v.scode = static_cast<SCODE>(0x80004005); }), "VT_ERROR 0x80004005"},
        {"currency", Cy(123400), "VT_CY 12.34"},
        {"date", Date(wholeTime), "VT_DATE 2024-05-06 07:08:09.123"},
        {"negative date keeps the time forward", Date(-1.25), "VT_DATE 1899-12-29 06:00:00.000"},
        {"decimal", Dec(true, 2, 0, 12345), "VT_DECIMAL -123.45"},
        {"i4 array", makeArray<LONG>(VT_I4, {1, -2, 3}), "VT_ARRAY|VT_I4 {1,-2,3}"},
        {"null array", make(VT_ARRAY | VT_I4, [](VARIANT& v) { v.parray = nullptr; }), "VT_ARRAY|VT_I4 null"},
        {"unknown type", make(VT_CLSID, [](VARIANT&) {}), "VT_0x48 ?"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TVCmnVariantText::text(row.value.get()), row.text) << row.name;
}

TEST(TVCmnVariantTextTest, ByReferenceAndVariantArraysShowTheValuesBehind)
{
    LONG target = 7;
    TVCmnVariant reference = make(VT_BYREF | VT_I4, [&target](VARIANT& v) { v.plVal = &target; });
    EXPECT_EQ(TVCmnVariantText::text(reference.get()), "VT_BYREF|VT_I4 7");
    reference.put();  // clearing a by-reference VARIANT leaves the target alone

    TVCmnSafeArray array = TVCmnSafeArray::createVector(VT_VARIANT, 3);
    {
        TVCmnSafeArrayAccess<VARIANT> data(array.get());
        ASSERT_TRUE(data.ok());
        TVCmnVariant(std::int32_t(1)).detachTo(data[0]);
        TVCmnVariant(L"x").detachTo(data[1]);
        // data[2] stays VT_EMPTY
    }
    TVCmnVariant mixed = make(VT_ARRAY | VT_VARIANT, [&array](VARIANT& v) { v.parray = array.detach(); });
    EXPECT_EQ(TVCmnVariantText::text(mixed.get()), "VT_ARRAY|VT_VARIANT {1,x,}");
    EXPECT_EQ(TVCmnVariantText::valueText(mixed.get()), "{1,x,}");
}

TEST(TVCmnVariantTextTest, TwoDimensionalArraysNestTheFirstDimensionInnermostAndLongOnesAreCut)
{
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 0}};  // first dimension 2, second 3
    TVCmnSafeArray array;
    array.attach(SafeArrayCreate(VT_I2, 2, bounds));
    ASSERT_TRUE(array);
    for (LONG second = 0; second < 3; ++second) {
        for (LONG first = 0; first < 2; ++first) {
            LONG indices[2] = {first, second};
            SHORT value = static_cast<SHORT>(10 * first + second);
            ASSERT_EQ(SafeArrayPutElement(array.get(), indices, &value), S_OK);
        }
    }
    TVCmnVariant matrix = make(VT_ARRAY | VT_I2, [&array](VARIANT& v) { v.parray = array.detach(); });
    EXPECT_EQ(TVCmnVariantText::valueText(matrix.get()), "{{0,10},{1,11},{2,12}}");

    std::vector<LONG> many(TVCmnVariantText::kMaxArrayElements + 5, 1);
    TVCmnVariant value = makeArray<LONG>(VT_I4, many);
    const std::string text = TVCmnVariantText::valueText(value.get());
    EXPECT_EQ(text.substr(text.size() - 8), "1,1,...}");
    EXPECT_EQ(std::count(text.begin(), text.end(), '1'), static_cast<long>(TVCmnVariantText::kMaxArrayElements));
}

}  // namespace
