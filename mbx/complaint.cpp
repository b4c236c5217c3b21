#include "mbx/complaint.hpp"

#include "app/standard_streams.hpp"

#include <cstdio>

namespace {

std::string* held = nullptr;

} // namespace

void complain(const std::string& name, const std::string& what)
{
    if (held) {
        *held += "kestrel-mbx: " + name + ": " + what + "\n";
        return;
    }
    print_text(stderr, "kestrel-mbx: %s: %s\n", name.c_str(), what.c_str());
}

void hold_complaints(std::string* into)
{
    held = into;
}
