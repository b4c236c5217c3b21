#include "tests/support/child_process.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string from_environment(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

} // namespace

std::string kestrel_binary()
{
    return from_environment("KESTREL_TEST_BINARY", KESTREL_BINARY);
}
std::string kestrel_faulty_binary()
{
    return from_environment("KESTREL_TEST_FAULTY_BINARY", KESTREL_FAULTY_BINARY);
}
std::string kestrel_mbx_binary()
{
    return from_environment("KESTREL_TEST_MBX_BINARY", KESTREL_MBX_BINARY);
}
std::string kestrel_folder_binary()
{
    return from_environment("KESTREL_TEST_FOLDER_BINARY", KESTREL_FOLDER_BINARY);
}
bool target_is_windows()
{
    return !from_environment("KESTREL_TEST_EMULATOR", "").empty();
}

std::string output_with_lf(const std::string& output)
{
    std::string text;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '\n' && (i == 0 || output[i - 1] != '\r'))
            return "[a newline without CR] " + output;
        if (output[i] == '\r' && i + 1 < output.size() && output[i + 1] == '\n')
            continue;
        text += output[i];
    }
    return text;
}

namespace {

[[noreturn]] void child_fail(const char* what)
{
    (void)!write(STDERR_FILENO, what, strlen(what));
    _exit(127);
}

void set_limit(int resource, long value)
{
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(value);
    if (setrlimit(resource, &limit) != 0)
        child_fail("setrlimit failed\n");
}

} // namespace

ChildProcess start_child(const ChildOptions& options)
{
    std::string binary = options.binary.empty() ? kestrel_binary() : options.binary;
    std::vector<std::string> argument_texts = {binary};
    std::vector<std::string> environment = options.environment;
    if (target_is_windows() && !options.host_program) {
        argument_texts.insert(argument_texts.begin(),
                              from_environment("KESTREL_TEST_EMULATOR", ""));
        environment.push_back("WINEDEBUG=-all");
        // Wine reads and writes the Linux file names in the locale's encoding.
        environment.push_back("LANG=C.UTF-8");
        environment.push_back("WINEPREFIX=" + from_environment("WINEPREFIX", ""));
        // Wine looks for the suite's server under TMPDIR: without it the
        // child would start a Wine session of its own.
        if (const char* tmpdir = std::getenv("TMPDIR"))
            environment.push_back(std::string("TMPDIR=") + tmpdir);
    }
    argument_texts.insert(argument_texts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argument_texts)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::string terminal_name;
    if (options.terminal) { // the terminal's master end takes the place of the output pipe
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        terminal_name = ptsname(master);
        close(out_pipe[0]);
        close(out_pipe[1]);
        out_pipe[0] = master;
        out_pipe[1] = -1;
    }
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        for (int s = 1; s < NSIG; ++s)
            signal(s, SIG_DFL);
        for (int s : options.ignored_signals)
            signal(s, SIG_IGN);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int in = open(options.standard_input.c_str(), O_RDONLY);
        if (in < 0)
            child_fail("cannot open standard input\n");
        if (options.terminal) {
            setsid();
            close(in);
            in = open(terminal_name.c_str(), O_RDWR); // the controlling terminal
            if (in < 0)
                child_fail("cannot open the terminal\n");
            dup2(in, STDOUT_FILENO);
            dup2(in, STDERR_FILENO);
        } else {
            dup2(out_pipe[1], STDOUT_FILENO);
            dup2(err_pipe[1], STDERR_FILENO);
        }
        dup2(in, STDIN_FILENO);
        if (in > STDERR_FILENO)
            close(in);
        if (!options.directory.empty() && chdir(options.directory.c_str()) != 0)
            child_fail("chdir failed\n");
        if (options.file_size_limit >= 0) {
            if (!options.size_signal_default)
                signal(SIGXFSZ, SIG_IGN);
            set_limit(RLIMIT_FSIZE, options.file_size_limit);
        }
        set_limit(RLIMIT_CORE, 0); // a signal that dumps core leaves no file
        if (options.open_files_limit >= 0)
            set_limit(RLIMIT_NOFILE, options.open_files_limit);
        if (options.memory_limit >= 0)
            set_limit(RLIMIT_AS, options.memory_limit);
        if (options.time_limit > 0)
            alarm(options.time_limit);
        execve(argv[0], argv.data(), envp.data());
        child_fail("exec failed\n");
    }
    if (out_pipe[1] >= 0)
        close(out_pipe[1]);
    close(err_pipe[1]);
    bool windows = target_is_windows() && !options.host_program && !options.terminal;
    return ChildProcess{pid, out_pipe[0], err_pipe[0], windows && !options.raw_output, windows};
}

ChildResult finish_child(ChildProcess& child)
{
    ChildResult result;
    pollfd fds[2] = {{child.output_fd, POLLIN, 0}, {child.errors_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.output, &result.errors};
    int open_count = 2;
    char block[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t got = read(fds[i].fd, block, sizeof block);
            if (got > 0) {
                sinks[i]->append(block, static_cast<std::size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    if (child.windows_text)
        result.output = output_with_lf(result.output);
    if (child.windows_errors)
        result.errors = output_with_lf(result.errors);
    child = ChildProcess{};
    return result;
}

ChildResult run_child(const ChildOptions& options)
{
    ChildProcess child = start_child(options);
    return finish_child(child);
}
