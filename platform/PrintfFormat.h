// KV_PRINTF_FORMAT: lets gcc and clang check printf-style calls of our own formatting
// functions. Under MinGW the C++ runtime uses its own C99 printf, which gcc knows as
// __MINGW_PRINTF_FORMAT (gnu_printf), not the msvcrt one.
#pragma once

#if defined(__MINGW32__)
#define KV_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArg)))
#elif defined(__GNUC__)
#define KV_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define KV_PRINTF_FORMAT(formatIndex, firstArg)
#endif
