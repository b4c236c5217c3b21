// What kestrel-mbx needs of the platform beyond the file layer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// A number that no other running process has, for unique file names.
unsigned long process_number();

// What separates a Maildir file's unique name from its flags ("...:2,S"):
// the colon, which a Windows file name cannot hold; there a semicolon.
extern const char maildir_info_separator;

// Runs `command` through the system's command interpreter and gives what it
// wrote to its standard output, at most one byte more than
// `secret_output_limit`: a password or a token that a password manager
// hands over. 0, or 1 with `problem` set when it did not end well (the
// command's output never appears in it).
inline constexpr std::size_t secret_output_limit = 1 << 16;
int run_secret_command(const std::string& command, std::string& output, std::string& problem);
// What a command's pipe gives, to its end, into `output`: at most one byte
// more than `secret_output_limit` is kept.
inline void read_secret_output(std::FILE* pipe, std::string& output)
{
    char piece[4096];
    std::size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, pipe)) > 0)
        if (output.size() <= secret_output_limit)
            output.append(piece, std::min(n, secret_output_limit + 1 - output.size()));
}

// Asks for a secret on the terminal, which does not show what is typed.
// 0, or 1 with `problem` set (no terminal, say).
int ask_secret(const std::string& prompt, std::string& secret, std::string& problem);

// Starts a thread that runs `run` until the process ends, on a
// small stack (it reads and writes files, nothing more), with every signal
// held off on it: interrupts are taken by the main thread, where holding
// them off keeps a file's creation and commit whole. False when none can
// be started.
bool start_thread(void (*run)());

// Whether standard error goes to a terminal, where progress is shown.
bool standard_error_is_terminal();
