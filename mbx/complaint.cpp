#include "mbx/complaint.hpp"

#include <cstdio>

void complain(const std::string& name, const std::string& what)
{
    std::fprintf(stderr, "kestrel-mbx: %s: %s\n", name.c_str(), what.c_str());
}
