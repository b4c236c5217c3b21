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
    bool size_signal_default = false;         // with the limit, SIGXFSZ left at its default
    long open_files_limit = -1;               // RLIMIT_NOFILE
    long memory_limit = -1;                   // RLIMIT_AS in bytes
    std::vector<int> ignored_signals;         // ignored in the child, as nohup does
    bool host_program = false; // a Linux program (python3) even when the target is Windows
    bool raw_output = false;   // standard output kept byte for byte (a binary stream)
    unsigned time_limit = 0;   // seconds until SIGALRM ends a child that hangs; 0: none
    // Standard input, output and error on a new pseudo-terminal, as in a
    // terminal window (Wine then gives the program a console); `output`
    // gets what the terminal was sent, control sequences and all.
    bool terminal = false;
};

struct ChildResult {
    int exit_status = -1; // -1 when killed by a signal; Windows: the low byte of the status
    int signal = 0;       // the signal that ended it, or 0
    std::string output;   // standard output, with LF line ends (see output_with_lf)
    std::string errors;   // standard error
};

struct ChildProcess {
    int pid = -1;
    int output_fd = -1;
    int errors_fd = -1;
    bool windows_text = false;   // its CR LF output is given back with LF
    bool windows_errors = false; // and so is its standard error
};

// The binaries under test: those of this build, or those named by
// KESTREL_TEST_BINARY and KESTREL_TEST_FAULTY_BINARY. With
// KESTREL_TEST_EMULATOR set they are Windows programs, started under that
// emulator (Wine, with the WINEPREFIX of the test run).
std::string kestrel_binary();
std::string kestrel_faulty_binary();
// kestrel-mbx under test: that of this build, or KESTREL_TEST_MBX_BINARY.
std::string kestrel_mbx_binary();
// kestrel-folder, or the one named by KESTREL_TEST_FOLDER_BINARY.
std::string kestrel_folder_binary();
bool target_is_windows();

// Windows writes standard output as a text stream, every newline as CR LF:
// gives the output with LF line ends, so that one expectation serves both
// platforms, or marks it as wrong when a newline came without its CR.
std::string output_with_lf(const std::string& output);

ChildProcess start_child(const ChildOptions& options);
// Reads the child's output to its end and reaps it.
ChildResult finish_child(ChildProcess& child);
ChildResult run_child(const ChildOptions& options);
