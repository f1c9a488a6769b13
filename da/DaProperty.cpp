#include "da/DaProperty.h"

#include <cstdio>

#include "da/DaObjectCounts.h"
#include "da/DaStandardProperties.h"
#include "da/DaTag.h"

DaProperty::DaProperty(uint32_t id) : DaObject(kDaCodeProperty), id_(id), datatype_(VT_EMPTY)
{
    daObjectCreated(DaObjectKind::property);
    VariantInit(&value_);
    if (const DaStandardProperty* standard = daFindStandardProperty(id)) {
        description_ = standard->description;
        datatype_ = standard->datatype;
    }
}

DaProperty::~DaProperty()
{
    daObjectDestroyed(DaObjectKind::property);
    VariantClear(&value_);
}

uint32_t DaProperty::getId() const
{
    DaLockHolder hold(lock_);
    return id_;
}

void DaProperty::setId(uint32_t id)
{
    DaLockHolder hold(lock_);
    id_ = id;
    if (const DaStandardProperty* standard = daFindStandardProperty(id)) {
        description_ = standard->description;
        datatype_ = standard->datatype;
    }
}

std::string DaProperty::getDescription() const
{
    DaLockHolder hold(lock_);
    return description_;
}

void DaProperty::setDescription(std::string_view description)
{
    DaLockHolder hold(lock_);
    description_.assign(description);
}

VARTYPE DaProperty::getDatatype() const
{
    DaLockHolder hold(lock_);
    return datatype_;
}

void DaProperty::setDatatype(VARTYPE vt)
{
    DaLockHolder hold(lock_);
    datatype_ = vt;
}

const char* DaProperty::xmlName() const
{
    const DaStandardProperty* standard = daFindStandardProperty(getId());
    return standard ? standard->xmlName : "";
}

HRESULT DaProperty::getValue(VARIANT* value) const
{
    if (!value)
        return E_INVALIDARG;
    VariantInit(value);
    DaLockHolder hold(lock_);
    return VariantCopy(value, const_cast<VARIANT*>(&value_));
}

HRESULT DaProperty::setValue(const VARIANT& value)
{
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT hr = VariantCopy(&copy, const_cast<VARIANT*>(&value));
    if (FAILED(hr))
        return hr;
    VARIANT old;
    {
        DaLockHolder hold(lock_);
        old = value_;
        value_ = copy;
    }
    VariantClear(&old);
    return S_OK;
}

std::string DaProperty::itemId(char propertyDelimiter) const
{
    const std::string tagId = tag_ ? tag_->itemId() : std::string();
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%c%lu", propertyDelimiter, static_cast<unsigned long>(getId()));
    return tagId + suffix;
}

std::string DaProperty::traceObjectName() const { return getDescription(); }
