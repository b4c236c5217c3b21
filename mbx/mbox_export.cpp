#include "mbx/mbox_export.hpp"

#include "convert/file_io.hpp"
#include "mbx/ascii_case.hpp"
#include "mbx/charset.hpp"
#include "mbx/header_date.hpp"
#include "mbx/message_id.hpp"
#include "mbx/text_copy.hpp"
#include "mbx/text_hash.hpp"
#include "mbx/vms_address.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::string_view no_sender = "MAILER-DAEMON";
// The From header of a message whose "From:" line names nobody.
constexpr std::string_view unknown_sender = "unknown@localhost";
// Head lines up to this length are rewritten in memory; of a longer one the
// start is held, enough to tell which header it is and to make its
// addresses, and its value follows from the mailbox.
constexpr std::size_t export_line_capacity = 1 << 14;
// A head longer than this goes out in pieces of about this length.
constexpr std::size_t head_held_size = 1 << 16;

// What the first pass over a message decides.
struct MessagePlan {
    MessageHead head;
    TextDecoding decoding;
    bool eight_bit = false; // the text is not all ASCII
    HeaderDate date;
    std::string message_id;
};

// The addresses of one "From:", "To:" or "CC:" value as they go out.
struct AddressText {
    bool any = false;  // the value holds an address
    std::string list;  // the header value
    std::string first; // the first address's addr_spec
};

// The last elements of address lists seen (NODE::USER, IN%"a@b" "Name"),
// by a hash of their text: the same correspondents come back in message
// after message, in lists of every make-up, and each element's addresses
// are made once. An entry holds its key, its text and its addresses in one
// block of its own, so that a look that finds it reads one or two cache
// lines; an element whose text and addresses do not fit is made each time,
// so the memo stays small.
constexpr std::size_t memo_size = 4096;
constexpr std::size_t memo_addresses = 4; // the most addresses of an entry
constexpr std::size_t memo_entry_size = 128;

struct alignas(64) MemoEntry {
    std::uint64_t key = 0; // the hash its place was chosen by; 0: unused
    std::uint16_t text_size = 0;
    std::uint16_t node_size = 0; // of users named without one
    std::uint16_t first_at = 0, first_size = 0;
    std::uint8_t count = 0;                     // of its addresses
    bool any_node = false;                      // the addresses are the same for any node
    bool recent = false;                        // the one of its pair looked up last
    std::uint16_t shown_size[memo_addresses]{}; // each address as the list shows it
    // The text, the node (when not any), then the addresses one after the
    // other; the first's addr_spec is in the first of them.
    char bytes[memo_entry_size - 28];
};
static_assert(sizeof(MemoEntry) == memo_entry_size);

// The addresses of an element as they are made: each as the list shows it,
// and the first address's addr_spec.
struct MadeElement {
    std::vector<std::string> shown;
    std::string first;
};

// The addresses of one element as addresses_of takes them, in the memo's
// entry or in the element just made; good until the next element is looked
// up.
struct ElementAddresses {
    std::string_view shown[memo_addresses];
    std::size_t count = 0;
    const MadeElement* made = nullptr; // when not from the memo: all of them
    std::string_view first;
};

// The buffers of an export, kept from message to message.
struct ExportWork {
    MailboxReader* ahead = nullptr; // reads the first pass, when not the writing reader
    MessagePlan plan;
    std::string head;                        // the head as it goes out
    std::string line;                        // one line of the head as read
    std::string text;                        // decoded text
    std::string scratch;                     // decoded body pieces
    std::string from;                        // the From header's value
    std::string_view to_node;                // of users in To and CC named without one
    AddressText made;                        // the addresses of the last value
    std::vector<std::string_view> elements;  // of the last value
    std::vector<std::uint64_t> element_keys; // their memo keys by text alone
    std::vector<MailAddress> addresses;      // of one element as made
    MadeElement made_element;                // one just made
    std::vector<MemoEntry> memo;             // memo_size entries once in use
    // The options the memo's addresses were made with.
    std::string memo_domain, memo_user_node;
};

bool holds(const MailboxReader& reader, std::uint64_t offset)
{
    return offset >= reader.block_start && offset < reader.block_start + reader.block_length;
}

// The first pass reads ahead of the writing; when it moves on to a new
// block, the writing reader takes the block it leaves, where the message
// begins, so that each block is read once while messages are smaller than
// a block.
void hand_back_block(MailboxReader& ahead, MailboxReader* behind, std::uint64_t offset)
{
    if (!behind || holds(ahead, offset) || ahead.block_length == 0)
        return;
    std::swap(ahead.block, behind->block);
    std::swap(ahead.block_from, behind->block_from);
    std::swap(ahead.block_start, behind->block_start);
    std::swap(ahead.block_length, behind->block_length);
}

// The bytes at `offset` for the writing: from the block the first pass
// holds when it is there.
const unsigned char* bytes_to_write(ExportWork& work, MailboxReader& reader, std::uint64_t offset,
                                    std::size_t& available)
{
    if (work.ahead && holds(*work.ahead, offset)) {
        std::size_t in_block = static_cast<std::size_t>(offset - work.ahead->block_start);
        available = work.ahead->block_length - in_block;
        return block_bytes(*work.ahead) + in_block;
    }
    return mailbox_bytes_at(reader, offset, available);
}

// One pass over a message's text, hashing what its Message-ID stands for
// (`id_text` with `hash`) or scanning its characters.
bool text_pass(MailboxReader& reader, MailboxReader* behind, std::uint64_t at, std::uint64_t end,
               const IdText* id_text, TextHash* hash, TextScan* scan)
{
    while (at < end) {
        hand_back_block(reader, behind, at);
        std::size_t available = 0;
        const unsigned char* p = mailbox_bytes_at(reader, at, available);
        if (!p)
            return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, end - at));
        if (hash)
            hash_id_text(*hash, *id_text, p, at, n);
        if (scan)
            scan_text(*scan, p, n);
        at += n;
    }
    return true;
}

void ask_for_addresses(ExportWork& work, std::string_view text, std::string_view node);

bool plan_message(MailboxReader& reader, MailboxReader* behind, const MailboxRecord& record,
                  const ExportOptions& options, ExportWork& work)
{
    MessagePlan& plan = work.plan;
    MessageHead& head = plan.head;
    hand_back_block(reader, behind, record.text_offset);
    if (!read_message_head(reader, record.text_offset, record.text_size, head))
        return false;
    // The sender's addresses are made from the memo after the text's pass,
    // which hides the memo's reads asked for here.
    ask_for_addresses(work, head.sender, options.node);
    const std::uint64_t end = record.text_offset + record.text_size;
    if (auto own = own_message_id(reader, head.body_offset, end))
        plan.message_id = std::move(*own);
    else if (reader.error)
        return false;
    else
        plan.message_id.clear();
    // The hash's pass also tells whether the text is all ASCII; only a text
    // that is not is read again, to learn whether it is UTF-8.
    TextHash hash;
    const IdText id_text = id_text_of(head);
    if (!text_pass(reader, behind, record.text_offset, end, &id_text, &hash, nullptr))
        return false;
    TextScan scan;
    if (!hashed_ascii(hash) &&
        !text_pass(reader, behind, record.text_offset, end, nullptr, nullptr, &scan))
        return false;
    end_scan(scan);
    plan.eight_bit = !scan.ascii;
    plan.decoding = decoding_for(scan, charset_named(options.charset).value_or(Charset::dec_mcs));
    if (plan.message_id.empty())
        make_message_id(hash, plan.message_id);
    const HeadLine& dated = head.date.found ? head.date : head.received;
    make_header_date(dated.found ? std::string_view(dated.value) : std::string_view(), plan.date);
    return true;
}

// Head text as UTF-8: the bytes themselves unless the message is decoded.
std::string_view text_of(ExportWork& work, std::string_view bytes)
{
    if (!work.plan.decoding.decode)
        return bytes;
    work.text = decoded(work.plan.decoding, bytes);
    return work.text;
}

// Appends a header value as it goes out: decoded, and outside ASCII as
// encoded words after the blanks it starts with. Decoding makes no CR of
// other bytes, so only a value that `may_hold_cr` is searched for one.
void append_value(ExportWork& work, std::string_view bytes, bool may_hold_cr)
{
    const std::size_t start = work.head.size();
    if (!work.plan.eight_bit) {
        work.head += bytes;
    } else {
        std::string_view text = text_of(work, bytes);
        std::size_t blanks = std::min(text.find_first_not_of(" \t"), text.size());
        work.head += text.substr(0, blanks);
        work.head += encoded_words(text.substr(blanks));
    }
    // A CR would end the header in a reader's eyes. A head line holding one
    // goes into the body whole; the converter's date text taken from such a
    // line can still bring one here, beside the Date header.
    if (!may_hold_cr)
        return;
    for (std::size_t cr = work.head.find('\r', start); cr != std::string::npos;
         cr = work.head.find('\r', cr + 1))
        work.head[cr] = ' ';
}

// The addresses of a list element made into `made`, whose strings keep
// their room.
void make_element(ExportWork& work, MadeElement& made, std::string_view element,
                  const ExportOptions& options, std::string_view node)
{
    work.addresses.clear();
    element_addresses(element, options.domain, node, options.node, work.addresses);
    made.shown.resize(work.addresses.size());
    for (std::size_t i = 0; i < work.addresses.size(); ++i)
        show_address(work.addresses[i], made.shown[i]);
    made.first = work.addresses.empty() ? std::string() : work.addresses.front().addr_spec;
}

std::string_view entry_text(const MemoEntry& e)
{
    return {e.bytes, e.text_size};
}

std::string_view entry_node(const MemoEntry& e)
{
    return {e.bytes + e.text_size, e.node_size};
}

// Puts an element just made into `e` under `key`; false, leaving `e` as
// it was, when its text and addresses do not fit.
bool keep_element(MemoEntry& e, std::uint64_t key, std::string_view element, std::string_view node,
                  const MadeElement& made, bool any_node)
{
    if (made.shown.size() > memo_addresses)
        return false;
    if (any_node)
        node = {};
    std::size_t size = element.size() + node.size();
    for (const std::string& shown : made.shown)
        size += shown.size();
    // The first addr_spec is where the first address shows it (an element
    // without addresses has none).
    const std::size_t in_first = made.shown.empty() ? 0 : made.shown.front().rfind(made.first);
    if (in_first == std::string::npos || size > sizeof e.bytes)
        return false;
    e.key = key;
    e.text_size = static_cast<std::uint16_t>(element.size());
    e.node_size = static_cast<std::uint16_t>(node.size());
    e.any_node = any_node;
    e.count = static_cast<std::uint8_t>(made.shown.size());
    char* to = e.bytes;
    to = std::copy(element.begin(), element.end(), to);
    to = std::copy(node.begin(), node.end(), to);
    const std::size_t shown_at = static_cast<std::size_t>(to - e.bytes);
    for (std::size_t i = 0; i < made.shown.size(); ++i) {
        e.shown_size[i] = static_cast<std::uint16_t>(made.shown[i].size());
        to = std::copy(made.shown[i].begin(), made.shown[i].end(), to);
    }
    e.first_at = static_cast<std::uint16_t>(shown_at + in_first);
    e.first_size = static_cast<std::uint16_t>(made.first.size());
    return true;
}

void take_entry(const MemoEntry& e, ElementAddresses& found)
{
    const char* at = e.bytes + e.text_size + e.node_size;
    found.count = e.count;
    found.made = nullptr;
    for (std::size_t i = 0; i < e.count; ++i) {
        found.shown[i] = std::string_view(at, e.shown_size[i]);
        at += e.shown_size[i];
    }
    found.first = std::string_view(e.bytes + e.first_at, e.first_size);
}

void take_made(const MadeElement& made, ElementAddresses& found)
{
    found.count = 0;
    found.made = &made;
    found.first = made.first;
}

// Most elements give the same addresses whatever the node of the users
// without one (none is in them): such an element is kept by its text
// alone; one that gives a user at the node, by its text and the node, as
// the same recipient comes in lists from senders on several nodes. A key's
// place comes from its high bits; its lowest bit is always set.
std::uint64_t text_key(std::string_view element)
{
    return text_hash(element.size(), element) | 1;
}

std::uint64_t node_key(std::uint64_t text_key, std::uint64_t node_seed)
{
    return (text_key * 0x9E3779B97F4A7C15ULL ^ node_seed) | 1;
}

// The first of the two entries where a key may be: of two keys with the
// same place, both are kept.
std::size_t place(std::uint64_t key)
{
    return static_cast<std::size_t>(key >> 32) % (memo_size / 2) * 2;
}

// The addresses of one element of a list, whose key by its text is
// `hash`: from the memo when it holds them. `node` is that of users named
// without one, `node_seed` a hash of it.
void element_entry(ExportWork& work, std::string_view element, std::uint64_t hash,
                   const ExportOptions& options, std::string_view node, std::uint64_t node_seed,
                   ElementAddresses& found)
{
    auto kept = [&](std::uint64_t key) -> const MemoEntry* {
        MemoEntry* pair = &work.memo[place(key)];
        for (int k = 0; k < 2; ++k) {
            MemoEntry& e = pair[k];
            if (e.key == key && entry_text(e) == element && (e.any_node || entry_node(e) == node)) {
                if (!e.recent) {
                    e.recent = true;
                    pair[1 - k].recent = false;
                }
                return &e;
            }
        }
        return nullptr;
    };
    if (const MemoEntry* e = kept(hash)) {
        take_entry(*e, found);
        return;
    }
    const std::uint64_t node_hash = node_key(hash, node_seed);
    if (const MemoEntry* e = kept(node_hash)) {
        take_entry(*e, found);
        return;
    }
    MadeElement& made = work.made_element;
    make_element(work, made, element, options, node);
    take_made(made, found);
    // A user at the node would have "@NODE" in an address (localhost when
    // none is known); addresses without it hold none.
    std::string at = "@";
    at += node.empty() ? std::string_view("localhost") : node;
    const bool any_node =
        std::none_of(made.shown.begin(), made.shown.end(),
                     [&](const std::string& a) { return a.find(at) != std::string::npos; });
    const std::uint64_t key = any_node ? hash : node_hash;
    // In the pair, it takes the place of the one looked up longer ago.
    MemoEntry* pair = &work.memo[place(key)];
    const int k = pair[0].recent ? 1 : 0;
    if (keep_element(pair[k], key, element, node, made, any_node)) {
        pair[k].recent = true;
        pair[1 - k].recent = false;
    }
}

// The memo's entries that the elements in `work.elements` may be in are
// asked for from memory, their keys by text kept in `work.element_keys`:
// the memo does not stay in the cache while the texts stream through it.
void ask_for_entries(ExportWork& work, std::uint64_t node_seed)
{
    work.element_keys.clear();
    if (work.memo.empty())
        return;
    for (std::string_view element : work.elements) {
        const std::uint64_t key = text_key(element);
        work.element_keys.push_back(key);
        for (std::uint64_t k : {key, node_key(key, node_seed)}) {
            __builtin_prefetch(&work.memo[place(k)]);
            __builtin_prefetch(&work.memo[place(k) + 1]);
        }
    }
}

// Asks early for the entries of a value's elements, so that they are in
// the cache when addresses_of looks at them.
void ask_for_addresses(ExportWork& work, std::string_view text, std::string_view node)
{
    list_elements(text, work.elements);
    ask_for_entries(work, text_hash(node.size(), node));
}

// The addresses of an address value, made element by element into the
// strings of `work.made`, which keep their room from value to value.
// `node` is that of users named without one.
const AddressText& addresses_of(ExportWork& work, std::string_view bytes,
                                const ExportOptions& options, std::string_view node)
{
    std::string_view text = text_of(work, bytes);
    AddressText& made = work.made;
    made.any = false;
    made.list.clear();
    made.first.clear();
    list_elements(text, work.elements);
    if (work.elements.empty())
        return made;
    if (work.memo.empty() || work.memo_domain != options.domain ||
        work.memo_user_node != options.node) {
        work.memo.assign(memo_size, MemoEntry{});
        work.memo_domain = options.domain;
        work.memo_user_node = options.node;
    }
    const std::uint64_t node_seed = text_hash(node.size(), node);
    ask_for_entries(work, node_seed);
    std::size_t line_length = 0;
    ElementAddresses found;
    for (std::size_t k = 0; k < work.elements.size(); ++k) {
        element_entry(work, work.elements[k], work.element_keys[k], options, node, node_seed,
                      found);
        const std::size_t count = found.made ? found.made->shown.size() : found.count;
        for (std::size_t i = 0; i < count; ++i)
            append_shown_address(made.list, 0, line_length,
                                 found.made ? std::string_view(found.made->shown[i])
                                            : found.shown[i]);
        if (!made.any && count > 0) {
            made.any = true;
            made.first = found.first;
        }
    }
    return made;
}

void append_addresses(ExportWork& work, std::string_view bytes, const ExportOptions& options,
                      std::string_view node, std::string_view if_none)
{
    const AddressText& addresses = addresses_of(work, bytes, options, node);
    work.head += addresses.any ? std::string_view(addresses.list) : if_none;
}

// The Date header, and the converter's text beside it when it was mended.
void append_date(ExportWork& work, const HeadLine* original)
{
    work.head += "Date: ";
    work.head += work.plan.date.text;
    work.head += '\n';
    if (work.plan.date.changed && original) {
        work.head += "X-VMS-Date: ";
        append_value(work, original->value, true);
        work.head += '\n';
    }
}

// What the head has had so far.
struct HeadState {
    bool first = true; // the next line is the first
    bool from = false, to = false, cc = false, date = false, subject = false;
};

bool same_name(std::string_view name, std::string_view field)
{
    return name.size() == field.size() && starts_with_ignoring_case(name, field);
}

// Whether a head line of this field name must go out under another name,
// "X-VMS-" and its own: an exported message has one From, To, CC, Date,
// Subject and Message-ID header at most (RFC 5322 3.6), and readers differ
// on which of two they show. The export makes From, Date and Message-ID
// itself; the first To and CC are made before this is asked; the first
// Subject keeps its name.
bool renamed_field(std::string_view name, HeadState& state)
{
    if (same_name(name, "Subject")) {
        if (state.subject)
            return true;
        state.subject = true;
        return false;
    }
    return same_name(name, "From") || same_name(name, "To") || same_name(name, "CC") ||
           same_name(name, "Date") || same_name(name, "Message-ID");
}

// The start of a long address line up to its last comma: the addresses in
// it are whole.
std::string_view whole_addresses(std::string_view start)
{
    std::size_t comma = start.rfind(',');
    return comma == std::string_view::npos ? std::string_view() : start.substr(0, comma);
}

// Whether a head line is part of a header field: "name:" in front, or
// folded (blank in front) after a field.
bool is_field_line(std::string_view line, const HeadState& state)
{
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        return !state.first;
    std::size_t colon = line.find(':');
    return colon != 0 && colon != std::string_view::npos &&
           std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) { return c > ' ' && c < 0x7F; });
}

// Appends what one head line becomes, each line ended by LF. The line
// holds no CR: one with a CR ends the head.
void append_head_line(ExportWork& work, const ExportOptions& options, std::string_view line,
                      std::uint64_t offset, HeadState& state)
{
    const MessageHead& head = work.plan.head;
    const bool first = state.first;
    state.first = false;
    if (first && line.substr(0, 5) == "From:") {
        state.from = true;
        work.head += "From: ";
        if (line.size() - 5 <= head_line_capacity)
            work.head += work.from; // made from the same text
        else
            append_addresses(work, line.substr(5), options, options.node, unknown_sender);
        work.head += "\nX-VMS-From:";
        append_value(work, line.substr(5), false);
        work.head += '\n';
        return;
    }
    if (head.date.found && offset == head.date.offset) {
        append_date(work, &head.date);
        state.date = true;
        return;
    }
    if (!head.date.found && head.received.found && offset == head.received.offset) {
        append_date(work, &head.received);
        state.date = true;
    }
    bool to = !state.to && starts_with_ignoring_case(line, "To:");
    bool cc = !state.cc && starts_with_ignoring_case(line, "CC:");
    if (to || cc) {
        (to ? state.to : state.cc) = true;
        std::string_view name = to ? "To" : "CC";
        std::size_t start = work.head.size();
        work.head += name;
        work.head += ": ";
        std::size_t before = work.head.size();
        append_addresses(work, line.substr(3), options, work.to_node, "");
        if (work.head.size() == before)
            work.head.resize(start); // no address: the VMS line alone
        else
            work.head += '\n';
        work.head += "X-VMS-";
        work.head += name;
        work.head += ':';
        append_value(work, line.substr(3), false);
        work.head += '\n';
        return;
    }
    if (line.front() == ' ' || line.front() == '\t') {
        append_value(work, line, false); // a folded line goes on with the field before it
    } else {
        std::size_t colon = line.find(':');
        if (renamed_field(line.substr(0, colon), state))
            work.head += "X-VMS-";
        work.head += line.substr(0, colon + 1);
        append_value(work, line.substr(colon + 1), false);
    }
    work.head += '\n';
}

// The name part of a head line too long to hold, of which `start` is held:
// what append_head_line makes of a line, up to where the line's value goes.
// The From, To and CC addresses are made of the whole addresses in `start`.
// Returns the offset in the line where the value that follows begins.
std::size_t append_long_line_name(ExportWork& work, const ExportOptions& options,
                                  std::string_view start, HeadState& state)
{
    const bool first = state.first;
    state.first = false;
    if (start.front() == ' ' || start.front() == '\t')
        return 0; // a folded line goes on with the field before it
    const std::size_t colon = start.find(':');
    std::string_view name = start.substr(0, colon);
    bool to = !state.to && same_name(name, "To");
    bool cc = !state.cc && same_name(name, "CC");
    if (first && start.substr(0, 5) == "From:") {
        state.from = true;
        work.head += "From: ";
        append_addresses(work, whole_addresses(start.substr(5)), options, options.node,
                         unknown_sender);
        work.head += "\nX-VMS-From:";
    } else if (to || cc) {
        (to ? state.to : state.cc) = true;
        std::size_t before = work.head.size();
        work.head += to ? "To: " : "CC: ";
        std::size_t made = work.head.size();
        append_addresses(work, whole_addresses(start.substr(3)), options, work.to_node, "");
        if (work.head.size() == made)
            work.head.resize(before);
        else
            work.head += '\n';
        work.head += "X-VMS-";
        work.head += name;
        work.head += ':';
    } else {
        if (renamed_field(name, state))
            work.head += "X-VMS-";
        work.head += start.substr(0, colon + 1);
    }
    return colon + 1;
}

// Text whose bytes go out decoded as the plan says.
bool write_range(MailboxReader& reader, std::uint64_t from, std::uint64_t to, ExportWork& work,
                 ExportOutput& out, LineWriter& w)
{
    while (from < to) {
        std::size_t available = 0;
        const unsigned char* p = bytes_to_write(work, reader, from, available);
        if (!p)
            return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(available, to - from));
        if (work.plan.decoding.decode) {
            work.scratch.clear();
            decode_text(work.plan.decoding, p, n, work.scratch);
            write_string(out, w, work.scratch);
        } else {
            write_text(out, w, p, n);
        }
        from += n;
    }
    return true;
}

// Writes the head made so far, its LFs as CR LF in an .eml file. Its lines
// hold no CR and none starts with "From " (each is a header field, or
// folded with a blank in front), so they go out as they are, without the
// text's line copy; the text goes on at the start of a line.
void flush_head(ExportWork& work, ExportOutput& out, LineWriter& w)
{
    const std::string& head = work.head;
    if (head.empty())
        return;
    if (w.form != ExportForm::eml) {
        output_put(out, head.data(), head.size());
    } else {
        for (std::size_t at = 0; at < head.size();) {
            std::size_t lf = std::min(head.find('\n', at), head.size());
            output_put(out, head.data() + at, lf - at);
            if (lf < head.size())
                output_put(out, "\r\n", 2);
            at = lf + 1;
        }
    }
    w.ended_line = head.back() == '\n';
    w.line_start = w.ended_line && w.form == ExportForm::mbox;
    work.head.clear();
}

// The head, line by line, then the headers every exported message gets;
// `body` gets where the body starts. The head ends at its empty line, or at
// a line that is no header field: a client would read the body from there,
// so the added headers and an empty line go in front of it.
bool write_head(MailboxReader& reader, const MailboxRecord& record, const ExportOptions& options,
                ExportWork& work, ExportOutput& out, LineWriter& w, std::uint64_t& body)
{
    const MessageHead& head = work.plan.head;
    std::uint64_t at = record.text_offset;
    HeadState state;
    bool ended = false; // by a line that is no header field
    work.head.clear();
    std::size_t index = 0; // of the line in the head
    while (at < head.head_end && !ended) {
        std::string_view text;
        std::uint64_t line_end = at;
        bool whole = true, line_ended = false;
        // A CR anywhere in the line but before its LF, however far in:
        // `cr_last` tells that the bytes so far end with a CR.
        bool inner_cr = false, cr_last = false;
        const HeadLineEnd* known = index < head.line_ends_known ? &head.line_ends[index] : nullptr;
        ++index;
        std::size_t available = 0;
        const unsigned char* p = nullptr;
        if (known) {
            p = bytes_to_write(work, reader, at, available);
            if (!p)
                return false;
        }
        if (known && available >= known->next - at) {
            // The head's reader found where the line ends, and it lies whole
            // in the block: it is read where it stands.
            text = std::string_view(reinterpret_cast<const char*>(p),
                                    static_cast<std::size_t>(known->next - at));
            line_end = known->next;
            inner_cr = known->inner_cr;
        } else {
            std::string& line = work.line;
            line.clear();
            while (line_end < head.head_end && !line_ended) {
                p = bytes_to_write(work, reader, line_end, available);
                if (!p)
                    return false;
                std::size_t n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(available, head.head_end - line_end));
                const void* lf = std::memchr(p, '\n', n);
                std::size_t take =
                    lf ? static_cast<std::size_t>(static_cast<const unsigned char*>(lf) - p) + 1
                       : n;
                std::size_t content = lf ? take - 1 : take;
                if (content > 0) {
                    inner_cr = inner_cr || cr_last || std::memchr(p, '\r', content - 1) != nullptr;
                    cr_last = p[content - 1] == '\r';
                }
                // Of a longer line the start is kept, enough to tell a header
                // field from the body.
                std::size_t room =
                    export_line_capacity - std::min(line.size(), export_line_capacity);
                if (take > room)
                    whole = false;
                line.append(reinterpret_cast<const char*>(p), std::min(take, room));
                line_end += take;
                line_ended = lf != nullptr;
            }
            text = line;
        }
        if (whole && !text.empty() && text.back() == '\n')
            text.remove_suffix(1);
        if (whole && !text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        // A CR inside a line would end it in a reader's eyes and start a
        // header of its own: such a line goes into the body as it is, and
        // the head ends in front of it.
        if (!is_field_line(text, state) || inner_cr) {
            ended = true;
            break;
        }
        if (!whole) {
            // Too long to hold: the value follows from the mailbox, as one
            // line whatever its length.
            std::size_t value = append_long_line_name(work, options, text, state);
            flush_head(work, out, w);
            std::uint64_t value_end = line_end - (line_ended ? 1 : 0) - (cr_last ? 1 : 0);
            if (!write_range(reader, at + value, value_end, work, out, w))
                return false;
            work.head += '\n';
            flush_head(work, out, w);
        } else {
            append_head_line(work, options, text, at, state);
            // A head of many lines goes out on the way, so that memory does
            // not grow with it.
            if (work.head.size() >= head_held_size)
                flush_head(work, out, w);
        }
        at = line_end;
    }
    if (!state.from) {
        work.head += "From: ";
        work.head += work.from;
        work.head += '\n';
    }
    if (!state.date)
        append_date(work, head.date.found       ? &head.date
                          : head.received.found ? &head.received
                                                : nullptr);
    work.head += "Message-ID: ";
    work.head += work.plan.message_id;
    work.head += '\n';
    if (work.plan.eight_bit)
        work.head += "MIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n"
                     "Content-Transfer-Encoding: 8bit\n";
    if (w.form == ExportForm::mbox && options.read)
        work.head += "Status: RO\n";
    if (ended)
        work.head += '\n';
    flush_head(work, out, w);
    body = ended ? at : head.head_end;
    return true;
}

// The moment of a sending date: its day, its time, its zone taken off
// ("-0000", no zone known, counts as UTC).
std::int64_t seconds_since_1970(const SendingDate& date)
{
    // Days from 1 March of year 0, so that the leap day ends a year.
    std::int64_t y = date.year - (date.month <= 2 ? 1 : 0);
    std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    std::int64_t of_era = y - era * 400;
    std::int64_t month = date.month > 2 ? date.month - 3 : date.month + 9;
    std::int64_t of_year = (153 * month + 2) / 5 + date.day - 1;
    std::int64_t days = era * 146097 + of_era * 365 + of_era / 4 - of_era / 100 + of_year - 719468;
    auto number = [](const std::string& text, std::size_t at) {
        return text.size() >= at + 2 ? (text[at] - '0') * 10 + (text[at + 1] - '0') : 0;
    };
    std::int64_t seconds = days * 86400 + number(date.time, 0) * 3600 + number(date.time, 3) * 60 +
                           number(date.time, 6);
    std::int64_t offset = (number(date.zone, 1) * 60 + number(date.zone, 3)) * 60;
    return !date.zone.empty() && date.zone[0] == '-' ? seconds + offset : seconds - offset;
}

bool export_one(MailboxReader& reader, const MailboxRecord& record, ExportForm form,
                const ExportOptions& options, ExportWork& work, ExportOutput& out)
{
    MessagePlan& plan = work.plan;
    MailboxReader& first_pass = work.ahead ? *work.ahead : reader;
    if (!plan_message(first_pass, work.ahead ? &reader : nullptr, record, options, work)) {
        reader.error = first_pass.error;
        return false;
    }
    out.sent = seconds_since_1970(plan.date.date);
    const AddressText& from = addresses_of(work, plan.head.sender, options, options.node);
    work.from = from.any ? std::string_view(from.list) : unknown_sender;
    // To and CC were written on the sender's node, or on the user's own.
    work.to_node = sender_node(plan.head.sender);
    if (work.to_node.empty())
        work.to_node = options.node;
    if (form == ExportForm::mbox) {
        // The separator's sender is the From header's address, when it has
        // no blank that would end it early.
        std::string_view sender = from.first;
        if (sender.empty() ||
            std::any_of(sender.begin(), sender.end(), [](char c) { return c == ' ' || c == '\t'; }))
            sender = no_sender;
        work.head = "From ";
        work.head += sender;
        work.head += ' ';
        append_separator_date(work.head, plan.date.date);
        work.head += '\n';
        output_put(out, work.head.data(), work.head.size());
    }
    LineWriter w;
    w.form = form;
    w.line_start = form == ExportForm::mbox;
    const std::uint64_t end = record.text_offset + record.text_size;
    std::uint64_t body = end;
    if (!write_head(reader, record, options, work, out, w, body) ||
        !write_range(reader, body, end, work, out, w))
        return false;
    work.scratch.clear();
    end_decoding(plan.decoding, work.scratch);
    write_string(out, w, work.scratch);
    end_text(out, w);
    if (form == ExportForm::mbox)
        output_put(out, "\n", 1);
    return true;
}

// A domain of letters, digits and hyphens in dot-separated labels.
bool is_domain(const std::string& domain)
{
    if (domain.empty() || domain.front() == '.' || domain.back() == '.' ||
        domain.find("..") != std::string::npos)
        return false;
    return std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

} // namespace

void output_write_behind(ExportOutput& out)
{
    out.behind = std::make_unique<WriteBehind>();
    out.behind->block.resize(out.block.size());
}

void output_put(ExportOutput& out, const char* bytes, std::size_t count)
{
    while (count > 0) {
        if (out.used == out.block.size())
            output_pass(out);
        std::size_t n = std::min(count, out.block.size() - out.used);
        std::memcpy(out.block.data() + out.used, bytes, n);
        out.used += n;
        bytes += n;
        count -= n;
    }
}

namespace {

// The first failure is the one said: a write that failed beside the work
// counts when it is waited for.
void take_failure(ExportOutput& out, int error, std::string reason)
{
    if (out.error == 0) {
        out.error = error;
        out.reason = std::move(reason);
    }
}

void wait_behind(ExportOutput& out)
{
    if (!out.behind)
        return;
    BackgroundJob& job = out.behind->job;
    finish_job(job);
    if (job.error != 0)
        take_failure(out, job.error, job.reason);
    job.error = 0;
}

} // namespace

void output_pass(ExportOutput& out)
{
    if (!out.behind) {
        output_flush(out);
        return;
    }
    wait_behind(out);
    if (out.error == 0 && out.used > 0) {
        WriteBehind& behind = *out.behind;
        std::swap(out.block, behind.block);
        behind.job.write = true;
        behind.job.fd = out.fd;
        behind.job.data = behind.block.data();
        behind.job.size = out.used;
        start_job(behind.job);
    }
    out.used = 0;
}

// Through the file layer, which writes standard output (descriptor 1) as
// bytes on every platform. A failure without an errno (the Win32 layer
// keeps its own reason) still counts as one.
int output_flush(ExportOutput& out)
{
    wait_behind(out);
    if (out.error == 0 && out.used > 0) {
        errno = 0;
        if (io_write(out.fd, out.block.data(), out.used)) {
            errno = errno != 0 ? errno : EIO;
            take_failure(out, errno, io_error_text());
        }
    }
    out.used = 0;
    return out.error;
}

void output_settle(ExportOutput& out)
{
    if (out.behind)
        finish_job(out.behind->job);
}

bool export_options_valid(const ExportOptions& options, std::string& problem)
{
    if (!options.charset.empty() && !charset_named(options.charset)) {
        problem = "unknown character set: " + options.charset;
        return false;
    }
    if (!options.domain.empty() && !is_domain(options.domain)) {
        problem = "not a domain name: " + options.domain;
        return false;
    }
    if (!options.node.empty() && !is_domain(options.node)) {
        problem = "not a node name: " + options.node;
        return false;
    }
    return true;
}

bool export_message(MailboxReader& reader, const MailboxRecord& record, ExportForm form,
                    const ExportOptions& options, ExportOutput& out)
{
    // Kept from message to message: its buffers are allocated once, not
    // for every message.
    static ExportWork work;
    work.ahead = nullptr;
    return export_one(reader, record, form, options, work, out);
}

bool export_mbox(MailboxReader& reader, std::uint32_t message_count, const ExportOptions& options,
                 ExportOutput& out)
{
    // The first pass over each message reads through a reader of its own,
    // so that neither pass reads a block twice.
    MailboxReader ahead;
    ahead.fd = reader.fd;
    ahead.length = reader.length;
    ahead.block.resize(mailbox_block_room);
    ExportWork work;
    work.ahead = &ahead;
    std::uint64_t at = mailbox_header_size;
    for (std::uint32_t n = 0; n < message_count && out.error == 0; ++n) {
        MailboxRecord record;
        if (!read_record(reader, at, record) ||
            !export_one(reader, record, ExportForm::mbox, options, work, out))
            return false;
        at = record.text_offset + record.text_size + 1;
    }
    return true;
}
