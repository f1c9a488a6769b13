#include "drivecomms/DriveComms.h"

#include <algorithm>
#include <vector>

#include "common/TVCmnTick.h"
#include "common/TVCmnVariant.h"
#include "da/DaGroup.h"
#include "da/DaItem.h"
#include "da/DaRequest.h"
#include "namespace/ValueConversion.h"

namespace {
constexpr uint32_t kStopUpdateThreadMs = 10000;
// How long going online puts tags back into the loop before it looks at direct requests.
constexpr uint32_t kRejoinSliceMs = 20;
// How long the comms event thread spins for its next event before it sleeps. A direct
// read's reply, from a drive that answers at once, comes while the comms server's worker
// runs on the other core, and a client reading in a loop queues its next request while
// this thread finishes the last: a few microseconds each, against a sleep and a wake-up
// of tens of microseconds on a busy machine. Drives that take milliseconds, or an idle
// link, soon teach the spin to stay off (TVCmnSpinWait).
constexpr uint32_t kCommsSpinUs = 50;

// Quality of a loop update that reports an error.
uint16_t loopErrorQuality(LONG status)
{
    switch (status) {
    case -172: case -27: case -25: case -24: case -23: case -22: case -17:
        return kQualityCommFailure;
    case -153: case -32: case -31: case -30: case -29: case -28: case -26:
        return kQualityConfigError;
    default:
        return kQualityBad;
    }
}

FILETIME utcNow()
{
    return daUintToFileTime(DaClock::now());
}

void setCacheQuality(DriveTag& tag, uint16_t quality)
{
    if (DaRef<DaCache> cache = tag.getCache())
        cache->setQuality(quality);
}

// The identity number diagnostics give an item: its server handle.
int objectNumber(DaObject* object)
{
    if (object && object->isItem())
        return int(static_cast<DaItem*>(object)->serverHandle());
    return 0;
}
}  // namespace

std::wstring commsSettingsPath(const std::wstring& applicationDirectory)
{
    return applicationDirectory + L"\\VUDOvoveRaduzeri.ini";
}

DriveComms::DriveComms(ICommsServer* server, AppDiagnostics& diagnostics, Settings settings)
    : server_(server), diagnostics_(diagnostics), settings_(std::move(settings))
{
}

DriveComms::~DriveComms()
{
    stopComms();
}

void DriveComms::setNamespaceRoot(DaNamespaceRoot* root)
{
    root_.store(root, std::memory_order_release);
}

bool DriveComms::startComms()
{
    if (commsThread_ && commsThread_->isRunning())
        return true;
    if (!notify_)
        notify_ = std::make_unique<CommsNotifyTarget>(*this);
    if (!notify_->hwnd())
        return false;
    DriveTag::setComms(this);
    updateThread_ = std::make_unique<TVCmnThread>("update event thread", [this](TVCmnThread& t) { updateThreadBody(t); });
    commsThread_ = std::make_unique<TVCmnThread>("comms event thread", [this](TVCmnThread& t) { commsThreadBody(t); });
    return commsThread_->start();
}

void DriveComms::stopComms()
{
    if (commsThread_) {
        commsThread_->stop();
        commsThread_.reset();
    }
    updateThread_.reset();
    if (DriveTag::comms() == this)
        DriveTag::setComms(nullptr);
    // Requests queued after the thread ended still get their answer.
    failQueuedRequests(kQualityOutOfService);
    // The loop's references go with the link.
    takeAllLoopTags();
    notify_.reset();
}

size_t DriveComms::queuedRequests() const
{
    TVCmnScopedLock hold(lock_);
    return queue_.size();
}

size_t DriveComms::loopTagCount() const
{
    TVCmnScopedLock hold(lock_);
    return loopTags_.size();
}

bool DriveComms::diagWanted(uint16_t diagClass) const
{
    return (diagnostics_.flags.load(std::memory_order_relaxed) & diagClass) != 0 ||
           diagnostics_.trace->isOn(diagClass == kDiagCommsError ? kTraceError : kTraceInfo, kTraceGroupCommsDiag);
}

// ---- the window's part ----

void DriveComms::onCommsNotify(WPARAM kind, LPARAM status)
{
    {
        TVCmnScopedLock hold(lock_);
        lastReplyKind_ = kind;
        lastReplyStatus_ = static_cast<LONG>(status);
    }
    replyEvent_.set();
}

void DriveComms::onUpdatesWaiting()
{
    updateEvent_.set();
}

// ---- request queue ----

void DriveComms::queueRequest(DaRequest* request)
{
    if (!request)
        return;
    {
        TVCmnScopedLock hold(lock_);
        queue_.emplace_back(request);
    }
    // The engine starts a transaction's requests without signalling; waking here keeps
    // the comms event thread asleep while nothing is queued instead of polling.
    requestEvent_.set();
}

void DriveComms::signalQueue()
{
    requestEvent_.set();
}

// ---- item activation and loop membership ----

void DriveComms::onItemActivated(DriveTag& tag, DaObject* item)
{
    const DriveTag::ActiveItemChange change = tag.listActiveItem(item);
    postDiagnostic(diagnostics_, kDiagNormalComms, "Activate %i unique connections (obj: %i)", int(change.before),
                   int(objectNumber(item)));
    if (change.listed) {
        refreshUpdateRate(tag);
        return;
    }
    const size_t after = change.before + (item ? 1 : 0);
    if (after == 1)
        activateComms(tag);
}

void DriveComms::onItemDeactivated(DriveTag& tag, DaObject* item)
{
    postDiagnostic(diagnostics_, kDiagNormalComms, "Deactivate %i unique connections (obj: %i)",
                   int(tag.activeItemCount()), int(objectNumber(item)));
    if (!tag.hasActiveItem(item)) {
        postDiagnostic(diagnostics_, kDiagNormalComms, "Deactivate - no listed object (obj: %i)",
                       int(objectNumber(item)));
        if (tag.isInLoop())
            refreshUpdateRate(tag);
        return;
    }
    if (tag.removeActiveItem(item) == 0)
        deactivateComms(tag);
}

// Calls f(item, group) for each of the tag's items that is in a group.
template <class F>
static void forEachItemInAGroup(DriveTag& tag, F&& f)
{
    std::vector<DaRef<DaObject>> items;
    tag.getItems(items);
    for (const DaRef<DaObject>& object : items) {
        if (!object->isKind(kDaCodeItem))
            continue;
        const DaItem& item = *static_cast<DaItem*>(object.get());
        if (const DaGroup* group = item.group())
            f(item, *group);
    }
}

uint32_t DriveComms::computeLoopRate(DriveTag& tag, bool* changed)
{
    uint32_t rate = kDaNoUpdateRate;
    forEachItemInAGroup(tag, [&](const DaItem&, const DaGroup& group) { rate = std::min(rate, group.updateRate()); });
    if (changed)
        *changed = rate < tag.getLoopRateMs();
    return rate;
}

uint32_t DriveComms::slowestWatchingRate(DriveTag& tag)
{
    uint32_t rate = 0;
    forEachItemInAGroup(tag, [&](const DaItem& item, const DaGroup& group) {
        if (item.isActiveInGroup())
            rate = std::max(rate, group.updateRate());
    });
    return rate;
}

void DriveComms::activateComms(DriveTag& tag)
{
    if (tag.wantLoopAndClaim(true))
        runLoopWork(tag, false);
}

void DriveComms::deactivateComms(DriveTag& tag)
{
    if (tag.wantLoopAndClaim(false))
        runLoopWork(tag, false);
}

uint32_t DriveComms::refreshUpdateRate(DriveTag& tag)
{
    if (!tag.isInLoop()) {
        postDiagnostic(diagnostics_, kDiagNormalComms, "refreshUpdateRateCalled when param not added to loop");
        return tag.getLoopRateMs();
    }
    convergeLoop(tag, true);
    return tag.getLoopRateMs();
}

// The loop's reference, released by the caller without the lock.
DaRef<DriveTag> DriveComms::takeLoopTag(ULONGLONG owner)
{
    TVCmnScopedLock hold(lock_);
    auto it = loopTags_.find(owner);
    if (it == loopTags_.end())
        return nullptr;
    DaRef<DriveTag> tag = std::move(it->second);
    loopTags_.erase(it);
    return tag;
}

// Every tag the loop held leaves it: once the loop itself is gone (its client
// unregistered, or its comms server lost), a tag still marked as in it would never be
// added to the next one. Returns the loop's references, released by the caller.
std::unordered_map<ULONGLONG, DaRef<DriveTag>> DriveComms::takeAllLoopTags()
{
    std::unordered_map<ULONGLONG, DaRef<DriveTag>> left;
    {
        TVCmnScopedLock hold(lock_);
        left.swap(loopTags_);
    }
    for (auto& [owner, tag] : left)
        tag->setInLoop(false);
    return left;
}

// Brings the tag's membership to what is wanted. Only the claimant calls the comms
// server; others leave a note and the claimant looks again before it lets go, so two
// threads never add or remove the same tag at once and no change is missed.
void DriveComms::convergeLoop(DriveTag& tag, bool refreshAsked)
{
    if (tag.claimLoopWork())
        runLoopWork(tag, refreshAsked);
}

// The claimant's part of convergeLoop.
void DriveComms::runLoopWork(DriveTag& tag, bool refreshAsked)
{
    const ULONGLONG owner = reinterpret_cast<ULONGLONG>(&tag);
    do {
        const TVCmnComPtr<ICommsServer> comms = server();
        DriveTag::LoopView view = tag.loopView();
        const bool wanted = view.wanted;
        const bool inLoop = view.inLoop;
        const LONG handle = loopHandle();
        ParameterRecord& record = view.record;
        const char* const address = view.address->narrow.c_str();
        const std::wstring& wide = view.address->wide;
        if (wanted != inLoop && serverKnownLost()) {
            // No call into a server known lost: the loss takes every tag out of the loop
            // and the new server's go-online brings wanted ones back.
        } else if (wanted && !inLoop && (!isOnline() || handle < 0)) {
            // Offline there is no loop to join: the wish stays, and going online brings
            // the tag in.
        } else if (wanted && !inLoop) {
            const uint32_t rate = computeLoopRate(tag);
            tag.setLoopRateMs(rate);
            // Known as the owner before the call: the comms server reads a new entry at
            // once, and its first update may be drained before the call returns.
            {
                TVCmnScopedLock hold(lock_);
                loopTags_[owner] = DaRef<DriveTag>(&tag);
            }
            LONG ret = -1;
            const HRESULT hr = checked(comms->AddToLoop(handle, owner, wide.c_str(), &record, rate, &ret));
            if (SUCCEEDED(hr) && ret == kStatusOk) {
                // Going offline or losing the comms server while the call ran takes the
                // whole loop away: the tag is then not in it, and stays wanted so that
                // going online brings it in.
                bool kept;
                {
                    TVCmnScopedLock hold(lock_);
                    kept = loopTags_.count(owner) != 0;
                    if (kept)
                        tag.setInLoop(true);
                }
                if (kept)
                    postDiagnostic(diagnostics_, kDiagNormalComms,
                                   "Activating tag comms, adding node %s, #%i.%i to loop at rate %i", address,
                                   int(record.menu), int(record.parameter), int(rate));
            } else {
                takeLoopTag(owner);
                tag.setLoopWanted(false);  // not retried until the tag is activated afresh
            }
        } else if (!wanted && inLoop) {
            LONG ret = -1;
            const HRESULT hr = checked(comms->RemoveFromLoop(handle, owner, wide.c_str(), &record, &ret));
            if (SUCCEEDED(hr) && ret == kStatusOk) {
                tag.setInLoop(false);
                takeLoopTag(owner);
                postDiagnostic(diagnostics_, kDiagNormalComms,
                               "Deactivating tag comms, removing node %s, #%i.%i from loop", address,
                               int(record.menu), int(record.parameter));
            }
        } else if (wanted && inLoop) {
            bool changed = false;
            const uint32_t rate = computeLoopRate(tag, &changed);
            const uint32_t old = tag.getLoopRateMs();
            if (rate != old && changed && !serverKnownLost()) {
                // A faster rate only: the parameter keeps the fastest rate it was given
                // while it stays in the loop.
                tag.setLoopRateMs(rate);
                LONG ret = -1;
                checked(comms->RemoveFromLoop(handle, owner, wide.c_str(), &record, &ret));
                checked(comms->AddToLoop(handle, owner, wide.c_str(), &record, rate, &ret));
                postDiagnostic(diagnostics_, kDiagNormalComms, "Changing node %s, #%i.%i update rate from %ims to %ims",
                               address, int(record.menu), int(record.parameter), int(old), int(rate));
            } else if (refreshAsked) {
                postDiagnostic(diagnostics_, kDiagNormalComms, "Update rate unchanged for node %s, #%i.%i",
                               address, int(record.menu), int(record.parameter));
            }
        }
        refreshAsked = false;
    } while (tag.releaseLoopWork());
}

// ---- comms server loss ----

bool DriveComms::isServerLost(HRESULT hr)
{
    switch (static_cast<uint32_t>(hr)) {
    case 0x80010108u:  // RPC_E_DISCONNECTED: the object's process went away
    case 0x800706BAu:  // RPC server unavailable
    case 0x800706BEu:  // remote procedure call failed
    case 0x800706BFu:  // remote procedure call failed and did not run
    case 0x800401FDu:  // CO_E_OBJNOTCONNECTED
        return true;
    default:
        return false;
    }
}

TVCmnComPtr<ICommsServer> DriveComms::server() const
{
    TVCmnScopedLock hold(serverLock_);
    return server_;
}

HRESULT DriveComms::checked(HRESULT hr)
{
    if (SUCCEEDED(hr))
        lastAnsweredTick_.store(TVCmnTick::now(), std::memory_order_relaxed);
    else if (isServerLost(hr) && !serverLost_.exchange(true)) {
        serverLostCode_.store(hr);
        serverLostEvent_.set();
    }
    return hr;
}

void DriveComms::failRequest(DriveTag* tag, DaRequest& request, uint16_t quality)
{
    if (tag && !request.isWrite())
        setCacheQuality(*tag, quality);
    request.complete(request.isWrite() ? E_FAIL : S_OK, true, quality, false, false);
}

DaRef<DaRequest> DriveComms::popRequest()
{
    TVCmnScopedLock hold(lock_);
    if (queue_.empty())
        return nullptr;
    DaRef<DaRequest> request = std::move(queue_.front());
    queue_.pop_front();
    return request;
}

void DriveComms::failQueuedRequests(uint16_t quality)
{
    for (;;) {
        DaRef<DaRequest> request = popRequest();
        if (!request)
            return;
        if (request->markTaken())
            failRequest(nullptr, *request, quality);
    }
}

// On the comms event thread. The old server's loop and handles are gone with its
// process: every polled tag shows comm failure at once, every request waiting for the
// server ends, and a new server is made (with back-off) that the link goes online with.
void DriveComms::handleServerLoss()
{
    if (!serverLost_.load())
        return;
    const bool wasOnline = isOnline();
    postDiagnostic(diagnostics_, kDiagAlways, "comms server lost (error 0x%08X); polled values show comm failure",
                   static_cast<unsigned>(serverLostCode_.load()));
    online_.store(false, std::memory_order_release);
    {
        TVCmnScopedLock barrier(updateLock_);  // an update being applied finishes first
    }
    // The tags of a going-online walk not yet back in the loop (still to come, or the one
    // whose call met the loss) are polled in all but the call, and show last usable
    // already: left out, a client watching one never saw the loss.
    std::vector<DaRef<DriveTag>> walked = std::move(rejoin_);
    dropRejoin();  // the new server's go-online walks afresh
    if (wasOnline && settings_.setServerState)
        settings_.setServerState(kServerStateCommFault);
    loopHandle_.store(-1);
    directHandle_.store(-1);

    const std::unordered_map<ULONGLONG, DaRef<DriveTag>> polled = takeAllLoopTags();
    const FILETIME now = utcNow();
    uint32_t slowestRate = 0;
    auto showFailure = [&now, &slowestRate](DriveTag& tag) {
        slowestRate = std::max(slowestRate, slowestWatchingRate(tag));
        if (DaRef<DaCache> cache = tag.getCache()) {
            cache->setQuality(kQualityCommFailure);
            cache->setTimestamp(now);
        }
        daUpdateTagValue(tag, nullptr, kQualityCommFailure, &now);
    };
    for (auto& [owner, tag] : polled)
        showFailure(*tag);
    for (const DaRef<DriveTag>& tag : walked)
        if (!polled.contains(reinterpret_cast<ULONGLONG>(tag.get())))
            showFailure(*tag);

    if (requestInProgress_ && current_)
        failRequest(currentTag_.get(), *current_, kQualityCommFailure);
    requestInProgress_ = false;
    current_ = nullptr;  // a late reply finds no request to end twice
    currentTag_ = nullptr;
    failQueuedRequests(kQualityCommFailure);
    postOnlineState();

    if (!settings_.recreateServer) {
        postDiagnostic(diagnostics_, kDiagAlways, "comms server lost and not recreated; staying offline");
        return;
    }
    // A server that ran online is recreated once its watchers have seen the loss; one
    // lost again before it got online waits longer each time.
    recreatePending_ = true;
    recreateFromTick_ = TVCmnTick::now();
    recreateWaitMs_ = wasOnline ? lossShownMs(slowestRate) : nextRecreateWait();
}

// Made at once, a new comms server is online within a tenth of a second on a quick
// machine: a group whose next update came round only then would report the good value it
// had before and its client would never learn of the loss. So the first attempt waits
// until every watching group has had two update periods (a cycle may come late) showing
// comm failure, at most the longest wait.
uint32_t DriveComms::lossShownMs(uint32_t slowestRateMs) const
{
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t(slowestRateMs) * 2, settings_.recreateLongestWaitMs));
}

uint32_t DriveComms::nextRecreateWait() const
{
    if (recreateWaitMs_ == 0)
        return settings_.recreateFirstWaitMs;
    return std::min(recreateWaitMs_ * 2, settings_.recreateLongestWaitMs);
}

void DriveComms::tryRecreateServer()
{
    TVCmnComPtr<ICommsServer> fresh;
    HRESULT hr = E_FAIL;
    try {
        hr = settings_.recreateServer(fresh.put());
    } catch (...) {
        hr = E_FAIL;
    }
    recreateFromTick_ = TVCmnTick::now();
    if (FAILED(hr) || !fresh) {
        recreateWaitMs_ = nextRecreateWait();
        postDiagnostic(diagnostics_, kDiagAlways, "Cannot recreate the comms server (error 0x%08X), next try in %i ms",
                       static_cast<unsigned>(hr), int(recreateWaitMs_));
        return;
    }
    TVCmnComPtr<ICommsServer> old;  // released without the lock
    {
        TVCmnScopedLock hold(serverLock_);
        old = std::move(server_);
        server_ = std::move(fresh);
    }
    old.reset();
    recreatePending_ = false;
    recreations_.fetch_add(1, std::memory_order_acq_rel);
    serverLost_.store(false);
    postDiagnostic(diagnostics_, kDiagAlways, "comms server recreated");
    if (!wantOnline_) {
        postOnlineState();  // the user took the server offline meanwhile: it stays so
        return;
    }
    if (!goOnline(false) && !serverLost_.load()) {
        // The new server refused the settings: tried again after the next wait.
        recreatePending_ = true;
        recreateWaitMs_ = nextRecreateWait();
    }
}

// ---- online state ----

// Toggles count by their number: an even number leaves the state as it was. While a
// new comms server is being made the link shows offline but is heading online; a
// toggle then turns where it is heading, so that the recreation ends in the state the
// last command asked for rather than letting the command go.
void DriveComms::takeOnlineToggles()
{
    if (pendingToggles_.exchange(0, std::memory_order_acq_rel) % 2 == 0)
        return;
    if (recreatePending_) {
        wantOnline_ = !wantOnline_;
        if (!wantOnline_ && settings_.setServerState)
            settings_.setServerState(kServerStateSuspended);
        postDiagnostic(diagnostics_, kDiagAlways, wantOnline_ ? "Online while the comms server is made anew"
                                                              : "Offline while the comms server is made anew");
        return;
    }
    wantOnline_ = !isOnline();
    if (wantOnline_)
        goOnline(false);
    else
        goOffline();
}

void DriveComms::postOnlineState()
{
    if (settings_.mainWindow)
        PostMessageW(settings_.mainWindow, WM_APP_ONLINE_STATE, 0, 0);
}

LONG DriveComms::goOnline(bool firstStart)
{
    if (isOnline())
        return 1;
    if (serverKnownLost()) {
        postOnlineState();
        return 0;  // a new server comes first, if there is a factory for one
    }
    LONG protocol = -1;
    LONG ret = -1;
    const TVCmnComPtr<ICommsServer> comms = server();
    HRESULT hr = checked(comms->LoadSettingsFile(settings_.settingsFile.c_str(), &protocol, &ret));
    if (FAILED(hr) || ret != kStatusOk) {
        postDiagnostic(diagnostics_, kDiagAlways, "Cannot load comms setting file, can't go online");
    } else if (settings_.namespaceProtocol != -1 && settings_.namespaceProtocol != protocol) {
        postDiagnostic(diagnostics_, kDiagAlways, "Namespace protocol differs from settings, can't go online");
    } else if (hr = checked(comms->ApplySettings(&protocol, &ret)); FAILED(hr) || ret != kStatusOk) {
        postDiagnostic(diagnostics_, kDiagAlways,
                       "Cannot set the comms parameters, another user may be online or settings are bad , can't go online");
    } else {
        const LONGLONG window = static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(notifyWindow()));
        LONG loop = -1, direct = -1;
        if (FAILED(checked(comms->RegisterClient(kClientLoop, window, kCommsNotify2, kCommsClientName, &loop))))
            loop = -1;
        loopHandle_.store(loop, std::memory_order_release);
        if (FAILED(checked(comms->RegisterClient(kClientDirectIo, window, kCommsNotify, kCommsClientName, &direct))))
            direct = -1;
        directHandle_.store(direct, std::memory_order_release);
        if (loop < 0 || direct < 0) {
            postDiagnostic(diagnostics_, kDiagAlways,
                           "Cannot apply comms parameters, another user may be online or settings are bad , can't go online");
        } else {
            online_.store(true, std::memory_order_release);
            if (!firstStart) {
                // The tags go back into the loop a slice at a time, direct requests served
                // between the slices; the last slice ends going online.
                if (DaNamespaceRoot* root = root_.load(std::memory_order_acquire))
                    collectRejoin(root, utcNow());
                rejoinPending_ = true;
                rejoinSlice();
                return 1;
            }
            postDiagnostic(diagnostics_, kDiagAlways, "Going online");
        }
    }
    postOnlineState();
    return isOnline() ? 1 : 0;
}

void DriveComms::finishGoingOnline()
{
    if (settings_.setServerState)
        settings_.setServerState(kServerStateRunning);
    postDiagnostic(diagnostics_, kDiagAlways, "Going online");
    postOnlineState();
}

LONG DriveComms::goOffline()
{
    if (!isOnline())
        return 1;
    if (settings_.setServerState)
        settings_.setServerState(kServerStateSuspended);
    // Offline before the walk: an update arriving meanwhile only marks its tag out of
    // service, and one being applied finishes before the walk starts.
    online_.store(false, std::memory_order_release);
    {
        TVCmnScopedLock barrier(updateLock_);
    }
    dropRejoin();  // the walk below takes out what the slices put back
    if (DaNamespaceRoot* root = root_.load(std::memory_order_acquire))
        removeTagsFromLoop(root, kQualityOutOfService, utcNow());
    LONG ret = 0;
    if (!serverKnownLost()) {
        const TVCmnComPtr<ICommsServer> comms = server();
        checked(comms->UnregisterClient(loopHandle_.load(), &ret));
        checked(comms->UnregisterClient(directHandle_.load(), &ret));
    }
    loopHandle_.store(-1);
    directHandle_.store(-1);
    // The walk leaves in the loop a tag it could not take out (its removal failed, or
    // another thread was adding it); the loop went with the unregistered client.
    takeAllLoopTags();
    // Once unregistered, no reply comes for a request in flight: end it now so that
    // direct IO goes on after the next go-online.
    if (requestInProgress_ && current_ && currentTag_)
        processReply(*currentTag_, *current_, kReplyTimeout, kStatusNodeSilent);
    requestInProgress_ = false;
    postDiagnostic(diagnostics_, kDiagAlways, "Going offline");
    postOnlineState();
    return 1;
}

namespace {
// Depth first: the tags of a branch, then each child branch.
template <class Visit>
void walkTags(DaNode* branch, Visit&& visit)
{
    std::vector<DaRef<DaElement>> children;
    branch->getChildren(children);
    for (const DaRef<DaElement>& child : children)
        if (child->isTag())
            visit(*static_cast<DriveTag*>(child.get()));
    for (const DaRef<DaElement>& child : children)
        if (!child->isTag() && child->isKind(kDaCodeNode))
            walkTags(static_cast<DaNode*>(child.get()), visit);
}

bool readable(DriveTag& tag)
{
    return (tag.getAccessRights() & kDaAccessReadable) != 0;
}

bool holdsValue(DriveTag& tag)
{
    DaRef<DaCache> cache = tag.getCache();
    return cache && cache->holdsValue();
}
}  // namespace

// Tags that hold a value re-enter the loop and show last usable; so do tags that active
// items want polled but that never got a value (activated while offline, or offline
// before their first update): without this they would never be polled again.
bool DriveComms::rejoins(DriveTag& tag)
{
    return readable(tag) && (holdsValue(tag) || tag.activeItemCount() != 0);
}

// Every valued tag shows last usable at once, before any of them joins the loop: a
// tag's first update may be drained before its AddToLoop returns, and must not be marked
// over. Not a tag showing comm failure: a lost comms server's values are not usable,
// and a new one is up within half a second, so last usable at once would hide the
// loss from every client whose update did not come round in between; it stays until
// the new loop reads the tag.
void DriveComms::collectRejoin(DaNode* branch, const FILETIME& now)
{
    dropRejoin();
    walkTags(branch, [&](DriveTag& tag) {
        if (!rejoins(tag))
            return;
        DaRef<DaCache> cache = tag.getCache();
        if (cache && cache->holdsValue() && cache->getQuality() != kQualityCommFailure) {
            cache->setQuality(kQualityLastUsable);
            cache->setTimestamp(now);
            daUpdateTagValue(tag, nullptr, kQualityLastUsable, &now);
        }
        rejoin_.emplace_back(&tag);
    });
}

// Under Wine each AddToLoop crosses to the comms server's process (about 1 ms), and a
// walk of 10,000 tags in one go kept a client's read or write waiting 10 s behind it.
void DriveComms::rejoinSlice()
{
    if (!rejoinPending_)
        return;
    const uint32_t start = TVCmnTick::now();
    while (rejoinNext_ < rejoin_.size() && !serverKnownLost() &&
           TVCmnTick::elapsed(start, TVCmnTick::now()) < kRejoinSliceMs) {
        DriveTag& tag = *rejoin_[rejoinNext_++];
        if (!rejoins(tag))
            continue;  // its value or items went while it waited
        activateComms(tag);
        if (diagWanted(kDiagNormalComms))
            postDiagnostic(diagnostics_, kDiagNormalComms, "Going online - Adding node %s, #%i.%i to loop at rate %i",
                           tag.getNodeAddress().c_str(), int(tag.getMenuNumber()), int(tag.getParameterNumber()),
                           int(tag.getLoopRateMs()));
    }
    // A lost server ends the walk where it is: the loss shows what is left comm failure.
    if (rejoinNext_ < rejoin_.size() || serverKnownLost())
        return;
    dropRejoin();
    finishGoingOnline();
}

void DriveComms::dropRejoin()
{
    rejoinPending_ = false;
    rejoin_.clear();
    rejoinNext_ = 0;
}

// Every tag in the loop leaves it, valued or not: the loop goes with the unregistered
// handle, and a tag left marked as in it would never be added to the next one.
void DriveComms::removeTagsFromLoop(DaNode* branch, uint16_t quality, const FILETIME& now)
{
    walkTags(branch, [&](DriveTag& tag) {
        if (!readable(tag))
            return;
        const bool valued = holdsValue(tag);
        if (!valued && !tag.isInLoop())
            return;
        if (DaRef<DaCache> cache = tag.getCache(); cache && valued) {
            cache->setQuality(quality);
            cache->setTimestamp(now);
        }
        deactivateComms(tag);
        if (diagWanted(kDiagNormalComms))
            postDiagnostic(diagnostics_, kDiagNormalComms, "Going offline; removing node %s, #%i.%i from loop",
                           tag.getNodeAddress().c_str(), int(tag.getMenuNumber()), int(tag.getParameterNumber()));
    });
}

// ---- the threads ----

uint32_t DriveComms::commsWaitMs() const
{
    const uint32_t now = TVCmnTick::now();
    auto until = [now](uint32_t startTick, uint32_t lengthMs) {
        const uint32_t passed = TVCmnTick::elapsed(startTick, now);
        return passed >= lengthMs ? 0 : lengthMs - passed;
    };
    uint32_t waitMs = TVCmnEvent::kInfinite;
    if (requestInProgress_)
        waitMs = until(requestStartTick_, settings_.replyDeadlineMs);
    if (isOnline() && settings_.heartbeatMs != 0)
        waitMs = std::min(waitMs, until(lastAnsweredTick_.load(std::memory_order_relaxed), settings_.heartbeatMs));
    if (recreatePending_)
        waitMs = std::min(waitMs, until(recreateFromTick_, recreateWaitMs_));
    if (rejoinPending_)
        waitMs = 0;  // the next slice, once what is waiting has been served
    return waitMs;
}

void DriveComms::commsThreadBody(TVCmnThread& thread)
{
    if (!updateThread_->start())
        return;
    goOnline(true);
    TVCmnEvent* const events[] = {&thread.stopEvent(), &serverLostEvent_, &requestEvent_, &replyEvent_, &onlineToggle_};
    TVCmnSpinWait spin(kCommsSpinUs);
    for (;;) {
        // Asleep until something happens, the outstanding request's deadline, the next
        // look at the comms server or the next attempt to recreate it.
        const uint32_t which = TVCmnEvent::waitForAny(events, commsWaitMs(), &spin);
        switch (which) {
        case 0:
            updateThread_->stop(kStopUpdateThreadMs);
            goOffline();
            current_ = nullptr;
            currentTag_ = nullptr;
            return;
        case 1:
            handleServerLoss();
            break;
        case 2:
            takeNextRequest();
            break;
        case 3: {
            ++counters_.replies;
            WPARAM kind;
            LONG status;
            {
                TVCmnScopedLock hold(lock_);
                kind = lastReplyKind_;
                status = lastReplyStatus_;
            }
            processCurrentReply(kind, status);
            if (queuedRequests() != 0) {
                requestEvent_.set();
                postDiagnostic(diagnostics_, kDiagCommsEvent, "reply event comm request re-signal");
            }
            break;
        }
        case 4:
            takeOnlineToggles();
            if (queuedRequests() != 0)
                requestEvent_.set();
            break;
        default:
            ++counters_.idle;
            if (queuedRequests() != 0) {
                requestEvent_.set();
                postDiagnostic(diagnostics_, kDiagCommsEvent, "Idle event comm request re-signal");
            }
            break;
        }
        runDueWork();
    }
}

// After every wake-up, not only an idle one: a steady stream of requests and replies
// must not put off the reply deadline, the look at the comms server or its recreation.
void DriveComms::runDueWork()
{
    const uint32_t now = TVCmnTick::now();
    if (requestInProgress_ && current_ && currentTag_ &&
        TVCmnTick::elapsed(requestStartTick_, now) >= settings_.replyDeadlineMs) {
        // The comms server never answered: end the request as a time-out would.
        processReply(*currentTag_, *current_, kReplyTimeout, kStatusNodeSilent);
    }
    // Any call answered shows the comms server alive; after a while without one (a slow
    // drive's request outstanding, or nothing to do) it is asked, so that its death
    // shows within that while whatever the traffic.
    if (isOnline() && settings_.heartbeatMs != 0 && !serverKnownLost() &&
        TVCmnTick::elapsed(lastAnsweredTick_.load(std::memory_order_relaxed), now) >= settings_.heartbeatMs) {
        lastAnsweredTick_.store(now, std::memory_order_relaxed);
        LONG version = 0;
        checked(server()->GetVersion(&version));
    }
    if (recreatePending_ && commsWaitMs() == 0)
        tryRecreateServer();
    // One slice after each wake-up: a steady stream of requests does not hold the walk
    // back, nor the walk them.
    rejoinSlice();
}

void DriveComms::takeNextRequest()
{
    if (requestInProgress_)
        return;  // the reply's re-signal brings us back
    // A start that met a lost server ends the round: the loss fails the rest (offline,
    // requests are answered without a call).
    while (!(serverKnownLost() && isOnline())) {
        DaRef<DaRequest> request = popRequest();
        if (!request)
            return;
        current_ = request;
        ++counters_.requests;
        if (!request->markTaken())
            continue;  // cancelled or timed out meanwhile
        DaTag* tag = request->getItemTag();
        currentTag_ = DaRef<DriveTag>(static_cast<DriveTag*>(tag));
        if (!currentTag_) {
            request->complete(E_FAIL, true, kQualityBad, false, false);
            continue;
        }
        if (request->isWrite())
            startDirectWrite(*currentTag_, *request);
        else
            startDirectRead(*currentTag_, *request);
        if (requestInProgress_)
            return;
        // A start that failed has completed its request: the next one may go at once.
    }
}

void DriveComms::processCurrentReply(WPARAM kind, LONG status)
{
    if (current_ && currentTag_) {
        processReply(*currentTag_, *current_, kind, status);
        postDiagnostic(diagnostics_, kDiagCommsEvent, "Comm reply event");
    }
}

void DriveComms::updateThreadBody(TVCmnThread& thread)
{
    TVCmnEvent* const events[] = {&thread.stopEvent(), &updateEvent_};
    for (;;) {
        const uint32_t which = TVCmnEvent::waitForAny(events, TVCmnEvent::kInfinite);
        if (which == 0)
            return;
        if (which == 1) {
            ++counters_.updates;
            drainUpdates();
        }
    }
}

void DriveComms::drainUpdates()
{
    const LONG handle = loopHandle();
    const TVCmnComPtr<ICommsServer> comms = server();
    int count = 0;
    while (!serverKnownLost()) {
        ULONGLONG owner = 0;
        ParameterRecord record{};
        LONG status = kStatusNoMoreUpdates;
#ifdef _WIN32
        BSTR address = nullptr;
        const HRESULT hr = checked(comms->GetNextUpdate(handle, &owner, &address, &record, &status));
        SysFreeString(address);
#else
        const HRESULT hr = checked(comms->GetNextUpdate(handle, &owner, nullptr, &record, &status));
#endif
        if (FAILED(hr) || status == kStatusNoMoreUpdates)
            return;
        ++count;
        ++counters_.records;
        DaRef<DriveTag> tag;
        {
            TVCmnScopedLock hold(lock_);
            auto it = loopTags_.find(owner);
            if (it != loopTags_.end())
                tag = it->second;
        }
        if (!tag)
            continue;  // left the loop after the update was queued
        int notified;
        {
            TVCmnScopedLock hold(updateLock_);
            notified = applyLoopUpdate(*tag, status, record);
        }
        if (diagWanted(kDiagNormalComms))
            postDiagnostic(diagnostics_, kDiagNormalComms, "Update Event retrieved %i items, %i items notified", count,
                           notified);
    }
}

int DriveComms::applyLoopUpdate(DriveTag& tag, LONG status, const ParameterRecord& record)
{
    if (!isOnline()) {
        setCacheQuality(tag, kQualityOutOfService);
        postDiagnostic(diagnostics_, kDiagCommsError, "Update recieved when offline");
        return 0;
    }
    if (status == kStatusOk) {
        bool converted = false;
        const int notified = storeDriveValue(tag, record, &converted);
        if (converted && diagWanted(kDiagNormalComms))
            postDiagnostic(diagnostics_, kDiagNormalComms, "Node %s, #%i.%i reporting data: %i",
                           tag.getNodeAddress().c_str(), int(record.menu), int(record.parameter), int(record.value));
        return notified;
    }
    postDiagnostic(diagnostics_, kDiagCommsError, "Node %s, #%i.%i reporting error: %i", tag.getNodeAddress().c_str(),
                   int(record.menu), int(record.parameter), int(status));
    DaRef<DaCache> cache = tag.getCache();
    const Reading when = readingTime(record);
    if (!cache || cache->storeReading(nullptr, loopErrorQuality(status), when.timestamp, when.tick) != S_OK)
        return 0;
    return daUpdateTagValue(tag, nullptr, 0, nullptr);
}
