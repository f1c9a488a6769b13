#include "da/DaItem.h"

#include <cmath>

#include "da/DaEngineTrace.h"
#include "da/DaGroup.h"
#include "da/DaStatistics.h"

namespace {
constexpr LONG kEuTypeAnalog = 1;

bool toDouble(const VARIANT& value, double& out)
{
    if (value.vt == VT_R8) {
        out = value.dblVal;
        return true;
    }
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeTypeEx(&converted, daSource(value), kDaEngineLcid, 0, VT_R8)))
        return false;
    out = converted.dblVal;
    return true;
}

// [low, high] of an analog tag's EU info; false when it is not a two-element R8 array.
bool euRange(DaTag* tag, double& low, double& high)
{
    TVCmnVariant info;
    if (FAILED(tag->getEUInfo(info.put())) || info.vt() != (VT_ARRAY | VT_R8) || !info.get().parray)
        return false;
    SAFEARRAY* array = info.get().parray;
    if (SafeArrayGetDim(array) != 1 || array->rgsabound[0].cElements != 2)
        return false;
    const double* values = static_cast<const double*>(array->pvData);
    low = values[0];
    high = values[1];
    return true;
}
}  // namespace

DaItem::DaItem() noexcept : DaObject(kDaCodeItem) { DaStatistics::process().objectCreated(DaStatistics::itemObj); }

DaItem::~DaItem() { DaStatistics::process().objectDestroyed(DaStatistics::itemObj); }

std::string DaItem::accessPath() const
{
    DaLockHolder hold(lock_);
    return accessPath_ ? *accessPath_ : std::string();
}

bool DaItem::isActive() const
{
    DaLockHolder hold(lock_);
    return active_;
}

bool DaItem::isRemoved() const
{
    DaLockHolder hold(lock_);
    return removed_;
}

bool DaItem::isActiveInGroup() const
{
    // The group's lock comes first in the lock order; ask it without the item's.
    return isActive() && group_ && group_->isActive();
}

void DaItem::readState(VARTYPE& requestedType, bool& active) const
{
    DaLockHolder hold(lock_);
    requestedType = requestedType_;
    active = active_;
}

uint32_t DaItem::clientHandle() const
{
    DaLockHolder hold(lock_);
    return clientHandle_;
}

VARTYPE DaItem::requestedDatatype() const
{
    DaLockHolder hold(lock_);
    return requestedType_;
}

void DaItem::setClientHandle(uint32_t handle)
{
    DaLockHolder hold(lock_);
    clientHandle_ = handle;
}

HRESULT DaItem::setRequestedDatatype(VARTYPE type)
{
    if (!tag_)
        return E_FAIL;
    const HRESULT checked = tag_->checkRequestedDatatype(type);
    if (FAILED(checked))
        return checked;
    DaLockHolder hold(lock_);
    requestedType_ = type;
    return S_OK;
}

HRESULT DaItem::setActive(bool active)
{
    onActiveChanging(active);
    bool was;
    {
        DaLockHolder hold(lock_);
        if (removed_)
            return E_FAIL;
        was = active_;
        active_ = active;
    }
    if (was != active && group_)
        group_->itemActivationChanged(this, active);
    return S_OK;
}

HRESULT DaItem::setItemDeadband(float percent)
{
    if (!tag_)
        return E_FAIL;
    if (tag_->getEUType() != kEuTypeAnalog)
        return OPC_E_DEADBANDNOTSUPPORTED;
    if (!(percent >= 0.0f && percent <= 100.0f))  // also refuses NaN
        return E_INVALIDARG;
    DaLockHolder hold(lock_);
    deadband_ = percent;
    return S_OK;
}

HRESULT DaItem::getItemDeadband(float* percent) const
{
    if (!percent)
        return E_INVALIDARG;
    if (!tag_)
        return E_FAIL;
    if (tag_->getEUType() != kEuTypeAnalog)
        return OPC_E_DEADBANDNOTSUPPORTED;
    DaLockHolder hold(lock_);
    if (deadband_ == kDaNoItemDeadband)
        return OPC_E_DEADBANDNOTSET;
    *percent = deadband_;
    return S_OK;
}

HRESULT DaItem::clearItemDeadband()
{
    if (!tag_)
        return E_FAIL;
    if (tag_->getEUType() != kEuTypeAnalog)
        return OPC_E_DEADBANDNOTSUPPORTED;
    DaLockHolder hold(lock_);
    if (deadband_ == kDaNoItemDeadband)
        return OPC_E_DEADBANDNOTSET;
    deadband_ = kDaNoItemDeadband;
    return S_OK;
}

float DaItem::itemDeadband() const
{
    DaLockHolder hold(lock_);
    return deadband_;
}

bool DaItem::getLastSent(uint32_t connectionKey, VARIANT* value, uint16_t* quality) const
{
    DaLockHolder hold(lock_);
    const LastSent* found = nullptr;
    if (lastSent_.key == connectionKey && connectionKey != 0)
        found = &lastSent_;
    else if (moreLastSent_)
        for (const LastSent& entry : *moreLastSent_)
            if (entry.key == connectionKey)
                found = &entry;
    if (!found)
        return false;
    if (value)
        found->value.copyTo(*value);
    if (quality)
        *quality = found->quality;
    return true;
}

void DaItem::setLastSent(uint32_t connectionKey, const VARIANT& value, uint16_t quality)
{
    DaLockHolder hold(lock_);
    LastSent* slot = nullptr;
    if (lastSent_.key == connectionKey || lastSent_.key == 0) {
        slot = &lastSent_;
    } else {
        if (!moreLastSent_)
            moreLastSent_ = std::make_unique<std::vector<LastSent>>();
        for (LastSent& entry : *moreLastSent_)
            if (entry.key == connectionKey)
                slot = &entry;
        if (!slot)
            slot = &moreLastSent_->emplace_back();
    }
    slot->key = connectionKey;
    slot->quality = quality;
    VariantCopy(&slot->value.get(), daSource(value));
}

void DaItem::forgetConnection(uint32_t connectionKey)
{
    DaLockHolder hold(lock_);
    if (lastSent_.key == connectionKey) {
        lastSent_.key = 0;
        lastSent_.value.clear();
    }
    if (moreLastSent_)
        std::erase_if(*moreLastSent_, [connectionKey](const LastSent& e) { return e.key == connectionKey; });
}

bool DaItem::hasChanged(uint32_t connectionKey, const VARIANT& value, uint16_t quality) const
{
    double last = 0.0;
    {
        DaLockHolder hold(lock_);
        const LastSent* found = nullptr;
        if (lastSent_.key == connectionKey && connectionKey != 0)
            found = &lastSent_;
        else if (moreLastSent_)
            for (const LastSent& entry : *moreLastSent_)
                if (entry.key == connectionKey)
                    found = &entry;
        if (!found)
            return true;
        if (found->quality != quality) {
            DA_TRACE(kDaTraceDebug, this, "changed quality");
            return true;
        }
        if (daVariantEqual(found->value.get(), value))
            return false;
        if (!tag_ || tag_->getEUType() != kEuTypeAnalog)
            return true;
        if (!toDouble(found->value.get(), last))
            return true;
    }
    float percent = itemDeadband();
    if (percent == kDaNoItemDeadband)
        percent = group_ ? group_->deadband() : 0.0f;
    double low = 0.0, high = 0.0;
    const double limit = euRange(tag_.get(), low, high) ? double(percent) * 0.01 * (high - low) : 0.0;
    double now = 0.0;
    if (!toDouble(value, now))
        return true;
    const double difference = std::fabs(now - last);
    const bool changed = difference > std::fabs(limit);
    DA_TRACE(kDaTraceDebug, this, "hasChanged %s deadband %lf difference %lf", changed ? "TRUE" : "FALSE",
             std::fabs(limit), difference);
    if (changed)
        DA_TRACE(kDaTraceDebug, this, "changed value");
    return changed;
}
