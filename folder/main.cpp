// kestrel-folder: the companion on the input side. Finds in one pass every
// line of a folder that would stop its conversion, and writes a copy of a
// folder with the dates mended that a VAX wrote in older forms.
#include "app/standard_streams.hpp"
#include "folder/commands.hpp"
#include "mbx/complaint.hpp"

#include <cstdio>

int main(int argc, char** argv)
{
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_kestrel_folder(argc, argv);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        complain("standard output", "cannot write");
        status = 1;
    }
    restore_standard_streams();
    return status;
}
