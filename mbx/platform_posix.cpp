// What kestrel-mbx needs of a POSIX system.
#include "mbx/platform.hpp"

#include <unistd.h>

std::vector<std::string> names_of_argument(const std::string& argument)
{
    return {argument};
}

unsigned long process_number()
{
    return static_cast<unsigned long>(getpid());
}

const char maildir_info_separator = ':';
