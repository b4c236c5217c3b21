#include "app/driver.hpp"

#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

// A closed standard output or error would be the first descriptor handed
// out for a file, and a message printed later would then land in a mailbox.
// /dev/null takes their place. Standard input is left as it is: closed, it
// is a list that holds no line.
void keep_output_descriptors_taken()
{
    for (int fd : {1, 2}) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    keep_output_descriptors_taken();
    int status = run_program(argc, argv);
    std::fflush(stdout);
    return status;
}
