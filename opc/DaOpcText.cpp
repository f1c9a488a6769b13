// The text conversions of the call frame, apart from the trace (whose header brings its
// own printf-checking macro).
#include <cstring>

#include "common/TVCmnString.h"
#include "opc/DaOpcCall.h"

std::string daTextFromClient(const wchar_t* text)
{
    return text ? TVCmnString::wideToAnsi(text) : std::string();
}

LPWSTR daTextForClient(const std::string& text)
{
    std::wstring wide = TVCmnString::ansiToWide(text);
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((wide.size() + 1) * sizeof(WCHAR)));
    if (out) {
        std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    }
    return out;
}

std::string daObjectTraceId(const char* kind, const void* object, const std::string& name)
{
    const auto address = static_cast<unsigned>(reinterpret_cast<uintptr_t>(object));
    if (name.empty())
        return TVCmnString::format(64, "(%s|%8.8X)", kind, address);
    return TVCmnString::format(256, "(%s|%8.8X| %s)", kind, address, name.c_str());
}
