#include "mbx/user_node.hpp"

#include "app/settings.hpp"
#include "mbx/ascii_case.hpp"
#include "mbx/complaint.hpp"
#include "mbx/mailbox_reader.hpp"
#include "mbx/message_head.hpp"
#include "mbx/record_lines.hpp"
#include "mbx/vms_address.hpp"

#include <cstdint>
#include <string_view>
#include <unordered_map>

namespace {

// Memory stays small whatever the mailboxes hold: names and recipients past
// these counts are not tallied. Once a name of the user is known, only
// recipients of that name are, so that the limit matters only for the
// messages before the user's first own message.
constexpr std::size_t most_names = 16;
constexpr std::size_t most_recipients = 4096;

struct Recipient {
    std::string node, name;
    std::uint64_t count = 0;
};

struct Tally {
    std::vector<std::string> names; // the user's
    // By "NODE::NAME" in capitals: every recipient of every message is
    // looked up here.
    std::unordered_map<std::string, Recipient> recipients;
    std::string key;               // kept from lookup to lookup
    std::vector<DecnetUser> users; // of one line, kept from line to line
};

bool is_users_name(const Tally& tally, std::string_view name)
{
    for (const std::string& known : tally.names)
        if (equal_ignoring_case(known, name))
            return true;
    return false;
}

void note_name(Tally& tally, std::string_view name)
{
    if (!name.empty() && tally.names.size() < most_names && !is_users_name(tally, name))
        tally.names.emplace_back(name);
}

// The user name of a sender: NAME, or the user of NODE::NAME, a personal
// name after it or not.
std::string_view sender_name(std::string_view value)
{
    std::size_t start = value.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return {};
    value.remove_prefix(start);
    value = value.substr(0, value.find_first_of(" \t"));
    std::size_t colons = value.rfind("::");
    value = colons == std::string_view::npos ? value : value.substr(colons + 2);
    for (char c : value)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '$' || c == '_' || c == '-'))
            return {};
    return value;
}

void note_recipients(Tally& tally, std::string_view value)
{
    decnet_recipients(value, tally.users);
    for (const DecnetUser& user : tally.users) {
        if (!tally.names.empty() && !is_users_name(tally, user.name))
            continue;
        std::string& key = tally.key;
        key.clear();
        for (std::string_view part : {user.node, std::string_view("::"), user.name})
            for (char c : part)
                key += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        auto found = tally.recipients.find(key);
        if (found == tally.recipients.end() && tally.recipients.size() < most_recipients)
            found = tally.recipients
                        .emplace(key, Recipient{std::string(user.node), std::string(user.name), 0})
                        .first;
        if (found != tally.recipients.end())
            ++found->second.count;
    }
}

// False after saying what could not be read. A mailbox damaged where its
// heads are read is passed over: the export finds the damage and says
// where it is.
bool tally_mailbox(const std::string& path, Tally& tally)
{
    MailboxReader reader;
    if (open_mailbox(reader, path.c_str())) {
        complain(path, reader.error_text);
        return false;
    }
    MailboxVerdict header = check_mailbox_header(reader);
    std::uint64_t at = mailbox_header_size;
    std::string held, sender;
    for (std::uint32_t n = 0; header.whole && n < header.message_count && at < reader.length; ++n) {
        MailboxRecord record;
        if (!read_record(reader, at, record))
            break; // the file's end, or a read error, said below
        bool first = true, own = false;
        bool read = walk_record_lines(
            reader, record.text_offset, record.text_offset + record.text_size, head_line_capacity,
            held, [&](const RecordLine& line) {
                if (line.text.empty())
                    return false; // the head's end
                if (first) {
                    first = false;
                    sender = line.text.substr(0, 5) == "From:" ? line.text.substr(5) : "";
                } else if (line.whole && line.text.substr(0, 6) == "Date: ") {
                    own = true;
                    note_name(tally, sender_name(sender));
                } else if (line.whole && !own &&
                           (starts_with_ignoring_case(line.text, "To:") ||
                            starts_with_ignoring_case(line.text, "CC:"))) {
                    note_recipients(tally, line.text.substr(3));
                }
                return true;
            });
        if (!read)
            break;
        at = record.text_offset + record.text_size + 1;
    }
    const bool read = reader.error == 0;
    if (!read)
        complain(path, reader.error_text);
    close_mailbox(reader);
    return read;
}

} // namespace

bool find_user_node(const std::vector<std::string>& mailboxes, std::string& node)
{
    Tally tally;
    if (const char* name = find_environment_value(user_name_variable))
        note_name(tally, sender_name(name));
    for (const std::string& path : mailboxes)
        if (!tally_mailbox(path, tally))
            return false;
    const Recipient* best = nullptr;
    const std::string* best_key = nullptr;
    for (const auto& [key, r] : tally.recipients) {
        // Of as many, the first by name, whatever the order of the table.
        if (is_users_name(tally, r.name) &&
            (!best || r.count > best->count || (r.count == best->count && key < *best_key))) {
            best = &r;
            best_key = &key;
        }
    }
    node = best ? best->node : std::string();
    return true;
}
