// What kestrel-mbx needs of Windows: cmd hands wildcards over unexpanded.
#include "mbx/platform.hpp"

#include <windows.h>

#include <algorithm>

namespace {

std::wstring wide_of(const std::string& text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
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

} // namespace

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

unsigned long process_number()
{
    return GetCurrentProcessId();
}

const char maildir_info_separator = ';';
