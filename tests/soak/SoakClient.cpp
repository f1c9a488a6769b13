// kv_soak_client: the soak test's OPC client and its helpers. Knows the server only
// through the OPC IDL and COM.
//
//   kv_soak_client run NAME SEED ITEMS LOG SECONDS VALUEBASE
//       connects as client NAME, subscribes to the items marked S in ITEMS (lines
//       "S<tab>ITEMID" or "W<tab>ITEMID") and, in a pattern drawn from SEED, writes the
//       W items (synchronously and asynchronously), reads them from the device and
//       switches subscribed items off and on, for SECONDS. Written values are
//       VALUEBASE + 1, 2, 3... so that each write is known by its value. LOG gets
//       (times: UTC ms since 1970; IDX: the item's line in ITEMS, from 0):
//         I MS N IDX VALUE MODE     before write N (MODE s or a)
//         O MS N HRESULT            its outcome (the item's own result)
//         C MS IDX QUALITY VALUE TS a data change (VALUE "-" when empty)
//         R MS0 MS1 IDX HRESULT QUALITY VALUE   a device read between MS0 and MS1
//         A MS IDX 0|1              a subscribed item switched off or on
//         E TEXT                    what went wrong
//   kv_soak_client sample EXE LOG PERIODMS
//       every PERIODMS appends "M MS PID WORKINGSET HANDLES THREADS TYPE:COUNT..." for the process
//       whose file is EXE (nothing while there is none); runs until killed. Handles are
//       counted in the system's handle table: Wine answers GetProcessHandleCount with 0
//       (and PrivateUsage with 0, so the test reads private memory from Linux).
//   kv_soak_client measure EXE  prints that line once for each such process (exit 1: none).
//   kv_soak_client kill PID     ends a process as a crash would, waits for its end and
//                               prints "killed MS" (UTC ms when it was gone).
#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "common/TVCmnHandle.h"
#include "tests/soak/HandleCount.h"
#include "idl/opccomn.h"
#include "platform/PrintfFormat.h"
#include "idl/opcda.h"
#include "tools/ClientSession.h"
#include "tools/ClientText.h"

using kvopc::ComRef;
using kvopc::TaskMem;

namespace {

constexpr wchar_t kProgId[] = L"QZ.VIDOV3.1.DA";
constexpr DWORD kKillWaitMs = 10000;  // a safety net: an ended process goes at once

std::uint64_t utcMs()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ((std::uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10000) - 11644473600000ull;
}

std::uint64_t fileTimeMs(const FILETIME& t)
{
    const std::uint64_t ticks = std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime;
    return ticks ? ticks / 10000 - 11644473600000ull : 0;
}

// Lines go out whole and at once: the process may be killed at any moment.
class Log {
public:
    explicit Log(const char* path) : file_(fopen(path, "a")) {}
    ~Log()
    {
        if (file_)
            fclose(file_);
    }
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    bool ok() const { return file_ != nullptr; }
    void line(const std::string& text)
    {
        std::lock_guard<std::mutex> hold(lock_);
        fputs(text.c_str(), file_);
        fputc('\n', file_);
        fflush(file_);
    }

private:
    FILE* file_;
    std::mutex lock_;  // keeps lines whole
};

std::string valueText(VARIANT& value)
{
    VARIANT number;
    VariantInit(&number);
    std::string text = "-";
    if (value.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8))) {
        char buffer[40];
        snprintf(buffer, sizeof buffer, "%.17g", number.dblVal);
        text = buffer;
    }
    VariantClear(&number);
    return text;
}

std::string format(const char* pattern, ...) KV_PRINTF_FORMAT(1, 2);
std::string format(const char* pattern, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

class Sink final : public IOPCDataCallback {
public:
    explicit Sink(Log& log) : log_(log) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the stack of run(), which outlasts every advise.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients, VARIANT* values,
                              WORD* qualities, FILETIME* times, HRESULT*) override
    {
        const std::uint64_t now = utcMs();
        for (DWORD i = 0; i < count; ++i)
            log_.line(format("C %llu %lu %u %s %llu", (unsigned long long)now, (unsigned long)clients[i],
                             unsigned(qualities[i]), valueText(values[i]).c_str(),
                             (unsigned long long)fileTimeMs(times[i])));
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD transaction, OPCHANDLE, HRESULT, DWORD count, OPCHANDLE*,
                                 HRESULT* errors) override
    {
        for (DWORD i = 0; i < count; ++i)
            log_.line(format("O %llu %lu 0x%08lX", (unsigned long long)utcMs(), (unsigned long)transaction,
                             (unsigned long)errors[i]));
        return S_OK;
    }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    Log& log_;
};

struct Group {
    ComRef<IOPCItemMgt> items;
    std::vector<OPCHANDLE> server;  // by item line; 0 when not added
};

// Adds the items of `which` lines to the group; their client handle is their line.
HRESULT addItems(Group& group, const std::vector<std::wstring>& ids, const std::vector<size_t>& which)
{
    group.server.assign(ids.size(), 0);
    std::vector<OPCITEMDEF> defs(which.size());
    for (size_t i = 0; i < which.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szItemID = const_cast<LPWSTR>(ids[which[i]].c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(which[i]);
    }
    if (defs.empty())
        return S_OK;
    TaskMem<OPCITEMRESULT> results;
    TaskMem<HRESULT> errors;
    const HRESULT hr = group.items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.put(), errors.put());
    if (FAILED(hr))
        return hr;
    for (size_t i = 0; i < which.size(); ++i) {
        if (SUCCEEDED(errors[i]))
            group.server[which[i]] = results[i].hServer;
        CoTaskMemFree(results[i].pBlob);
    }
    return hr;
}

HRESULT addGroup(IOPCServer* server, const wchar_t* name, BOOL active, DWORD rateMs, Group& group)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    return server->AddGroup(name, active, rateMs, 0, nullptr, nullptr, 0, &handle, &revised, IID_IOPCItemMgt,
                            group.items.putUnknown());
}

int run(int argc, wchar_t** argv)
{
    if (argc != 8)
        return 2;
    const std::wstring name = argv[2];
    std::mt19937 random(static_cast<unsigned>(wcstoul(argv[3], nullptr, 10)));
    Log log(kvopc::narrow(argv[5]).c_str());
    // From the start: a slow connection must not push the end out.
    const ULONGLONG end = GetTickCount64() + wcstoul(argv[6], nullptr, 10) * 1000ull;
    const long valueBase = wcstol(argv[7], nullptr, 10);
    if (!log.ok())
        return 2;
    std::vector<std::wstring> ids;
    std::vector<size_t> subscribed, writable;
    std::ifstream items(kvopc::narrow(argv[4]));
    for (std::string line; std::getline(items, line);) {
        if (line.size() < 3 || line[1] != '\t')
            continue;
        (line[0] == 'S' ? subscribed : writable).push_back(ids.size());
        ids.push_back(kvopc::widen(line.substr(2)));
    }
    // Each step runs while the ones before it succeeded; a failure names its step.
    HRESULT hr = S_OK;
    const char* failed = "";
    auto step = [&](const char* what, auto call) {
        if (SUCCEEDED(hr) && FAILED(hr = call()))
            failed = what;
    };
    CLSID clsid;
    ComRef<IOPCServer> server;
    ComRef<IOPCCommon> common;
    const DWORD rates[] = {250, 500, 1000};
    const DWORD rate = rates[random() % 3];
    Group sub, io;
    Sink sink(log);
    ComRef<IOPCSyncIO> sync;
    ComRef<IOPCAsyncIO2> async;
    step("CLSIDFromProgID", [&] { return CLSIDFromProgID(kProgId, &clsid); });
    step("CoCreateInstance", [&] {
        return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.putVoid());
    });
    step("IOPCCommon", [&] { return server->QueryInterface(IID_IOPCCommon, common.putVoid()); });
    step("SetClientName", [&] { return common->SetClientName(name.c_str()); });
    step("AddGroup", [&] { return addGroup(server.get(), L"subscription", TRUE, rate, sub); });
    step("AddGroup", [&] { return addGroup(server.get(), L"io", FALSE, 1000, io); });
    for (Group* g : {&sub, &io}) {
        ComRef<IConnectionPointContainer> container;
        ComRef<IConnectionPoint> point;
        DWORD cookie = 0;
        step("IConnectionPointContainer",
             [&] { return g->items->QueryInterface(IID_IConnectionPointContainer, container.putVoid()); });
        step("FindConnectionPoint", [&] { return container->FindConnectionPoint(IID_IOPCDataCallback, point.put()); });
        // The advise lasts as long as the group: the process ends or is killed with it.
        step("Advise", [&] { return point->Advise(&sink, &cookie); });
    }
    step("AddItems", [&] { return addItems(sub, ids, subscribed); });
    step("AddItems", [&] { return addItems(io, ids, writable); });
    step("IOPCSyncIO", [&] { return io.items->QueryInterface(IID_IOPCSyncIO, sync.putVoid()); });
    step("IOPCAsyncIO2", [&] { return io.items->QueryInterface(IID_IOPCAsyncIO2, async.putVoid()); });
    if (FAILED(hr)) {
        log.line(format("E %s failed 0x%08lX", failed, (unsigned long)hr));
        return 1;
    }
    log.line(format("E connected rate %lu", (unsigned long)rate));
    std::vector<bool> active(ids.size(), true);
    unsigned long n = 0;
    while (GetTickCount64() < end && !writable.empty()) {
        Sleep(20 + random() % 180);
        const int op = random() % 100;
        const size_t idx = writable[random() % writable.size()];
        OPCHANDLE handle = io.server[idx];
        if (op < 65) {
            VARIANT value;
            VariantInit(&value);
            value.vt = VT_I4;
            value.lVal = valueBase + static_cast<long>(++n);
            const bool synchronous = op < 40;
            log.line(format("I %llu %lu %zu %ld %c", (unsigned long long)utcMs(), n, idx, value.lVal,
                            synchronous ? 's' : 'a'));
            TaskMem<HRESULT> errors;
            DWORD cancel = 0;
            hr = synchronous ? sync->Write(1, &handle, &value, errors.put())
                             : async->Write(1, &handle, &value, n, &cancel, errors.put());
            // An accepted asynchronous write reports in OnWriteComplete.
            if (FAILED(hr) || hr == S_FALSE || synchronous)
                log.line(format("O %llu %lu 0x%08lX", (unsigned long long)utcMs(), n,
                                (unsigned long)(FAILED(hr) ? hr : errors[0])));
        } else if (op < 90) {
            TaskMem<OPCITEMSTATE> states;
            TaskMem<HRESULT> errors;
            const std::uint64_t start = utcMs();
            hr = sync->Read(OPC_DS_DEVICE, 1, &handle, states.put(), errors.put());
            const std::uint64_t done = utcMs();
            if (FAILED(hr)) {
                log.line(format("R %llu %llu %zu 0x%08lX 0 -", (unsigned long long)start, (unsigned long long)done,
                                idx, (unsigned long)hr));
            } else {
                log.line(format("R %llu %llu %zu 0x%08lX %u %s", (unsigned long long)start,
                                (unsigned long long)done, idx, (unsigned long)errors[0], unsigned(states[0].wQuality),
                                valueText(states[0].vDataValue).c_str()));
                VariantClear(&states[0].vDataValue);
            }
        } else if (!subscribed.empty()) {
            const size_t which = subscribed[random() % subscribed.size()];
            handle = sub.server[which];
            TaskMem<HRESULT> errors;
            active[which] = !active[which];
            hr = sub.items->SetActiveState(1, &handle, active[which], errors.put());
            if (FAILED(hr))
                log.line(format("E SetActiveState failed 0x%08lX", (unsigned long)hr));
            else
                log.line(format("A %llu %zu %d", (unsigned long long)utcMs(), which, active[which] ? 1 : 0));
        }
        if (FAILED(hr) && hr != E_FAIL)
            log.line(format("E call failed 0x%08lX", (unsigned long)hr));
    }
    log.line("E done");
    return 0;
}

// One "M ..." line (as the sample command logs it) for each running process whose file
// is exe.
std::vector<std::string> measure(const wchar_t* exe)
{
    std::vector<std::string> lines;
    const TVCmnHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, exe) != 0)
            continue;
        const TVCmnHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        PROCESS_MEMORY_COUNTERS memory{};
        std::string byType;
        if (process && GetProcessMemoryInfo(process.get(), &memory, sizeof memory)) {
            unsigned long deadPipes = 0;
            const unsigned long handles = kvsoak::handleCount(entry.th32ProcessID, byType, &deadPipes);
            lines.push_back(format("M %llu %lu %llu %lu %lu", (unsigned long long)utcMs(), entry.th32ProcessID,
                                   (unsigned long long)memory.WorkingSetSize, handles, entry.cntThreads) +
                            byType + format(" dead-pipes:%lu", deadPipes));
        }
    }
    return lines;
}

int sample(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    Log log(kvopc::narrow(argv[3]).c_str());
    const DWORD period = wcstoul(argv[4], nullptr, 10);
    for (;;) {
        for (const std::string& line : measure(argv[2]))
            log.line(line);
        Sleep(period);
    }
}

int measureOnce(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    const std::vector<std::string> lines = measure(argv[2]);
    for (const std::string& line : lines)
        printf("%s\n", line.c_str());
    return lines.empty() ? 1 : 0;
}

// The harness times the comms server's loss from the moment its process is gone, not
// from its own start of this program (which takes a while on a loaded machine).
int kill(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    const TVCmnHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, wcstoul(argv[2], nullptr, 10)));
    if (!process || !TerminateProcess(process.get(), 9)) {
        fprintf(stderr, "kv_soak_client kill: cannot end process %ls (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    if (WaitForSingleObject(process.get(), kKillWaitMs) != WAIT_OBJECT_0) {
        fprintf(stderr, "kv_soak_client kill: process %ls did not end within %lu ms\n", argv[2], kKillWaitMs);
        return 1;
    }
    printf("killed %llu\n", (unsigned long long)utcMs());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"sample")
        return sample(argc, argv);
    if (command == L"measure")
        return measureOnce(argc, argv);
    if (command == L"kill")
        return kill(argc, argv);
    if (command != L"run") {
        fprintf(stderr, "usage: kv_soak_client run NAME SEED ITEMS LOG SECONDS VALUEBASE | sample EXE LOG PERIODMS | "
                        "measure EXE | kill PID\n");
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    // Without authentication the server's callbacks into this process are let in.
    CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                         EOAC_NONE, nullptr);
    const int code = run(argc, argv);
    CoUninitialize();
    return code;
}
