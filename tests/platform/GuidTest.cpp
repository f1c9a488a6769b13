// GUID text forms as COM writes and reads them.
#include <gtest/gtest.h>

#include <string>

#include "platform/win.h"

namespace {

constexpr int kGuidChars = 39;  // "{8-4-4-4-12}" and the terminator

const GUID kSample = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};

TEST(Guid, TextRoundTripUsesUpperCaseBracesAndReadsAnyCase)
{
    OLECHAR text[kGuidChars] = L"untouched";
    EXPECT_EQ(0, StringFromGUID2(kSample, text, kGuidChars - 1));
    EXPECT_STREQ(L"untouched", text) << "a buffer too small is left alone";
    ASSERT_EQ(kGuidChars, StringFromGUID2(kSample, text, kGuidChars));
    EXPECT_STREQ(L"{6B29FC40-CA47-1067-B31D-00DD010662DA}", text);
    StringFromGUID2(__uuidof(IUnknown), text, kGuidChars);
    EXPECT_STREQ(L"{00000000-0000-0000-C000-000000000046}", text);

    IID iid;
    ASSERT_EQ(S_OK, IIDFromString(L"{6b29fc40-ca47-1067-b31d-00dd010662da}", &iid));
    EXPECT_TRUE(IsEqualGUID(kSample, iid));
    CLSID id = kSample;
    EXPECT_EQ(S_OK, CLSIDFromString(nullptr, &id));
    EXPECT_TRUE(IsEqualCLSID(CLSID_NULL, id)) << "no text is the null GUID";
}

TEST(Guid, MalformedClsidTextIsRejected)
{
    const wchar_t* rows[] = {
        L"{6B29FC40-CA47-1067-B31D-00DD010662D}",    // one digit short
        L"{6B29FC40-CA47-1067-B31D-00DD010662DX}",   // not hex
        L"6B29FC40-CA47-1067-B31D-00DD010662DA",     // no braces
    };
    for (const wchar_t* text : rows) {
        CLSID id;
        EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(text, &id)) << ::testing::PrintToString(std::wstring(text));
    }
}

}  // namespace
