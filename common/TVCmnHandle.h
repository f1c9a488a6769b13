// Owner of a Windows kernel handle (process, pipe, event): closed when the owner goes.
// Takes INVALID_HANDLE_VALUE as no handle, so CreateFile's and CreateNamedPipe's failure
// and the null of the others look alike. Windows builds only.
#pragma once

#include <windows.h>

#include <utility>

class TVCmnHandle {
public:
    TVCmnHandle() noexcept = default;
    explicit TVCmnHandle(HANDLE handle) noexcept : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    TVCmnHandle(const TVCmnHandle&) = delete;
    TVCmnHandle& operator=(const TVCmnHandle&) = delete;
    TVCmnHandle(TVCmnHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    TVCmnHandle& operator=(TVCmnHandle&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    ~TVCmnHandle() { reset(); }

    HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr) noexcept
    {
        if (handle_)
            CloseHandle(handle_);
        handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }

private:
    HANDLE handle_ = nullptr;
};
