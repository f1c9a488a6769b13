// Cross-process figures of the OPC server under Wine: a client that knows only the OPC
// IDL has COM start the test server, then measures
//   - synchronous cache reads of 100 items per call (calls/s, us per call), and
//   - data-change callbacks to one client with 10,000 items at a 100 ms update rate
//     (callbacks/s and item values/s), the test server changing every read-only
//     parameter every 100 ms.
// Google Benchmark is not built for Windows here; the loops time themselves with the
// performance counter and print one line per figure. Run by opc-wine-bench.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/opc_wine/OpcClientSupport.h"
#include "tests/opc_wine/OpcTestServer.h"

namespace {

constexpr DWORD kReadItems = 100;
constexpr double kReadSeconds = 5.0;
constexpr DWORD kSubscribedItems = 10000;
constexpr DWORD kSubscriptionRateMs = 100;
constexpr DWORD kWarmUpMs = 3000;
constexpr DWORD kSubscriptionSeconds = 10;
constexpr DWORD kAddChunk = 1000;  // items per AddItems call

double seconds(LONGLONG from, LONGLONG to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to - from) / double(frequency.QuadPart);
}

LONGLONG now()
{
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

class CountingCallback final : public IOPCDataCallback {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on main's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*, VARIANT*, WORD*,
                              FILETIME*, HRESULT*) override
    {
        ++callbacks;
        values += dwCount;
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    std::atomic<unsigned long long> callbacks{0}, values{0};
};

// The read-only parameters of the plant: the test server changes them every 100 ms.
std::vector<std::wstring> readOnlyItems(IOPCServer* server)
{
    Com<IOPCBrowseServerAddressSpace> browse;
    Com<IEnumString> readable, writable;
    std::vector<std::wstring> ids;
    if (FAILED(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.putVoid())) ||
        FAILED(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, OPC_READABLE, readable.put())) ||
        FAILED(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, OPC_WRITEABLE, writable.put())))
        return ids;
    std::vector<std::wstring> canWrite;
    LPOLESTR text = nullptr;
    ULONG fetched = 0;
    while (writable->Next(1, &text, &fetched) == S_OK) {
        canWrite.emplace_back(text);
        CoTaskMemFree(text);
    }
    while (readable->Next(1, &text, &fetched) == S_OK) {
        std::wstring id(text);
        CoTaskMemFree(text);
        bool written = false;
        for (const auto& w : canWrite)
            written = written || w == id;
        if (!written)
            ids.push_back(id);
    }
    return ids;
}

// Adds `count` items cycling through `ids`; their server handles.
std::vector<OPCHANDLE> addItems(IOPCItemMgt* group, const std::vector<std::wstring>& ids, DWORD count)
{
    std::vector<OPCHANDLE> handles;
    for (DWORD start = 0; start < count; start += kAddChunk) {
        const DWORD n = count - start < kAddChunk ? count - start : kAddChunk;
        std::vector<OPCITEMDEF> defs(n);
        for (DWORD i = 0; i < n; ++i) {
            defs[i] = {};
            defs[i].szItemID = const_cast<LPWSTR>(ids[(start + i) % ids.size()].c_str());
            defs[i].bActive = TRUE;
            defs[i].hClient = start + i;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        if (SUCCEEDED(group->AddItems(n, defs.data(), &results, &errors)))
            for (DWORD i = 0; i < n; ++i)
                if (SUCCEEDED(errors[i]))
                    handles.push_back(results[i].hServer);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    return handles;
}

HRESULT addGroup(IOPCServer* server, const wchar_t* name, BOOL active, DWORD rateMs, OPCHANDLE* handle,
                 Com<IOPCItemMgt>& group)
{
    DWORD revised = 0;
    return server->AddGroup(name, active, rateMs, 1, nullptr, nullptr, 0x800, handle, &revised, IID_IOPCItemMgt,
                            reinterpret_cast<LPUNKNOWN*>(group.put()));
}

int syncCacheReads(IOPCServer* server, const std::vector<std::wstring>& ids)
{
    OPCHANDLE handle = 0;
    Com<IOPCItemMgt> group;
    Com<IOPCSyncIO> sync;
    if (FAILED(addGroup(server, L"bench read", TRUE, 1000, &handle, group)) ||
        FAILED(group->QueryInterface(IID_IOPCSyncIO, sync.putVoid())))
        return 1;
    std::vector<OPCHANDLE> handles = addItems(group.p, ids, kReadItems);
    if (handles.size() != kReadItems)
        return 2;
    auto readOnce = [&] {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        HRESULT hr = sync->Read(OPC_DS_CACHE, kReadItems, handles.data(), &states, &errors);
        for (DWORD i = 0; states && i < kReadItems; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return hr;
    };
    for (int i = 0; i < 20; ++i)
        readOnce();
    unsigned long calls = 0;
    const LONGLONG start = now();
    double elapsed = 0;
    do {
        if (FAILED(readOnce()))
            return 3;
        ++calls;
        elapsed = seconds(start, now());
    } while (elapsed < kReadSeconds);
    printf("sync cache read, %lu items per call: %lu calls in %.2f s: %.0f calls/s, %.0f us/call\n",
           static_cast<unsigned long>(kReadItems), calls, elapsed, calls / elapsed, elapsed * 1e6 / calls);
    sync.reset();
    group.reset();
    server->RemoveGroup(handle, TRUE);
    return 0;
}

int dataChanges(IOPCServer* server, const std::vector<std::wstring>& ids)
{
    OPCHANDLE handle = 0;
    Com<IOPCItemMgt> group;
    if (FAILED(addGroup(server, L"bench changes", FALSE, kSubscriptionRateMs, &handle, group)))
        return 11;
    const size_t added = addItems(group.p, ids, kSubscribedItems).size();
    if (added != kSubscribedItems)
        return 12;
    Com<IConnectionPointContainer> container;
    Com<IConnectionPoint> point;
    Com<IOPCGroupStateMgt> state;
    CountingCallback callback;
    DWORD cookie = 0;
    if (FAILED(group->QueryInterface(IID_IConnectionPointContainer, container.putVoid())) ||
        FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, point.put())) ||
        FAILED(point->Advise(&callback, &cookie)) ||
        FAILED(group->QueryInterface(IID_IOPCGroupStateMgt, state.putVoid())))
        return 13;
    BOOL on = TRUE;
    DWORD revised = 0;
    state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr);
    Sleep(kWarmUpMs);  // the first values and the schedule settle; not a wait for a result
    const unsigned long long callbacksBefore = callback.callbacks, valuesBefore = callback.values;
    const LONGLONG start = now();
    Sleep(kSubscriptionSeconds * 1000);  // the measuring window itself
    const double elapsed = seconds(start, now());
    const unsigned long long callbacks = callback.callbacks - callbacksBefore;
    const unsigned long long values = callback.values - valuesBefore;
    printf("data change, %lu items at %lu ms: %llu callbacks in %.2f s: %.1f callbacks/s, %.0f item values/s\n",
           static_cast<unsigned long>(kSubscribedItems), static_cast<unsigned long>(kSubscriptionRateMs), callbacks,
           elapsed, callbacks / elapsed, values / elapsed);
    point->Unadvise(cookie);
    state.reset();
    point.reset();
    container.reset();
    group.reset();
    server->RemoveGroup(handle, TRUE);
    return 0;
}

}  // namespace

int wmain()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 100;
    int rc = 0;
    {
        Com<IOPCServer> server;
        if (FAILED(CoCreateInstance(kClsidOpcTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                    server.putVoid()))) {
            fprintf(stderr, "opc wine bench: the server did not start\n");
            rc = 101;
        } else {
            std::vector<std::wstring> ids = readOnlyItems(server.p);
            printf("read-only parameters of the plant: %zu\n", ids.size());
            rc = ids.empty() ? 102 : syncCacheReads(server.p, ids);
            if (rc == 0)
                rc = dataChanges(server.p, ids);
        }
    }
    CoUninitialize();
    return rc;
}
