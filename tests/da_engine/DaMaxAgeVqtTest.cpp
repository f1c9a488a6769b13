// Max-age reads and VQT writes: which reads the cache answers and which go to the
// device, and what a written quality and time do to the cache. The per-item codes of
// the interfaces, group-less item IO included, are the Wine client's.
#include "DaEngineTestSupport.h"

namespace {

using DaMaxAgeVqtTest = DaEngineTest;

TEST_F(DaMaxAgeVqtTest, AMaxAgeReadGoesToTheDeviceOnlyWhenTheCacheIsOlder)
{
    struct Row {
        const char* name;
        uint32_t maxAgeMs;
        uint32_t ageMs;
        int deviceReads;
    };
    const Row rows[] = {
        {"any age", kDaAnyAge, 600000, 0},
        {"young enough", 1000, 500, 0},
        {"exactly the max age", 500, 500, 0},
        {"too old", 100, 500, 1},
        {"zero max age", 0, 1, 1},
    };
    DaRef<DaGroup> group = addGroup("G");
    const uint32_t handle = addItem(group.get(), "Drive1.Device");
    for (const Row& row : rows) {
        setValue(device.get(), int32_t(5));
        TestClock::advance(row.ageMs);
        DeviceSide side(*device);
        std::vector<DaReadResult> results;
        std::vector<HRESULT> errors;
        EXPECT_EQ(S_OK, group->syncRead(true, one(handle), results, errors,
                                        one(row.maxAgeMs)))
            << row.name;
        EXPECT_EQ(row.deviceReads, side.served.load()) << row.name;
        EXPECT_EQ(5, results[0].value.get().lVal) << row.name;
        EXPECT_EQ(0xC0, results[0].quality) << row.name;
    }
}

TEST_F(DaMaxAgeVqtTest, AVqtWriteStoresQualityAndTimeOnlyWhereTheCacheTakesThem)
{
    struct Row {
        const char* name;
        const char* itemId;
        bool hasQuality;
        bool hasTimestamp;
        HRESULT error;
        uint16_t cachedQuality;
        uint64_t cachedTime;  // 0: the time of the write
    };
    const uint64_t given = 132000000000000000ull;
    const Row rows[] = {
        {"quality and time", "Drive1.Speed", true, true, S_OK, 0x40, given},
        {"time only", "Drive1.Speed", false, true, S_OK, 0xC0, given},
        {"value only", "Drive1.Speed", false, false, S_OK, 0xC0, 0},
        {"quality to a device", "Drive1.Device", true, false, OPC_E_NOTSUPPORTED, 0, 0},
        {"time to a device", "Drive1.Device", false, true, OPC_E_NOTSUPPORTED, 0, 0},
        {"value to a device", "Drive1.Device", false, false, S_OK, 0xC0, 0},
    };
    DaRef<DaGroup> group = addGroup("G");
    DeviceSide side(*device);
    for (const Row& row : rows) {
        const uint32_t handle = addItem(group.get(), row.itemId);
        DaTag* tag = row.itemId == std::string("Drive1.Speed") ? speed.get() : device.get();
        setValue(tag, int32_t(1), 0x18);
        TVCmnVariant value(int32_t(9));
        DaWriteQT qt{row.hasQuality, 0x40, row.hasTimestamp, fileTime(given)};
        std::vector<HRESULT> errors;
        EXPECT_EQ(row.error == S_OK ? S_OK : S_FALSE,
                  group->syncWrite(one(handle), std::span<const VARIANT>(&value.get(), 1),
                                   errors, std::span<const DaWriteQT>(&qt, 1)))
            << row.name;
        EXPECT_EQ(row.error, errors[0]) << row.name;
        DaRef<DaCache> cache = tag->getCache();
        if (FAILED(row.error)) {
            EXPECT_EQ(0x18, cache->getQuality()) << row.name << ": the cache is left as it was";
            continue;
        }
        EXPECT_EQ(row.cachedQuality, cache->getQuality()) << row.name;
        EXPECT_EQ(row.cachedTime ? row.cachedTime : TestClock::time.load(), cache->getTimestamp64()) << row.name;
    }
}

}  // namespace
