#include "namespace/ValueConversion.h"

#include <atomic>
#include <cmath>

#include "da/DaTypes.h"
#include "da/DaVarTypes.h"

namespace {

// One aligned 32-bit word, read and written without a lock: a conversion that races with
// a toggle simply uses either setting.
alignas(4) std::atomic<int32_t> g_fullPrecision{0};
static_assert(sizeof(g_fullPrecision) == 4 && std::atomic<int32_t>::is_always_lock_free);

constexpr int kMaxWriteDecimalPlaces = 6;
constexpr int kSignificantDigitsR4 = 7;
constexpr int kSignificantDigitsR8 = 10;

int32_t integerView(DriveValue drive, bool fullPrecision)
{
    int32_t view = drive.value;
    if (!fullPrecision) {
        // C++ integer division truncates toward zero: -1234 with 2 places gives -12.
        for (int32_t i = 0; i < drive.decimalPlaces; ++i)
            view /= 10;
    }
    return view;
}

// Fewest decimal places (at most 6) that represent x; see variantToDriveValue.
HRESULT scaleFloating(double x, int significantDigits, DriveValue& out)
{
    if (!std::isfinite(x))
        return OPC_E_RANGE;
    const double rounding = x >= 0.0 ? 0.5 : -0.5;
    int places = 0;
    for (;;) {
        const double n = std::trunc(x + rounding);
        const double error = std::fabs(x - n);
        if (error > std::pow(10.0, places - significantDigits) && places < kMaxWriteDecimalPlaces) {
            x *= 10.0;
            ++places;
            continue;
        }
        break;
    }
    const double n = std::trunc(x + rounding);
    // A value whose scaled integer does not fit the drive's 32 bits (3000.3 as VT_R4 needs
    // 6 places: 3000300049) is refused rather than wrapped or silently cut to fewer
    // places: the write is not started and the client sees OPC_E_RANGE, the code OPC
    // clients already know for values the item cannot take.
    if (n > 2147483647.0 || n < -2147483648.0)
        return OPC_E_RANGE;
    out.value = static_cast<int32_t>(n);
    out.decimalPlaces = places;
    return S_OK;
}

}  // namespace

VARTYPE vtFromName(std::string_view name) { return daVarTypeFromName(name); }

const char* vtToName(VARTYPE vt) { return daVarTypeToName(vt); }

uint32_t accessFromName(std::string_view name)
{
    if (name == "READ")
        return kDaAccessReadable;
    if (name == "WRITE")
        return kDaAccessWritable;
    if (name == "READWRITE")
        return kDaAccessReadable | kDaAccessWritable;
    return 0;
}

void setFullPrecisionMode(bool on) { g_fullPrecision.store(on ? 1 : 0, std::memory_order_relaxed); }

bool fullPrecisionMode() { return g_fullPrecision.load(std::memory_order_relaxed) != 0; }

HRESULT driveValueToVariant(DriveValue drive, VARTYPE vt, bool fullPrecision, VARIANT* out)
{
    if (!out)
        return E_INVALIDARG;
    VariantInit(out);
    const int32_t view = integerView(drive, fullPrecision);
    switch (vt) {
    case VT_I1:
        out->cVal = static_cast<CHAR>(view & 0xFF);
        break;
    case VT_UI1:
        out->bVal = static_cast<BYTE>(view & 0xFF);
        break;
    case VT_I2:
        out->iVal = static_cast<SHORT>(view & 0xFFFF);
        break;
    case VT_UI2:
        out->uiVal = static_cast<USHORT>(view & 0xFFFF);
        break;
    case VT_I4:
        out->lVal = view;
        break;
    case VT_UI4:
        out->ulVal = static_cast<ULONG>(view);
        break;
    case VT_BOOL:
        out->boolVal = view != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case VT_R4: {
        // Repeated multiplication by the single-precision 0.1, as the drives' own tools
        // show the value; a division by a power of ten may differ in the last bit.
        float value = static_cast<float>(drive.value);
        for (int32_t i = 0; i < drive.decimalPlaces; ++i)
            value *= 0.1f;
        out->fltVal = value;
        break;
    }
    case VT_R8: {
        double value = static_cast<double>(drive.value);
        for (int32_t i = 0; i < drive.decimalPlaces; ++i)
            value *= 0.1;
        out->dblVal = value;
        break;
    }
    default:
        return DISP_E_BADVARTYPE;
    }
    out->vt = vt;
    return S_OK;
}

HRESULT variantToDriveValue(const VARIANT& written, bool fullPrecision, DriveValue& out)
{
    const int32_t integerPlaces = fullPrecision ? -1 : 0;
    switch (written.vt) {
    case VT_I1:
        out = {static_cast<int32_t>(static_cast<signed char>(written.cVal)), integerPlaces};
        return S_OK;
    case VT_UI1:
        out = {static_cast<int32_t>(written.bVal), integerPlaces};
        return S_OK;
    case VT_I2:
        out = {static_cast<int32_t>(written.iVal), integerPlaces};
        return S_OK;
    case VT_UI2:
        out = {static_cast<int32_t>(written.uiVal), integerPlaces};
        return S_OK;
    case VT_I4:
        out = {static_cast<int32_t>(written.lVal), integerPlaces};
        return S_OK;
    case VT_UI4:
        out = {static_cast<int32_t>(written.ulVal), integerPlaces};
        return S_OK;
    case VT_BOOL:
        out = {written.boolVal != 0 ? 1 : 0, integerPlaces};
        return S_OK;
    case VT_R4:
        return scaleFloating(static_cast<double>(written.fltVal), kSignificantDigitsR4, out);
    case VT_R8:
        return scaleFloating(written.dblVal, kSignificantDigitsR8, out);
    default:
        return DISP_E_BADVARTYPE;
    }
}
