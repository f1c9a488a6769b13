// SAFEARRAY. Like Windows we keep 16 bytes in front of the descriptor for the element
// VARTYPE (the last 4 of them) or the element IID, so SafeArrayGetVartype works on
// arrays we create; the descriptor and the data are separate blocks.
#include <cstdlib>
#include <cstring>

#include "platform/win.h"

namespace {

constexpr std::size_t kPrefixBytes = 16;
constexpr ULONG kMaxLocks = 0xFFFF;

// 0 when vt cannot be an array element type.
ULONG elementSize(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_UI1:
        return 1;
    case VT_I2: case VT_UI2: case VT_BOOL:
        return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
        return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE:
        return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH:
        return sizeof(void*);
    case VT_VARIANT:
        return sizeof(VARIANT);
    case VT_DECIMAL:
        return sizeof(DECIMAL);
    default:
        return 0;
    }
}

USHORT featuresFor(VARTYPE vt)
{
    switch (vt) {
    case VT_BSTR: return FADF_BSTR | FADF_HAVEVARTYPE;
    case VT_UNKNOWN: return FADF_UNKNOWN | FADF_HAVEIID;
    case VT_DISPATCH: return FADF_DISPATCH | FADF_HAVEIID;
    case VT_VARIANT: return FADF_VARIANT | FADF_HAVEVARTYPE;
    default: return FADF_HAVEVARTYPE;
    }
}

BYTE* prefixOf(SAFEARRAY* psa) { return reinterpret_cast<BYTE*>(psa) - kPrefixBytes; }

ULONGLONG elementCount(const SAFEARRAY* psa)
{
    ULONGLONG n = 1;
    for (USHORT i = 0; i < psa->cDims; ++i)
        n *= psa->rgsabound[i].cElements;
    return n;
}

SAFEARRAY* allocDescriptor(UINT cDims)
{
    const std::size_t bytes = kPrefixBytes + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<BYTE*>(std::calloc(1, bytes));
    return block ? reinterpret_cast<SAFEARRAY*>(block + kPrefixBytes) : nullptr;
}

void freeDescriptor(SAFEARRAY* psa) { std::free(prefixOf(psa)); }

void setVartype(SAFEARRAY* psa, VARTYPE vt)
{
    if (psa->fFeatures & FADF_HAVEIID) {
        const IID& iid = vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
        std::memcpy(prefixOf(psa), &iid, sizeof(IID));
    } else {
        const DWORD v = vt;
        std::memcpy(prefixOf(psa) + kPrefixBytes - sizeof(DWORD), &v, sizeof(DWORD));
    }
}

// Releases what the elements own (strings, references, variants) and zeroes them.
void clearElements(SAFEARRAY* psa, ULONGLONG first, ULONGLONG count)
{
    if (!psa->pvData)
        return;
    BYTE* base = static_cast<BYTE*>(psa->pvData) + first * psa->cbElements;
    for (ULONGLONG i = 0; i < count; ++i) {
        void* element = base + i * psa->cbElements;
        if (psa->fFeatures & FADF_BSTR) {
            SysFreeString(*static_cast<BSTR*>(element));
        } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            if (IUnknown* unk = *static_cast<IUnknown**>(element))
                unk->Release();
        } else if (psa->fFeatures & FADF_VARIANT) {
            VariantClear(static_cast<VARIANT*>(element));
        }
    }
    std::memset(base, 0, static_cast<std::size_t>(count * psa->cbElements));
}

// Copies one element from src into dst (which holds nothing that needs releasing).
HRESULT copyElement(USHORT features, ULONG size, void* dst, const void* src)
{
    if (features & FADF_BSTR) {
        BSTR s = *static_cast<const BSTR*>(src);
        BSTR copy = s ? SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s)) : nullptr;
        if (s && !copy)
            return E_OUTOFMEMORY;
        *static_cast<BSTR*>(dst) = copy;
    } else if (features & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* unk = *static_cast<IUnknown* const*>(src);
        if (unk)
            unk->AddRef();
        *static_cast<IUnknown**>(dst) = unk;
    } else if (features & FADF_VARIANT) {
        VariantInit(static_cast<VARIANT*>(dst));
        return VariantCopy(static_cast<VARIANT*>(dst), static_cast<const VARIANT*>(src));
    } else {
        std::memcpy(dst, src, size);
    }
    return S_OK;
}

// Offset of an element. rgIndices[0] is the leftmost dimension (stored last in
// rgsabound) and, as in Automation, varies fastest in memory.
HRESULT elementOffset(const SAFEARRAY* psa, const LONG* rgIndices, ULONGLONG& offset)
{
    ULONGLONG index = 0;
    for (int d = psa->cDims - 1; d >= 0; --d) {
        const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - d];
        const LONGLONG i = static_cast<LONGLONG>(rgIndices[d]) - b.lLbound;
        if (i < 0 || i >= static_cast<LONGLONG>(b.cElements))
            return DISP_E_BADINDEX;
        index = index * b.cElements + static_cast<ULONGLONG>(i);
    }
    offset = index * psa->cbElements;
    return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound)
{
    const ULONG size = elementSize(vt);
    if (!cDims || !rgsabound || !size || cDims > 0xFFFF)
        return nullptr;
    SAFEARRAY* psa = allocDescriptor(cDims);
    if (!psa)
        return nullptr;
    psa->cDims = static_cast<USHORT>(cDims);
    psa->fFeatures = featuresFor(vt);
    psa->cbElements = size;
    for (UINT i = 0; i < cDims; ++i)
        psa->rgsabound[cDims - 1 - i] = rgsabound[i];
    setVartype(psa, vt);
    const ULONGLONG bytes = elementCount(psa) * size;
    if (bytes > 0x7FFFFFFF) {
        freeDescriptor(psa);
        return nullptr;
    }
    psa->pvData = std::calloc(1, bytes ? static_cast<std::size_t>(bytes) : 1);
    if (!psa->pvData) {
        freeDescriptor(psa);
        return nullptr;
    }
    return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements)
{
    SAFEARRAYBOUND bound{cElements, lLbound};
    return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (!psa)
        return S_OK;
    if (psa->cLocks)
        return DISP_E_ARRAYISLOCKED;
    clearElements(psa, 0, elementCount(psa));
    std::free(psa->pvData);
    freeDescriptor(psa);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks >= kMaxLocks)
        return E_UNEXPECTED;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa)
{
    if (!psa)
        return E_INVALIDARG;
    if (psa->cLocks == 0)
        return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData)
{
    if (!psa || !ppvData)
        return E_INVALIDARG;
    HRESULT hr = SafeArrayLock(psa);
    *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
    return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData)
{
    if (!psa || !rgIndices || !ppvData)
        return E_INVALIDARG;
    ULONGLONG offset;
    HRESULT hr = elementOffset(psa, rgIndices, offset);
    if (FAILED(hr))
        return hr;
    *ppvData = static_cast<BYTE*>(psa->pvData) + offset;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices || !pv)
        return E_INVALIDARG;
    ULONGLONG offset;
    HRESULT hr = elementOffset(psa, rgIndices, offset);
    if (FAILED(hr))
        return hr;
    SafeArrayLock(psa);
    hr = copyElement(psa->fFeatures, psa->cbElements, pv, static_cast<BYTE*>(psa->pvData) + offset);
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv)
{
    if (!psa || !rgIndices)
        return E_INVALIDARG;
    // Only references may be put as NULL (a NULL BSTR is the empty string).
    if (!pv && !(psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)))
        return E_INVALIDARG;
    ULONGLONG offset;
    HRESULT hr = elementOffset(psa, rgIndices, offset);
    if (FAILED(hr))
        return hr;
    SafeArrayLock(psa);
    BYTE* slot = static_cast<BYTE*>(psa->pvData) + offset;
    // Build the new element aside, then release the old one and swap it in.
    alignas(VARIANT) BYTE fresh[sizeof(VARIANT)] = {};
    if (psa->fFeatures & FADF_BSTR) {
        BSTR s = static_cast<BSTR>(pv);
        BSTR copy = s ? SysAllocStringByteLen(reinterpret_cast<LPCSTR>(s), SysStringByteLen(s)) : nullptr;
        hr = s && !copy ? E_OUTOFMEMORY : S_OK;
        std::memcpy(fresh, &copy, sizeof copy);
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        auto* unk = static_cast<IUnknown*>(pv);
        if (unk)
            unk->AddRef();
        std::memcpy(fresh, &unk, sizeof unk);
    } else {
        hr = copyElement(psa->fFeatures, psa->cbElements, fresh, pv);
    }
    if (SUCCEEDED(hr)) {
        clearElements(psa, offset / psa->cbElements, 1);
        std::memcpy(slot, fresh, psa->cbElements);
    }
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound)
{
    if (!psa || !plLbound)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound)
{
    if (!psa || !plUbound)
        return E_INVALIDARG;
    if (nDim < 1 || nDim > psa->cDims)
        return DISP_E_BADINDEX;
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(static_cast<LONGLONG>(b.lLbound) + b.cElements - 1);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt)
{
    if (!psa || !pvt)
        return E_INVALIDARG;
    if (psa->fFeatures & FADF_HAVEVARTYPE) {
        DWORD v;
        std::memcpy(&v, prefixOf(psa) + kPrefixBytes - sizeof(DWORD), sizeof v);
        *pvt = static_cast<VARTYPE>(v);
    } else if (psa->fFeatures & FADF_BSTR) {
        *pvt = VT_BSTR;
    } else if (psa->fFeatures & FADF_UNKNOWN) {
        *pvt = VT_UNKNOWN;
    } else if (psa->fFeatures & FADF_DISPATCH) {
        *pvt = VT_DISPATCH;
    } else if (psa->fFeatures & FADF_VARIANT) {
        *pvt = VT_VARIANT;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut)
{
    if (!ppsaOut)
        return E_INVALIDARG;
    *ppsaOut = nullptr;
    if (!psa)
        return S_OK;
    SAFEARRAY* copy = allocDescriptor(psa->cDims);
    if (!copy)
        return E_OUTOFMEMORY;
    std::memcpy(prefixOf(copy), prefixOf(psa), kPrefixBytes);
    copy->cDims = psa->cDims;
    copy->fFeatures = psa->fFeatures & ~(FADF_AUTO | FADF_STATIC | FADF_EMBEDDED | FADF_FIXEDSIZE);
    copy->cbElements = psa->cbElements;
    std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
    const ULONGLONG count = elementCount(psa);
    copy->pvData = std::calloc(1, count ? static_cast<std::size_t>(count * psa->cbElements) : 1);
    if (!copy->pvData) {
        freeDescriptor(copy);
        return E_OUTOFMEMORY;
    }
    for (ULONGLONG i = 0; i < count; ++i) {
        HRESULT hr = copyElement(psa->fFeatures, psa->cbElements,
                                 static_cast<BYTE*>(copy->pvData) + i * psa->cbElements,
                                 static_cast<BYTE*>(psa->pvData) + i * psa->cbElements);
        if (FAILED(hr)) {
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *ppsaOut = copy;
    return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew)
{
    if (!psa || !psaboundNew)
        return E_INVALIDARG;
    if (psa->cLocks)
        return DISP_E_ARRAYISLOCKED;
    // Only the rightmost dimension (rgsabound[0]) may change: it varies slowest in
    // memory, so the elements that stay keep their places.
    SAFEARRAYBOUND& outer = psa->rgsabound[0];
    const ULONGLONG inner = elementCount(psa) / (outer.cElements ? outer.cElements : 1);
    const ULONGLONG oldCount = inner * outer.cElements;
    const ULONGLONG newCount = inner * psaboundNew->cElements;
    if (newCount * psa->cbElements > 0x7FFFFFFF)
        return E_OUTOFMEMORY;
    if (newCount < oldCount)
        clearElements(psa, newCount, oldCount - newCount);
    void* data = std::realloc(psa->pvData, newCount ? static_cast<std::size_t>(newCount * psa->cbElements) : 1);
    if (!data)
        return E_OUTOFMEMORY;
    if (newCount > oldCount)
        std::memset(static_cast<BYTE*>(data) + oldCount * psa->cbElements, 0,
                    static_cast<std::size_t>((newCount - oldCount) * psa->cbElements));
    psa->pvData = data;
    outer = *psaboundNew;
    return S_OK;
}
