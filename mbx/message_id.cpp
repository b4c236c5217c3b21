#include "mbx/message_id.hpp"

#include "mbx/record_lines.hpp"
#include "mbx/vms_address.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr std::uint64_t multiplier_a = 0x87C37B91114253D5ULL;
constexpr std::uint64_t multiplier_b = 0x4CF5AD432745937FULL;
// How much of the body's start is looked at for a header block.
constexpr std::uint64_t block_scan_limit = 1 << 16;
constexpr std::size_t field_capacity = 1024;

std::uint64_t rotated(std::uint64_t x, int by)
{
    return (x << by) | (x >> (64 - by));
}

// Eight bytes as a number, the first the lowest: the same on every machine.
std::uint64_t word_at(const unsigned char* p)
{
    std::uint64_t w = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&w, p, sizeof w);
    } else {
        for (int i = 7; i >= 0; --i)
            w = (w << 8) | p[i];
    }
    return w;
}

void mix(TextHash& h, std::uint64_t a, std::uint64_t b)
{
    h.lanes[0] = rotated((h.lanes[0] ^ a) * multiplier_a, 31);
    h.lanes[1] = rotated((h.lanes[1] ^ b) * multiplier_b, 33);
}

void mix(TextHash& h, const unsigned char* p)
{
    mix(h, word_at(p), word_at(p + 8));
}

// ORs the bytes into `bits`, eight at a time.
void gather_bits(std::uint64_t& bits, const unsigned char* p, std::size_t n)
{
    for (; n >= 8; p += 8, n -= 8)
        bits |= word_at(p);
    for (; n > 0; --n)
        bits |= *p++;
}

std::uint64_t finished(std::uint64_t x)
{
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    x ^= x >> 33;
    return x;
}

bool is_field_name_char(char c)
{
    return c > ' ' && c < 0x7F && c != ':';
}

bool named(const std::string& field, std::string_view name)
{
    if (field.size() <= name.size() || field[name.size()] != ':')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if ((field[i] | 0x20) != (name[i] | 0x20))
            return false;
    return true;
}

std::optional<std::string> id_of(const std::string& field)
{
    std::string_view value = std::string_view(field).substr(field.find(':') + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    if (!is_message_id(value))
        return std::nullopt;
    return std::string(value);
}

} // namespace

void hash_text(TextHash& h, const unsigned char* bytes, std::size_t count)
{
    h.length += count;
    if (h.tail_length > 0) {
        std::size_t n = std::min(count, sizeof h.tail - h.tail_length);
        for (std::size_t i = 0; i < n; ++i)
            h.bits |= bytes[i];
        std::copy(bytes, bytes + n, h.tail + h.tail_length);
        h.tail_length += n;
        bytes += n;
        count -= n;
        if (h.tail_length < sizeof h.tail)
            return;
        mix(h, h.tail);
        h.tail_length = 0;
    }
    // The words that are mixed in are ORed into the bits as they pass. The
    // loop works on copies, which the text's bytes cannot alias.
    TextHash local = h;
    for (; count >= 16; bytes += 16, count -= 16) {
        std::uint64_t a = word_at(bytes), b = word_at(bytes + 8);
        local.bits |= a | b;
        mix(local, a, b);
    }
    for (std::size_t i = 0; i < count; ++i)
        local.bits |= bytes[i];
    h.lanes[0] = local.lanes[0];
    h.lanes[1] = local.lanes[1];
    h.bits = local.bits;
    std::copy(bytes, bytes + count, h.tail);
    h.tail_length = count;
}

bool hashed_ascii(const TextHash& hash)
{
    return (hash.bits & 0x8080808080808080ULL) == 0;
}

std::string made_message_id(const TextHash& hash)
{
    std::string id;
    make_message_id(hash, id);
    return id;
}

void make_message_id(const TextHash& hash, std::string& to)
{
    TextHash h = hash;
    std::fill(h.tail + h.tail_length, h.tail + sizeof h.tail, 0);
    mix(h, h.tail);
    std::uint64_t a = finished(h.lanes[0] ^ h.length);
    std::uint64_t b = finished(h.lanes[1] ^ rotated(h.length, 17));
    a += b;
    b += a;
    constexpr std::string_view domain = "@kestrel-mbx.invalid>";
    char id[1 + 32 + domain.size()];
    id[0] = '<';
    std::size_t at = 1;
    // Two digits a byte.
    static constexpr auto byte_digits = [] {
        std::array<char, 512> digits{};
        for (std::size_t b = 0; b < 256; ++b) {
            digits[2 * b] = "0123456789abcdef"[b >> 4];
            digits[2 * b + 1] = "0123456789abcdef"[b & 15];
        }
        return digits;
    }();
    for (std::uint64_t part : {a, b})
        for (int shift = 56; shift >= 0; shift -= 8) {
            const std::size_t byte = (part >> shift) & 0xFF;
            id[at++] = byte_digits[2 * byte];
            id[at++] = byte_digits[2 * byte + 1];
        }
    domain.copy(id + at, domain.size());
    to.assign(id, sizeof id);
}

namespace {

// "4 Mar 1996 13:58:04" of "Mon, 4 Mar 1996 13:58:04 +0000": the weekday
// and the zone left out; empty when the value is not of that form.
std::string_view vax_date_time(std::string_view value)
{
    std::size_t comma = value.find(", ");
    if (comma == std::string_view::npos || comma > 7)
        return {};
    value.remove_prefix(comma + 2);
    std::size_t at = 0;
    for (int spaces = 0; spaces < 3; ++spaces) {
        at = value.find(' ', at);
        if (at == std::string_view::npos)
            return {};
        ++at;
    }
    if (value.size() < at + 8 || value[at + 2] != ':' || value[at + 5] != ':')
        return {};
    return value.substr(0, at + 8);
}

} // namespace

IdText id_text_of(const MessageHead& head)
{
    IdText text;
    if (!head.received.found)
        return text;
    text.date_time = vax_date_time(head.received.value);
    if (text.date_time.empty())
        return text;
    // The converter's "Received: ; " line, and the "Date: " line just before
    // it that the user's own messages get.
    text.skip_from = head.received.offset;
    text.skip_to = head.received.offset + head.received.length;
    if (head.date.found && head.date.offset + head.date.length == head.received.offset)
        text.skip_from = head.date.offset;
    return text;
}

void hash_id_text(TextHash& hash, const IdText& text, const unsigned char* bytes,
                  std::uint64_t offset, std::size_t count)
{
    const std::uint64_t end = offset + count;
    if (text.skip_from == text.skip_to || end <= text.skip_from || offset >= text.skip_to) {
        hash_text(hash, bytes, count);
        return;
    }
    // The lines left out still count for the bits, which tell whether the
    // whole text is ASCII.
    const std::uint64_t from = std::max(offset, text.skip_from);
    gather_bits(hash.bits, bytes + (from - offset),
                static_cast<std::size_t>(std::min(end, text.skip_to) - from));
    if (offset <= text.skip_from) {
        hash_text(hash, bytes, static_cast<std::size_t>(text.skip_from - offset));
        hash_text(hash, reinterpret_cast<const unsigned char*>(text.date_time.data()),
                  text.date_time.size());
    }
    if (end > text.skip_to) {
        std::size_t from = static_cast<std::size_t>(std::max(offset, text.skip_to) - offset);
        hash_text(hash, bytes + from, count - from);
    }
}

bool is_message_id(std::string_view value)
{
    return value.size() > 2 && value.front() == '<' && value.back() == '>' &&
           is_addr_spec(value.substr(1, value.size() - 2));
}

std::optional<std::string> own_message_id(MailboxReader& reader, std::uint64_t offset,
                                          std::uint64_t end)
{
    end = std::min(end, offset + block_scan_limit);
    std::string line, field;
    std::optional<std::string> found;
    bool in_block = false;
    // Takes one whole line, its CR removed; false when the block has ended.
    auto take = [&](std::string_view text, bool whole) {
        bool continuation = !text.empty() && (text.front() == ' ' || text.front() == '\t');
        if (!continuation && !field.empty()) {
            if (!found && named(field, "Message-ID"))
                found = id_of(field);
            field.clear();
        }
        if (text.empty())
            return !in_block; // empty lines before the block are passed over
        if (continuation) {
            if (in_block && field.size() + text.size() <= field_capacity)
                field += text;
            return in_block;
        }
        std::size_t colon = text.find(':');
        if (colon == 0 || colon == std::string_view::npos || !whole ||
            !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                         is_field_name_char))
            return false;
        in_block = true;
        field = text;
        return true;
    };
    bool ended = false; // the header block ended before the text
    if (!walk_record_lines(reader, offset, end, field_capacity, line, [&](const RecordLine& l) {
            ended = !take(l.text.substr(0, field_capacity), l.whole);
            return !ended;
        }))
        return std::nullopt;
    if (!ended)
        take({}, true); // ends the last field
    return found;
}
