// kestrel-folder with the file layer of the fault-injection build (see
// fault_settings.hpp): KESTREL_NO_UNNAMED_FILES makes it create the repaired
// copy as on a file system without unnamed files, under a temporary name
// until it is complete.
#include "app/standard_streams.hpp"
#include "folder/commands.hpp"
#include "tests/support/fault_settings.hpp"

int main(int argc, char** argv)
{
    take_fault_settings();
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_kestrel_folder(argc, argv);
    restore_standard_streams();
    write_fault_count();
    return status;
}
