// What kestrel-mbx needs of the platform beyond the file layer.
#pragma once

#include <string>
#include <vector>

// The names that a command-line argument stands for. On POSIX the shell
// has expanded the wildcards already and the argument stands for itself;
// on Windows the program expands "*" and "?" in the argument's last part
// into the names of the files that match, sorted, as Windows programs do.
// An argument that matches nothing stands for itself, so that the message
// about it names what the user typed.
std::vector<std::string> names_of_argument(const std::string& argument);

// A number that no other running process has, for unique file names.
unsigned long process_number();

// What separates a Maildir file's unique name from its flags ("...:2,S"):
// the colon, which a Windows file name cannot hold; there a semicolon.
extern const char maildir_info_separator;
