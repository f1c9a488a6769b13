// Thread and process ids, sleeping, the last-error value, debugger output and the
// default locales.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/win.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

bool debugOutputEnabled()
{
    // Read once: the switch is meant for a whole run.
    static const bool enabled = [] {
        const char* v = std::getenv("KV_DEBUG_OUTPUT");
        return v && std::strcmp(v, "1") == 0;
    }();
    return enabled;
}

constexpr LCID kDefaultLcid = 0x0409;  // English (United States)

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

void Sleep(DWORD ms)
{
    if (ms == 0) {
        sched_yield();  // gives up the rest of the time slice, like Sleep(0)
        return;
    }
    if (ms == INFINITE) {
        for (;;)
            pause();
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

void OutputDebugStringA(LPCSTR s)
{
    if (s && debugOutputEnabled())
        std::fputs(s, stderr);
}

void OutputDebugStringW(LPCWSTR s)
{
    if (!s || !debugOutputEnabled())
        return;
    int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return;
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s, -1, text.data(), n, nullptr, nullptr);
    std::fputs(text.c_str(), stderr);
}

LCID GetUserDefaultLCID() { return kDefaultLcid; }
LCID GetSystemDefaultLCID() { return kDefaultLcid; }
LCID GetThreadLocale() { return kDefaultLcid; }
LANGID GetUserDefaultLangID() { return LANGIDFROMLCID(kDefaultLcid); }
LANGID GetSystemDefaultLangID() { return LANGIDFROMLCID(kDefaultLcid); }
