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
        {"exactly the limit", TVCmnString::format(3, "%d", 123), "123"},
        {"one over the limit", TVCmnString::format(3, "%d", 1234), "123"},
        {"zero length", TVCmnString::format(0, "%s", "abc"), ""},
        {"padded id", TVCmnString::format(400, "[%s|%8.8lX| %s]", "SRV", 0xABCDul, "DaS Entry"),
         "[SRV|0000ABCD| DaS Entry]"},
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
        {"   ", ""},
        {"abc", "abc"},
        {" \t\r\nabc def \r\n", "abc def"},
        {"a", "a"},
        {"\tx\t", "x"},
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
        {"ab", "abc", -1},
        {"", "", 0},
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
        L"plain ASCII",
        L"Ger\u00E4tefehler \u00DCberschritten",  // Latin-1 range
        L"\u20AC 100",                            // three bytes in UTF-8
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
        {"lead byte without continuation", "a\xC3z", L"a\uFFFDz"},
        {"truncated at the end", "a\xE2\x82", L"a\uFFFD"},
        {"overlong slash", "\xC0\xAF", L"\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", L"\uFFFD"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD"},
        {"invalid lead byte", "\xFF", L"\uFFFD"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TVCmnString::utf8ToWide(row.utf8), row.wide) << row.name;

    std::wstring loneSurrogate(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(TVCmnString::wideToUtf8(loneSurrogate), "\xEF\xBF\xBD");
}

TEST(TVCmnStringTest, AnsiConversionsOfWindows1252)
{
    struct Row {
        const char* name;
        std::string ansi;
        std::wstring wide;
    };
    const Row rows[] = {
        {"ASCII", "Motor 1 speed", L"Motor 1 speed"},
        {"umlauts", "(Ger\xE4tefehler) (EGU-\xDC" "berschritten) \xDF", L"(Ger\u00E4tefehler) (EGU-\u00DCberschritten) \u00DF"},
        {"euro and the 0x80-0x9F block", "\x80 \x8A \x9C \x9F", L"\u20AC \u0160 \u0153 \u0178"},
        {"embedded zero", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"empty", "", L""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TVCmnString::ansiToWide(row.ansi, TVCmnString::kCodePageWindows1252), row.wide) << row.name;
        EXPECT_EQ(TVCmnString::wideToAnsi(row.wide, TVCmnString::kCodePageWindows1252), row.ansi) << row.name;
    }
    // No 1252 byte and no best fit on Windows either: the default character.
    EXPECT_EQ(TVCmnString::wideToAnsi(L"x\u4E2Dy", TVCmnString::kCodePageWindows1252), "x?y");
    EXPECT_EQ(TVCmnString::ansiToWide(static_cast<const char*>(nullptr)), L"") << "null BSTR-like input";
    EXPECT_EQ(TVCmnString::wideToAnsi(static_cast<const wchar_t*>(nullptr)), "");
}

TEST(TVCmnStringTest, EveryDefined1252ByteRoundTripsThroughTheSystemCodePage)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "the system code page is " << GetACP();
    for (int byte = 0x01; byte <= 0xFF; ++byte) {
        if (byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D)
            continue;  // undefined in Windows-1252
        const std::string ansi(1, static_cast<char>(byte));
        const std::wstring wide = TVCmnString::ansiToWide(ansi);
        ASSERT_EQ(wide.size(), 1u) << "byte 0x" << std::hex << byte;
        EXPECT_EQ(TVCmnString::wideToAnsi(wide), ansi) << "byte 0x" << std::hex << byte;
    }
}

TEST(TVCmnStringTest, OwnUtf8DecoderAgreesWithTheSystemOnValidText)
{
    const std::string texts[] = {"plain", "\xC3\xA4\xC3\x9F", "\xE2\x82\xAC 5", "\xF0\x9F\x98\x80"};
    for (const std::string& text : texts) {
        EXPECT_EQ(TVCmnString::utf8ToWide(text), TVCmnString::ansiToWide(text, TVCmnString::kCodePageUtf8)) << text;
        const std::wstring wide = TVCmnString::utf8ToWide(text);
        EXPECT_EQ(TVCmnString::wideToUtf8(wide), TVCmnString::wideToAnsi(wide, TVCmnString::kCodePageUtf8)) << text;
    }
}

}  // namespace
