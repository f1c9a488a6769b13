#include "tests/wine/PlumbingObject.h"

#include <olectl.h>

#include <cwchar>
#include <iterator>
#include <new>
#include <system_error>

#include "tests/wine/PlumbingServer.h"

using Microsoft::WRL::ComPtr;

namespace {

// The cookie the client gets for its one sink. The GIT cookie stays inside: handing
// it out would let a stale Unadvise revoke another connection's table entry.
constexpr DWORD kSinkConnectionCookie = 1;

const LCID kConversionLocale = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);

struct FixedItem {
  const wchar_t* name;
  DWORD handle;
};
constexpr FixedItem kFixedItems[] = {
    {L"Drive1.Speed", 101},
    {L"Drive1.Current", 102},
    {L"Drive2.Speed", 201},
};

// The callback value cycles through the three types a drive parameter most often has,
// so that each crosses the process boundary many times.
HRESULT tickValue(DWORD sequence, VARIANT* value) {
  VariantInit(value);
  switch (sequence % 3) {
    case 0: {
      wchar_t text[32];
      swprintf(text, 32, L"tick %lu", static_cast<unsigned long>(sequence));
      value->bstrVal = SysAllocString(text);
      if (!value->bstrVal) return E_OUTOFMEMORY;
      value->vt = VT_BSTR;
      return S_OK;
    }
    case 1:
      value->vt = VT_I4;
      value->lVal = static_cast<LONG>(sequence);
      return S_OK;
    default:
      value->vt = VT_R8;
      value->dblVal = sequence / 4.0;
      return S_OK;
  }
}

wchar_t* taskCopy(const wchar_t* text) {
  size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (copy) memcpy(copy, text, bytes);
  return copy;
}

}  // namespace

// ---- PlumbingConnectionPoint ------------------------------------------------------

STDMETHODIMP PlumbingConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) PlumbingConnectionPoint::AddRef() { return owner_.AddRef(); }
STDMETHODIMP_(ULONG) PlumbingConnectionPoint::Release() { return owner_.Release(); }

STDMETHODIMP PlumbingConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = IID_IKvPlumbingSink;
  return S_OK;
}

STDMETHODIMP PlumbingConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  *ppCPC = &owner_;
  owner_.AddRef();
  return S_OK;
}

STDMETHODIMP PlumbingConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  return owner_.advise(pUnkSink, pdwCookie);
}

STDMETHODIMP PlumbingConnectionPoint::Unadvise(DWORD dwCookie) { return owner_.unadvise(dwCookie); }

STDMETHODIMP PlumbingConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  return E_NOTIMPL;
}

// ---- PlumbingObject ---------------------------------------------------------------

PlumbingObject::PlumbingObject() { serverAddRef(); }

PlumbingObject::~PlumbingObject() {
  if (worker_.joinable()) {
    SetEvent(stopEvent_);
    worker_.join();
  }
  // A client that released without Unadvise leaves its sink in the table.
  if (sinkCookie_) git_->RevokeInterfaceFromGlobal(sinkCookie_);
  if (workEvent_) CloseHandle(workEvent_);
  if (stopEvent_) CloseHandle(stopEvent_);
  serverLog("object %p destroyed", static_cast<void*>(this));
  // Last: this may let the process end.
  serverRelease();
}

HRESULT PlumbingObject::create(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* object = new (std::nothrow) PlumbingObject();
  if (!object) return E_OUTOFMEMORY;
  HRESULT hr = object->start();
  if (SUCCEEDED(hr)) hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT PlumbingObject::start() {
  HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&git_));
  if (FAILED(hr)) return hr;
  workEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!workEvent_ || !stopEvent_) return HRESULT_FROM_WIN32(GetLastError());
  try {
    worker_ = std::thread([this] { runWorker(); });
  } catch (const std::system_error&) {
    return E_OUTOFMEMORY;
  }
  serverLog("object %p created", static_cast<void*>(this));
  return S_OK;
}

STDMETHODIMP PlumbingObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IKvPlumbing) {
    *ppv = static_cast<IKvPlumbing*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppv = static_cast<IConnectionPointContainer*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) PlumbingObject::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) PlumbingObject::Release() {
  ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP PlumbingObject::Convert(VARIANT vIn, VARTYPE vtAs, VARIANT* pvOut) {
  if (!pvOut) return E_POINTER;
  VariantInit(pvOut);
  HRESULT hr = vtAs == VT_EMPTY ? VariantCopy(pvOut, &vIn)
                                : VariantChangeTypeEx(pvOut, &vIn, kConversionLocale, 0, vtAs);
  if (FAILED(hr)) VariantInit(pvOut);
  return hr;
}

STDMETHODIMP PlumbingObject::LookUp(DWORD dwCount, LPCWSTR* pszNames, DWORD** ppdwHandles,
                                    HRESULT** ppErrors) {
  if (!ppdwHandles || !ppErrors) return E_POINTER;
  *ppdwHandles = nullptr;
  *ppErrors = nullptr;
  if (dwCount == 0) return E_INVALIDARG;
  if (!pszNames) return E_POINTER;

  auto* handles = static_cast<DWORD*>(CoTaskMemAlloc(dwCount * sizeof(DWORD)));
  auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(dwCount * sizeof(HRESULT)));
  if (!handles || !errors) {
    CoTaskMemFree(handles);
    CoTaskMemFree(errors);
    return E_OUTOFMEMORY;
  }
  HRESULT result = S_OK;
  for (DWORD i = 0; i < dwCount; ++i) {
    handles[i] = 0;
    errors[i] = pszNames[i] ? HRESULT_FROM_WIN32(ERROR_NOT_FOUND) : E_INVALIDARG;
    for (const FixedItem& item : kFixedItems) {
      if (pszNames[i] && wcscmp(pszNames[i], item.name) == 0) {
        handles[i] = item.handle;
        errors[i] = S_OK;
      }
    }
    if (FAILED(errors[i])) result = S_FALSE;
  }
  *ppdwHandles = handles;
  *ppErrors = errors;
  return result;
}

STDMETHODIMP PlumbingObject::ListNames(LPCWSTR szPrefix, DWORD* pdwCount, LPWSTR** ppszNames) {
  if (!pdwCount || !ppszNames) return E_POINTER;
  *pdwCount = 0;
  *ppszNames = nullptr;
  if (!szPrefix) return E_INVALIDARG;

  size_t prefixLength = wcslen(szPrefix);
  const FixedItem* matches[std::size(kFixedItems)];
  DWORD count = 0;
  for (const FixedItem& item : kFixedItems) {
    if (wcsncmp(item.name, szPrefix, prefixLength) == 0) matches[count++] = &item;
  }
  if (count == 0) return S_FALSE;

  auto* names = static_cast<LPWSTR*>(CoTaskMemAlloc(count * sizeof(LPWSTR)));
  if (!names) return E_OUTOFMEMORY;
  for (DWORD i = 0; i < count; ++i) {
    names[i] = taskCopy(matches[i]->name);
    if (!names[i]) {
      for (DWORD j = 0; j < i; ++j) CoTaskMemFree(names[j]);
      CoTaskMemFree(names);
      return E_OUTOFMEMORY;
    }
  }
  *pdwCount = count;
  *ppszNames = names;
  return S_OK;
}

STDMETHODIMP PlumbingObject::StartTicks(DWORD dwCount) {
  if (dwCount == 0) return E_INVALIDARG;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!sinkCookie_) return CONNECT_E_NOCONNECTION;
    pendingTicks_ += dwCount;
  }
  SetEvent(workEvent_);
  return S_OK;
}

STDMETHODIMP PlumbingObject::GetServerProcessId(DWORD* pdwProcessId) {
  if (!pdwProcessId) return E_POINTER;
  *pdwProcessId = GetCurrentProcessId();
  return S_OK;
}

STDMETHODIMP PlumbingObject::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP PlumbingObject::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  if (riid != IID_IKvPlumbingSink) {
    *ppCP = nullptr;
    return CONNECT_E_NOCONNECTION;
  }
  *ppCP = &connectionPoint_;
  connectionPoint_.AddRef();
  return S_OK;
}

HRESULT PlumbingObject::advise(IUnknown* sinkUnknown, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sinkUnknown) return E_POINTER;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (sinkCookie_) return CONNECT_E_ADVISELIMIT;
  }
  // Ask for the sink interface outside the lock: it is a call into the client.
  ComPtr<IKvPlumbingSink> sink;
  if (FAILED(sinkUnknown->QueryInterface(IID_PPV_ARGS(&sink)))) return CONNECT_E_CANNOTCONNECT;
  // The table marshals the proxy for whichever thread takes it out; the worker does.
  DWORD gitCookie = 0;
  HRESULT hr = git_->RegisterInterfaceInGlobal(sink.Get(), IID_IKvPlumbingSink, &gitCookie);
  if (FAILED(hr)) return hr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!sinkCookie_) {
      sinkCookie_ = gitCookie;
      sequence_ = 0;
      pendingTicks_ = 0;
      gitCookie = 0;
    }
  }
  if (gitCookie) {  // another Advise won the race
    git_->RevokeInterfaceFromGlobal(gitCookie);
    return CONNECT_E_ADVISELIMIT;
  }
  *cookie = kSinkConnectionCookie;
  serverLog("sink advised");
  return S_OK;
}

HRESULT PlumbingObject::unadvise(DWORD cookie) {
  DWORD gitCookie = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (cookie != kSinkConnectionCookie || !sinkCookie_) return CONNECT_E_NOCONNECTION;
    gitCookie = sinkCookie_;
    sinkCookie_ = 0;
    pendingTicks_ = 0;
  }
  // The worker may still hold its own proxy for the current tick; that reference is
  // its own and ends with the batch.
  git_->RevokeInterfaceFromGlobal(gitCookie);
  serverLog("sink unadvised");
  return S_OK;
}

void PlumbingObject::runWorker() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    serverLog("worker: CoInitializeEx failed 0x%08lx", static_cast<unsigned long>(hr));
    return;
  }
  const HANDLE waits[] = {stopEvent_, workEvent_};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    ComPtr<IKvPlumbingSink> sink;
    DWORD heldCookie = 0;
    DWORD delivered = 0;
    for (;;) {
      DWORD cookie = 0;
      DWORD sequence = 0;
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (!sinkCookie_ || pendingTicks_ == 0) break;
        --pendingTicks_;
        sequence = ++sequence_;
        cookie = sinkCookie_;
      }
      if (cookie != heldCookie) {
        sink.Reset();
        hr = git_->GetInterfaceFromGlobal(cookie, IID_PPV_ARGS(&sink));
        if (FAILED(hr)) {  // unadvised between the lock and here
          serverLog("worker: sink no longer in the table 0x%08lx", static_cast<unsigned long>(hr));
          break;
        }
        heldCookie = cookie;
      }
      VARIANT value;
      hr = tickValue(sequence, &value);
      if (SUCCEEDED(hr)) hr = sink->OnTick(sequence, value);
      VariantClear(&value);
      if (FAILED(hr)) {
        // A dead or misbehaving client: drop what is queued rather than call it again
        // for every tick.
        serverLog("worker: OnTick(%lu) failed 0x%08lx", static_cast<unsigned long>(sequence),
                  static_cast<unsigned long>(hr));
        std::lock_guard<std::mutex> hold(lock_);
        pendingTicks_ = 0;
        break;
      }
      ++delivered;
      if (WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0) break;
    }
    // Two StartTicks calls in a row may wake the worker once for both.
    if (delivered > 0) serverLog("worker: %lu callbacks delivered", static_cast<unsigned long>(delivered));
  }
  CoUninitialize();
}
