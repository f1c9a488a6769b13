// Test helpers: a window that receives the comms server's posted messages in both
// builds, a comms server set up on a settings text, and temporary settings files.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

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
    HWND hwnd() const { return hwnd_; }
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
    HWND hwnd() const { return queue_.hwnd(); }
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

// A settings file in a fresh temporary folder, removed with the object.
class TempSettingsFile {
public:
    explicit TempSettingsFile(const std::string& text, const char* name = "VUDOvoveRaduzeri.ini")
    {
        static int counter = 0;
        folder_ = std::filesystem::temp_directory_path() /
                  ("kv-comms-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                   std::to_string(++counter));
        std::filesystem::create_directories(folder_);
        path_ = folder_ / name;
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

inline std::basic_string<WCHAR> wide(const char* text)
{
    return comms::toWide(text);
}

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

}  // namespace commstest
