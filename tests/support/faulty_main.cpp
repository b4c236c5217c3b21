// The program with I/O fault injection: KESTREL_FAULT_AT=N makes the Nth
// call of the file layer fail, KESTREL_DIE_AT=N ends the process before it
// as kill -9 would. At exit the number of file-layer calls made
// and the name of the call that failed ("-" when none did) are written to
// the file named by KESTREL_FAULT_COUNT, when that is set, so that a test
// knows when it has tried every call of a run and what the failure hit.
// KESTREL_NO_UNNAMED_FILES makes it create the mailbox as on a file system
// without unnamed files: under a temporary name until the commit (on
// Windows without the mark that removes it at the end of the process).
// KESTREL_COMMIT_LEVEL=1 takes away the rename that refuses to replace, 2
// hard links as well, as on file systems that lack them.
#include "app/driver.hpp"
#include "app/standard_streams.hpp"
#include "convert/file_io.hpp"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (const char* at = std::getenv("KESTREL_FAULT_AT"))
        io_fail_call_number(std::atoll(at));
    if (const char* at = std::getenv("KESTREL_DIE_AT"))
        io_die_at_call_number(std::atoll(at));
    if (std::getenv("KESTREL_NO_UNNAMED_FILES") != nullptr)
        io_refuse_unnamed_files();
    if (const char* level = std::getenv("KESTREL_COMMIT_LEVEL"))
        io_narrow_commit(std::atoi(level));
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_program(argc, argv);
    std::fflush(stdout);
    restore_standard_streams();
    if (const char* count_path = std::getenv("KESTREL_FAULT_COUNT")) {
        if (std::FILE* f = std::fopen(count_path, "w")) {
            const char* failed = io_failed_call_name();
            std::fprintf(f, "%lld %s\n", static_cast<long long>(io_call_count()),
                         failed != nullptr ? failed : "-");
            std::fclose(f);
        }
    }
    return status;
}
