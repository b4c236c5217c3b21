// Runs one command and prints its wall time, peak resident memory and exit
// status on one line:
//   "<seconds> <peak RSS in KiB> <status> <CPU seconds> <waiting seconds>"
// CPU seconds are user and system time together; waiting seconds are the
// time the command was ready to run but other processes had the processors
// (the scheduler's run delay, -1 where the kernel does not keep it), so that
// wall time minus waiting time tells what the run costs on a quiet machine.
//
//   measure [--cwd DIR] [--stdin FILE] [--stdout FILE] -- COMMAND ARGS...
//
// The child is started with posix_spawn from this small process: the kernel
// counts the resident memory of the process that started a program into
// that program's peak, so a large parent (a script interpreter) would hide
// the figure. The child gets a fixed environment (PATH, TZ=UTC, LC_ALL=C,
// KESTREL_VAX_USERNAME=SMITH) so that no setting of the caller's shell
// changes the output.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

int main(int argc, char** argv)
{
    const char* cwd = nullptr;
    const char* in = "/dev/null";
    const char* out = "/dev/null";
    int first = 1;
    for (; first + 1 < argc && std::strcmp(argv[first], "--") != 0; first += 2) {
        if (std::strcmp(argv[first], "--cwd") == 0)
            cwd = argv[first + 1];
        else if (std::strcmp(argv[first], "--stdin") == 0)
            in = argv[first + 1];
        else if (std::strcmp(argv[first], "--stdout") == 0)
            out = argv[first + 1];
        else
            break;
    }
    if (first >= argc || std::strcmp(argv[first], "--") != 0 || first + 1 >= argc) {
        std::fprintf(stderr, "usage: measure [--cwd DIR] [--stdin FILE] [--stdout FILE] "
                             "-- COMMAND ARGS...\n");
        return 2;
    }
    char** command = argv + first + 1;

    const char* path = std::getenv("PATH");
    static char path_setting[4096];
    std::snprintf(path_setting, sizeof path_setting, "PATH=%s",
                  path != nullptr ? path : "/usr/bin:/bin");
    char* environment[] = {path_setting, const_cast<char*>("TZ=UTC"), const_cast<char*>("LC_ALL=C"),
                           const_cast<char*>("KESTREL_VAX_USERNAME=SMITH"), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (cwd != nullptr)
        posix_spawn_file_actions_addchdir_np(&actions, cwd);
    posix_spawn_file_actions_addopen(&actions, 0, in, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);

    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    int error = posix_spawnp(&pid, command[0], &actions, nullptr, command, environment);
    if (error != 0) {
        std::fprintf(stderr, "measure: cannot start %s: %s\n", command[0], std::strerror(error));
        return 1;
    }
    // Wait for the end without reaping, so that the scheduler's figures of
    // the finished process can still be read.
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    clock_gettime(CLOCK_MONOTONIC, &end);
    double waiting = -1;
    char stat_path[64];
    std::snprintf(stat_path, sizeof stat_path, "/proc/%d/schedstat", static_cast<int>(pid));
    if (std::FILE* stat = std::fopen(stat_path, "r")) {
        unsigned long long running = 0, delay = 0;
        if (std::fscanf(stat, "%llu %llu", &running, &delay) == 2)
            waiting = static_cast<double>(delay) / 1e9;
        std::fclose(stat);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        std::perror("measure: wait4");
        return 1;
    }
    double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                     static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.6f %ld %d %.6f %.6f\n", seconds, usage.ru_maxrss, code, cpu, waiting);
    return 0;
}
