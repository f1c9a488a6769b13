// The COM plumbing proof's client: starts the registered local server through COM and
// checks what every later COM piece relies on: VARIANTs and task-allocated arrays both
// ways through the proxy/stub DLL, a connection point whose sink the server calls from
// its own worker thread, and the server process ending after the last release.
// Prints what happened; on any failure says what and exits 1, ending the server so
// nothing is left in the prefix.
//
//   kv_plumbing_client [callbacks]     callbacks: how many to ask for (default 1000)

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

#include "idl/plumbing.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kDefaultCallbacks = 1000;
// Safety nets only: under Wine a callback takes about 1 ms and a server start 1 s.
constexpr DWORD kCallbackTimeoutMs = 60000;
constexpr DWORD kServerEndTimeoutMs = 20000;

HANDLE g_server = nullptr;  // the server process, ended on failure

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* format, ...) {
  fprintf(stderr, "plumbing client: FAILED: ");
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  fflush(stderr);
  // Wine never collects a dead client's references, so the server would wait forever.
  if (g_server) TerminateProcess(g_server, 3);
  ExitProcess(1);
}

void expectHr(HRESULT actual, HRESULT expected, const char* what) {
  if (actual != expected) {
    fail("%s answered 0x%08lx, expected 0x%08lx", what, static_cast<unsigned long>(actual),
         static_cast<unsigned long>(expected));
  }
}

double msSince(ULONGLONG start) { return static_cast<double>(GetTickCount64() - start); }

// Owns a VARIANT.
struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  ~Variant() { VariantClear(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

std::wstring bstrText(BSTR text) { return std::wstring(text, SysStringLen(text)); }

SAFEARRAY* makeArray(VARTYPE type, LONG count) {
  SAFEARRAY* array = SafeArrayCreateVector(type, 0, count);
  if (!array) fail("SafeArrayCreateVector failed");
  return array;
}

// Both hold the same type and value; arrays element by element.
bool sameVariant(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY: return true;
    case VT_I4: return a.lVal == b.lVal;
    case VT_R8: return a.dblVal == b.dblVal;
    case VT_DATE: return a.date == b.date;
    case VT_BOOL: return a.boolVal == b.boolVal;
    case VT_BSTR:
      return SysStringByteLen(a.bstrVal) == SysStringByteLen(b.bstrVal) &&
             memcmp(a.bstrVal, b.bstrVal, SysStringByteLen(a.bstrVal)) == 0;
    case VT_ARRAY | VT_I4:
    case VT_ARRAY | VT_BSTR: {
      LONG lowA, highA, lowB, highB;
      if (SafeArrayGetDim(a.parray) != 1 || SafeArrayGetDim(b.parray) != 1) return false;
      SafeArrayGetLBound(a.parray, 1, &lowA);
      SafeArrayGetUBound(a.parray, 1, &highA);
      SafeArrayGetLBound(b.parray, 1, &lowB);
      SafeArrayGetUBound(b.parray, 1, &highB);
      if (lowA != lowB || highA != highB) return false;
      for (LONG i = lowA; i <= highA; ++i) {
        // SafeArrayGetElement copies: a BSTR element lands in bstrVal and is freed by
        // the Variant, an I4 in lVal.
        Variant elementA, elementB;
        elementA.bstrVal = elementB.bstrVal = nullptr;
        elementA.vt = elementB.vt = a.vt & ~VT_ARRAY;
        bool text = elementA.vt == VT_BSTR;
        void* slotA = text ? static_cast<void*>(&elementA.bstrVal) : &elementA.lVal;
        void* slotB = text ? static_cast<void*>(&elementB.bstrVal) : &elementB.lVal;
        if (FAILED(SafeArrayGetElement(a.parray, &i, slotA)) ||
            FAILED(SafeArrayGetElement(b.parray, &i, slotB))) {
          return false;
        }
        if (!sameVariant(elementA, elementB)) return false;
      }
      return true;
    }
    default: return false;
  }
}

// ---- VARIANTs ---------------------------------------------------------------------

void checkConversions(IKvPlumbing* plumbing) {
  struct Row {
    const char* name;
    Variant in;
    VARTYPE as;
    HRESULT hr;
    Variant expected;
  };
  Row rows[9];
  int n = 0;
  auto row = [&](const char* name, VARTYPE as, HRESULT hr) -> Row& {
    Row& r = rows[n++];
    r.name = name;
    r.as = as;
    r.hr = hr;
    return r;
  };
  {
    Row& r = row("R8 2.5 as BSTR", VT_BSTR, S_OK);
    r.in.vt = VT_R8; r.in.dblVal = 2.5;
    r.expected.vt = VT_BSTR; r.expected.bstrVal = SysAllocString(L"2.5");
  }
  {
    Row& r = row("BSTR \"42\" as I4", VT_I4, S_OK);
    r.in.vt = VT_BSTR; r.in.bstrVal = SysAllocString(L"42");
    r.expected.vt = VT_I4; r.expected.lVal = 42;
  }
  {
    Row& r = row("I4 -7 as R8", VT_R8, S_OK);
    r.in.vt = VT_I4; r.in.lVal = -7;
    r.expected.vt = VT_R8; r.expected.dblVal = -7.0;
  }
  {
    Row& r = row("BSTR \"fast\" as I4", VT_I4, DISP_E_TYPEMISMATCH);
    r.in.vt = VT_BSTR; r.in.bstrVal = SysAllocString(L"fast");
  }
  row("EMPTY unchanged", VT_EMPTY, S_OK);
  {
    // Length-prefixed, not NUL-terminated: the NUL and what follows must survive.
    static const wchar_t text[] = L"a\0b\x00e9\x6f22";
    Row& r = row("BSTR with NUL and non-Latin text unchanged", VT_EMPTY, S_OK);
    r.in.vt = VT_BSTR; r.in.bstrVal = SysAllocStringLen(text, 5);
    r.expected.vt = VT_BSTR; r.expected.bstrVal = SysAllocStringLen(text, 5);
  }
  {
    Row& r = row("DATE unchanged", VT_EMPTY, S_OK);
    r.in.vt = VT_DATE; r.in.date = 45000.75;
    r.expected.vt = VT_DATE; r.expected.date = 45000.75;
  }
  {
    Row& r = row("I4 array unchanged", VT_EMPTY, S_OK);
    r.in.vt = r.expected.vt = VT_ARRAY | VT_I4;
    r.in.parray = makeArray(VT_I4, 3);
    r.expected.parray = makeArray(VT_I4, 3);
    for (LONG i = 0; i < 3; ++i) {
      LONG value = (i + 1) * 1000 - 1;
      SafeArrayPutElement(r.in.parray, &i, &value);
      SafeArrayPutElement(r.expected.parray, &i, &value);
    }
  }
  {
    Row& r = row("BSTR array unchanged", VT_EMPTY, S_OK);
    r.in.vt = r.expected.vt = VT_ARRAY | VT_BSTR;
    r.in.parray = makeArray(VT_BSTR, 2);
    r.expected.parray = makeArray(VT_BSTR, 2);
    const wchar_t* texts[] = {L"Drive1.Speed", L""};
    for (LONG i = 0; i < 2; ++i) {
      BSTR text = SysAllocString(texts[i]);
      SafeArrayPutElement(r.in.parray, &i, text);
      SafeArrayPutElement(r.expected.parray, &i, text);
      SysFreeString(text);
    }
  }

  for (int i = 0; i < n; ++i) {
    Row& r = rows[i];
    Variant out;
    HRESULT hr = plumbing->Convert(r.in, r.as, &out);
    if (hr != r.hr) {
      fail("Convert %s answered 0x%08lx, expected 0x%08lx", r.name, static_cast<unsigned long>(hr),
           static_cast<unsigned long>(r.hr));
    }
    if (!sameVariant(out, r.expected)) {
      if (out.vt == VT_BSTR) {
        fail("Convert %s gave BSTR \"%ls\"", r.name, bstrText(out.bstrVal).c_str());
      }
      fail("Convert %s gave type %u, not the expected value", r.name, out.vt);
    }
  }
  printf("VARIANTs: %d conversions and round trips correct (strings, numbers, dates, arrays, a type mismatch)\n", n);
}

// ---- [out] arrays -----------------------------------------------------------------

void checkLookUp(IKvPlumbing* plumbing) {
  LPCWSTR names[] = {L"Drive1.Current", L"Drive9.Torque", L"Drive2.Speed"};
  DWORD* handles = nullptr;
  HRESULT* errors = nullptr;
  expectHr(plumbing->LookUp(3, names, &handles, &errors), S_FALSE, "LookUp with one unknown name");
  if (!handles || !errors) fail("LookUp answered S_FALSE without its arrays");
  const DWORD expectedHandles[] = {102, 0, 201};
  const HRESULT expectedErrors[] = {S_OK, HRESULT_FROM_WIN32(ERROR_NOT_FOUND), S_OK};
  for (int i = 0; i < 3; ++i) {
    if (handles[i] != expectedHandles[i] || errors[i] != expectedErrors[i]) {
      fail("LookUp %ls gave handle %lu error 0x%08lx", names[i], handles[i],
           static_cast<unsigned long>(errors[i]));
    }
  }
  CoTaskMemFree(handles);
  CoTaskMemFree(errors);

  // A failed call must come back with its [out] pointers NULL, or the stub would have
  // marshalled garbage.
  handles = reinterpret_cast<DWORD*>(1);
  errors = reinterpret_cast<HRESULT*>(1);
  expectHr(plumbing->LookUp(0, names, &handles, &errors), E_INVALIDARG, "LookUp of no names");
  if (handles || errors) fail("LookUp of no names left its [out] arrays set");

  LPCWSTR known[] = {L"Drive1.Speed"};
  expectHr(plumbing->LookUp(1, known, &handles, &errors), S_OK, "LookUp of a known name");
  if (handles[0] != 101 || errors[0] != S_OK) fail("LookUp Drive1.Speed gave handle %lu", handles[0]);
  CoTaskMemFree(handles);
  CoTaskMemFree(errors);
}

void checkListNames(IKvPlumbing* plumbing) {
  DWORD count = 0;
  LPWSTR* names = nullptr;
  expectHr(plumbing->ListNames(L"Drive1.", &count, &names), S_OK, "ListNames Drive1.");
  const wchar_t* expected[] = {L"Drive1.Speed", L"Drive1.Current"};
  if (count != 2 || !names) fail("ListNames Drive1. gave %lu names", count);
  for (DWORD i = 0; i < count; ++i) {
    if (!names[i] || wcscmp(names[i], expected[i]) != 0) {
      fail("ListNames Drive1. name %lu is \"%ls\"", i, names[i] ? names[i] : L"(null)");
    }
    CoTaskMemFree(names[i]);
  }
  CoTaskMemFree(names);

  count = 99;
  expectHr(plumbing->ListNames(L"Pump", &count, &names), S_FALSE, "ListNames Pump");
  if (count != 0 || names) fail("ListNames with no match gave %lu names", count);
  printf("arrays: [in] names, [out] DWORD, HRESULT and LPWSTR arrays correct and freed\n");
}

// ---- callbacks --------------------------------------------------------------------

// The client's sink. Callbacks arrive on RPC threads of this multithreaded apartment.
class TickSink final : public IKvPlumbingSink {
public:
  TickSink(DWORD expected, HANDLE done) : expected_(expected), done_(done) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IKvPlumbingSink) {
      *ppv = static_cast<IKvPlumbingSink*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP OnTick(DWORD sequence, VARIANT value) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (!error_.empty()) return S_OK;
    DWORD wanted = received_ + 1;
    if (sequence != wanted) {
      report("callback %lu arrived when %lu was due", sequence, wanted);
    } else if (!expectedValue(sequence, value)) {
      report("callback %lu carried the wrong value (type %u)", sequence, value.vt);
    } else if (++received_ == expected_) {
      SetEvent(done_);
    }
    return S_OK;
  }

  DWORD received() {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
  }
  std::string error() {
    std::lock_guard<std::mutex> hold(lock_);
    return error_;
  }

private:
  // The server cycles I4 sequence, R8 sequence/4, BSTR "tick <sequence>".
  static bool expectedValue(DWORD sequence, const VARIANT& value) {
    switch (sequence % 3) {
      case 1: return value.vt == VT_I4 && value.lVal == static_cast<LONG>(sequence);
      case 2: return value.vt == VT_R8 && value.dblVal == sequence / 4.0;
      default: {
        wchar_t text[32];
        swprintf(text, 32, L"tick %lu", static_cast<unsigned long>(sequence));
        return value.vt == VT_BSTR && bstrText(value.bstrVal) == text;
      }
    }
  }
  void report(const char* format, DWORD a, DWORD b) {  // lock_ held
    char text[160];
    snprintf(text, sizeof text, format, a, b);
    error_ = text;
    SetEvent(done_);
  }

  std::atomic<ULONG> refs_{1};
  const DWORD expected_;
  const HANDLE done_;
  std::mutex lock_;
  DWORD received_ = 0;  // guarded by lock_
  std::string error_;   // guarded by lock_; the first fault seen
};

// Implements nothing but IUnknown: Advise must refuse it.
class NotASink final : public IUnknown {
public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

private:
  std::atomic<ULONG> refs_{1};
};

void checkCallbacks(IKvPlumbing* plumbing, DWORD callbacks) {
  expectHr(plumbing->StartTicks(5), CONNECT_E_NOCONNECTION, "StartTicks before Advise");

  ComPtr<IConnectionPointContainer> container;
  expectHr(plumbing->QueryInterface(IID_PPV_ARGS(&container)), S_OK,
           "QueryInterface(IConnectionPointContainer)");
  ComPtr<IConnectionPoint> point;
  expectHr(container->FindConnectionPoint(IID_IPropertyNotifySink, &point), CONNECT_E_NOCONNECTION,
           "FindConnectionPoint(IPropertyNotifySink)");
  expectHr(container->FindConnectionPoint(IID_IKvPlumbingSink, &point), S_OK,
           "FindConnectionPoint(IKvPlumbingSink)");

  ComPtr<IUnknown> notASink;
  notASink.Attach(new NotASink);
  DWORD cookie = 0;
  expectHr(point->Advise(notASink.Get(), &cookie), CONNECT_E_CANNOTCONNECT,
           "Advise of an object without IKvPlumbingSink");

  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ComPtr<TickSink> sink;
  sink.Attach(new TickSink(callbacks, done));
  expectHr(point->Advise(sink.Get(), &cookie), S_OK, "Advise");
  DWORD secondCookie = 0;
  expectHr(point->Advise(sink.Get(), &secondCookie), CONNECT_E_ADVISELIMIT, "a second Advise");

  // Two requests: the second queues behind the first and the sequence runs on.
  ULONGLONG start = GetTickCount64();
  DWORD first = callbacks * 2 / 5;
  if (first > 0) expectHr(plumbing->StartTicks(first), S_OK, "StartTicks");
  expectHr(plumbing->StartTicks(callbacks - first), S_OK, "StartTicks");
  if (WaitForSingleObject(done, kCallbackTimeoutMs) != WAIT_OBJECT_0) {
    fail("%lu of %lu callbacks arrived within %lu s", sink->received(), callbacks,
         kCallbackTimeoutMs / 1000);
  }
  if (!sink->error().empty()) fail("%s", sink->error().c_str());
  printf("callbacks: %lu received in order, each with its value, in %.0f ms\n", callbacks,
         msSince(start));

  expectHr(point->Unadvise(cookie), S_OK, "Unadvise");
  expectHr(point->Unadvise(cookie), CONNECT_E_NOCONNECTION, "a second Unadvise");
  expectHr(plumbing->StartTicks(1), CONNECT_E_NOCONNECTION, "StartTicks after Unadvise");
  if (sink->received() != callbacks) fail("%lu callbacks arrived, not %lu", sink->received(), callbacks);
  CloseHandle(done);
}

DWORD parseCallbacks(int argc, wchar_t** argv) {
  if (argc < 2) return kDefaultCallbacks;
  wchar_t* end = nullptr;
  unsigned long value = wcstoul(argv[1], &end, 10);
  if (*end || value == 0 || value > 1000000) fail("callbacks must be 1..1000000, not %ls", argv[1]);
  return value;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  DWORD callbacks = parseCallbacks(argc, argv);
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) fail("CoInitializeEx answered 0x%08lx", static_cast<unsigned long>(hr));

  DWORD serverPid = 0;
  {
    ULONGLONG start = GetTickCount64();
    ComPtr<IKvPlumbing> plumbing;
    hr = CoCreateInstance(CLSID_KvPlumbing, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&plumbing));
    if (FAILED(hr)) fail("CoCreateInstance(CLSCTX_LOCAL_SERVER) answered 0x%08lx", static_cast<unsigned long>(hr));
    expectHr(plumbing->GetServerProcessId(&serverPid), S_OK, "GetServerProcessId");
    if (serverPid == GetCurrentProcessId()) fail("the object was created in the client's own process");
    g_server = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverPid);
    if (!g_server) fail("cannot open the server process %lu (error %lu)", serverPid, GetLastError());
    printf("created server: process %lu, in %.0f ms\n", serverPid, msSince(start));

    checkConversions(plumbing.Get());
    checkLookUp(plumbing.Get());
    checkListNames(plumbing.Get());
    checkCallbacks(plumbing.Get(), callbacks);
  }

  // All references are released: the server must notice and end by itself.
  ULONGLONG released = GetTickCount64();
  if (WaitForSingleObject(g_server, kServerEndTimeoutMs) != WAIT_OBJECT_0) {
    fail("the server did not end within %lu s of the last release", kServerEndTimeoutMs / 1000);
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(g_server, &exitCode);
  if (exitCode != 0) fail("the server ended with exit code %lu", exitCode);
  printf("server ended: %.0f ms after the last release, exit code 0\n", msSince(released));
  CloseHandle(g_server);
  g_server = nullptr;
  CoUninitialize();
  return 0;
}
