#include "mbx/complaint.hpp"

#include "app/standard_streams.hpp"

#include <cstdio>
#include <cstring>

namespace {

const char* program = "kestrel";
const char* usage = "";
std::string* held = nullptr;

} // namespace

void set_companion(const char* program_name, const char* usage_text)
{
    program = program_name;
    usage = usage_text;
}

void complain(const std::string& name, const std::string& what)
{
    if (held) {
        *held += std::string(program) + ": " + name + ": " + what + "\n";
        return;
    }
    print_text(stderr, "%s: %s: %s\n", program, name.c_str(), what.c_str());
}

void hold_complaints(std::string* into)
{
    held = into;
}

int refuse(const std::string& what)
{
    print_text(stderr, "%s: %s\n", program, what.c_str());
    return status_bad_usage;
}

int bad_usage(const std::string& what)
{
    print_text(stderr, "%s: %s\n%s", program, what.c_str(), usage);
    return status_bad_usage;
}

bool refused_empty(const std::string& name, const char* what, int& status)
{
    if (!name.empty())
        return false;
    status = bad_usage(std::string("empty ") + what + " name");
    return true;
}

bool answered_help_or_version(const char* only)
{
    if (only == nullptr)
        return false;
    if (std::strcmp(only, "--help") == 0 || std::strcmp(only, "-h") == 0) {
        print_text(stdout, "%s", usage);
        return true;
    }
    if (std::strcmp(only, "--version") == 0) {
        print_text(stdout, "%s %s\n", program, KESTREL_VERSION);
        return true;
    }
    return false;
}

std::string messages_text(std::uint64_t count)
{
    return std::to_string(count) + (count == 1 ? " message" : " messages");
}
