#include "commsserver/CommsServer.h"

#include <algorithm>
#include <cstring>

#include "commsserver/SimulatedNetwork.h"

namespace comms {

namespace {

// Loop reads per slice of worker time: small enough that a direct request waits for at
// most one slice, large enough that the lock is taken rarely.
constexpr std::size_t kSliceReadings = 2048;

constexpr LONG kMaxMenuOrParameter = 0xFFFF;

// New loop entries are read together once the adds pause for kFreshQuietGap, or once
// the first of them has waited kFreshLongestWait: a client puts thousands of parameters
// into the loop one call at a time, and reading and delivering each while it still adds
// cost that client more than the adds themselves. Both short against any loop rate a
// plant engineer would notice.
constexpr auto kFreshQuietGap = std::chrono::milliseconds(10);
constexpr auto kFreshLongestWait = std::chrono::milliseconds(100);

// How long the loop leaves a node alone after it failed to answer. Long against a reply
// time-out, short against the time a plant engineer needs to notice a recovered drive.
constexpr auto kQuietNodeRetry = std::chrono::seconds(5);

ParameterRecord zeroRecord()
{
    ParameterRecord r;
    std::memset(&r, 0, sizeof r);
    return r;
}

}  // namespace

CommsServer* CommsServer::create()
{
    return new CommsServer();
}

HRESULT createCommsServer(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    CommsServer* server = CommsServer::create();
    const HRESULT hr = server->QueryInterface(riid, object);
    server->Release();
    return hr;
}

CommsServer::CommsServer()
{
    worker_ = std::thread([this] { workerMain(); });
}

CommsServer::~CommsServer()
{
    std::shared_ptr<CommsBackend> backend;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        backend = backend_;
    }
    if (backend)
        backend->cancel();
    wake_.notify_all();
    worker_.join();
    if (backend)
        backend->disconnect();
}

HRESULT CommsServer::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICommsServer)) {
        *object = static_cast<ICommsServer*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CommsServer::AddRef()
{
    return references_.fetch_add(1) + 1;
}

ULONG CommsServer::Release()
{
    const ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0)
        delete this;
    return left;
}

void CommsServer::post(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!PostMessageW(window, message, wParam, lParam))
        failedPosts_.fetch_add(1);
}

CommsServer::Client* CommsServer::findClient(LONG handle, LONG kind)
{
    auto it = clients_.find(handle);
    return it != clients_.end() && it->second->kind == kind ? it->second.get() : nullptr;
}

std::uint32_t CommsServer::nodeId(const std::string& node, LPCWSTR wide)
{
    auto it = nodeIds_.find(node);
    if (it != nodeIds_.end())
        return it->second;
    const auto id = static_cast<std::uint32_t>(nodeNames_.size());
    nodeNames_.push_back(node);
    nodeWideNames_.push_back(wide);
    nodeIds_.emplace(node, id);
    return id;
}

LONG CommsServer::checkRecord(const ParameterRecord* record) const
{
    if (!record || record->menu < 0 || record->menu > kMaxMenuOrParameter || record->parameter < 0 ||
        record->parameter > kMaxMenuOrParameter)
        return kStatusBadRecord;
    return kStatusOk;
}

HRESULT CommsServer::RegisterClient(LONG kind, LONGLONG window, LONG message, LPCWSTR clientName, LONG* ret)
{
    if (!ret)
        return E_POINTER;
    if ((kind != kClientDirectIo && kind != kClientLoop) || window == 0 || message == 0) {
        *ret = kStatusBadArgument;
        return S_OK;
    }
    auto client = std::make_unique<Client>();
    client->kind = kind;
    client->window = reinterpret_cast<HWND>(static_cast<INT_PTR>(window));
    client->message = static_cast<UINT>(message);
    client->name = toUtf8(clientName);
    client->loop.setFreshGather(kFreshQuietGap, kFreshLongestWait);
    std::lock_guard<std::mutex> guard(lock_);
    if (clients_.size() >= kMaxClients) {
        *ret = kStatusTooManyClients;
        return S_OK;
    }
    const LONG handle = nextHandle_++;
    clients_.emplace(handle, std::move(client));
    *ret = handle;
    return S_OK;
}

HRESULT CommsServer::UnregisterClient(LONG handle, LONG* ret)
{
    if (!ret)
        return E_POINTER;
    std::unique_ptr<Client> gone;  // destroyed after the lock: a loop can be large
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = clients_.find(handle);
        if (it == clients_.end()) {
            *ret = kStatusBadHandle;
            return S_OK;
        }
        gone = std::move(it->second);
        clients_.erase(it);
        std::erase_if(directQueue_, [handle](const DirectJob& job) { return job.handle == handle; });
    }
    *ret = kStatusOk;
    return S_OK;
}

HRESULT CommsServer::GetVersion(LONG* ret)
{
    if (!ret)
        return E_POINTER;
    *ret = kCommsServerVersion;
    return S_OK;
}

HRESULT CommsServer::LoadSettingsFile(LPCWSTR path, LONG* protocol, LONG* ret)
{
    if (!ret || !protocol)
        return E_POINTER;
    if (!path || !*path) {
        *ret = kStatusBadArgument;
        return S_OK;
    }
    CommsSettings settings;
    std::string error;
    const LONG status = loadCommsSettingsFile(toUtf8(path), settings, error);
    std::lock_guard<std::mutex> guard(lock_);
    if (status != kStatusOk) {
        lastSettingsError_ = error;
        *ret = status;
        return S_OK;
    }
    lastSettingsError_.clear();
    *protocol = settings.protocol;
    loaded_ = std::move(settings);
    *ret = kStatusOk;
    return S_OK;
}

HRESULT CommsServer::ApplySettings(LONG* protocol, LONG* ret)
{
    if (!ret || !protocol)
        return E_POINTER;
    CommsSettings settings;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!loaded_) {
            // Nothing loaded: the same network as a missing settings file.
            std::string error;
            loaded_.emplace();
            parseCommsSettings(defaultCommsSettingsText(), *loaded_, error);
        }
        if (*protocol != loaded_->protocol) {
            *ret = kStatusProtocolMismatch;
            return S_OK;
        }
        if (backend_ && applied_ && applied_->text == loaded_->text) {
            *ret = kStatusOk;  // unchanged: the drives keep their state
            return S_OK;
        }
        if (!clients_.empty()) {
            *ret = kStatusSettingsInUse;
            return S_OK;
        }
        settings = *loaded_;
    }

    std::shared_ptr<CommsBackend> created;
    LONG status = createCommsBackend(settings, created);
    if (status == kStatusOk)
        status = created->connect();
    if (status != kStatusOk) {
        *ret = status;
        return S_OK;
    }

    std::shared_ptr<CommsBackend> old;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!clients_.empty()) {
            status = kStatusSettingsInUse;  // a client registered meanwhile
        } else {
            old = std::move(backend_);
            backend_ = created;
            applied_ = std::move(settings);
        }
    }
    if (status != kStatusOk) {
        created->disconnect();
        *ret = status;
        return S_OK;
    }
    if (old) {
        old->cancel();
        old->disconnect();
    }
    *ret = kStatusOk;
    return S_OK;
}

LONG CommsServer::startDirect(LONG handle, LPCWSTR nodeAddress, const ParameterRecord* record, bool write)
{
    std::shared_ptr<CommsBackend> backend;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Client* client = findClient(handle, kClientDirectIo);
        if (!client)
            return kStatusBadHandle;
        if (!nodeAddress || !*nodeAddress)
            return kStatusBadArgument;
        if (checkRecord(record) != kStatusOk)
            return kStatusBadRecord;
        if (!backend_)
            return kStatusNotConfigured;
        if (client->busy)
            return kStatusBusy;
        backend = backend_;
    }
    const std::string node = toUtf8(nodeAddress);
    if (!backend->networkUp())
        return kStatusNetworkDown;
    if (const LONG known = backend->checkNode(node); known != kStatusOk)
        return known;
    bool atOnce = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Client* client = findClient(handle, kClientDirectIo);
        if (!client)
            return kStatusBadHandle;  // unregistered meanwhile
        if (client->busy)
            return kStatusBusy;
        client->busy = true;
        client->hasReply = false;
        // A read that the network may answer from memory is served on this thread, which
        // saves waking the worker and its going back to sleep; but only while no other
        // direct request is queued or with the backend, so that none is overtaken.
        atOnce = !write && !directInBackend_ && directQueue_.empty();
        if (atOnce)
            directInBackend_ = true;
        else
            directQueue_.push_back({handle, write, node, *record});
    }
    if (atOnce)
        serveAtOnce(handle, *backend, node, *record);
    else
        wake_.notify_one();
    return kStatusOk;
}

void CommsServer::serveAtOnce(LONG handle, CommsBackend& backend, const std::string& node, const ParameterRecord& record)
{
    const DWORD readTick = GetTickCount();
    const std::optional<ParameterReading> outcome = backend.readParameterAtOnce(node, record.menu, record.parameter);
    std::optional<DirectAnswer> answer;
    if (outcome)
        answer = directAnswer(record, false, *outcome, readTick);
    std::unique_lock<std::mutex> held(lock_);
    directInBackend_ = false;
    // Requests queued meanwhile wait for the worker, which left them to this read.
    const bool wakeWorker = !answer || !directQueue_.empty();
    if (answer) {
        deliverDirect(held, handle, *answer);
    } else {
        // It takes time after all: first in line for the worker, ahead of anything queued
        // meanwhile.
        if (findClient(handle, kClientDirectIo))
            directQueue_.push_front({handle, false, node, record});
        held.unlock();
    }
    if (wakeWorker)
        wake_.notify_one();
}

HRESULT CommsServer::ReadParameter(LONG directHandle, LPCWSTR nodeAddress, ParameterRecord* record, LONG* ret)
{
    if (!ret)
        return E_POINTER;
    *ret = startDirect(directHandle, nodeAddress, record, false);
    return S_OK;
}

HRESULT CommsServer::WriteParameter(LONG directHandle, LPCWSTR nodeAddress, ParameterRecord* record, LONG* ret)
{
    if (!ret)
        return E_POINTER;
    *ret = startDirect(directHandle, nodeAddress, record, true);
    return S_OK;
}

HRESULT CommsServer::AddToLoop(LONG loopHandle, ULONGLONG owner, LPCWSTR nodeAddress, ParameterRecord* record,
                               ULONG rateMs, LONG* ret)
{
    if (!ret)
        return E_POINTER;
    std::shared_ptr<CommsBackend> backend;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!findClient(loopHandle, kClientLoop))
            *ret = kStatusBadHandle;
        else if (!nodeAddress || !*nodeAddress)
            *ret = kStatusBadArgument;
        else if (checkRecord(record) != kStatusOk)
            *ret = kStatusBadRecord;
        else if (!backend_)
            *ret = kStatusNotConfigured;
        else
            backend = backend_;
    }
    if (!backend)
        return S_OK;
    const std::string node = toUtf8(nodeAddress);
    if (const LONG known = backend->checkNode(node); known != kStatusOk) {
        *ret = known;
        return S_OK;
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Client* client = findClient(loopHandle, kClientLoop);
        if (!client) {
            *ret = kStatusBadHandle;
        } else {
            const std::size_t freshBefore = client->loop.freshCount();
            *ret = client->loop.add(owner, nodeId(node, nodeAddress), *record, rateMs, LoopClock::now());
            // The worker is told of the first new entry, to wait for the adds to pause;
            // those after it only put that time off, which the worker finds when it looks.
            wake = freshBefore == 0 && client->loop.freshCount() != 0;
        }
    }
    if (wake)
        wake_.notify_one();
    return S_OK;
}

HRESULT CommsServer::RemoveFromLoop(LONG loopHandle, ULONGLONG owner, LPCWSTR nodeAddress, ParameterRecord* record,
                                    LONG* ret)
{
    if (!ret)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    Client* client = findClient(loopHandle, kClientLoop);
    if (!client) {
        *ret = kStatusBadHandle;
    } else if (!nodeAddress || !*nodeAddress) {
        *ret = kStatusBadArgument;
    } else if (checkRecord(record) != kStatusOk) {
        *ret = kStatusBadRecord;
    } else {
        auto id = nodeIds_.find(toUtf8(nodeAddress));
        *ret = id == nodeIds_.end() ? kStatusNotInLoop
                                    : client->loop.remove(owner, id->second, record->menu, record->parameter);
    }
    return S_OK;
}

HRESULT CommsServer::GetNextUpdate(LONG loopHandle, ULONGLONG* owner, BSTR* nodeAddress, ParameterRecord* record,
                                   LONG* ret)
{
    if (!ret || !owner || !record)
        return E_POINTER;
    if (nodeAddress)
        *nodeAddress = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    Client* client = findClient(loopHandle, kClientLoop);
    std::uint32_t node = 0;
    const LONG status = client ? client->loop.next(*owner, node, *record) : kStatusNoMoreUpdates;
    if (status == kStatusNoMoreUpdates) {
        *owner = 0;
        *record = zeroRecord();
    } else if (nodeAddress) {
        const WideString& text = nodeWideNames_[node];
        *nodeAddress = SysAllocStringLen(text.c_str(), static_cast<UINT>(text.size()));
    }
    *ret = status;
    return S_OK;
}

HRESULT CommsServer::GetReply(LONG directHandle, ParameterRecord* ret)
{
    if (!ret)
        return E_POINTER;
    std::lock_guard<std::mutex> guard(lock_);
    Client* client = findClient(directHandle, kClientDirectIo);
    *ret = client && client->hasReply ? client->reply : zeroRecord();
    if (!client)
        return E_INVALIDARG;
    return client->hasReply ? S_OK : S_FALSE;
}

std::shared_ptr<SimulatedNetwork> CommsServer::simulatedNetwork()
{
    std::lock_guard<std::mutex> guard(lock_);
    return std::dynamic_pointer_cast<SimulatedNetwork>(backend_);
}

std::string CommsServer::lastSettingsError()
{
    std::lock_guard<std::mutex> guard(lock_);
    return lastSettingsError_;
}

void CommsServer::pollLoopNow()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        const auto now = LoopClock::now();
        for (auto& [handle, client] : clients_)
            client->loop.makeAllDue(now);
    }
    wake_.notify_one();
}

std::size_t CommsServer::queuedUpdates(LONG loopHandle)
{
    std::lock_guard<std::mutex> guard(lock_);
    Client* client = findClient(loopHandle, kClientLoop);
    return client ? client->loop.queuedCount() : 0;
}

std::size_t CommsServer::loopEntries(LONG loopHandle)
{
    std::lock_guard<std::mutex> guard(lock_);
    Client* client = findClient(loopHandle, kClientLoop);
    return client ? client->loop.entryCount() : 0;
}

std::uint64_t CommsServer::failedPosts()
{
    return failedPosts_.load();
}

void CommsServer::workerMain()
{
    std::unique_lock<std::mutex> held(lock_);
    while (!stopping_) {
        // While a read is answered at once, the queue waits for it: that read wakes us.
        if (!directQueue_.empty() && !directInBackend_) {
            serveDirect(held);
            continue;
        }
        if (serveLoop(held))
            continue;
        std::optional<LoopClock::time_point> due;
        if (backend_) {
            for (const auto& [handle, client] : clients_) {
                const auto next = client->loop.nextDue();
                if (next && (!due || *next < *due))
                    due = next;
            }
        }
        if (due)
            wake_.wait_until(held, *due);
        else
            wake_.wait(held);
    }
}

void CommsServer::serveDirect(std::unique_lock<std::mutex>& held)
{
    DirectJob job = std::move(directQueue_.front());
    directQueue_.pop_front();
    std::shared_ptr<CommsBackend> backend = backend_;
    directInBackend_ = true;
    held.unlock();

    const ParameterRecord& record = job.record;
    ParameterReading outcome{kStatusNetworkDown, 0, 0};
    const DWORD readTick = GetTickCount();
    if (!job.write)
        outcome = backend ? backend->readParameter(job.node, record.menu, record.parameter)
                          : ParameterReading{kStatusNotConfigured, 0, 0};
    else if (backend)
        outcome.status = backend->writeParameter(job.node, record.menu, record.parameter, record.value,
                                                 record.decimalPlaces);
    const DirectAnswer answer = directAnswer(record, job.write, outcome, readTick);

    held.lock();
    directInBackend_ = false;
    deliverDirect(held, job.handle, answer);
    held.lock();
}

CommsServer::DirectAnswer CommsServer::directAnswer(const ParameterRecord& asked, bool write,
                                                    const ParameterReading& outcome, DWORD readTick)
{
    DirectAnswer answer{asked, write ? kReplyWriteConfirmed : kReplyRead, outcome.status};
    if (!write) {
        ParameterRecord& record = answer.record;
        record.reserved3 = 0;
        record.readTick = static_cast<LONG>(readTick);
        record.value = outcome.status == kStatusOk ? outcome.value : 0;
        record.decimalPlaces = outcome.status == kStatusOk ? outcome.decimalPlaces : 0;
        record.floatValue = record.value / decimalScale(record.decimalPlaces);
    }
    if (answer.status == kStatusNodeSilent || answer.status == kStatusReplyTimeout)
        answer.kind = kReplyTimeout;
    if (answer.status == kStatusOk)
        answer.status = kStatusSuccess;
    return answer;
}

void CommsServer::deliverDirect(std::unique_lock<std::mutex>& held, LONG handle, const DirectAnswer& answer)
{
    Client* client = findClient(handle, kClientDirectIo);
    if (!client) {
        held.unlock();
        return;  // unregistered while the drive was answering: nobody to tell
    }
    client->busy = false;
    client->hasReply = true;
    client->reply = answer.record;
    const HWND window = client->window;
    const UINT message = client->message;
    held.unlock();
    post(window, message, answer.kind, static_cast<LPARAM>(answer.status));
}

bool CommsServer::serveLoop(std::unique_lock<std::mutex>& held)
{
    if (!backend_ || clients_.empty())
        return false;
    const auto now = LoopClock::now();
    const std::size_t maxBlock = backend_->maxBlockParameters();
    // Round robin: start after the client served last, so that one large loop cannot
    // starve another.
    auto it = clients_.upper_bound(lastLoopServed_);
    LONG handle = 0;
    for (std::size_t n = 0; n < clients_.size(); ++n, ++it) {
        if (it == clients_.end())
            it = clients_.begin();
        if (it->second->kind == kClientLoop && it->second->loop.takeWork(now, maxBlock, kSliceReadings, work_)) {
            handle = it->first;
            break;
        }
    }
    if (handle == 0)
        return false;
    lastLoopServed_ = handle;
    blockNodes_.clear();
    for (const LoopWork::Block& block : work_.blocks)
        blockNodes_.push_back(nodeNames_[block.node]);
    std::shared_ptr<CommsBackend> backend = backend_;
    held.unlock();

    work_.readTick = GetTickCount();
    readings_.assign(work_.readingCount, ParameterReading{});
    blockStatus_.assign(work_.blocks.size(), kStatusOk);
    for (std::size_t i = 0; i < work_.blocks.size(); ++i) {
        const LoopWork::Block& block = work_.blocks[i];
        auto quiet = quietNodes_.find(blockNodes_[i]);
        if (quiet != quietNodes_.end() && LoopClock::now() < quiet->second.until) {
            blockStatus_[i] = quiet->second.status;
            continue;
        }
        blockStatus_[i] = backend->readBlock(blockNodes_[i], block.menu, block.firstParameter,
                                             std::span<ParameterReading>(readings_.data() + block.firstReading, block.count));
        if (blockStatus_[i] == kStatusNodeSilent || blockStatus_[i] == kStatusReplyTimeout)
            quietNodes_[blockNodes_[i]] = {blockStatus_[i], LoopClock::now() + kQuietNodeRetry};
        else if (quiet != quietNodes_.end())
            quietNodes_.erase(quiet);
    }

    held.lock();
    Client* client = findClient(handle, kClientLoop);
    if (!client || !client->loop.apply(work_, blockStatus_, readings_))
        return true;
    const HWND window = client->window;
    const UINT message = client->message;
    held.unlock();
    post(window, message, kUpdatesWaiting, 0);
    held.lock();
    return true;
}

}  // namespace comms
