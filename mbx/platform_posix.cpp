// What kestrel-mbx needs of a POSIX system.
#include "mbx/platform.hpp"

#include <unistd.h>

unsigned long process_number()
{
    return static_cast<unsigned long>(getpid());
}
