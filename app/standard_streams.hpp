// The process's standard streams and command line, as the platform has them.
#pragma once

#include <cstddef>

// A terminal, a console or the null device is interactive; a file, a pipe or
// a socket is a redirected list, and so is a closed standard input, whose
// list then holds no line.
bool standard_input_is_interactive();

// The descriptor of standard input, for reading the list.
int standard_input_descriptor();

// How the platform's shell gives a variable to the programs run after it,
// for texts that tell the user what to type: "set NAME=VALUE", one command
// a variable, in the Windows command prompt, else "export NAME=VALUE ...".
extern const bool shell_sets_variables_with_set;

// Makes sure standard output and error are taken before any file is opened,
// so that no mailbox can get their place, and readies the console for the
// program's texts.
void keep_standard_streams_taken();
// Gives the console back as the program found it.
void restore_standard_streams();

// Replaces the arguments by the command line in UTF-8 where the platform's
// C library hands them over in another encoding.
void take_program_arguments(int& argc, char**& argv);

// Turns a list line into UTF-8 (at most `capacity` bytes with the final
// zero) where lists come in another encoding.
void decode_list_line(char* line, std::size_t capacity);
