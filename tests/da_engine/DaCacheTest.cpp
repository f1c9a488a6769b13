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
