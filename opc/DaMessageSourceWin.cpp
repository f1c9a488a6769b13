// The message source of the Windows build: the message table linked into the program
// (DaMessages.mc through windmc and windres) and the system's own messages, both read
// with FormatMessageA.
#include "opc/DaErrorText.h"

namespace {

bool formatMessage(DWORD from, DWORD id, LANGID language, std::string& text)
{
    char* buffer = nullptr;
    // FROM_HMODULE with no module: the program's own executable.
    DWORD length = FormatMessageA(from | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, id, language, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0 || !buffer) return false;
    // Each message ends with the line break of its line in the .mc file.
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
    text.assign(buffer, length);
    LocalFree(buffer);
    return true;
}

class WindowsMessageSource final : public DaMessageSource {
public:
    bool tableText(DWORD messageId, LANGID language, std::string& text) const override
    {
        return formatMessage(FORMAT_MESSAGE_FROM_HMODULE, messageId, language, text);
    }
    bool systemText(HRESULT code, LANGID language, std::string& text) const override
    {
        return formatMessage(FORMAT_MESSAGE_FROM_SYSTEM, static_cast<DWORD>(code), language, text);
    }
};

}  // namespace

const DaMessageSource& DaMessageSource::platform()
{
    static const WindowsMessageSource source;
    return source;
}
