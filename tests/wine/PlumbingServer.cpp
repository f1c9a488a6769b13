// The plumbing proof's local server exe: registers itself with /regserver and
// /unregserver; started by COM with -Embedding, it serves KvPlumbing objects from a
// multithreaded apartment until the last object and lock are gone.

#include "tests/wine/PlumbingServer.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "idl/plumbing.h"
#include "tests/wine/PlumbingObject.h"

namespace {

constexpr wchar_t kLogVariable[] = L"KV_PLUMBING_LOG";
constexpr wchar_t kServerDescription[] = L"Kestrova COM plumbing proof";

HANDLE g_lastReleaseEvent = nullptr;  // set when the process count drops to zero
std::mutex g_logLock;

class PlumbingFactory final : public IClassFactory {
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
  // The factory lives as long as wmain; COM's references to it do not hold the process.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return PlumbingObject::create(riid, ppv);
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

// HKLM\Software\Classes is what HKEY_CLASSES_ROOT shows machine-wide.
void classKeyPath(wchar_t* path, size_t size) {
  wchar_t clsid[40];
  StringFromGUID2(CLSID_KvPlumbing, clsid, 40);
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
  if (length == 0 || length == MAX_PATH) {
    fprintf(stderr, "plumbing server: cannot find its own path\n");
    return 1;
  }
  // Quoted: COM appends -Embedding, and the path may hold spaces.
  wchar_t command[MAX_PATH + 2];
  swprintf(command, MAX_PATH + 2, L"\"%ls\"", exe);
  wchar_t classKey[80], serverKey[100];
  classKeyPath(classKey, 80);
  swprintf(serverKey, 100, L"%ls\\LocalServer32", classKey);
  LSTATUS status = setDefaultValue(HKEY_LOCAL_MACHINE, classKey, kServerDescription);
  if (status == ERROR_SUCCESS) status = setDefaultValue(HKEY_LOCAL_MACHINE, serverKey, command);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "plumbing server: registration failed (error %ld)\n", static_cast<long>(status));
    return 1;
  }
  return 0;
}

int unregisterServer() {
  wchar_t classKey[80];
  classKeyPath(classKey, 80);
  LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
    fprintf(stderr, "plumbing server: unregistration failed (error %ld)\n", static_cast<long>(status));
    return 1;
  }
  return 0;
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
  // Before the class object is registered: the first object may come at once.
  g_lastReleaseEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_lastReleaseEvent) {
    serverLog("CreateEvent failed (error %lu)", GetLastError());
    CoUninitialize();
    return 1;
  }
  static PlumbingFactory factory;
  DWORD registration = 0;
  hr = CoRegisterClassObject(CLSID_KvPlumbing, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                             &registration);
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

void serverLog(const char* format, ...) {
  wchar_t path[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(kLogVariable, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  std::lock_guard<std::mutex> hold(g_logLock);
  FILE* file = _wfopen(path, L"a");
  if (!file) return;
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

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    if (isSwitch(argv[i], L"regserver")) return registerServer();
    if (isSwitch(argv[i], L"unregserver")) return unregisterServer();
  }
  // -Embedding (from COM) or nothing at all: serve.
  return serve();
}
