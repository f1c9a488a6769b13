// The comms server link: online state, polling-loop membership of drive parameter tags,
// the one direct request queue, the comms event thread (requests, replies, online
// toggling) and the update event thread (loop updates into tag caches).
//
// The application shell owns one DriveComms; while it runs it is the DriveTagComms of
// every DriveTag. It holds the comms server through ICommsServer only: natively our
// CommsServer library in-process, on Windows the comms server exe's proxy.
//
// A call into the comms server that fails with an RPC error means its process died
// (the comms event thread also asks for its version when no call answered for a while,
// to notice that without a request). The comms event thread then marks every polled tag comm failure, ends the
// requests waiting for the server, and makes a new one through the shell's factory,
// with back-off between failed attempts, going online with it as after a toggle.
//
// Locks: lock_ (queue, last notification, loop tags) is taken before a tag's own lock,
// never after it (convergeLoop marks a tag in the loop under lock_); neither is held with
// serverLock_ (the server pointer, held only to copy or replace it), and none across a
// call into the comms server, COM or the
// engine's request completion. Direct requests take no lock of a tag across their start
// and reply: only the comms event thread starts them and processes their replies, one
// at a time, and the record they send is a copy taken under the tag lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/Diagnostics.h"
#include "common/TVCmnComPtr.h"
#include "common/TVCmnEvent.h"
#include "common/TVCmnThread.h"
#include "da/DaNamespaceRoot.h"
#include "drivecomms/CommsNotifyTarget.h"
#include "drivecomms/DriveTag.h"

// Posted to the main window after each go-online or go-offline so its "Online" mark follows.
inline constexpr UINT WM_APP_ONLINE_STATE = 0x8005;
// OPC server states set at a toggle.
inline constexpr DWORD kServerStateRunning = 1;
inline constexpr DWORD kServerStateSuspended = 4;
inline constexpr DWORD kServerStateCommFault = 6;
// A reading older than this by the comms server's tick is taken to come from another
// clock (a comms server on a machine of its own): its time is then its arrival.
inline constexpr uint32_t kLongestReadingAgeMs = 60000;
// The name this server registers under.
inline constexpr wchar_t kCommsClientName[] = L"RE ZUD Irurer 3";
// The comms settings file, beside the executable.
std::wstring commsSettingsPath(const std::wstring& applicationDirectory);

// Qualities the comms side gives.
inline constexpr uint16_t kQualityGood = 0xC0;
inline constexpr uint16_t kQualityUncertain = 0x40;
inline constexpr uint16_t kQualityLastUsable = 0x44;
inline constexpr uint16_t kQualityEuExceeded = 0x54;
inline constexpr uint16_t kQualityOutOfService = 0x1C;
inline constexpr uint16_t kQualityCommFailure = 0x18;
inline constexpr uint16_t kQualityDeviceFailure = 0x0C;
inline constexpr uint16_t kQualityConfigError = 0x04;
inline constexpr uint16_t kQualityBad = 0x00;

struct DriveCommsCounters {
    std::atomic<uint32_t> idle{0};      // i: wake-ups by time-out
    std::atomic<uint32_t> requests{0};  // r: requests taken from the queue
    std::atomic<uint32_t> replies{0};   // a: reply events
    std::atomic<uint32_t> other{0};     // o
    std::atomic<uint32_t> updates{0};   // u: update events
    std::atomic<uint32_t> records{0};   // u/s: update records applied
};

class DriveComms final : public DriveTagComms, public CommsNotifySink {
public:
    struct Settings {
        std::wstring settingsFile;
        LONG namespaceProtocol = -1;       // -1: any protocol of the settings file
        HWND mainWindow = nullptr;         // receives WM_APP_ONLINE_STATE; may be null
        // A direct request the comms server never answers is ended after this long, so
        // that the queue moves on before the engine's 5000 ms transaction limit.
        uint32_t replyDeadlineMs = 4000;
        std::function<void(DWORD)> setServerState;  // the server entry's state; may be empty
        // Makes a new comms server after the old one was lost (its process died). Empty:
        // a lost comms server leaves the link offline until the program restarts.
        std::function<HRESULT(ICommsServer** server)> recreateServer;
        // While online, the comms server is asked its version when no call has answered
        // for this long, so that a dead one is noticed whatever the traffic.
        uint32_t heartbeatMs = 100;
        // Waits between attempts to recreate a lost comms server: the first attempt once
        // every client watching a polled parameter has had time to see the loss (no
        // wait when none watches), then doubling from the first wait up to the longest.
        uint32_t recreateFirstWaitMs = 250;
        uint32_t recreateLongestWaitMs = 5000;
    };

    // The RPC errors of a call into a comms server whose process is gone.
    static bool isServerLost(HRESULT hr);

    DriveComms(ICommsServer* server, AppDiagnostics& diagnostics, Settings settings);
    ~DriveComms();
    DriveComms(const DriveComms&) = delete;
    DriveComms& operator=(const DriveComms&) = delete;

    // The address space walked when going online and offline; not owned.
    void setNamespaceRoot(DaNamespaceRoot* root);

    // Creates the events and starts the comms event thread, which goes online at once.
    bool startComms();
    // Stops both threads; goes offline and completes every request still queued.
    void stopComms();
    // The main window's "Online" menu. Each command counts, also when they come faster
    // than the comms event thread takes them, and the last one wins over a recreation.
    void toggleOnline()
    {
        pendingToggles_.fetch_add(1, std::memory_order_acq_rel);
        onlineToggle_.set();
    }

    bool isOnline() const { return online_.load(std::memory_order_acquire); }
    LONG loopHandle() const { return loopHandle_.load(std::memory_order_acquire); }
    size_t queuedRequests() const;
    size_t loopTagCount() const;
    // The comms server in use (the one made anew after a loss): a reference taken under
    // serverLock_, so that calls go out without a lock while a recreation replaces it.
    TVCmnComPtr<ICommsServer> server() const;
    // Comms servers made after losses so far.
    uint32_t recreations() const { return recreations_.load(std::memory_order_acquire); }
    DriveCommsCounters& counters() { return counters_; }
    HWND notifyWindow() const { return notify_ ? notify_->hwnd() : nullptr; }

    // Loop membership of one tag.
    void activateComms(DriveTag& tag);
    void deactivateComms(DriveTag& tag);
    uint32_t refreshUpdateRate(DriveTag& tag);
    // Smallest update rate of the groups of the tag's items (0xFFFFFFFF for none);
    // changed when that is below the tag's loop rate.
    static uint32_t computeLoopRate(DriveTag& tag, bool* changed = nullptr);
    // Largest update rate of the active groups watching the tag through an active item
    // (0 for none).
    static uint32_t slowestWatchingRate(DriveTag& tag);

    // One loop update into the tag's cache. Answers the items told.
    int applyLoopUpdate(DriveTag& tag, LONG status, const ParameterRecord& record);

    // DriveTagComms
    void queueRequest(DaRequest* request) override;
    void signalQueue() override;
    void onItemActivated(DriveTag& tag, DaObject* item) override;
    void onItemDeactivated(DriveTag& tag, DaObject* item) override;

    // CommsNotifySink: the window's part, on the thread that receives the messages.
    void onCommsNotify(WPARAM kind, LPARAM status) override;
    void onUpdatesWaiting() override;

private:
    enum class LoopChange { none, refresh };

    void commsThreadBody(TVCmnThread& thread);
    void updateThreadBody(TVCmnThread& thread);
    void drainUpdates();
    LONG goOnline(bool firstStart);
    LONG goOffline();
    void finishGoingOnline();
    static bool rejoins(DriveTag& tag);
    void collectRejoin(DaNode* branch, const FILETIME& now);
    void rejoinSlice();
    void dropRejoin();
    void removeTagsFromLoop(DaNode* branch, uint16_t quality, const FILETIME& now);
    void convergeLoop(DriveTag& tag, bool refreshAsked);
    void runLoopWork(DriveTag& tag, bool refreshAsked);
    DaRef<DriveTag> takeLoopTag(ULONGLONG owner);
    std::unordered_map<ULONGLONG, DaRef<DriveTag>> takeAllLoopTags();
    void takeNextRequest();
    void processCurrentReply(WPARAM kind, LONG status);
    void startDirectRead(DriveTag& tag, DaRequest& request);
    void startDirectWrite(DriveTag& tag, DaRequest& request);
    void processReply(DriveTag& tag, DaRequest& request, WPARAM kind, LONG status);
    // When a reading in a record was taken: the comms server's tick (word 9) as ours, and
    // the value's timestamp.
    struct Reading {
        uint32_t tick;
        FILETIME timestamp;
    };
    static Reading readingTime(const ParameterRecord& record);
    // A drive value read into the tag's cache unless the cache holds a later reading.
    // Answers the items told (0 when refused).
    int storeDriveValue(DriveTag& tag, const ParameterRecord& record, bool* converted);
    bool diagWanted(uint16_t diagClass) const;
    void postOnlineState();
    // Every call's HRESULT passes here: the first RPC error marks the server lost and
    // wakes the comms event thread. Answers hr.
    HRESULT checked(HRESULT hr);
    // Once a call has failed as lost, no other goes to that server until it is replaced:
    // under Wine every call into a dead process's proxy leaks an event handle, and the
    // loop walks and queued requests would make thousands.
    bool serverKnownLost() const { return serverLost_.load(std::memory_order_acquire); }
    void handleServerLoss();
    void tryRecreateServer();
    // The Online commands that came since the last look, on the comms event thread.
    void takeOnlineToggles();
    uint32_t nextRecreateWait() const;
    // How long a loss stays shown before the new comms server is made, given the
    // slowest update rate watching a tag it marked.
    uint32_t lossShownMs(uint32_t slowestRateMs) const;
    // Ends a request the server will never answer; a read also marks its tag's cache.
    void failRequest(DriveTag* tag, DaRequest& request, uint16_t quality);
    void failQueuedRequests(uint16_t quality);
    DaRef<DaRequest> popRequest();  // the queue's head, or null
    uint32_t commsWaitMs() const;
    void runDueWork();

    mutable TVCmnLock serverLock_;
    TVCmnComPtr<ICommsServer> server_ KV_GUARDED_BY(serverLock_);
    AppDiagnostics& diagnostics_;
    const Settings settings_;
    std::atomic<DaNamespaceRoot*> root_{nullptr};  // not owned

    std::atomic<bool> online_{false};   // written by the comms event thread only
    std::atomic<LONG> loopHandle_{-1};  // written by the comms event thread only
    std::atomic<LONG> directHandle_{-1};

    TVCmnEvent requestEvent_{TVCmnEvent::Reset::automatic};
    TVCmnEvent replyEvent_{TVCmnEvent::Reset::automatic};
    TVCmnEvent onlineToggle_{TVCmnEvent::Reset::automatic};
    // Online commands not yet taken by the comms event thread; from any thread.
    std::atomic<uint32_t> pendingToggles_{0};
    TVCmnEvent serverLostEvent_{TVCmnEvent::Reset::automatic};
    std::atomic<bool> serverLost_{false};       // set by any thread's failed call
    std::atomic<HRESULT> serverLostCode_{S_OK};
    std::atomic<uint32_t> recreations_{0};
    TVCmnEvent updateEvent_{TVCmnEvent::Reset::automatic};

    // Held by the update event thread while it applies one update; going offline passes
    // through it once so that no update applied as online lands after the walk.
    TVCmnLock updateLock_;
    mutable TVCmnLock lock_;
    std::deque<DaRef<DaRequest>> queue_ KV_GUARDED_BY(lock_);
    WPARAM lastReplyKind_ KV_GUARDED_BY(lock_) = 0;
    LONG lastReplyStatus_ KV_GUARDED_BY(lock_) = 0;
    // The loop's extra reference on each tag in it, keyed by the owner handed to the
    // comms server, so an update for a tag that has just left is recognised and dropped.
    std::unordered_map<ULONGLONG, DaRef<DriveTag>> loopTags_ KV_GUARDED_BY(lock_);

    // The comms event thread's own: current request, its tag and the in-progress flag.
    DaRef<DaRequest> current_;
    DaRef<DriveTag> currentTag_;
    bool requestInProgress_ = false;
    uint32_t requestStartTick_ = 0;
    uint32_t readIds_ = 0;
    uint32_t writeIds_ = 0;
    // Going online: the tags still to be put back into the loop, from rejoinNext_ on,
    // taken a slice at a time between direct requests. The comms event thread's own.
    bool rejoinPending_ = false;
    std::vector<DaRef<DriveTag>> rejoin_;
    size_t rejoinNext_ = 0;
    // Recreation after a loss, the comms event thread's own. wantOnline_: where the last
    // Online command pointed (online at start); a recreation ends in that state.
    bool recreatePending_ = false;
    bool wantOnline_ = true;
    uint32_t recreateFromTick_ = 0;
    uint32_t recreateWaitMs_ = 0;  // from recreateFromTick_ to the next attempt
    // When a call into the comms server last answered, from any thread.
    std::atomic<uint32_t> lastAnsweredTick_{0};

    DriveCommsCounters counters_;
    std::unique_ptr<CommsNotifyTarget> notify_;
    std::unique_ptr<TVCmnThread> updateThread_;
    std::unique_ptr<TVCmnThread> commsThread_;
};
