// The OPC marshalling proof's local server exe. NOT the product: a canned server object
// and group object that answer with the data of OpcMarshalCanned.h and check what
// arrives against it, so the client can see every OPC structure cross the process
// boundary through kv_opc_ps.dll in both directions. Interfaces without canned methods
// are answered by a tear-off whose methods all return E_NOTIMPL: a client's
// QueryInterface still proves that their proxy and stub exist and are registered.
//
// Registers itself with /regserver and /unregserver like the plumbing proof, whose
// test script runs it; logs to the file named by KV_PLUMBING_LOG.

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "tests/opcidl/OpcMarshalCanned.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kLogVariable[] = L"KV_PLUMBING_LOG";
constexpr wchar_t kServerDescription[] = L"Kestrova OPC marshalling proof";
constexpr OPCHANDLE kServerGroupHandle = 0x2001;
constexpr DWORD kCancelIdBase = 0x500;

HANDLE g_lastReleaseEvent = nullptr;
std::mutex g_logLock;

void serverLog(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
void serverLog(const char* format, ...) {
  wchar_t path[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(kLogVariable, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  std::lock_guard<std::mutex> hold(g_logLock);
  FILE* file = _wfopen(path, L"a");
  if (!file) return;
  // "server <pid>." is what the test script looks for to end a left-over server.
  fprintf(file, "server %lu.%lu: ", GetCurrentProcessId(), GetCurrentThreadId());
  va_list args;
  va_start(args, format);
  vfprintf(file, format, args);
  va_end(args);
  fputc('\n', file);
  fclose(file);
}

void serverAddRef() { CoAddRefServerProcess(); }
void serverRelease() {
  if (CoReleaseServerProcess() == 0) SetEvent(g_lastReleaseEvent);
}

// ---- Task-allocator helpers (what the stub frees after sending) --------------------

template <class T>
T* taskArray(DWORD count) {
  void* memory = CoTaskMemAlloc(sizeof(T) * (count ? count : 1));
  if (memory) memset(memory, 0, sizeof(T) * (count ? count : 1));
  return static_cast<T*>(memory);
}

LPWSTR taskString(const wchar_t* text) {
  size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  auto copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (copy) memcpy(copy, text, bytes);
  return copy;
}

bool same(const wchar_t* a, const wchar_t* b) { return a && b && wcscmp(a, b) == 0; }

// Index of a known canned item by ID, or -1.
int knownItem(const wchar_t* itemId) {
  for (DWORD i = 0; i < canned::kKnownItemCount; ++i) {
    if (same(itemId, canned::kItems[i].itemId)) return static_cast<int>(i);
  }
  return -1;
}

// A write of the canned values: S_OK for the speed, OPC_E_BADRIGHTS for the read-only
// status once its value arrived intact, E_FAIL for a value that arrived changed.
HRESULT cannedWrite(OPCHANDLE server, const VARIANT& value) {
  switch (server) {
    case canned::kFirstServerHandle:
      return value.vt == VT_R8 && value.dblVal == canned::kWriteSpeed ? S_OK : E_FAIL;
    case canned::kFirstServerHandle + 1:
      return value.vt == VT_BSTR && same(value.bstrVal, canned::kWriteStatus) &&
                     SysStringLen(value.bstrVal) == wcslen(canned::kWriteStatus)
                 ? OPC_E_BADRIGHTS
                 : E_FAIL;
    default:
      return OPC_E_INVALIDHANDLE;
  }
}

// ---- A tear-off for interfaces without canned methods ------------------------------

// Every method slot after IUnknown's returns E_NOTIMPL whatever its arguments: under
// the x64 calling convention the caller owns the argument space, so a function that
// takes fewer arguments than the caller passes is safe. Fine for a test exe, and no
// client of this proof calls these slots except to see E_NOTIMPL come back.
struct NotImplTearOff {
  const void* const* vtable;
  std::atomic<ULONG> refs;
  IUnknown* owner;  // holds a reference
};

HRESULT STDMETHODCALLTYPE tearOffQueryInterface(NotImplTearOff* self, REFIID riid, void** ppv) {
  return self->owner->QueryInterface(riid, ppv);
}
ULONG STDMETHODCALLTYPE tearOffAddRef(NotImplTearOff* self) { return ++self->refs; }
ULONG STDMETHODCALLTYPE tearOffRelease(NotImplTearOff* self) {
  ULONG refs = --self->refs;
  if (refs == 0) {
    self->owner->Release();
    delete self;
  }
  return refs;
}
HRESULT STDMETHODCALLTYPE tearOffNotImpl() { return E_NOTIMPL; }

constexpr int kTearOffMethods = 16;  // more than any interface here has
const void* const* tearOffVtable() {
  static const void* table[3 + kTearOffMethods] = {
      reinterpret_cast<const void*>(&tearOffQueryInterface),
      reinterpret_cast<const void*>(&tearOffAddRef),
      reinterpret_cast<const void*>(&tearOffRelease)};
  for (int i = 0; i < kTearOffMethods; ++i) table[3 + i] = reinterpret_cast<const void*>(&tearOffNotImpl);
  return table;
}

HRESULT newTearOff(IUnknown* owner, void** ppv) {
  auto* tearOff = new (std::nothrow) NotImplTearOff{tearOffVtable(), {1}, owner};
  if (!tearOff) return E_OUTOFMEMORY;
  owner->AddRef();
  *ppv = tearOff;
  return S_OK;
}

// ---- One-sink connection point -----------------------------------------------------

class SinkPoint final : public IConnectionPoint {
public:
  SinkPoint(IConnectionPointContainer& owner, REFIID iid) : owner_(owner), iid_(iid) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
      *ppv = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }

  STDMETHODIMP GetConnectionInterface(IID* pIID) override {
    if (!pIID) return E_POINTER;
    *pIID = iid_;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override {
    if (!ppCPC) return E_POINTER;
    *ppCPC = &owner_;
    owner_.AddRef();
    return S_OK;
  }
  STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override {
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    *pdwCookie = 0;
    ComPtr<IUnknown> sink;
    if (FAILED(pUnkSink->QueryInterface(iid_, reinterpret_cast<void**>(sink.GetAddressOf())))) {
      return CONNECT_E_CANNOTCONNECT;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (sink_) return CONNECT_E_ADVISELIMIT;
    sink_ = sink;
    *pdwCookie = kCookie;
    return S_OK;
  }
  STDMETHODIMP Unadvise(DWORD dwCookie) override {
    ComPtr<IUnknown> old;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (dwCookie != kCookie || !sink_) return CONNECT_E_NOCONNECTION;
      old.Swap(sink_);
    }
    return S_OK;  // the sink proxy is released outside the lock
  }
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  template <class T>
  ComPtr<T> sink() {
    std::lock_guard<std::mutex> hold(lock_);
    ComPtr<T> typed;
    if (sink_) typed = static_cast<T*>(sink_.Get());  // stored as the iid_ interface
    return typed;
  }

private:
  static constexpr DWORD kCookie = 1;
  IConnectionPointContainer& owner_;  // not owning: the point is part of it
  const IID iid_;
  std::mutex lock_;
  ComPtr<IUnknown> sink_;  // guarded by lock_
};

// ---- The group object --------------------------------------------------------------

struct GroupState {
  std::wstring name;
  DWORD updateRate = 0;
  BOOL active = FALSE;
  LONG timeBias = 0;
  FLOAT deadband = -1.0f;  // -1: none was given
  DWORD lcid = 0;
  OPCHANDLE clientGroup = 0;
  DWORD keepAlive = 0;
};

class CannedGroup final : public IOPCGroupStateMgt2,
                          public IOPCItemMgt,
                          public IOPCSyncIO,
                          public IOPCAsyncIO2,
                          public IOPCItemDeadbandMgt,
                          public IConnectionPointContainer {
public:
  explicit CannedGroup(GroupState state) : state_(std::move(state)) { serverAddRef(); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCItemMgt) {
      *ppv = static_cast<IOPCItemMgt*>(this);
    } else if (riid == IID_IOPCGroupStateMgt || riid == IID_IOPCGroupStateMgt2) {
      *ppv = static_cast<IOPCGroupStateMgt2*>(this);
    } else if (riid == IID_IOPCSyncIO) {
      *ppv = static_cast<IOPCSyncIO*>(this);
    } else if (riid == IID_IOPCAsyncIO2) {
      *ppv = static_cast<IOPCAsyncIO2*>(this);
    } else if (riid == IID_IOPCItemDeadbandMgt) {
      *ppv = static_cast<IOPCItemDeadbandMgt*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
      *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_IOPCPublicGroupStateMgt || riid == IID_IOPCSyncIO2 || riid == IID_IOPCAsyncIO ||
               riid == IID_IOPCAsyncIO3 || riid == IID_IOPCItemSamplingMgt) {
      return newTearOff(static_cast<IOPCItemMgt*>(this), ppv);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG refs = --refs_;
    if (refs == 0) {
      delete this;
      serverRelease();
    }
    return refs;
  }

  // IOPCGroupStateMgt, IOPCGroupStateMgt2
  STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                        FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                        OPCHANDLE* phServerGroup) override {
    std::lock_guard<std::mutex> hold(lock_);
    *ppName = taskString(state_.name.c_str());
    if (!*ppName) return E_OUTOFMEMORY;
    *pUpdateRate = state_.updateRate;
    *pActive = state_.active;
    *pTimeBias = state_.timeBias;
    *pPercentDeadband = state_.deadband;
    *pLCID = state_.lcid;
    *phClientGroup = state_.clientGroup;
    *phServerGroup = kServerGroupHandle;
    return S_OK;
  }
  // Applies only what was given: every [unique] pointer that arrives null stays unset.
  STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                        LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                        OPCHANDLE* phClientGroup) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (pRequestedUpdateRate) state_.updateRate = *pRequestedUpdateRate;
    if (pActive) state_.active = *pActive;
    if (pTimeBias) state_.timeBias = *pTimeBias;
    if (pPercentDeadband) state_.deadband = *pPercentDeadband;
    if (pLCID) state_.lcid = *pLCID;
    if (phClientGroup) state_.clientGroup = *phClientGroup;
    *pRevisedUpdateRate = state_.updateRate;
    return S_OK;
  }
  STDMETHODIMP SetName(LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
    *ppUnk = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) override {
    std::lock_guard<std::mutex> hold(lock_);
    // Canned rule: at least 20 ms, so the success code has to cross too.
    state_.keepAlive = dwKeepAliveTime != 0 && dwKeepAliveTime < 20 ? 20 : dwKeepAliveTime;
    *pdwRevisedKeepAliveTime = state_.keepAlive;
    return state_.keepAlive == dwKeepAliveTime ? S_OK : OPC_S_UNSUPPORTEDRATE;
  }
  STDMETHODIMP GetKeepAlive(DWORD* pdwKeepAliveTime) override {
    std::lock_guard<std::mutex> hold(lock_);
    *pdwKeepAliveTime = state_.keepAlive;
    return S_OK;
  }

  // IOPCItemMgt
  STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                        HRESULT** ppErrors) override {
    *ppAddResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0) return E_INVALIDARG;
    auto* results = taskArray<OPCITEMRESULT>(dwCount);
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!results || !errors) {
      CoTaskMemFree(results);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    std::lock_guard<std::mutex> hold(lock_);
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = addOne(pItemArray[i], results[i]);
      anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppAddResults = results;
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }
  STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT** ppValidationResults,
                             HRESULT** ppErrors) override {
    *ppValidationResults = nullptr;
    *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!errors) return E_OUTOFMEMORY;
    std::lock_guard<std::mutex> hold(lock_);
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = OPC_E_INVALIDHANDLE;
      for (auto it = added_.begin(); it != added_.end(); ++it) {
        if (it->serverHandle == phServer[i]) {
          added_.erase(it);
          errors[i] = S_OK;
          break;
        }
      }
      anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }
  STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

  // IOPCSyncIO
  STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                    OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override {
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    if (dwSource != OPC_DS_DEVICE || dwCount == 0) return E_INVALIDARG;  // the client reads from the device
    auto* states = taskArray<OPCITEMSTATE>(dwCount);
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!states || !errors) {
      CoTaskMemFree(states);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = canned::readValue(phServer[i], &states[i].vDataValue, &states[i].wQuality);
      states[i].hClient = canned::clientHandleOf(phServer[i]);
      states[i].ftTimeStamp = canned::kValueTime;
      anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppItemValues = states;
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }
  STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!errors) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = cannedWrite(phServer[i], pItemValues[i]);
      anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }

  // IOPCAsyncIO2. Completions are called back before the call returns: the client
  // lives in the multithreaded apartment, so its sink answers on another thread.
  STDMETHODIMP Read(DWORD, OPCHANDLE*, DWORD, DWORD* pdwCancelID, HRESULT** ppErrors) override {
    *pdwCancelID = 0;
    *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                     DWORD* pdwCancelID, HRESULT** ppErrors) override {
    *pdwCancelID = 0;
    *ppErrors = nullptr;
    ComPtr<IOPCDataCallback> sink = dataCallback_.sink<IOPCDataCallback>();
    if (!sink) return CONNECT_E_NOCONNECTION;
    auto* errors = taskArray<HRESULT>(dwCount);
    std::vector<OPCHANDLE> clients(dwCount);
    std::vector<HRESULT> completions(dwCount);
    if (!errors) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = canned::clientHandleOf(phServer[i]) ? S_OK : OPC_E_INVALIDHANDLE;
      anyFailed = anyFailed || FAILED(errors[i]);
      clients[i] = canned::clientHandleOf(phServer[i]);
      completions[i] = cannedWrite(phServer[i], pItemValues[i]);
    }
    *pdwCancelID = kCancelIdBase + dwTransactionID;
    sink->OnWriteComplete(dwTransactionID, clientGroup(), S_FALSE, dwCount, clients.data(), completions.data());
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }
  // Sends all three known items as one data change, then S_OK.
  STDMETHODIMP Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override {
    *pdwCancelID = 0;
    if (dwSource != OPC_DS_CACHE) return E_INVALIDARG;
    ComPtr<IOPCDataCallback> sink = dataCallback_.sink<IOPCDataCallback>();
    if (!sink) return CONNECT_E_NOCONNECTION;
    constexpr DWORD kCount = canned::kKnownItemCount;
    OPCHANDLE clients[kCount];
    VARIANT values[kCount];
    WORD qualities[kCount];
    FILETIME times[kCount];
    HRESULT errors[kCount];
    for (DWORD i = 0; i < kCount; ++i) {
      OPCHANDLE server = canned::kFirstServerHandle + i;
      errors[i] = canned::readValue(server, &values[i], &qualities[i]);
      clients[i] = canned::clientHandleOf(server);
      times[i] = canned::kValueTime;
    }
    *pdwCancelID = kCancelIdBase + dwTransactionID;
    HRESULT hr = sink->OnDataChange(dwTransactionID, clientGroup(), S_FALSE, S_OK, kCount, clients, values,
                                    qualities, times, errors);
    for (VARIANT& value : values) VariantClear(&value);
    serverLog("OnDataChange answered 0x%08lx", static_cast<unsigned long>(hr));
    return S_OK;
  }
  STDMETHODIMP Cancel2(DWORD dwCancelID) override {
    ComPtr<IOPCDataCallback> sink = dataCallback_.sink<IOPCDataCallback>();
    if (!sink) return CONNECT_E_NOCONNECTION;
    if (dwCancelID < kCancelIdBase) return E_FAIL;
    sink->OnCancelComplete(dwCancelID - kCancelIdBase, clientGroup());
    return S_OK;
  }
  STDMETHODIMP SetEnable(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetEnable(BOOL*) override { return E_NOTIMPL; }

  // IOPCItemDeadbandMgt
  STDMETHODIMP SetItemDeadband(DWORD, OPCHANDLE*, FLOAT*, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetItemDeadband(DWORD dwCount, OPCHANDLE* phServer, FLOAT** ppPercentDeadband,
                               HRESULT** ppErrors) override {
    *ppPercentDeadband = nullptr;
    *ppErrors = nullptr;
    auto* deadbands = taskArray<FLOAT>(dwCount);
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!deadbands || !errors) {
      CoTaskMemFree(deadbands);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      bool known = canned::clientHandleOf(phServer[i]) != 0;
      deadbands[i] = known ? 2.5f * static_cast<FLOAT>(i + 1) : 0.0f;
      errors[i] = known ? S_OK : OPC_E_INVALIDHANDLE;
      anyFailed = anyFailed || !known;
    }
    *ppPercentDeadband = deadbands;
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }
  STDMETHODIMP ClearItemDeadband(DWORD, OPCHANDLE*, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    return E_NOTIMPL;
  }

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_IOPCDataCallback) return CONNECT_E_NOCONNECTION;
    *ppCP = &dataCallback_;
    dataCallback_.AddRef();
    return S_OK;
  }

  struct AddedItem {
    OPCHANDLE serverHandle;
    DWORD known;  // index into canned::kItems
  };
  std::vector<AddedItem> addedItems() {
    std::lock_guard<std::mutex> hold(lock_);
    return added_;
  }

private:
  ~CannedGroup() = default;

  OPCHANDLE clientGroup() {
    std::lock_guard<std::mutex> hold(lock_);
    return state_.clientGroup;
  }

  // Called with lock_ held. E_FAIL: the definition did not arrive as the client sent it.
  HRESULT addOne(const OPCITEMDEF& def, OPCITEMRESULT& result) {
    int known = knownItem(def.szItemID);
    if (known < 0) return same(def.szItemID, canned::kItems[canned::kItemCount - 1].itemId) ? OPC_E_UNKNOWNITEMID : E_FAIL;
    const canned::Item& item = canned::kItems[known];
    if (!same(def.szAccessPath, item.accessPath) || def.hClient != item.clientHandle || !def.bActive ||
        def.vtRequestedDataType != item.requestedType || def.dwBlobSize != item.blobSize ||
        (item.blobSize && (!def.pBlob || memcmp(def.pBlob, item.blob, item.blobSize) != 0))) {
      serverLog("AddItems: item %d arrived changed", known);
      return E_FAIL;
    }
    result.hServer = canned::kFirstServerHandle + known;
    result.vtCanonicalDataType = item.canonicalType;
    result.dwAccessRights = item.accessRights;
    result.dwBlobSize = canned::resultBlobSize(item);
    if (result.dwBlobSize) {
      result.pBlob = taskArray<BYTE>(result.dwBlobSize);
      if (!result.pBlob) return E_OUTOFMEMORY;
      for (DWORD b = 0; b < result.dwBlobSize; ++b) result.pBlob[b] = canned::resultBlobByte(item, b);
    }
    added_.push_back({result.hServer, static_cast<DWORD>(known)});
    return S_OK;
  }

  std::atomic<ULONG> refs_{1};
  SinkPoint dataCallback_{*this, IID_IOPCDataCallback};
  std::mutex lock_;
  GroupState state_;               // guarded by lock_
  std::vector<AddedItem> added_;   // guarded by lock_
};

// ---- The item enumerator -----------------------------------------------------------

class CannedItemEnum final : public IEnumOPCItemAttributes {
public:
  explicit CannedItemEnum(std::vector<CannedGroup::AddedItem> items) : items_(std::move(items)) {
    serverAddRef();
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumOPCItemAttributes) {
      *ppv = static_cast<IEnumOPCItemAttributes*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG refs = --refs_;
    if (refs == 0) {
      delete this;
      serverRelease();
    }
    return refs;
  }

  STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override {
    *ppItemArray = nullptr;
    *pceltFetched = 0;
    std::lock_guard<std::mutex> hold(lock_);
    ULONG count = static_cast<ULONG>(std::min<size_t>(celt, items_.size() - position_));
    if (count == 0) return S_FALSE;
    auto* array = taskArray<OPCITEMATTRIBUTES>(count);
    if (!array) return E_OUTOFMEMORY;
    for (ULONG i = 0; i < count; ++i) {
      const CannedGroup::AddedItem& added = items_[position_ + i];
      const canned::Item& item = canned::kItems[added.known];
      OPCITEMATTRIBUTES& a = array[i];
      a.szAccessPath = taskString(item.accessPath);
      a.szItemID = taskString(item.itemId);
      a.bActive = TRUE;
      a.hClient = item.clientHandle;
      a.hServer = added.serverHandle;
      a.dwAccessRights = item.accessRights;
      a.dwBlobSize = canned::resultBlobSize(item);
      if (a.dwBlobSize) {
        a.pBlob = taskArray<BYTE>(a.dwBlobSize);
        for (DWORD b = 0; a.pBlob && b < a.dwBlobSize; ++b) a.pBlob[b] = canned::resultBlobByte(item, b);
      }
      a.vtRequestedDataType = item.requestedType;
      a.vtCanonicalDataType = item.canonicalType;
      a.dwEUType = canned::euType(added.known);
      canned::euInfo(added.known, &a.vEUInfo);
    }
    position_ += count;
    *ppItemArray = array;
    *pceltFetched = count;
    return count == celt ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override {
    std::lock_guard<std::mutex> hold(lock_);
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override {
    *ppEnumItemAttributes = nullptr;
    return E_NOTIMPL;
  }

private:
  ~CannedItemEnum() = default;
  std::atomic<ULONG> refs_{1};
  std::mutex lock_;
  std::vector<CannedGroup::AddedItem> items_;
  size_t position_ = 0;  // guarded by lock_
};

STDMETHODIMP CannedGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
  *ppUnk = nullptr;
  if (riid != IID_IEnumOPCItemAttributes) return E_NOINTERFACE;
  auto* enumerator = new (std::nothrow) CannedItemEnum(addedItems());
  if (!enumerator) return E_OUTOFMEMORY;
  *ppUnk = enumerator;
  return S_OK;
}

// ---- The server object -------------------------------------------------------------

class CannedServer final : public IOPCServer,
                           public IOPCCommon,
                           public IOPCItemProperties,
                           public IOPCBrowse,
                           public IOPCItemIO,
                           public IKestrovaOPCWatch,
                           public IKestrovaOPCTrace,
                           public IConnectionPointContainer {
public:
  CannedServer() { serverAddRef(); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer) {
      *ppv = static_cast<IOPCServer*>(this);
    } else if (riid == IID_IOPCCommon) {
      *ppv = static_cast<IOPCCommon*>(this);
    } else if (riid == IID_IOPCItemProperties) {
      *ppv = static_cast<IOPCItemProperties*>(this);
    } else if (riid == IID_IOPCBrowse) {
      *ppv = static_cast<IOPCBrowse*>(this);
    } else if (riid == IID_IOPCItemIO) {
      *ppv = static_cast<IOPCItemIO*>(this);
    } else if (riid == IID_IKestrovaOPCWatch) {
      *ppv = static_cast<IKestrovaOPCWatch*>(this);
    } else if (riid == IID_IKestrovaOPCTrace) {
      *ppv = static_cast<IKestrovaOPCTrace*>(this);
    } else if (riid == IID_IConnectionPointContainer) {
      *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (riid == IID_IOPCBrowseServerAddressSpace || riid == IID_IOPCServerPublicGroups ||
               riid == IID_IOPCSecurityPrivate || riid == IID_IOPCServerList || riid == IID_IOPCServerList2 ||
               riid == IID_IOPCEnumGUID) {
      return newTearOff(static_cast<IOPCServer*>(this), ppv);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG refs = --refs_;
    if (refs == 0) {
      delete this;
      serverRelease();
    }
    return refs;
  }

  // IOPCServer
  STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                        LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                        DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override {
    *phServerGroup = 0;
    *pRevisedUpdateRate = 0;
    *ppUnk = nullptr;
    GroupState state;
    state.name = szName;
    state.active = bActive;
    // Canned rule: at least 100 ms, so OPC_S_UNSUPPORTEDRATE has to cross.
    state.updateRate = dwRequestedUpdateRate < 100 ? 100 : dwRequestedUpdateRate;
    state.clientGroup = hClientGroup;
    if (pTimeBias) state.timeBias = *pTimeBias;
    if (pPercentDeadband) state.deadband = *pPercentDeadband;
    state.lcid = dwLCID;
    auto* group = new (std::nothrow) CannedGroup(std::move(state));
    if (!group) return E_OUTOFMEMORY;
    HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    DWORD revised = dwRequestedUpdateRate < 100 ? 100 : dwRequestedUpdateRate;
    group->Release();
    if (FAILED(hr)) return hr;
    ++groupCount_;
    *phServerGroup = kServerGroupHandle;
    *pRevisedUpdateRate = revised;
    return revised == dwRequestedUpdateRate ? S_OK : OPC_S_UNSUPPORTEDRATE;
  }
  STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override {
    return errorText(dwError, dwLocale, ppString);
  }
  STDMETHODIMP GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN* ppUnk) override {
    *ppUnk = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
    *ppServerStatus = nullptr;
    auto* status = taskArray<OPCSERVERSTATUS>(1);
    if (!status) return E_OUTOFMEMORY;
    status->szVendorInfo = taskString(canned::kVendorInfo);
    if (!status->szVendorInfo) {
      CoTaskMemFree(status);
      return E_OUTOFMEMORY;
    }
    status->ftStartTime = canned::kStartTime;
    GetSystemTimeAsFileTime(&status->ftCurrentTime);
    status->ftLastUpdateTime = canned::kValueTime;
    status->dwServerState = OPC_STATUS_RUNNING;
    status->dwGroupCount = groupCount_;
    status->dwBandWidth = 0xFFFFFFFF;
    status->wMajorVersion = 4;
    status->wMinorVersion = 1;
    status->wBuildNumber = 472;
    *ppServerStatus = status;
    return S_OK;
  }
  STDMETHODIMP RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN* ppUnk) override {
    *ppUnk = nullptr;
    return E_NOTIMPL;
  }

  // IOPCCommon
  STDMETHODIMP SetLocaleID(LCID dwLcid) override {
    lcid_ = dwLcid;
    return S_OK;
  }
  STDMETHODIMP GetLocaleID(LCID* pdwLcid) override {
    *pdwLcid = lcid_;
    return S_OK;
  }
  STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override {
    static constexpr LCID kLocales[] = {0x800, 0x400, 0, 1033, 1031, 1053};
    *pdwCount = 0;
    *pdwLcid = taskArray<LCID>(6);
    if (!*pdwLcid) return E_OUTOFMEMORY;
    memcpy(*pdwLcid, kLocales, sizeof kLocales);
    *pdwCount = 6;
    return S_OK;
  }
  STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override {
    return errorText(dwError, lcid_, ppString);
  }
  // Canned: remembers the name and asks the client to shut down at once, so the
  // IOPCShutdown callback crosses too.
  STDMETHODIMP SetClientName(LPCWSTR szName) override {
    {
      std::lock_guard<std::mutex> hold(lock_);
      clientName_ = szName;
    }
    ComPtr<IOPCShutdown> sink = shutdown_.sink<IOPCShutdown>();
    if (sink) sink->ShutdownRequest(canned::kShutdownReason);
    return S_OK;
  }

  // IOPCItemProperties
  STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                        LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override {
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    if (knownItem(szItemID) != 0) return OPC_E_UNKNOWNITEMID;
    DWORD count = canned::kPropertyCount;
    auto* ids = taskArray<DWORD>(count);
    auto* descriptions = taskArray<LPWSTR>(count);
    auto* types = taskArray<VARTYPE>(count);
    if (!ids || !descriptions || !types) {
      CoTaskMemFree(ids);
      CoTaskMemFree(descriptions);
      CoTaskMemFree(types);
      return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < count; ++i) {
      ids[i] = canned::kPropertyIds[i];
      descriptions[i] = taskString(canned::kPropertyDescriptions[i]);
      types[i] = canned::kPropertyTypes[i];
    }
    *pdwCount = count;
    *ppPropertyIDs = ids;
    *ppDescriptions = descriptions;
    *ppvtDataTypes = types;
    return S_OK;
  }
  STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                 HRESULT** ppErrors) override {
    *ppvData = nullptr;
    *ppErrors = nullptr;
    if (knownItem(szItemID) != 0) return OPC_E_UNKNOWNITEMID;
    auto* values = taskArray<VARIANT>(dwCount);
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!values || !errors) {
      CoTaskMemFree(values);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      errors[i] = canned::propertyValue(pdwPropertyIDs[i], &values[i]) ? S_OK : OPC_E_INVALID_PID;
      anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppvData = values;
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }
  // Only the description has an item ID of its own; the rest answer OPC_E_INVALID_PID
  // with a null string, which must cross as null.
  STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                             HRESULT** ppErrors) override {
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    if (knownItem(szItemID) != 0) return OPC_E_UNKNOWNITEMID;
    auto* ids = taskArray<LPWSTR>(dwCount);
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!ids || !errors) {
      CoTaskMemFree(ids);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      if (pdwPropertyIDs[i] == OPC_PROPERTY_DESCRIPTION) {
        ids[i] = taskString(canned::kDescriptionItemId);
        errors[i] = S_OK;
      } else {
        errors[i] = OPC_E_INVALID_PID;
        anyFailed = true;
      }
    }
    *ppszNewItemIDs = ids;
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }

  // IOPCBrowse
  STDMETHODIMP GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                             DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                             OPCITEMPROPERTIES** ppItemProperties) override {
    *ppItemProperties = nullptr;
    auto* all = taskArray<OPCITEMPROPERTIES>(dwItemCount);
    if (!all) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < dwItemCount; ++i) {
      if (knownItem(pszItemIDs[i]) != 0) {
        all[i].hrErrorID = OPC_E_UNKNOWNITEMID;
        anyFailed = true;
        continue;
      }
      // No IDs: all of the item's properties.
      if (dwPropertyCount == 0) {
        fillProperties(all[i], canned::kPropertyIds, canned::kPropertyCount, bReturnPropertyValues);
      } else {
        fillProperties(all[i], pdwPropertyIDs, dwPropertyCount, bReturnPropertyValues);
      }
      anyFailed = anyFailed || all[i].hrErrorID != S_OK;
    }
    *ppItemProperties = all;
    return anyFailed ? S_FALSE : S_OK;
  }
  STDMETHODIMP Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                      OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                      BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                      DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                      OPCBROWSEELEMENT** ppBrowseElements) override {
    *pbMoreElements = FALSE;
    *pdwCount = 0;
    *ppBrowseElements = nullptr;
    // What the client sends, field by field: a mismatch means the call arrived changed.
    bool asSent = same(szItemID, L"") && same(*pszContinuationPoint, canned::kContinuationIn) &&
                  dwMaxElementsReturned == 2 && dwBrowseFilter == OPC_BROWSE_FILTER_ALL &&
                  same(szElementNameFilter, L"*") && same(szVendorFilter, L"") && !bReturnAllProperties &&
                  bReturnPropertyValues && dwPropertyCount == 2 && pdwPropertyIDs[0] == OPC_PROPERTY_DESCRIPTION &&
                  pdwPropertyIDs[1] == canned::kUnknownPropertyId;
    if (!asSent) return E_INVALIDARG;
    auto* elements = taskArray<OPCBROWSEELEMENT>(2);
    LPWSTR continuation = taskString(canned::kContinuationOut);
    if (!elements || !continuation) {
      CoTaskMemFree(elements);
      CoTaskMemFree(continuation);
      return E_OUTOFMEMORY;
    }
    elements[0].szName = taskString(L"Drive1");
    elements[0].szItemID = taskString(L"Drive1");
    elements[0].dwFlagValue = OPC_BROWSE_HASCHILDREN;
    elements[1].szName = taskString(L"Speed");
    elements[1].szItemID = taskString(canned::kItems[0].itemId);
    elements[1].dwFlagValue = OPC_BROWSE_ISITEM;
    fillProperties(elements[1].ItemProperties, pdwPropertyIDs, dwPropertyCount, bReturnPropertyValues);
    // [in, out]: the callee frees what came in before handing back a new one.
    CoTaskMemFree(*pszContinuationPoint);
    *pszContinuationPoint = continuation;
    *pbMoreElements = TRUE;
    *pdwCount = 2;
    *ppBrowseElements = elements;
    return S_OK;
  }

  // IOPCItemIO. The max ages are 0, 1000, 2000...: anything else arrived changed.
  STDMETHODIMP Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues,
                    WORD** ppwQualities, FILETIME** ppftTimeStamps, HRESULT** ppErrors) override {
    *ppvValues = nullptr;
    *ppwQualities = nullptr;
    *ppftTimeStamps = nullptr;
    *ppErrors = nullptr;
    auto* values = taskArray<VARIANT>(dwCount);
    auto* qualities = taskArray<WORD>(dwCount);
    auto* times = taskArray<FILETIME>(dwCount);
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!values || !qualities || !times || !errors) {
      CoTaskMemFree(values);
      CoTaskMemFree(qualities);
      CoTaskMemFree(times);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      int known = knownItem(pszItemIDs[i]);
      if (pdwMaxAge[i] != 1000 * i) {
        errors[i] = E_FAIL;
      } else if (known < 0) {
        errors[i] = OPC_E_UNKNOWNITEMID;
      } else {
        errors[i] = canned::readValue(canned::kFirstServerHandle + known, &values[i], &qualities[i]);
        times[i] = canned::kValueTime;
      }
      anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppvValues = values;
    *ppwQualities = qualities;
    *ppftTimeStamps = times;
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }
  // The first VQT carries value, quality and timestamp, the second only a value.
  STDMETHODIMP WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override {
    *ppErrors = nullptr;
    auto* errors = taskArray<HRESULT>(dwCount);
    if (!errors) return E_OUTOFMEMORY;
    bool anyFailed = false;
    for (DWORD i = 0; i < dwCount; ++i) {
      const OPCITEMVQT& vqt = pItemVQT[i];
      int known = knownItem(pszItemIDs[i]);
      bool asSent = false;
      if (known == 0) {
        asSent = vqt.bQualitySpecified && vqt.wQuality == OPC_QUALITY_GOOD && vqt.bTimeStampSpecified &&
                 CompareFileTime(&vqt.ftTimeStamp, &canned::kValueTime) == 0;
      } else if (known == 1) {
        asSent = !vqt.bQualitySpecified && !vqt.bTimeStampSpecified;
      }
      errors[i] = known < 0 ? OPC_E_UNKNOWNITEMID
                  : asSent ? cannedWrite(canned::kFirstServerHandle + known, vqt.vDataValue)
                           : E_FAIL;
      anyFailed = anyFailed || FAILED(errors[i]);
    }
    *ppErrors = errors;
    return anyFailed ? S_FALSE : S_OK;
  }

  // IKestrovaOPCWatch: only the statistics are canned; they tell the client which
  // process to end should the proof fail.
  STDMETHODIMP GetChildren(LPCWSTR, LPWSTR* pszChildren) override {
    *pszChildren = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP CollectChanges(LPCWSTR, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetChanges(LPWSTR* pszChanges) override {
    *pszChanges = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetStatistics(LPWSTR* pszStatistics) override {
    wchar_t text[200];
    {
      std::lock_guard<std::mutex> hold(lock_);
      swprintf(text, 200, L"<statistics process=\"%lu\" client=\"%ls\"/>", GetCurrentProcessId(),
               clientName_.c_str());
    }
    *pszStatistics = taskString(text);
    return *pszStatistics ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP GetObject(LPCWSTR, LPWSTR* pszObject) override {
    *pszObject = nullptr;
    return E_NOTIMPL;
  }

  // IKestrovaOPCTrace: options are kept as given; the trace is canned.
  STDMETHODIMP SetTraceOptions(LPCWSTR szOptions) override {
    std::lock_guard<std::mutex> hold(lock_);
    traceOptions_ = szOptions;
    return S_OK;
  }
  STDMETHODIMP GetTraceOptions(LPWSTR* pszOptions) override {
    std::lock_guard<std::mutex> hold(lock_);
    *pszOptions = taskString(traceOptions_.c_str());
    return *pszOptions ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP SaveTraceOptions() override { return E_NOTIMPL; }
  STDMETHODIMP GetTrace(LPWSTR* pszTrace) override {
    *pszTrace = taskString(canned::kTraceDocument);
    return *pszTrace ? S_OK : E_OUTOFMEMORY;
  }

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    if (riid != IID_IOPCShutdown) return CONNECT_E_NOCONNECTION;
    *ppCP = &shutdown_;
    shutdown_.AddRef();
    return S_OK;
  }

private:
  ~CannedServer() = default;

  // "0xC0040007 in 1031": enough to show code and locale crossed in both directions.
  static HRESULT errorText(HRESULT code, LCID lcid, LPWSTR* ppString) {
    wchar_t text[40];
    swprintf(text, 40, L"0x%08lX in %lu", static_cast<unsigned long>(code), static_cast<unsigned long>(lcid));
    *ppString = taskString(text);
    return *ppString ? S_OK : E_OUTOFMEMORY;
  }

  // Properties of Drive1.Speed; an unknown ID gets OPC_E_INVALID_PID and the whole
  // entry S_FALSE.
  static void fillProperties(OPCITEMPROPERTIES& properties, const DWORD* ids, DWORD count, BOOL withValues) {
    properties.pItemProperties = taskArray<OPCITEMPROPERTY>(count);
    if (!properties.pItemProperties) {
      properties.hrErrorID = E_OUTOFMEMORY;
      return;
    }
    properties.dwNumProperties = count;
    properties.hrErrorID = S_OK;
    for (DWORD i = 0; i < count; ++i) {
      OPCITEMPROPERTY& p = properties.pItemProperties[i];
      p.dwPropertyID = ids[i];
      VARIANT value;
      if (!canned::propertyValue(ids[i], &value)) {
        p.hrErrorID = OPC_E_INVALID_PID;
        properties.hrErrorID = S_FALSE;
        continue;
      }
      for (DWORD k = 0; k < canned::kPropertyCount; ++k) {
        if (canned::kPropertyIds[k] == ids[i]) {
          p.vtDataType = canned::kPropertyTypes[k];
          p.szDescription = taskString(canned::kPropertyDescriptions[k]);
        }
      }
      if (ids[i] == OPC_PROPERTY_DESCRIPTION) p.szItemID = taskString(canned::kDescriptionItemId);
      if (withValues) {
        p.vValue = value;  // handed over
      } else {
        VariantClear(&value);
      }
      p.hrErrorID = S_OK;
    }
  }

  std::atomic<ULONG> refs_{1};
  std::atomic<DWORD> groupCount_{0};
  std::atomic<LCID> lcid_{0x800};
  SinkPoint shutdown_{*this, IID_IOPCShutdown};
  std::mutex lock_;
  std::wstring clientName_;    // guarded by lock_
  std::wstring traceOptions_;  // guarded by lock_
};

// ---- Class factory, registration, main ---------------------------------------------

class Factory final : public IClassFactory {
public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives as long as wmain
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* server = new (std::nothrow) CannedServer;
    if (!server) return E_OUTOFMEMORY;
    HRESULT hr = server->QueryInterface(riid, ppv);
    server->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      serverAddRef();
    } else {
      serverRelease();
    }
    return S_OK;
  }
};

void classKeyPath(wchar_t* path, size_t size) {
  wchar_t clsid[40];
  StringFromGUID2(kClsidOpcMarshalProof, clsid, 40);
  swprintf(path, size, L"Software\\Classes\\CLSID\\%ls", clsid);
}

LSTATUS setDefaultValue(HKEY parent, const wchar_t* subKey, const wchar_t* value) {
  HKEY key;
  LSTATUS status = RegCreateKeyExW(parent, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status;
}

int registerServer() {
  wchar_t exe[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return 1;
  wchar_t command[MAX_PATH + 2];
  swprintf(command, MAX_PATH + 2, L"\"%ls\"", exe);
  wchar_t classKey[80], serverKey[100];
  classKeyPath(classKey, 80);
  swprintf(serverKey, 100, L"%ls\\LocalServer32", classKey);
  LSTATUS status = setDefaultValue(HKEY_LOCAL_MACHINE, classKey, kServerDescription);
  if (status == ERROR_SUCCESS) status = setDefaultValue(HKEY_LOCAL_MACHINE, serverKey, command);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "opc marshal server: registration failed (error %ld)\n", static_cast<long>(status));
    return 1;
  }
  return 0;
}

int unregisterServer() {
  wchar_t classKey[80];
  classKeyPath(classKey, 80);
  LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : 1;
}

bool isSwitch(const wchar_t* arg, const wchar_t* name) {
  return (arg[0] == L'/' || arg[0] == L'-') && _wcsicmp(arg + 1, name) == 0;
}

int serve() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    serverLog("CoInitializeEx failed 0x%08lx", static_cast<unsigned long>(hr));
    return 1;
  }
  g_lastReleaseEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  static Factory factory;
  DWORD registration = 0;
  hr = g_lastReleaseEvent ? CoRegisterClassObject(kClsidOpcMarshalProof, &factory, CLSCTX_LOCAL_SERVER,
                                                  REGCLS_MULTIPLEUSE, &registration)
                          : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    serverLog("CoRegisterClassObject failed 0x%08lx", static_cast<unsigned long>(hr));
    CoUninitialize();
    return 1;
  }
  serverLog("serving");
  WaitForSingleObject(g_lastReleaseEvent, INFINITE);
  CoRevokeClassObject(registration);
  CoUninitialize();
  serverLog("ended");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    if (isSwitch(argv[i], L"regserver")) return registerServer();
    if (isSwitch(argv[i], L"unregserver")) return unregisterServer();
  }
  return serve();
}
