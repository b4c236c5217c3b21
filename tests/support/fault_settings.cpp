#include "tests/support/fault_settings.hpp"

#include "convert/file_io.hpp"

#include <cstdio>
#include <cstdlib>

void take_fault_settings()
{
    if (const char* at = std::getenv("KESTREL_FAULT_AT"))
        io_fail_call_number(std::atoll(at));
    if (const char* at = std::getenv("KESTREL_DIE_AT"))
        io_die_at_call_number(std::atoll(at));
    if (std::getenv("KESTREL_NO_UNNAMED_FILES") != nullptr)
        io_refuse_unnamed_files();
    if (const char* level = std::getenv("KESTREL_COMMIT_LEVEL"))
        io_narrow_commit(std::atoi(level));
    if (std::getenv("KESTREL_RENAME_LOSES_CONTENTS") != nullptr)
        io_lose_renamed_contents();
}

void write_fault_count()
{
    const char* count_path = std::getenv("KESTREL_FAULT_COUNT");
    if (count_path == nullptr)
        return;
    std::FILE* f = std::fopen(count_path, "w");
    if (f == nullptr)
        return;
    const char* failed = io_failed_call_name();
    std::fprintf(f, "%lld %s\n", static_cast<long long>(io_call_count()),
                 failed != nullptr ? failed : "-");
    for (std::int64_t n = 1; io_call_name(n) != nullptr; ++n)
        std::fprintf(f, "%s%s", n > 1 ? " " : "", io_call_name(n));
    std::fputc('\n', f);
    std::fclose(f);
}
