#include "opc/DaOpcCom.h"

#include <olectl.h>

#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include "trace/TVCmnTrace.h"

void daSetCallbackSecurity(IUnknown* sink)
{
    // Fails for an in-process sink and under a COM without blankets; both are fine.
    CoSetProxyBlanket(sink, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_DEFAULT);
}

HRESULT daReadResultsToClient(std::vector<DaReadResult>& results, const std::vector<HRESULT>& errors, DWORD count,
                              VARIANT** ppvValues, WORD** ppwQualities, FILETIME** ppftTimeStamps)
{
    DaOpcOut<VARIANT> values;
    DaOpcOut<WORD> qualities;
    DaOpcOut<FILETIME> times;
    if (!values.allocate(count) || !qualities.allocate(count) || !times.allocate(count))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count && i < results.size() && i < errors.size(); ++i) {
        if (FAILED(errors[i]))
            continue;
        results[i].value.detachTo(values[i]);
        qualities[i] = results[i].quality;
        times[i] = results[i].timestamp;
    }
    *ppvValues = values.release();
    *ppwQualities = qualities.release();
    *ppftTimeStamps = times.release();
    return S_OK;
}

void daVqtsFromClient(const OPCITEMVQT* vqts, DWORD count, std::vector<VARIANT>& values, std::vector<DaWriteQT>& qts)
{
    values.resize(count);
    qts.resize(count);
    for (DWORD i = 0; i < count; ++i) {
        values[i] = vqts[i].vDataValue;
        qts[i].hasQuality = vqts[i].bQualitySpecified != FALSE;
        qts[i].quality = vqts[i].wQuality;
        qts[i].hasTimestamp = vqts[i].bTimeStampSpecified != FALSE;
        qts[i].timestamp = vqts[i].ftTimeStamp;
    }
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
    HRESULT asked = pUnkSink->QueryInterface(iid_, typed.putVoid());
    if (FAILED(asked)) {
        // This is often the first call back into a client that has only just started,
        // and under load it was seen to fail in transit now and then (its proxy reports
        // any failure as E_NOINTERFACE). Asked once more: a sink that lacks the
        // interface says so again.
        KV_TRACE(kTraceWarning, kTraceGroupOpc, "", "IConnectionPoint::Advise: sink QueryInterface [0x%X], asked again",
                 static_cast<unsigned>(asked));
        std::this_thread::sleep_for(kSinkAskAgainAfter);
        asked = pUnkSink->QueryInterface(iid_, typed.putVoid());
    }
    if (FAILED(asked)) {
        KV_TRACE(kTraceError, kTraceGroupOpc, "", "IConnectionPoint::Advise: sink QueryInterface [0x%X]",
                 static_cast<unsigned>(asked));
        return CONNECT_E_CANNOTCONNECT;
    }
    daSetCallbackSecurity(typed.get());
    {
        std::unique_lock<std::timed_mutex> hold(lock_, kAdviseLockWait);
        if (!hold.owns_lock())
            return E_PENDING;
        if (sink_)
            return CONNECT_E_ADVISELIMIT;
        sink_ = typed;
    }
    DWORD cookie = 0;
    HRESULT hr = onAdvise(typed.get(), cookie);
    TVCmnComPtr<IUnknown> refused;  // released without the lock
    std::lock_guard<std::timed_mutex> hold(lock_);
    if (FAILED(hr)) {
        refused = std::move(sink_);
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
        std::unique_lock<std::timed_mutex> hold(lock_, kAdviseLockWait);
        if (!hold.owns_lock())
            return E_PENDING;
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
    std::lock_guard<std::timed_mutex> hold(lock_);
    return sink_;
}

void DaOpcConnectionPoint::drop()
{
    TVCmnComPtr<IUnknown> old;
    std::lock_guard<std::timed_mutex> hold(lock_);
    old = std::move(sink_);
    cookie_ = 0;
}

void DaOpcConnectionPoint::disconnect()
{
    drop();
    CoDisconnectObject(static_cast<IConnectionPoint*>(this), 0);
}

namespace {

class StringEnumerator final : public DaOpcEnumerator<StringEnumerator, IEnumString, std::wstring> {
public:
    using DaOpcEnumerator::DaOpcEnumerator;
    static const IID& iid() { return IID_IEnumString; }
    STDMETHODIMP Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched))
            return E_INVALIDARG;
        ULONG count = 0;
        const std::wstring* texts = peek(celt, count);
        for (ULONG i = 0; i < count; ++i) {
            rgelt[i] = daTaskString(texts[i]);
            if (!rgelt[i]) {
                while (i > 0)
                    CoTaskMemFree(rgelt[--i]);
                return E_OUTOFMEMORY;
            }
        }
        advance(count);
        if (pceltFetched)
            *pceltFetched = count;
        return count == celt ? S_OK : S_FALSE;
    }
};

class UnknownEnumerator final : public DaOpcEnumerator<UnknownEnumerator, IEnumUnknown, TVCmnComPtr<IUnknown>> {
public:
    using DaOpcEnumerator::DaOpcEnumerator;
    static const IID& iid() { return IID_IEnumUnknown; }
    STDMETHODIMP Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched))
            return E_INVALIDARG;
        ULONG count = 0;
        const TVCmnComPtr<IUnknown>* objects = peek(celt, count);
        for (ULONG i = 0; i < count; ++i) {
            rgelt[i] = objects[i].get();
            rgelt[i]->AddRef();
        }
        advance(count);
        if (pceltFetched)
            *pceltFetched = count;
        return count == celt ? S_OK : S_FALSE;
    }
};

template <class Enumerator, class Interface, class List>
HRESULT createEnumerator(List list, Interface** out)
{
    *out = nullptr;
    auto* made = new (std::nothrow) Enumerator(std::move(list));
    if (!made)
        return E_OUTOFMEMORY;
    *out = made;
    return S_OK;
}

}  // namespace

HRESULT daCreateStringEnumerator(std::vector<std::wstring> texts, IEnumString** out)
{
    return createEnumerator<StringEnumerator>(std::move(texts), out);
}

HRESULT daCreateUnknownEnumerator(std::vector<TVCmnComPtr<IUnknown>> objects, IEnumUnknown** out)
{
    return createEnumerator<UnknownEnumerator>(std::move(objects), out);
}
