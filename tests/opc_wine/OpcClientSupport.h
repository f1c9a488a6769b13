// What the OPC test clients share: check counters, owners of COM pointers and of the
// blocks the server allocates, recording callback sinks, the published codes checked.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "idl/kestrovaopc.h"
#include "idl/opccomn.h"
#include "idl/opcda.h"

constexpr DWORD kCallbackWaitMs = 10000;  // a safety net; callbacks come within 100s of ms
constexpr OPCHANDLE kStaleHandle = 0xDEAD;
// The exit code of the client that dies on purpose.
constexpr UINT kDoomedExitCode = 3;
// Published OPC codes the checks name.
constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0xC0040001);
constexpr HRESULT kBadRights = static_cast<HRESULT>(0xC0040006);
constexpr HRESULT kUnknownItemId = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT kUnsupportedRate = static_cast<HRESULT>(0x0004000D);
constexpr HRESULT kInUse = static_cast<HRESULT>(0x0004000F);
constexpr HRESULT kInvalidPid = static_cast<HRESULT>(0xC0040203);
constexpr HRESULT kNotFound = static_cast<HRESULT>(0xC0040011);

inline int g_checks = 0;
inline int g_failures = 0;

inline bool check(bool ok, const char* what)
{
    ++g_checks;
    if (!ok) {
        ++g_failures;
        printf("FAILED: %s\n", what);
    }
    return ok;
}

inline void expect(HRESULT actual, HRESULT expected, const char* what)
{
    char text[200];
    snprintf(text, sizeof text, "%s: 0x%08lX, expected 0x%08lX", what, static_cast<unsigned long>(actual),
             static_cast<unsigned long>(expected));
    check(actual == expected, text);
}

template <class T>
struct Com {
    T* p = nullptr;
    Com() = default;
    Com(const Com&) = delete;
    ~Com() { reset(); }
    void reset()
    {
        if (p)
            p->Release();
        p = nullptr;
    }
    T** put() { reset(); return &p; }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    LPUNKNOWN* putUnknown() { return reinterpret_cast<LPUNKNOWN*>(put()); }
    T* operator->() const { return p; }
};

// A block the server allocated for the client; what its elements own is the caller's.
template <class T>
struct TaskMem {
    T* p = nullptr;
    TaskMem() = default;
    TaskMem(const TaskMem&) = delete;
    ~TaskMem() { CoTaskMemFree(p); }
    T** put()
    {
        CoTaskMemFree(p);
        p = nullptr;
        return &p;
    }
    T& operator[](size_t i) const { return p[i]; }
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// Asks `from` for `iid` and checks that it answers; true when `to` holds the interface.
template <class T>
bool query(IUnknown* from, REFIID iid, Com<T>& to, const char* what)
{
    expect(from->QueryInterface(iid, to.putVoid()), S_OK, what);
    return to.p != nullptr;
}

// A server's text, freed with the holder.
struct TaskText : TaskMem<WCHAR> {
    bool is(const std::wstring& text) const { return p && text == p; }
    std::wstring str() const { return p ? p : L""; }
};

// What one element of a block the server allocated owns.
inline void release(VARIANT& value) { VariantClear(&value); }
inline void release(OPCSERVERSTATUS& status) { CoTaskMemFree(status.szVendorInfo); }
inline void release(OPCITEMSTATE& state) { VariantClear(&state.vDataValue); }
inline void release(OPCITEMATTRIBUTES& item)
{
    CoTaskMemFree(item.szItemID);
    CoTaskMemFree(item.szAccessPath);
    VariantClear(&item.vEUInfo);
}
inline void release(OPCITEMPROPERTIES& item)
{
    for (DWORD k = 0; item.pItemProperties && k < item.dwNumProperties; ++k) {
        CoTaskMemFree(item.pItemProperties[k].szItemID);
        CoTaskMemFree(item.pItemProperties[k].szDescription);
        VariantClear(&item.pItemProperties[k].vValue);
    }
    CoTaskMemFree(item.pItemProperties);
}
inline void release(OPCBROWSEELEMENT& element)
{
    CoTaskMemFree(element.szName);
    CoTaskMemFree(element.szItemID);
    release(element.ItemProperties);
}

// A block of `count` elements the server allocated, with what each element owns: the
// caller names the count it asks for, or hands `&count` to a call that answers it.
template <class T>
struct TaskArray : TaskMem<T> {
    DWORD count = 0;
    TaskArray() = default;
    ~TaskArray() { clear(); }
    T** put(DWORD n = 0)
    {
        clear();
        count = n;
        return TaskMem<T>::put();
    }
    void clear()
    {
        for (DWORD i = 0; this->p && i < count; ++i)
            release(this->p[i]);
    }
};

// The connection point for `iid` of `object`'s container.
inline HRESULT findPoint(IUnknown* object, REFIID iid, Com<IConnectionPoint>& point)
{
    Com<IConnectionPointContainer> container;
    const HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    return SUCCEEDED(hr) ? container->FindConnectionPoint(iid, point.put()) : hr;
}

inline std::vector<std::wstring> drain(IEnumString* strings)
{
    std::vector<std::wstring> texts;
    TaskText text;
    ULONG fetched = 0;
    while (strings && strings->Next(1, text.put(), &fetched) == S_OK && fetched == 1)
        texts.push_back(text.str());
    return texts;
}

inline bool contains(const std::vector<std::wstring>& list, const std::wstring& text)
{
    return std::find(list.begin(), list.end(), text) != list.end();
}

// ---- Sinks --------------------------------------------------------------------------

template <class I>
class Sink : public I {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == __uuidof(I)) {
            *ppv = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the stack of main

private:
    std::atomic<ULONG> refs_{1};
};

// What a sink received, in order, for the checks to wait on: callbacks come on COM's
// threads while the checks run on main.
template <class T>
class Received {
public:
    Received() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    Received(const Received&) = delete;
    ~Received() { CloseHandle(event_); }
    void add(T entry)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            entries_.push_back(std::move(entry));
        }
        SetEvent(event_);
    }
    // Waits for an entry that matches; false on the safety time-out.
    template <class Match>
    bool waitFor(Match match, T* found = nullptr)
    {
        const DWORD deadline = GetTickCount() + kCallbackWaitMs;
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                for (const T& entry : entries_)
                    if (match(entry)) {
                        if (found)
                            *found = entry;
                        return true;
                    }
            }
            const DWORD now = GetTickCount();
            if (static_cast<LONG>(deadline - now) <= 0)
                return false;
            WaitForSingleObject(event_, deadline - now);
        }
    }

private:
    HANDLE event_;
    std::mutex lock_;
    std::vector<T> entries_;  // guarded by lock_
};

struct CallbackRecord {
    int kind;
    DWORD transactionId;
    std::vector<OPCHANDLE> handles;
    std::vector<std::wstring> values;  // as text: what the checks compare
    std::vector<HRESULT> errors;
};

class DataCallback final : public Sink<IOPCDataCallback> {
public:
    static constexpr int kDataChange = 0, kRead = 1, kWrite = 2;

    STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                              VARIANT* pvValues, WORD*, FILETIME*, HRESULT* pErrors) override
    {
        return record(kDataChange, dwTransid, dwCount, phClientItems, pvValues, pErrors);
    }
    STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE* phClientItems,
                                VARIANT* pvValues, WORD*, FILETIME*, HRESULT* pErrors) override
    {
        return record(kRead, dwTransid, dwCount, phClientItems, pvValues, pErrors);
    }
    STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE, HRESULT, DWORD dwCount, OPCHANDLE* pClienthandles,
                                 HRESULT* pErrors) override
    {
        return record(kWrite, dwTransid, dwCount, pClienthandles, nullptr, pErrors);
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    template <class Match>
    bool waitFor(int kind, Match match, CallbackRecord* found = nullptr)
    {
        return received_.waitFor([&](const CallbackRecord& r) { return r.kind == kind && match(r); }, found);
    }
    bool waitForTransaction(int kind, DWORD id, CallbackRecord* found = nullptr)
    {
        return waitFor(kind, [id](const CallbackRecord& r) { return r.transactionId == id; }, found);
    }

private:
    HRESULT record(int kind, DWORD transid, DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT* errors)
    {
        CallbackRecord r{kind, transid, {}, {}, {}};
        for (DWORD i = 0; i < count; ++i) {
            r.handles.push_back(handles[i]);
            VARIANT text;
            VariantInit(&text);
            const bool asText = values && SUCCEEDED(VariantChangeType(&text, &values[i], 0, VT_BSTR));
            r.values.push_back(asText && text.bstrVal ? text.bstrVal : L"");
            VariantClear(&text);
            r.errors.push_back(errors ? errors[i] : S_OK);
        }
        received_.add(std::move(r));
        return S_OK;
    }

    Received<CallbackRecord> received_;
};
