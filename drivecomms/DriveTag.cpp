#include "drivecomms/DriveTag.h"

#include <algorithm>

DriveTag::DriveTag() = default;

void DriveTag::setNodeAddress(std::string_view address)
{
    DaLockHolder hold(lock_);
    nodeAddress_.assign(address);
}

std::string DriveTag::getNodeAddress() const
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
    DaLockHolder hold(lock_);
    if (item && std::find(activeItems_.begin(), activeItems_.end(), item) == activeItems_.end())
        activeItems_.push_back(item);
    return activeItems_.size();
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
