#include "app/driver.hpp"

#include <cstdio>

int main(int argc, char** argv)
{
    int status = run_program(argc, argv);
    std::fflush(stdout);
    return status;
}
