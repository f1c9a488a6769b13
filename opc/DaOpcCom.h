// COM pieces the server and group objects share: the task-allocated output arrays, a
// connection point with one sink, the string enumerator of the browse methods, and the
// sink security blanket. Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/TVCmnComPtr.h"
#include "da/DaGroup.h"
#include "idl/opcda.h"

// A task-allocated array that goes to the client on success and is freed otherwise.
template <class T>
class DaOpcOut {
public:
    DaOpcOut() = default;
    DaOpcOut(const DaOpcOut&) = delete;
    DaOpcOut& operator=(const DaOpcOut&) = delete;
    ~DaOpcOut() { CoTaskMemFree(items_); }
    bool allocate(size_t count)
    {
        items_ = static_cast<T*>(CoTaskMemAlloc(count ? count * sizeof(T) : 1));
        if (items_)
            ZeroMemory(items_, count * sizeof(T));
        return items_ != nullptr;
    }
    T& operator[](size_t i) { return items_[i]; }
    T* get() const { return items_; }
    T* release() { T* out = items_; items_ = nullptr; return out; }

private:
    T* items_ = nullptr;
};

// Sets the callback levels on a client sink's proxy (authentication none, impersonate);
// an in-process sink has no proxy and keeps what it has.
void daSetCallbackSecurity(IUnknown* sink);

// The connection point of one outgoing interface with at most one sink. The owner
// decides what an advise means (onAdvise answers the cookie or a failure).
class DaOpcConnectionPoint : public IConnectionPoint {
public:
    DaOpcConnectionPoint(IConnectionPointContainer& owner, REFIID iid) : owner_(owner), iid_(iid) {}
    virtual ~DaOpcConnectionPoint() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }
    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

    const IID& iid() const { return iid_; }
    // The sink, as the outgoing interface (null when none is advised).
    TVCmnComPtr<IUnknown> sink();
    // Drops the sink (disconnect); it is released outside the lock.
    void drop();
    // Drops the sink and cuts the client's proxies of this point: COM releases what
    // their stubs hold once no call is inside them.
    void disconnect();

protected:
    // The sink arrives as the outgoing interface; S_OK with the cookie, or a failure.
    virtual HRESULT onAdvise(IUnknown* sink, DWORD& cookie) { cookie = 1; return S_OK; }
    virtual HRESULT onUnadvise(DWORD cookie) { return S_OK; }
    virtual bool isUsable() const { return true; }

private:
    IConnectionPointContainer& owner_;  // not owning: the point is part of it
    const IID iid_;
    // Advise and Unadvise wait at most kAdviseLockWait for it, then answer E_PENDING.
    static constexpr std::chrono::milliseconds kAdviseLockWait{2000};
    static constexpr std::chrono::milliseconds kSinkAskAgainAfter{100};
    std::timed_mutex lock_;
    TVCmnComPtr<IUnknown> sink_;  // guarded by lock_
    DWORD cookie_ = 0;            // guarded by lock_
};

// The skeleton of the enumerators handed to clients: a fixed list and a position, with
// IUnknown, Skip, Reset and Clone. Derived (CRTP) adds Next in its interface's form,
// a constructor from the list and `static const IID& iid()`.
template <class Derived, class Interface, class Element>
class DaOpcEnumerator : public Interface {
public:
    explicit DaOpcEnumerator(std::vector<Element> items) : items_(std::move(items)) {}
    virtual ~DaOpcEnumerator() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == Derived::iid()) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG refs = --refs_;
        if (refs == 0)
            delete this;
        return refs;
    }
    STDMETHODIMP Skip(ULONG celt) override
    {
        const size_t left = items_.size() - next_;
        next_ += celt < left ? celt : left;
        return celt <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** ppEnum) override
    {
        if (!ppEnum)
            return E_INVALIDARG;
        *ppEnum = nullptr;
        auto* copy = new (std::nothrow) Derived(items_);
        if (!copy)
            return E_OUTOFMEMORY;
        copy->next_ = next_;
        *ppEnum = copy;
        return S_OK;
    }

protected:
    // The next elements, up to celt; `advance` moves past what Next handed out.
    const Element* peek(ULONG celt, ULONG& count) const
    {
        const size_t left = items_.size() - next_;
        count = static_cast<ULONG>(celt < left ? celt : left);
        return items_.data() + next_;
    }
    void advance(ULONG count) { next_ += count; }

private:
    std::atomic<ULONG> refs_{1};
    const std::vector<Element> items_;
    size_t next_ = 0;  // a client uses an enumerator from one thread at a time
};

// IEnumString over a fixed list (the browse results, group names).
HRESULT daCreateStringEnumerator(std::vector<std::wstring> texts, IEnumString** out);
// IEnumUnknown over a fixed list of objects (the group enumerator).
HRESULT daCreateUnknownEnumerator(std::vector<TVCmnComPtr<IUnknown>> objects, IEnumUnknown** out);

// Wide text to a task-allocated copy; null when the allocator refuses.
LPWSTR daTaskString(const std::wstring& text);

// Nulls each output pointer that is given.
template <class... Out>
void daNullOutputs(Out*... out)
{
    ((out ? (void)(*out = nullptr) : (void)0), ...);
}

// Read results as the max-age reads hand them out (IOPCSyncIO2::ReadMaxAge,
// IOPCItemIO::Read): three task-allocated arrays; values only for items without error.
// E_OUTOFMEMORY leaves every output null.
HRESULT daReadResultsToClient(std::vector<DaReadResult>& results, const std::vector<HRESULT>& errors, DWORD count,
                              VARIANT** ppvValues, WORD** ppwQualities, FILETIME** ppftTimeStamps);

// The client's OPCITEMVQT entries as the engine takes them: the values (shallow copies,
// valid while the call runs) and the optional quality and time of each.
void daVqtsFromClient(const OPCITEMVQT* vqts, DWORD count, std::vector<VARIANT>& values, std::vector<DaWriteQT>& qts);
