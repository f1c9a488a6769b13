// The BSTR, VARIANT and SAFEARRAY owners. Leaks and double frees show up under ASan
// (native-asan); under Wine the same tests run against oleaut32 itself.
#include "common/TVCmnVariant.h"

#include <gtest/gtest.h>

#include "common/TVCmnBstr.h"
#include "common/TVCmnException.h"
#include "common/TVCmnSafeArray.h"
#include "common/TVCmnTaskMem.h"

namespace {

TEST(TVCmnBstrTest, OwnsItsOwnCopyOfTheText)
{
    TVCmnBstr name(L"Drive 1");
    TVCmnBstr copy = name;
    EXPECT_NE(copy.get(), name.get()) << "a copy is a new allocation";
    EXPECT_EQ(copy.view(), L"Drive 1");

    name = TVCmnBstr(L"Drive 2");
    EXPECT_EQ(copy.view(), L"Drive 1");

    TVCmnBstr embedded(std::wstring_view(L"a\0b", 3));
    EXPECT_EQ(embedded.length(), 3u) << "BSTRs carry their length, zeros included";

    TVCmnBstr empty;
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.view(), L"") << "a null BSTR reads as the empty text";
    EXPECT_EQ(TVCmnBstr(static_cast<const wchar_t*>(nullptr)).get(), nullptr);
}

TEST(TVCmnBstrTest, OutArgumentsAttachAndDetach)
{
    TVCmnBstr held = TVCmnBstr::fromAnsi("Ger\xE4t");
    EXPECT_EQ(held.view(), L"Ger\u00E4t");
    EXPECT_EQ(held.toAnsi(), "Ger\xE4t");

    BSTR out = nullptr;
    ASSERT_EQ(held.copyTo(&out), S_OK);
    EXPECT_NE(out, held.get());
    TVCmnBstr received;
    *received.put() = out;  // as a COM call fills an [out] BSTR
    EXPECT_EQ(received.view(), held.view());

    BSTR given = received.detach();
    EXPECT_EQ(received.get(), nullptr);
    held.attach(given);  // frees the old text, owns the given one
    EXPECT_EQ(held.view(), L"Ger\u00E4t");

    EXPECT_EQ(held.copyTo(nullptr), E_POINTER);
    BSTR none = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(TVCmnBstr().copyTo(&none), S_OK);
    EXPECT_EQ(none, nullptr);
}

TEST(TVCmnVariantTest, CopiesAreDeepAndMovesLeaveTheSourceEmpty)
{
    TVCmnVariant text(L"speed");
    TVCmnVariant copy = text;
    ASSERT_EQ(copy.vt(), VT_BSTR);
    EXPECT_NE(copy.get().bstrVal, text.get().bstrVal);

    TVCmnVariant moved = std::move(copy);
    EXPECT_TRUE(copy.isEmpty());
    EXPECT_EQ(std::wstring_view(moved.get().bstrVal), L"speed");

    moved = TVCmnVariant(std::int32_t(7));  // the BSTR is freed (ASan)
    EXPECT_EQ(moved.vt(), VT_I4);
    moved = text;
    EXPECT_EQ(moved.vt(), VT_BSTR);
    moved = moved;
    EXPECT_EQ(std::wstring_view(moved.get().bstrVal), L"speed");

    struct Row {
        const char* name;
        TVCmnVariant value;
        VARTYPE vt;
    };
    const Row rows[] = {
        {"int", TVCmnVariant(std::int32_t(-5)), VT_I4},
        {"double", TVCmnVariant(2.5), VT_R8},
        {"bool", TVCmnVariant(true), VT_BOOL},
        {"text", TVCmnVariant(L"x"), VT_BSTR},
        {"empty", TVCmnVariant(), VT_EMPTY},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.value.vt(), row.vt) << row.name;
    EXPECT_EQ(TVCmnVariant(true).get().boolVal, VARIANT_TRUE);
}

TEST(TVCmnVariantTest, HandsValuesInAndOutOfPlainVariants)
{
    VARIANT incoming;
    VariantInit(&incoming);
    incoming.vt = VT_BSTR;
    incoming.bstrVal = SysAllocString(L"from client");
    TVCmnVariant held;
    held.attach(incoming);
    EXPECT_EQ(incoming.vt, VT_EMPTY) << "the contents moved, nothing to clear twice";

    TVCmnTaskMem<VARIANT> results;  // a result array for a client: zero = VT_EMPTY
    ASSERT_TRUE(results.allocate(2));
    ASSERT_EQ(held.copyTo(results[0]), S_OK);
    held.detachTo(results[1]);
    EXPECT_TRUE(held.isEmpty());
    EXPECT_EQ(std::wstring_view(results[0].bstrVal), L"from client");
    EXPECT_EQ(std::wstring_view(results[1].bstrVal), L"from client");
    for (std::size_t i = 0; i < results.count(); ++i)
        VariantClear(&results[i]);  // what the client does

    TVCmnVariant filled;
    VARIANT* slot = filled.put();
    slot->vt = VT_I2;
    slot->iVal = 3;
    EXPECT_EQ(filled.vt(), VT_I2);
}

TEST(TVCmnVariantTest, ChangeTypeConvertsOrLeavesTheValueAlone)
{
    TVCmnVariant value(std::int32_t(42));
    ASSERT_EQ(value.changeType(VT_BSTR, LOCALE_INVARIANT), S_OK);
    ASSERT_EQ(value.vt(), VT_BSTR);
    EXPECT_EQ(std::wstring_view(value.get().bstrVal), L"42");

    TVCmnVariant text(L"not a number");
    EXPECT_EQ(text.changeType(VT_I4, LOCALE_INVARIANT), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(text.vt(), VT_BSTR) << "a failed conversion keeps the old value";
    EXPECT_EQ(std::wstring_view(text.get().bstrVal), L"not a number");
}

TEST(TVCmnSafeArrayTest, VectorOwnerAndScopedAccess)
{
    TVCmnSafeArray limits = TVCmnSafeArray::createVector(VT_R8, 2);
    EXPECT_EQ(limits.count(), 2u);
    {
        TVCmnSafeArrayAccess<double> data(limits.get());
        ASSERT_TRUE(data.ok());
        data[0] = 0.0;
        data[1] = 1500.0;
    }
    // Released access: the array can be destroyed and handed on.
    TVCmnVariant euInfo;
    VARIANT* slot = euInfo.put();
    slot->vt = VT_ARRAY | VT_R8;
    slot->parray = limits.detach();
    EXPECT_FALSE(limits);

    TVCmnVariant copy = euInfo;
    TVCmnSafeArrayAccess<double> copied(copy.get().parray);
    ASSERT_TRUE(copied.ok());
    EXPECT_EQ(copied[1], 1500.0);

    TVCmnSafeArrayAccess<double> none(nullptr);
    EXPECT_FALSE(none.ok());
    EXPECT_EQ(none.result(), E_INVALIDARG);

    TVCmnSafeArray empty = TVCmnSafeArray::createVector(VT_BSTR, 0);
    EXPECT_TRUE(empty);
    EXPECT_EQ(empty.count(), 0u);
    EXPECT_EQ(TVCmnSafeArray().count(), 0u);
}

}  // namespace
