// Owner of memory from the COM task allocator (CoTaskMemAlloc): the result arrays, error
// arrays and strings an OPC call hands to its client. While the call builds them they
// belong to this owner, so a failure part-way frees them; detach() passes them on.
#pragma once

#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/win.h"

template <class T>
class TVCmnTaskMem {
public:
    TVCmnTaskMem() noexcept = default;
    TVCmnTaskMem(const TVCmnTaskMem&) = delete;
    TVCmnTaskMem& operator=(const TVCmnTaskMem&) = delete;
    TVCmnTaskMem(TVCmnTaskMem&& other) noexcept
        : memory_(std::exchange(other.memory_, nullptr)), count_(std::exchange(other.count_, 0))
    {
    }
    TVCmnTaskMem& operator=(TVCmnTaskMem&& other) noexcept
    {
        if (this != &other) {
            reset();
            memory_ = std::exchange(other.memory_, nullptr);
            count_ = std::exchange(other.count_, 0);
        }
        return *this;
    }
    ~TVCmnTaskMem() { reset(); }

    // count zero-filled elements (so a VARIANT array starts as VT_EMPTY and an error array
    // as S_OK). False, and nothing held, when the allocator refuses or the size overflows.
    bool allocate(std::size_t count) noexcept
    {
        reset();
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T))
            return false;
        const std::size_t sizeBytes = count * sizeof(T);
        // The allocator may answer null for 0 bytes; one byte keeps "allocated" distinct.
        memory_ = static_cast<T*>(CoTaskMemAlloc(sizeBytes ? sizeBytes : 1));
        if (!memory_)
            return false;
        std::memset(static_cast<void*>(memory_), 0, sizeBytes);
        count_ = count;
        return true;
    }

    // Frees the memory only; elements that own something (BSTR, VARIANT) are the
    // caller's to clear before.
    void reset() noexcept
    {
        if (memory_)
            CoTaskMemFree(memory_);
        memory_ = nullptr;
        count_ = 0;
    }
    void attach(T* memory, std::size_t count) noexcept
    {
        reset();
        memory_ = memory;
        count_ = count;
    }
    [[nodiscard]] T* detach() noexcept
    {
        count_ = 0;
        return std::exchange(memory_, nullptr);
    }

    T* get() const noexcept { return memory_; }
    std::size_t count() const noexcept { return count_; }
    T& operator[](std::size_t index) const noexcept { return memory_[index]; }
    explicit operator bool() const noexcept { return memory_ != nullptr; }

private:
    T* memory_ = nullptr;
    std::size_t count_ = 0;
};
