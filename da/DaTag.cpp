#include "da/DaTag.h"

#include <algorithm>
#include <new>

#include "common/TVCmnException.h"
#include "da/DaObjectCounts.h"
#include "da/DaStandardProperties.h"
#include "da/DaVarTypes.h"

namespace {

// A BSTR from a text in the system code page; null when out of memory.
BSTR allocSystemText(const std::string& text)
{
    const int chars = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
    if (result && chars > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), result, chars);
    return result;
}

HRESULT textVariant(const char* text, VARIANT* value)
{
    value->bstrVal = allocSystemText(text);
    if (!value->bstrVal)
        return E_OUTOFMEMORY;
    value->vt = VT_BSTR;
    return S_OK;
}

DaProperty* newProperty(uint32_t id) { return tvCmnCheckAlloc(new (std::nothrow) DaProperty(id)); }

}  // namespace

DaTag::DaTag(bool tracksItems) noexcept : DaElement(kDaCodeTag), tracksItems_(tracksItems)
{
    daObjectCreated(DaObjectKind::tag);
}

DaTag::~DaTag() KV_NO_THREAD_SAFETY_ANALYSIS
{
    daObjectDestroyed(DaObjectKind::tag);
    if (Extras* extras = block()) {
        for (auto& property : extras->properties)
            property->tag_ = nullptr;
        delete extras;
    } else if (DaObject* item = singleItem()) {
        item->release();
    }
}

DaTag::Extras& DaTag::extras()
{
    if (Extras* extras = block())
        return *extras;
    std::unique_ptr<Extras> made(tvCmnCheckAlloc(new (std::nothrow) Extras));
    if (DaObject* item = singleItem()) {
        made->items.reserve(2);
        made->items.push_back(DaRef<DaObject>(item, DaRef<DaObject>::kAdopt));  // the word's reference moves
    }
    rare_ = reinterpret_cast<uintptr_t>(made.release());
    return *block();
}

void DaTag::setCache(DaCache* cache)
{
    DaRef<DaCache> old;  // released after the lock
    DaLockHolder hold(lock_);
    old = std::move(cache_);
    cache_ = DaRef<DaCache>(cache);
}

DaRef<DaCache> DaTag::createCache() { return DaRef<DaCache>(tvCmnCheckAlloc(new (std::nothrow) DaCache)); }

DaRef<DaCache> DaTag::getCache()
{
    if (getRequestHandling(nullptr) == kDaHandlingNotAnItem)
        return nullptr;
    {
        DaLockHolder hold(lock_);
        if (cache_)
            return cache_;
    }
    // Made outside the lock (the factory may trace); a racing caller's cache wins.
    DaRef<DaCache> made = createCache();
    if (!made)
        return nullptr;
    DaLockHolder hold(lock_);
    if (!cache_) {
        made->setDatatype(datatype_);
        cache_ = made;
    }
    return cache_;
}

void DaTag::setAccessRights(uint32_t rights)
{
    {
        DaLockHolder hold(lock_);
        accessRights_ = rights & kDaAccessMask;
    }
    onTagChanged();
}

uint32_t DaTag::getAccessRights(const DaObject*) const
{
    DaLockHolder hold(lock_);
    return accessRights_;
}

void DaTag::setAccessFlag(bool flag)
{
    DaLockHolder hold(lock_);
    accessFlag_ = flag ? 1 : 0;
}

bool DaTag::getAccessFlag() const
{
    DaLockHolder hold(lock_);
    return accessFlag_ != 0;
}

HRESULT DaTag::setDatatype(VARTYPE vt)
{
    if (!daIsCanonicalDatatype(vt))
        return OPC_E_BADTYPE;
    DaRef<DaCache> cache;
    {
        DaLockHolder hold(lock_);
        datatype_ = vt;
        cache = cache_;
    }
    if (cache)
        cache->setDatatype(vt);
    return S_OK;
}

VARTYPE DaTag::getDatatype() const
{
    DaLockHolder hold(lock_);
    return datatype_;
}

HRESULT DaTag::checkRequestedDatatype(VARTYPE vt) const
{
    const VARTYPE canonical = getDatatype();
    if (vt == VT_EMPTY || vt == VT_ARRAY || vt == canonical || (vt & VT_ARRAY) == (canonical & VT_ARRAY))
        return S_OK;
    return OPC_E_BADTYPE;
}

uint32_t DaTag::getRequestHandling(DaRequest*) const { return getDefaultHandling(); }

void DaTag::setDefaultHandling(uint32_t code)
{
    DaLockHolder hold(lock_);
    defaultHandling_ = code & kDaHandlingMask;
}

uint32_t DaTag::getDefaultHandling() const
{
    DaLockHolder hold(lock_);
    return defaultHandling_;
}

uint32_t DaTag::getCacheFirst() const
{
    DaLockHolder hold(lock_);
    return cacheFirst_ ? kDaCacheFirstSet : 0;
}

void DaTag::setCacheFirst(bool cacheFirst)
{
    DaLockHolder hold(lock_);
    cacheFirst_ = cacheFirst ? 1 : 0;
}

void DaTag::onItemConnected(DaObject* item)
{
    if (!tracksItems_ || !item || !item->isItem())
        return;
    DaLockHolder hold(lock_);
    if (rare_ == 0) {
        item->addRef();
        rare_ = reinterpret_cast<uintptr_t>(item) | kSingleItem;
        return;
    }
    if (singleItem() == item)
        return;
    auto& items = extras().items;
    if (std::none_of(items.begin(), items.end(), [item](const DaRef<DaObject>& i) { return i.get() == item; }))
        items.emplace_back(item);
}

void DaTag::onItemDisconnected(DaObject* item)
{
    if (!tracksItems_ || !item || !item->isItem())
        return;
    DaRef<DaObject> removed;  // the item may go with its last reference: not under the lock
    DaLockHolder hold(lock_);
    if (singleItem() == item) {
        removed = DaRef<DaObject>(item, DaRef<DaObject>::kAdopt);
        rare_ = 0;
        return;
    }
    if (!block())
        return;
    auto& items = block()->items;
    auto it = std::find_if(items.begin(), items.end(), [item](const DaRef<DaObject>& i) { return i.get() == item; });
    if (it != items.end()) {
        removed = std::move(*it);
        items.erase(it);
    }
}

void DaTag::getItems(std::vector<DaRef<DaObject>>& items) const
{
    DaLockHolder hold(lock_);
    if (const Extras* extras = block())
        items = extras->items;
    else if (DaObject* item = singleItem())
        items.assign(1, DaRef<DaObject>(item));
    else
        items.clear();
}

size_t DaTag::itemCount() const
{
    DaLockHolder hold(lock_);
    if (const Extras* extras = block())
        return extras->items.size();
    return singleItem() ? 1 : 0;
}

HRESULT DaTag::addProperty(DaProperty* property)
{
    if (!property || property->tag_)
        return E_INVALIDARG;
    const uint32_t id = property->getId();
    DaLockHolder hold(lock_);
    auto& properties = extras().properties;
    auto at = std::lower_bound(properties.begin(), properties.end(), id,
        [](const DaRef<DaProperty>& p, uint32_t key) { return p->getId() < key; });
    if (at != properties.end() && (*at)->getId() == id)
        return OPC_E_DUPLICATENAME;
    property->tag_ = this;
    properties.insert(at, DaRef<DaProperty>(property));
    return S_OK;
}

DaRef<DaProperty> DaTag::findProperty(uint32_t id) const
{
    DaLockHolder hold(lock_);
    if (!block())
        return nullptr;
    auto& properties = block()->properties;
    auto at = std::lower_bound(properties.begin(), properties.end(), id,
        [](const DaRef<DaProperty>& p, uint32_t key) { return p->getId() < key; });
    if (at != properties.end() && (*at)->getId() == id)
        return *at;
    return nullptr;
}

DaRef<DaProperty> DaTag::findOrAddProperty(uint32_t id)
{
    if (DaRef<DaProperty> found = findProperty(id))
        return found;
    DaRef<DaProperty> made(newProperty(id));
    if (addProperty(made.get()) == OPC_E_DUPLICATENAME)
        return findProperty(id);  // added by another thread meanwhile
    return made;
}

bool DaTag::hasProperty(uint32_t id) const
{
    if ((id >= kDaPropDataType && id <= kDaPropScanRate) || id == kDaPropDataTypeText || id == kDaPropQualityText ||
        id == kDaPropAccessRightsText || id == kDaPropEuTypeText)
        return true;
    return static_cast<bool>(findProperty(id));
}

void DaTag::getPropertyList(bool withTypeAndQuality, bool withAccessRights, std::vector<DaPropertyInfo>& list) const
{
    list.clear();
    auto addStandard = [&list](uint32_t id, VARTYPE vt) {
        const DaStandardProperty* standard = daFindStandardProperty(id);
        list.push_back({id, standard->description, vt == VT_EMPTY ? standard->datatype : vt});
    };
    if (withTypeAndQuality)
        addStandard(kDaPropDataType, VT_EMPTY);
    addStandard(kDaPropValue, getDatatype());
    if (withTypeAndQuality)
        addStandard(kDaPropQuality, VT_EMPTY);
    addStandard(kDaPropTimestamp, VT_EMPTY);
    if (withAccessRights)
        addStandard(kDaPropAccessRights, VT_EMPTY);
    addStandard(kDaPropScanRate, VT_EMPTY);

    std::vector<DaRef<DaProperty>> children;
    {
        DaLockHolder hold(lock_);
        if (const Extras* extras = block())
            children = extras->properties;
    }
    for (const auto& child : children)
        list.push_back({child->getId(), child->getDescription(), child->getDatatype()});
}

bool DaTag::readsThroughTag(uint32_t id)
{
    return id == kDaPropValue || id == kDaPropQuality || id == kDaPropTimestamp || id == kDaPropQualityText;
}

HRESULT DaTag::getPropertyValue(uint32_t id, float serverScanRateMs, VARIANT* value) const
{
    if (!value)
        return E_INVALIDARG;
    VariantInit(value);
    if (readsThroughTag(id))
        return E_FAIL;
    switch (id) {
    case kDaPropDataType:
        value->vt = VT_I2;
        value->iVal = static_cast<SHORT>(getDatatype());
        return S_OK;
    case kDaPropDataTypeText:
        return textVariant(daVarTypeToName(getDatatype()), value);
    case kDaPropAccessRights:
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(getAccessRights());
        return S_OK;
    case kDaPropAccessRightsText:
        return textVariant(daAccessRightsText(getAccessRights()), value);
    case kDaPropScanRate:
        value->vt = VT_R4;
        value->fltVal = serverScanRateMs;
        return S_OK;
    case kDaPropEuType:
        value->vt = VT_I4;
        value->lVal = getEUType();
        return S_OK;
    case kDaPropEuTypeText:
        return textVariant(daEuTypeText(getEUType()), value);
    default:
        break;
    }
    if (DaRef<DaProperty> child = findProperty(id))
        return child->getValue(value);
    if (id == kDaPropEuInfo && getEUType() == kDaEuAnalog)
        return getEUInfo(value);
    return OPC_E_INVALID_PID;
}

LONG DaTag::getEUType() const
{
    if (!findProperty(kDaPropEuType) && !findProperty(kDaPropEuTypeText))
        return kDaEuNone;
    return findProperty(kDaPropHighEu) ? kDaEuAnalog : kDaEuEnumerated;
}

HRESULT DaTag::getEUInfo(VARIANT* info) const
{
    if (!info)
        return E_INVALIDARG;
    VariantInit(info);
    switch (getEUType()) {
    case kDaEuAnalog: {
        double limits[2] = {0.0, 0.0};  // [Low EU, High EU]
        const uint32_t ids[2] = {kDaPropLowEu, kDaPropHighEu};
        for (int i = 0; i < 2; ++i) {
            DaRef<DaProperty> property = findProperty(ids[i]);
            if (!property)
                continue;
            VARIANT stored, asDouble;
            VariantInit(&stored);
            VariantInit(&asDouble);
            property->getValue(&stored);
            if (SUCCEEDED(VariantChangeType(&asDouble, &stored, 0, VT_R8)))
                limits[i] = asDouble.dblVal;
            VariantClear(&stored);
            VariantClear(&asDouble);
        }
        SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, 2);
        if (!array)
            return E_OUTOFMEMORY;
        for (LONG i = 0; i < 2; ++i)
            SafeArrayPutElement(array, &i, &limits[i]);
        info->vt = VT_ARRAY | VT_R8;
        info->parray = array;
        return S_OK;
    }
    case kDaEuEnumerated:
        if (DaRef<DaProperty> texts = findProperty(kDaPropEuInfo))
            return texts->getValue(info);
        return S_OK;
    default:
        return S_OK;
    }
}

HRESULT DaTag::setAnalogEU(double lowEU, double highEU)
{
    DaRef<DaProperty> euType = findOrAddProperty(kDaPropEuType);
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = kDaEuAnalog;
    euType->setValue(value);
    value.vt = VT_R8;
    value.dblVal = highEU;
    findOrAddProperty(kDaPropHighEu)->setValue(value);
    value.dblVal = lowEU;
    findOrAddProperty(kDaPropLowEu)->setValue(value);
    return S_OK;
}

HRESULT DaTag::setEnumeratedEU(const std::vector<std::string>& texts)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    if (!array)
        return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
        BSTR text = allocSystemText(texts[static_cast<size_t>(i)]);
        const HRESULT hr = text ? SafeArrayPutElement(array, &i, text) : E_OUTOFMEMORY;
        SysFreeString(text);  // SafeArrayPutElement stored its own copy
        if (FAILED(hr)) {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_ARRAY | VT_BSTR;
    value.parray = array;

    VARIANT euType;
    VariantInit(&euType);
    euType.vt = VT_I4;
    euType.lVal = kDaEuEnumerated;
    findOrAddProperty(kDaPropEuType)->setValue(euType);

    DaRef<DaProperty> info = findOrAddProperty(kDaPropEuInfo);
    info->setDescription("Enumerated EU");
    info->setDatatype(VT_ARRAY | VT_BSTR);
    const HRESULT hr = info->setValue(value);
    VariantClear(&value);
    return hr;
}
