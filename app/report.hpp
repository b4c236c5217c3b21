// Every message of the program, progress and errors alike, goes to standard
// output through report(), which pushes it out at once: a user watching a
// long conversion sees the folder being worked on, and an interrupt message
// written later never overtakes text printed before it.
#pragma once

#include "app/standard_streams.hpp"

[[gnu::format(KESTREL_PRINTF_FORMAT, 1, 2)]] void report(const char* format, ...);
