// The process's standard streams and command line, as the platform has them.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

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

// The names that a command-line argument stands for. On POSIX the shell
// has expanded the wildcards already and the argument stands for itself;
// on Windows the program expands "*" and "?" in the argument's last part
// into the names of the files that match, sorted, as Windows programs do.
// An argument that matches nothing stands for itself, so that the message
// about it names what the user typed.
std::vector<std::string> names_of_argument(const std::string& argument);

// mingw-w64 names the format checking of its C99 printf gnu_printf.
#ifdef __MINGW_PRINTF_FORMAT
#define KESTREL_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define KESTREL_PRINTF_FORMAT printf
#endif

// Prints the program's text (UTF-8) to `stream`, stdout or stderr, as
// std::fprintf does. A Windows console gets it through its own
// wide-character output, so that names outside ASCII show right whatever
// its code page; a file or a pipe gets the bytes as they are.
[[gnu::format(KESTREL_PRINTF_FORMAT, 2, 3)]] int print_text(std::FILE* stream, const char* format,
                                                            ...);
int print_text_list(std::FILE* stream, const char* format, std::va_list arguments);

// Turns a list line into UTF-8 (at most `capacity` bytes with the final
// zero) where lists come in another encoding.
void decode_list_line(char* line, std::size_t capacity);
