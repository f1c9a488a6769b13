// Our comms server: ICommsServer over a drive network backend.
//
// Direct IO clients start one read or write at a time; the reply comes as kCommsNotify
// posted to the client's window (wParam reply kind, lParam status) and a read's record
// is fetched with GetReply. Loop clients put parameters into the polling loop; the
// worker reads them at their rates and queues updates, and one kCommsNotify2 with
// kUpdatesWaiting is posted when a client's queue goes from empty to non-empty, after
// which GetNextUpdate drains it until kStatusNoMoreUpdates.
//
// One worker thread makes every backend call, direct requests before loop reads, as
// one bus would serve them. lock_ guards all shared state and is never held while
// calling the backend or posting a message.
//
// In the Windows product the comms server exe hosts this class behind its class
// factory; the Linux build and the tests use it in-process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "commsserver/CommsBackend.h"
#include "commsserver/CommsServerInterface.h"
#include "commsserver/CommsSettings.h"
#include "commsserver/CommsText.h"
#include "commsserver/LoopTable.h"

namespace comms {

class SimulatedNetwork;

// Clients that may be registered at once; more are refused with kStatusTooManyClients.
constexpr std::size_t kMaxClients = 64;

class CommsServer final : public ICommsServer {
public:
    // A new server with one reference. No settings are applied yet.
    static CommsServer* create();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ICommsServer
    HRESULT STDMETHODCALLTYPE RegisterClient(LONG kind, LONGLONG window, LONG message, LPCWSTR clientName,
                                             LONG* ret) override;
    HRESULT STDMETHODCALLTYPE UnregisterClient(LONG handle, LONG* ret) override;
    HRESULT STDMETHODCALLTYPE GetVersion(LONG* ret) override;
    HRESULT STDMETHODCALLTYPE LoadSettingsFile(LPCWSTR path, LONG* protocol, LONG* ret) override;
    HRESULT STDMETHODCALLTYPE ApplySettings(LONG* protocol, LONG* ret) override;
    HRESULT STDMETHODCALLTYPE ReadParameter(LONG directHandle, LPCWSTR nodeAddress, ParameterRecord* record,
                                            LONG* ret) override;
    HRESULT STDMETHODCALLTYPE WriteParameter(LONG directHandle, LPCWSTR nodeAddress, ParameterRecord* record,
                                             LONG* ret) override;
    HRESULT STDMETHODCALLTYPE AddToLoop(LONG loopHandle, ULONGLONG owner, LPCWSTR nodeAddress,
                                        ParameterRecord* record, ULONG rateMs, LONG* ret) override;
    HRESULT STDMETHODCALLTYPE RemoveFromLoop(LONG loopHandle, ULONGLONG owner, LPCWSTR nodeAddress,
                                             ParameterRecord* record, LONG* ret) override;
    // nodeAddress may be null in-process when the caller does not want the text.
    HRESULT STDMETHODCALLTYPE GetNextUpdate(LONG loopHandle, ULONGLONG* owner, BSTR* nodeAddress,
                                            ParameterRecord* record, LONG* ret) override;
    // E_INVALIDARG for a handle that is not a registered direct IO client; S_FALSE and a
    // zero record when no reply has come yet.
    HRESULT STDMETHODCALLTYPE GetReply(LONG directHandle, ParameterRecord* ret) override;

    // Same-process API for tests, the benchmark and the comms server exe's diagnostics.
    std::shared_ptr<SimulatedNetwork> simulatedNetwork();  // null unless protocol 0 applies
    std::string lastSettingsError();                       // why LoadSettingsFile failed
    void pollLoopNow();                                    // every loop entry due now
    std::size_t queuedUpdates(LONG loopHandle);
    std::size_t loopEntries(LONG loopHandle);
    std::uint64_t failedPosts();                           // posts to windows that are gone

private:
    CommsServer();
    ~CommsServer();

    struct Client {
        LONG kind = kClientDirectIo;
        HWND window = nullptr;
        UINT message = 0;
        std::string name;
        // Direct IO.
        bool busy = false;  // a request is queued or being served
        bool hasReply = false;
        ParameterRecord reply{};
        // Loop.
        LoopTable loop;
    };
    struct DirectJob {
        LONG handle;
        bool write;
        std::string node;
        ParameterRecord record;
    };

    // A direct request's reply as posted: the record (with the value read), the reply
    // kind and the status.
    struct DirectAnswer {
        ParameterRecord record;
        WPARAM kind;
        LONG status;
    };

    LONG startDirect(LONG handle, LPCWSTR nodeAddress, const ParameterRecord* record, bool write);
    // readTick: GetTickCount when the drive was read, given back in a read's record.
    static DirectAnswer directAnswer(const ParameterRecord& asked, bool write, const ParameterReading& outcome,
                                     DWORD readTick);
    // With directInBackend_ set by this thread, which it clears: a read answered on the
    // caller's thread, or queued first for the worker when its answer takes time.
    void serveAtOnce(LONG handle, CommsBackend& backend, const std::string& node, const ParameterRecord& record);
    // Needs lock_, lets go of it: stores the answer with its client and posts the reply.
    void deliverDirect(std::unique_lock<std::mutex>& held, LONG handle, const DirectAnswer& answer);
    Client* findClient(LONG handle, LONG kind);  // needs lock_
    std::uint32_t nodeId(const std::string& node, LPCWSTR wide);  // needs lock_
    LONG checkRecord(const ParameterRecord* record) const;
    void post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    void workerMain();
    void serveDirect(std::unique_lock<std::mutex>& held);
    bool serveLoop(std::unique_lock<std::mutex>& held);

    std::atomic<ULONG> references_{1};

    std::mutex lock_;
    std::condition_variable wake_;                       // work for the worker, or stop
    std::map<LONG, std::unique_ptr<Client>> clients_;    // guarded by lock_
    LONG nextHandle_ = 1;                                // guarded by lock_; handles are never reused
    std::deque<DirectJob> directQueue_;                  // guarded by lock_
    std::shared_ptr<CommsBackend> backend_;              // guarded by lock_; null until ApplySettings
    std::optional<CommsSettings> loaded_;                // guarded by lock_
    std::optional<CommsSettings> applied_;               // guarded by lock_
    std::string lastSettingsError_;                      // guarded by lock_
    std::vector<std::string> nodeNames_;                 // guarded by lock_; index = node id, append only
    std::vector<WideString> nodeWideNames_;              // guarded by lock_; as the client spelt them
    std::unordered_map<std::string, std::uint32_t> nodeIds_;  // guarded by lock_
    LONG lastLoopServed_ = 0;                            // guarded by lock_; round robin between clients
    bool stopping_ = false;                              // guarded by lock_
    // A direct request is with the backend: on the worker, or a read being answered at
    // once on its caller's thread. Direct requests go one at a time, in queue order.
    bool directInBackend_ = false;                       // guarded by lock_
    std::atomic<std::uint64_t> failedPosts_{0};

    // Worker-only scratch, reused between slices.
    LoopWork work_;
    std::vector<ParameterReading> readings_;
    std::vector<LONG> blockStatus_;
    std::vector<std::string> blockNodes_;
    // Nodes that did not answer a loop read, with their status, until when they are
    // answered for without asking (worker only). Without this one dead drive would hold
    // the whole loop, and the direct requests behind it, for a reply time-out per block.
    struct QuietNode {
        LONG status;
        LoopClock::time_point until;
    };
    std::unordered_map<std::string, QuietNode> quietNodes_;

    std::thread worker_;  // last: started when everything above exists
};

HRESULT createCommsServer(REFIID riid, void** object);

}  // namespace comms
