// A comms server on a Modbus settings text with one direct IO and one loop client, and
// the waits the Modbus tests share: a direct reply, and loop updates until a condition.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/commsserver/CommsTestSupport.h"

namespace modbustest {

using commstest::Message;
using commstest::TestWindow;

constexpr LONG kNotStarted = 1000;  // a ret no operation gives

struct Reply {
    LONG ret = kNotStarted;  // of ReadParameter / WriteParameter
    WPARAM kind = 0;         // of the posted reply, when ret was 0
    LONG status = 0;
    ParameterRecord record{};
};

struct Update {
    ULONGLONG owner = 0;
    LONG status = 0;
    ParameterRecord record{};
};

class DriveClient {
public:
    explicit DriveClient(const std::string& settings) : file_(settings)
    {
        LONG protocol = -1;
        server_->LoadSettingsFile(file_.widePath().c_str(), &protocol, &loadStatus_);
        server_->ApplySettings(&protocol, &applyStatus_);
        server_->RegisterClient(kClientDirectIo, direct_.handle(), kCommsNotify, L"RE ZUD Irurer 3", &directHandle_);
        server_->RegisterClient(kClientLoop, loop_.handle(), kCommsNotify2, L"RE ZUD Irurer 3", &loopHandle_);
    }
    ~DriveClient()
    {
        LONG ret = 0;
        server_->UnregisterClient(directHandle_, &ret);
        server_->UnregisterClient(loopHandle_, &ret);
    }

    bool ready() const { return loadStatus_ == kStatusOk && applyStatus_ == kStatusOk && directHandle_ > 0 && loopHandle_ > 0; }
    std::string why() { return "load " + std::to_string(loadStatus_) + " apply " + std::to_string(applyStatus_) + ": " + server_->lastSettingsError(); }
    comms::CommsServer* server() { return server_.p; }

    Reply read(const char* node, LONG menu, LONG parameter) { return direct(false, node, commstest::record(menu, parameter)); }
    Reply write(const char* node, LONG menu, LONG parameter, LONG value, LONG decimalPlaces = 0)
    {
        return direct(true, node, commstest::record(menu, parameter, value, decimalPlaces));
    }

    LONG add(const char* node, LONG menu, LONG parameter, ULONG rateMs, ULONGLONG owner)
    {
        ParameterRecord r = commstest::record(menu, parameter);
        LONG ret = kNotStarted;
        server_->AddToLoop(loopHandle_, owner, commstest::wide(node).c_str(), &r, rateMs, &ret);
        return ret;
    }

    // Drains updates (each GetNextUpdate until -101 after a kUpdatesWaiting message)
    // until done says so or the deadline passes; false on the deadline.
    bool drainUntil(const std::function<bool(const Update&)>& done, DWORD deadlineMs = 10000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        for (;;) {
            Update u;
            LONG status = 0;
            while (server_->GetNextUpdate(loopHandle_, &u.owner, nullptr, &u.record, &status) == S_OK &&
                   status != kStatusNoMoreUpdates) {
                u.status = status;
                if (done(u))
                    return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            Message m;
            loop_.waitFor(m, static_cast<DWORD>(left.count()));
        }
    }

private:
    Reply direct(bool write, const char* node, ParameterRecord record)
    {
        Reply reply;
        const auto text = commstest::wide(node);
        if (write)
            server_->WriteParameter(directHandle_, text.c_str(), &record, &reply.ret);
        else
            server_->ReadParameter(directHandle_, text.c_str(), &record, &reply.ret);
        Message m;
        if (reply.ret != kStatusOk || !direct_.waitFor(m))
            return reply;
        reply.kind = m.wParam;
        reply.status = static_cast<LONG>(m.lParam);
        server_->GetReply(directHandle_, &reply.record);
        return reply;
    }

    commstest::TempSettingsFile file_;
    commstest::ServerRef server_;
    TestWindow direct_, loop_;
    LONG loadStatus_ = kNotStarted, applyStatus_ = kNotStarted;
    LONG directHandle_ = -1, loopHandle_ = -1;
};

}  // namespace modbustest
