// The OPC marshalling proof's client: has COM start the canned server exe and calls the
// OPC interfaces whose parameters are hard to marshal (arrays of structures holding
// strings, blobs and VARIANTs, [unique] and [in, out] pointers, null strings inside
// arrays, success codes, callbacks into the client), checking every field against
// OpcMarshalCanned.h. Everything the proxy hands back is freed with CoTaskMemFree and
// VariantClear, the way a real client must. Reports every failed check; on any failure
// exits 1 and ends the server, which Wine would otherwise keep alive.

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "tests/opcidl/OpcMarshalCanned.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kServerEndTimeoutMs = 20000;  // a safety net; it ends within a second
constexpr OPCHANDLE kClientGroup = 77;
constexpr OPCHANDLE kClientGroupChanged = 78;

int g_failures = 0;

bool check(bool ok, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
bool check(bool ok, const char* format, ...) {
  if (ok) return true;
  ++g_failures;
  fprintf(stderr, "opc marshal client: FAILED: ");
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  return false;
}

bool checkHr(HRESULT actual, HRESULT expected, const char* what) {
  return check(actual == expected, "%s answered 0x%08lx, expected 0x%08lx", what,
               static_cast<unsigned long>(actual), static_cast<unsigned long>(expected));
}

bool same(const wchar_t* a, const wchar_t* b) { return a && b && wcscmp(a, b) == 0; }
std::string narrow(const wchar_t* text) {
  if (!text) return "(null)";
  std::string out;
  for (; *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}
bool sameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// Type and value equal; one-dimensional arrays element by element (BSTR by text,
// everything else by its bytes).
bool sameVariant(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  if (a.vt & VT_ARRAY) {
    SAFEARRAY* x = a.parray;
    SAFEARRAY* y = b.parray;
    if (!x || !y || SafeArrayGetDim(x) != 1 || SafeArrayGetDim(y) != 1 || x->cbElements != y->cbElements ||
        x->rgsabound[0].cElements != y->rgsabound[0].cElements || x->rgsabound[0].lLbound != y->rgsabound[0].lLbound) {
      return false;
    }
    ULONG count = x->rgsabound[0].cElements;
    if ((a.vt & VT_TYPEMASK) == VT_BSTR) {
      auto* p = static_cast<BSTR*>(x->pvData);
      auto* q = static_cast<BSTR*>(y->pvData);
      for (ULONG i = 0; i < count; ++i) {
        if (SysStringLen(p[i]) != SysStringLen(q[i]) || wcscmp(p[i] ? p[i] : L"", q[i] ? q[i] : L"") != 0) return false;
      }
      return true;
    }
    return memcmp(x->pvData, y->pvData, count * x->cbElements) == 0;
  }
  switch (a.vt) {
    case VT_EMPTY: return true;
    case VT_I2: return a.iVal == b.iVal;
    case VT_R8: return a.dblVal == b.dblVal;
    case VT_BSTR:
      return SysStringLen(a.bstrVal) == SysStringLen(b.bstrVal) &&
             memcmp(a.bstrVal, b.bstrVal, SysStringByteLen(a.bstrVal)) == 0;
    default: return false;
  }
}

struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

// The canned read of a server handle, for comparison.
bool matchesRead(OPCHANDLE server, const VARIANT& value, WORD quality, HRESULT error) {
  Variant expected;
  WORD expectedQuality;
  HRESULT expectedError = canned::readValue(server, &expected, &expectedQuality);
  if (error != expectedError) return false;
  return FAILED(error) || (sameVariant(value, expected) && quality == expectedQuality);
}

LPWSTR taskString(const wchar_t* text) {
  size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
  auto copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (copy) memcpy(copy, text, bytes);
  return copy;
}

// ---- The client's sink: IOPCDataCallback and IOPCShutdown --------------------------

struct Completion {
  std::string kind;
  DWORD transaction = 0;
  OPCHANDLE group = 0;
  HRESULT masterQuality = 0;
  HRESULT masterError = 0;
  std::vector<OPCHANDLE> clients;
  std::vector<VARIANT> values;  // copies, cleared by the destructor
  std::vector<WORD> qualities;
  std::vector<FILETIME> times;
  std::vector<HRESULT> errors;
  ~Completion() {
    for (VARIANT& v : values) VariantClear(&v);
  }
};

class Sink final : public IOPCDataCallback, public IOPCShutdown {
public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
      *ppv = static_cast<IOPCDataCallback*>(this);
    } else if (riid == IID_IOPCShutdown) {
      *ppv = static_cast<IOPCShutdown*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  // Lives on wmain's stack. Wine may keep a few stub references after Unadvise, so
  // nothing relies on the count.
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }

  STDMETHODIMP OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                            DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                            FILETIME* pftTimeStamps, HRESULT* pErrors) override {
    return record("data change", dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                  pvValues, pwQualities, pftTimeStamps, pErrors);
  }
  STDMETHODIMP OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality, HRESULT hrMastererror,
                              DWORD dwCount, OPCHANDLE* phClientItems, VARIANT* pvValues, WORD* pwQualities,
                              FILETIME* pftTimeStamps, HRESULT* pErrors) override {
    return record("read complete", dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, phClientItems,
                  pvValues, pwQualities, pftTimeStamps, pErrors);
  }
  STDMETHODIMP OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr, DWORD dwCount,
                               OPCHANDLE* pClienthandles, HRESULT* pErrors) override {
    return record("write complete", dwTransid, hGroup, S_OK, hrMastererr, dwCount, pClienthandles, nullptr,
                  nullptr, nullptr, pErrors);
  }
  STDMETHODIMP OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override {
    return record("cancel complete", dwTransid, hGroup, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr,
                  nullptr);
  }
  STDMETHODIMP ShutdownRequest(LPCWSTR szReason) override {
    std::lock_guard<std::mutex> hold(lock_);
    shutdownReasons_.push_back(szReason ? szReason : L"(null)");
    return S_OK;
  }

  // The completions received so far, handed over; the record starts empty again.
  std::vector<Completion*> takeCompletions() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::move(completions_);
  }
  std::vector<std::wstring> takeShutdownReasons() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::move(shutdownReasons_);
  }

private:
  HRESULT record(const char* kind, DWORD transaction, OPCHANDLE group, HRESULT masterQuality, HRESULT masterError,
                 DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities, FILETIME* times,
                 HRESULT* errors) {
    auto* c = new Completion;
    c->kind = kind;
    c->transaction = transaction;
    c->group = group;
    c->masterQuality = masterQuality;
    c->masterError = masterError;
    for (DWORD i = 0; i < count; ++i) {
      c->clients.push_back(clients[i]);
      c->errors.push_back(errors[i]);
      if (values) {
        VARIANT copy;
        VariantInit(&copy);
        VariantCopy(&copy, &values[i]);
        c->values.push_back(copy);
        c->qualities.push_back(qualities[i]);
        c->times.push_back(times[i]);
      }
    }
    std::lock_guard<std::mutex> hold(lock_);
    completions_.push_back(c);
    return S_OK;
  }

  std::atomic<ULONG> refs_{0};
  std::mutex lock_;
  std::vector<Completion*> completions_;       // guarded by lock_
  std::vector<std::wstring> shutdownReasons_;  // guarded by lock_
};

// Exactly one completion of that kind and transaction, or a reported failure.
Completion* onlyCompletion(Sink& sink, const char* kind, DWORD transaction) {
  std::vector<Completion*> all = sink.takeCompletions();
  Completion* found = nullptr;
  if (check(all.size() == 1, "%s: %zu callbacks arrived, expected 1", kind, all.size()) &&
      check(all[0]->kind == kind && all[0]->transaction == transaction, "%s: got %s of transaction %lu", kind,
            all[0]->kind.c_str(), all[0]->transaction)) {
    found = all[0];
    all.clear();
  }
  for (Completion* c : all) delete c;
  return found;
}

template <class T>
ComPtr<T> query(IUnknown* object, REFIID iid, const char* name) {
  ComPtr<T> typed;
  HRESULT hr = object->QueryInterface(iid, reinterpret_cast<void**>(typed.GetAddressOf()));
  checkHr(hr, S_OK, name);
  return typed;
}

// ---- Every interface reaches its proxy ---------------------------------------------

struct NamedIid {
  const char* name;
  const IID* iid;
};

void checkEveryInterface(IUnknown* object, const NamedIid* iids, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    ComPtr<IUnknown> unknown;
    HRESULT hr = object->QueryInterface(*iids[i].iid, reinterpret_cast<void**>(unknown.GetAddressOf()));
    checkHr(hr, S_OK, (std::string("QueryInterface ") + iids[i].name).c_str());
  }
}

const NamedIid kServerInterfaces[] = {
    {"IOPCServer", &IID_IOPCServer},
    {"IOPCCommon", &IID_IOPCCommon},
    {"IOPCItemProperties", &IID_IOPCItemProperties},
    {"IOPCBrowse", &IID_IOPCBrowse},
    {"IOPCBrowseServerAddressSpace", &IID_IOPCBrowseServerAddressSpace},
    {"IOPCItemIO", &IID_IOPCItemIO},
    {"IOPCServerPublicGroups", &IID_IOPCServerPublicGroups},
    {"IOPCSecurityPrivate", &IID_IOPCSecurityPrivate},
    {"IOPCServerList", &IID_IOPCServerList},
    {"IOPCServerList2", &IID_IOPCServerList2},
    {"IOPCEnumGUID", &IID_IOPCEnumGUID},
    {"IKestrovaOPCWatch", &IID_IKestrovaOPCWatch},
    {"IKestrovaOPCTrace", &IID_IKestrovaOPCTrace},
};
const NamedIid kGroupInterfaces[] = {
    {"IOPCGroupStateMgt", &IID_IOPCGroupStateMgt},
    {"IOPCGroupStateMgt2", &IID_IOPCGroupStateMgt2},
    {"IOPCPublicGroupStateMgt", &IID_IOPCPublicGroupStateMgt},
    {"IOPCItemMgt", &IID_IOPCItemMgt},
    {"IOPCSyncIO", &IID_IOPCSyncIO},
    {"IOPCSyncIO2", &IID_IOPCSyncIO2},
    {"IOPCAsyncIO", &IID_IOPCAsyncIO},
    {"IOPCAsyncIO2", &IID_IOPCAsyncIO2},
    {"IOPCAsyncIO3", &IID_IOPCAsyncIO3},
    {"IOPCItemDeadbandMgt", &IID_IOPCItemDeadbandMgt},
    {"IOPCItemSamplingMgt", &IID_IOPCItemSamplingMgt},
};

// A tear-off answers E_NOTIMPL through its proxy: calls reach the server and the
// result comes back, for interfaces the canned server does not fill in.
void checkNotImplementedCalls(IUnknown* server, IUnknown* group) {
  auto security = query<IOPCSecurityPrivate>(server, IID_IOPCSecurityPrivate, "IOPCSecurityPrivate");
  auto addressSpace = query<IOPCBrowseServerAddressSpace>(server, IID_IOPCBrowseServerAddressSpace,
                                                          "IOPCBrowseServerAddressSpace");
  auto async3 = query<IOPCAsyncIO3>(group, IID_IOPCAsyncIO3, "IOPCAsyncIO3");
  BOOL available = TRUE;
  if (security) checkHr(security->IsAvailablePriv(&available), E_NOTIMPL, "IOPCSecurityPrivate::IsAvailablePriv");
  OPCNAMESPACETYPE type;
  if (addressSpace) checkHr(addressSpace->QueryOrganization(&type), E_NOTIMPL, "QueryOrganization");
  DWORD cancel = 0;
  if (async3) checkHr(async3->RefreshMaxAge(0, 1, &cancel), E_NOTIMPL, "IOPCAsyncIO3::RefreshMaxAge");
}

// ---- Server object ---------------------------------------------------------------

void checkStatus(IOPCServer* server) {
  OPCSERVERSTATUS* status = nullptr;
  if (!checkHr(server->GetStatus(&status), S_OK, "GetStatus")) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULONGLONG current = (static_cast<ULONGLONG>(status->ftCurrentTime.dwHighDateTime) << 32) |
                      status->ftCurrentTime.dwLowDateTime;
  ULONGLONG local = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  check(sameTime(status->ftStartTime, canned::kStartTime), "GetStatus: start time");
  check(current <= local && local - current < 600000000ull, "GetStatus: current time not within a minute");
  check(sameTime(status->ftLastUpdateTime, canned::kValueTime), "GetStatus: last update time");
  check(status->dwServerState == OPC_STATUS_RUNNING, "GetStatus: state %d", status->dwServerState);
  check(status->dwGroupCount == 0, "GetStatus: group count %lu", status->dwGroupCount);
  check(status->dwBandWidth == 0xFFFFFFFF, "GetStatus: bandwidth 0x%lx", status->dwBandWidth);
  check(status->wMajorVersion == 4 && status->wMinorVersion == 1 && status->wBuildNumber == 472,
        "GetStatus: version %u.%u.%u", status->wMajorVersion, status->wMinorVersion, status->wBuildNumber);
  check(same(status->szVendorInfo, canned::kVendorInfo), "GetStatus: vendor \"%s\"", narrow(status->szVendorInfo).c_str());
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
}

void checkLocalesAndErrorStrings(IOPCServer* server, IOPCCommon* common) {
  DWORD count = 0;
  LCID* lcids = nullptr;
  if (checkHr(common->QueryAvailableLocaleIDs(&count, &lcids), S_OK, "QueryAvailableLocaleIDs")) {
    const LCID expected[] = {0x800, 0x400, 0, 1033, 1031, 1053};
    check(count == 6 && memcmp(lcids, expected, sizeof expected) == 0, "QueryAvailableLocaleIDs: %lu entries differ",
          count);
    CoTaskMemFree(lcids);
  }
  LCID lcid = 0;
  checkHr(common->GetLocaleID(&lcid), S_OK, "GetLocaleID");
  check(lcid == 0x800, "GetLocaleID of a fresh object: 0x%lx", lcid);
  checkHr(common->SetLocaleID(1031), S_OK, "SetLocaleID(1031)");
  checkHr(common->GetLocaleID(&lcid), S_OK, "GetLocaleID");
  check(lcid == 1031, "GetLocaleID after SetLocaleID(1031): %lu", lcid);

  struct Row {
    const char* name;
    HRESULT code;
    LCID lcid;  // 0xFFFFFFFF: IOPCCommon with the object's locale
    const wchar_t* text;
  };
  const Row rows[] = {
      {"IOPCCommon::GetErrorString", OPC_E_UNKNOWNITEMID, 0xFFFFFFFF, L"0xC0040007 in 1031"},
      {"IOPCServer::GetErrorString 1053", OPC_S_CLAMP, 1053, L"0x0004000E in 1053"},
      {"IOPCServer::GetErrorString E_FAIL", E_FAIL, 0x800, L"0x80004005 in 2048"},
  };
  for (const Row& row : rows) {
    LPWSTR text = nullptr;
    HRESULT hr = row.lcid == 0xFFFFFFFF ? common->GetErrorString(row.code, &text)
                                        : server->GetErrorString(row.code, row.lcid, &text);
    if (checkHr(hr, S_OK, row.name)) {
      check(same(text, row.text), "%s: \"%s\"", row.name, narrow(text).c_str());
    }
    CoTaskMemFree(text);
  }
}

void checkShutdownAndWatch(IOPCCommon* common, Sink& sink) {
  auto container = query<IConnectionPointContainer>(common, IID_IConnectionPointContainer, "server IConnectionPointContainer");
  if (!container) return;
  ComPtr<IConnectionPoint> point;
  if (!checkHr(container->FindConnectionPoint(IID_IOPCShutdown, &point), S_OK, "FindConnectionPoint(IOPCShutdown)")) return;
  DWORD cookie = 0;
  if (!checkHr(point->Advise(static_cast<IOPCShutdown*>(&sink), &cookie), S_OK, "Advise(IOPCShutdown)")) return;
  checkHr(common->SetClientName(L"proof client"), S_OK, "SetClientName");
  std::vector<std::wstring> reasons = sink.takeShutdownReasons();
  check(reasons.size() == 1 && reasons[0] == canned::kShutdownReason, "ShutdownRequest: %zu calls", reasons.size());
  checkHr(point->Unadvise(cookie), S_OK, "Unadvise(IOPCShutdown)");

  auto watch = query<IKestrovaOPCWatch>(common, IID_IKestrovaOPCWatch, "IKestrovaOPCWatch");
  LPWSTR statistics = nullptr;
  if (watch && checkHr(watch->GetStatistics(&statistics), S_OK, "GetStatistics")) {
    check(statistics && wcsstr(statistics, L"client=\"proof client\"") != nullptr, "GetStatistics: \"%s\"", narrow(statistics).c_str());
  }
  CoTaskMemFree(statistics);
}

void checkTrace(IUnknown* server) {
  auto trace = query<IKestrovaOPCTrace>(server, IID_IKestrovaOPCTrace, "IKestrovaOPCTrace");
  if (!trace) return;
  const wchar_t* options = L"<?xml version=\"1.0\" encoding=\"utf-8\"?><op><level><dbg>1</dbg></level></op>";
  checkHr(trace->SetTraceOptions(options), S_OK, "SetTraceOptions");
  LPWSTR text = nullptr;
  if (checkHr(trace->GetTraceOptions(&text), S_OK, "GetTraceOptions")) check(same(text, options), "GetTraceOptions text");
  CoTaskMemFree(text);
  text = nullptr;
  if (checkHr(trace->GetTrace(&text), S_OK, "GetTrace")) check(same(text, canned::kTraceDocument), "GetTrace text");
  CoTaskMemFree(text);
  checkHr(trace->SaveTraceOptions(), E_NOTIMPL, "SaveTraceOptions");
}

void checkItemProperties(IUnknown* server) {
  auto properties = query<IOPCItemProperties>(server, IID_IOPCItemProperties, "IOPCItemProperties");
  if (!properties) return;
  wchar_t speed[] = L"Drive1.Speed";

  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* descriptions = nullptr;
  VARTYPE* types = nullptr;
  if (checkHr(properties->QueryAvailableProperties(speed, &count, &ids, &descriptions, &types), S_OK,
              "QueryAvailableProperties")) {
    check(count == canned::kPropertyCount, "QueryAvailableProperties: count %lu", count);
    for (DWORD i = 0; i < count && i < canned::kPropertyCount; ++i) {
      check(ids[i] == canned::kPropertyIds[i] && same(descriptions[i], canned::kPropertyDescriptions[i]) &&
                types[i] == canned::kPropertyTypes[i],
            "QueryAvailableProperties entry %lu: %lu \"%s\" vt %u", i, ids[i], narrow(descriptions[i]).c_str(), types[i]);
    }
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
  }
  wchar_t missing[] = L"Drive9.Nothing";
  checkHr(properties->QueryAvailableProperties(missing, &count, &ids, &descriptions, &types), OPC_E_UNKNOWNITEMID,
          "QueryAvailableProperties of an unknown item");
  check(count == 0 && !ids && !descriptions && !types, "QueryAvailableProperties failure left outputs set");

  DWORD wanted[] = {OPC_PROPERTY_DATATYPE, OPC_PROPERTY_VALUE, OPC_PROPERTY_DESCRIPTION, canned::kUnknownPropertyId};
  VARIANT* values = nullptr;
  HRESULT* errors = nullptr;
  if (checkHr(properties->GetItemProperties(speed, 4, wanted, &values, &errors), S_FALSE, "GetItemProperties")) {
    for (DWORD i = 0; i < 4; ++i) {
      Variant expected;
      bool known = canned::propertyValue(wanted[i], &expected);
      check(errors[i] == (known ? S_OK : OPC_E_INVALID_PID) && sameVariant(values[i], expected),
            "GetItemProperties entry %lu: vt %u error 0x%08lx", i, values[i].vt, static_cast<unsigned long>(errors[i]));
      VariantClear(&values[i]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
  }

  DWORD lookup[] = {OPC_PROPERTY_VALUE, OPC_PROPERTY_DESCRIPTION};
  LPWSTR* itemIds = nullptr;
  if (checkHr(properties->LookupItemIDs(speed, 2, lookup, &itemIds, &errors), S_FALSE, "LookupItemIDs")) {
    check(itemIds[0] == nullptr && errors[0] == OPC_E_INVALID_PID, "LookupItemIDs: value property not null/INVALID_PID");
    check(same(itemIds[1], canned::kDescriptionItemId) && errors[1] == S_OK, "LookupItemIDs: description \"%s\"",
          narrow(itemIds[1]).c_str());
    CoTaskMemFree(itemIds[0]);
    CoTaskMemFree(itemIds[1]);
    CoTaskMemFree(itemIds);
    CoTaskMemFree(errors);
  }
}

// The description property as Browse and GetProperties return it, values included.
void checkDescriptionProperty(const OPCITEMPROPERTY& p, const char* where) {
  check(p.dwPropertyID == OPC_PROPERTY_DESCRIPTION && p.vtDataType == VT_BSTR && p.hrErrorID == S_OK &&
            same(p.szItemID, canned::kDescriptionItemId) && same(p.szDescription, L"Item Description") &&
            p.vValue.vt == VT_BSTR && same(p.vValue.bstrVal, canned::kDescription),
        "%s: description property differs", where);
}

void freeProperties(OPCITEMPROPERTIES& properties) {
  for (DWORD k = 0; k < properties.dwNumProperties; ++k) {
    OPCITEMPROPERTY& p = properties.pItemProperties[k];
    CoTaskMemFree(p.szItemID);
    CoTaskMemFree(p.szDescription);
    VariantClear(&p.vValue);
  }
  CoTaskMemFree(properties.pItemProperties);
}

void checkBrowse(IUnknown* server) {
  auto browse = query<IOPCBrowse>(server, IID_IOPCBrowse, "IOPCBrowse");
  if (!browse) return;
  wchar_t root[] = L"";
  wchar_t nameFilter[] = L"*";
  wchar_t vendorFilter[] = L"";
  LPWSTR continuation = taskString(canned::kContinuationIn);
  DWORD wanted[] = {OPC_PROPERTY_DESCRIPTION, canned::kUnknownPropertyId};
  BOOL more = FALSE;
  DWORD count = 0;
  OPCBROWSEELEMENT* elements = nullptr;
  HRESULT hr = browse->Browse(root, &continuation, 2, OPC_BROWSE_FILTER_ALL, nameFilter, vendorFilter, FALSE, TRUE, 2,
                              wanted, &more, &count, &elements);
  if (checkHr(hr, S_OK, "Browse")) {
    check(more == TRUE, "Browse: more elements not reported");
    check(same(continuation, canned::kContinuationOut), "Browse: continuation point \"%s\"", narrow(continuation).c_str());
    if (check(count == 2, "Browse: %lu elements", count)) {
      const OPCBROWSEELEMENT& branch = elements[0];
      const OPCBROWSEELEMENT& item = elements[1];
      check(same(branch.szName, L"Drive1") && same(branch.szItemID, L"Drive1") &&
                branch.dwFlagValue == OPC_BROWSE_HASCHILDREN && branch.ItemProperties.dwNumProperties == 0 &&
                !branch.ItemProperties.pItemProperties,
            "Browse: branch element differs");
      check(same(item.szName, L"Speed") && same(item.szItemID, L"Drive1.Speed") && item.dwFlagValue == OPC_BROWSE_ISITEM &&
                item.ItemProperties.hrErrorID == S_FALSE && item.ItemProperties.dwNumProperties == 2,
            "Browse: item element differs");
      if (item.ItemProperties.dwNumProperties == 2) {
        checkDescriptionProperty(item.ItemProperties.pItemProperties[0], "Browse");
        const OPCITEMPROPERTY& unknown = item.ItemProperties.pItemProperties[1];
        check(unknown.dwPropertyID == canned::kUnknownPropertyId && unknown.hrErrorID == OPC_E_INVALID_PID &&
                  !unknown.szItemID && !unknown.szDescription && unknown.vValue.vt == VT_EMPTY,
              "Browse: unknown property differs");
      }
    }
    for (DWORD i = 0; i < count; ++i) {
      CoTaskMemFree(elements[i].szName);
      CoTaskMemFree(elements[i].szItemID);
      freeProperties(elements[i].ItemProperties);
    }
    CoTaskMemFree(elements);
  }
  CoTaskMemFree(continuation);

  wchar_t speed[] = L"Drive1.Speed";
  wchar_t missing[] = L"Drive9.Nothing";
  LPWSTR items[] = {speed, missing};
  OPCITEMPROPERTIES* all = nullptr;
  // "All properties" is a count of 0, but the ID array is a [ref] pointer: the proxy
  // refuses NULL even then, so clients (ours too) pass some array.
  checkHr(browse->GetProperties(2, items, TRUE, 0, nullptr, &all), HRESULT_FROM_WIN32(RPC_X_NULL_REF_POINTER),
          "GetProperties with a NULL ID array");
  DWORD none[1] = {0};
  if (checkHr(browse->GetProperties(2, items, TRUE, 0, none, &all), S_FALSE, "GetProperties")) {
    check(all[0].hrErrorID == S_OK && all[0].dwNumProperties == canned::kPropertyCount, "GetProperties: known item");
    if (all[0].dwNumProperties == canned::kPropertyCount) {
      checkDescriptionProperty(all[0].pItemProperties[2], "GetProperties");
    }
    check(all[1].hrErrorID == OPC_E_UNKNOWNITEMID && all[1].dwNumProperties == 0 && !all[1].pItemProperties,
          "GetProperties: unknown item");
    freeProperties(all[0]);
    freeProperties(all[1]);
    CoTaskMemFree(all);
  }
}

void checkItemIO(IUnknown* server) {
  auto io = query<IOPCItemIO>(server, IID_IOPCItemIO, "IOPCItemIO");
  if (!io) return;
  LPCWSTR ids[] = {canned::kItems[0].itemId, canned::kItems[1].itemId, canned::kItems[2].itemId, L"Drive9.Nothing"};
  DWORD maxAges[] = {0, 1000, 2000, 3000};
  VARIANT* values = nullptr;
  WORD* qualities = nullptr;
  FILETIME* times = nullptr;
  HRESULT* errors = nullptr;
  if (checkHr(io->Read(4, ids, maxAges, &values, &qualities, &times, &errors), S_FALSE, "IOPCItemIO::Read")) {
    for (DWORD i = 0; i < 4; ++i) {
      OPCHANDLE handle = i < 3 ? canned::kFirstServerHandle + i : canned::kUnknownServerHandle;
      HRESULT expected = i < 3 ? S_OK : OPC_E_UNKNOWNITEMID;
      check(errors[i] == expected && (FAILED(expected) || (matchesRead(handle, values[i], qualities[i], errors[i]) &&
                                                           sameTime(times[i], canned::kValueTime))),
            "IOPCItemIO::Read entry %lu: vt %u quality 0x%x error 0x%08lx", i, values[i].vt, qualities[i],
            static_cast<unsigned long>(errors[i]));
      VariantClear(&values[i]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
  }

  OPCITEMVQT vqts[2] = {};
  vqts[0].vDataValue.vt = VT_R8;
  vqts[0].vDataValue.dblVal = canned::kWriteSpeed;
  vqts[0].bQualitySpecified = TRUE;
  vqts[0].wQuality = OPC_QUALITY_GOOD;
  vqts[0].bTimeStampSpecified = TRUE;
  vqts[0].ftTimeStamp = canned::kValueTime;
  vqts[1].vDataValue.vt = VT_BSTR;
  vqts[1].vDataValue.bstrVal = SysAllocString(canned::kWriteStatus);
  if (checkHr(io->WriteVQT(2, ids, vqts, &errors), S_FALSE, "IOPCItemIO::WriteVQT")) {
    check(errors[0] == S_OK && errors[1] == OPC_E_BADRIGHTS, "IOPCItemIO::WriteVQT errors 0x%08lx 0x%08lx",
          static_cast<unsigned long>(errors[0]), static_cast<unsigned long>(errors[1]));
    CoTaskMemFree(errors);
  }
  VariantClear(&vqts[1].vDataValue);
}

// ---- Group object ----------------------------------------------------------------

void checkGroupState(IOPCGroupStateMgt* state, DWORD rate, LONG timeBias, FLOAT deadband, DWORD lcid,
                     OPCHANDLE clientGroup, const char* when) {
  DWORD gotRate = 0, gotLcid = 0;
  BOOL active = FALSE;
  LPWSTR name = nullptr;
  LONG gotBias = 0;
  FLOAT gotDeadband = 0;
  OPCHANDLE client = 0, server = 0;
  if (!checkHr(state->GetState(&gotRate, &active, &name, &gotBias, &gotDeadband, &gotLcid, &client, &server), S_OK,
               "GetState")) {
    return;
  }
  check(gotRate == rate && active == TRUE && same(name, canned::kGroupName) && gotBias == timeBias &&
            gotDeadband == deadband && gotLcid == lcid && client == clientGroup && server == 0x2001,
        "GetState %s: rate %lu active %d bias %ld deadband %g lcid %lu client %lu server 0x%lx", when, gotRate, active,
        gotBias, gotDeadband, gotLcid, client, server);
  CoTaskMemFree(name);
}

void checkGroupStateMgt(IUnknown* group) {
  auto state = query<IOPCGroupStateMgt2>(group, IID_IOPCGroupStateMgt2, "IOPCGroupStateMgt2");
  if (!state) return;
  // AddGroup gave a time bias and no deadband (reported as -1).
  checkGroupState(state.Get(), 100, -60, -1.0f, 1053, kClientGroup, "after AddGroup");
  // Null [unique] pointers leave their settings alone.
  DWORD rate = 250, revised = 0;
  FLOAT deadband = 2.5f;
  OPCHANDLE client = kClientGroupChanged;
  checkHr(state->SetState(&rate, &revised, nullptr, nullptr, &deadband, nullptr, &client), S_OK, "SetState");
  check(revised == 250, "SetState: revised rate %lu", revised);
  checkGroupState(state.Get(), 250, -60, 2.5f, 1053, kClientGroupChanged, "after SetState");

  DWORD keepAlive = 0;
  checkHr(state->SetKeepAlive(5, &keepAlive), OPC_S_UNSUPPORTEDRATE, "SetKeepAlive(5)");
  check(keepAlive == 20, "SetKeepAlive: revised %lu", keepAlive);
  checkHr(state->GetKeepAlive(&keepAlive), S_OK, "GetKeepAlive");
  check(keepAlive == 20, "GetKeepAlive: %lu", keepAlive);
}

void checkAddItems(IOPCItemMgt* items) {
  OPCITEMDEF defs[canned::kItemCount] = {};
  for (DWORD i = 0; i < canned::kItemCount; ++i) {
    const canned::Item& item = canned::kItems[i];
    defs[i].szAccessPath = const_cast<LPWSTR>(item.accessPath);
    defs[i].szItemID = const_cast<LPWSTR>(item.itemId);
    defs[i].bActive = TRUE;
    defs[i].hClient = item.clientHandle;
    defs[i].dwBlobSize = item.blobSize;
    defs[i].pBlob = item.blobSize ? const_cast<BYTE*>(item.blob) : nullptr;
    defs[i].vtRequestedDataType = item.requestedType;
  }
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  if (!checkHr(items->AddItems(canned::kItemCount, defs, &results, &errors), S_FALSE, "AddItems")) return;
  for (DWORD i = 0; i < canned::kItemCount; ++i) {
    const canned::Item& item = canned::kItems[i];
    const OPCITEMRESULT& r = results[i];
    bool blobOk = r.dwBlobSize == canned::resultBlobSize(item) && (r.dwBlobSize == 0) == (r.pBlob == nullptr);
    for (DWORD b = 0; blobOk && b < r.dwBlobSize; ++b) blobOk = r.pBlob[b] == canned::resultBlobByte(item, b);
    bool ok = errors[i] == item.addResult && blobOk;
    if (SUCCEEDED(item.addResult)) {
      ok = ok && r.hServer == canned::kFirstServerHandle + i && r.vtCanonicalDataType == item.canonicalType &&
           r.dwAccessRights == item.accessRights;
    } else {
      ok = ok && r.hServer == 0 && r.vtCanonicalDataType == VT_EMPTY && r.dwAccessRights == 0;
    }
    check(ok, "AddItems %s: error 0x%08lx handle 0x%lx vt %u rights %lu blob %lu", narrow(item.itemId).c_str(),
          static_cast<unsigned long>(errors[i]), r.hServer, r.vtCanonicalDataType, r.dwAccessRights, r.dwBlobSize);
    CoTaskMemFree(r.pBlob);
  }
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
}

void checkItemEnumerator(IOPCItemMgt* items) {
  ComPtr<IUnknown> unknown;
  checkHr(items->CreateEnumerator(IID_IEnumString, &unknown), E_NOINTERFACE, "CreateEnumerator(IEnumString)");
  if (!checkHr(items->CreateEnumerator(IID_IEnumOPCItemAttributes, &unknown), S_OK, "CreateEnumerator")) return;
  auto enumerator = query<IEnumOPCItemAttributes>(unknown.Get(), IID_IEnumOPCItemAttributes, "IEnumOPCItemAttributes");
  if (!enumerator) return;
  OPCITEMATTRIBUTES* attributes = nullptr;
  ULONG fetched = 0;
  if (checkHr(enumerator->Next(10, &attributes, &fetched), S_FALSE, "IEnumOPCItemAttributes::Next(10)") &&
      check(fetched == canned::kKnownItemCount, "Next: %lu fetched", fetched)) {
    for (ULONG i = 0; i < fetched; ++i) {
      const canned::Item& item = canned::kItems[i];
      OPCITEMATTRIBUTES& a = attributes[i];
      Variant info;
      canned::euInfo(i, &info);
      bool blobOk = a.dwBlobSize == canned::resultBlobSize(item);
      for (DWORD b = 0; blobOk && b < a.dwBlobSize; ++b) blobOk = a.pBlob[b] == canned::resultBlobByte(item, b);
      check(same(a.szAccessPath, item.accessPath) && same(a.szItemID, item.itemId) && a.bActive == TRUE &&
                a.hClient == item.clientHandle && a.hServer == canned::kFirstServerHandle + i &&
                a.dwAccessRights == item.accessRights && blobOk && a.vtRequestedDataType == item.requestedType &&
                a.vtCanonicalDataType == item.canonicalType && a.dwEUType == canned::euType(i) &&
                sameVariant(a.vEUInfo, info),
            "Next: attributes of %s differ (EU vt %u)", narrow(item.itemId).c_str(), a.vEUInfo.vt);
      CoTaskMemFree(a.szAccessPath);
      CoTaskMemFree(a.szItemID);
      CoTaskMemFree(a.pBlob);
      VariantClear(&a.vEUInfo);
    }
    CoTaskMemFree(attributes);
  }
  attributes = nullptr;
  checkHr(enumerator->Next(1, &attributes, &fetched), S_FALSE, "Next at the end");
  check(fetched == 0 && attributes == nullptr, "Next at the end: %lu fetched", fetched);
}

const OPCHANDLE kReadHandles[] = {canned::kFirstServerHandle, canned::kFirstServerHandle + 1,
                                  canned::kFirstServerHandle + 2, canned::kUnknownServerHandle};

void checkSyncIO(IUnknown* group) {
  auto io = query<IOPCSyncIO>(group, IID_IOPCSyncIO, "IOPCSyncIO");
  if (!io) return;
  OPCITEMSTATE* states = nullptr;
  HRESULT* errors = nullptr;
  OPCHANDLE handles[4];
  memcpy(handles, kReadHandles, sizeof handles);
  if (checkHr(io->Read(OPC_DS_DEVICE, 4, handles, &states, &errors), S_FALSE, "IOPCSyncIO::Read")) {
    for (DWORD i = 0; i < 4; ++i) {
      const OPCITEMSTATE& s = states[i];
      check(matchesRead(handles[i], s.vDataValue, s.wQuality, errors[i]) &&
                s.hClient == canned::clientHandleOf(handles[i]) && sameTime(s.ftTimeStamp, canned::kValueTime),
            "IOPCSyncIO::Read handle 0x%lx: vt %u quality 0x%x client %lu error 0x%08lx", handles[i],
            s.vDataValue.vt, s.wQuality, s.hClient, static_cast<unsigned long>(errors[i]));
      VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
  }

  OPCHANDLE writeHandles[] = {canned::kFirstServerHandle, canned::kFirstServerHandle + 1, canned::kUnknownServerHandle};
  VARIANT values[3];
  for (VARIANT& v : values) VariantInit(&v);
  values[0].vt = VT_R8;
  values[0].dblVal = canned::kWriteSpeed;
  values[1].vt = VT_BSTR;
  values[1].bstrVal = SysAllocString(canned::kWriteStatus);
  if (checkHr(io->Write(3, writeHandles, values, &errors), S_FALSE, "IOPCSyncIO::Write")) {
    check(errors[0] == S_OK && errors[1] == OPC_E_BADRIGHTS && errors[2] == OPC_E_INVALIDHANDLE,
          "IOPCSyncIO::Write errors 0x%08lx 0x%08lx 0x%08lx", static_cast<unsigned long>(errors[0]),
          static_cast<unsigned long>(errors[1]), static_cast<unsigned long>(errors[2]));
    CoTaskMemFree(errors);
  }
  for (VARIANT& v : values) VariantClear(&v);

  auto deadbands = query<IOPCItemDeadbandMgt>(group, IID_IOPCItemDeadbandMgt, "IOPCItemDeadbandMgt");
  OPCHANDLE deadbandHandles[] = {canned::kFirstServerHandle, canned::kUnknownServerHandle, canned::kFirstServerHandle + 1};
  FLOAT* percents = nullptr;
  if (deadbands && checkHr(deadbands->GetItemDeadband(3, deadbandHandles, &percents, &errors), S_FALSE, "GetItemDeadband")) {
    check(percents[0] == 2.5f && percents[1] == 0.0f && percents[2] == 7.5f && errors[0] == S_OK &&
              errors[1] == OPC_E_INVALIDHANDLE && errors[2] == S_OK,
          "GetItemDeadband: %g %g %g", percents[0], percents[1], percents[2]);
    CoTaskMemFree(percents);
    CoTaskMemFree(errors);
  }
}

void checkDataCallback(IUnknown* group, Sink& sink) {
  auto container = query<IConnectionPointContainer>(group, IID_IConnectionPointContainer, "group IConnectionPointContainer");
  auto async = query<IOPCAsyncIO2>(group, IID_IOPCAsyncIO2, "IOPCAsyncIO2");
  if (!container || !async) return;
  DWORD cancel = 0;
  checkHr(async->Refresh2(OPC_DS_CACHE, 40, &cancel), CONNECT_E_NOCONNECTION, "Refresh2 without a sink");
  ComPtr<IConnectionPoint> point;
  if (!checkHr(container->FindConnectionPoint(IID_IOPCDataCallback, &point), S_OK, "FindConnectionPoint(IOPCDataCallback)")) return;
  DWORD cookie = 0;
  if (!checkHr(point->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie), S_OK, "Advise(IOPCDataCallback)")) return;

  if (checkHr(async->Refresh2(OPC_DS_CACHE, 41, &cancel), S_OK, "Refresh2")) {
    check(cancel == 0x500 + 41, "Refresh2: cancel id 0x%lx", cancel);
    if (Completion* c = onlyCompletion(sink, "data change", 41)) {
      check(c->group == kClientGroupChanged && c->masterQuality == S_FALSE && c->masterError == S_OK &&
                c->clients.size() == canned::kKnownItemCount,
            "OnDataChange: group %lu master 0x%08lx/0x%08lx, %zu items", c->group,
            static_cast<unsigned long>(c->masterQuality), static_cast<unsigned long>(c->masterError), c->clients.size());
      for (size_t i = 0; i < c->clients.size() && i < canned::kKnownItemCount; ++i) {
        OPCHANDLE server = canned::kFirstServerHandle + static_cast<DWORD>(i);
        check(c->clients[i] == canned::kItems[i].clientHandle &&
                  matchesRead(server, c->values[i], c->qualities[i], c->errors[i]) &&
                  sameTime(c->times[i], canned::kValueTime),
              "OnDataChange item %zu: client %lu vt %u quality 0x%x", i, c->clients[i], c->values[i].vt, c->qualities[i]);
      }
      delete c;
    }
  }

  OPCHANDLE handles[] = {canned::kFirstServerHandle, canned::kFirstServerHandle + 1, canned::kUnknownServerHandle};
  VARIANT values[3];
  for (VARIANT& v : values) VariantInit(&v);
  values[0].vt = VT_R8;
  values[0].dblVal = canned::kWriteSpeed;
  values[1].vt = VT_BSTR;
  values[1].bstrVal = SysAllocString(canned::kWriteStatus);
  HRESULT* errors = nullptr;
  if (checkHr(async->Write(3, handles, values, 42, &cancel, &errors), S_FALSE, "IOPCAsyncIO2::Write")) {
    check(errors[0] == S_OK && errors[1] == S_OK && errors[2] == OPC_E_INVALIDHANDLE, "IOPCAsyncIO2::Write errors");
    CoTaskMemFree(errors);
    if (Completion* c = onlyCompletion(sink, "write complete", 42)) {
      check(c->group == kClientGroupChanged && c->masterError == S_FALSE && c->clients.size() == 3 &&
                c->clients[0] == 11 && c->clients[1] == 12 && c->clients[2] == 0 && c->errors[0] == S_OK &&
                c->errors[1] == OPC_E_BADRIGHTS && c->errors[2] == OPC_E_INVALIDHANDLE,
            "OnWriteComplete differs");
      delete c;
    }
  }
  for (VARIANT& v : values) VariantClear(&v);

  if (checkHr(async->Cancel2(0x500 + 42), S_OK, "Cancel2")) {
    if (Completion* c = onlyCompletion(sink, "cancel complete", 42)) {
      check(c->group == kClientGroupChanged, "OnCancelComplete: group %lu", c->group);
      delete c;
    }
  }
  checkHr(point->Unadvise(cookie), S_OK, "Unadvise(IOPCDataCallback)");
}

void checkRemoveItems(IOPCItemMgt* items) {
  OPCHANDLE handles[] = {canned::kFirstServerHandle, canned::kUnknownServerHandle};
  HRESULT* errors = nullptr;
  if (checkHr(items->RemoveItems(2, handles, &errors), S_FALSE, "RemoveItems")) {
    check(errors[0] == S_OK && errors[1] == OPC_E_INVALIDHANDLE, "RemoveItems errors");
    CoTaskMemFree(errors);
  }
}

// The server's process id, from the watch statistics.
DWORD serverProcessId(IUnknown* server) {
  auto watch = query<IKestrovaOPCWatch>(server, IID_IKestrovaOPCWatch, "IKestrovaOPCWatch");
  LPWSTR statistics = nullptr;
  DWORD pid = 0;
  if (watch && SUCCEEDED(watch->GetStatistics(&statistics))) {
    swscanf(statistics, L"<statistics process=\"%lu\"", &pid);
  }
  CoTaskMemFree(statistics);
  return pid;
}

}  // namespace

int wmain() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    fprintf(stderr, "opc marshal client: CoInitializeEx answered 0x%08lx\n", static_cast<unsigned long>(hr));
    return 1;
  }
  Sink sink;
  HANDLE serverProcess = nullptr;
  {
    ComPtr<IOPCServer> server;
    hr = CoCreateInstance(kClsidOpcMarshalProof, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server));
    if (!checkHr(hr, S_OK, "CoCreateInstance(CLSCTX_LOCAL_SERVER)")) return 1;
    DWORD pid = serverProcessId(server.Get());
    if (pid == GetCurrentProcessId()) check(false, "the server runs in the client's process");
    serverProcess = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    check(serverProcess != nullptr, "cannot open the server process %lu", pid);

    checkEveryInterface(server.Get(), kServerInterfaces, sizeof kServerInterfaces / sizeof kServerInterfaces[0]);
    checkStatus(server.Get());
    auto common = query<IOPCCommon>(server.Get(), IID_IOPCCommon, "IOPCCommon");
    if (common) {
      checkLocalesAndErrorStrings(server.Get(), common.Get());
      checkShutdownAndWatch(common.Get(), sink);
    }
    checkTrace(server.Get());
    checkItemProperties(server.Get());
    checkBrowse(server.Get());
    checkItemIO(server.Get());

    ComPtr<IOPCItemMgt> items;
    OPCHANDLE serverGroup = 0;
    DWORD revised = 0;
    LONG timeBias = -60;
    hr = server->AddGroup(canned::kGroupName, TRUE, 1, kClientGroup, &timeBias, nullptr, 1053, &serverGroup, &revised,
                          IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf()));
    if (checkHr(hr, OPC_S_UNSUPPORTEDRATE, "AddGroup") && check(items != nullptr, "AddGroup: no interface")) {
      check(serverGroup == 0x2001 && revised == 100, "AddGroup: handle 0x%lx revised rate %lu", serverGroup, revised);
      checkEveryInterface(items.Get(), kGroupInterfaces, sizeof kGroupInterfaces / sizeof kGroupInterfaces[0]);
      checkNotImplementedCalls(server.Get(), items.Get());
      checkGroupStateMgt(items.Get());
      checkAddItems(items.Get());
      checkItemEnumerator(items.Get());
      checkSyncIO(items.Get());
      checkDataCallback(items.Get(), sink);
      checkRemoveItems(items.Get());
    }
  }

  if (serverProcess) {
    if (g_failures == 0) {
      // Every reference is gone: the server must end by itself.
      check(WaitForSingleObject(serverProcess, kServerEndTimeoutMs) == WAIT_OBJECT_0,
            "the server did not end after the last release");
    }
    // Wine keeps a server whose client failed alive for ever.
    if (WaitForSingleObject(serverProcess, 0) != WAIT_OBJECT_0) TerminateProcess(serverProcess, 3);
    CloseHandle(serverProcess);
  }
  CoUninitialize();
  if (g_failures) {
    fprintf(stderr, "opc marshal client: %d checks failed\n", g_failures);
    return 1;
  }
  printf("opc marshal client: every check passed\n");
  return 0;
}
