// kestrel-mbx: checks, lists and exports the mailbox files of kestrel.
#include "app/standard_streams.hpp"
#include "mbx/commands.hpp"

int main(int argc, char** argv)
{
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_kestrel_mbx(argc, argv);
    restore_standard_streams();
    return status;
}
