#include "app/driver.hpp"
#include "app/standard_streams.hpp"

#include <cstdio>

int main(int argc, char** argv)
{
    keep_standard_streams_taken();
    take_program_arguments(argc, argv);
    int status = run_program(argc, argv);
    std::fflush(stdout);
    restore_standard_streams();
    return status;
}
