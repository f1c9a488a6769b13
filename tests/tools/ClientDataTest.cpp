// Reading the DA 1.0 data stream the server hands to IAdviseSink (bounds included: a
// bad stream must not take the client down), and the browse tree's layout.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tools/ClientData.h"
#include "tools/ClientText.h"

using namespace kvopc;

namespace {

// Builds streams the way the server lays them out: 20-byte group header, item headers,
// then the value area with 16-byte VARIANTs.
class StreamBuilder {
public:
    explicit StreamBuilder(bool withTime) : withTime_(withTime) {}

    void i4(std::uint32_t client, std::int32_t value, std::uint16_t quality)
    {
        std::vector<unsigned char> v = variant(VT_I4);
        std::memcpy(v.data() + 8, &value, 4);
        add(client, quality, v);
    }
    void text(std::uint32_t client, const std::u16string& text)
    {
        std::vector<unsigned char> v = variant(VT_BSTR);
        putString(v, text);
        add(client, 0xC0, v);
    }
    void r4Array(std::uint32_t client, const std::vector<float>& values)
    {
        std::vector<unsigned char> v = variant(VT_ARRAY | VT_R4);
        put16(v, 1);
        put16(v, 0);
        put32(v, 4);
        put32(v, 0);
        put32(v, 0);
        put32(v, static_cast<std::uint32_t>(values.size()));
        put32(v, 0);
        for (float f : values) {
            std::uint32_t bits;
            std::memcpy(&bits, &f, 4);
            put32(v, bits);
        }
        add(client, 0xC0, v);
    }

    std::vector<unsigned char> build(std::uint32_t transactionId = 0) const
    {
        const size_t headerBytes = 20 + items_.size() * (withTime_ ? 20 : 12);
        std::vector<unsigned char> out;
        put32(out, static_cast<std::uint32_t>(headerBytes + values_.size()));
        put32(out, static_cast<std::uint32_t>(items_.size()));
        put32(out, 7);
        put32(out, transactionId);
        put32(out, 0);
        for (const Item& item : items_) {
            put32(out, item.client);
            put32(out, static_cast<std::uint32_t>(headerBytes + item.offset));
            put16(out, item.quality);
            put16(out, 0);
            if (withTime_) {
                put32(out, 0x89ABCDEF);
                put32(out, 0x01DB0000);
            }
        }
        out.insert(out.end(), values_.begin(), values_.end());
        return out;
    }

    static void put16(std::vector<unsigned char>& v, std::uint16_t x) { v.push_back(x & 0xFF), v.push_back(x >> 8); }
    static void put32(std::vector<unsigned char>& v, std::uint32_t x)
    {
        put16(v, static_cast<std::uint16_t>(x));
        put16(v, static_cast<std::uint16_t>(x >> 16));
    }
    static void putString(std::vector<unsigned char>& v, const std::u16string& text)
    {
        put32(v, static_cast<std::uint32_t>(text.size() * 2));
        for (char16_t c : text)
            put16(v, c);
        put16(v, 0);
    }

private:
    struct Item {
        std::uint32_t client;
        std::uint16_t quality;
        size_t offset;
    };
    static std::vector<unsigned char> variant(VARTYPE type)
    {
        std::vector<unsigned char> v(16, 0);
        std::memcpy(v.data(), &type, 2);
        return v;
    }
    void add(std::uint32_t client, std::uint16_t quality, const std::vector<unsigned char>& value)
    {
        items_.push_back({client, quality, values_.size()});
        values_.insert(values_.end(), value.begin(), value.end());
    }

    bool withTime_;
    std::vector<Item> items_;
    std::vector<unsigned char> values_;
};

TEST(ClientV1Stream, TwoIntegersWithoutTimestamps)
{
    StreamBuilder builder(false);
    builder.i4(0, 1500, 0xC0);
    builder.i4(1, -7, 0x1C);
    const std::vector<unsigned char> stream = builder.build(42);
    ASSERT_EQ(stream.size(), 76u) << "20 + 2 x 12 + 2 x 16";
    V1StreamHeader header;
    std::vector<ItemValue> items;
    std::string error;
    ASSERT_TRUE(readV1DataStream(stream.data(), stream.size(), false, header, items, error)) << error;
    EXPECT_EQ(header.itemCount, 2u);
    EXPECT_EQ(header.clientGroup, 7u);
    EXPECT_EQ(header.transactionId, 42u);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].clientHandle, 0u);
    EXPECT_EQ(valueText(items[0].value), "1500");
    EXPECT_EQ(qualityText(items[1].quality), "bad out of service (0x1C)");
    EXPECT_EQ(valueText(items[1].value), "-7");
    EXPECT_EQ(items[1].timestamp.dwHighDateTime, 0u) << "no timestamps in this format";
}

TEST(ClientV1Stream, TextsArraysAndTimestamps)
{
    StreamBuilder builder(true);
    builder.text(3, u"R\u00fcn");
    builder.r4Array(4, {1.5f, -2.0f});
    builder.i4(5, 9, 0xC0);
    const std::vector<unsigned char> stream = builder.build();
    V1StreamHeader header;
    std::vector<ItemValue> items;
    std::string error;
    ASSERT_TRUE(readV1DataStream(stream.data(), stream.size(), true, header, items, error)) << error;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(valueText(items[0].value), "\"R\xC3\xBCn\"");
    EXPECT_EQ(valueText(items[1].value), "[1.5, -2]");
    EXPECT_EQ(valueText(items[2].value), "9") << "the value after a text and an array is found by its offset";
    EXPECT_EQ(items[2].timestamp.dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(items[2].timestamp.dwHighDateTime, 0x01DB0000u);
}

TEST(ClientV1Stream, ATextOfThreeCharactersTakes28Bytes)
{
    StreamBuilder builder(false);
    builder.text(0, u"abc");
    const std::vector<unsigned char> stream = builder.build();
    EXPECT_EQ(stream.size(), 20u + 12u + 28u);
    std::uint32_t length;
    std::memcpy(&length, stream.data() + 32 + 16, 4);
    EXPECT_EQ(length, 6u);
}

TEST(ClientV1Stream, BrokenStreamsAreRefusedWithoutReadingPastTheEnd)
{
    StreamBuilder builder(true);
    builder.i4(0, 1, 0xC0);
    builder.text(1, u"hello");
    const std::vector<unsigned char> good = builder.build();

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
        std::vector<unsigned char> stream(good.begin(), good.begin() + static_cast<long>(row.keep));
        if (row.patchAt == 1000) {
            const std::uint32_t tiny = 8;
            std::memcpy(stream.data(), &tiny, 4);
        } else if (row.patchAt) {
            std::memcpy(stream.data() + row.patchAt, &row.patch, 4);
        }
        V1StreamHeader header;
        std::vector<ItemValue> items;
        std::string error;
        EXPECT_FALSE(readV1DataStream(stream.data(), stream.size(), true, header, items, error)) << row.what;
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
