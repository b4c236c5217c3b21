// kestrel-mbx: the reader of the mailbox files that kestrel writes. Checks
// that they are whole, lists their messages and exports them as mbox files.
#include "mbx/mailbox_reader.hpp"
#include "mbx/mbox_export.hpp"
#include "mbx/message_head.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* program = "kestrel-mbx";
constexpr int status_bad_usage = 2;

constexpr const char* usage_text =
    "usage: kestrel-mbx check MAILBOX...\n"
    "       kestrel-mbx list MAILBOX\n"
    "       kestrel-mbx mbox MAILBOX [OUTPUT]\n"
    "       kestrel-mbx --help\n"
    "\n"
    "Reads the mailbox files (.MBX) that kestrel writes.\n"
    "  check  checks that each mailbox is whole: one line per file,\n"
    "         \"MAILBOX: N messages, ok\" or the fault and its byte offset\n"
    "  list   one line per message: number, text size, sending date, sender,\n"
    "         subject, separated by TABs\n"
    "  mbox   writes the messages as an mbox file (mboxrd) to OUTPUT, which\n"
    "         must not exist yet, or to standard output\n"
    "\n"
    "Exit status: 0 on success, 1 when a mailbox is damaged or a file cannot\n"
    "be read or written, 2 on bad usage.\n";

void complain(const char* name, const std::string& what)
{
    std::fprintf(stderr, "%s: %s: %s\n", program, name, what.c_str());
}

int bad_usage(const char* what)
{
    std::fprintf(stderr, "%s: %s\n%s", program, what, usage_text);
    return status_bad_usage;
}

bool open_for_reading(MailboxReader& reader, const char* path)
{
    if (int error = open_mailbox(reader, path)) {
        complain(path, std::strerror(error));
        return false;
    }
    return true;
}

std::string fault_text(const MailboxVerdict& check)
{
    return "damaged at byte " + std::to_string(check.offset) + ": " + check.problem;
}

// Opens and checks one mailbox for list and mbox; false after saying why.
bool open_whole(MailboxReader& reader, const char* path, MailboxVerdict& check)
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

int check_command(int count, char** paths)
{
    int status = 0;
    for (int i = 0; i < count; ++i) {
        MailboxReader reader;
        if (!open_for_reading(reader, paths[i])) {
            status = 1;
            continue;
        }
        MailboxVerdict check = check_mailbox(reader);
        close_mailbox(reader);
        if (check.whole) {
            std::printf("%s: %u messages, ok\n", paths[i], check.message_count);
        } else {
            std::printf("%s: %s\n", paths[i], fault_text(check).c_str());
            status = 1;
        }
    }
    return status;
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

int list_command(const char* path)
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
            complain(path, std::strerror(reader.error));
            close_mailbox(reader);
            return 1;
        }
        const HeadLine& dated = head.date.found ? head.date : head.received;
        std::string date = "-";
        if (dated.found) {
            auto sending = parse_sending_date(dated.value);
            date = sending ? header_date(*sending) : printable(dated.value);
        }
        std::printf("%u\t%u\t%s\t%s\t%s\n", record.number, record.text_size, date.c_str(),
                    printable(head.sender).c_str(), printable(head.subject.value).c_str());
        at = record.text_offset + record.text_size + 1;
    }
    close_mailbox(reader);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        complain("standard output", std::strerror(errno));
        return 1;
    }
    return 0;
}

int mbox_command(const char* path, const char* output_path)
{
    MailboxReader reader;
    MailboxVerdict check;
    if (!open_whole(reader, path, check))
        return 1;
    ExportOutput out;
    out.block.resize(output_block_size);
    out.fd = STDOUT_FILENO;
    const char* out_name = "standard output";
    if (output_path) {
        out_name = output_path;
        out.fd = ::open(output_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out.fd < 0) {
            complain(output_path, std::strerror(errno));
            close_mailbox(reader);
            return 1;
        }
    }
    bool read_ok = export_mbox(reader, check.message_count, ExportOptions{}, out);
    int read_error = reader.error;
    close_mailbox(reader);
    int write_error = output_flush(out);
    if (output_path && ::close(out.fd) != 0 && write_error == 0)
        write_error = errno;
    if (read_ok && write_error == 0)
        return 0;
    if (!read_ok)
        complain(path, std::strerror(read_error));
    else
        complain(out_name, std::strerror(write_error));
    if (output_path && ::unlink(output_path) != 0)
        complain(output_path,
                 std::string("cannot remove the partial file: ") + std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(usage_text, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc < 2)
        return bad_usage("no command given");
    const std::string command = argv[1];
    int rest = argc - 2;
    if (command == "check" && rest >= 1) {
        int status = check_command(rest, argv + 2);
        if (std::fflush(stdout) != 0)
            status = 1;
        return status;
    }
    if (command == "list" && rest == 1)
        return list_command(argv[2]);
    if (command == "mbox" && (rest == 1 || rest == 2))
        return mbox_command(argv[2], rest == 2 ? argv[3] : nullptr);
    if (command == "check" || command == "list" || command == "mbox")
        return bad_usage(("wrong number of arguments for " + command).c_str());
    return bad_usage(("unknown command: " + command).c_str());
}
