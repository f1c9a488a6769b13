#include "opc/DaOpcCom.h"

#include <olectl.h>

#include <cstring>
#include <new>
#include <utility>

void daSetCallbackSecurity(IUnknown* sink)
{
    // Fails for an in-process sink and under a COM without blankets; both are fine.
    CoSetProxyBlanket(sink, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_DEFAULT);
}

LPWSTR daTaskString(const std::wstring& text)
{
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (out)
        std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return out;
}

STDMETHODIMP DaOpcConnectionPoint::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP DaOpcConnectionPoint::GetConnectionInterface(IID* pIID)
{
    if (!pIID)
        return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

STDMETHODIMP DaOpcConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (!ppCPC)
        return E_POINTER;
    *ppCPC = &owner_;
    owner_.AddRef();
    return S_OK;
}

STDMETHODIMP DaOpcConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (!pUnkSink || !pdwCookie)
        return E_INVALIDARG;
    *pdwCookie = 0;
    if (!isUsable())
        return E_FAIL;
    TVCmnComPtr<IUnknown> typed;
    if (FAILED(pUnkSink->QueryInterface(iid_, typed.putVoid())))
        return CONNECT_E_CANNOTCONNECT;
    daSetCallbackSecurity(typed.get());
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (sink_)
            return CONNECT_E_ADVISELIMIT;
        sink_ = typed;
    }
    DWORD cookie = 0;
    HRESULT hr = onAdvise(typed.get(), cookie);
    std::lock_guard<std::mutex> hold(lock_);
    if (FAILED(hr)) {
        sink_.reset();
        return hr;
    }
    cookie_ = cookie;
    *pdwCookie = cookie;
    return S_OK;
}

STDMETHODIMP DaOpcConnectionPoint::Unadvise(DWORD dwCookie)
{
    if (!isUsable())
        return E_FAIL;
    TVCmnComPtr<IUnknown> old;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!sink_ || dwCookie != cookie_)
            return CONNECT_E_NOCONNECTION;
        old = std::move(sink_);
        cookie_ = 0;
    }
    return onUnadvise(dwCookie);  // the sink goes outside the lock, with `old`
}

STDMETHODIMP DaOpcConnectionPoint::EnumConnections(IEnumConnections** ppEnum)
{
    if (ppEnum)
        *ppEnum = nullptr;
    return E_NOTIMPL;
}

TVCmnComPtr<IUnknown> DaOpcConnectionPoint::sink()
{
    std::lock_guard<std::mutex> hold(lock_);
    return sink_;
}

void DaOpcConnectionPoint::drop()
{
    TVCmnComPtr<IUnknown> old;
    std::lock_guard<std::mutex> hold(lock_);
    old = std::move(sink_);
    cookie_ = 0;
}

namespace {

class StringEnumerator final : public IEnumString {
public:
    explicit StringEnumerator(std::vector<std::wstring> texts) : texts_(std::move(texts)) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumString) {
            *ppv = static_cast<IEnumString*>(this);
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
    STDMETHODIMP Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched))
            return E_INVALIDARG;
        ULONG fetched = 0;
        while (fetched < celt && next_ < texts_.size()) {
            rgelt[fetched] = daTaskString(texts_[next_]);
            if (!rgelt[fetched]) {
                while (fetched > 0)
                    CoTaskMemFree(rgelt[--fetched]);
                return E_OUTOFMEMORY;
            }
            ++fetched;
            ++next_;
        }
        if (pceltFetched)
            *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG celt) override
    {
        size_t left = texts_.size() - next_;
        next_ += celt < left ? celt : left;
        return celt <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumString** ppenum) override
    {
        if (!ppenum)
            return E_INVALIDARG;
        auto* copy = new (std::nothrow) StringEnumerator(texts_);
        if (!copy)
            return E_OUTOFMEMORY;
        copy->next_ = next_;
        *ppenum = copy;
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
    std::vector<std::wstring> texts_;
    size_t next_ = 0;  // a client uses an enumerator from one thread at a time
};

}  // namespace

HRESULT daCreateStringEnumerator(std::vector<std::wstring> texts, IEnumString** out)
{
    *out = nullptr;
    auto* made = new (std::nothrow) StringEnumerator(std::move(texts));
    if (!made)
        return E_OUTOFMEMORY;
    *out = made;
    return S_OK;
}
