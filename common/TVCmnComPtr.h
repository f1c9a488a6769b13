// Smart pointer for COM interfaces (anything derived from IUnknown): client sinks, the
// comms server, enumerators. Holds one reference; attach/detach move a reference in and
// out without counting, put() serves as the [out] argument of COM calls.
#pragma once

#include <utility>

#include "platform/win.h"

template <class T>
class TVCmnComPtr {
public:
    TVCmnComPtr() noexcept = default;
    TVCmnComPtr(std::nullptr_t) noexcept {}
    explicit TVCmnComPtr(T* pointer) noexcept : pointer_(pointer)
    {
        if (pointer_)
            pointer_->AddRef();
    }
    TVCmnComPtr(const TVCmnComPtr& other) noexcept : TVCmnComPtr(other.pointer_) {}
    TVCmnComPtr(TVCmnComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ~TVCmnComPtr() { reset(); }

    TVCmnComPtr& operator=(TVCmnComPtr other) noexcept
    {
        std::swap(pointer_, other.pointer_);
        return *this;
    }

    void reset() noexcept
    {
        // Cleared before Release: the release may run code that looks at this pointer.
        if (T* old = std::exchange(pointer_, nullptr))
            old->Release();
    }
    // Takes over a reference the caller owns (for example one returned by a COM call).
    void attach(T* pointer) noexcept
    {
        reset();
        pointer_ = pointer;
    }
    // Gives the reference away without releasing it.
    [[nodiscard]] T* detach() noexcept { return std::exchange(pointer_, nullptr); }

    // For [out] arguments: releases what is held, then lets the callee fill the pointer.
    T** put() noexcept
    {
        reset();
        return &pointer_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

    // Hands out a new reference through an [out] argument, as a COM method must.
    HRESULT copyTo(T** out) const noexcept
    {
        if (!out)
            return E_POINTER;
        *out = pointer_;
        if (pointer_)
            pointer_->AddRef();
        return S_OK;
    }

    // QueryInterface for another interface; 'out' is emptied first and stays empty on
    // failure. The IID comes from __uuidof(Q) or is given for interfaces without one.
    template <class Q>
    HRESULT queryInterface(TVCmnComPtr<Q>& out) const noexcept
    {
        return queryInterface(__uuidof(Q), out);
    }
    template <class Q>
    HRESULT queryInterface(REFIID iid, TVCmnComPtr<Q>& out) const noexcept
    {
        void** slot = out.putVoid();
        if (!pointer_)
            return E_POINTER;
        return pointer_->QueryInterface(iid, slot);
    }

    T* get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    friend bool operator==(const TVCmnComPtr& a, const TVCmnComPtr& b) noexcept { return a.pointer_ == b.pointer_; }
    friend bool operator==(const TVCmnComPtr& a, std::nullptr_t) noexcept { return a.pointer_ == nullptr; }

private:
    T* pointer_ = nullptr;
};
