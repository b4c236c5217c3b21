// kestrel-folder with the file layer of the fault-injection build:
// KESTREL_NO_UNNAMED_FILES makes it create the repaired copy as on a file
// system without unnamed files, under a temporary name until it is
// complete.
#include "app/standard_streams.hpp"
#include "convert/file_io.hpp"
#include "folder/commands.hpp"

#include <cstdlib>

int main(int argc, char** argv)
{
    if (std::getenv("KESTREL_NO_UNNAMED_FILES") != nullptr)
        io_refuse_unnamed_files();
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_kestrel_folder(argc, argv);
    restore_standard_streams();
    return status;
}
