// Error texts and result-code names of the OPC server object: what
// IOPCServer::GetErrorString and IOPCCommon::GetErrorString hand to clients, and the
// short name (the XML-DA result vocabulary) the server prints for a code. Used by the
// server COM object and DaServer's overridable operations.
//
// Texts come from a DaMessageSource: on Windows the program's own message table
// (DaMessages.mc, read back with FormatMessageA) and the system's messages; natively
// the same table compiled in, and no system texts.
#pragma once

#include <span>
#include <string>

#include "platform/win.h"

// The DA server object's facility: bits 16-27 of the message IDs it looks up.
inline constexpr DWORD kDaFacilityValue = 0x01FF0000;
// Alarm-and-event texts live under this facility; the DA server never selects it.
inline constexpr DWORD kDaAeFacilityValue = 0x02FF0000;

// The languages of the message table.
inline constexpr LANGID kDaLanguageEnglish = 1033;
inline constexpr LANGID kDaLanguageGerman = 1031;
inline constexpr LANGID kDaLanguageSwedish = 1053;

// A code's message ID: its top four bits and low word, with the facility in between.
inline constexpr DWORD daMessageId(HRESULT code, DWORD facility)
{
    return (static_cast<DWORD>(code) & 0xF000FFFFu) | facility;
}

class DaMessageSource {
public:
    virtual ~DaMessageSource() = default;
    // The message table's text of messageId in that language, without the trailing
    // line break, in the ANSI code page. The language values 0, 0x400 and 0x800 (the
    // platform's own choice, the user's and the system's default) are resolved by the
    // source. False when there is none.
    virtual bool tableText(DWORD messageId, LANGID language, std::string& text) const = 0;
    // The platform's own text for a code (FormatMessage from the system), or false.
    virtual bool systemText(HRESULT code, LANGID language, std::string& text) const = 0;

    // The program's message table and the system's messages (Windows), or the
    // compiled-in table without system texts (Linux).
    static const DaMessageSource& platform();
};

// The error string of a code for a locale: the message table in the locale's
// language, else in English; codes with severity bits 01 or 10, and codes the table
// does not hold, get the platform's text, in that language or the system's. S_OK with
// the text, or E_INVALIDARG when there is none.
HRESULT daErrorString(HRESULT code, LCID lcid, std::string& text,
                      const DaMessageSource& source = DaMessageSource::platform(),
                      DWORD facility = kDaFacilityValue);

// The same for a COM client: *ppString is set to null first, then to a wide copy from
// the task allocator (E_OUTOFMEMORY when that fails). E_INVALIDARG for a null ppString.
HRESULT daErrorStringForClient(HRESULT code, LCID lcid, LPWSTR* ppString,
                               const DaMessageSource& source = DaMessageSource::platform());

// The result-code name: "S_OK", "E_UNKNOWNITEMNAME", ..., or "ERROR 0x%8.8lX".
std::string daResultCodeName(HRESULT code);

// The table behind daResultCodeName. Several codes share a word: the XML-DA
// vocabulary has fewer words than there are COM codes.
struct DaResultCodeName {
    DWORD code;
    const char* name;
};
std::span<const DaResultCodeName> daResultCodeNames();
