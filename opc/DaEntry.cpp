#include "opc/DaEntry.h"

#include <comcat.h>
#include <objbase.h>

#include <cstdio>
#include <new>

#include "common/TVCmnString.h"
#include "opc/DaOpcServer.h"
#include "trace/TVCmnTrace.h"

namespace {

struct Category {
    uint8_t flag;
    CATID id;
    const wchar_t* english;
    const wchar_t* german;
};

// The published OPC category IDs and their names.
const Category kCategories[] = {
    {kDaCategoryDa1, {0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}},
     L"OPC Data Access Servers Version 1.0", L"OPC Daten Server Version 1.0"},
    {kDaCategoryDa2, {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}},
     L"OPC Data Access Servers Version 2.0", L"OPC Daten Server Version 2.0"},
    {kDaCategoryDa3, {0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}},
     L"OPC Data Access Servers Version 3.0", L"OPC Daten Server Version 3.0"},
    {kDaCategoryAe1, {0x58E13251, 0xAC87, 0x11D1, {0x84, 0xD5, 0x00, 0x60, 0x8C, 0xB8, 0xA7, 0xE9}},
     L"OPC Alarms and Event Servers Version 1.0", L"OPC Alarm und Event Server Version 1.0"},
};

constexpr LCID kLcidEnglish = 1033;
constexpr LCID kLcidGerman = 1031;

std::wstring guidText(const GUID& guid)
{
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT fromWin32(LSTATUS status)
{
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

// Sets a named (or, with null, the default) string value of a key below HKCR.
HRESULT setValue(const std::wstring& keyPath, const wchar_t* name, const std::wstring& value)
{
    HKEY key;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                     nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    return fromWin32(status);
}

HRESULT deleteValue(const std::wstring& keyPath, const wchar_t* name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return S_OK;
    LSTATUS status = RegDeleteValueW(key, name);
    RegCloseKey(key);
    return status == ERROR_FILE_NOT_FOUND ? S_OK : fromWin32(status);
}

HRESULT deleteTree(const std::wstring& keyPath)
{
    if (keyPath.empty())
        return E_FAIL;
    LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, keyPath.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : fromWin32(status);
}

// The first failure is the one answered; later steps still run.
void keepFirst(HRESULT& first, HRESULT next)
{
    if (SUCCEEDED(first) && FAILED(next))
        first = next;
}

std::vector<CATID> flaggedCategories(uint8_t flags)
{
    std::vector<CATID> ids;
    for (const Category& category : kCategories)
        if (flags & category.flag)
            ids.push_back(category.id);
    return ids;
}

// The entry's factory of the server COM object: one object per client connection.
class ServerFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Lives as long as the process.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        DaOpcServer* server = DaOpcServer::create();
        if (!server)
            return E_OUTOFMEMORY;
        HRESULT hr = server->QueryInterface(riid, ppv);
        server->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            DaEntry::instance().lockServer();
        else
            DaEntry::instance().unlockServer();
        return S_OK;
    }
};

ServerFactory g_factory;

}  // namespace

DaEntry& DaEntry::instance()
{
    static DaEntry entry;
    return entry;
}

DaEntry::DaEntry()
{
    traceId_ = TVCmnString::format(64, "[%s|%8.8lX| %s]", "DEN",
                                   static_cast<unsigned long>(reinterpret_cast<uintptr_t>(this)), "DaS Entry");
    endEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    shutdownEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    checkEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    startedEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    lastRelease_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

bool DaEntry::initialise(int kind, const CLSID& clsid, HMODULE module, DWORD coInitFlags)
{
    KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(),
             "initialize; clsid:%8.8X-%4.4X-%4.4X-%2.2X%2.2X%2.2X%2.2X%2.2X%2.2X%2.2X%2.2X",
             static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
             clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    kind_ = kind;
    clsid_ = clsid;
    module_ = module;
    bool ok = true;
    if (kind != kDaServerKindLibrary) {
        HRESULT hr = CoInitializeEx(nullptr, coInitFlags);
        if (FAILED(hr)) {
            KV_TRACE(kTraceError, kTraceGroupEnt, traceId(), "Can't initialize COM: coInit:0x%X [0x%X]",
                     static_cast<unsigned>(coInitFlags), static_cast<unsigned>(hr));
            ok = false;
        }
    }
    GetSystemTimeAsFileTime(&startTime_);
    return ok;
}

void DaEntry::setIdentity(const DaEntryIdentity& identity) { identity_ = identity; }

// ---- Registration -------------------------------------------------------------------

HRESULT DaEntry::registerServer()
{
    KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "register server");
    if (clsid_ == GUID_NULL)
        return S_OK;
    const std::wstring clsid = guidText(clsid_);
    const std::wstring classKey = L"CLSID\\" + clsid;
    const DaEntryIdentity& id = identity_;

    HRESULT hr = setValue(id.progId, nullptr, id.description);
    keepFirst(hr, setValue(id.progId + L"\\CLSID", nullptr, clsid));
    keepFirst(hr, setValue(id.versionIndependentProgId, nullptr, id.description));
    keepFirst(hr, setValue(id.versionIndependentProgId + L"\\CLSID", nullptr, clsid));
    if (id.categories & kDaCategoryDa1)
        keepFirst(hr, setValue(id.versionIndependentProgId + L"\\OPC", L"Vendor", TVCmnString::ansiToWide(id.vendor)));
    keepFirst(hr, setValue(classKey, nullptr, id.description));
    keepFirst(hr, setValue(classKey, L"AppID", clsid));
    keepFirst(hr, setValue(classKey + L"\\ProgID", nullptr, id.progId));
    keepFirst(hr, setValue(classKey + L"\\VersionIndependentProgID", nullptr, id.versionIndependentProgId));
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(module_, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) {
        keepFirst(hr, HRESULT_FROM_WIN32(GetLastError()));
    } else if (kind_ == kDaServerKindExecutable) {
        keepFirst(hr, setValue(classKey + L"\\LocalServer32", nullptr, path));
        keepFirst(hr, deleteTree(classKey + L"\\InprocServer32"));
    } else {
        keepFirst(hr, setValue(classKey + L"\\InprocServer32", nullptr, path));
        keepFirst(hr, setValue(classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"));
        keepFirst(hr, deleteTree(classKey + L"\\LocalServer32"));
    }
    keepFirst(hr, setValue(L"AppID\\" + clsid, nullptr, id.description));
    keepFirst(hr, deleteValue(L"AppID\\" + clsid, L"LocalService"));
    if (FAILED(hr))
        return hr;

    std::vector<CATID> ids = flaggedCategories(id.categories);
    ICatRegister* categories = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                   reinterpret_cast<void**>(&categories)))) {
        std::vector<CATEGORYINFO> infos;
        for (const Category& category : kCategories) {
            if (!(id.categories & category.flag))
                continue;
            for (LCID lcid : {kLcidEnglish, kLcidGerman}) {
                CATEGORYINFO info = {};
                info.catid = category.id;
                info.lcid = lcid;
                lstrcpynW(info.szDescription, lcid == kLcidEnglish ? category.english : category.german, 128);
                infos.push_back(info);
            }
        }
        HRESULT cat = categories->RegisterCategories(static_cast<ULONG>(infos.size()), infos.data());
        KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "register component categories [0x%X]", static_cast<unsigned>(cat));
        cat = categories->RegisterClassImplCategories(clsid_, static_cast<ULONG>(ids.size()), ids.data());
        KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "register component implementations [0x%X]",
                 static_cast<unsigned>(cat));
        categories->Release();
        return cat;
    }
    // Without the categories manager the implementation keys are all a browser needs.
    for (const CATID& catid : ids)
        keepFirst(hr, setValue(classKey + L"\\Implemented Categories\\" + guidText(catid), nullptr, L""));
    return hr;
}

HRESULT DaEntry::unregisterServer()
{
    KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "unregister server");
    if (clsid_ == GUID_NULL)
        return S_OK;
    const std::wstring clsid = guidText(clsid_);
    const std::wstring classKey = L"CLSID\\" + clsid;
    std::vector<CATID> ids = flaggedCategories(identity_.categories);

    HRESULT categoriesResult = S_OK;
    ICatRegister* categories = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                   reinterpret_cast<void**>(&categories)))) {
        categoriesResult = categories->UnRegisterClassImplCategories(clsid_, static_cast<ULONG>(ids.size()), ids.data());
        KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "unregister component implementations [0x%X]",
                 static_cast<unsigned>(categoriesResult));
        ICatInformation* information = nullptr;
        categories->QueryInterface(IID_ICatInformation, reinterpret_cast<void**>(&information));
        for (CATID catid : ids) {
            // A category stays while another class still implements it.
            bool inUse = true;
            IEnumCLSID* classes = nullptr;
            if (information &&
                SUCCEEDED(information->EnumClassesOfCategories(1, &catid, static_cast<ULONG>(-1), nullptr, &classes))) {
                CLSID other;
                ULONG fetched = 0;
                inUse = classes->Next(1, &other, &fetched) == S_OK && fetched == 1;
                classes->Release();
            }
            if (!inUse) {
                HRESULT removed = categories->UnRegisterCategories(1, &catid);
                KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "unregister component category [0x%X]",
                         static_cast<unsigned>(removed));
            }
        }
        if (information)
            information->Release();
        categories->Release();
    }
    HRESULT hr = deleteTree(classKey + L"\\Implemented Categories");
    keepFirst(hr, deleteTree(identity_.progId));
    keepFirst(hr, deleteTree(identity_.versionIndependentProgId));
    keepFirst(hr, deleteTree(classKey));
    keepFirst(hr, deleteTree(L"AppID\\" + clsid));
    return FAILED(hr) ? hr : categoriesResult;
}

// ---- Main thread --------------------------------------------------------------------

bool DaEntry::start()
{
    ResetEvent(startedEvent_);
    thread_ = CreateThread(nullptr, 0, mainThreadStart, this, 0, nullptr);
    if (!thread_)
        return false;
    HANDLE waits[] = {startedEvent_, thread_};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    return SUCCEEDED(registration_.load()) && WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT;
}

void DaEntry::stop()
{
    if (!thread_)
        return;
    SetEvent(endEvent_);
    WaitForSingleObject(thread_, kStopWaitMs);
    CloseHandle(thread_);
    thread_ = nullptr;
}

void DaEntry::requestClientShutdown() { SetEvent(shutdownEvent_); }

void DaEntry::requestClientCheck() { SetEvent(checkEvent_); }

DWORD WINAPI DaEntry::mainThreadStart(void* self) { return static_cast<DaEntry*>(self)->mainThread(); }

DWORD DaEntry::mainThread()
{
    KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "started toolkit main thread");
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        KV_TRACE(kTraceError, kTraceGroupEnt, traceId(), "Can't initialize COM: 0x%X", static_cast<unsigned>(hr));
        registration_ = hr;
        SetEvent(startedEvent_);
        return static_cast<DWORD>(hr);
    }
    DWORD cookie = 0;
    if (kind_ == kDaServerKindExecutable) {
        hr = CoRegisterClassObject(clsid_, &g_factory, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, REGCLS_MULTIPLEUSE,
                                   &cookie);
        registration_ = hr;
    }
    SetEvent(startedEvent_);
    for (;;) {
        HANDLE waits[] = {endEvent_, shutdownEvent_, checkEvent_};
        DWORD which = WaitForMultipleObjects(3, waits, FALSE, checkIntervalMs_);
        if (which == WAIT_OBJECT_0) {
            KV_TRACE(kTraceDebug, kTraceGroupEnt, traceId(), "received end event");
            if (kind_ == kDaServerKindExecutable && SUCCEEDED(registration_.load()))
                CoRevokeClassObject(cookie);
            KV_TRACE(kTraceDebug, kTraceGroupEnt, traceId(), "COM uninitialize");
            CoUninitialize();
            KV_TRACE(kTraceInfo, kTraceGroupEnt, traceId(), "terminated toolkit main thread");
            return 0;
        }
        if (which == WAIT_OBJECT_0 + 1) {
            KV_TRACE(kTraceDebug, kTraceGroupEnt, traceId(), "received shutdown event");
            shutdownClients(kShutdownReason);
            continue;
        }
        KV_TRACE(kTraceDebug, kTraceGroupEnt, traceId(), "check client connections");
        checkClients();
    }
}

// ---- Clients ------------------------------------------------------------------------

void DaEntry::addServerObject(DaOpcServer* server)
{
    std::lock_guard<std::mutex> hold(serversLock_);
    servers_.push_back(server);
}

void DaEntry::removeServerObject(DaOpcServer* server)
{
    std::lock_guard<std::mutex> hold(serversLock_);
    std::erase(servers_, server);
}

void DaEntry::collectServers(std::vector<DaOpcServer*>& servers)
{
    std::lock_guard<std::mutex> hold(serversLock_);
    for (DaOpcServer* server : servers_)
        if (server->tryAddRef())
            servers.push_back(server);
}

void DaEntry::releaseServers(std::vector<DaOpcServer*>& servers)
{
    for (DaOpcServer* server : servers)
        server->Release();
    servers.clear();
}

void DaEntry::shutdownClients(const char* reason)
{
    std::vector<DaOpcServer*> servers;
    collectServers(servers);
    for (DaOpcServer* server : servers)
        server->shutdownRequest(reason);
    releaseServers(servers);
}

void DaEntry::checkClients()
{
    std::vector<DaOpcServer*> servers;
    collectServers(servers);
    for (DaOpcServer* server : servers)
        if (server->server()->isDisconnected() || !server->isClientAlive())
            server->disconnect();
    releaseServers(servers);
}

void DaEntry::lockServer() { CoAddRefServerProcess(); }

void DaEntry::unlockServer()
{
    // The last reference suspends the class objects (no new client can attach) and
    // lets an exe that COM started end.
    if (CoReleaseServerProcess() == 0)
        SetEvent(lastRelease_);
}

void DaEntry::setObjectRoot(DaObjectRoot* root)
{
    // The V1 stream formats are registered clipboard formats: their numbers belong to
    // the session and are only known at run time.
    if (root)
        root->setV1Formats(static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA")),
                           static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                           static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE")));
    root_.reset(root);
}
