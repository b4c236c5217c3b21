#include "mbx/user_node.hpp"

#include "app/settings.hpp"
#include "mbx/ascii_case.hpp"
#include "mbx/complaint.hpp"
#include "mbx/mailbox_reader.hpp"
#include "mbx/message_head.hpp"
#include "mbx/record_lines.hpp"
#include "mbx/text_hash.hpp"
#include "mbx/vms_address.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

// Memory stays small whatever the mailboxes hold: names and recipients past
// these counts are not tallied. Once a name of the user is known, only
// recipients of that name are, so that the limit matters only for the
// messages before the user's first own message.
constexpr std::size_t most_names = 16;
constexpr std::size_t most_recipients = 4096;
// The recipients' places, twice as many as recipients, so that a look-up
// finds its own in a step or two.
constexpr std::size_t recipient_places = 2 * most_recipients;
// The pieces of To and CC values seen, each parsed once: the same few
// addresses come back message after message. Those past these counts, or
// longer, are parsed each time.
constexpr std::size_t most_pieces = 512;
constexpr std::size_t piece_places = 2 * most_pieces;
constexpr std::size_t longest_piece = 256;
// Places hold an index + 1 in 16 bits.
static_assert(most_recipients < 0xFFFF && most_pieces < 0xFFFF);

struct Recipient {
    std::string node, name; // as first seen
    std::uint64_t count = 0;
};

// A piece of a To or CC value and its DECnet recipients, with where each is
// in the tally (-1 while not looked up, or when the tally had no room).
struct RememberedPiece {
    std::size_t hash = 0; // of `text`
    std::string text;
    std::vector<DecnetUser> users; // views into `text`
    std::vector<int> recipients;
};

struct Tally {
    std::vector<std::string> names; // the user's
    std::vector<Recipient> recipients;
    // By a hash of NODE::NAME, letters' case folded: the recipient's index
    // + 1, 0 for a free place.
    std::vector<std::uint16_t> recipient_at = std::vector<std::uint16_t>(recipient_places);
    // Room for all from the start, so that the users' views into a piece's
    // text stay where they are.
    std::vector<RememberedPiece> pieces = [] {
        std::vector<RememberedPiece> room;
        room.reserve(most_pieces);
        return room;
    }();
    // By the hash of a piece's text: its index + 1, 0 for a free place.
    std::vector<std::uint16_t> piece_at = std::vector<std::uint16_t>(piece_places);
    std::vector<DecnetUser> users; // of a piece not remembered
};

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equal_in_capitals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return upper(x) == upper(y); });
}

// NODE::NAME in capitals, which orders recipients of as many messages.
std::string key(const Recipient& r)
{
    std::string text = r.node + "::" + r.name;
    for (char& c : text)
        c = upper(c);
    return text;
}

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

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The user name of a sender: NAME, or the user of NODE::NAME, a personal
// name after it or not.
std::string_view sender_name(std::string_view value)
{
    std::size_t start = 0;
    while (start < value.size() && is_blank(value[start]))
        ++start;
    std::size_t end = start;
    while (end < value.size() && !is_blank(value[end]))
        ++end;
    value = value.substr(start, end - start);
    std::size_t colons = value.rfind("::");
    value = colons == std::string_view::npos ? value : value.substr(colons + 2);
    for (char c : value)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '$' || c == '_' || c == '-'))
            return {};
    return value;
}

// The index of a recipient in the tally, added when new; -1 when new and
// the tally is full.
int recipient_index(Tally& tally, const DecnetUser& user)
{
    std::uint32_t hash = 2166136261u; // FNV-1a of NODE::NAME in capitals
    for (std::string_view part : {user.node, std::string_view("::"), user.name})
        for (char c : part)
            hash = (hash ^ static_cast<unsigned char>(upper(c))) * 16777619u;
    for (std::size_t at = hash % recipient_places;; at = (at + 1) % recipient_places) {
        std::uint16_t& place = tally.recipient_at[at];
        if (place == 0) {
            if (tally.recipients.size() == most_recipients)
                return -1;
            tally.recipients.push_back(
                Recipient{std::string(user.node), std::string(user.name), 0});
            place = static_cast<std::uint16_t>(tally.recipients.size());
            return place - 1;
        }
        const Recipient& r = tally.recipients[place - 1];
        if (equal_in_capitals(r.node, user.node) && equal_in_capitals(r.name, user.name))
            return place - 1;
    }
}

// The remembered piece of that text, added when new; nullptr when new and
// there is no room for it.
RememberedPiece* remembered_piece(Tally& tally, std::string_view piece)
{
    const auto hash = static_cast<std::size_t>(text_hash(piece.size(), piece));
    for (std::size_t at = hash % piece_places;; at = (at + 1) % piece_places) {
        std::uint16_t& place = tally.piece_at[at];
        if (place == 0) {
            if (tally.pieces.size() == most_pieces || piece.size() > longest_piece)
                return nullptr;
            RememberedPiece& seen = tally.pieces.emplace_back();
            seen.hash = hash;
            seen.text = piece;
            decnet_recipients(seen.text, seen.users);
            seen.recipients.assign(seen.users.size(), -1);
            place = static_cast<std::uint16_t>(tally.pieces.size());
            return &seen;
        }
        RememberedPiece& seen = tally.pieces[place - 1];
        if (seen.hash == hash && seen.text == piece)
            return &seen;
    }
}

// A recipient counted when the user's names allow; `index` is where it is in
// the tally, looked up when -1.
void count_recipient(Tally& tally, const DecnetUser& user, int& index)
{
    if (!tally.names.empty() && !is_users_name(tally, user.name))
        return;
    if (index < 0)
        index = recipient_index(tally, user);
    if (index >= 0)
        ++tally.recipients[static_cast<std::size_t>(index)].count;
}

void note_piece(Tally& tally, std::string_view piece)
{
    if (RememberedPiece* seen = remembered_piece(tally, piece)) {
        for (std::size_t i = 0; i < seen->users.size(); ++i)
            count_recipient(tally, seen->users[i], seen->recipients[i]);
        return;
    }
    decnet_recipients(piece, tally.users);
    for (const DecnetUser& user : tally.users) {
        int index = -1;
        count_recipient(tally, user, index);
    }
}

// A value without quotes is a list of which every comma ends an address, so
// its pieces between commas have the value's recipients between them, and
// the same few addresses come back piece after piece. A value with quotes,
// where a comma may be part of a name, is one piece.
void note_recipients(Tally& tally, std::string_view value)
{
    if (value.find('"') != std::string_view::npos) {
        note_piece(tally, value);
        return;
    }
    for (std::size_t start = 0; start <= value.size();) {
        std::size_t comma = std::min(value.find(',', start), value.size());
        note_piece(tally, value.substr(start, comma - start));
        start = comma + 1;
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
                    return false; // nothing more of the user's own message counts
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
    for (const Recipient& r : tally.recipients) {
        // Of as many, the first by NODE::NAME.
        if (is_users_name(tally, r.name) &&
            (!best || r.count > best->count || (r.count == best->count && key(r) < key(*best))))
            best = &r;
    }
    node = best ? best->node : std::string();
    return true;
}
