// Owner of a BSTR: names and item IDs that come in from COM, texts that go out. A null
// BSTR is the empty text, as COM treats it. Copies allocate; failure to allocate raises
// the "Out of memory" exception.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/win.h"

class TVCmnBstr {
public:
    TVCmnBstr() noexcept = default;
    explicit TVCmnBstr(const wchar_t* text);
    explicit TVCmnBstr(std::wstring_view text);
    TVCmnBstr(const TVCmnBstr& other);
    TVCmnBstr(TVCmnBstr&& other) noexcept : bstr_(std::exchange(other.bstr_, nullptr)) {}
    TVCmnBstr& operator=(TVCmnBstr other) noexcept
    {
        std::swap(bstr_, other.bstr_);
        return *this;
    }
    ~TVCmnBstr() { reset(); }

    // From an ANSI text of the system code page (the form texts have inside the server).
    static TVCmnBstr fromAnsi(std::string_view text);

    void reset() noexcept;
    // Takes over a BSTR the caller owns.
    void attach(BSTR bstr) noexcept
    {
        reset();
        bstr_ = bstr;
    }
    [[nodiscard]] BSTR detach() noexcept { return std::exchange(bstr_, nullptr); }
    // For [out] arguments; frees what is held first.
    BSTR* put() noexcept
    {
        reset();
        return &bstr_;
    }
    // A new BSTR for an [out] argument; E_OUTOFMEMORY when it cannot be made.
    HRESULT copyTo(BSTR* out) const noexcept;

    BSTR get() const noexcept { return bstr_; }
    std::size_t length() const noexcept;  // characters, embedded zeros included
    std::wstring_view view() const noexcept { return std::wstring_view(bstr_ ? bstr_ : L"", length()); }
    std::string toAnsi() const;
    bool empty() const noexcept { return length() == 0; }

private:
    BSTR bstr_ = nullptr;
};
