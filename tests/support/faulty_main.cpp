// The program with I/O fault injection (see fault_settings.hpp).
#include "app/driver.hpp"
#include "app/standard_streams.hpp"
#include "tests/support/fault_settings.hpp"

#include <cstdio>

int main(int argc, char** argv)
{
    take_fault_settings();
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_program(argc, argv);
    std::fflush(stdout);
    restore_standard_streams();
    write_fault_count();
    return status;
}
