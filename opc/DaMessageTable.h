// The message table compiled into the program as data, generated at build time from
// DaMessages.mc (the file windmc compiles into the Windows message table), so both
// builds serve the same texts from one source. The native build reads texts from it;
// the Windows tests compare the real message table with it.
#pragma once

#include <cstddef>
#include <string>

#include "opc/DaErrorText.h"

struct DaMessageText {
    DWORD messageId;
    LANGID language;
    const wchar_t* text;  // as written in DaMessages.mc, no line break
};

// Every text, message by message, each in the three languages.
const DaMessageText* daMessageTexts(size_t* count);

// The text of messageId in exactly that language, or null.
const wchar_t* daFindMessageText(DWORD messageId, LANGID language);

// A DaMessageSource over this table, with no system texts. The languages 0, 0x400 and
// 0x800 resolve to the user's, the user's and the system's default language.
class DaCompiledMessageSource final : public DaMessageSource {
public:
    bool tableText(DWORD messageId, LANGID language, std::string& text) const override;
    bool systemText(HRESULT code, LANGID language, std::string& text) const override;
};
