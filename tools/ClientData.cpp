#include "tools/ClientData.h"

#include <cstring>

#include "tools/ClientText.h"

namespace kvopc {
namespace {

constexpr size_t kGroupHeaderBytes = 20;
constexpr size_t kItemHeaderBytes = 12;
constexpr size_t kItemHeaderWithTimeBytes = 20;
// In the stream a VARIANT is 16 bytes whatever the process's pointer size: the type
// at 0, the 8 data bytes at 8, pointers written as 0.
constexpr size_t kStreamVariantBytes = 16;
constexpr size_t kStreamVariantDataOffset = 8;
constexpr size_t kStreamArrayDescriptorBytes = 24;

std::uint32_t u32(const unsigned char* at)
{
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::uint16_t u16(const unsigned char* at)
{
    std::uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Reader over the stream that refuses to step outside it.
class Cursor {
public:
    Cursor(const unsigned char* data, size_t size, size_t at) : data_(data), size_(size), at_(at) {}
    bool has(size_t bytes) const { return at_ <= size_ && bytes <= size_ - at_; }
    const unsigned char* take(size_t bytes)
    {
        const unsigned char* here = data_ + at_;
        at_ += bytes;
        return here;
    }

private:
    const unsigned char* data_;
    size_t size_;
    size_t at_;
};

// A stream string: u32 byte length, UTF-16 text, a 16-bit zero.
BSTR readString(Cursor& cursor)
{
    if (!cursor.has(4))
        return nullptr;
    const std::uint32_t bytes = u32(cursor.take(4));
    if (bytes % 2 != 0 || !cursor.has(static_cast<size_t>(bytes) + 2))
        return nullptr;
    const unsigned char* text = cursor.take(bytes);
    cursor.take(2);
    std::wstring wide(bytes / 2, L'\0');
    for (size_t i = 0; i < wide.size(); ++i)
        wide[i] = static_cast<wchar_t>(u16(text + 2 * i));
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

bool readArray(Cursor& cursor, VARTYPE elementType, VARIANT& value, std::string& error)
{
    if (!cursor.has(kStreamArrayDescriptorBytes)) {
        error = "array descriptor beyond the stream";
        return false;
    }
    const unsigned char* descriptor = cursor.take(kStreamArrayDescriptorBytes);
    const std::uint16_t dims = u16(descriptor);
    const std::uint32_t elementBytes = u32(descriptor + 4);
    const std::uint32_t count = u32(descriptor + 16);
    const LONG lowerBound = static_cast<LONG>(u32(descriptor + 20));
    // A text array's element area holds one pointer-sized slot per element (written as
    // 0), its texts follow; other arrays hold their elements there.
    const bool sizeFits = elementType == VT_BSTR ? (elementBytes == 4 || elementBytes == 8)
                                                 : fixedValueBytes(elementType) != 0 && elementBytes == fixedValueBytes(elementType);
    if (dims != 1 || !sizeFits) {
        error = "array of type " + std::to_string(elementType) + " the client cannot read";
        return false;
    }
    if (!cursor.has(static_cast<size_t>(count) * elementBytes)) {
        error = "array data beyond the stream";
        return false;
    }
    const unsigned char* elements = cursor.take(static_cast<size_t>(count) * elementBytes);
    SAFEARRAY* array = SafeArrayCreateVector(elementType, lowerBound, count);
    if (!array) {
        error = "out of memory";
        return false;
    }
    void* target = nullptr;
    SafeArrayAccessData(array, &target);
    bool ok = true;
    if (elementType == VT_BSTR) {
        for (std::uint32_t i = 0; i < count && ok; ++i) {
            BSTR text = readString(cursor);
            ok = text != nullptr;
            static_cast<BSTR*>(target)[i] = text;
        }
    } else {
        std::memcpy(target, elements, static_cast<size_t>(count) * elementBytes);
    }
    SafeArrayUnaccessData(array);
    if (!ok) {
        SafeArrayDestroy(array);
        error = "array text beyond the stream";
        return false;
    }
    value.vt = static_cast<VARTYPE>(VT_ARRAY | elementType);
    value.parray = array;
    return true;
}

bool readValue(const unsigned char* data, size_t size, size_t offset, VARIANT& value, std::string& error)
{
    Cursor cursor(data, size, offset);
    if (!cursor.has(kStreamVariantBytes)) {
        error = "value at " + std::to_string(offset) + " beyond the stream";
        return false;
    }
    const unsigned char* variant = cursor.take(kStreamVariantBytes);
    const VARTYPE type = u16(variant);
    if (type & VT_ARRAY)
        return readArray(cursor, type & VT_TYPEMASK, value, error);
    if (type == VT_BSTR) {
        BSTR text = readString(cursor);
        if (!text) {
            error = "text at " + std::to_string(offset) + " beyond the stream";
            return false;
        }
        value.vt = VT_BSTR;
        value.bstrVal = text;
        return true;
    }
    if (type != VT_EMPTY && type != VT_NULL && fixedValueBytes(type) == 0) {
        error = "value of type " + std::to_string(type) + " the client cannot read";
        return false;
    }
    std::memcpy(&value.bVal, variant + kStreamVariantDataOffset, fixedValueBytes(type));
    value.vt = type;
    return true;
}

void render(const std::vector<BrowseEntry>& entries, bool pruneEmpty, const std::string& path, int depth,
            std::string& out);

bool hasItems(const BrowseEntry& entry)
{
    if (!entry.branch)
        return true;
    for (const BrowseEntry& child : entry.children)
        if (hasItems(child))
            return true;
    return false;
}

void render(const std::vector<BrowseEntry>& entries, bool pruneEmpty, const std::string& path, int depth,
            std::string& out)
{
    for (const BrowseEntry& entry : entries) {
        if (pruneEmpty && !hasItems(entry))
            continue;
        const std::string full = path.empty() ? entry.name : path + "." + entry.name;
        out.append(static_cast<size_t>(depth) * 2, ' ');
        out += entry.name;
        if (entry.branch)
            out += "/";
        else if (!entry.itemId.empty() && entry.itemId != full)
            out += "  (" + entry.itemId + ")";
        out += "\n";
        if (entry.branch)
            render(entry.children, pruneEmpty, full, depth + 1, out);
    }
}

}  // namespace

ItemValue::ItemValue(ItemValue&& other) noexcept
    : clientHandle(other.clientHandle), quality(other.quality), timestamp(other.timestamp), value(other.value)
{
    VariantInit(&other.value);
}

ItemValue& ItemValue::operator=(ItemValue&& other) noexcept
{
    if (this != &other) {
        VariantClear(&value);
        clientHandle = other.clientHandle;
        quality = other.quality;
        timestamp = other.timestamp;
        value = other.value;
        VariantInit(&other.value);
    }
    return *this;
}

bool readV1DataStream(const unsigned char* data, size_t size, bool withTimestamps, V1StreamHeader& header,
                      std::vector<ItemValue>& items, std::string& error)
{
    items.clear();
    if (!data || size < kGroupHeaderBytes) {
        error = "stream shorter than its group header";
        return false;
    }
    const std::uint32_t declared = u32(data);
    if (declared < kGroupHeaderBytes || declared > size) {
        error = "stream size " + std::to_string(declared) + " does not fit the " + std::to_string(size) +
                " bytes received";
        return false;
    }
    size = declared;
    header.itemCount = u32(data + 4);
    header.clientGroup = u32(data + 8);
    header.transactionId = u32(data + 12);
    header.status = static_cast<HRESULT>(u32(data + 16));
    const size_t itemHeaderBytes = withTimestamps ? kItemHeaderWithTimeBytes : kItemHeaderBytes;
    if (header.itemCount > (size - kGroupHeaderBytes) / itemHeaderBytes) {
        error = std::to_string(header.itemCount) + " item headers do not fit the stream";
        return false;
    }
    for (std::uint32_t i = 0; i < header.itemCount; ++i) {
        const unsigned char* item = data + kGroupHeaderBytes + i * itemHeaderBytes;
        ItemValue value;
        value.clientHandle = u32(item);
        const std::uint32_t offset = u32(item + 4);
        value.quality = u16(item + 8);
        if (withTimestamps) {
            value.timestamp.dwLowDateTime = u32(item + 12);
            value.timestamp.dwHighDateTime = u32(item + 16);
        }
        if (!readValue(data, size, offset, value.value, error)) {
            items.clear();
            return false;
        }
        items.push_back(std::move(value));
    }
    return true;
}

std::string renderTree(const std::vector<BrowseEntry>& roots, bool pruneEmpty, const std::string& basePath)
{
    std::string out;
    render(roots, pruneEmpty, basePath, 0, out);
    return out;
}

}  // namespace kvopc
