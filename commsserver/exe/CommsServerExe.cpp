// The comms server exe: hosts our comms server component (ICommsServer) and its
// settings dialog (ICommsSettingsDialog) as a COM local server.
//
//   kv_comms_server /regserver     registers both classes (and the proxy/stub DLL
//                                  kv_commsserver_ps.dll when it lies beside the exe)
//   kv_comms_server /unregserver   removes them again
//   kv_comms_server -Embedding     started by COM: serves until the last object and
//                                  lock are released, then ends
//   kv_comms_server -handover PIPE PID [settings]
//                                  started by the product (process PID) to replace a
//                                  comms server that died: makes one comms server (or
//                                  settings dialog) and writes it, marshalled, to the
//                                  named pipe PIPE; no class is registered. Ends with
//                                  the last release of that object or with process PID.
//
// Objects live in the multithreaded apartment: CommsServer posts its messages from its
// own worker thread and needs no apartment of its own.

#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/TVCmnHandle.h"
#include "commsserver/CommsServerInterface.h"
#include "commsserver/exe/CommsServerHost.h"

namespace {

using commsexe::hostLog;

constexpr wchar_t kProxyStubDll[] = L"kv_commsserver_ps.dll";

struct ClassEntry {
    const CLSID* clsid;
    const wchar_t* description;
    const wchar_t* progId;
};
const ClassEntry kClasses[] = {
    {&CLSID_CommsServer, L"Kestrova comms server", L"Kestrova.CommsServer.1"},
    {&CLSID_CommsSettingsDialog, L"Kestrova comms settings dialog", L"Kestrova.CommsSettingsDialog.1"},
};

// A message box for the one who ran /regserver; COM-launched runs never get here.
int report(const wchar_t* what, LSTATUS status)
{
    wchar_t text[300];
    swprintf(text, 300, L"%ls (error %ld).", what, static_cast<long>(status));
    hostLog("%ls", text);
    if (!GetEnvironmentVariableW(L"KV_COMMS_SERVER_QUIET", nullptr, 0))
        MessageBoxW(nullptr, text, L"Kestrova comms server", MB_OK | MB_ICONERROR);
    return 1;
}

LSTATUS setValue(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    HKEY handle;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status;
}

std::wstring clsidText(const CLSID& clsid)
{
    wchar_t text[40];
    StringFromGUID2(clsid, text, 40);
    return text;
}

std::wstring exePath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length == 0 || length == MAX_PATH ? std::wstring() : std::wstring(path, length);
}

// Calls DllRegisterServer or DllUnregisterServer of the proxy/stub DLL beside the exe;
// S_FALSE when there is none (a build tree, where the test registers it itself).
HRESULT registerProxyStub(const std::wstring& exe, bool add)
{
    const std::wstring dll = exe.substr(0, exe.find_last_of(L"\\/") + 1) + kProxyStubDll;
    if (GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES)
        return S_FALSE;
    const HMODULE module = LoadLibraryW(dll.c_str());
    if (!module)
        return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(module, add ? "DllRegisterServer" : "DllUnregisterServer")));
    const HRESULT hr = entry ? entry() : E_NOINTERFACE;
    FreeLibrary(module);
    return hr;
}

int registerServer()
{
    const std::wstring exe = exePath();
    if (exe.empty())
        return report(L"The comms server cannot find its own path", ERROR_BAD_PATHNAME);
    for (const ClassEntry& c : kClasses) {
        // HKLM\Software\Classes is what HKEY_CLASSES_ROOT shows machine-wide.
        const std::wstring key = L"Software\\Classes\\CLSID\\" + clsidText(*c.clsid);
        const std::wstring progKey = std::wstring(L"Software\\Classes\\") + c.progId;
        LSTATUS status = setValue(key, nullptr, c.description);
        // Quoted: COM appends -Embedding, and the path may hold spaces.
        if (status == ERROR_SUCCESS)
            status = setValue(key + L"\\LocalServer32", nullptr, L"\"" + exe + L"\"");
        if (status == ERROR_SUCCESS)
            status = setValue(key + L"\\ProgID", nullptr, c.progId);
        if (status == ERROR_SUCCESS)
            status = setValue(progKey, nullptr, c.description);
        if (status == ERROR_SUCCESS)
            status = setValue(progKey + L"\\CLSID", nullptr, clsidText(*c.clsid));
        if (status != ERROR_SUCCESS)
            return report(L"Registering the comms server failed", status);
    }
    const HRESULT hr = registerProxyStub(exe, true);
    if (FAILED(hr))
        return report(L"Registering kv_commsserver_ps.dll failed", hr);
    return 0;
}

int unregisterServer()
{
    int result = 0;
    for (const ClassEntry& c : kClasses) {
        for (const std::wstring& key : {L"Software\\Classes\\CLSID\\" + clsidText(*c.clsid),
                                        std::wstring(L"Software\\Classes\\") + c.progId}) {
            const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
                result = report(L"Unregistering the comms server failed", status);
        }
    }
    if (FAILED(registerProxyStub(exePath(), false)))
        result = 1;
    return result;
}

bool isSwitch(const wchar_t* arg, const wchar_t* name)
{
    return (arg[0] == L'/' || arg[0] == L'-') && _wcsicmp(arg + 1, name) == 0;
}

int serve()
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        hostLog("CoInitializeEx failed 0x%08lx", static_cast<unsigned long>(hr));
        return 1;
    }
    // Before the class objects are registered: the first object may come at once.
    const HANDLE lastRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    commsexe::setLastReleaseEvent(lastRelease);
    DWORD cookies[2] = {};
    IClassFactory* factories[2] = {commsexe::commsServerFactory(), commsexe::settingsDialogFactory()};
    for (int i = 0; i < 2 && SUCCEEDED(hr); ++i)
        hr = CoRegisterClassObject(*kClasses[i].clsid, factories[i], CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookies[i]);
    if (SUCCEEDED(hr))
        hr = CoResumeClassObjects();
    if (FAILED(hr)) {
        hostLog("registering the class objects failed 0x%08lx", static_cast<unsigned long>(hr));
    } else {
        hostLog("serving");
        WaitForSingleObject(lastRelease, INFINITE);
    }
    for (DWORD cookie : cookies) {
        if (cookie)
            CoRevokeClassObject(cookie);
    }
    CoUninitialize();
    hostLog("ended");
    return FAILED(hr) ? 1 : 0;
}

HRESULT lastError(DWORD otherwise)
{
    const DWORD error = GetLastError();
    return HRESULT_FROM_WIN32(error ? error : otherwise);
}

// Under Wine a killed comms server's class registration outlives it, and CoCreateInstance
// then answers RPC_S_SERVER_UNAVAILABLE for good; an interface marshalled by the new
// process is reached through that process's own endpoint instead.
HRESULT writeMarshalled(IUnknown* object, REFIID iid, HANDLE pipe)
{
    IStream* stream = nullptr;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    if (FAILED(hr))
        return hr;
    hr = CoMarshalInterface(stream, iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL);
    const bool marshalled = SUCCEEDED(hr);
    HGLOBAL memory = nullptr;
    if (SUCCEEDED(hr))
        hr = GetHGlobalFromStream(stream, &memory);
    ULARGE_INTEGER end{};
    if (SUCCEEDED(hr))
        hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &end);
    if (SUCCEEDED(hr)) {
        // The reader's frame: a 32-bit byte count, then the marshalled interface.
        const uint32_t size = static_cast<uint32_t>(end.QuadPart);
        std::vector<BYTE> frame(sizeof size + size);
        memcpy(frame.data(), &size, sizeof size);
        if (const void* bytes = GlobalLock(memory)) {
            memcpy(frame.data() + sizeof size, bytes, size);
            GlobalUnlock(memory);
            DWORD written = 0;
            if (!WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr) ||
                written != frame.size())
                hr = lastError(ERROR_WRITE_FAULT);
        } else {
            hr = E_OUTOFMEMORY;
        }
    }
    if (FAILED(hr) && marshalled) {
        // Nobody will unmarshal it: give back the reference the marshalling took.
        stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
        CoReleaseMarshalData(stream);
    }
    stream->Release();
    return hr;
}

int handOver(const wchar_t* pipeName, const wchar_t* productId, bool settingsDialog)
{
    const DWORD pid = wcstoul(productId, nullptr, 10);
    const TVCmnHandle product(pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
    if (!product) {
        hostLog("hand-over: no product process %ls", productId);
        return 1;
    }
    TVCmnHandle pipe(CreateFileW(pipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    HRESULT hr = pipe ? S_OK : lastError(ERROR_PIPE_NOT_CONNECTED);
    if (SUCCEEDED(hr))
        hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool joined = SUCCEEDED(hr);
    const TVCmnHandle lastRelease(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    commsexe::setLastReleaseEvent(lastRelease.get());
    IUnknown* object = nullptr;
    if (SUCCEEDED(hr))
        hr = (settingsDialog ? commsexe::settingsDialogFactory() : commsexe::commsServerFactory())
                 ->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (SUCCEEDED(hr))
        hr = writeMarshalled(object, settingsDialog ? IID_ICommsSettingsDialog : IID_ICommsServer, pipe.get());
    pipe.reset();  // the product's read ends here
    if (object)
        object->Release();  // a stub holds it now, or nothing does and the event is set
    if (FAILED(hr)) {
        hostLog("hand-over failed 0x%08lx", static_cast<unsigned long>(hr));
    } else {
        hostLog("handed over to process %lu", static_cast<unsigned long>(pid));
        // A product that was killed never releases its reference under Wine.
        const HANDLE ends[] = {lastRelease.get(), product.get()};
        WaitForMultipleObjects(2, ends, FALSE, INFINITE);
        // Under Wine a process that went on to CoUninitialize after the product's last
        // Release was seen to stay for good now and then. The object is gone (or its one
        // user is): nothing is left that needs COM's orderly end.
        hostLog("ended");
        ExitProcess(0);
    }
    if (joined)
        CoUninitialize();
    commsexe::setLastReleaseEvent(nullptr);
    hostLog("ended");
    return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    for (int i = 1; i < __argc; ++i) {
        if (isSwitch(__wargv[i], L"regserver"))
            return registerServer();
        if (isSwitch(__wargv[i], L"unregserver"))
            return unregisterServer();
        if (isSwitch(__wargv[i], L"handover"))
            return i + 2 < __argc ? handOver(__wargv[i + 1], __wargv[i + 2],
                                             i + 3 < __argc && _wcsicmp(__wargv[i + 3], L"settings") == 0)
                                  : 1;
    }
    // -Embedding (from COM) or nothing at all: serve.
    return serve();
}
