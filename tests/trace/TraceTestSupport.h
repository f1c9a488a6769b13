// Shared by the trace tests: a capture of what reaches the sinks and the debugger, a
// fixed clock, and a private folder for trace files.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "trace/TVCmnTrace.h"

namespace tracetest {

struct SinkLine {
    std::string text;
    int level;
    uint32_t group;
    std::string objectId, message;
};

class Capture : public TVCmnTraceSink, public TVCmnDebuggerOutput {
public:
    void traceLine(const char* text, size_t length, int level, uint32_t group, const char* objectId,
                   const char* message) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(SinkLine{std::string(text, length), level, group, objectId, message});
    }
    void write(const char* text) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        debugger_.emplace_back(text);
    }
    std::vector<SinkLine> lines() const { std::lock_guard<std::mutex> hold(lock_); return lines_; }
    std::vector<std::string> debugger() const { std::lock_guard<std::mutex> hold(lock_); return debugger_; }
    bool anyMessageContains(const std::string& part) const
    {
        for (const SinkLine& line : lines())
            if (line.message.find(part) != std::string::npos)
                return true;
        return false;
    }

private:
    mutable std::mutex lock_;
    std::vector<SinkLine> lines_;
    std::vector<std::string> debugger_;
};

// The 6th, 04:07:09.005 local time.
inline void fixedClock(SYSTEMTIME* time)
{
    *time = SYSTEMTIME{};
    time->wYear = 2026, time->wMonth = 12, time->wDay = 6;
    time->wHour = 4, time->wMinute = 7, time->wSecond = 9, time->wMilliseconds = 5;
}

// "E OPC 1234 06-04:07:09.005 " for the calling thread.
inline std::string linePrefix(char letter, const std::string& group)
{
    char thread[8];
    std::snprintf(thread, sizeof thread, "%04u", static_cast<unsigned>(GetCurrentThreadId() % 10000));
    return std::string(1, letter) + " " + group + " " + thread + " 06-04:07:09.005 ";
}

// The header (27) and the id column (35) and its blank come before the message.
constexpr size_t kMessageColumn = 63;

class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("kvtrace-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
        end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// A private trace whose time is fixed and whose outputs the test can read.
struct TestTrace {
    TVCmnTrace trace;
    Capture capture;
    TestTrace()
    {
        trace.setClock(fixedClock);
        trace.setDebuggerOutput(&capture);
        trace.addSink(&capture);
    }
    ~TestTrace() { trace.removeSink(&capture); }
};

}  // namespace tracetest
