// GUID text forms as COM writes and reads them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win.h"

namespace {

constexpr int kGuidChars = 39;  // "{8-4-4-4-12}" and the terminator

const GUID kSample = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};

TEST(Guid, TextRoundTripUsesUpperCaseBraces)
{
    OLECHAR text[kGuidChars];
    ASSERT_EQ(kGuidChars, StringFromGUID2(kSample, text, kGuidChars));
    EXPECT_STREQ(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}", text);

    CLSID back;
    ASSERT_EQ(S_OK, CLSIDFromString(text, &back));
    EXPECT_TRUE(IsEqualGUID(kSample, back));
    IID iid;
    ASSERT_EQ(S_OK, IIDFromString(L"{6b29fc40-ca47-1067-b31d-00dd010662da}", &iid));
    EXPECT_TRUE(iid == kSample);

    LPOLESTR allocated = nullptr;
    ASSERT_EQ(S_OK, StringFromCLSID(kSample, &allocated));
    EXPECT_STREQ(text, allocated);
    CoTaskMemFree(allocated);
}

TEST(Guid, BufferTooSmallWritesNothing)
{
    OLECHAR text[kGuidChars] = L"untouched";
    EXPECT_EQ(0, StringFromGUID2(kSample, text, kGuidChars - 1));
    EXPECT_STREQ(L"untouched", text);
}

TEST(Guid, MalformedClsidTextIsRejected)
{
    const struct {
        const wchar_t* text;
    } rows[] = {
        {L"{6B29FC40-CA47-1067-B31D-00DD010662D}"},    // one digit short
        {L"{6B29FC40-CA47-1067-B31D-00DD010662DX}"},   // not hex
        {L"{6B29FC40+CA47-1067-B31D-00DD010662DA}"},   // wrong separator
        {L"6B29FC40-CA47-1067-B31D-00DD010662DA"},     // no braces
        {L"{6B29FC40-CA47-1067-B31D-00DD010662DA}x"},  // trailing text
        {L""},
    };
    for (const auto& row : rows) {
        CLSID id;
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(row.text, &id)) << "text " << ::testing::PrintToString(std::wstring(row.text));
    }
}

TEST(Guid, NullTextIsTheNullGuid)
{
    CLSID id = kSample;
    EXPECT_EQ(S_OK, CLSIDFromString(nullptr, &id));
    EXPECT_TRUE(IsEqualCLSID(CLSID_NULL, id));
}

TEST(Guid, UuidofNamesIUnknown)
{
    EXPECT_TRUE(IsEqualIID(IID_IUnknown, __uuidof(IUnknown)));
    OLECHAR text[kGuidChars];
    StringFromGUID2(IID_IUnknown, text, kGuidChars);
    EXPECT_STREQ(L"{00000000-0000-0000-C000-000000000046}", text);
}

TEST(TaskAllocator, ReallocKeepsContentsAndFreeAcceptsNull)
{
    auto* p = static_cast<char*>(CoTaskMemAlloc(4));
    ASSERT_NE(nullptr, p);
    std::memcpy(p, "abc", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(nullptr, p);
    EXPECT_STREQ("abc", p);
    CoTaskMemFree(p);
    CoTaskMemFree(nullptr);
}

}  // namespace
