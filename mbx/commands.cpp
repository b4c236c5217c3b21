// The commands of kestrel-mbx, the reader of the mailbox files that kestrel
// writes: it checks that they are whole, lists their messages and exports
// them as an mbox file, a Maildir or .eml files.
#include "mbx/commands.hpp"

#include "app/standard_streams.hpp"
#include "convert/interrupt.hpp"
#include "mbx/complaint.hpp"
#include "mbx/export_outputs.hpp"
#include "mbx/mailbox_reader.hpp"
#include "mbx/mbox_export.hpp"
#include "mbx/message_head.hpp"
#include "mbx/platform.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* program = "kestrel-mbx";
constexpr int status_bad_usage = 2;

constexpr const char* usage_text =
    "usage: kestrel-mbx check MAILBOX...\n"
    "       kestrel-mbx list MAILBOX\n"
    "       kestrel-mbx mbox [OPTIONS] MAILBOX [OUTPUT]\n"
    "       kestrel-mbx mbox [OPTIONS] MAILBOX... OUTPUT\n"
    "       kestrel-mbx maildir [OPTIONS] MAILBOX... DIRECTORY\n"
    "       kestrel-mbx eml [OPTIONS] MAILBOX DIRECTORY\n"
    "       kestrel-mbx --help | --version\n"
    "\n"
    "Reads the mailbox files (.MBX) that kestrel writes.\n"
    "  check    checks that each mailbox is whole: one line per file,\n"
    "           \"MAILBOX: N messages, ok\" or the fault and its byte offset\n"
    "  list     one line per message: number, text size, sending date, sender,\n"
    "           subject, separated by TABs\n"
    "  mbox     writes the messages as an mbox file (mboxrd) to OUTPUT, which\n"
    "           must not exist yet, or to standard output; several mailboxes\n"
    "           one after another\n"
    "  maildir  makes DIRECTORY, which must not exist yet, a Maildir with one\n"
    "           file per message in its cur directory\n"
    "  eml      makes DIRECTORY, which must not exist yet, with one file\n"
    "           NNNN.eml per message (CR LF line ends)\n"
    "Options of mbox, maildir and eml:\n"
    "  --domain DOMAIN  the Internet domain of the DECnet nodes\n"
    "  --charset NAME   the character set of 8-bit text that is not UTF-8:\n"
    "                   dec-mcs, latin1, cp437, cp850 or utf-8\n"
    "An output gets its name only when it is complete; a damaged mailbox is\n"
    "refused and nothing is written.\n"
    "\n"
    "Exit status: 0 on success, 1 when a mailbox is damaged or a file cannot\n"
    "be read or written, 2 on bad usage.\n";

int bad_usage(const std::string& what)
{
    print_text(stderr, "%s: %s\n%s", program, what.c_str(), usage_text);
    return status_bad_usage;
}

bool open_for_reading(MailboxReader& reader, const std::string& path)
{
    if (open_mailbox(reader, path.c_str())) {
        complain(path, reader.error_text);
        return false;
    }
    return true;
}

std::string fault_text(const MailboxVerdict& check)
{
    return "damaged at byte " + std::to_string(check.offset) + ": " + check.problem;
}

// Opens and checks one mailbox for list and the exports; false after
// saying why.
bool open_whole(MailboxReader& reader, const std::string& path, MailboxVerdict& check)
{
    if (!open_for_reading(reader, path))
        return false;
    check = check_mailbox(reader);
    if (check.whole)
        return true;
    complain(path, fault_text(check));
    close_mailbox(reader);
    return false;
}

int flush_standard_output()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        complain("standard output", std::strerror(errno));
        return 1;
    }
    return 0;
}

int check_command(const std::vector<std::string>& paths)
{
    int status = 0;
    for (const auto& path : paths) {
        MailboxReader reader;
        if (!open_for_reading(reader, path)) {
            status = 1;
            continue;
        }
        MailboxVerdict check = check_mailbox(reader);
        close_mailbox(reader);
        if (check.whole) {
            print_text(stdout, "%s: %u messages, ok\n", path.c_str(), check.message_count);
        } else {
            print_text(stdout, "%s: %s\n", path.c_str(), fault_text(check).c_str());
            status = 1;
        }
    }
    return flush_standard_output() ? 1 : status;
}

// Control characters of a sender or subject are shown as "?", so that a
// listing cannot move the terminal's cursor; other bytes pass unchanged.
std::string printable(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return shown.empty() ? "-" : shown;
}

int list_command(const std::string& path)
{
    MailboxReader reader;
    MailboxVerdict check;
    if (!open_whole(reader, path, check))
        return 1;
    std::uint64_t at = mailbox_header_size;
    MessageHead head;
    for (std::uint32_t n = 0; n < check.message_count; ++n) {
        MailboxRecord record;
        if (!read_record(reader, at, record) ||
            !read_message_head(reader, record.text_offset, record.text_size, head)) {
            complain(path, reader.error_text);
            close_mailbox(reader);
            return 1;
        }
        const HeadLine& dated = head.date.found ? head.date : head.received;
        std::string date = "-";
        if (dated.found) {
            auto sending = parse_sending_date(dated.value);
            date = sending ? header_date(*sending) : printable(dated.value);
        }
        print_text(stdout, "%u\t%u\t%s\t%s\t%s\n", record.number, record.text_size, date.c_str(),
                   printable(head.sender).c_str(), printable(head.subject.value).c_str());
        at = record.text_offset + record.text_size + 1;
    }
    close_mailbox(reader);
    return flush_standard_output();
}

// Opens one mailbox for an export and checks it: wholly when `whole`, else
// its header alone, its records being checked as they are exported. False
// after saying why.
bool open_for_export(MailboxReader& reader, const std::string& path, bool whole,
                     MailboxVerdict& check)
{
    if (whole)
        return open_whole(reader, path, check);
    if (!open_for_reading(reader, path))
        return false;
    check = check_mailbox_header(reader);
    if (check.whole)
        return true;
    complain(path, fault_text(check));
    close_mailbox(reader);
    return false;
}

// Every message of one mailbox into the target, each record checked just
// before it is exported (read through the same block, so the check costs no
// read of its own), and the file's end after the last one: a mailbox
// damaged midway, or changed since an earlier check, is refused when the
// damage is reached, and the caller discards the target.
int export_mailbox(ExportTarget& target, const std::string& path, const ExportOptions& options)
{
    MailboxReader reader;
    MailboxVerdict check;
    if (!open_for_export(reader, path, false, check))
        return 1;
    std::uint64_t at = mailbox_header_size;
    for (std::uint32_t n = 1; n <= check.message_count; ++n) {
        std::uint64_t next = at;
        hold_record(reader, at);
        MailboxVerdict record_check = check_mailbox_record(reader, n, next);
        MailboxRecord record;
        if (!record_check.whole) {
            complain(path, fault_text(record_check));
            close_mailbox(reader);
            return 1;
        }
        if (!read_record(reader, at, record)) {
            complain(path, reader.error_text);
            close_mailbox(reader);
            return 1;
        }
        if (put_message(target, reader, record, options, path.c_str())) {
            close_mailbox(reader);
            return 1;
        }
        at = next;
        if (n == UINT32_MAX)
            break;
    }
    MailboxVerdict end = check_mailbox_end(reader, at);
    close_mailbox(reader);
    if (!end.whole) {
        complain(path, fault_text(end));
        return 1;
    }
    return 0;
}

// Checks every mailbox wholly; false after saying what is damaged.
bool all_whole(const std::vector<std::string>& mailboxes)
{
    for (const auto& path : mailboxes) {
        MailboxReader reader;
        MailboxVerdict check;
        if (!open_whole(reader, path, check))
            return false;
        close_mailbox(reader);
    }
    return true;
}

// A damaged mailbox is refused and nothing is written. Standard output
// cannot take back what it was given, so there every mailbox is checked
// wholly first; a file gets its name only when it is complete, so there the
// records are checked as they are exported, in the same reads, and a
// damaged one found midway discards the unnamed file. When the output
// cannot be made, the mailboxes are checked wholly first all the same: a
// damaged mailbox is what the user hears of, as when it is found first.
int export_command(ExportForm form, const std::vector<std::string>& mailboxes, const char* output,
                   const ExportOptions& options)
{
    const bool check_first = output == nullptr || form != ExportForm::mbox;
    std::uint64_t message_count = 0;
    for (const auto& path : mailboxes) {
        MailboxReader reader;
        MailboxVerdict check;
        if (!open_for_export(reader, path, check_first, check))
            return 1;
        close_mailbox(reader);
        message_count += check.message_count;
    }
    install_interrupt_handlers();
    ExportTarget target;
    std::string refusal;
    if (!check_first)
        hold_complaints(&refusal);
    int failed = open_target(target, form, output, message_count);
    hold_complaints(nullptr);
    if (failed) {
        if (!check_first && all_whole(mailboxes))
            print_text(stderr, "%s", refusal.c_str());
        return 1;
    }
    for (const auto& path : mailboxes)
        if (export_mailbox(target, path, options)) {
            discard_target(target);
            return 1;
        }
    return commit_target(target);
}

// The options of the exports, taken out of `arguments` wherever they
// stand; false after saying what is wrong.
bool take_options(std::vector<std::string>& arguments, ExportOptions& options, int& status)
{
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        std::string* value = a.rfind("--domain", 0) == 0    ? &options.domain
                             : a.rfind("--charset", 0) == 0 ? &options.charset
                                                            : nullptr;
        std::size_t name_length = a.find('=');
        std::string name = a.substr(0, name_length);
        if (value == nullptr || (name != "--domain" && name != "--charset")) {
            if (a.size() > 2 && a.rfind("--", 0) == 0) {
                status = bad_usage("unknown option: " + a);
                return false;
            }
            rest.push_back(a);
            continue;
        }
        if (name_length != std::string::npos) {
            *value = a.substr(name_length + 1);
        } else if (i + 1 < arguments.size()) {
            *value = arguments[++i];
        } else {
            status = bad_usage("no value given for " + a);
            return false;
        }
    }
    arguments = rest;
    std::string problem;
    if (!export_options_valid(options, problem)) {
        print_text(stderr, "%s: %s\n", program, problem.c_str());
        status = status_bad_usage;
        return false;
    }
    return true;
}

// The mailboxes that the arguments stand for, wildcards expanded where the
// shell does not.
std::vector<std::string> mailbox_names(std::vector<std::string>::const_iterator from,
                                       std::vector<std::string>::const_iterator to)
{
    std::vector<std::string> names;
    for (; from != to; ++from)
        for (auto& name : names_of_argument(*from))
            names.push_back(std::move(name));
    return names;
}

int run(const std::vector<std::string>& all)
{
    if (all.size() == 1 && (all[0] == "--help" || all[0] == "-h")) {
        print_text(stdout, "%s", usage_text);
        return flush_standard_output();
    }
    if (all.size() == 1 && all[0] == "--version") {
        print_text(stdout, "kestrel-mbx %s\n", KESTREL_VERSION);
        return flush_standard_output();
    }
    if (all.empty())
        return bad_usage("no command given");
    const std::string command = all[0];
    std::vector<std::string> arguments(all.begin() + 1, all.end());
    const std::string wrong_count = "wrong number of arguments for " + command;
    if (command == "check") {
        if (arguments.empty())
            return bad_usage(wrong_count);
        return check_command(mailbox_names(arguments.begin(), arguments.end()));
    }
    if (command == "list") {
        std::vector<std::string> names = mailbox_names(arguments.begin(), arguments.end());
        if (names.size() != 1)
            return bad_usage(wrong_count);
        return list_command(names[0]);
    }
    ExportForm form = ExportForm::mbox;
    if (command == "maildir")
        form = ExportForm::maildir;
    else if (command == "eml")
        form = ExportForm::eml;
    else if (command != "mbox")
        return bad_usage("unknown command: " + command);
    ExportOptions options;
    int status = 0;
    if (!take_options(arguments, options, status))
        return status;
    if (form == ExportForm::mbox && arguments.size() == 1)
        return export_command(form, mailbox_names(arguments.begin(), arguments.end()), nullptr,
                              options);
    if (arguments.size() < 2)
        return bad_usage(wrong_count);
    std::vector<std::string> mailboxes = mailbox_names(arguments.begin(), arguments.end() - 1);
    if (form == ExportForm::eml && mailboxes.size() != 1)
        return bad_usage(wrong_count);
    return export_command(form, mailboxes, arguments.back().c_str(), options);
}

} // namespace

int run_kestrel_mbx(int argc, char** argv)
{
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
