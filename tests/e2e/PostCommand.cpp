// kv_e2e_post_command CLASS ID   posts WM_COMMAND ID to the window of class CLASS, as a
//                                click on its menu item would
// kv_e2e_post_command CLASS      waits up to 30 s for a visible window of class CLASS (the
//                                server shows it after registering its class factory)
// Exit 0 when done, 1 when there is no such window.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {
constexpr DWORD kWaitMs = 30000;
constexpr DWORD kPollMs = 100;
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: kv_e2e_post_command WINDOWCLASS [COMMANDID]\n");
        return 2;
    }
    if (argc == 2) {
        const DWORD start = GetTickCount();
        do {
            HWND window = FindWindowW(argv[1], nullptr);
            if (window && IsWindowVisible(window))
                return 0;
            Sleep(kPollMs);
        } while (GetTickCount() - start < kWaitMs);
        fprintf(stderr, "kv_e2e_post_command: no visible window of class %ls after %lu ms\n", argv[1], kWaitMs);
        return 1;
    }
    HWND window = FindWindowW(argv[1], nullptr);
    if (!window) {
        fprintf(stderr, "kv_e2e_post_command: no window of class %ls\n", argv[1]);
        return 1;
    }
    const WPARAM command = static_cast<WPARAM>(wcstoul(argv[2], nullptr, 10));
    return PostMessageW(window, WM_COMMAND, command, 0) ? 0 : 1;
}
