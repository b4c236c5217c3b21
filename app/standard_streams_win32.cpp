// The standard streams and the command line on Windows.
#include "app/standard_streams.hpp"

#include <windows.h>

#include <shellapi.h>

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

} // namespace

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
