// The standard streams and the command line on Windows: the console's
// code pages and wide-character output, the command line in UTF-16, and
// the wildcards that cmd hands over unexpanded.
#include "app/standard_streams.hpp"

#include "app/wide_text_win32.hpp"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

const bool shell_sets_variables_with_set = true;

namespace {

// The console's output code page when the program started, 0 without a
// console; lists made by DIR /B in that console are in this code page.
UINT console_code_page_at_start = 0;

bool is_utf8(const char* text)
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0) != 0;
}

} // namespace

std::wstring wide_of(const std::string& text, bool strict)
{
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    int size = MultiByteToWideChar(CP_UTF8, flags, text.c_str(), -1, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, flags, text.c_str(), -1, wide.data(), size);
    wide.pop_back();
    return wide;
}

std::string utf8_of(const wchar_t* wide)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
    text.pop_back();
    return text;
}

// A console or the NUL device is a character device; a file or a pipe is
// a redirected list, and so is a missing standard input.
bool standard_input_is_interactive()
{
    return GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_CHAR;
}

int standard_input_descriptor()
{
    return 0;
}

// Handles are never reused as standard streams on Windows, so nothing has
// to take their place. The program's texts are UTF-8, so a console shows
// them in that code page while the program runs.
void keep_standard_streams_taken()
{
    console_code_page_at_start = GetConsoleOutputCP();
    if (console_code_page_at_start != 0 && console_code_page_at_start != CP_UTF8)
        SetConsoleOutputCP(CP_UTF8);
}

void restore_standard_streams()
{
    if (console_code_page_at_start != 0 && console_code_page_at_start != CP_UTF8)
        SetConsoleOutputCP(console_code_page_at_start);
}

// The arguments as the user typed them, in UTF-8: the C library's own
// arguments are in the ANSI code page, where a character it lacks becomes
// a look-alike that may name another file.
void take_program_arguments(int& argc, char**& argv)
{
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return;
    for (int i = 0; i < count; ++i)
        texts.push_back(utf8_of(wide[i]));
    LocalFree(wide);
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
}

// A list line in UTF-8 is taken as it is; any other is in the code page of
// the console that made it (DIR /B writes that one), or the OEM code page.
// A character that code page lacks arrived as "?", which names no file.
void decode_list_line(char* line, std::size_t capacity)
{
    if (is_utf8(line))
        return;
    UINT code_page = console_code_page_at_start != 0 ? console_code_page_at_start : GetOEMCP();
    wchar_t wide[1024];
    int length = MultiByteToWideChar(code_page, 0, line, -1, wide, 1024);
    if (length == 0)
        return;
    char text[2048];
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    if (size > 0 && static_cast<std::size_t>(size) <= capacity)
        std::memcpy(line, text, static_cast<std::size_t>(size));
}

// The directory part (through the last backslash, slash or drive colon)
// is kept as typed in front of each name found; directories are left out.
std::vector<std::string> names_of_argument(const std::string& argument)
{
    std::size_t last_part = argument.find_last_of("\\/:");
    last_part = last_part == std::string::npos ? 0 : last_part + 1;
    if (argument.find_first_of("*?", last_part) == std::string::npos)
        return {argument};
    const std::string directory = argument.substr(0, last_part);
    std::wstring pattern = wide_of(argument);
    WIN32_FIND_DATAW found;
    HANDLE search =
        pattern.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return {argument};
    std::vector<std::string> names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(directory + utf8_of(found.cFileName));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (names.empty())
        return {argument};
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// The console behind standard output or error, or null when the stream is
// redirected (a file, a pipe, NUL): a console is a handle whose console
// mode can be read. Asked once for each stream.
HANDLE console_of(std::FILE* stream)
{
    static HANDLE consoles[2];
    static bool known[2];
    const int i = stream == stderr ? 1 : 0;
    if (!known[i]) {
        HANDLE handle = GetStdHandle(i == 1 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
        DWORD mode = 0;
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode))
            consoles[i] = handle;
        known[i] = true;
    }
    return consoles[i];
}

} // namespace

int print_text(std::FILE* stream, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    int result = print_text_list(stream, format, arguments);
    va_end(arguments);
    return result;
}

// A redirected stream gets the bytes through the C library, in text mode
// as ever. So does text that is not UTF-8 (a line of a folder in the VAX's
// character set), as the program has it. The bytes still in the stream's
// buffer go first.
int print_text_list(std::FILE* stream, const char* format, std::va_list arguments)
{
    HANDLE console = console_of(stream);
    if (console == nullptr)
        return std::vfprintf(stream, format, arguments);
    std::va_list copy;
    va_copy(copy, arguments);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0)
        return length;
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.pop_back();
    const std::wstring wide = wide_of(text, true);
    if (wide.empty())
        return std::fputs(text.c_str(), stream) < 0 ? -1 : length;
    std::fflush(stream);
    for (std::size_t done = 0; done < wide.size();) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
        if (!WriteConsoleW(console, wide.data() + done, chunk, &written, nullptr) || written == 0)
            return std::fputs(utf8_of(wide.c_str() + done).c_str(), stream) < 0 ? -1 : length;
        done += written;
    }
    return length;
}
