#include "da/DaV1Stream.h"

#include <cstring>
#include <new>

#include "common/TVCmnQuality.h"

namespace {
constexpr size_t kGrowBytes = 0x400;

class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    void u16(uint16_t v) { raw(&v, 2); }
    void u32(uint32_t v) { raw(&v, 4); }
    void zeros(size_t n) { bytes_.insert(bytes_.end(), n, 0); }
    void raw(const void* data, size_t n)
    {
        // Both builds are little-endian (x86_64), as the stream is.
        if (bytes_.capacity() - bytes_.size() < n)
            bytes_.reserve(bytes_.size() + std::max(n, kGrowBytes));
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + n);
    }
    size_t size() const { return bytes_.size(); }
    void patch32(size_t offset, uint32_t v) { std::memcpy(bytes_.data() + offset, &v, 4); }

private:
    std::vector<uint8_t>& bytes_;
};

// Size of one element in the 32-bit layout; 0 for types the stream cannot carry.
uint32_t wireElementBytes(VARTYPE type)
{
    switch (type) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_R8: case VT_DATE: case VT_CY: case VT_I8: case VT_UI8: return 8;
    case VT_BSTR: return 4;  // a 32-bit pointer, written as 0
    case VT_VARIANT: return kDaV1VariantBytes;
    case VT_DECIMAL: return 16;
    default: return 0;
    }
}

// UTF-16 units of a BSTR; wchar_t is 4 bytes on Linux, 2 on Windows.
void utf16Of(BSTR text, std::vector<uint16_t>& units)
{
    units.clear();
    if (!text)
        return;
    const UINT length = SysStringLen(text);
    for (UINT i = 0; i < length; ++i) {
        const uint32_t c = uint32_t(text[i]);
        if (sizeof(wchar_t) == 4 && c > 0xFFFF) {
            units.push_back(uint16_t(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(uint16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(uint16_t(c));
        }
    }
}

void writeText(ByteWriter& out, BSTR text)
{
    std::vector<uint16_t> units;
    utf16Of(text, units);
    out.u32(uint32_t(units.size() * 2));
    if (!units.empty())
        out.raw(units.data(), units.size() * 2);
    out.u16(0);
}

// The 16-byte VARIANT: vt, three reserved words, 8 bytes of data (pointers as 0).
void writeVariantHead(ByteWriter& out, const VARIANT& value)
{
    if (value.vt == VT_DECIMAL) {
        uint8_t bytes[16];
        std::memcpy(bytes, &value.decVal, 16);
        std::memcpy(bytes, &value.vt, 2);  // DECIMAL's reserved word is where vt lives
        out.raw(bytes, 16);
        return;
    }
    out.u16(value.vt);
    out.zeros(6);
    const uint32_t size = (value.vt & (VT_ARRAY | VT_BYREF)) ? 0 : wireElementBytes(value.vt);
    if (value.vt == VT_BSTR || value.vt == VT_VARIANT || size == 0) {
        out.zeros(8);
        return;
    }
    out.raw(&value.llVal, size);
    out.zeros(8 - size);
}

void writeArray(ByteWriter& out, const VARIANT& value)
{
    writeVariantHead(out, value);
    SAFEARRAY* array = value.parray;
    VARTYPE type = VARTYPE(value.vt & ~VT_ARRAY);
    const uint32_t elementBytes = wireElementBytes(type);
    const UINT dims = array ? SafeArrayGetDim(array) : 0;
    // Several dimensions go out as their elements in storage order, counted as one
    // dimension of the first's lower bound: a reader that knows only vectors gets all
    // the values.
    uint32_t count = 0;
    LONG lowerBound = 0;
    if (array && dims > 0) {
        count = 1;
        for (UINT d = 0; d < dims; ++d)
            count *= array->rgsabound[d].cElements;
        lowerBound = array->rgsabound[dims - 1].lLbound;
    }
    out.u16(uint16_t(dims ? 1 : 0));
    out.u16(array ? array->fFeatures : 0);
    out.u32(elementBytes);
    out.u32(0);  // cLocks
    out.u32(0);  // pvData
    out.u32(count);
    out.u32(uint32_t(lowerBound));
    if (!array || count == 0)
        return;
    const auto* data = static_cast<const uint8_t*>(array->pvData);
    const UINT sourceBytes = SafeArrayGetElemsize(array);
    if (type == VT_BSTR) {
        out.zeros(size_t(count) * elementBytes);
        for (uint32_t i = 0; i < count; ++i)
            writeText(out, *reinterpret_cast<const BSTR*>(data + size_t(i) * sourceBytes));
    } else if (type == VT_VARIANT) {
        for (uint32_t i = 0; i < count; ++i)
            writeVariantHead(out, *reinterpret_cast<const VARIANT*>(data + size_t(i) * sourceBytes));
    } else if (elementBytes == sourceBytes) {
        out.raw(data, size_t(count) * elementBytes);
    } else {
        out.zeros(size_t(count) * elementBytes);
    }
}

void writeValue(ByteWriter& out, const VARIANT* value)
{
    VARIANT empty;
    VariantInit(&empty);
    const VARIANT& v = value ? *value : empty;
    if (v.vt & VT_ARRAY) {
        writeArray(out, v);
        return;
    }
    writeVariantHead(out, v);
    if (v.vt == VT_BSTR)
        writeText(out, v.bstrVal);
}
}  // namespace

bool daBuildV1DataStream(bool withTime, uint32_t groupClientHandle, uint32_t transactionId,
                         std::span<const DaV1DataEntry> entries, std::vector<uint8_t>& stream)
{
    try {
        const uint32_t itemBytes = withTime ? kDaV1ItemHeaderTimeBytes : kDaV1ItemHeaderBytes;
        const uint32_t headerBytes = kDaV1GroupHeaderBytes + uint32_t(entries.size()) * itemBytes;
        // Headers and values grow in buffers of their own; value offsets are known
        // only once the header area's size is.
        std::vector<uint8_t> headers;
        std::vector<uint8_t> values;
        headers.reserve(std::max<size_t>(headerBytes, kGrowBytes));
        values.reserve(kGrowBytes);
        ByteWriter h(headers);
        ByteWriter v(values);
        bool allGood = true;
        h.u32(0);  // dwSize, below
        h.u32(uint32_t(entries.size()));
        h.u32(groupClientHandle);
        h.u32(transactionId);
        h.u32(0);  // hrStatus, below
        for (const DaV1DataEntry& entry : entries) {
            allGood = allGood && TVCmnQuality::isGood(entry.quality);
            h.u32(entry.clientHandle);
            h.u32(headerBytes + uint32_t(v.size()));
            h.u16(entry.quality);
            h.u16(0);
            if (withTime) {
                h.u32(entry.timestamp.dwLowDateTime);
                h.u32(entry.timestamp.dwHighDateTime);
            }
            writeValue(v, entry.value);
        }
        h.patch32(0, uint32_t(headers.size() + values.size()));
        h.patch32(16, allGood ? uint32_t(S_OK) : uint32_t(S_FALSE));
        stream.clear();
        stream.reserve(headers.size() + values.size());
        stream.insert(stream.end(), headers.begin(), headers.end());
        stream.insert(stream.end(), values.begin(), values.end());
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool daBuildV1WriteCompleteStream(uint32_t groupClientHandle, uint32_t transactionId,
                                  std::span<const DaV1WriteEntry> entries, std::vector<uint8_t>& stream)
{
    try {
        stream.clear();
        ByteWriter out(stream);
        bool anyFailed = false;
        for (const DaV1WriteEntry& entry : entries)
            anyFailed = anyFailed || entry.error != S_OK;
        out.u32(uint32_t(entries.size()));
        out.u32(groupClientHandle);
        out.u32(transactionId);
        out.u32(anyFailed ? uint32_t(S_FALSE) : uint32_t(S_OK));
        for (const DaV1WriteEntry& entry : entries) {
            out.u32(entry.clientHandle);
            out.u32(uint32_t(entry.error));
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

HGLOBAL daStreamToHGlobal(const std::vector<uint8_t>& stream)
{
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, stream.size());
    if (!memory)
        return nullptr;
    void* target = GlobalLock(memory);
    if (!target) {
        GlobalFree(memory);
        return nullptr;
    }
    std::memcpy(target, stream.data(), stream.size());
    GlobalUnlock(memory);
    return memory;
}
