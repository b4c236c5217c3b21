#include "convert/interrupt.hpp"

#include "convert/conversion_state.hpp"

#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

// Every signal whose default action ends the process and that can be
// caught, the real-time ones too (see for_each_handled_signal). SIGXFSZ is
// not among them: it is ignored, so that a file-size limit fails the write
// ("File too large") and with it that one folder, not the whole run.
constexpr int fixed_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,  SIGFPE,    SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGIO,   SIGXCPU, SIGPROF, SIGVTALRM, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

template <typename Action> void for_each_handled_signal(Action action)
{
    for (int s : fixed_signals)
        action(s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s)
        action(s);
}

// The names live in fixed buffers so that the handler reads them without
// calling anything that is unsafe in a signal handler.
char mailbox_to_remove[mailbox_temporary_capacity + 1];
char staged_to_remove[staged_name_capacity + 1];
volatile sig_atomic_t mailbox_armed = 0;
volatile sig_atomic_t staged_armed = 0;
void (*volatile removal_procedure)() = nullptr;
volatile sig_atomic_t notice_descriptor = STDOUT_FILENO;

// The notice may go to a pipe whose reader has gone: SIGPIPE is ignored
// first (which also drops one already pending), so that the write fails
// instead and the process ends by the signal that interrupted it. That
// signal is then unblocked and raised again with its default action.
void on_fatal_signal(int signal_number)
{
    if (removal_procedure)
        removal_procedure();
    if (mailbox_armed)
        unlink(mailbox_to_remove);
    if (staged_armed)
        unlink(staged_to_remove);
    signal(SIGPIPE, SIG_IGN);
    static const char notice[] = "\nInterrupted\n";
    ssize_t ignored = write(notice_descriptor, notice, sizeof notice - 1);
    (void)ignored;
    signal(signal_number, SIG_DFL);
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signal_number);
    sigprocmask(SIG_UNBLOCK, &own, nullptr);
    raise(signal_number);
}

sigset_t handled_set()
{
    sigset_t set;
    sigemptyset(&set);
    for_each_handled_signal([&set](int s) { sigaddset(&set, s); });
    return set;
}

void copy_name(char* to, std::size_t capacity, const char* from)
{
    std::size_t length = strnlen(from, capacity);
    std::memcpy(to, from, length);
    to[length] = '\0';
}

} // namespace

// A signal that is ignored when the program starts (as nohup leaves
// SIGHUP) stays ignored, and one that already has a handler (a sanitizer's
// runtime catches SIGSEGV and its kin to report the fault) keeps it.
void install_interrupt_handlers()
{
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    action.sa_mask = handled_set();
    for_each_handled_signal([&action](int s) {
        struct sigaction previous {};
        if (sigaction(s, nullptr, &previous) == 0 && (previous.sa_flags & SA_SIGINFO) == 0 &&
            previous.sa_handler == SIG_DFL)
            sigaction(s, &action, nullptr);
    });
    signal(SIGXFSZ, SIG_IGN);
}

void send_interrupt_notice_to_standard_error()
{
    notice_descriptor = STDERR_FILENO;
}

void block_interrupts()
{
    sigset_t set = handled_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void unblock_interrupts()
{
    sigset_t set = handled_set();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void arm_mailbox_removal(const char* path)
{
    copy_name(mailbox_to_remove, mailbox_temporary_capacity, path);
    mailbox_armed = 1;
}

void disarm_mailbox_removal()
{
    mailbox_armed = 0;
}

void arm_staged_removal(const char* name)
{
    copy_name(staged_to_remove, staged_name_capacity, name);
    staged_armed = 1;
}

void disarm_staged_removal()
{
    staged_armed = 0;
}

void arm_removal_procedure(void (*remove)())
{
    removal_procedure = remove;
}
