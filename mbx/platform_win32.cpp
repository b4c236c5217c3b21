// What kestrel-mbx needs of Windows beyond the file layer.
#include "mbx/platform.hpp"

#include "app/wide_text_win32.hpp"

#include <windows.h>

#include <algorithm>

unsigned long process_number()
{
    return GetCurrentProcessId();
}

const char maildir_info_separator = ';';

int run_secret_command(const std::string& command, std::string& output, std::string& problem)
{
    output.clear();
    std::fflush(nullptr);
    std::wstring wide = wide_of(command);
    FILE* pipe = wide.empty() ? nullptr : _wpopen(wide.c_str(), L"rb");
    if (!pipe) {
        problem = "cannot run the command";
        return 1;
    }
    read_secret_output(pipe, output);
    int status = _pclose(pipe);
    if (status != 0) {
        output.clear();
        problem = "the command ended with status " + std::to_string(status);
        return 1;
    }
    return 0;
}

int ask_secret(const std::string& prompt, std::string& secret, std::string& problem)
{
    secret.clear();
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode) ||
        !SetConsoleMode(in, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT)) {
        if (in != INVALID_HANDLE_VALUE)
            CloseHandle(in);
        if (out != INVALID_HANDLE_VALUE)
            CloseHandle(out);
        problem = "no console to ask on";
        return 1;
    }
    std::wstring wide_prompt = wide_of(prompt);
    DWORD done = 0;
    WriteConsoleW(out, wide_prompt.c_str(), static_cast<DWORD>(wide_prompt.size()), &done, nullptr);
    std::wstring typed;
    for (;;) {
        wchar_t c;
        DWORD got = 0;
        if (!ReadConsoleW(in, &c, 1, &got, nullptr) || got == 0 || c == L'\n' || c == L'\r')
            break;
        if (typed.size() < 4096)
            typed += c;
    }
    WriteConsoleW(out, L"\r\n", 2, &done, nullptr);
    SetConsoleMode(in, mode);
    CloseHandle(in);
    CloseHandle(out);
    secret = utf8_of(typed.c_str());
    if (secret.empty()) {
        problem = "no password given";
        return 1;
    }
    return 0;
}

namespace {

DWORD WINAPI thread_main(LPVOID run)
{
    reinterpret_cast<void (*)()>(run)();
    return 0;
}

} // namespace

// The console's handler runs on a thread of its own whatever the others
// do; no signal reaches this one.
bool start_thread(void (*run)())
{
    HANDLE thread = CreateThread(nullptr, 1 << 18, thread_main, reinterpret_cast<LPVOID>(run),
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr)
        return false;
    CloseHandle(thread);
    return true;
}

bool standard_error_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
