#include "tools/ClientText.h"

#include <cctype>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kvopc {
namespace {

struct Named {
    std::uint32_t code;
    const char* name;
};

// Substatus names by quality and substatus bits (0xFC of the quality).
constexpr Named kQualityNames[] = {
    {0x00, "bad"},
    {0x04, "bad configuration error"},
    {0x08, "bad not connected"},
    {0x0C, "bad device failure"},
    {0x10, "bad sensor failure"},
    {0x14, "bad last known value"},
    {0x18, "bad comm failure"},
    {0x1C, "bad out of service"},
    {0x20, "bad waiting for initial data"},
    {0x40, "uncertain"},
    {0x44, "uncertain last usable value"},
    {0x50, "uncertain sensor not accurate"},
    {0x54, "uncertain EU units exceeded"},
    {0x58, "uncertain sub-normal"},
    {0xC0, "good"},
    {0xD8, "good local override"},
};
constexpr const char* kLimitNames[] = {"", ", low limited", ", high limited", ", constant"};
constexpr std::uint16_t kPlainGood = 0xC0;

constexpr Named kTypeNames[] = {
    {VT_EMPTY, "EMPTY"}, {VT_NULL, "NULL"},   {VT_I2, "I2"},       {VT_I4, "I4"},     {VT_R4, "R4"},
    {VT_R8, "R8"},       {VT_CY, "CY"},       {VT_DATE, "DATE"},   {VT_BSTR, "BSTR"}, {VT_ERROR, "ERROR"},
    {VT_BOOL, "BOOL"},   {VT_VARIANT, "VARIANT"}, {VT_DECIMAL, "DECIMAL"}, {VT_I1, "I1"}, {VT_UI1, "UI1"},
    {VT_UI2, "UI2"},     {VT_UI4, "UI4"},     {VT_I8, "I8"},       {VT_UI8, "UI8"},   {VT_INT, "INT"},
    {VT_UINT, "UINT"},
};

// The codes an OPC client meets: OPC DA results, COM and RPC failures on the way.
constexpr Named kResultNames[] = {
    {0x00000000, "S_OK"},
    {0x00000001, "S_FALSE"},
    {0x0004000D, "OPC_S_UNSUPPORTEDRATE"},
    {0x0004000E, "OPC_S_CLAMP"},
    {0x0004000F, "OPC_S_INUSE"},
    {0x00040404, "OPC_S_DATAQUEUEOVERFLOW"},
    {0x80004001, "E_NOTIMPL"},
    {0x80004002, "E_NOINTERFACE"},
    {0x80004003, "E_POINTER"},
    {0x80004005, "E_FAIL"},
    {0x8000000A, "E_PENDING"},
    {0x80070005, "E_ACCESSDENIED"},
    {0x8007000E, "E_OUTOFMEMORY"},
    {0x80070057, "E_INVALIDARG"},
    {0x80020005, "DISP_E_TYPEMISMATCH"},
    {0x8002000A, "DISP_E_OVERFLOW"},
    {0x80040064, "DV_E_FORMATETC"},
    {0x80040068, "DV_E_LINDEX"},
    {0x80040069, "DV_E_TYMED"},
    {0x8004006B, "DV_E_DVASPECT"},
    {0x80040154, "REGDB_E_CLASSNOTREG"},
    {0x80040200, "CONNECT_E_NOCONNECTION"},
    {0x80040201, "CONNECT_E_ADVISELIMIT"},
    {0x80040202, "CONNECT_E_CANNOTCONNECT"},
    {0x800401F3, "CO_E_CLASSSTRING"},
    {0x80080005, "CO_E_SERVER_EXEC_FAILURE"},
    {0x80010108, "RPC_E_DISCONNECTED"},
    {0x800706BA, "RPC_S_SERVER_UNAVAILABLE"},
    {0x800706BE, "RPC_S_CALL_FAILED"},
    {0xC0040001, "OPC_E_INVALIDHANDLE"},
    {0xC0040004, "OPC_E_BADTYPE"},
    {0xC0040005, "OPC_E_PUBLIC"},
    {0xC0040006, "OPC_E_BADRIGHTS"},
    {0xC0040007, "OPC_E_UNKNOWNITEMID"},
    {0xC0040008, "OPC_E_INVALIDITEMID"},
    {0xC0040009, "OPC_E_INVALIDFILTER"},
    {0xC004000A, "OPC_E_UNKNOWNPATH"},
    {0xC004000B, "OPC_E_RANGE"},
    {0xC004000C, "OPC_E_DUPLICATENAME"},
    {0xC0040010, "OPC_E_INVALIDCONFIGFILE"},
    {0xC0040011, "OPC_E_NOTFOUND"},
    {0xC0040203, "OPC_E_INVALID_PID"},
    {0xC0040400, "OPC_E_DEADBANDNOTSET"},
    {0xC0040401, "OPC_E_DEADBANDNOTSUPPORTED"},
    {0xC0040402, "OPC_E_NOBUFFERING"},
    {0xC0040403, "OPC_E_INVALIDCONTINUATIONPOINT"},
    {0xC0040405, "OPC_E_RATENOTSET"},
    {0xC0040406, "OPC_E_NOTSUPPORTED"},
};

template <size_t N>
const char* find(const Named (&table)[N], std::uint32_t code)
{
    for (const Named& row : table)
        if (row.code == code)
            return row.name;
    return nullptr;
}

template <class Float>
std::string floatText(Float value)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string dateText(DATE date)
{
    SYSTEMTIME time = {};
    if (!VariantTimeToSystemTime(date, &time))
        return "invalid date " + floatText(date);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
                  time.wHour, time.wMinute, time.wSecond);
    return buffer;
}

std::string currencyText(CY value)
{
    // Four implied decimal places.
    const long long units = value.int64;
    const unsigned long long magnitude = units < 0 ? 0ull - static_cast<unsigned long long>(units) : units;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%s%llu.%04llu", units < 0 ? "-" : "", magnitude / 10000, magnitude % 10000);
    return buffer;
}

std::string hex32(std::uint32_t value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(value));
    return buffer;
}

// One element of the value's type at `data`.
std::string scalarText(VARTYPE type, const void* data)
{
    switch (type) {
    case VT_EMPTY: return "(empty)";
    case VT_NULL: return "(null)";
    case VT_I1: return std::to_string(*static_cast<const signed char*>(data));
    case VT_UI1: return std::to_string(*static_cast<const unsigned char*>(data));
    case VT_I2: return std::to_string(*static_cast<const SHORT*>(data));
    case VT_UI2: return std::to_string(*static_cast<const USHORT*>(data));
    case VT_I4:
    case VT_INT: return std::to_string(*static_cast<const LONG*>(data));
    case VT_UI4:
    case VT_UINT: return std::to_string(*static_cast<const ULONG*>(data));
    case VT_I8: return std::to_string(*static_cast<const LONGLONG*>(data));
    case VT_UI8: return std::to_string(*static_cast<const ULONGLONG*>(data));
    case VT_R4: return floatText(*static_cast<const FLOAT*>(data));
    case VT_R8: return floatText(*static_cast<const DOUBLE*>(data));
    case VT_BOOL: return *static_cast<const VARIANT_BOOL*>(data) ? "true" : "false";
    case VT_CY: return currencyText(*static_cast<const CY*>(data));
    case VT_DATE: return dateText(*static_cast<const DATE*>(data));
    case VT_ERROR: return "error " + hex32(static_cast<std::uint32_t>(*static_cast<const SCODE*>(data)));
    case VT_BSTR: {
        BSTR text = *static_cast<const BSTR*>(data);
        return "\"" + narrow(text ? text : L"") + "\"";
    }
    case VT_VARIANT: return valueText(*static_cast<const VARIANT*>(data));
    default: return "(" + typeName(type) + ")";
    }
}

std::string arrayText(VARTYPE elementType, SAFEARRAY* array)
{
    if (!array || SafeArrayGetDim(array) != 1)
        return "(" + typeName(elementType | VT_ARRAY) + ", not one-dimensional)";
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    const size_t size = elementType == VT_BSTR      ? sizeof(BSTR)
                        : elementType == VT_VARIANT ? sizeof(VARIANT)
                                                    : fixedValueBytes(elementType);
    void* data = nullptr;
    if (size == 0 || FAILED(SafeArrayAccessData(array, &data)))
        return "(" + typeName(elementType | VT_ARRAY) + ")";
    std::string text = "[";
    for (LONG i = 0; i <= upper - lower; ++i) {
        if (i)
            text += ", ";
        text += scalarText(elementType, static_cast<const char*>(data) + i * size);
    }
    SafeArrayUnaccessData(array);
    return text + "]";
}

bool equalsIgnoringCase(const std::string& a, const char* b)
{
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string outOfRange(const std::string& text, VARTYPE type)
{
    return "'" + text + "' is out of range for " + typeName(type);
}

// Whole-text integer readings; strtoll alone would take "12abc" and " 12".
bool readSigned(const std::string& text, long long& value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    const auto result = std::from_chars(text.data() + (text[0] == '+'), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool readUnsigned(const std::string& text, unsigned long long& value)
{
    if (text.empty() || text[0] == '-' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    const auto result = std::from_chars(text.data() + (text[0] == '+'), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

size_t fixedValueBytes(VARTYPE type)
{
    switch (type) {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE: return 8;
    default: return 0;
    }
}

std::string qualityText(std::uint16_t quality)
{
    if (quality == kPlainGood)
        return "good";
    const std::uint16_t status = quality & 0xFC;
    std::string text;
    if (const char* name = find(kQualityNames, status))
        text = name;
    else if ((status & 0xC0) == 0x80)
        text = "not a quality";
    else
        text = std::string(find(kQualityNames, status & 0xC0)) + " substatus " + std::to_string((status >> 2) & 0x0F);
    text += kLimitNames[quality & 0x03];
    char code[16];
    std::snprintf(code, sizeof code, quality > 0xFF ? " (0x%04X)" : " (0x%02X)", quality);
    return text + code;
}

std::string fileTimeText(const FILETIME& time)
{
    if (time.dwHighDateTime == 0 && time.dwLowDateTime == 0)
        return "-";
    SYSTEMTIME utc = {};
    if (!FileTimeToSystemTime(&time, &utc))
        return "-";
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth, utc.wDay,
                  utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
    return buffer;
}

std::string valueText(const VARIANT& value)
{
    const VARTYPE type = value.vt;
    if (type & VT_BYREF)
        return "(" + typeName(type & ~VT_BYREF) + " by reference)";
    if (type & VT_ARRAY)
        return arrayText(type & VT_TYPEMASK, value.parray);
    if (type == VT_DECIMAL) {
        VARIANT asDouble;
        VariantInit(&asDouble);
        if (SUCCEEDED(VariantChangeType(&asDouble, const_cast<VARIANT*>(&value), 0, VT_R8)))
            return floatText(asDouble.dblVal);
        return "(DECIMAL)";
    }
    // Every scalar member of the union starts at the same place.
    return scalarText(type, &value.bVal);
}

std::string typeName(VARTYPE type)
{
    if (type & VT_ARRAY)
        return typeName(type & VT_TYPEMASK) + "[]";
    if (const char* name = find(kTypeNames, type))
        return name;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "VT 0x%04X", type);
    return buffer;
}

bool parseTypeName(const std::string& text, VARTYPE& type)
{
    std::string name = text;
    if (name.size() > 3 && equalsIgnoringCase(name.substr(0, 3), "vt_"))
        name = name.substr(3);
    VARTYPE array = 0;
    if (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
        array = VT_ARRAY;
        name.resize(name.size() - 2);
    }
    for (const Named& row : kTypeNames)
        if (equalsIgnoringCase(name, row.name)) {
            type = static_cast<VARTYPE>(row.code | array);
            return true;
        }
    return false;
}

std::string accessText(DWORD rights)
{
    switch (rights & 0x3) {
    case 1: return "read";
    case 2: return "write";
    case 3: return "read/write";
    default: return "none";
    }
}

std::string resultName(HRESULT result)
{
    if (const char* name = find(kResultNames, static_cast<std::uint32_t>(result)))
        return name;
    return hex32(static_cast<std::uint32_t>(result));
}

std::string narrow(const wchar_t* text)
{
    if (!text || !*text)
        return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return {};
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (chars <= 1)
        return {};
    std::wstring out(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), chars);
    out.resize(static_cast<size_t>(chars) - 1);
    return out;
}

std::string parseValue(const std::string& text, VARTYPE type, VARIANT& out)
{
    VariantInit(&out);
    long long whole = 0;
    unsigned long long positive = 0;
    auto signedIn = [&](long long low, long long high) {
        if (!readSigned(text, whole))
            return "'" + text + "' is not a whole number";
        return whole < low || whole > high ? outOfRange(text, type) : std::string();
    };
    auto unsignedIn = [&](unsigned long long high) {
        if (!readUnsigned(text, positive))
            return "'" + text + "' is not a whole number of zero or more";
        return positive > high ? outOfRange(text, type) : std::string();
    };
    std::string error;
    switch (type) {
    case VT_I1:
        if ((error = signedIn(-128, 127)).empty())
            out.cVal = static_cast<CHAR>(whole);
        break;
    case VT_I2:
        if ((error = signedIn(-32768, 32767)).empty())
            out.iVal = static_cast<SHORT>(whole);
        break;
    case VT_I4:
    case VT_INT:
        if ((error = signedIn(std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max())).empty())
            out.lVal = static_cast<LONG>(whole);
        break;
    case VT_I8:
        if ((error = signedIn(std::numeric_limits<long long>::min(), std::numeric_limits<long long>::max())).empty())
            out.llVal = whole;
        break;
    case VT_UI1:
        if ((error = unsignedIn(255)).empty())
            out.bVal = static_cast<BYTE>(positive);
        break;
    case VT_UI2:
        if ((error = unsignedIn(65535)).empty())
            out.uiVal = static_cast<USHORT>(positive);
        break;
    case VT_UI4:
    case VT_UINT:
        if ((error = unsignedIn(0xFFFFFFFFull)).empty())
            out.ulVal = static_cast<ULONG>(positive);
        break;
    case VT_UI8:
        if ((error = unsignedIn(std::numeric_limits<unsigned long long>::max())).empty())
            out.ullVal = positive;
        break;
    case VT_R4:
    case VT_R8: {
        double number = 0;
        const auto result = std::from_chars(text.data() + (!text.empty() && text[0] == '+'),
                                            text.data() + text.size(), number);
        if (text.empty() || result.ec == std::errc::invalid_argument || result.ptr != text.data() + text.size())
            error = "'" + text + "' is not a number";
        else if (result.ec == std::errc::result_out_of_range || !std::isfinite(number) ||
                 (type == VT_R4 && std::fabs(number) > FLT_MAX))
            error = outOfRange(text, type);
        else if (type == VT_R4)
            out.fltVal = static_cast<FLOAT>(number);
        else
            out.dblVal = number;
        break;
    }
    case VT_BOOL:
        if (equalsIgnoringCase(text, "true") || text == "1" || equalsIgnoringCase(text, "on"))
            out.boolVal = VARIANT_TRUE;
        else if (equalsIgnoringCase(text, "false") || text == "0" || equalsIgnoringCase(text, "off"))
            out.boolVal = VARIANT_FALSE;
        else
            error = "'" + text + "' is not true or false";
        break;
    default: {
        // Strings, and what the server converts from text itself (dates, currency).
        const std::wstring wide = widen(text);
        out.bstrVal = SysAllocString(wide.c_str());
        if (!out.bstrVal)
            return "out of memory";
        out.vt = VT_BSTR;
        return {};
    }
    }
    if (error.empty())
        out.vt = type;
    return error;
}

}  // namespace kvopc
