// The tag cache as readers see it: initial quality, conversions to a requested type,
// read rights, and the device side's updates.
#include "DaEngineTestSupport.h"

namespace {

TEST_F(DaEngineTest, ANewCacheIsBadWaitingAndReadsConvertToTheRequestedType)
{
    DaRef<DaCache> cache = speed->getCache();
    EXPECT_EQ(0x20, cache->getQuality());
    EXPECT_FALSE(cache->holdsValue());
    EXPECT_EQ(VT_R8, cache->getDatatype());
    setValue(speed.get(), 2.75);
    EXPECT_TRUE(cache->holdsValue());
    struct Row {
        VARTYPE requested;
        HRESULT result;
        VARTYPE got;
        uint16_t quality;
    } rows[] = {
        {VT_EMPTY, S_OK, VT_R8, 0xC0},
        {VT_I4, S_OK, VT_I4, 0xC0},
        {VT_BSTR, S_OK, VT_BSTR, 0xC0},
        {VT_ARRAY | VT_I4, DISP_E_TYPEMISMATCH, VT_EMPTY, 0},
    };
    for (const Row& row : rows) {
        TVCmnVariant value;
        uint16_t quality = 1;
        FILETIME when;
        HRESULT error = S_OK;
        EXPECT_EQ(row.result, cache->get(value.put(), &quality, &when, nullptr, row.requested, 0x409, &error) == S_OK
                                  ? S_OK
                                  : error)
            << row.requested;
        EXPECT_EQ(row.got, value.vt()) << row.requested;
        EXPECT_EQ(row.quality, quality) << row.requested;
    }
}

TEST_F(DaEngineTest, ArraysConvertElementByElement)
{
    TVCmnVariant owner;
    VARIANT& source = *owner.put();
    source.vt = VT_ARRAY | VT_I4;
    source.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    static_cast<LONG*>(source.parray->pvData)[0] = 1;
    static_cast<LONG*>(source.parray->pvData)[1] = -2;
    static_cast<LONG*>(source.parray->pvData)[2] = 30;
    TVCmnVariant texts;
    ASSERT_EQ(S_OK, DaCache::changeType(source, VT_ARRAY | VT_BSTR, texts.put(), 0x409));
    ASSERT_EQ(VT_ARRAY | VT_BSTR, texts.vt());
    BSTR* elements = static_cast<BSTR*>(texts.get().parray->pvData);
    EXPECT_EQ(std::wstring(L"-2"), std::wstring(elements[1]));
    TVCmnVariant back;
    ASSERT_EQ(S_OK, DaCache::changeType(texts.get(), VT_ARRAY | VT_R8, back.put(), 0x409));
    EXPECT_EQ(30.0, static_cast<double*>(back.get().parray->pvData)[2]);
    EXPECT_TRUE(daVariantEqual(source, source));
    EXPECT_FALSE(daVariantEqual(source, back.get()));
}

TEST_F(DaEngineTest, UpdatesStoreInTheCanonicalTypeAndCountTheConnectedItems)
{
    DaRef<DaGroup> group = addGroup();
    addItem(group.get(), "Drive1.Speed");
    addItem(group.get(), "Drive1.Speed", 2, VT_EMPTY, false);
    TVCmnVariant text(L"12.5");
    const FILETIME when = fileTime(TestClock::time.load() - 5);
    EXPECT_EQ(2, daUpdateTagValue(*speed, &text.get(), 0x54, &when));
    TVCmnVariant value;
    uint16_t quality = 0;
    FILETIME stored;
    speed->getCache()->get(value.put(), &quality, &stored, nullptr, VT_EMPTY, 0x409, nullptr);
    EXPECT_EQ(VT_R8, value.vt());
    EXPECT_EQ(12.5, value.get().dblVal);
    EXPECT_EQ(0x54, quality);
    EXPECT_EQ(daFileTimeToUint(when), daFileTimeToUint(stored));
    EXPECT_EQ(0, daUpdateTagValue(*status, nullptr, 0, nullptr));
}

// A reading is kept only when it was read after the value held, however that value
// came (a store now, or an earlier reading); the refused one changes nothing.
TEST_F(DaEngineTest, AReadingOlderThanTheValueHeldIsRefused)
{
    struct Row {
        const char* what;
        int32_t heldAgeMs;     // the value held: read this long ago, or stored now (-1)
        int32_t readingAgeMs;  // the reading's age
        bool withValue;
        bool kept;
    };
    const Row rows[] = {
        {"older than a store", -1, 5, true, false},
        {"in the store's millisecond", -1, 0, true, false},
        {"after a store", -1, -5, true, true},
        {"older than a reading", 10, 20, true, false},
        {"newer than a reading", 20, 10, true, true},
        {"an older error", 10, 20, false, false},
        {"a newer error", 20, 10, false, true},
    };
    for (const Row& row : rows) {
        DaRef<DaCache> cache = speed->getCache();
        const uint32_t now = DaClock::tick();
        const FILETIME stamp = fileTime(TestClock::time.load());
        if (row.heldAgeMs < 0)
            ASSERT_EQ(S_OK, cache->store(TVCmnVariant(1.0).get(), 0xC0, stamp)) << row.what;
        else
            ASSERT_EQ(S_OK, cache->storeReading(&TVCmnVariant(1.0).get(), 0xC0, stamp, now - row.heldAgeMs)) << row.what;
        TestClock::advance(row.readingAgeMs < 0 ? -row.readingAgeMs : 0);
        const uint32_t readTick = DaClock::tick() - std::max(row.readingAgeMs, 0);
        const TVCmnVariant two(2.0);
        const uint64_t readingStamp = TestClock::time.load() - 1;  // before the store's when not advanced
        const HRESULT hr = cache->storeReading(row.withValue ? &two.get() : nullptr, 0x18, fileTime(readingStamp),
                                               readTick);
        EXPECT_EQ(row.kept ? S_OK : S_FALSE, hr) << row.what;
        TVCmnVariant held;
        cache->getValue(held.put(), VT_R8, 0x409);
        EXPECT_EQ(row.kept && row.withValue ? 2.0 : 1.0, held.get().dblVal) << row.what;
        EXPECT_EQ(row.kept ? 0x18 : 0xC0, cache->getQuality()) << row.what;
        const uint64_t expectedStamp = row.kept && row.withValue ? std::max(daFileTimeToUint(stamp), readingStamp)
                                                                 : daFileTimeToUint(stamp);
        EXPECT_EQ(expectedStamp, cache->getTimestamp64()) << row.what << ": the time never goes back";
        TestClock::advance(1000);
    }
}

TEST_F(DaEngineTest, StatisticsCountRequestsAndReportAverages)
{
    DaStatistics::process().report();  // start from zero
    setValue(speed.get(), 1.0);
    DaRef<DaGroup> group = addGroup();
    const uint32_t handle = addItem(group.get(), "Drive1.Speed");
    std::vector<DaReadResult> results;
    std::vector<HRESULT> errors;
    group->syncRead(false, one(handle), results, errors);
    pass();
    auto report = DaStatistics::process().report();
    auto valueOf = [&](const std::string& name) {
        for (auto& [key, value] : report)
            if (key == name)
                return value;
        ADD_FAILURE() << name;
        return 0u;
    };
    EXPECT_EQ(1u, valueOf("DA-nrSCacheRead"));
    EXPECT_EQ(1u, valueOf("DA-nrCycRead"));
    EXPECT_EQ(0u, valueOf("DA-nrReadFailed"));
    EXPECT_EQ(0u, valueOf("DA-avReadTime"));
    EXPECT_LE(1u, valueOf("DA-nrGroupObj"));
    EXPECT_EQ(0u, DaStatistics::process().value(DaStatistics::nrCycRead));  // reset by the report
}

}  // namespace
