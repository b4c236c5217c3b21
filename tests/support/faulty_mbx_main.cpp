// kestrel-mbx with I/O fault injection, as kestrel_faulty is for kestrel
// (see fault_settings.hpp).
#include "app/standard_streams.hpp"
#include "mbx/commands.hpp"
#include "tests/support/fault_settings.hpp"

int main(int argc, char** argv)
{
    take_fault_settings();
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_kestrel_mbx(argc, argv);
    restore_standard_streams();
    write_fault_count();
    return status;
}
