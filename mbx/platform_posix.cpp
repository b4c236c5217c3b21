// What kestrel-mbx needs of a POSIX system.
#include "mbx/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

unsigned long process_number()
{
    return static_cast<unsigned long>(getpid());
}

const char maildir_info_separator = ':';

int run_secret_command(const std::string& command, std::string& output, std::string& problem)
{
    output.clear();
    std::fflush(nullptr);
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        problem = std::string("cannot run the command: ") + std::strerror(errno);
        return 1;
    }
    read_secret_output(pipe, output);
    int status = pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        output.clear();
        problem = WIFEXITED(status)
                      ? "the command ended with status " + std::to_string(WEXITSTATUS(status))
                      : std::string("the command did not end normally");
        return 1;
    }
    return 0;
}

int ask_secret(const std::string& prompt, std::string& secret, std::string& problem)
{
    secret.clear();
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) {
        problem = "no terminal to ask on";
        return 1;
    }
    termios before{};
    bool echo_off = tcgetattr(tty, &before) == 0;
    if (echo_off) {
        termios quiet = before;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        echo_off = tcsetattr(tty, TCSANOW, &quiet) == 0;
    }
    if (!echo_off) {
        close(tty);
        problem = "cannot turn off the terminal's echo";
        return 1;
    }
    ssize_t written = write(tty, prompt.data(), prompt.size());
    (void)written;
    bool ended = false;
    for (char c; !ended;) {
        ssize_t n = read(tty, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n' || c == '\r')
            ended = true;
        else if (secret.size() < 4096)
            secret += c;
    }
    tcsetattr(tty, TCSANOW, &before);
    close(tty);
    if (secret.empty()) {
        problem = "no password given";
        return 1;
    }
    return 0;
}

bool standard_error_is_terminal()
{
    return isatty(2) == 1;
}

namespace {

constexpr std::size_t thread_stack_size = 1 << 16;

void* thread_main(void* run)
{
    reinterpret_cast<void (*)()>(run)();
    return nullptr;
}

} // namespace

// The new thread takes the signal mask of the one that starts it: every
// signal is held off around the start, so none reaches it even at once.
bool start_thread(void (*run)())
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setstacksize(&attributes, thread_stack_size);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    const bool started =
        pthread_create(&thread, &attributes, thread_main, reinterpret_cast<void*>(run)) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
}
