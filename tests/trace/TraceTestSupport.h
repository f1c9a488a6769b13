// Helpers shared by the trace tests: a sink and a debugger output that keep what they
// receive, a fixed clock, and a private temporary folder for trace files.
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
    std::string objectId;
    std::string message;
};

class CollectingSink : public TVCmnTraceSink {
public:
    void traceLine(const char* text, size_t length, int level, uint32_t group, const char* objectId,
                   const char* message) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines_.push_back(SinkLine{std::string(text, length), level, group, objectId, message});
    }
    std::vector<SinkLine> lines() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }
    std::string lastText() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_.empty() ? std::string() : lines_.back().text;
    }
    bool anyMessageContains(const std::string& part) const
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const SinkLine& line : lines_)
            if (line.message.find(part) != std::string::npos)
                return true;
        return false;
    }

private:
    mutable std::mutex lock_;
    std::vector<SinkLine> lines_;
};

class CapturingDebugger : public TVCmnDebuggerOutput {
public:
    void write(const char* text) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        texts_.emplace_back(text);
    }
    std::vector<std::string> texts() const
    {
        std::lock_guard<std::mutex> hold(lock_);
        return texts_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> texts_;
};

// 6th of the month, 04:07:09.005 local time.
inline void fixedClock(SYSTEMTIME* time)
{
    *time = SYSTEMTIME{};
    time->wYear = 2026;
    time->wMonth = 12;
    time->wDay = 6;
    time->wHour = 4;
    time->wMinute = 7;
    time->wSecond = 9;
    time->wMilliseconds = 5;
}

// "E OPC 1234 06-04:07:09.005 " for the calling thread, as every header line starts.
inline std::string linePrefix(char letter, const char* group)
{
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%c %s %4.4d 06-04:07:09.005 ", letter, group,
                  static_cast<int>(GetCurrentThreadId() % 10000));
    return prefix;
}

class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        std::ostringstream name;
        name << "kvtrace-" << GetCurrentProcessId() << "-" << counter++;
        path_ = std::filesystem::temp_directory_path() / name.str();
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
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
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// A trace that tests can look into: fixed time, captured debugger output, one sink.
struct TestTrace {
    TVCmnTrace trace;
    CapturingDebugger debugger;
    CollectingSink sink;
    TestTrace()
    {
        trace.setClock(fixedClock);
        trace.setDebuggerOutput(&debugger);
        trace.addSink(&sink);
    }
    ~TestTrace() { trace.removeSink(&sink); }
};

}  // namespace tracetest
