// Reading the DA 1.0 data stream the server hands to IAdviseSink (bounds included: a
// bad stream must not take the client down), and the browse tree's layout.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tools/ClientData.h"
#include "tools/ClientText.h"

using namespace kvopc;

namespace {

using Bytes = std::vector<unsigned char>;

void put(Bytes& out, std::uint64_t value, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A 16-byte VARIANT of `type` whose first value word is `word`, then `extra` (the
// BSTR's or SAFEARRAY's data that follows in the value area).
Bytes variant(VARTYPE type, std::uint32_t word = 0, const Bytes& extra = {})
{
    Bytes v;
    put(v, type, 2);
    put(v, 0, 6);
    put(v, word);
    put(v, 0);
    v.insert(v.end(), extra.begin(), extra.end());
    return v;
}

Bytes text(const std::u16string& text)
{
    Bytes data;
    put(data, static_cast<std::uint32_t>(text.size() * 2));
    for (char16_t c : text)
        put(data, c, 2);
    put(data, 0, 2);
    return variant(VT_BSTR, 0, data);
}

Bytes r4Array(const std::vector<float>& values)
{
    Bytes data;
    for (std::uint32_t word : {1u, 4u, 0u, 0u, static_cast<std::uint32_t>(values.size()), 0u})
        put(data, word);  // one dimension, 4-byte elements, no locks, data, count from 0
    for (float f : values) {
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put(data, bits);
    }
    return variant(VT_ARRAY | VT_R4, 0, data);
}

struct StreamItem {
    std::uint32_t client;
    std::uint16_t quality;
    Bytes value;
};

// The way the server lays a stream out: 20-byte group header (client group 7), item
// headers (with a fixed FILETIME when withTime), then the value area.
Bytes stream(bool withTime, const std::vector<StreamItem>& items, std::uint32_t transactionId = 0)
{
    const std::uint32_t headerBytes = static_cast<std::uint32_t>(20 + items.size() * (withTime ? 20 : 12));
    Bytes headers, values;
    for (const StreamItem& item : items) {
        put(headers, item.client);
        put(headers, headerBytes + static_cast<std::uint32_t>(values.size()));
        put(headers, item.quality);
        if (withTime) {
            put(headers, 0x89ABCDEF);
            put(headers, 0x01DB0000);
        }
        values.insert(values.end(), item.value.begin(), item.value.end());
    }
    Bytes out;
    for (std::uint32_t word : {headerBytes + static_cast<std::uint32_t>(values.size()),
                               static_cast<std::uint32_t>(items.size()), 7u, transactionId, 0u})
        put(out, word);
    out.insert(out.end(), headers.begin(), headers.end());
    out.insert(out.end(), values.begin(), values.end());
    return out;
}

// Both stream formats: values after a text and an array are found by their offsets.
TEST(ClientV1Stream, ValuesWithAndWithoutTimestamps)
{
    for (bool withTime : {false, true}) {
        SCOPED_TRACE(withTime ? "with time" : "without time");
        const Bytes data = stream(withTime,
                                  {{3, 0xC0, text(u"R\u00fcn")}, {4, 0xC0, r4Array({1.5f, -2.0f})},
                                   {5, 0x1C, variant(VT_I4, static_cast<std::uint32_t>(-7))}},
                                  42);
        V1StreamHeader header;
        std::vector<ItemValue> items;
        std::string error;
        ASSERT_TRUE(readV1DataStream(data.data(), data.size(), withTime, header, items, error)) << error;
        EXPECT_EQ(header.clientGroup, 7u);
        EXPECT_EQ(header.transactionId, 42u);
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(valueText(items[0].value), "\"R\xC3\xBCn\"");
        EXPECT_EQ(valueText(items[1].value), "[1.5, -2]");
        EXPECT_EQ(items[2].clientHandle, 5u);
        EXPECT_EQ(items[2].quality, 0x1C);
        EXPECT_EQ(valueText(items[2].value), "-7");
        EXPECT_EQ(items[2].timestamp.dwLowDateTime, withTime ? 0x89ABCDEFu : 0u);
        EXPECT_EQ(items[2].timestamp.dwHighDateTime, withTime ? 0x01DB0000u : 0u);
    }
}

TEST(ClientV1Stream, BrokenStreamsAreRefusedWithoutReadingPastTheEnd)
{
    const Bytes good = stream(true, {{0, 0xC0, variant(VT_I4, 1)}, {1, 0xC0, text(u"hello")}});

    struct Row {
        const char* what;
        size_t keep;                   // bytes handed over
        size_t patchAt;                // where a u32 is overwritten (0: none)
        std::uint32_t patch;
    };
    const Row rows[] = {
        {"shorter than the group header", 12, 0, 0},
        {"size larger than what arrived", good.size() - 1, 0, 0},
        {"size smaller than the group header", good.size(), 0 + 1000, 0},
        {"more item headers than fit", good.size(), 4, 1000},
        {"value offset beyond the end", good.size(), 20 + 4, 5000},
        {"value offset at the last byte", good.size(), 20 + 4, static_cast<std::uint32_t>(good.size() - 1)},
        {"text length beyond the end", good.size(), 20 + 2 * 20 + 16 + 16, 4000},
        {"odd text length", good.size(), 20 + 2 * 20 + 16 + 16, 3},
    };
    for (const Row& row : rows) {
        Bytes cut(good.begin(), good.begin() + static_cast<long>(row.keep));
        if (row.patchAt == 1000) {
            const std::uint32_t tiny = 8;
            std::memcpy(cut.data(), &tiny, 4);
        } else if (row.patchAt) {
            std::memcpy(cut.data() + row.patchAt, &row.patch, 4);
        }
        V1StreamHeader header;
        std::vector<ItemValue> items;
        std::string error;
        EXPECT_FALSE(readV1DataStream(cut.data(), cut.size(), true, header, items, error)) << row.what;
        EXPECT_FALSE(error.empty()) << row.what;
        EXPECT_TRUE(items.empty()) << row.what << ": nothing half-read is handed on";
    }
}

TEST(ClientBrowseTree, IndentsBranchesAndPrunesOnlyWhenFiltered)
{
    BrowseEntry speed{"Speed", "Conveyor1.Drive.Speed", false, {}};
    BrowseEntry renamed{"Ramp", "Conveyor1.Drive.Menu 2.Ramp", false, {}};
    BrowseEntry empty{"Spare", "", true, {}};
    BrowseEntry drive{"Drive", "", true, {speed, renamed, empty}};
    BrowseEntry conveyor{"Conveyor1", "", true, {drive}};
    BrowseEntry other{"Packer", "", true, {BrowseEntry{"Idle", "", true, {}}}};
    const std::vector<BrowseEntry> tree = {conveyor, other};

    EXPECT_EQ(renderTree(tree, false),
              "Conveyor1/\n"
              "  Drive/\n"
              "    Speed\n"
              "    Ramp  (Conveyor1.Drive.Menu 2.Ramp)\n"
              "    Spare/\n"
              "Packer/\n"
              "  Idle/\n");
    EXPECT_EQ(renderTree(tree, true),
              "Conveyor1/\n"
              "  Drive/\n"
              "    Speed\n"
              "    Ramp  (Conveyor1.Drive.Menu 2.Ramp)\n");
    EXPECT_EQ(renderTree({}, true), "");
    // Started below the root, item IDs are still compared with their full path.
    EXPECT_EQ(renderTree(drive.children, false, "Conveyor1.Drive"),
              "Speed\n"
              "Ramp  (Conveyor1.Drive.Menu 2.Ramp)\n"
              "Spare/\n");
}

}  // namespace
