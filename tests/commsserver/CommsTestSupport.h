// Test helpers: a window that receives the comms server's posted messages in both
// builds, temporary settings files, and a comms server set up on a settings text with
// its two clients (shared with the Modbus tests and benchmark).
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/TVCmnBstr.h"
#include "commsserver/CommsServer.h"
#include "commsserver/SimulatedNetwork.h"
#include "platform/win.h"

#ifndef _WIN32
#include "platform/MessageTarget.h"
#endif

namespace commstest {

constexpr DWORD kMessageDeadlineMs = 10000;  // a safety net: replies normally take a few ms

struct Message {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

#ifdef _WIN32
// A message-only window owned by the test thread; posted messages are taken off the
// thread's queue without dispatching them.
class TestWindow {
public:
    TestWindow()
        : hwnd_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr))
    {
    }
    ~TestWindow() { DestroyWindow(hwnd_); }
    LONGLONG handle() const { return static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(hwnd_)); }

    bool waitFor(Message& out, DWORD timeoutMs = kMessageDeadlineMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            MSG msg;
            if (PeekMessageW(&msg, hwnd_, 0, 0, PM_REMOVE)) {
                out = {msg.message, msg.wParam, msg.lParam};
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()), QS_POSTMESSAGE);
        }
    }
    bool tryGet(Message& out) { return waitFor(out, 0); }

private:
    HWND hwnd_;
};
#else
class TestWindow {
public:
    LONGLONG handle() const { return static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(queue_.hwnd())); }

    bool waitFor(Message& out, DWORD timeoutMs = kMessageDeadlineMs)
    {
        kv::platform::PostedMessage m;
        if (!queue_.waitFor(m, timeoutMs))
            return false;
        out = {m.message, m.wParam, m.lParam};
        return true;
    }
    bool tryGet(Message& out) { return waitFor(out, 0); }

private:
    kv::platform::MessageQueue queue_;
};
#endif

// Two drives: node 1 with a parameter of each behaviour, node 2 with one parameter only.
inline const char* kPlant = R"ini(
[comms]
replyTimeoutMs = 20
[node 1]
[node 2]
anyParameter = no
[parameter 1 #1.21]
type = int16
decimals = 1
min = -3000
max = 3000
value = 1500
[parameter 1 #3.2]
type = int16
decimals = 1
min = -3000
max = 3000
behaviour = follow
follows = #1.21
lagMs = 1000
[parameter 1 #7.1]
decimals = 1
min = 0
max = 100
behaviour = ramp
rate = 10
[parameter 1 #5.5]
behaviour = sine
value = 500
amplitude = 10
periodMs = 1000
[parameter 1 #4.1]
decimals = 2
behaviour = noise
value = 12.5
amplitude = 0.25
[parameter 1 #10.1]
type = bool
value = 1
writable = no
[parameter 2 #1.1]
value = 5
)ini";

// A settings file in a fresh temporary folder, removed with the object.
class TempSettingsFile {
public:
    explicit TempSettingsFile(const std::string& text)
    {
        static int counter = 0;
        folder_ = std::filesystem::temp_directory_path() /
                  ("kv-comms-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                   std::to_string(++counter));
        std::filesystem::create_directories(folder_);
        path_ = folder_ / "VUDOvoveRaduzeri.ini";
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~TempSettingsFile()
    {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    std::basic_string<WCHAR> widePath() const
    {
        const std::u8string u8 = path_.u8string();
        return comms::toWide(std::string(u8.begin(), u8.end()));
    }
    std::filesystem::path folder() const { return folder_; }

private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
};

inline ParameterRecord record(LONG menu, LONG parameter, LONG value = 0, LONG decimalPlaces = 0)
{
    ParameterRecord r{};
    r.menu = menu;
    r.parameter = parameter;
    r.value = value;
    r.decimalPlaces = decimalPlaces;
    return r;
}

// Releases the server at the end of a test.
struct ServerRef {
    comms::CommsServer* p = comms::CommsServer::create();
    ~ServerRef() { p->Release(); }
    comms::CommsServer* operator->() const { return p; }
};

constexpr const wchar_t* kClientName = L"RE ZUD Irurer 3";
constexpr LONG kNotStarted = 1000;  // a ret no operation gives

struct Reply {
    LONG ret = kNotStarted;  // of ReadParameter / WriteParameter
    WPARAM kind = 0;         // of the posted reply; 0 when none came
    LONG status = 0;
    ParameterRecord record{};
};

struct Update {
    ULONGLONG owner = 0;
    LONG status = 0;
    std::string node;
    ParameterRecord record{};
};

// A comms server on a settings text with one direct IO and one loop client, each
// posting to a window of its own, and the waits every comms test needs: a direct reply,
// and loop updates drained until -101.
class CommsClient {
public:
    explicit CommsClient(const std::string& settings) : file_(settings)
    {
        LONG protocol = -1;
        server_->LoadSettingsFile(file_.widePath().c_str(), &protocol, &loadStatus_);
        server_->ApplySettings(&protocol, &applyStatus_);
        server_->RegisterClient(kClientDirectIo, directWindow.handle(), kCommsNotify, kClientName, &direct);
        server_->RegisterClient(kClientLoop, loopWindow.handle(), kCommsNotify2, kClientName, &loop);
    }
    ~CommsClient()
    {
        LONG ret = 0;
        server_->UnregisterClient(direct, &ret);
        server_->UnregisterClient(loop, &ret);
    }

    bool ready() const { return loadStatus_ == kStatusOk && applyStatus_ == kStatusOk && direct >= 0 && loop >= 0; }
    std::string why() const
    {
        return "load " + std::to_string(loadStatus_) + " apply " + std::to_string(applyStatus_) + ": " +
               server_->lastSettingsError();
    }
    comms::CommsServer* server() const { return server_.p; }

    // ReadParameter's or WriteParameter's ret: 0 when the request was started.
    LONG start(bool write, const char* node, ParameterRecord r)
    {
        LONG ret = kNotStarted;
        const auto text = comms::toWide(node);
        if (write)
            server_->WriteParameter(direct, text.c_str(), &r, &ret);
        else
            server_->ReadParameter(direct, text.c_str(), &r, &ret);
        return ret;
    }
    // The posted reply of a started request, with GetReply's record.
    Reply reply()
    {
        Reply out;
        out.ret = kStatusOk;
        Message m;
        if (!directWindow.waitFor(m))
            return out;
        out.kind = m.wParam;
        out.status = static_cast<LONG>(m.lParam);
        server_->GetReply(direct, &out.record);
        return out;
    }
    Reply read(const char* node, LONG menu, LONG parameter)
    {
        const LONG ret = start(false, node, record(menu, parameter));
        return ret == kStatusOk ? reply() : Reply{ret};
    }
    Reply write(const char* node, LONG menu, LONG parameter, LONG value, LONG decimalPlaces = 0)
    {
        const LONG ret = start(true, node, record(menu, parameter, value, decimalPlaces));
        return ret == kStatusOk ? reply() : Reply{ret};
    }

    LONG add(const char* node, LONG menu, LONG parameter, ULONG rateMs, ULONGLONG owner)
    {
        ParameterRecord r = record(menu, parameter);
        LONG ret = kNotStarted;
        server_->AddToLoop(loop, owner, comms::toWide(node).c_str(), &r, rateMs, &ret);
        return ret;
    }
    LONG remove(const char* node, LONG menu, LONG parameter, ULONGLONG owner)
    {
        ParameterRecord r = record(menu, parameter);
        LONG ret = kNotStarted;
        server_->RemoveFromLoop(loop, owner, comms::toWide(node).c_str(), &r, &ret);
        return ret;
    }

    // Every update queued now: GetNextUpdate until -101.
    std::vector<Update> drain()
    {
        std::vector<Update> out;
        for (;;) {
            Update u;
            TVCmnBstr node;
            if (server_->GetNextUpdate(loop, &u.owner, node.put(), &u.record, &u.status) != S_OK ||
                u.status == kStatusNoMoreUpdates)
                return out;
            u.node = comms::toUtf8(node.get());
            out.push_back(u);
        }
    }
    // Drains the updates each kUpdatesWaiting announces until done says so; false when
    // the deadline passes first.
    bool drainUntil(const std::function<bool(const Update&)>& done, DWORD deadlineMs = kMessageDeadlineMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        for (;;) {
            for (const Update& u : drain()) {
                if (done(u))
                    return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            Message m;
            if (left.count() <= 0 || !loopWindow.waitFor(m, static_cast<DWORD>(left.count())))
                return false;
        }
    }

    TestWindow directWindow, loopWindow;
    LONG direct = -1, loop = -1;

private:
    TempSettingsFile file_;
    ServerRef server_;
    LONG loadStatus_ = kNotStarted, applyStatus_ = kNotStarted;
};

}  // namespace commstest
