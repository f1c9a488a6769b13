#include "opc/DaErrorText.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <utility>

#include "idl/opcerror.h"
#include "opc/DaMessageTable.h"

namespace {

std::string ansi(const wchar_t* text)
{
    int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

std::string hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// The code whose message ID this is under the DA facility.
HRESULT codeOf(DWORD messageId) { return static_cast<HRESULT>((messageId & 0xF000FFFFu) | 0x00040000u); }

// Every text of the message table, in every language, as a client gets it: natively
// from the compiled table, under Wine from the program's real message table through
// FormatMessageA, which must hand back exactly what DaMessages.mc says.
TEST(DaErrorText, EveryTableTextInEveryLanguageReachesTheClient)
{
    size_t count = 0;
    const DaMessageText* texts = daMessageTexts(&count);
    ASSERT_EQ(count, 42u * 3u);
    for (size_t i = 0; i < count; ++i) {
        const DaMessageText& entry = texts[i];
        SCOPED_TRACE(hex(entry.messageId) + " in " + std::to_string(entry.language));
        std::string text;
        ASSERT_TRUE(DaMessageSource::platform().tableText(entry.messageId, entry.language, text));
        EXPECT_EQ(text, ansi(entry.text));
        if ((entry.messageId & 0x0FFF0000u) == kDaFacilityValue) {
            EXPECT_EQ(daErrorString(codeOf(entry.messageId), entry.language, text), S_OK);
            EXPECT_EQ(text, ansi(entry.text));
        }
    }
}

// The sets themselves: every ID in all three languages; German translated everywhere;
// Swedish translated up to 0xC1FF0203 and for the alarm-and-event texts, English for
// the deadband, buffering and XML-DA texts.
TEST(DaErrorText, TableHoldsEveryIdInThreeLanguagesWithTheSwedishGaps)
{
    size_t count = 0;
    const DaMessageText* texts = daMessageTexts(&count);
    std::set<DWORD> ids;
    for (size_t i = 0; i < count; ++i) ids.insert(texts[i].messageId);
    EXPECT_EQ(ids.size(), 42u);
    for (DWORD id : ids) {
        SCOPED_TRACE(hex(id));
        const wchar_t* english = daFindMessageText(id, kDaLanguageEnglish);
        const wchar_t* german = daFindMessageText(id, kDaLanguageGerman);
        const wchar_t* swedish = daFindMessageText(id, kDaLanguageSwedish);
        ASSERT_TRUE(english && german && swedish);
        EXPECT_NE(std::wstring(german), english);
        bool swedishInEnglish = (id >= 0xC1FF0400u && id <= 0xC1FF0406u) || (id >= 0xC1FF5600u && id <= 0xC1FF5611u);
        EXPECT_EQ(std::wstring(swedish) == english, swedishInEnglish);
    }
}

// Which text a code and a locale lead to (the texts themselves are checked above).
TEST(DaErrorText, TextsByCodeAndLocale)
{
    struct Row {
        const char* name;
        HRESULT code;
        LCID lcid;
        HRESULT result;
        const wchar_t* text;
    };
    const Row rows[] = {
        {"French falls back to English", OPC_E_UNKNOWNITEMID, 1036, S_OK,
         L"The item ID is not defined in the server address space or no longer exists in the server address space."},
        {"German with a sort ID", OPC_E_BADRIGHTS, 0x10407, S_OK,
         L"Die Zugriffsrechte des Elements erlauben die Operation nicht."},
        {"system default locale", OPC_E_INVALIDHANDLE, 0x800, S_OK, L"The value of the handle is invalid."},
        {"user default locale", OPC_E_INVALIDHANDLE, 0x400, S_OK, L"The value of the handle is invalid."},
        {"neutral locale", OPC_E_INVALIDHANDLE, 0, S_OK, L"The value of the handle is invalid."},
        // The table's 0x0404 text is an error ID; the success code finds nothing.
        {"data queue overflow success code has no text", OPC_S_DATAQUEUEOVERFLOW, 1033, E_INVALIDARG, nullptr},
        {"its error twin has", static_cast<HRESULT>(0xC0040404), 1031, S_OK,
         L"Nicht jede erkannte Änderung wurde zurückgegeben, da der Puffer des Servers seine Grenze erreicht hat und "
         L"die ältesten Daten verwerfen musste."},
        {"a code between the table's", static_cast<HRESULT>(0xC0040002), 1033, E_INVALIDARG, nullptr},
        {"alarm-and-event IDs are not the DA server's", static_cast<HRESULT>(0x00040200), 1033, E_INVALIDARG, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string text = "left over";
        EXPECT_EQ(daErrorString(row.code, row.lcid, text), row.result);
        EXPECT_EQ(text, row.text ? ansi(row.text) : std::string());
    }
}

// The platform's own texts: Windows (and Wine) explain E_FAIL; the native build has
// no system messages, so E_FAIL has no text there.
TEST(DaErrorText, CodesOutsideTheTableGoToThePlatform)
{
    std::string text;
#ifdef _WIN32
    EXPECT_EQ(daErrorString(E_FAIL, 1033, text), S_OK);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_EQ(daErrorString(E_FAIL, 1031, text), S_OK) << "falls back to the system default language";
#else
    EXPECT_EQ(daErrorString(E_FAIL, 1033, text), E_INVALIDARG);
#endif
}

// Which source answers, seen through a source that holds chosen texts: the table in
// the locale's language, then in English, for errors and successes only; the system in
// the language, then in the system default, for the rest.
class ChosenSource final : public DaMessageSource {
public:
    std::set<std::pair<DWORD, LANGID>> table;   // (message ID, language) present
    std::set<std::pair<DWORD, LANGID>> system;  // (code, language) present
    bool tableText(DWORD messageId, LANGID language, std::string& text) const override
    {
        text = "table " + std::to_string(language);
        return table.count({messageId, language}) != 0;
    }
    bool systemText(HRESULT code, LANGID language, std::string& text) const override
    {
        text = "system " + std::to_string(language);
        return system.count({static_cast<DWORD>(code), language}) != 0;
    }
};

TEST(DaErrorText, TheTableAnswersBeforeTheSystem)
{
    struct Row {
        const char* name;
        HRESULT code;
        LCID lcid;
        std::set<std::pair<DWORD, LANGID>> table, system;
        const char* text;  // null: E_INVALIDARG
    };
    const Row rows[] = {
        {"error in its language", OPC_E_RANGE, 1031, {{0xC1FF000B, 1031}, {0xC1FF000B, 1033}}, {{0xC004000B, 1031}},
         "table 1031"},
        {"success in English when the language lacks it", OPC_S_CLAMP, 1036, {{0x01FF000E, 1033}}, {}, "table 1033"},
        {"warning severity is the system's", E_FAIL, 1031, {{0x81FF4005, 1031}}, {{0x80004005, 2048}},
         "system 2048"},
        {"informational severity without a system text", static_cast<HRESULT>(0x40040001), 1033,
         {{0x41FF0001, 1033}}, {}, nullptr},
        {"system text in the language", OPC_E_RANGE, 1031, {}, {{0xC004000B, 1031}, {0xC004000B, 2048}},
         "system 1031"},
        {"nothing anywhere", OPC_E_RANGE, 1033, {}, {}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ChosenSource source;
        source.table = row.table;
        source.system = row.system;
        std::string text;
        EXPECT_EQ(daErrorString(row.code, row.lcid, text, source), row.text ? S_OK : E_INVALIDARG);
        EXPECT_EQ(text, row.text ? row.text : "");
    }
}

TEST(DaErrorText, ClientCopyIsWideFromTheTaskAllocator)
{
    EXPECT_EQ(daErrorStringForClient(OPC_E_RANGE, 1033, nullptr), E_INVALIDARG);

    LPWSTR text = reinterpret_cast<LPWSTR>(0x1);
    ASSERT_EQ(daErrorStringForClient(OPC_S_UNSUPPORTEDRATE, 1031, &text), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text),
              L"Der Server unterstützt die angeforderte Datenrate nicht, verwendet aber die nächstliegende verfügbare Rate.");
    CoTaskMemFree(text);

    text = reinterpret_cast<LPWSTR>(0x1);
    EXPECT_EQ(daErrorStringForClient(static_cast<HRESULT>(0xC0040002), 1033, &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);
}

// The names come from the one table of DaErrorText.cpp; a code outside it is printed.
TEST(DaErrorText, ResultCodeNames)
{
    std::set<DWORD> codes;
    for (const DaResultCodeName& entry : daResultCodeNames()) {
        EXPECT_TRUE(codes.insert(entry.code).second) << hex(entry.code) << " is named twice";
        EXPECT_EQ(daResultCodeName(static_cast<HRESULT>(entry.code)), entry.name) << hex(entry.code);
    }
    EXPECT_EQ(daResultCodeName(S_OK), "S_OK");
    EXPECT_EQ(daResultCodeName(OPC_E_BADRIGHTS), daResultCodeName(E_ACCESSDENIED)) << "one word for both";
    for (DWORD outside : {0xC0040002u, 0x0004000Fu, 0xC0040404u, 0xC004560Au, 0x80004001u})
        EXPECT_EQ(daResultCodeName(static_cast<HRESULT>(outside)), "ERROR " + hex(outside));
}

}  // namespace
