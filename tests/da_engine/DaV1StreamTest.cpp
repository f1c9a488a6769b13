// The OPC DA 1.0 streams decoded byte by byte against layouts built by hand: what a
// 32-bit client reads out of the HGLOBAL, whatever this compiler's struct sizes are.
#include "DaEngineTestSupport.h"
#include "da/DaV1Stream.h"

namespace {

std::vector<uint8_t> dataStream(bool withTime, std::vector<DaV1DataEntry> entries, uint32_t groupHandle = 77,
                                uint32_t transactionId = 0)
{
    std::vector<uint8_t> stream;
    EXPECT_TRUE(daBuildV1DataStream(withTime, groupHandle, transactionId, entries, stream));
    return stream;
}

using Words = std::vector<uint32_t>;

// The 32-bit little-endian words of a stream from `offset` on.
Words words(const std::vector<uint8_t>& s, size_t offset, size_t count)
{
    Words result;
    for (size_t i = 0; i < count; ++i)
        result.push_back(u32At(s, offset + 4 * i));
    return result;
}

std::vector<uint16_t> utf16(const std::vector<uint8_t>& s, size_t offset, size_t units)
{
    std::vector<uint16_t> text(units);
    std::memcpy(text.data(), s.data() + offset, units * 2);
    return text;
}

TEST(DaV1Stream, TwoLongsMakeSeventySixBytesWithOffsetsAfterTheHeaders)
{
    TVCmnVariant a(int32_t(-5)), b(int32_t(0x12345678));
    const std::vector<uint8_t> s =
        dataStream(false, {{10, 0xC0, {}, &a.get()}, {11, 0xC0, {}, &b.get()}}, 77, 9);
    ASSERT_EQ(76u, s.size());
    // Group header: size, count, group handle, transaction, status.
    EXPECT_EQ((Words{76, 2, 77, 9, uint32_t(S_OK)}), words(s, 0, 5));
    // Item headers: handle, value offset, quality with a reserved word.
    EXPECT_EQ((Words{10, 44, 0xC0, 11, 60, 0xC0}), words(s, 20, 6));
    // 16-byte VARIANTs: vt, three reserved words, 8 data bytes.
    EXPECT_EQ((Words{VT_I4, 0, uint32_t(-5), 0, VT_I4, 0, 0x12345678, 0}), words(s, 44, 8));
}

TEST(DaV1Stream, TimestampsWidenTheItemHeaderToTwentyBytes)
{
    TVCmnVariant a(2.5);
    const FILETIME when = fileTime(0x0123456789ABCDEFull);
    const std::vector<uint8_t> s = dataStream(true, {{3, 0x44, when, &a.get()}});
    ASSERT_EQ(20u + 20u + 16u, s.size());
    EXPECT_EQ(uint32_t(S_FALSE), u32At(s, 16));  // a quality that is not GOOD
    EXPECT_EQ((Words{3, 40, 0x44, 0x89ABCDEF, 0x01234567}), words(s, 20, 5));
    double value;
    std::memcpy(&value, s.data() + 48, 8);
    EXPECT_EQ(2.5, value);
}

TEST(DaV1Stream, TextsFollowTheirVariantAsLengthUtf16AndTerminator)
{
    TVCmnVariant text(L"abc");
    TVCmnVariant after(int32_t(1));
    const std::vector<uint8_t> s = dataStream(false, {{1, 0xC0, {}, &text.get()}, {2, 0xC0, {}, &after.get()}});
    const size_t value = 20 + 2 * 12;
    EXPECT_EQ(value, u32At(s, 24));
    EXPECT_EQ(VT_BSTR, u16At(s, value));
    EXPECT_EQ(0u, u32At(s, value + 8) | u32At(s, value + 12));  // no pointer on the wire
    EXPECT_EQ(6u, u32At(s, value + 16));
    EXPECT_EQ((std::vector<uint16_t>{'a', 'b', 'c'}), utf16(s, value + 20, 3));
    EXPECT_EQ(0u, u16At(s, value + 26));
    EXPECT_EQ(value + 28, u32At(s, 36));  // 22 + 2 x 3 bytes for the text entry
    EXPECT_EQ(value + 28 + 16, s.size());
}

TEST(DaV1Stream, ArraysCarryATwentyFourByteDescriptorAndTheirElements)
{
    TVCmnVariant doubleOwner, stringOwner;
    VARIANT& doubles = *doubleOwner.put();
    doubles.vt = VT_ARRAY | VT_R8;
    doubles.parray = SafeArrayCreateVector(VT_R8, 1, 3);
    double* data = static_cast<double*>(doubles.parray->pvData);
    data[0] = 1.0, data[1] = -2.0, data[2] = 4.5;
    VARIANT& strings = *stringOwner.put();
    strings.vt = VT_ARRAY | VT_BSTR;
    strings.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    static_cast<BSTR*>(strings.parray->pvData)[0] = SysAllocString(L"a");
    static_cast<BSTR*>(strings.parray->pvData)[1] = SysAllocString(L"bc");
    const std::vector<uint8_t> s = dataStream(false, {{1, 0xC0, {}, &doubles}, {2, 0xC0, {}, &strings}});
    size_t v = 44;
    EXPECT_EQ(VT_ARRAY | VT_R8, u16At(s, v));
    EXPECT_EQ(1u, u16At(s, v + 16));  // cDims
    // cbElements, cLocks, pvData, cElements, lLbound.
    EXPECT_EQ((Words{8, 0, 0, 3, 1}), words(s, v + 20, 5));
    double decoded[3];
    std::memcpy(decoded, s.data() + v + 40, 24);
    EXPECT_EQ(4.5, decoded[2]);
    v += 40 + 24;
    EXPECT_EQ(v, u32At(s, 36));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, u16At(s, v));
    EXPECT_EQ(4u, u32At(s, v + 20));  // element pointers are 32 bits on the wire
    EXPECT_EQ(2u, u32At(s, v + 32));
    EXPECT_EQ(0u, u32At(s, v + 40) | u32At(s, v + 44));
    EXPECT_EQ(2u, u32At(s, v + 48));
    EXPECT_EQ((std::vector<uint16_t>{'a', 0}), utf16(s, v + 52, 2));
    EXPECT_EQ(4u, u32At(s, v + 56));
    EXPECT_EQ((std::vector<uint16_t>{'b', 'c', 0}), utf16(s, v + 60, 3));
    EXPECT_EQ(v + 66, s.size());
}

TEST(DaV1Stream, WriteCompleteIsSixteenBytesPlusEightPerItem)
{
    const DaV1WriteEntry entries[] = {{4, S_OK}, {5, OPC_E_BADRIGHTS}};
    std::vector<uint8_t> s;
    ASSERT_TRUE(daBuildV1WriteCompleteStream(77, 12, entries, s));
    ASSERT_EQ(16u + 16u, s.size());
    // Count, group handle, transaction, status; then handle and result per item.
    EXPECT_EQ((Words{2, 77, 12, uint32_t(S_FALSE), 4, 0, 5, uint32_t(OPC_E_BADRIGHTS)}), words(s, 0, 8));
}

TEST_F(DaEngineTest, V1SinksGetTheirStreamFormatFromTheSubscriptionAndWrites)
{
    DaRef<DaGroup> group = addGroup("V1", true, 1000);
    FakeAdviseSink data, dataTime, writes;
    group->adviseStream(&data, DaConnection::Kind::v1Data, 0xC001);
    group->adviseStream(&dataTime, DaConnection::Kind::v1DataTime, 0xC002);
    group->adviseStream(&writes, DaConnection::Kind::v1WriteComplete, 0xC003);
    setValue(status.get(), int32_t(9));
    const uint32_t handle = addItem(group.get(), "Drive1.Speed", 21);
    addItem(group.get(), "Drive1.Status", 22);
    pass();
    ASSERT_EQ(1u, data.streams.size());
    ASSERT_EQ(1u, dataTime.streams.size());
    EXPECT_EQ(0xC001, data.formats[0].cfFormat);
    EXPECT_EQ(DWORD(TYMED_HGLOBAL), data.formats[0].tymed);
    EXPECT_EQ(-1, data.formats[0].lindex);
    const std::vector<uint8_t>& s = data.streams[0];
    EXPECT_EQ(2u, u32At(s, 4));
    EXPECT_EQ(0u, u32At(s, 12));                  // subscriptions carry no transaction
    EXPECT_EQ(uint32_t(S_FALSE), u32At(s, 16));   // Speed never had a value: not GOOD
    EXPECT_EQ(20u + 2 * 12, u32At(s, 24));
    EXPECT_EQ(20u + 2 * 20, u32At(dataTime.streams[0], 24));

    TVCmnVariant value(1.5);
    std::vector<HRESULT> errors;
    uint32_t cancelId = 0;
    EXPECT_EQ(S_OK, group->asyncWrite(one(handle), std::span<const VARIANT>(&value.get(), 1),
                                      0, DaConnectionType::v1, &cancelId, errors));
    pass();
    ASSERT_EQ(1u, writes.streams.size());
    EXPECT_EQ(0xC003, writes.formats[0].cfFormat);
    EXPECT_EQ(cancelId, u32At(writes.streams[0], 8));  // the server's transaction ID
    EXPECT_EQ(21u, u32At(writes.streams[0], 16));
    EXPECT_EQ(1u, data.streams.size());  // writes go to the write-complete sink only
    server->removeGroup(group->serverHandle());  // lets the sinks go before they do
}

// A V1 client that advises a second data stream gets the current values on it; the
// stream that already had them gets nothing again.
TEST_F(DaEngineTest, ARefreshAimedAtOneConnectionReachesOnlyThatConnection)
{
    DaRef<DaGroup> group = addGroup("V1", true, 1000);
    setValue(status.get(), int32_t(9));
    addItem(group.get(), "Drive1.Status", 22);
    FakeAdviseSink first, second;
    group->adviseStream(&first, DaConnection::Kind::v1Data, 0xC001);
    pass();
    ASSERT_EQ(1u, first.streams.size());
    const uint32_t key = group->adviseStream(&second, DaConnection::Kind::v1DataTime, 0xC002);
    uint32_t transactionId = 0;
    EXPECT_EQ(S_OK, group->refresh(false, 0, DaConnectionType::v1, &transactionId, std::nullopt, key));
    pass();
    ASSERT_EQ(1u, second.streams.size());
    EXPECT_EQ(transactionId, u32At(second.streams[0], 12));
    EXPECT_EQ(1u, first.streams.size());
    server->removeGroup(group->serverHandle());  // lets the sinks go before they do
}

}  // namespace
