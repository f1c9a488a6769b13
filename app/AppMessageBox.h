// Every message box of the server goes through here. A test run names a file in
// KV_APP_MESSAGE_LOG: each box then appends "[caption]" and its text to that file and
// answers its default button at once, so that headless runs never block on a box.
#pragma once

#include <windows.h>

int appMessageBox(HWND owner, const char* text, const char* caption, UINT type);
