// Owner of a SAFEARRAY (array values of tags and items, EU info [low, high]) and a scoped
// SafeArrayAccessData, so that a lock taken on an array's data is always given back.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/win.h"

class TVCmnSafeArray {
public:
    TVCmnSafeArray() noexcept = default;
    TVCmnSafeArray(const TVCmnSafeArray&) = delete;
    TVCmnSafeArray& operator=(const TVCmnSafeArray&) = delete;
    TVCmnSafeArray(TVCmnSafeArray&& other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
    TVCmnSafeArray& operator=(TVCmnSafeArray&& other) noexcept
    {
        if (this != &other)
            attach(std::exchange(other.array_, nullptr));
        return *this;
    }
    ~TVCmnSafeArray() { reset(); }

    // A one-dimensional array with lower bound 0 (the only shape OPC values use).
    // Raises "Out of memory" when it cannot be made (also for an element type no
    // SAFEARRAY can hold, which only a programming error produces).
    static TVCmnSafeArray createVector(VARTYPE elementType, ULONG count);

    void reset() noexcept
    {
        if (array_)
            SafeArrayDestroy(array_);
        array_ = nullptr;
    }
    void attach(SAFEARRAY* array) noexcept
    {
        reset();
        array_ = array;
    }
    [[nodiscard]] SAFEARRAY* detach() noexcept { return std::exchange(array_, nullptr); }
    SAFEARRAY** put() noexcept
    {
        reset();
        return &array_;
    }

    SAFEARRAY* get() const noexcept { return array_; }
    explicit operator bool() const noexcept { return array_ != nullptr; }
    // Elements of a one-dimensional array (0 for none or more dimensions).
    std::size_t count() const noexcept;

private:
    SAFEARRAY* array_ = nullptr;
};

// SafeArrayAccessData for one scope. Check ok() (or result()) before touching data().
template <class T>
class TVCmnSafeArrayAccess {
public:
    explicit TVCmnSafeArrayAccess(SAFEARRAY* array) noexcept : array_(array)
    {
        void* data = nullptr;
        result_ = array_ ? SafeArrayAccessData(array_, &data) : E_INVALIDARG;
        data_ = SUCCEEDED(result_) ? static_cast<T*>(data) : nullptr;
    }
    ~TVCmnSafeArrayAccess()
    {
        if (SUCCEEDED(result_))
            SafeArrayUnaccessData(array_);
    }
    TVCmnSafeArrayAccess(const TVCmnSafeArrayAccess&) = delete;
    TVCmnSafeArrayAccess& operator=(const TVCmnSafeArrayAccess&) = delete;

    bool ok() const noexcept { return SUCCEEDED(result_); }
    HRESULT result() const noexcept { return result_; }
    T* data() const noexcept { return data_; }
    T& operator[](std::size_t index) const noexcept { return data_[index]; }

private:
    SAFEARRAY* array_;
    HRESULT result_;
    T* data_;
};
