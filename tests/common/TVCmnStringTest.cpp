#include "common/TVCmnString.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win.h"

namespace {

TEST(TVCmnStringTest, FormatCutsAtTheMaximumLength)
{
    const std::string longText(1000, 'x');
    struct Row {
        const char* name;
        std::string result;
        std::string expected;
    };
    const Row rows[] = {
        {"fits", TVCmnString::format(400, "%s (%lu ms)[0x%X]", "AddGroup", 12ul, 0x80004005u),
         "AddGroup (12 ms)[0x80004005]"},
        {"cut at the limit", TVCmnString::format(400, "%s", longText.c_str()), std::string(400, 'x')},
        {"zero length", TVCmnString::format(0, "%s", "abc"), ""},
        {"null format", TVCmnString::format(10, nullptr), ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.result, row.expected) << row.name;
}

TEST(TVCmnStringTest, TrimRemovesBlanksAtBothEndsOnly)
{
    struct Row {
        const char* text;
        const char* trimmed;
    };
    const Row rows[] = {
        {"", ""},
        {" \t\r\nabc def \r\n", "abc def"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TVCmnString::trim(std::string_view(row.text)), row.trimmed) << '"' << row.text << '"';
        const std::wstring wide(row.text, row.text + std::char_traits<char>::length(row.text));
        const std::wstring wideTrimmed(row.trimmed, row.trimmed + std::char_traits<char>::length(row.trimmed));
        EXPECT_EQ(TVCmnString::trim(std::wstring_view(wide)), wideTrimmed) << '"' << row.text << "\" wide";
    }
}

TEST(TVCmnStringTest, CaseInsensitiveCompareFoldsAsciiLettersOnly)
{
    struct Row {
        const char* a;
        const char* b;
        int sign;
    };
    const Row rows[] = {
        {"/RegServer", "/regserver", 0},
        {"abc", "abd", -1},
        {"ABD", "abc", 1},
        {"[", "a", -1},  // '[' lies between 'Z' and 'a': folding must go to lower case
        {"\xC4", "\xE4", -1},  // Windows-1252 umlauts are not folded: locale-independent
    };
    for (const Row& row : rows) {
        const int result = TVCmnString::compareNoCase(row.a, row.b);
        EXPECT_EQ((result > 0) - (result < 0), row.sign) << row.a << " vs " << row.b;
        EXPECT_EQ(TVCmnString::equalsNoCase(row.a, row.b), row.sign == 0) << row.a << " vs " << row.b;
    }
    EXPECT_EQ(TVCmnString::toLowerAscii("-RegServer /F"), "-regserver /f");
}

TEST(TVCmnStringTest, Utf8RoundTripsEveryPlane)
{
    const std::wstring texts[] = {
        L"",
        L"\u20AC 5",                               // three bytes
        L"\U0001F600 outside the BMP",            // four bytes; a surrogate pair on Windows
        std::wstring(L"embedded\0zero", 13),
    };
    for (const std::wstring& text : texts)
        EXPECT_EQ(TVCmnString::utf8ToWide(TVCmnString::wideToUtf8(text)), text);
    EXPECT_EQ(TVCmnString::wideToUtf8(L"\u00E4\u20AC"), "\xC3\xA4\xE2\x82\xAC");
    EXPECT_EQ(TVCmnString::wideToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(TVCmnStringTest, MalformedUtf8BecomesReplacementCharacters)
{
    struct Row {
        const char* name;
        std::string utf8;
        std::wstring wide;
    };
    const Row rows[] = {
        {"stray continuation byte", "a\x80z", L"a\uFFFDz"},
        {"truncated at the end", "a\xE2\x82", L"a\uFFFD"},
        {"overlong slash", "\xC0\xAF", L"\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", L"\uFFFD"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TVCmnString::utf8ToWide(row.utf8), row.wide) << row.name;

    std::wstring loneSurrogate(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(TVCmnString::wideToUtf8(loneSurrogate), "\xEF\xBF\xBD");
}

// The code page tables are the platform's (tested there); what is ours is the length
// handling and null input.
TEST(TVCmnStringTest, AnsiConversionsKeepEmbeddedZerosAndReadNullAsEmpty)
{
    const std::string ansi("Ger\xE4t\0\x80", 6);
    const std::wstring wide(L"Ger\u00E4t\0\u20AC", 6);
    EXPECT_EQ(TVCmnString::ansiToWide(ansi, TVCmnString::kCodePageWindows1252), wide);
    EXPECT_EQ(TVCmnString::wideToAnsi(wide, TVCmnString::kCodePageWindows1252), ansi);
    EXPECT_EQ(TVCmnString::wideToAnsi(L"x\u4E2Dy", TVCmnString::kCodePageWindows1252), "x?y");
    EXPECT_EQ(TVCmnString::ansiToWide(static_cast<const char*>(nullptr)), L"");
    EXPECT_EQ(TVCmnString::wideToAnsi(static_cast<const wchar_t*>(nullptr)), "");
}

}  // namespace
