#include "da/DaCache.h"

#include <algorithm>
#include <cstring>

#include "common/TVCmnTick.h"
#include "da/DaEngine.h"
#include "da/DaItem.h"
#include "da/DaRequest.h"
#include "da/DaTag.h"

namespace {
constexpr VARTYPE kArrayOfNothing = VT_ARRAY;  // "any array": no conversion asked

// One array element as a VARIANT that borrows the element's storage; false for element
// types that do not fit a plain copy.
bool borrowElement(VARTYPE type, const unsigned char* data, ULONG size, VARIANT& element)
{
    VariantInit(&element);
    if (type == VT_VARIANT) {
        element = *reinterpret_cast<const VARIANT*>(data);
        return true;
    }
    if (type == VT_DECIMAL || type == VT_RECORD || type == VT_DISPATCH || type == VT_UNKNOWN || size > 8)
        return false;
    element.vt = type;
    std::memcpy(&element.llVal, data, size);
    return true;
}

HRESULT convertArray(const VARIANT& source, VARTYPE type, VARIANT* dest, LCID lcid)
{
    SAFEARRAY* from = source.parray;
    if (!from)
        return DISP_E_TYPEMISMATCH;
    VARTYPE fromType = VT_EMPTY;
    HRESULT hr = SafeArrayGetVartype(from, &fromType);
    if (FAILED(hr))
        return hr;
    const VARTYPE toType = VARTYPE(type & ~VT_ARRAY);
    const UINT dims = SafeArrayGetDim(from);
    std::vector<SAFEARRAYBOUND> bounds(dims);
    ULONG total = 1;
    for (UINT d = 0; d < dims; ++d) {
        bounds[d] = from->rgsabound[dims - 1 - d];  // rgsabound is stored last dimension first
        total *= bounds[d].cElements;
    }
    SAFEARRAY* to = SafeArrayCreate(toType, dims, bounds.data());
    if (!to)
        return E_OUTOFMEMORY;
    const ULONG fromSize = SafeArrayGetElemsize(from);
    const ULONG toSize = SafeArrayGetElemsize(to);
    void* fromData = nullptr;
    void* toData = nullptr;
    hr = SafeArrayAccessData(from, &fromData);
    if (SUCCEEDED(hr)) {
        hr = SafeArrayAccessData(to, &toData);
        if (SUCCEEDED(hr)) {
            for (ULONG i = 0; i < total && SUCCEEDED(hr); ++i) {
                VARIANT element;
                if (!borrowElement(fromType, static_cast<unsigned char*>(fromData) + i * fromSize, fromSize,
                                   element)) {
                    hr = DISP_E_TYPEMISMATCH;
                    break;
                }
                auto* target = static_cast<unsigned char*>(toData) + i * toSize;
                if (toType == VT_VARIANT) {
                    hr = VariantCopy(reinterpret_cast<VARIANT*>(target), &element);
                    continue;
                }
                VARIANT converted;
                VariantInit(&converted);
                hr = VariantChangeTypeEx(&converted, &element, lcid, 0, toType);
                if (FAILED(hr))
                    break;
                if (toType == VT_BSTR)
                    *reinterpret_cast<BSTR*>(target) = converted.bstrVal;  // the array owns it now
                else if (toType == VT_DECIMAL || toSize > 8)
                    hr = DISP_E_TYPEMISMATCH;
                else
                    std::memcpy(target, &converted.llVal, toSize);
            }
            SafeArrayUnaccessData(to);
        }
        SafeArrayUnaccessData(from);
    }
    if (FAILED(hr)) {
        SafeArrayDestroy(to);
        return hr;
    }
    VariantClear(dest);
    dest->vt = VARTYPE(VT_ARRAY | toType);
    dest->parray = to;
    return S_OK;
}

bool arraysEqual(SAFEARRAY* a, SAFEARRAY* b)
{
    if (!a || !b)
        return a == b;
    const UINT dims = SafeArrayGetDim(a);
    if (dims != SafeArrayGetDim(b) || SafeArrayGetElemsize(a) != SafeArrayGetElemsize(b))
        return false;
    ULONG total = 1;
    for (UINT d = 0; d < dims; ++d) {
        if (a->rgsabound[d].cElements != b->rgsabound[d].cElements ||
            a->rgsabound[d].lLbound != b->rgsabound[d].lLbound)
            return false;
        total *= a->rgsabound[d].cElements;
    }
    VARTYPE type = VT_EMPTY;
    SafeArrayGetVartype(a, &type);
    const ULONG size = SafeArrayGetElemsize(a);
    const auto* da = static_cast<const unsigned char*>(a->pvData);
    const auto* db = static_cast<const unsigned char*>(b->pvData);
    if (type == VT_BSTR || type == VT_VARIANT) {
        for (ULONG i = 0; i < total; ++i) {
            VARIANT ea, eb;
            borrowElement(type, da + i * size, size, ea);
            borrowElement(type, db + i * size, size, eb);
            if (type == VT_BSTR) {
                ea.vt = eb.vt = VT_BSTR;
                ea.bstrVal = *reinterpret_cast<const BSTR*>(da + i * size);
                eb.bstrVal = *reinterpret_cast<const BSTR*>(db + i * size);
            }
            if (!daVariantEqual(ea, eb))
                return false;
        }
        return true;
    }
    return total == 0 || std::memcmp(da, db, size_t(total) * size) == 0;
}
}  // namespace

bool daVariantEqual(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt)
        return false;
    if (a.vt & VT_ARRAY)
        return arraysEqual(a.parray, b.parray);
    switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL: return true;
    case VT_BSTR: {
        const UINT la = a.bstrVal ? SysStringByteLen(a.bstrVal) : 0;
        const UINT lb = b.bstrVal ? SysStringByteLen(b.bstrVal) : 0;
        return la == lb && (la == 0 || std::memcmp(a.bstrVal, b.bstrVal, la) == 0);
    }
    case VT_I1: case VT_UI1: return a.bVal == b.bVal;
    case VT_I2: case VT_UI2: case VT_BOOL: return a.iVal == b.iVal;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: return a.lVal == b.lVal;
    case VT_R4: return a.fltVal == b.fltVal;
    case VT_R8: case VT_DATE: return a.dblVal == b.dblVal;
    case VT_I8: case VT_UI8: case VT_CY: return a.llVal == b.llVal;
    case VT_DECIMAL: return std::memcmp(&a, &b, sizeof(VARIANT)) == 0;
    default: return a.byref == b.byref;
    }
}

HRESULT DaCache::changeType(const VARIANT& source, VARTYPE type, VARIANT* dest, LCID lcid)
{
    if (!dest)
        return E_POINTER;
    if ((source.vt & VT_ARRAY) && (type & VT_ARRAY) && source.vt != type)
        return convertArray(source, type, dest, lcid);
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = VariantChangeTypeEx(&converted, daSource(source), lcid, 0, type);
    if (FAILED(hr))
        return hr;
    VariantClear(dest);
    *dest = converted;
    return S_OK;
}

HRESULT DaCache::getValueLocked(VARIANT* value, VARTYPE requestedType, LCID lcid) const
{
    VariantClear(value);
    const VARIANT& held = value_.get();
    if (requestedType == VT_EMPTY || requestedType == kArrayOfNothing || requestedType == held.vt)
        return VariantCopy(value, daSource(held));
    const HRESULT hr = changeType(held, requestedType, value, lcid);
    if (FAILED(hr))
        VariantClear(value);
    return hr;
}

HRESULT DaCache::getValue(VARIANT* value, VARTYPE requestedType, LCID lcid) const
{
    if (!value)
        return E_POINTER;
    DaLockHolder hold(lock_);
    return getValueLocked(value, requestedType, lcid);
}

HRESULT DaCache::get(VARIANT* value, uint16_t* quality, FILETIME* timestamp, const DaRequest* request,
                     VARTYPE requestedType, LCID lcid, HRESULT* error) const
{
    if (!value || !quality || !timestamp)
        return E_POINTER;
    // The read right is the tag's; asked before the cache lock (tag after cache in the
    // lock order is allowed, but the tag hook may be an application override).
    const bool readable = !request || !request->getItemTag() ||
                          (request->getItemTag()->getAccessRights(request->getItem()) & kDaAccessReadable);
    HRESULT result = S_OK;
    DaLockHolder hold(lock_);
    if (!readable) {
        VariantClear(value);
        result = OPC_E_BADRIGHTS;
    } else {
        result = getValueLocked(value, requestedType, lcid);
    }
    *quality = SUCCEEDED(result) ? quality_ : 0;
    *timestamp = daUintToFileTime(timestamp_);
    if (error)
        *error = result;
    return result;
}

HRESULT DaCache::storeValueLocked(const VARIANT& value, LCID lcid)
{
    if (datatype_ != VT_EMPTY && value.vt != datatype_) {
        TVCmnVariant converted;
        const HRESULT hr = changeType(value, datatype_, converted.put(), lcid);
        if (FAILED(hr))
            return hr;
        value_ = std::move(converted);
        return S_OK;
    }
    return VariantCopy(&value_.get(), daSource(value));
}

HRESULT DaCache::store(const VARIANT& value, uint16_t quality, const FILETIME& timestamp, LCID lcid)
{
    onValueChanging(value);
    onQualityChanging(quality);
    onTimestampChanging(timestamp);
    DaLockHolder hold(lock_);
    const HRESULT hr = storeValueLocked(value, lcid);
    if (FAILED(hr))
        return hr;
    quality_ = quality;
    timestamp_ = daFileTimeToUint(timestamp);
    valueTick_ = DaClock::tick();
    valueTickSet_ = true;
    return S_OK;
}

HRESULT DaCache::setValue(const VARIANT& value, LCID lcid)
{
    onValueChanging(value);
    DaLockHolder hold(lock_);
    const HRESULT hr = storeValueLocked(value, lcid);
    if (SUCCEEDED(hr)) {
        valueTick_ = DaClock::tick();
        valueTickSet_ = true;
    }
    return hr;
}

HRESULT DaCache::storeReading(const VARIANT* value, uint16_t quality, const FILETIME& timestamp, uint32_t readTick,
                              LCID lcid)
{
    if (value)
        onValueChanging(*value);
    onQualityChanging(quality);
    onTimestampChanging(timestamp);
    const uint32_t now = DaClock::tick();
    DaLockHolder hold(lock_);
    // By age, so that the tick count's wrap cannot make an old value look new; one read
    // in the same millisecond as the value held is not known to be newer.
    if (valueTickSet_ && TVCmnTick::elapsed(readTick, now) >= TVCmnTick::elapsed(valueTick_, now))
        return S_FALSE;
    if (value) {
        const HRESULT hr = storeValueLocked(*value, lcid);
        if (FAILED(hr))
            return hr;
        timestamp_ = std::max(timestamp_, daFileTimeToUint(timestamp));
    }
    quality_ = quality;
    valueTick_ = readTick;
    valueTickSet_ = true;
    return S_OK;
}

void DaCache::setQuality(uint16_t quality)
{
    onQualityChanging(quality);
    DaLockHolder hold(lock_);
    quality_ = quality;
}

uint16_t DaCache::getQuality() const
{
    DaLockHolder hold(lock_);
    return quality_;
}

void DaCache::setTimestamp(const FILETIME& timestamp)
{
    onTimestampChanging(timestamp);
    DaLockHolder hold(lock_);
    timestamp_ = daFileTimeToUint(timestamp);
}

FILETIME DaCache::getTimestamp() const
{
    DaLockHolder hold(lock_);
    return daUintToFileTime(timestamp_);
}

uint64_t DaCache::getTimestamp64() const
{
    DaLockHolder hold(lock_);
    return timestamp_;
}

bool DaCache::holdsValue() const
{
    DaLockHolder hold(lock_);
    return holds(timestamp_);
}

int daUpdateTagValue(DaTag& tag, const VARIANT* value, uint16_t quality, const FILETIME* timestamp, HRESULT result)
{
    if (value && SUCCEEDED(result)) {
        if (DaRef<DaCache> cache = tag.getCache())
            cache->store(*value, quality, timestamp ? *timestamp : daUintToFileTime(DaClock::now()), kDaEngineLcid);
    }
    // Subscribed items read the cache at their group's next cycle; the change test
    // decides what goes out, so the items need no value of their own here. This runs
    // for every loop update: the items are counted, not copied.
    return int(tag.itemCount());
}
