// What an installation registers besides the server itself: the OPC proxy/stub DLL, so
// that clients without other OPC software can reach the server, and the comms server
// exe with its own proxy/stub. Both lie beside the server exe; a missing one is skipped
// (a developer's tree registers them itself).
#include <windows.h>

#include <string>

#include "app/AppIdentity.h"
#include "app/AppShell.h"
#include "trace/TVCmnTrace.h"

namespace {

constexpr DWORD kCommsServerRegistrationMs = 60000;

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

HRESULT callProxyStub(const std::string& dll, bool add)
{
    if (!exists(dll))
        return S_FALSE;
    const HMODULE module = LoadLibraryA(dll.c_str());
    if (!module)
        return HRESULT_FROM_WIN32(GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto entry = reinterpret_cast<Entry>(
        reinterpret_cast<void*>(GetProcAddress(module, add ? "DllRegisterServer" : "DllUnregisterServer")));
    const HRESULT hr = entry ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}

// The comms server registers itself (and its proxy/stub) with its own switches.
HRESULT runCommsServer(const std::string& exe, bool add)
{
    if (!exists(exe))
        return S_FALSE;
    std::string commandLine = "\"" + exe + "\" " + (add ? "/regserver" : "/unregserver");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return HRESULT_FROM_WIN32(GetLastError());
    const TVCmnHandle thread(process.hThread);
    const TVCmnHandle owned(process.hProcess);
    HRESULT hr = E_FAIL;
    if (WaitForSingleObject(owned.get(), kCommsServerRegistrationMs) == WAIT_OBJECT_0) {
        DWORD code = 1;
        GetExitCodeProcess(owned.get(), &code);
        hr = code == 0 ? S_OK : E_FAIL;
    } else {
        hr = HRESULT_FROM_WIN32(WAIT_TIMEOUT);
    }
    return hr;
}

}  // namespace

HRESULT registerInstallation(const std::string& directory, bool add)
{
    const std::string dll = directory + "\\" + kOpcProxyStubDll;
    const std::string exe = directory + "\\" + kCommsServerExe;
    // Unregistration in the reverse order of registration.
    HRESULT first = add ? callProxyStub(dll, true) : runCommsServer(exe, false);
    HRESULT second = add ? runCommsServer(exe, true) : callProxyStub(dll, false);
    KV_TRACE(kTraceInfo, kTraceGroupShell, kDiagTraceObjectId, "%s %s [0x%X], %s [0x%X]",
             add ? "register" : "unregister", kOpcProxyStubDll, static_cast<unsigned>(add ? first : second),
             kCommsServerExe, static_cast<unsigned>(add ? second : first));
    return FAILED(first) ? first : second;
}
