// Interrupts and fatal signals during a conversion. A signal that arrives
// while a folder is being converted removes the partial mailbox file and the
// staged copy that this run created, says so, and then ends the process by
// that same signal, so that a shell loop around the program stops too.
// Mailboxes already completed are never touched.
#pragma once

// Installs the handler for every signal that would end the process and can
// be caught (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGALRM,
// ...), leaving alone any of them that was ignored when the program
// started, and ignores SIGXFSZ, so that a file-size limit fails the write
// that meets it.
void install_interrupt_handlers();

// The handler says "Interrupted" on standard output, where kestrel says
// everything; this sends it to standard error instead, for the companions,
// whose standard output may be an mbox or a report.
void send_interrupt_notice_to_standard_error();

// Holds off the signals while a file is created and armed, so that no file
// can exist without the handler knowing its name.
void block_interrupts();
void unblock_interrupts();

// The handler removes the named file until it is disarmed.
void arm_mailbox_removal(const char* path);
void disarm_mailbox_removal();
void arm_staged_removal(const char* name);
void disarm_staged_removal();

// A removal of more than one file (the output directory of kestrel-mbx)
// that the handler makes first: `remove` must make only calls that are safe
// in a signal handler and must not wait for anything. nullptr disarms it.
void arm_removal_procedure(void (*remove)());
