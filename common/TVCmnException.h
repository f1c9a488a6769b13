// The runtime's one exception type. Inside the server it stands only for "Out of memory"
// and programming errors; it is caught before any COM boundary and at the top of every
// thread (TVCmnThread), never handed to a client.
#pragma once

#include <exception>
#include <memory>
#include <string>

class TVCmnException : public std::exception {
public:
    // The text the server shows when an allocation fails.
    static constexpr const char* kOutOfMemory = "Out of memory";

    // A static text is kept by pointer, so that raising "Out of memory" allocates nothing.
    explicit TVCmnException(const char* staticText) noexcept : static_(staticText) {}
    explicit TVCmnException(const std::string& text);

    const char* what() const noexcept override { return dynamic_ ? dynamic_->c_str() : static_; }

private:
    const char* static_ = "";
    std::shared_ptr<const std::string> dynamic_;  // shared: copies while unwinding cannot fail
};

[[noreturn]] void tvCmnThrowOutOfMemory();

// Turns a failed allocation (null) into the "Out of memory" exception; passes others on.
template <class T>
T* tvCmnCheckAlloc(T* allocated)
{
    if (!allocated)
        tvCmnThrowOutOfMemory();
    return allocated;
}
