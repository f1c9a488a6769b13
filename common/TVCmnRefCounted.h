// Intrusive reference counting for the engine's objects (servers, groups, items, tags,
// transactions) and TVCmnRef, the smart pointer that holds one reference. The count starts
// at zero; the first TVCmnRef (or addRef) takes the creator's reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

class TVCmnRefCounted {
public:
    TVCmnRefCounted() = default;
    TVCmnRefCounted(const TVCmnRefCounted&) = delete;
    TVCmnRefCounted& operator=(const TVCmnRefCounted&) = delete;

    // Both return the count after the change, as IUnknown does; a work thread that gets 1
    // from addRef knows the object was already being released.
    std::uint32_t addRef() const noexcept { return refCount_.fetch_add(1, std::memory_order_relaxed) + 1; }
    std::uint32_t release() const noexcept
    {
        // acq_rel: every other holder's writes happen before the destructor runs.
        const std::uint32_t left = refCount_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }
    // Only a snapshot, for traces; another thread may change it at once.
    std::uint32_t refCount() const noexcept { return refCount_.load(std::memory_order_relaxed); }

protected:
    virtual ~TVCmnRefCounted() = default;

private:
    mutable std::atomic<std::uint32_t> refCount_{0};
};

// Holds one reference on a TVCmnRefCounted object (any class with addRef/release).
template <class T>
class TVCmnRef {
public:
    struct AdoptTag {};
    static constexpr AdoptTag kAdopt{};

    TVCmnRef() noexcept = default;
    TVCmnRef(std::nullptr_t) noexcept {}
    explicit TVCmnRef(T* object) noexcept : object_(object)
    {
        if (object_)
            object_->addRef();
    }
    // Takes over a reference the caller already owns.
    TVCmnRef(T* object, AdoptTag) noexcept : object_(object) {}
    TVCmnRef(const TVCmnRef& other) noexcept : TVCmnRef(other.object_) {}
    TVCmnRef(TVCmnRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    template <class U>
    TVCmnRef(const TVCmnRef<U>& other) noexcept : TVCmnRef(other.get())
    {
    }
    template <class U>
    TVCmnRef(TVCmnRef<U>&& other) noexcept : object_(other.detach())
    {
    }
    ~TVCmnRef()
    {
        if (object_)
            object_->release();
    }

    TVCmnRef& operator=(TVCmnRef other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }

    template <class... Args>
    static TVCmnRef create(Args&&... args)
    {
        return TVCmnRef(new T(std::forward<Args>(args)...));
    }

    void reset(T* object = nullptr) noexcept { *this = TVCmnRef(object); }
    // Gives up the reference without releasing it; the caller now owns it.
    [[nodiscard]] T* detach() noexcept { return std::exchange(object_, nullptr); }

    T* get() const noexcept { return object_; }
    T* operator->() const noexcept { return object_; }
    T& operator*() const noexcept { return *object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    friend bool operator==(const TVCmnRef& a, const TVCmnRef& b) noexcept { return a.object_ == b.object_; }
    friend bool operator==(const TVCmnRef& a, std::nullptr_t) noexcept { return a.object_ == nullptr; }

private:
    T* object_ = nullptr;
};
