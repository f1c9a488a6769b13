// COM pieces the server and group objects share: the task-allocated output arrays, a
// connection point with one sink, the string enumerator of the browse methods, and the
// sink security blanket. Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/TVCmnComPtr.h"

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

protected:
    // The sink arrives as the outgoing interface; S_OK with the cookie, or a failure.
    virtual HRESULT onAdvise(IUnknown* sink, DWORD& cookie) { cookie = 1; return S_OK; }
    virtual HRESULT onUnadvise(DWORD cookie) { return S_OK; }
    virtual bool isUsable() const { return true; }

private:
    IConnectionPointContainer& owner_;  // not owning: the point is part of it
    const IID iid_;
    std::mutex lock_;
    TVCmnComPtr<IUnknown> sink_;  // guarded by lock_
    DWORD cookie_ = 0;            // guarded by lock_
};

// IEnumString over a fixed list (the browse results).
HRESULT daCreateStringEnumerator(std::vector<std::wstring> texts, IEnumString** out);

// Wide text to a task-allocated copy; null when the allocator refuses.
LPWSTR daTaskString(const std::wstring& text);
