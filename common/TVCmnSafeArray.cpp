#include "common/TVCmnSafeArray.h"

#include "common/TVCmnException.h"

TVCmnSafeArray TVCmnSafeArray::createVector(VARTYPE elementType, ULONG count)
{
    TVCmnSafeArray result;
    result.array_ = tvCmnCheckAlloc(SafeArrayCreateVector(elementType, 0, count));
    return result;
}

std::size_t TVCmnSafeArray::count() const noexcept
{
    LONG lower = 0;
    LONG upper = -1;
    if (!array_ || SafeArrayGetDim(array_) != 1 || FAILED(SafeArrayGetLBound(array_, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array_, 1, &upper)) || upper < lower)
        return 0;
    return static_cast<std::size_t>(upper - lower) + 1;
}
