// What the companions, kestrel-mbx and kestrel-folder, say to their user:
// "PROGRAM: NAME: WHAT" on standard error for a file that failed; on a
// command line they cannot use, what is wrong and their usage (status 2);
// their usage and version when asked for them.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int status_bad_usage = 2;

// The program's name and usage text, set once before anything is said.
void set_companion(const char* program, const char* usage_text);

void complain(const std::string& name, const std::string& what);

// While held, the messages are kept in `into` instead of being printed, so
// that a caller can put a message of more weight in front of them or in
// their place; nullptr prints again.
void hold_complaints(std::string* into);

// "PROGRAM: WHAT" on standard error; status_bad_usage. A refused value.
int refuse(const std::string& what);
// The same followed by the usage: a command line that is not understood.
int bad_usage(const std::string& what);
// An empty name is refused as a bad usage ("empty output name" for `what`
// "output"): a script's unset variable must not pass for standard output
// or the current directory. True when `name` was empty.
bool refused_empty(const std::string& name, const char* what, int& status);

// `only` is the one argument, or null when there are none or several:
// "--help" or "-h" prints the usage, "--version" the program's name and
// version, on standard output. True when it was one of them.
bool answered_help_or_version(const char* only);

// "1 message", "412 messages".
std::string messages_text(std::uint64_t count);
