// A minimal OPC DA server exe for the Wine tests: the real entry, server and group
// objects over the DA engine and the sample plant; in place of the drives, read-only
// tags count up every kProducerPeriodMs (what a client writes stays put) and device
// requests are answered at once. /regserver and /unregserver register it.
// KV_OPC_TEST_LOG: the trace file (a COM-started server has no stderr);
// KV_OPC_TEST_CHECK_MS: the client check interval (30 s);
// KV_OPC_TEST_DEVICE_READ_MS: how late device reads are answered.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "da/DaObjectRoot.h"
#include "da/DaRequest.h"
#include "da/DaTag.h"
#include "drivecomms/DriveTag.h"
#include "namespace/NamespaceLoader.h"
#include "opc/DaEntry.h"
#include "opc/DaOpcCreator.h"
#include "tests/opc_wine/OpcTestServer.h"
#include "trace/TVCmnTrace.h"

namespace {

constexpr DWORD kProducerPeriodMs = 100;
constexpr DWORD kClientCheckIntervalMs = 30000;
constexpr DWORD kMinimumUpdateRateMs = 10;
// How long clients asked to shut down get to let go.
constexpr DWORD kClientGoneWaitMs = 10000;

// A read confirms the cached value as good, a write goes through to the cache. Late
// reads (a client can die while its read is in the server) run on threads of their own,
// joined before the engine goes.
class ImmediateComms final : public DriveTagComms {
public:
    explicit ImmediateComms(DWORD readDelayMs) : readDelayMs_(readDelayMs) {}
    ~ImmediateComms() { joinLateReads(); }

    void queueRequest(DaRequest* request) override
    {
        if (readDelayMs_ == 0 || request->isWrite()) {
            answer(*request);
            return;
        }
        DaRef<DaRequest> held(request);
        std::lock_guard<std::mutex> hold(lateLock_);
        lateReads_.emplace_back([this, held] {
            Sleep(readDelayMs_);  // the drive's slowness itself, not a wait for a result
            answer(*held);
        });
    }
    void joinLateReads()
    {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> hold(lateLock_);
            threads.swap(lateReads_);
        }
        for (std::thread& thread : threads)
            thread.join();
    }
    void signalQueue() override {}
    void onItemActivated(DriveTag& tag, DaObject* item) override { tag.addActiveItem(item); }
    void onItemDeactivated(DriveTag& tag, DaObject* item) override { tag.removeActiveItem(item); }

private:
    static void answer(DaRequest& request)
    {
        if (request.markTaken())
            request.complete(S_OK, !request.isWrite(), kDaQualityGood);
    }

    const DWORD readDelayMs_;
    std::mutex lateLock_;
    std::vector<std::thread> lateReads_;  // guarded by lateLock_
};

DWORD environmentNumber(const wchar_t* name, DWORD otherwise)
{
    wchar_t text[16];
    DWORD length = GetEnvironmentVariableW(name, text, 16);
    return length > 0 && length < 16 ? wcstoul(text, nullptr, 10) : otherwise;
}

class QuietDiagnostics final : public NamespaceDiagnostics {
public:
    bool wants(uint16_t) const override { return false; }
    void post(uint16_t, const std::string&) override {}
};

void collectTags(const DaNode& node, std::vector<DaRef<DaTag>>& tags)
{
    std::vector<DaRef<DaElement>> children;
    node.getChildren(children);
    for (const auto& child : children) {
        if (child->isTag())
            tags.emplace_back(static_cast<DaTag*>(child.get()));
        else if (child->isNode())
            collectTags(static_cast<const DaNode&>(*child), tags);
    }
}

void setValue(DaTag& tag, LONG counter)
{
    VARIANT source;
    source.vt = VT_I4;
    source.lVal = counter;
    VARIANT value;
    VariantInit(&value);
    if (FAILED(VariantChangeType(&value, &source, 0, tag.getDatatype()))) {
        value.vt = VT_I4;
        value.lVal = counter;
    }
    daUpdateTagValue(tag, &value, kDaQualityGood, nullptr);
    VariantClear(&value);
}

std::atomic<bool> g_producing{true};

DWORD WINAPI producer(void* context)
{
    auto& tags = *static_cast<std::vector<DaRef<DaTag>>*>(context);
    LONG counter = 1;
    while (g_producing.load()) {
        Sleep(kProducerPeriodMs);  // the producer's own period, not a wait for a result
        ++counter;
        for (const auto& tag : tags)
            if (!(tag->getAccessRights() & kDaAccessWritable))
                setValue(*tag, counter);
    }
    return 0;
}

std::string dataFile()
{
    char exe[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path(exe, length);
    path.resize(path.find_last_of("\\/") + 1);
    return path + "appdefault.xml";
}

void setUpTrace()
{
    wchar_t log[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"KV_OPC_TEST_LOG", log, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char path[MAX_PATH * 3];
    WideCharToMultiByte(CP_ACP, 0, log, -1, path, sizeof path, nullptr, nullptr);
    TVCmnTrace& trace = TVCmnTrace::process();
    trace.setFiles(path, "", 50 * 1024 * 1024, kTraceFileOpenAlways);
    trace.enableFiles(true);
    trace.setLevels(kTraceGroupAll, kTraceGroupAll, kTraceGroupAll, kTraceGroupEnt | kTraceGroupOpa | kTraceGroupRef);
}

void setIdentity(DaEntry& entry)
{
    DaEntryIdentity identity;
    identity.progId = kOpcTestProgId;
    identity.versionIndependentProgId = kOpcTestVersionIndependentProgId;
    identity.description = L"Kestrova OPC DA test server";
    identity.vendor = kOpcTestVendor;
    identity.majorVersion = 1;
    identity.minorVersion = 0;
    identity.buildNumber = 0;
    entry.setIdentity(identity);
}

bool isSwitch(const wchar_t* arg, const wchar_t* name)
{
    return (arg[0] == L'/' || arg[0] == L'-') && _wcsicmp(arg + 1, name) == 0;
}

int serve(DaEntry& entry)
{
    DaRef<DaCreator> creator(new DaOpcCreator);
    DaRef<DaObjectRoot> root = creator->createObjectRoot();
    DaRef<DaNamespaceRoot> space = creator->createNameSpaceRoot();
    QuietDiagnostics diagnostics;  // a failed load shows in its result
    int32_t protocol = -1;
    if (!root || !space || !loadNamespaceFile(dataFile(), *space, diagnostics, protocol)) {
        fprintf(stderr, "opc test server: no address space from %s\n", dataFile().c_str());
        return 1;
    }
    root->setNamespaceRoot(0, space.get());
    root->setMinimumUpdateRateMs(kMinimumUpdateRateMs);
    entry.setObjectRoot(root.get());
    entry.setCheckIntervalMs(environmentNumber(L"KV_OPC_TEST_CHECK_MS", kClientCheckIntervalMs));

    ImmediateComms comms(environmentNumber(L"KV_OPC_TEST_DEVICE_READ_MS", 0));
    DriveTag::setComms(&comms);
    std::vector<DaRef<DaTag>> tags;
    collectTags(*space, tags);
    for (const auto& tag : tags)
        setValue(*tag, 1);
    HANDLE producerThread = CreateThread(nullptr, 0, producer, &tags, 0, nullptr);

    HANDLE stopEvent = CreateEventW(nullptr, TRUE, FALSE, kOpcTestStopEvent);
    int rc = 0;
    if (entry.start()) {
        HANDLE waits[] = {entry.lastReleaseEvent(), stopEvent};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            // The shell's order: clients are asked to go, then the main thread ends.
            entry.shutdownClients(DaEntry::kShutdownReason);
            WaitForSingleObject(entry.lastReleaseEvent(), kClientGoneWaitMs);
        }
    } else {
        fprintf(stderr, "opc test server: the class factory could not be registered\n");
        rc = 1;
    }
    entry.stop();
    CloseHandle(stopEvent);
    g_producing = false;
    if (producerThread) {
        WaitForSingleObject(producerThread, INFINITE);
        CloseHandle(producerThread);
    }
    comms.joinLateReads();
    root->shutdown();
    DriveTag::setComms(nullptr);
    return rc;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    setUpTrace();
    DaEntry& entry = DaEntry::instance();
    if (!entry.initialise(kDaServerKindExecutable, kClsidOpcTestServer, nullptr, COINIT_MULTITHREADED))
        return 1;
    setIdentity(entry);
    int rc = -1;
    for (int i = 1; i < argc && rc < 0; ++i) {
        if (isSwitch(argv[i], L"regserver"))
            rc = SUCCEEDED(entry.registerServer()) ? 0 : 1;
        else if (isSwitch(argv[i], L"unregserver"))
            rc = SUCCEEDED(entry.unregisterServer()) ? 0 : 1;
    }
    if (rc < 0)
        rc = serve(entry);
    CoUninitialize();
    return rc;
}
