#include "commsserver/exe/SoakControl.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "commsserver/CommsServer.h"
#include "commsserver/CommsSettings.h"
#include "commsserver/SimulatedNetwork.h"

namespace commsexe {

namespace {

constexpr DWORD kPollMs = 50;

// Owns a Win32 file handle.
struct File {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit File(HANDLE handle) : h(handle) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

std::uint64_t utcMs()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10000 - 11644473600000ull;
}

struct Control {
    std::wstring dir;  // set once, before the thread starts
    std::mutex lock;
    comms::CommsServer* server = nullptr;                // guarded by lock
    std::shared_ptr<comms::SimulatedNetwork> network;    // guarded by lock
    bool threadStarted = false;                          // guarded by lock
};

// Null unless KV_SOAK_CONTROL is set; decided once.
Control* control()
{
    static Control* const instance = []() -> Control* {
        wchar_t dir[MAX_PATH];
        const DWORD length = GetEnvironmentVariableW(L"KV_SOAK_CONTROL", dir, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return nullptr;
        auto* c = new Control;
        c->dir.assign(dir, length);
        return c;
    }();
    return instance;
}

std::wstring pathOf(const Control& c, const wchar_t* name)
{
    return c.dir + L"\\" + name;
}

// One line appended in one WriteFile, so that lines of two processes (a dying comms
// server and its successor) never interleave.
void appendLine(const Control& c, const std::string& line)
{
    File file(CreateFileW(pathOf(c, L"writes.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file.ok())
        WriteFile(file.h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string writeLine(const comms::WriteLogEntry& e)
{
    char text[160];
    snprintf(text, sizeof text, " %llu %s %ld %ld %ld %ld\n", static_cast<unsigned long long>(e.sequence),
             e.node.c_str(), long(e.menu), long(e.parameter), long(e.value), long(e.decimalPlaces));
    return text;
}

std::string prefix(char kind)
{
    char text[64];
    snprintf(text, sizeof text, "%c %llu %lu", kind, static_cast<unsigned long long>(utcMs()), GetCurrentProcessId());
    return text;
}

std::string readAll(const std::wstring& path)
{
    File file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (file.ok() && ReadFile(file.h, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    return text;
}

std::string execute(Control& c, const std::string& line)
{
    std::shared_ptr<comms::SimulatedNetwork> network;
    {
        std::lock_guard<std::mutex> hold(c.lock);
        network = c.network;
    }
    if (!network)
        return "error no simulated network\n";
    std::istringstream in(line);
    std::string verb, node, faultText;
    in >> verb;
    unsigned faults = 0;
    if (verb == "dump") {
        std::string out = "ok\n";
        for (const comms::WriteLogEntry& e : network->writeLog())
            out += "W" + writeLine(e);
        return out;
    }
    if (verb == "node")
        in >> node;
    std::getline(in, faultText);
    if ((verb != "network" && verb != "node") || !comms::parseFaults(faultText, faults))
        return "error bad command: " + line + "\n";
    if (verb == "network")
        network->setNetworkFaults(faults);
    else if (!network->setNodeFaults(node, faults))
        return "error no node " + node + "\n";
    return "ok\n";
}

void serveCommands(Control& c)
{
    const std::wstring command = pathOf(c, L"command");
    const std::wstring reply = pathOf(c, L"reply");
    const std::wstring replyPart = pathOf(c, L"reply.part");
    for (;;) {
        Sleep(kPollMs);
        if (GetFileAttributesW(command.c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        const std::string text = readAll(command);
        DeleteFileW(command.c_str());
        std::string answer = "pid " + std::to_string(GetCurrentProcessId()) + "\n";
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                answer += execute(c, line);
        }
        {
            File out(CreateFileW(replyPart.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
            DWORD written = 0;
            if (out.ok())
                WriteFile(out.h, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
        }
        // The reader sees a reply whole or not at all.
        MoveFileExW(replyPart.c_str(), reply.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

}  // namespace

void soakControlAttach(comms::CommsServer* server)
{
    Control* c = control();
    if (!c)
        return;
    std::shared_ptr<comms::SimulatedNetwork> network = server->simulatedNetwork();
    bool startThread = false;
    {
        std::lock_guard<std::mutex> hold(c->lock);
        if (network == c->network)
            return;
        c->server = server;
        c->network = network;
        startThread = network && !c->threadStarted;
        c->threadStarted = c->threadStarted || startThread;
    }
    if (!network)
        return;
    appendLine(*c, prefix('S') + "\n");
    network->setWriteObserver([c](const comms::WriteLogEntry& e) { appendLine(*c, prefix('W') + writeLine(e)); });
    // Lives as long as the process: a killed comms server is what the soak test wants.
    if (startThread)
        std::thread([c] { serveCommands(*c); }).detach();
}

void soakControlDetach(comms::CommsServer* server)
{
    Control* c = control();
    if (!c)
        return;
    std::lock_guard<std::mutex> hold(c->lock);
    if (c->server == server) {
        c->server = nullptr;
        c->network.reset();
    }
}

}  // namespace commsexe
