// kestrel-mbx with I/O fault injection, as kestrel_faulty is for kestrel:
// KESTREL_FAULT_AT=N makes the Nth call of the file layer fail, and
// KESTREL_FAULT_COUNT names a file that gets the number of calls made and
// the name of the call that failed ("-" when none did).
// KESTREL_NO_UNNAMED_FILES makes it create an mbox file as on a file system
// without unnamed files: under a temporary name until it is complete.
// KESTREL_RENAME_LOSES_CONTENTS makes the rename of a directory lose the
// files in it, as the FAT driver fusefat does.
#include "app/standard_streams.hpp"
#include "convert/file_io.hpp"
#include "mbx/commands.hpp"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (const char* at = std::getenv("KESTREL_FAULT_AT"))
        io_fail_call_number(std::atoll(at));
    if (std::getenv("KESTREL_NO_UNNAMED_FILES") != nullptr)
        io_refuse_unnamed_files();
    if (std::getenv("KESTREL_RENAME_LOSES_CONTENTS") != nullptr)
        io_lose_renamed_contents();
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_kestrel_mbx(argc, argv);
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
