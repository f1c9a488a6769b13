// What the OPC client receives and shows beyond single values: the DA 1.0 data stream
// that arrives through IAdviseSink, and the browse tree. Portable, so that stream
// reading (bounds included) and tree layout are tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/win.h"

namespace kvopc {

// One item's value as a callback delivers it; owns its VARIANT.
struct ItemValue {
    std::uint32_t clientHandle = 0;
    std::uint16_t quality = 0;
    FILETIME timestamp = {};
    VARIANT value;

    ItemValue() { VariantInit(&value); }
    ~ItemValue() { VariantClear(&value); }
    ItemValue(ItemValue&& other) noexcept;
    ItemValue& operator=(ItemValue&& other) noexcept;
    ItemValue(const ItemValue&) = delete;
    ItemValue& operator=(const ItemValue&) = delete;
};

struct V1StreamHeader {
    std::uint32_t itemCount = 0;
    std::uint32_t clientGroup = 0;
    std::uint32_t transactionId = 0;
    HRESULT status = S_OK;
};

// Reads an "OPCSTMFORMATDATA" (withTimestamps false: 12-byte item headers) or
// "OPCSTMFORMATDATATIME" (20-byte item headers) stream. Every offset and length is
// checked against the stream's size; false, with `error` set, for a stream that does
// not hold together.
bool readV1DataStream(const unsigned char* data, size_t size, bool withTimestamps, V1StreamHeader& header,
                      std::vector<ItemValue>& items, std::string& error);

// One element of the browse tree.
struct BrowseEntry {
    std::string name;
    std::string itemId;  // items only
    bool branch = false;
    std::vector<BrowseEntry> children;
};

// The tree as text: two spaces per level, branches with a trailing '/', items with their
// item ID when it is not simply the path of names. With pruneEmpty, branches without
// any item below them are left out (a filtered browse shows only where matches are).
// basePath: the branch the tree starts at ("" for the root).
std::string renderTree(const std::vector<BrowseEntry>& roots, bool pruneEmpty, const std::string& basePath = "");

}  // namespace kvopc
