// Ctrl-C, Ctrl-Break and the closing of the console on Windows. The system
// calls the handler on a thread of its own while the conversion goes on, so
// a lock stands for the blocking of signals on POSIX: the handler takes it
// and never gives it back, and whoever holds it (creating and arming a
// file, the commit of a mailbox) finishes first. The handler removes the
// armed files, says so, and ends the process with the status of a Ctrl-C,
// so that a batch loop around the program stops too.
#include "convert/interrupt.hpp"

#include "app/standard_streams.hpp"
#include "convert/conversion_state.hpp"

#include <windows.h>

#include <atomic>

#ifndef STATUS_CONTROL_C_EXIT
#define STATUS_CONTROL_C_EXIT ((DWORD)0xC000013AL)
#endif

namespace {

SRWLOCK guard = SRWLOCK_INIT;

// The names in UTF-16, ready for the handler.
wchar_t mailbox_to_remove[mailbox_temporary_capacity * 2 + 1];
wchar_t staged_to_remove[staged_name_capacity + 1];
std::atomic<bool> mailbox_armed{false};
std::atomic<bool> staged_armed{false};
std::atomic<void (*)()> removal_procedure{nullptr};
std::atomic<DWORD> notice_handle{STD_OUTPUT_HANDLE};

template <std::size_t N> bool copy_name(wchar_t (&to)[N], const char* from)
{
    return MultiByteToWideChar(CP_UTF8, 0, from, -1, to, static_cast<int>(N)) != 0;
}

BOOL WINAPI on_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    AcquireSRWLockExclusive(&guard);
    if (auto remove = removal_procedure.load())
        remove();
    if (mailbox_armed)
        DeleteFileW(mailbox_to_remove);
    if (staged_armed)
        DeleteFileW(staged_to_remove);
    static const char notice[] = "\r\nInterrupted\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(notice_handle.load()), notice, sizeof notice - 1, &written, nullptr);
    restore_standard_streams();
    // TerminateProcess rather than ExitProcess: no clean-up of the C library
    // runs while the conversion's thread may hold its locks. Closing the
    // handles removes the message buffer; the uncommitted mailbox is gone
    // by its temporary name above.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

} // namespace

void install_interrupt_handlers()
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void send_interrupt_notice_to_standard_error()
{
    notice_handle = STD_ERROR_HANDLE;
}

void block_interrupts()
{
    AcquireSRWLockExclusive(&guard);
}

void unblock_interrupts()
{
    ReleaseSRWLockExclusive(&guard);
}

void arm_mailbox_removal(const char* path)
{
    mailbox_armed = copy_name(mailbox_to_remove, path);
}

void disarm_mailbox_removal()
{
    mailbox_armed = false;
}

void arm_staged_removal(const char* name)
{
    staged_armed = copy_name(staged_to_remove, name);
}

void disarm_staged_removal()
{
    staged_armed = false;
}

void arm_removal_procedure(void (*remove)())
{
    removal_procedure = remove;
}
