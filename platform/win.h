// The one header portable code includes for the Windows interfaces it uses.
//
// On Windows this is the SDK itself and costs nothing. On Linux it is our stand-in
// under platform/linux/, which keeps the Windows names, sizes and HRESULTs so the same
// source compiles and behaves the same in both builds. Linux-only helpers that have no
// Windows counterpart (e.g. platform/MessageTarget.h) are included separately.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>
#else
#include "platform/linux/wintypes.h"
#include "platform/linux/winerror.h"
#include "platform/linux/com.h"
#include "platform/linux/kernel.h"
#include "platform/linux/message.h"
#include "platform/linux/oleauto.h"
#endif
