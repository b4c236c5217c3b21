// What kestrel-mbx needs of the platform beyond the file layer.
#pragma once

#include <string>
#include <vector>

// A number that no other running process has, for unique file names.
unsigned long process_number();
