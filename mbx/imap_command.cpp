#include "mbx/imap_command.hpp"

#include "app/standard_streams.hpp"
#include "convert/interrupt.hpp"
#include "mbx/complaint.hpp"
#include "mbx/folder_name.hpp"
#include "mbx/header_date.hpp"
#include "mbx/imap_credentials.hpp"
#include "mbx/imap_protocol.hpp"
#include "mbx/imap_spool.hpp"
#include "mbx/imap_url.hpp"
#include "mbx/mailbox_reader.hpp"
#include "mbx/message_head.hpp"
#include "mbx/platform.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace {

// A MULTIAPPEND carries at most this many messages or bytes: the server
// stores them all or none, and a refused batch is sent again message by
// message.
constexpr std::size_t batch_messages = 200;
constexpr std::uint64_t batch_bytes = 32 << 20;
// Larger messages wait for the server's go-ahead, so that one it will not
// take is refused before its text is sent.
constexpr std::uint64_t go_ahead_size = 4 << 20;

const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Account {
    ImapUrl url;
    std::string url_text;
    ImapSession session;
    char delimiter = '/'; // between the levels of folder names; 0: none
};

// What one mailbox came to.
struct FolderTally {
    std::uint32_t messages = 0;
    std::uint32_t appended = 0;
    std::uint32_t present = 0;
    std::uint32_t refused = 0;
    std::uint64_t bytes_done = 0;
};

// The progress line on a terminal, at most twice a second.
struct Progress {
    bool shown = false;
    std::string folder;
    std::chrono::steady_clock::time_point start, last;
};

void show_progress(Progress& p, const FolderTally& t, bool final)
{
    if (!p.shown)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!final && now - p.last < std::chrono::milliseconds(500))
        return;
    p.last = now;
    double seconds = std::chrono::duration<double>(now - p.start).count();
    std::uint32_t done = t.appended + t.present + t.refused;
    double rate = seconds > 0 ? static_cast<double>(t.bytes_done) / seconds / 1048576.0 : 0;
    double left = done > 0 ? seconds * (t.messages - done) / done : 0;
    std::fprintf(stderr, "\r%s: %u/%u messages, %.1f MiB, %.1f MiB/s, %d:%02d left\033[K",
                 p.folder.c_str(), done, t.messages, static_cast<double>(t.bytes_done) / 1048576.0,
                 rate, static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    if (final)
        std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

// "04-Mar-1996 13:58:04 +0000" from the date the export gives the message;
// empty when its year has not four digits.
std::string internal_date(MailboxReader& reader, const MailboxRecord& record)
{
    MessageHead head;
    if (!read_message_head(reader, record.text_offset, record.text_size, head))
        return "";
    const HeadLine& dated = head.date.found ? head.date : head.received;
    HeaderDate made = header_date_of(dated.found ? std::string_view(dated.value) : "");
    const SendingDate& d = made.date;
    if (d.year < 1000 || d.year > 9999 || d.month < 1 || d.month > 12 || d.time.size() != 8 ||
        d.zone.size() != 5)
        return "";
    char text[40];
    std::snprintf(text, sizeof text, "%02u-%s-%d %s %s", d.day, month_names[d.month - 1], d.year,
                  d.time.c_str(), d.zone.c_str());
    return text;
}

// The id of a fetched "Message-ID:" header field, unfolded, or "".
std::string fetched_id(const std::string& header)
{
    std::string value;
    std::size_t colon = header.find(':');
    if (colon == std::string::npos)
        return "";
    for (char c : header.substr(colon + 1))
        if (c != '\r' && c != '\n')
            value += c;
    std::size_t first = value.find_first_not_of(" \t");
    std::size_t last = value.find_last_not_of(" \t");
    return first == std::string::npos ? "" : value.substr(first, last - first + 1);
}

bool starts_untagged(const std::string& line, const char* word, std::size_t& number)
{
    // "* 12 EXISTS", "* 12 FETCH (...": the number, then the word.
    if (line.rfind("* ", 0) != 0)
        return false;
    std::size_t at = 2, n = 0;
    while (at < line.size() && line[at] >= '0' && line[at] <= '9')
        n = n * 10 + static_cast<std::size_t>(line[at++] - '0');
    if (at == 2 || at >= line.size() || line[at] != ' ')
        return false;
    std::size_t length = std::strlen(word);
    for (std::size_t i = 0; i < length; ++i)
        if (at + 1 + i >= line.size() || (line[at + 1 + i] & ~0x20) != word[i])
            return false;
    number = n;
    return true;
}

// Connects, encrypts, logs in and learns the folder delimiter. 0, or 1
// after saying why.
int open_account(Account& a, const ImapOptions& options)
{
    ImapSession& s = a.session;
    s.host = a.url.host;
    bool plain = options.insecure_localhost;
    if (transport_connect(s.transport, a.url.host, a.url.port)) {
        complain(a.url_text, s.transport.problem);
        return 1;
    }
    if (a.url.tls_at_once && transport_start_tls(s.transport, a.url.host, options.cafile)) {
        complain(a.url_text, s.transport.problem);
        return 1;
    }
    ImapResponse greeting;
    if (imap_read_response(s, greeting)) {
        complain(a.url_text, s.problem);
        return 1;
    }
    if (greeting.line.rfind("* OK", 0) != 0 && greeting.line.rfind("* PREAUTH", 0) != 0) {
        complain(a.url_text, "the server " + s.host +
                                 " does not take a session: " + imap_shown(s, greeting.line));
        return 1;
    }
    bool preauthenticated = greeting.line.rfind("* PREAUTH", 0) == 0;
    take_capabilities(s, greeting.line);
    if (!a.url.tls_at_once && !plain) {
        if (s.capabilities.empty() && imap_command(s, "CAPABILITY", "CAPABILITY")) {
            complain(a.url_text, s.problem);
            return 1;
        }
        if (preauthenticated || !has_capability(s, "STARTTLS")) {
            complain(a.url_text, "the server " + s.host +
                                     " offers no STARTTLS, and without TLS no password is sent");
            return 1;
        }
        if (imap_command(s, "STARTTLS", "STARTTLS")) {
            complain(a.url_text, s.problem + "; without TLS no password is sent");
            return 1;
        }
        // What came after the server's OK was sent before TLS: dropped.
        s.in_start = s.in_end = 0;
        if (transport_start_tls(s.transport, a.url.host, options.cafile)) {
            complain(a.url_text, s.transport.problem);
            return 1;
        }
        s.capabilities.clear();
    }
    if ((s.capabilities.empty() || !has_capability(s, "IMAP4REV1")) &&
        imap_command(s, "CAPABILITY", "CAPABILITY")) {
        complain(a.url_text, s.problem);
        return 1;
    }
    if (!preauthenticated) {
        ImapCredentialSource source{options.password_command, options.token_command};
        if (imap_log_in(s, source, a.url.user, a.url.port)) {
            complain(a.url_text, s.problem);
            return 1;
        }
        s.capabilities.clear();
        if (imap_command(s, "CAPABILITY", "CAPABILITY")) {
            complain(a.url_text, s.problem);
            return 1;
        }
    }
    bool listed = false;
    int failed = imap_command(s, "LIST \"\" \"\"", "LIST", [&](const ImapResponse& r) {
        // * LIST (\Noselect) "/" ""   or   * LIST (\Noselect) NIL ""
        if (r.line.rfind("* LIST ", 0) != 0 || listed)
            return;
        std::size_t close = r.line.find(')');
        if (close == std::string::npos)
            return;
        std::string rest = r.line.substr(close + 1);
        listed = true;
        if (rest.rfind(" NIL", 0) == 0)
            a.delimiter = 0;
        else if (rest.size() >= 4 && rest[1] == '"')
            a.delimiter = rest[2] == '\\' ? rest[3] : rest[2];
    });
    if (failed) {
        complain(a.url_text, s.problem);
        return 1;
    }
    return 0;
}

// The folder's name in UTF-8, its levels joined by the server's delimiter;
// its mailbox's name loses any delimiter it holds.
std::string folder_path(const Account& a, const std::string& mailbox, bool& made_safe)
{
    std::string name = folder_name_of(mailbox, made_safe);
    if (a.delimiter)
        for (char& c : name)
            if (c == a.delimiter) {
                c = '_';
                made_safe = true;
            }
    if (a.url.prefix.empty())
        return name;
    std::string prefix = a.url.prefix;
    if (a.delimiter)
        for (char& c : prefix)
            if (c == '/')
                c = a.delimiter;
    return prefix + (a.delimiter ? std::string(1, a.delimiter) : "") + name;
}

// The Message-IDs in the folder, each with the number of its messages;
// creates the folder when it is missing. 0, or 1 with `s.problem` set.
int folder_ids(ImapSession& s, const std::string& wire,
               std::unordered_map<std::string, std::uint32_t>& ids)
{
    const std::string name = imap_quoted(wire);
    bool exists = false;
    if (imap_command(s, "LIST \"\" " + name, "LIST",
                     [&exists](const ImapResponse& r) {
                         if (r.line.rfind("* LIST ", 0) == 0)
                             exists = true;
                     }) ||
        (!exists && imap_command(s, "CREATE " + name, "CREATE")))
        return 1;
    std::size_t messages = 0;
    if (imap_command(s, "EXAMINE " + name, "EXAMINE", [&messages](const ImapResponse& r) {
            std::size_t n;
            if (starts_untagged(r.line, "EXISTS", n))
                messages = n;
        }))
        return 1;
    if (messages == 0)
        return 0;
    return imap_command(s, "FETCH 1:* (BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])",
                        "FETCH of the Message-IDs", [&ids](const ImapResponse& r) {
                            std::size_t n;
                            if (!starts_untagged(r.line, "FETCH", n) || r.literals.empty())
                                return;
                            std::string id = fetched_id(r.literals[0]);
                            if (!id.empty())
                                ++ids[id];
                        });
}

struct Batch {
    std::string tag;
    std::vector<MailboxRecord> records;
    std::uint64_t bytes = 0;
};

struct FolderWork {
    Account* account = nullptr;
    std::string path; // of the mailbox
    std::string wire; // the folder's name as IMAP carries it
    std::string flags;
    const ExportOptions* options = nullptr;
    MessageSpool* spool = nullptr;
    MailboxReader reader;
    Batch batch;
    FolderTally tally;
    Progress progress;
};

// Puts the spooled message into the open APPEND, opening it first. 0, or
// 1 with `s.problem` set.
int send_message(FolderWork& w, const MailboxRecord& record)
{
    ImapSession& s = w.account->session;
    Batch& b = w.batch;
    if (b.tag.empty()) {
        b.tag = imap_new_tag(s);
        if (imap_send(s, b.tag + " APPEND " + imap_quoted(w.wire)))
            return 1;
    }
    std::string date = internal_date(w.reader, record);
    std::string item = " (" + w.flags + ")";
    if (!date.empty())
        item += " \"" + date + "\"";
    bool at_once = has_capability(s, "LITERAL+") && w.spool->size <= go_ahead_size;
    item += " {" + std::to_string(w.spool->size) + (at_once ? "+}\r\n" : "}\r\n");
    if (imap_send(s, item) || (!at_once && imap_await_go_ahead(s, b.tag, "the APPEND")))
        return 1;
    if (spool_bytes(*w.spool, [&s](const char* bytes, std::size_t count) {
            return imap_send(s, bytes, count);
        })) {
        if (s.problem.empty())
            s.problem = "a temporary file could not be read";
        return 1;
    }
    b.records.push_back(record);
    b.bytes += w.spool->size;
    return 0;
}

// Ends the open APPEND. 0, or 1 with `s.problem` set (s.refused when the
// server said no).
int finish_batch(FolderWork& w)
{
    ImapSession& s = w.account->session;
    if (w.batch.tag.empty())
        return 0;
    std::string tag = w.batch.tag;
    w.batch.tag.clear();
    if (imap_send(s, "\r\n"))
        return 1;
    return imap_finish(s, tag, "the APPEND");
}

std::string message_name(const MailboxRecord& record, std::uint64_t size)
{
    return "message " + std::to_string(record.number) + " (" + std::to_string(size) + " bytes)";
}

// The messages of a refused batch again, one APPEND each, so that only
// those the server will not take are left out, each named. 0, or 1 when
// the session failed.
int append_one_by_one(FolderWork& w, const std::vector<MailboxRecord>& records)
{
    ImapSession& s = w.account->session;
    for (const MailboxRecord& record : records) {
        if (spool_message(*w.spool, w.reader, record, *w.options, w.path))
            return 1;
        w.batch = Batch();
        int failed = send_message(w, record);
        if (!failed || s.refused) {
            failed = failed ? 1 : finish_batch(w);
            w.batch.tag.clear();
        }
        if (failed && !s.refused) {
            complain(w.path, s.problem);
            return 1;
        }
        if (failed) {
            complain(w.path, message_name(record, w.spool->size) + " not appended: " + s.problem);
            ++w.tally.refused;
        } else {
            ++w.tally.appended;
        }
        w.tally.bytes_done += w.spool->size;
        show_progress(w.progress, w.tally, false);
    }
    w.batch = Batch();
    return 0;
}

// Ends the open APPEND and counts its messages. 0, or 1 after saying why.
int settle_batch(FolderWork& w)
{
    ImapSession& s = w.account->session;
    std::vector<MailboxRecord> records = w.batch.records;
    std::uint64_t bytes = w.batch.bytes;
    int failed = finish_batch(w);
    w.batch = Batch();
    if (!failed) {
        w.tally.appended += static_cast<std::uint32_t>(records.size());
        w.tally.bytes_done += bytes;
        show_progress(w.progress, w.tally, false);
        return 0;
    }
    if (!s.refused) {
        complain(w.path, s.problem);
        return 1;
    }
    return append_one_by_one(w, records);
}

// Appends what the folder lacks of the mailbox. 0, or 1 when the session
// failed (said); refused messages are counted in the tally.
int fill_folder(FolderWork& w, std::unordered_map<std::string, std::uint32_t>& ids,
                std::uint32_t message_count)
{
    ImapSession& s = w.account->session;
    const bool many = has_capability(s, "MULTIAPPEND");
    std::uint64_t at = mailbox_header_size;
    for (std::uint32_t n = 0; n < message_count; ++n) {
        MailboxRecord record;
        if (!read_record(w.reader, at, record)) {
            complain(w.path, w.reader.error_text);
            return 1;
        }
        at = record.text_offset + record.text_size + 1;
        if (spool_message(*w.spool, w.reader, record, *w.options, w.path))
            return 1;
        auto known = ids.find(w.spool->message_id);
        if (known != ids.end() && known->second > 0) {
            --known->second;
            ++w.tally.present;
            w.tally.bytes_done += w.spool->size;
            show_progress(w.progress, w.tally, false);
            continue;
        }
        if (!w.batch.tag.empty() &&
            (!many || w.batch.records.size() >= batch_messages ||
             w.batch.bytes + w.spool->size > batch_bytes) &&
            settle_batch(w))
            return 1;
        if (send_message(w, record)) {
            if (!s.refused) {
                complain(w.path, s.problem);
                return 1;
            }
            // The server refused the message at its go-ahead: the APPEND
            // ended, with the messages before it in the batch.
            std::vector<MailboxRecord> records = w.batch.records;
            records.push_back(record);
            w.batch = Batch();
            if (append_one_by_one(w, records))
                return 1;
        }
    }
    return settle_batch(w);
}

// One mailbox into its folder. 0; 1 when messages were refused; -1 when
// the session or the mailbox failed and the run ends.
int put_mailbox(Account& a, const std::string& path, const ExportOptions& export_options,
                const ImapOptions& options, MessageSpool& spool)
{
    ImapSession& s = a.session;
    bool made_safe = false;
    std::string folder = folder_path(a, path, made_safe);
    FolderWork w;
    w.account = &a;
    w.path = path;
    w.wire = modified_utf7(folder);
    w.flags = options.unread || mailbox_stays_unread(path) ? "" : "\\Seen";
    w.options = &export_options;
    w.spool = &spool;
    if (open_mailbox(w.reader, path.c_str())) {
        complain(path, w.reader.error_text);
        return -1;
    }
    MailboxVerdict check = check_mailbox(w.reader);
    if (!check.whole) {
        complain(path, "damaged at byte " + std::to_string(check.offset) + ": " + check.problem);
        close_mailbox(w.reader);
        return -1;
    }
    if (made_safe)
        complain(path, "its folder is named " + folder +
                           ": the mailbox's name holds characters a folder name cannot");
    std::unordered_map<std::string, std::uint32_t> ids;
    if (folder_ids(s, w.wire, ids)) {
        complain(path, s.problem);
        close_mailbox(w.reader);
        return -1;
    }
    w.tally.messages = check.message_count;
    w.progress.shown = standard_error_is_terminal();
    w.progress.folder = folder;
    w.progress.start = w.progress.last = std::chrono::steady_clock::now();
    int failed = fill_folder(w, ids, check.message_count);
    show_progress(w.progress, w.tally, true);
    close_mailbox(w.reader);
    if (failed) {
        complain(path, std::to_string(w.tally.appended) + " of " +
                           std::to_string(w.tally.messages) +
                           " messages appended in this run; the same command run again "
                           "appends the rest");
        return -1;
    }
    print_text(stdout, "%s: %s, %u appended, %u already there", path.c_str(),
               messages_text(w.tally.messages).c_str(), w.tally.appended, w.tally.present);
    if (w.tally.refused)
        print_text(stdout, ", %u refused by the server", w.tally.refused);
    print_text(stdout, " -> %s\n", folder.c_str());
    std::fflush(stdout);
    return w.tally.refused ? 1 : 0;
}

} // namespace

int take_imap_option(const std::vector<std::string>& arguments, std::size_t& i,
                     ImapOptions& options)
{
    const std::string& a = arguments[i];
    if (a == "--insecure-localhost") {
        options.insecure_localhost = true;
        return 1;
    }
    if (a == "--unread") {
        options.unread = true;
        return 1;
    }
    std::size_t equals = a.find('=');
    std::string name = a.substr(0, equals);
    std::string* value = name == "--cafile"                 ? &options.cafile
                         : name == "--password-command"     ? &options.password_command
                         : name == "--oauth2-token-command" ? &options.token_command
                                                            : nullptr;
    if (!value)
        return 0;
    if (equals != std::string::npos)
        *value = a.substr(equals + 1);
    else if (i + 1 < arguments.size())
        *value = arguments[++i];
    else
        return -1;
    return 1;
}

int imap_command(const std::vector<std::string>& mailboxes, const std::string& url_text,
                 const ExportOptions& export_options, const ImapOptions& options)
{
    Account a;
    a.url_text = url_text;
    std::string problem;
    if (!parse_imap_url(url_text, a.url, problem)) {
        print_text(stderr, "kestrel-mbx: %s\n", problem.c_str());
        return 2;
    }
    if (a.url.user.find(':') != std::string::npos) {
        print_text(stderr, "kestrel-mbx: the URL holds a \":\" in its user name; a password "
                           "never goes in the URL\n");
        return 2;
    }
    if (options.insecure_localhost && (a.url.tls_at_once || a.url.host != "127.0.0.1")) {
        print_text(stderr, "kestrel-mbx: --insecure-localhost is only for imap://USER@127.0.0.1\n");
        return 2;
    }
    if (!options.password_command.empty() && !options.token_command.empty()) {
        print_text(
            stderr,
            "kestrel-mbx: --password-command and --oauth2-token-command exclude each other\n");
        return 2;
    }
    if (!transport_has_tls(problem)) {
        print_text(stderr, "kestrel-mbx: %s\n", problem.c_str());
        return 1;
    }
    // Every mailbox is checked wholly first: what is appended cannot be
    // taken back.
    for (const auto& path : mailboxes) {
        MailboxReader reader;
        if (open_mailbox(reader, path.c_str())) {
            complain(path, reader.error_text);
            return 1;
        }
        MailboxVerdict check = check_mailbox(reader);
        close_mailbox(reader);
        if (!check.whole) {
            complain(path,
                     "damaged at byte " + std::to_string(check.offset) + ": " + check.problem);
            return 1;
        }
    }
    install_interrupt_handlers();
    MessageSpool spool;
    if (open_spool(spool))
        return 1;
    int status = 0;
    if (open_account(a, options)) {
        status = 1;
    } else {
        for (const auto& path : mailboxes) {
            int result = put_mailbox(a, path, export_options, options, spool);
            if (result)
                status = 1;
            if (result < 0)
                break;
        }
        // The messages are stored by now: a goodbye that fails loses nothing.
        imap_command(a.session, "LOGOUT", "LOGOUT");
    }
    transport_close(a.session.transport);
    close_spool(spool);
    if (std::fflush(stdout) != 0) {
        complain("standard output", "cannot be written");
        return 1;
    }
    return status;
}
