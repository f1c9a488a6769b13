#include "drivecomms/DriveTag.h"

#include <algorithm>
#include <atomic>

#include "common/TVCmnString.h"
#include "da/DaRequest.h"

namespace {
std::atomic<DriveTagComms*> g_comms{nullptr};

std::shared_ptr<const NodeAddressText> makeAddressText(std::string_view address)
{
    return std::make_shared<const NodeAddressText>(
        NodeAddressText{std::string(address), TVCmnString::ansiToWide(address)});
}
}  // namespace

DriveTag::DriveTag() : nodeAddress_(makeAddressText({})) {}

void DriveTag::setComms(DriveTagComms* comms)
{
    g_comms.store(comms, std::memory_order_release);
}

DriveTagComms* DriveTag::comms()
{
    return g_comms.load(std::memory_order_acquire);
}

uint32_t DriveTag::getRequestHandling(DaRequest* request) const
{
    if (!request)
        return DaTag::getRequestHandling(request);
    if (request->isWrite())
        return kDaHandleQueue;
    switch (request->kind()) {
    case kDaAsyncCacheItem:
    case kDaAsyncMaxAgeItem:
    case kDaForwardRequest:
    case kDaRefreshReport:
    case kDaCyclicEntry:
        return kDaHandleFromCache;
    default:
        return kDaHandleQueue;
    }
}

void DriveTag::queueRequest(DaRequest* request, bool)
{
    if (DriveTagComms* c = comms())
        c->queueRequest(request);
}

void DriveTag::signalQueue(bool)
{
    if (DriveTagComms* c = comms())
        c->signalQueue();
}

void DriveTag::onItemActivated(DaObject* item)
{
    if (DriveTagComms* c = comms())
        c->onItemActivated(*this, item);
    else
        addActiveItem(item);
}

void DriveTag::onItemDeactivated(DaObject* item)
{
    if (DriveTagComms* c = comms())
        c->onItemDeactivated(*this, item);
    else
        removeActiveItem(item);
}

void DriveTag::onItemDisconnected(DaObject* item)
{
    // A client deactivating an item on one thread and its group on another can leave
    // the item listed here after both saw it inactive. It must not outlive the item:
    // the tag would stay in the polling loop for good, and a later item at the same
    // address would count as listed already.
    if (hasActiveItem(item))
        onItemDeactivated(item);
    DriveTagBase::onItemDisconnected(item);
}

bool DriveTag::hasActiveItem(DaObject* item) const
{
    DaLockHolder hold(lock_);
    return std::find(activeItems_.begin(), activeItems_.end(), item) != activeItems_.end();
}

void DriveTag::setRecord(const ParameterRecord& record)
{
    DaLockHolder hold(lock_);
    record_ = record;
}

void DriveTag::setWrittenValue(LONG value, LONG decimalPlaces)
{
    DaLockHolder hold(lock_);
    record_.value = value;
    record_.decimalPlaces = decimalPlaces;
}

bool DriveTag::claimHeld()
{
    if (loopWorkClaimed_) {
        loopWorkNoted_ = true;
        return false;
    }
    loopWorkClaimed_ = true;
    loopWorkNoted_ = false;
    return true;
}

bool DriveTag::claimLoopWork()
{
    DaLockHolder hold(lock_);
    return claimHeld();
}

bool DriveTag::wantLoopAndClaim(bool wanted)
{
    DaLockHolder hold(lock_);
    loopWanted_ = wanted;
    return claimHeld();
}

DriveTag::LoopView DriveTag::loopView() const
{
    DaLockHolder hold(lock_);
    return LoopView{loopWanted_, inLoop_, record_, nodeAddress_};
}

bool DriveTag::releaseLoopWork()
{
    DaLockHolder hold(lock_);
    if (loopWorkNoted_) {
        loopWorkNoted_ = false;
        return true;
    }
    loopWorkClaimed_ = false;
    return false;
}

void DriveTag::setNodeAddress(std::string_view address)
{
    std::shared_ptr<const NodeAddressText> text = makeAddressText(address);
    DaLockHolder hold(lock_);
    nodeAddress_.swap(text);
}

std::string DriveTag::getNodeAddress() const
{
    return nodeAddressText()->narrow;
}

std::shared_ptr<const NodeAddressText> DriveTag::nodeAddressText() const
{
    DaLockHolder hold(lock_);
    return nodeAddress_;
}

void DriveTag::setMenuNumber(LONG menu)
{
    DaLockHolder hold(lock_);
    record_.menu = menu;
}

LONG DriveTag::getMenuNumber() const
{
    DaLockHolder hold(lock_);
    return record_.menu;
}

void DriveTag::setParameterNumber(LONG parameter)
{
    DaLockHolder hold(lock_);
    record_.parameter = parameter;
}

LONG DriveTag::getParameterNumber() const
{
    DaLockHolder hold(lock_);
    return record_.parameter;
}

void DriveTag::setObjectType(LONG objectType)
{
    DaLockHolder hold(lock_);
    record_.objectType = objectType;
}

LONG DriveTag::getObjectType() const
{
    DaLockHolder hold(lock_);
    return record_.objectType;
}

void DriveTag::setDescription(std::string_view description)
{
    DaLockHolder hold(lock_);
    description_.assign(description);
}

std::string DriveTag::getDescription() const
{
    DaLockHolder hold(lock_);
    return description_;
}

void DriveTag::setParameterLabel(std::string_view label)
{
    DaLockHolder hold(lock_);
    parameterLabel_.assign(label);
}

std::string DriveTag::getParameterLabel() const
{
    DaLockHolder hold(lock_);
    return parameterLabel_;
}

ParameterRecord DriveTag::getRecord() const
{
    DaLockHolder hold(lock_);
    return record_;
}

uint32_t DriveTag::getLoopRateMs() const
{
    DaLockHolder hold(lock_);
    return loopRateMs_;
}

void DriveTag::setLoopRateMs(uint32_t rateMs)
{
    DaLockHolder hold(lock_);
    loopRateMs_ = rateMs;
}

bool DriveTag::isInLoop() const
{
    DaLockHolder hold(lock_);
    return inLoop_;
}

void DriveTag::setInLoop(bool inLoop)
{
    DaLockHolder hold(lock_);
    inLoop_ = inLoop;
}

size_t DriveTag::addActiveItem(DaObject* item)
{
    const ActiveItemChange change = listActiveItem(item);
    return change.before + (item && !change.listed ? 1 : 0);
}

DriveTag::ActiveItemChange DriveTag::listActiveItem(DaObject* item)
{
    DaLockHolder hold(lock_);
    ActiveItemChange change{activeItems_.size(), false};
    change.listed = std::find(activeItems_.begin(), activeItems_.end(), item) != activeItems_.end();
    if (item && !change.listed)
        activeItems_.push_back(item);
    return change;
}

size_t DriveTag::removeActiveItem(DaObject* item)
{
    DaLockHolder hold(lock_);
    auto it = std::find(activeItems_.begin(), activeItems_.end(), item);
    if (it != activeItems_.end())
        activeItems_.erase(it);
    return activeItems_.size();
}

size_t DriveTag::activeItemCount() const
{
    DaLockHolder hold(lock_);
    return activeItems_.size();
}

void DriveTag::setLoopWanted(bool wanted)
{
    DaLockHolder hold(lock_);
    loopWanted_ = wanted;
}

bool DriveTag::isLoopWanted() const
{
    DaLockHolder hold(lock_);
    return loopWanted_;
}
