// The commands of kestrel-mbx, the reader of the mailbox files that kestrel
// writes: it checks that they are whole, lists their messages and exports
// them as an mbox file, a Maildir or .eml files.
#include "mbx/commands.hpp"

#include "app/standard_streams.hpp"
#include "convert/interrupt.hpp"
#include "mbx/complaint.hpp"
#include "mbx/export_outputs.hpp"
#include "mbx/folder_name.hpp"
#include "mbx/imap_command.hpp"
#include "mbx/mailbox_reader.hpp"
#include "mbx/mbox_export.hpp"
#include "mbx/message_head.hpp"
#include "mbx/platform.hpp"
#include "mbx/user_node.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* usage_text =
    "usage: kestrel-mbx check MAILBOX...\n"
    "       kestrel-mbx list MAILBOX\n"
    "       kestrel-mbx mbox [OPTIONS] MAILBOX [OUTPUT]\n"
    "       kestrel-mbx mbox [OPTIONS] MAILBOX... OUTPUT\n"
    "       kestrel-mbx mbox --folders [OPTIONS] MAILBOX... DIRECTORY\n"
    "       kestrel-mbx maildir [OPTIONS] MAILBOX... DIRECTORY\n"
    "       kestrel-mbx eml [OPTIONS] MAILBOX DIRECTORY\n"
    "       kestrel-mbx imap [OPTIONS] MAILBOX... imaps://USER@HOST[:PORT][/PREFIX]\n"
    "       kestrel-mbx --help | --version\n"
    "\n"
    "Reads the mailbox files (.MBX) that kestrel writes.\n"
    "  check    checks that each mailbox is whole: one line per file,\n"
    "           \"MAILBOX: N messages, ok\" or the fault and its byte offset\n"
    "  list     one line per message: number, text size, sending date, sender,\n"
    "           subject, separated by TABs\n"
    "  mbox     writes the messages as an mbox file (mboxrd) to OUTPUT, which\n"
    "           must not exist yet, or to standard output; several mailboxes\n"
    "           one after another; with --folders, makes DIRECTORY with one\n"
    "           mbox file FOLDER.mbox per mailbox (MAIL.MBX -> MAIL.mbox)\n"
    "  maildir  makes DIRECTORY, which must not exist yet, a Maildir with one\n"
    "           file per message in its cur directory; several mailboxes (or\n"
    "           --folders) make a Maildir++ tree, a folder DIRECTORY/.FOLDER\n"
    "           per mailbox (MAIL.MBX -> .MAIL)\n"
    "  eml      makes DIRECTORY, which must not exist yet, with one file\n"
    "           NNNN.eml per message (CR LF line ends)\n"
    "  imap     appends the messages to an IMAP account, each mailbox to its\n"
    "           folder, created when missing; only the messages not there yet\n"
    "           (by Message-ID), so it can be run again after any interruption;\n"
    "           imap://USER@HOST for STARTTLS, which must succeed\n"
    "Options of mbox, maildir, eml and imap:\n"
    "  --domain DOMAIN  the Internet domain of the DECnet nodes\n"
    "  --charset NAME   the character set of 8-bit text that is not UTF-8:\n"
    "                   dec-mcs, latin1, cp437, cp850 or utf-8\n"
    "  --unread         exports every message unread; otherwise all are read\n"
    "                   but those of a mailbox named NEWMAIL\n"
    "  --folders        each mailbox a folder of DIRECTORY (mbox, maildir)\n"
    "  --node NODE      your own DECnet node, of the user names without one;\n"
    "                   else the node that others' messages give your name\n"
    "Options of imap (the password comes from KESTREL_IMAP_PASSWORD, else from\n"
    "--password-command, else it is asked on the terminal):\n"
    "  --cafile FILE            trust the CA certificates in FILE, not the system's\n"
    "  --password-command CMD   run CMD for the password (its first line)\n"
    "  --oauth2-token-command CMD  run CMD for an OAuth 2 access token\n"
    "                           (OAUTHBEARER or XOAUTH2)\n"
    "  --insecure-localhost     no TLS, for imap://USER@127.0.0.1 only\n"
    "An output gets its name only when it is complete; a damaged mailbox is\n"
    "refused and nothing is written. Each mailbox exported is said on\n"
    "standard error: \"MAIL.MBX: 412 messages -> Maildir/.MAIL\".\n"
    "\n"
    "Exit status: 0 on success, 1 when a mailbox is damaged, a file cannot\n"
    "be read or written, or the server refused a message or failed, 2 on bad\n"
    "usage.\n";

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
            print_text(stdout, "%s: %s, ok\n", path.c_str(),
                       messages_text(check.message_count).c_str());
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
// damage is reached, and the caller discards the target. So is one whose
// count of messages is no longer the `expected` one that the output was
// laid out for.
int export_mailbox(ExportTarget& target, const std::string& path, const ExportOptions& options,
                   std::uint32_t expected)
{
    MailboxReader reader;
    MailboxVerdict check;
    if (!open_for_export(reader, path, false, check))
        return 1;
    if (check.message_count != expected) {
        complain(path, "changed while it was exported");
        close_mailbox(reader);
        return 1;
    }
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
// The folders of a tree, each named after its mailbox: a name that is taken
// already, in any letter case (one name on Windows and macOS), gets a
// number.
void name_folders(std::vector<TargetFolder>& folders)
{
    std::vector<std::string> taken;
    auto upper = [](std::string text) {
        for (char& c : text)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        return text;
    };
    for (auto& folder : folders) {
        bool made_safe = false;
        std::string base = folder_name_of(folder.mailbox, made_safe);
        folder.name = base;
        if (made_safe)
            folder.note = "folder name made safe";
        for (int n = 2; std::find(taken.begin(), taken.end(), upper(folder.name)) != taken.end();
             ++n) {
            folder.name = base + "-" + std::to_string(n);
            folder.note = "the name " + base + " is taken by an earlier mailbox";
        }
        taken.push_back(upper(folder.name));
    }
}

// One line per mailbox on standard error: "MAIL.MBX: 412 messages ->
// Maildir/.MAIL".
void say_where(const ExportTarget& target)
{
    for (std::size_t k = 0; k < target.folders.size(); ++k) {
        const TargetFolder& folder = target.folders[k];
        std::string line = folder.mailbox + ": " + messages_text(folder.messages) + " -> " +
                           folder_destination(target, k);
        if (!folder.note.empty())
            line += " (" + folder.note + ")";
        print_text(stderr, "%s\n", line.c_str());
    }
}

int export_command(ExportForm form, const std::vector<std::string>& mailboxes, const char* output,
                   ExportOptions options)
{
    const bool check_first = output == nullptr || form != ExportForm::mbox || options.folders;
    std::vector<TargetFolder> folders;
    for (const auto& path : mailboxes) {
        MailboxReader reader;
        MailboxVerdict check;
        if (!open_for_export(reader, path, check_first, check))
            return 1;
        close_mailbox(reader);
        TargetFolder folder;
        folder.mailbox = path;
        folder.messages = check.message_count;
        folder.read = !options.unread && !mailbox_stays_unread(path);
        folders.push_back(folder);
    }
    if (options.folders || (form == ExportForm::maildir && mailboxes.size() > 1))
        name_folders(folders);
    if (options.node.empty() && !find_user_node(mailboxes, options.node))
        return 1;
    send_interrupt_notice_to_standard_error();
    install_interrupt_handlers();
    ExportTarget target;
    std::string refusal;
    if (!check_first)
        hold_complaints(&refusal);
    int failed = open_target(target, form, output, folders);
    hold_complaints(nullptr);
    if (failed) {
        if (!check_first && all_whole(mailboxes))
            print_text(stderr, "%s", refusal.c_str());
        return 1;
    }
    for (std::size_t k = 0; k < mailboxes.size(); ++k) {
        ExportOptions mailbox_options = options;
        mailbox_options.read = folders[k].read;
        if (enter_folder(target, k) ||
            export_mailbox(target, mailboxes[k], mailbox_options, folders[k].messages)) {
            discard_target(target);
            return 1;
        }
    }
    if (commit_target(target))
        return 1;
    say_where(target);
    return 0;
}

// The options of the exports, taken out of `arguments` wherever they
// stand; false after saying what is wrong.
bool take_options(std::vector<std::string>& arguments, ExportOptions& options, int& status,
                  ImapOptions* imap = nullptr)
{
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (int taken = imap ? take_imap_option(arguments, i, *imap) : 0) {
            if (taken < 0) {
                status = bad_usage("no value given for " + a);
                return false;
            }
            continue;
        }
        if (a == "--unread" || a == "--folders") {
            (a == "--unread" ? options.unread : options.folders) = true;
            continue;
        }
        std::string* value = a.rfind("--domain", 0) == 0    ? &options.domain
                             : a.rfind("--charset", 0) == 0 ? &options.charset
                             : a.rfind("--node", 0) == 0    ? &options.node
                                                            : nullptr;
        std::size_t name_length = a.find('=');
        std::string name = a.substr(0, name_length);
        if (value == nullptr || (name != "--domain" && name != "--charset" && name != "--node")) {
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
        const char* what = name == "--domain" ? "domain"
                           : name == "--node" ? "node"
                                              : "character set";
        if (refused_empty(*value, what, status))
            return false;
    }
    arguments = rest;
    std::string problem;
    if (!export_options_valid(options, problem)) {
        status = refuse(problem);
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
    if (answered_help_or_version(all.size() == 1 ? all[0].c_str() : nullptr))
        return flush_standard_output();
    if (all.empty())
        return bad_usage("no command given");
    const std::string command = all[0];
    std::vector<std::string> arguments(all.begin() + 1, all.end());
    const std::string wrong_count = "wrong number of arguments for " + command;
    int status = 0;
    if (command == "check" || command == "list")
        for (const auto& name : arguments)
            if (refused_empty(name, "mailbox", status))
                return status;
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
    if (command == "imap") {
        ExportOptions options;
        ImapOptions imap;
        int status = 0;
        if (!take_options(arguments, options, status, &imap))
            return status;
        for (std::size_t i = 0; i < arguments.size(); ++i)
            if (refused_empty(arguments[i], i + 1 < arguments.size() ? "mailbox" : "account",
                              status))
                return status;
        if (arguments.size() < 2)
            return bad_usage(wrong_count);
        std::vector<std::string> mailboxes = mailbox_names(arguments.begin(), arguments.end() - 1);
        if (options.node.empty() && !find_user_node(mailboxes, options.node))
            return 1;
        return imap_command(mailboxes, arguments.back(), options, imap);
    }
    ExportForm form = ExportForm::mbox;
    if (command == "maildir")
        form = ExportForm::maildir;
    else if (command == "eml")
        form = ExportForm::eml;
    else if (command != "mbox")
        return bad_usage("unknown command: " + command);
    ExportOptions options;
    if (!take_options(arguments, options, status))
        return status;
    if (options.folders && form == ExportForm::eml)
        return bad_usage("--folders is for mbox and maildir");
    // The last name is the output's, but for an mbox to standard output.
    const char* output = form == ExportForm::mbox ? "output" : "directory";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        bool mailbox = i + 1 < arguments.size() || (form == ExportForm::mbox && i == 0);
        if (refused_empty(arguments[i], mailbox ? "mailbox" : output, status))
            return status;
    }
    if (form == ExportForm::mbox && arguments.size() == 1 && !options.folders)
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
    set_companion("kestrel-mbx", usage_text);
    return run(std::vector<std::string>(argv + 1, argv + argc));
}
