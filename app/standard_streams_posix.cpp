// The standard streams on POSIX systems.
#include "app/standard_streams.hpp"

#include <cstdarg>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

const bool shell_sets_variables_with_set = false;

bool standard_input_is_interactive()
{
    struct stat info;
    return fstat(STDIN_FILENO, &info) == 0 && S_ISCHR(info.st_mode);
}

int standard_input_descriptor()
{
    return STDIN_FILENO;
}

// A closed standard output or error would be the first descriptor handed
// out for a file, and a message printed later would then land in a mailbox.
// /dev/null takes their place. Standard input is left as it is: closed, it
// is a list that holds no line.
void keep_standard_streams_taken()
{
    for (int fd : {1, 2}) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

void restore_standard_streams() {}

// The C library hands over the arguments as the bytes the user gave.
void take_program_arguments(int&, char**&) {}

// A list line is a name as the system has it, byte for byte.
void decode_list_line(char*, std::size_t) {}

std::vector<std::string> names_of_argument(const std::string& argument)
{
    return {argument};
}

int print_text(std::FILE* stream, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    int result = std::vfprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}

int print_text_list(std::FILE* stream, const char* format, std::va_list arguments)
{
    return std::vfprintf(stream, format, arguments);
}
