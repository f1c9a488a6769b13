#include "da/DaTransaction.h"

#include <algorithm>

#include "da/DaEngineTrace.h"
#include "da/DaGroup.h"
#include "da/DaItem.h"
#include "da/DaServer.h"

namespace {
std::atomic<uint32_t> g_nextTransactionId{1};
}  // namespace

DaTransaction::DaTransaction(DaTransactionKind kind, DaConnectionType connection, DaGroup* group)
    : DaObject(kDaCodeEngineObject),
      kind_(kind),
      connection_(connection),
      group_(group),
      groupRef_(kind == DaTransactionKind::cyclic ? nullptr : group),
      serverTransactionId_(kind == DaTransactionKind::cyclic ? 0
                                                             : g_nextTransactionId.fetch_add(1, std::memory_order_relaxed))
{
    lastSend_.store(DaClock::now(), std::memory_order_relaxed);
    if (isSynchronous())
        completionEvent_ = std::make_unique<TVCmnEvent>(TVCmnEvent::Reset::automatic);
}

DaTransaction::~DaTransaction() = default;

std::string DaTransaction::traceObjectName() const
{
    std::string text;
    if (group_) {
        text = group_->name();
        text += ' ';
    }
    text += '(';
    text += daTransactionKindText(kind_);
    text += daConnectionTypeText(connection_);
    return text;
}

bool DaTransaction::inProgress() const
{
    TVCmnScopedLock hold(lock_);
    return state_ & kInProgress;
}

void DaTransaction::setKeepPending(bool keep)
{
    TVCmnScopedLock hold(lock_);
    keepPending_ = keep;
}

void DaTransaction::addRequest(DaRequest* request)
{
    TVCmnScopedLock hold(lock_);
    requests_.emplace_back(request);
}

void DaTransaction::removeRequestsOfRemovedItems()
{
    std::vector<DaRef<DaRequest>> gone;  // released outside the lock
    TVCmnScopedLock hold(lock_);
    auto keep = std::stable_partition(requests_.begin(), requests_.end(), [](const DaRef<DaRequest>& r) {
        return !r->getItem() || !r->getItem()->isRemoved();
    });
    gone.assign(std::make_move_iterator(keep), std::make_move_iterator(requests_.end()));
    requests_.erase(keep, requests_.end());
    hold.unlock();
    // An entry still out with the device side ends now; it holds this transaction until then.
    for (const DaRef<DaRequest>& request : gone)
        if (!request->isCompleted())
            request->complete(OPC_E_INVALIDHANDLE, false, 0, true, false);
}

void DaTransaction::completeRequestsOfItem(const DaItem* item, HRESULT result)
{
    std::vector<DaRef<DaRequest>> requests;
    getRequests(requests);
    for (const DaRef<DaRequest>& request : requests)
        if (request->getItem() == item)
            request->complete(result, false, 0, true, false);
}

size_t DaTransaction::requestCount() const
{
    TVCmnScopedLock hold(lock_);
    return requests_.size();
}

void DaTransaction::getRequests(std::vector<DaRef<DaRequest>>& requests) const
{
    TVCmnScopedLock hold(lock_);
    requests = requests_;
}

void DaTransaction::cancel()
{
    std::vector<DaRef<DaRequest>> requests;
    {
        TVCmnScopedLock hold(lock_);
        cancelled_ = true;
        requests = requests_;
    }
    // Open requests end now; the device side finds them completed and leaves them.
    for (const DaRef<DaRequest>& request : requests)
        if (!request->isCompleted())
            request->cancel(E_FAIL, false, 0);
}

bool DaTransaction::isCancelled() const
{
    TVCmnScopedLock hold(lock_);
    return cancelled_;
}

void DaTransaction::detach()
{
    TVCmnScopedLock hold(lock_);
    detached_ = true;
}

void DaTransaction::requestCompleted(const DaRequest*)
{
    // Completions during start() are picked up by the pass or call that started the
    // transaction; only later ones (the device side's) need to wake anyone.
    if (!running_.load(std::memory_order_acquire))
        return;
    if (completionEvent_) {
        completionEvent_->set();
        return;
    }
    // Under the lock, so that detach() cannot let the group and server go meanwhile.
    TVCmnScopedLock hold(lock_);
    if (detached_ || !group_)
        return;
    if (DaServer* server = group_->server())
        server->signalWork();
}

void DaTransaction::start(DaServer* server)
{
    std::vector<DaRef<DaRequest>> requests;
    bool overrun;
    {
        TVCmnScopedLock hold(lock_);
        overrun = (state_ & kInProgress) && !keepPending_;
        requests = requests_;
    }
    if (overrun) {
        // The previous cycle is still open: its stragglers end now with the last usable
        // value and sit this cycle out.
        for (const DaRef<DaRequest>& request : requests) {
            if (request->kind() != kDaRefreshReport && request->isStarted() && !request->isCompleted()) {
                request->cancel(E_FAIL, true, kDaQualityLastUsable);
                request->setFlags(DaRequest::kSkipThisCycle, 0);
            }
            request->addState(DaRequest::kReported);
        }
        {
            TVCmnScopedLock hold(lock_);
            state_ &= uint8_t(~kInProgress);
            running_.store(false, std::memory_order_release);
        }
        complete(server);
        requests.clear();
    }
    {
        TVCmnScopedLock hold(lock_);
        requests = requests_;
        requestsAtStart_ = requests_.size();
    }
    const bool groupActive = group_ && group_->isActive();
    for (const DaRef<DaRequest>& request : requests) {
        if (request->kind() == kDaRefreshReport)
            continue;
        if (request->flags() & DaRequest::kSkipThisCycle) {
            request->setFlags(0, DaRequest::kSkipThisCycle);
            continue;
        }
        if (isCyclic()) {
            request->resetForCycle();
            DaItem* item = request->getItem();
            if (!groupActive || !item || !item->isActive()) {
                // Nothing of an inactive item is reported; it counts as done at once.
                request->complete(S_OK, false, 0, true, false);
                continue;
            }
        } else if (FAILED(request->getResult())) {
            request->complete(request->getResult(), false, 0, true, false);
            continue;
        }
        request->start(false);
    }
    bool batch = false;
    for (const DaRef<DaRequest>& request : requests)
        if (!request->isCompleted() && request->getItemTag() &&
            request->getItemTag()->getRequestHandling(request.get()) == kDaHandleBatch) {
            batch = true;
            break;
        }
    if (batch)
        onBatch(requests);
    TVCmnScopedLock hold(lock_);
    if (!requests.empty()) {
        state_ |= kInProgress;
        running_.store(true, std::memory_order_release);
    }
}

bool DaTransaction::update(DaServer* server, uint32_t tick, uint32_t timeoutMs, uint32_t* wait)
{
    *wait = kDaNoTimeout;
    std::vector<DaRef<DaRequest>> requests;
    size_t atStart;
    {
        TVCmnScopedLock hold(lock_);
        if (!(state_ & kInProgress))
            return false;
        requests = requests_;
        atStart = requestsAtStart_;
    }
    if (kind_ == DaTransactionKind::polledRefresh)
        return false;
    size_t done = 0;
    for (const DaRef<DaRequest>& request : requests) {
        const uint8_t state = request->state();
        if (state & DaRequest::kCompleted) {
            ++done;
            continue;
        }
        if (!(state & DaRequest::kStarted) || timeoutMs == kDaNoTimeout)
            continue;
        const uint32_t elapsed = TVCmnTick::elapsed(request->startTick(), tick);
        if (elapsed >= timeoutMs) {
            request->cancel(E_FAIL, true, kDaQualityLastKnown);
            ++done;
        } else {
            *wait = std::min(*wait, timeoutMs - elapsed);
        }
    }
    if (done < std::min(atStart, requests.size()))
        return false;
    {
        // Whoever gets here first (work thread or the synchronous caller) completes it.
        TVCmnScopedLock hold(lock_);
        if (!(state_ & kInProgress))
            return false;
        state_ &= uint8_t(~kInProgress);
        running_.store(false, std::memory_order_release);
    }
    for (const DaRef<DaRequest>& request : requests)
        request->addState(DaRequest::kReported);
    *wait = kDaNoTimeout;
    complete(server);
    return true;
}

bool DaTransaction::connectionServed(const DaConnection& connection, bool forWrite) const
{
    const uint32_t target = targetKey_.load(std::memory_order_relaxed);
    if (target && connection.key != target)
        return false;
    const bool v1 = connection.kind != DaConnection::Kind::v2;
    if (v1 && forWrite != (connection.kind == DaConnection::Kind::v1WriteComplete))
        return false;
    switch (connection_) {
    case DaConnectionType::v1: return v1;
    case DaConnectionType::v2: return !v1;
    case DaConnectionType::all: return true;
    default: return false;
    }
}

void DaTransaction::complete(DaServer* server)
{
    completionTime_.store(DaClock::now(), std::memory_order_release);
    if (completionEvent_) {
        completionEvent_->set();
        return;
    }
    if (!group_ || !server)
        return;
    std::vector<DaConnection> connections;
    group_->getConnections(connections);
    deliver(server, connections);
    if (DaServer* dead = deadServer_.exchange(nullptr))
        dead->disconnectClient();
}

void DaTransaction::deliver(DaServer* server, const std::vector<DaConnection>& connections)
{
    const bool cancelled = isCancelled();
    for (const DaConnection& connection : connections) {
        if (server->isClientDead())
            break;  // an earlier callback found the client gone: nothing more goes out
        if (!connectionServed(connection, isWrite()))
            continue;
        if (cancelled) {
            if (connection.kind == DaConnection::Kind::v2)
                sendCancelComplete(connection);
        } else if (isWrite()) {
            sendWriteCallbacks(server, connection);
        } else {
            sendReadCallbacks(server, connection);
        }
    }
}

HRESULT DaTransaction::execute(DaServer* server, uint32_t timeoutMs)
{
    if (!completionEvent_ || !server)
        return E_FAIL;
    // In the server's list, so that the work thread ends requests that outlive the
    // time-out even while no completion wakes this thread.
    server->addTransaction(this);
    start(server);
    for (;;) {
        uint32_t wait = kDaNoTimeout;
        if (update(server, DaClock::tick(), timeoutMs, &wait) || !inProgress())
            break;
        completionEvent_->wait(wait == kDaNoTimeout ? TVCmnEvent::kInfinite : wait);
    }
    server->removeTransaction(this);
    return S_OK;
}

void DaTransaction::afterCallbackFailure(DaServer* server, HRESULT hr)
{
    if (server && server->noteCallResult(hr))
        deadServer_.store(server);
}
