// What kestrel-mbx needs of Windows beyond the file layer.
#include "mbx/platform.hpp"

#include <windows.h>

unsigned long process_number()
{
    return GetCurrentProcessId();
}
