// Runs the program as a child process under full control: arguments, the
// whole environment, standard input, working directory and resource limits.
// Standard output (and standard error, which must stay empty) are captured.
#pragma once

#include <string>
#include <vector>

struct ChildOptions {
    std::string binary;                 // empty: the kestrel binary under test
    std::vector<std::string> arguments; // after the program name
    std::vector<std::string> environment = {"TZ=UTC", "KESTREL_VAX_USERNAME=SMITH"};
    std::string standard_input = "/dev/null"; // a path opened for reading
    std::string directory;                    // working directory; empty: inherit
    long file_size_limit = -1;                // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
    long open_files_limit = -1;               // RLIMIT_NOFILE
    std::vector<int> ignored_signals;         // ignored in the child, as nohup does
};

struct ChildResult {
    int exit_status = -1; // -1 when killed by a signal
    int signal = 0;       // the signal that ended it, or 0
    std::string output;   // standard output
    std::string errors;   // standard error
};

struct ChildProcess {
    int pid = -1;
    int output_fd = -1;
    int errors_fd = -1;
};

std::string kestrel_binary();
std::string kestrel_faulty_binary();

ChildProcess start_child(const ChildOptions& options);
// Reads the child's output to its end and reaps it.
ChildResult finish_child(ChildProcess& child);
ChildResult run_child(const ChildOptions& options);
