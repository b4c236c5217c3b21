#include "app/report.hpp"

#include "app/standard_streams.hpp"

#include <cstdarg>
#include <cstdio>

void report(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    print_text_list(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}
