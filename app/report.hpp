// Every message of the program, progress and errors alike, goes to standard
// output through report(), which pushes it out at once: a user watching a
// long conversion sees the folder being worked on, and an interrupt message
// written later never overtakes text printed before it.
#pragma once

#include <cstdio>

// mingw-w64 names the format checking of its C99 printf gnu_printf.
#ifdef __MINGW_PRINTF_FORMAT
#define KESTREL_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define KESTREL_PRINTF_FORMAT printf
#endif

[[gnu::format(KESTREL_PRINTF_FORMAT, 1, 2)]] void report(const char* format, ...);
