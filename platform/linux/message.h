// PostMessage for the Linux build. A window handle stands for a target registered
// through platform/MessageTarget.h; posting to an unknown or unregistered handle fails
// with ERROR_INVALID_WINDOW_HANDLE, as posting to a destroyed window does on Windows.
#pragma once

#include "platform/linux/wintypes.h"

#define WM_NULL 0x0000
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL IsWindow(HWND hWnd);
#ifdef UNICODE
#define PostMessage PostMessageW
#else
#define PostMessage PostMessageA
#endif
