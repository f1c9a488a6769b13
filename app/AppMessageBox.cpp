#include "app/AppMessageBox.h"

#include <cstdio>

int appMessageBox(HWND owner, const char* text, const char* caption, UINT type)
{
    char log[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("KV_APP_MESSAGE_LOG", log, sizeof log);
    if (length == 0 || length >= sizeof log)
        return MessageBoxA(owner, text, caption, type);
    if (FILE* file = std::fopen(log, "ab")) {
        std::fprintf(file, "[%s]\n%s\n", caption, text);
        std::fclose(file);
    }
    // Every box of this server has OK (or Yes) as its first, default button.
    return (type & MB_TYPEMASK) == MB_YESNO || (type & MB_TYPEMASK) == MB_YESNOCANCEL ? IDYES : IDOK;
}
