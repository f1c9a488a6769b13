// Shared pieces of the engine tests: an address space of drive-like tags, a clock the
// test moves by hand, in-process client sinks that record what the engine sends, and a
// trace sink that keeps the lines.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TVCmnVariant.h"
#include "da/DaCreator.h"
#include "da/DaEngineTrace.h"
#include "da/DaGroup.h"
#include "da/DaNamespaceRoot.h"
#include "da/DaObjectRoot.h"
#include "da/DaRequest.h"
#include "da/DaServer.h"
#include "da/DaStatistics.h"
#include "da/DaTag.h"

// A tag that keeps the requests queued for device IO, as the drive side does, so a test
// can complete them (or leave them to the time-out).
class QueueTag : public DaTag {
public:
    QueueTag() : DaTag(true) {}
    // As the drive parameter tag answers: writes and device reads are queued, the
    // subscription and cache-side reads are served from the cache.
    uint32_t getRequestHandling(DaRequest* request) const override
    {
        if (!request)
            return DaTag::getRequestHandling(request);
        const DaRequestKind kind = request->kind();
        if (!request->isWrite() && (kind == kDaAsyncCacheItem || kind == kDaAsyncMaxAgeItem ||
                                    kind == kDaForwardRequest || kind == kDaRefreshReport || kind == kDaCyclicEntry))
            return 3;
        return 2;
    }
    void queueRequest(DaRequest* request, bool read) override
    {
        std::lock_guard<std::mutex> hold(lock);
        queued.emplace_back(request);
    }
    std::vector<DaRef<DaRequest>> take()
    {
        std::lock_guard<std::mutex> hold(lock);
        return std::exchange(queued, {});
    }
    std::mutex lock;
    std::vector<DaRef<DaRequest>> queued;
};

// Counts the activation hooks, as the drive parameter tag uses them.
class CountingTag : public DaTag {
public:
    CountingTag() : DaTag(true) {}
    void onItemActivated(DaObject*) override { ++activated; }
    void onItemDeactivated(DaObject*) override { ++deactivated; }
    std::atomic<int> activated{0};
    std::atomic<int> deactivated{0};
};

template <class T = DaTag>
DaRef<T> addTag(DaNode* parent, const std::string& name, VARTYPE vt, uint32_t rights, T* made = nullptr)
{
    DaRef<T> tag(made ? made : new T);
    tag->setName(name);
    tag->setDatatype(vt);
    tag->setAccessRights(rights);
    tag->setDefaultHandling(3);
    parent->addChild(tag.get());
    return tag;
}

inline FILETIME fileTime(uint64_t value) { return daUintToFileTime(value); }
// A one-handle list for the group's list calls.
inline std::span<const uint32_t> one(const uint32_t& handle) { return {&handle, 1}; }

// The engine clock under the test's hand. Time starts at a plausible FILETIME so caches
// written "now" hold a value.
struct TestClock {
    static inline std::atomic<uint32_t> tick{100000};
    static inline std::atomic<uint64_t> time{133000000000000000ull};
    static uint32_t tickSource() { return tick.load(); }
    static uint64_t timeSource() { return time.load(); }
    static void install()
    {
        tick = 100000;
        time = 133000000000000000ull;
        DaClock::setSources(&tickSource, &timeSource);
    }
    static void advance(uint32_t ms)
    {
        tick += ms;
        time += uint64_t(ms) * kDaFileTimeUnitsPerMs;
    }
    static void uninstall() { DaClock::setSources(nullptr, nullptr); }
};

// A recorded IOPCDataCallback call.
struct Callback {
    enum Kind { dataChange, readComplete, writeComplete, cancelComplete } kind;
    DWORD transactionId;
    OPCHANDLE group;
    HRESULT masterQuality;
    HRESULT masterError;
    std::vector<OPCHANDLE> handles;
    std::vector<TVCmnVariant> values;
    std::vector<WORD> qualities;
    std::vector<HRESULT> errors;
};

// IUnknown of the in-process sinks: they live on the test's stack, so the count only
// shows who still holds them.
template <class I>
class FakeSink : public I {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<long> refs{0};
};

class FakeDataCallback : public FakeSink<IOPCDataCallback> {
public:
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count,
                                           OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                                           FILETIME* timestamps, HRESULT* errors) override
    {
        return record(Callback::dataChange, tid, group, mq, me, count, handles, values, qualities, errors);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count,
                                             OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                                             FILETIME* timestamps, HRESULT* errors) override
    {
        return record(Callback::readComplete, tid, group, mq, me, count, handles, values, qualities, errors);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tid, OPCHANDLE group, HRESULT me, DWORD count,
                                              OPCHANDLE* handles, HRESULT* errors) override
    {
        return record(Callback::writeComplete, tid, group, S_OK, me, count, handles, nullptr, nullptr, errors);
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD tid, OPCHANDLE group) override
    {
        return record(Callback::cancelComplete, tid, group, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr);
    }

    std::vector<Callback> calls()
    {
        std::lock_guard<std::mutex> hold(lock);
        return received;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> hold(lock);
        return received.size();
    }

    HRESULT answer = S_OK;  // what every call returns
    bool throwInCall = false;
    std::atomic<uint64_t> changesDelivered{0};
    bool keepCalls = true;

private:
    HRESULT record(Callback::Kind kind, DWORD tid, OPCHANDLE group, HRESULT mq, HRESULT me, DWORD count,
                   OPCHANDLE* handles, VARIANT* values, WORD* qualities, HRESULT* errors)
    {
        changesDelivered += count;
        if (throwInCall)
            throw std::runtime_error("client fault");
        if (!keepCalls)
            return answer;
        Callback call{kind, tid, group, mq, me, {}, {}, {}, {}};
        for (DWORD i = 0; i < count; ++i) {
            call.handles.push_back(handles[i]);
            if (values)
                call.values.emplace_back(values[i]);
            if (qualities)
                call.qualities.push_back(qualities[i]);
            call.errors.push_back(errors[i]);
        }
        std::lock_guard<std::mutex> hold(lock);
        received.push_back(std::move(call));
        return answer;
    }

    std::mutex lock;
    std::vector<Callback> received;  // guarded by lock
};

class FakeAdviseSink : public FakeSink<IAdviseSink> {
public:
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* format, STGMEDIUM* medium) override
    {
        formats.push_back(*format);
        const auto* bytes = static_cast<const uint8_t*>(GlobalLock(medium->hGlobal));
        streams.emplace_back(bytes, bytes + GlobalSize(medium->hGlobal));
        GlobalUnlock(medium->hGlobal);
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

    std::vector<FORMATETC> formats;
    std::vector<std::vector<uint8_t>> streams;
};

// Serves the device tag's queue from a thread of its own, as the drive side does, and
// counts what it served; synchronous reads wait on it.
class DeviceSide {
public:
    explicit DeviceSide(QueueTag& tag) : thread_([this, &tag] {
        while (!stop_) {
            for (const DaRef<DaRequest>& request : tag.take()) {
                if (request->markTaken()) {
                    ++served;  // before the completion wakes the reader, who then counts
                    request->complete(S_OK, true, 0xC0);
                }
            }
            std::this_thread::yield();
        }
    }) {}
    ~DeviceSide()
    {
        stop_ = true;
        thread_.join();
    }
    std::atomic<int> served{0};

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Little-endian reads of a V1 stream.
inline uint32_t u32At(const std::vector<uint8_t>& s, size_t offset)
{
    uint32_t v;
    std::memcpy(&v, s.data() + offset, 4);
    return v;
}
inline uint16_t u16At(const std::vector<uint8_t>& s, size_t offset)
{
    uint16_t v;
    std::memcpy(&v, s.data() + offset, 2);
    return v;
}

struct TraceLines {
    std::mutex lock;
    std::vector<std::string> lines;
    static void sink(int, const std::string& object, const std::string& message, void* context)
    {
        auto* self = static_cast<TraceLines*>(context);
        std::lock_guard<std::mutex> hold(self->lock);
        self->lines.push_back(message);
    }
    // A line that is `text`, or that starts with it.
    bool has(const std::string& text, bool prefix = false)
    {
        std::lock_guard<std::mutex> hold(lock);
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return prefix ? l.rfind(text, 0) == 0 : l == text; });
    }
};

// An engine with one server (no work thread: tests run work() by hand with the test
// clock) over the drive address space:
//   Drive1.Speed     R8, read/write, analog EU 0..200
//   Drive1.Status    I4, read-only
//   Drive1.Name      BSTR, read/write
//   Drive1.Command   I4, write-only
//   Drive1.Device    I4, read/write, served by device IO (queue)
//   Drive1.Counted   I4, read, counts activation hooks
class DaEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestClock::install();
        DaEngineTrace::setSink(&TraceLines::sink, &trace, 0xF);
        drive = DaRef<DaNode>(new DaNode);
        drive->setName("Drive1");
        space->addChild(drive.get());
        speed = addTag<DaTag>(drive.get(), "Speed", VT_R8, kDaAccessReadable | kDaAccessWritable, new DaTag(true));
        speed->setAnalogEU(0.0, 200.0);
        status = addTag<DaTag>(drive.get(), "Status", VT_I4, kDaAccessReadable, new DaTag(true));
        name = addTag<DaTag>(drive.get(), "Name", VT_BSTR, kDaAccessReadable | kDaAccessWritable, new DaTag(true));
        command = addTag<DaTag>(drive.get(), "Command", VT_I4, kDaAccessWritable, new DaTag(true));
        device = addTag<QueueTag>(drive.get(), "Device", VT_I4, kDaAccessReadable | kDaAccessWritable);
        counted = addTag<CountingTag>(drive.get(), "Counted", VT_I4, kDaAccessReadable);
        root = DaRef<DaObjectRoot>(new DaObjectRoot(creator.get()));
        root->setNamespaceRoot(0, space.get());
        root->setMinimumUpdateRateMs(10);
        root->setV1Formats(0xC001, 0xC002, 0xC003);
        server = root->createServer(0, false);
        ASSERT_TRUE(server);
    }
    void TearDown() override
    {
        root->shutdown();
        server = nullptr;
        root = nullptr;
        space->removeAllChildren();
        DaEngineTrace::setSink(nullptr, nullptr, 0);
        TestClock::uninstall();
    }

    void setValue(DaTag* tag, const VARIANT& value, uint16_t quality = 0xC0)
    {
        const FILETIME now = fileTime(TestClock::time.load());
        daUpdateTagValue(*tag, &value, quality, &now);
    }
    void setValue(DaTag* tag, double value, uint16_t quality = 0xC0) { setValue(tag, TVCmnVariant(value).get(), quality); }
    void setValue(DaTag* tag, int32_t value, uint16_t quality = 0xC0) { setValue(tag, TVCmnVariant(value).get(), quality); }

    // On the fixture's server unless another is named.
    DaRef<DaGroup> addGroup(const std::string& groupName = "", bool active = true, uint32_t rateMs = 1000,
                            DaServer* on = nullptr)
    {
        DaGroupParams params;
        params.name = groupName;
        params.active = active;
        params.requestedUpdateRateMs = rateMs;
        params.clientHandle = 77;
        DaRef<DaGroup> group;
        uint32_t revised = 0;
        EXPECT_TRUE(SUCCEEDED((on ? on : server.get())->addGroup(params, group, &revised)));
        return group;
    }
    uint32_t addItem(DaGroup* group, const std::string& id, uint32_t clientHandle = 1, VARTYPE type = VT_EMPTY,
                     bool active = true)
    {
        DaItemDef def{id, "", type, active, clientHandle};
        DaItemResult result;
        EXPECT_EQ(S_OK, group->addItem(def, result)) << id;
        return result.serverHandle;
    }
    // One pass of the work thread at the test clock.
    uint32_t pass() { return server->work(DaClock::tick()); }

    TraceLines trace;
    DaRef<DaCreator> creator{new DaCreator};
    DaRef<DaNamespaceRoot> space{new DaNamespaceRoot};
    DaRef<DaNode> drive;
    DaRef<DaTag> speed, status, name, command;
    DaRef<QueueTag> device;
    DaRef<CountingTag> counted;
    DaRef<DaObjectRoot> root;
    DaRef<DaServer> server;
};
