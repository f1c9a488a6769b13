// The BSTR, VARIANT and SAFEARRAY owners. Leaks and double frees show up under ASan
// (native-asan); under Wine the same tests run against oleaut32 itself.
#include "common/TVCmnVariant.h"

#include <gtest/gtest.h>

#include "common/TVCmnBstr.h"
#include "common/TVCmnSafeArray.h"
#include "common/TVCmnTaskMem.h"

namespace {

TEST(TVCmnBstrTest, CopiesOwnTheirTextAndOutArgumentsChangeHands)
{
    TVCmnBstr name = TVCmnBstr::fromAnsi("Ger\xE4t");
    TVCmnBstr copy = name;
    EXPECT_NE(copy.get(), name.get()) << "a copy is a new allocation";
    name = TVCmnBstr(L"Drive 2");
    EXPECT_EQ(copy.view(), L"Ger\u00E4t");
    EXPECT_EQ(copy.toAnsi(), "Ger\xE4t");
    EXPECT_EQ(TVCmnBstr(std::wstring_view(L"a\0b", 3)).length(), 3u) << "BSTRs carry their length, zeros included";
    EXPECT_EQ(TVCmnBstr().view(), L"") << "a null BSTR reads as the empty text";

    BSTR out = nullptr;
    ASSERT_EQ(copy.copyTo(&out), S_OK);
    TVCmnBstr received;
    *received.put() = out;  // as a COM call fills an [out] BSTR
    name.attach(received.detach());  // frees "Drive 2", owns the received text
    EXPECT_EQ(received.get(), nullptr);
    EXPECT_EQ(name.view(), L"Ger\u00E4t");
    EXPECT_EQ(name.copyTo(nullptr), E_POINTER);
    BSTR none = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(TVCmnBstr().copyTo(&none), S_OK);
    EXPECT_EQ(none, nullptr);
}

TEST(TVCmnVariantTest, CopiesAreDeepMovesEmptyTheSourceAndValuesChangeHands)
{
    TVCmnVariant text(L"speed");
    TVCmnVariant copy = text;
    EXPECT_NE(copy.get().bstrVal, text.get().bstrVal);
    TVCmnVariant moved = std::move(copy);
    EXPECT_TRUE(copy.isEmpty());
    moved = TVCmnVariant(std::int32_t(7));  // the BSTR is freed (ASan)
    moved = text;
    moved = moved;
    EXPECT_EQ(std::wstring_view(moved.get().bstrVal), L"speed");
    EXPECT_EQ(TVCmnVariant(true).get().boolVal, VARIANT_TRUE);

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
}

TEST(TVCmnVariantTest, ChangeTypeConvertsOrLeavesTheValueAlone)
{
    TVCmnVariant value(std::int32_t(42));
    ASSERT_EQ(value.changeType(VT_BSTR, LOCALE_INVARIANT), S_OK);
    EXPECT_EQ(std::wstring_view(value.get().bstrVal), L"42");
    TVCmnVariant text(L"not a number");
    EXPECT_EQ(text.changeType(VT_I4, LOCALE_INVARIANT), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(text.vt(), VT_BSTR) << "a failed conversion keeps the old value";
    EXPECT_EQ(std::wstring_view(text.get().bstrVal), L"not a number");
}

TEST(TVCmnSafeArrayTest, ScopedAccessReleasesTheLockForTheHandOver)
{
    TVCmnSafeArray limits = TVCmnSafeArray::createVector(VT_R8, 2);
    {
        TVCmnSafeArrayAccess<double> data(limits.get());
        ASSERT_TRUE(data.ok());
        data[1] = 1500.0;
    }
    TVCmnVariant euInfo;
    VARIANT* slot = euInfo.put();
    slot->vt = VT_ARRAY | VT_R8;
    slot->parray = limits.detach();
    TVCmnVariant copy = euInfo;  // a lock left behind would make the clear fail (ASan: a leak)
    TVCmnSafeArrayAccess<double> copied(copy.get().parray);
    ASSERT_TRUE(copied.ok());
    EXPECT_EQ(copied[1], 1500.0);
    EXPECT_EQ(TVCmnSafeArrayAccess<double>(nullptr).result(), E_INVALIDARG);
    EXPECT_EQ(TVCmnSafeArray::createVector(VT_BSTR, 0).count(), 0u);
}

}  // namespace
