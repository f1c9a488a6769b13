// kv_dead_peer_handles: what a process keeps for each peer process it called through a
// COM proxy once that peer is killed; nothing of the product in it (calls: IStream::Seek).
//
//   kv_dead_peer_handles PEERS LIVE DEAD PROXIES HOW [EXPECT]
//       starts a peer (a first one warms the runtime up), takes PROXIES proxies of it,
//       makes LIVE calls through each, kills it, makes DEAD calls through the first and
//       prints "PEER HANDLES TYPE:COUNT..." after each of PEERS peers. HOW: e releases
//       the proxies before the kill, r after it, k keeps them; t has two threads call
//       through the first proxy back to back while the peer is killed, each until DEAD
//       calls have failed, then releases (the link's comms and update threads at a
//       loss); b has a call waiting inside the (suspended) peer when it is killed, then
//       DEAD more calls, then releases (a client's read in the comms server at its
//       death). With EXPECT it fails unless each peer left exactly EXPECT handles behind.
//   kv_dead_peer_handles peer PROXIES    (started by the above) hands out PROXIES streams
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/TVCmnComPtr.h"
#include "common/TVCmnHandle.h"
#include "tests/soak/HandleCount.h"

namespace {

using Stream = TVCmnComPtr<IStream>;

// The peer: marshals its streams into one blob, writes its size and bytes to stdout,
// then waits to be killed.
int peer(int proxies)
{
    Stream blob;
    CreateStreamOnHGlobal(nullptr, TRUE, blob.put());
    for (int i = 0; i < proxies; ++i) {
        Stream served;
        CreateStreamOnHGlobal(nullptr, TRUE, served.put());
        CoMarshalInterface(blob.get(), IID_IStream, served.get(), MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL);
    }
    HGLOBAL memory = nullptr;
    GetHGlobalFromStream(blob.get(), &memory);
    const DWORD size = DWORD(GlobalSize(memory));
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), &size, sizeof size, &written, nullptr);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), GlobalLock(memory), size, &written, nullptr);
    GlobalUnlock(memory);
    Sleep(INFINITE);
    return 0;
}

// Two threads calling one proxy back to back, as the link's two threads that call the
// comms server may be when it dies: both calls are in flight at the kill.
class OverlappedCalls {
public:
    OverlappedCalls(IStream* stream, int dead, int threads = 2) : stream_(stream), dead_(dead)
    {
        for (int i = 0; i < threads; ++i)
            threads_[i].reset(CreateThread(nullptr, 0, &OverlappedCalls::run, this, 0, nullptr));
    }
    OverlappedCalls(const OverlappedCalls&) = delete;
    OverlappedCalls& operator=(const OverlappedCalls&) = delete;
    ~OverlappedCalls() { join(); }

    // Until both threads have made LIVE calls each: only then is a second connection
    // certain to be open (or certain not to be needed).
    void waitLive(int live) const
    {
        while (liveCalls_.load() < 2 * live)
            Sleep(1);
    }
    void join()
    {
        for (TVCmnHandle& thread : threads_) {
            if (thread)
                WaitForSingleObject(thread.get(), INFINITE);
            thread.reset();
        }
    }

private:
    static DWORD WINAPI run(void* self)
    {
        auto& calls = *static_cast<OverlappedCalls*>(self);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (int failed = 0; failed < calls.dead_;) {
            if (FAILED(calls.stream_->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, nullptr)))
                ++failed;
            else
                ++calls.liveCalls_;
        }
        CoUninitialize();
        return 0;
    }

    IStream* const stream_;
    const int dead_;
    std::atomic<int> liveCalls_{0};
    TVCmnHandle threads_[2];
};

// A suspended peer answers no call: a call made to it waits until it dies.
void suspendPeer(HANDLE process)
{
    using SuspendProcess = LONG(NTAPI*)(HANDLE);
    const auto suspend = reinterpret_cast<SuspendProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSuspendProcess")));
    if (!suspend || suspend(process) != 0)
        exit(5);
}

// One peer's life as seen by its caller.
void callPeer(int live, int dead, int proxies, wchar_t how)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    const TVCmnHandle reader(readEnd), writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(exe) + L"\" peer " + std::to_wstring(proxies);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdOutput = writeEnd;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &info))
        exit(3);
    const TVCmnHandle process(info.hProcess), thread(info.hThread);
    DWORD size = 0, got = 0;
    ReadFile(readEnd, &size, sizeof size, &got, nullptr);
    std::vector<BYTE> bytes(size);
    ReadFile(readEnd, bytes.data(), size, &got, nullptr);
    Stream blob;
    CreateStreamOnHGlobal(nullptr, TRUE, blob.put());
    blob->Write(bytes.data(), size, nullptr);
    blob->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    std::vector<Stream> streams(proxies);
    for (Stream& stream : streams)
        if (FAILED(CoUnmarshalInterface(blob.get(), IID_IStream, stream.putVoid())))
            exit(4);
    if (how == L'b') {
        for (int i = 0; i < live; ++i)
            streams.front()->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, nullptr);
        suspendPeer(process.get());
        {
            OverlappedCalls waiting(streams.front().get(), 1, 1);
            Sleep(300);  // long enough for the request to be written and its reply awaited
            TerminateProcess(process.get(), 9);
            WaitForSingleObject(process.get(), INFINITE);
        }
        for (int i = 0; i < dead; ++i)
            streams.front()->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, nullptr);
        streams.clear();
        return;
    }
    if (how == L't') {
        OverlappedCalls calls(streams.front().get(), dead);
        calls.waitLive(live);
        // Both threads wait in a call at the kill: left running, one thread's call could
        // end just before it and its next one find the peer dead, a further failed call.
        suspendPeer(process.get());
        Sleep(300);
        TerminateProcess(process.get(), 9);
        WaitForSingleObject(process.get(), INFINITE);
        calls.join();
        streams.clear();
        return;
    }
    for (int i = 0; i < proxies * live; ++i)
        streams[i % proxies]->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, nullptr);
    if (how == L'e')
        streams.clear();
    TerminateProcess(process.get(), 9);
    WaitForSingleObject(process.get(), INFINITE);
    for (int i = 0; i < dead && !streams.empty(); ++i)
        streams.front()->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, nullptr);
    if (how == L'r')
        streams.clear();
    // What is left is held for good, as a caller that never lets go.
    static std::vector<Stream> held;
    held.insert(held.end(), streams.begin(), streams.end());
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (argc == 3 && std::wstring(argv[1]) == L"peer")
        return peer(_wtoi(argv[2]));
    if (argc != 6 && argc != 7)
        return 2;
    const int peers = _wtoi(argv[1]), live = _wtoi(argv[2]), dead = _wtoi(argv[3]), proxies = _wtoi(argv[4]);
    unsigned long first = 0, last = 0;
    for (int i = 0; i <= peers; ++i) {
        callPeer(live, dead, proxies, argv[5][0]);
        std::string byType;
        last = kvsoak::handleCount(GetCurrentProcessId(), byType);
        first = i == 0 ? last : first;
        printf("%d %lu%s\n", i, last, byType.c_str());
    }
    // EXPECT: the handles each dead peer must leave behind, no more and no fewer; LOW-HIGH
    // where Wine's count depends on timing it does not let the caller fix.
    if (argc == 7) {
        const std::wstring expect = argv[6];
        const size_t dash = expect.find(L'-');
        const long low = _wtol(expect.c_str());
        const long high = dash == std::wstring::npos ? low : _wtol(expect.c_str() + dash + 1);
        const long kept = long(last - first);
        if (kept < low * peers || kept > high * peers) {
            printf("expected %ls handles a dead peer, found %.2f\n", expect.c_str(), double(kept) / peers);
            return 1;
        }
    }
    return 0;
}
