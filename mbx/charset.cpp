#include "mbx/charset.hpp"

#include <array>
#include <cstring>

namespace {

// The upper halves of the IBM PC code pages.
constexpr std::array<char16_t, 128> cp437_high = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
constexpr std::array<char16_t, 128> cp850_high = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

constexpr char32_t replacement = 0xFFFD;

// How many continuation bytes a UTF-8 lead byte takes, 0 for a byte that
// cannot lead.
unsigned continuation_count(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 1;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 2;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 3;
    return 0;
}

// Whether `byte` may follow `lead` as its second byte: the bounds that keep
// out overlong forms, surrogates and code points past U+10FFFF.
bool second_byte_fits(unsigned char lead, unsigned char byte)
{
    unsigned char low = 0x80, high = 0xBF;
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xED)
        high = 0x9F;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
    return byte >= low && byte <= high;
}

constexpr std::string_view base64_digits =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(std::string_view bytes)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        if (n > 1)
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (n > 2)
            group |= static_cast<unsigned char>(bytes[i + 2]);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? base64_digits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

} // namespace

std::optional<Charset> charset_named(std::string_view name)
{
    if (name == "dec-mcs")
        return Charset::dec_mcs;
    if (name == "latin1")
        return Charset::latin1;
    if (name == "cp437")
        return Charset::cp437;
    if (name == "cp850")
        return Charset::cp850;
    if (name == "utf-8")
        return Charset::utf8;
    return std::nullopt;
}

char32_t single_byte_code_point(Charset charset, unsigned char byte)
{
    if (byte < 0x80)
        return byte;
    switch (charset) {
    case Charset::cp437:
        return cp437_high[byte - 0x80];
    case Charset::cp850:
        return cp850_high[byte - 0x80];
    case Charset::dec_mcs:
        // The positions where the VAX's set differs from Latin-1; those it
        // leaves undefined keep their Latin-1 meaning.
        switch (byte) {
        case 0xA8:
            return 0x00A4; // currency sign
        case 0xD7:
            return 0x0152; // OE ligature
        case 0xDD:
            return 0x0178; // Y with diaeresis
        case 0xF7:
            return 0x0153; // oe ligature
        case 0xFD:
            return 0x00FF; // y with diaeresis
        default:
            return byte;
        }
    default:
        return byte;
    }
}

void append_utf8(std::string& to, char32_t c)
{
    if (c < 0x80) {
        to += static_cast<char>(c);
    } else if (c < 0x800) {
        to += static_cast<char>(0xC0 | (c >> 6));
        to += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        to += static_cast<char>(0xE0 | (c >> 12));
        to += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        to += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        to += static_cast<char>(0xF0 | (c >> 18));
        to += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        to += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        to += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void scan_text(TextScan& scan, const unsigned char* bytes, std::size_t count)
{
    std::size_t i = 0;
    if (scan.ascii) {
        // 64 bytes at a time: most text is ASCII.
        for (; i + 64 <= count; i += 64) {
            std::uint64_t any = 0;
            for (std::size_t k = 0; k < 64; k += 8) {
                std::uint64_t word;
                std::memcpy(&word, bytes + i + k, 8);
                any |= word;
            }
            if (any & 0x8080808080808080ULL)
                break;
        }
        while (i < count && bytes[i] < 0x80)
            ++i;
        if (i == count)
            return;
        scan.ascii = false;
    }
    for (; i < count && scan.utf8; ++i) {
        unsigned char b = bytes[i];
        if (scan.pending == 0) {
            if (b < 0x80)
                continue;
            scan.pending = continuation_count(b);
            scan.lead = b;
            scan.second = true;
            if (scan.pending == 0)
                scan.utf8 = false;
            continue;
        }
        bool fits = scan.second ? second_byte_fits(scan.lead, b) : (b >= 0x80 && b <= 0xBF);
        scan.second = false;
        if (!fits)
            scan.utf8 = false;
        else
            --scan.pending;
    }
}

void end_scan(TextScan& scan)
{
    if (scan.pending != 0)
        scan.utf8 = false;
}

TextDecoding decoding_for(const TextScan& scan, Charset chosen)
{
    TextDecoding decoding;
    decoding.decode = !scan.ascii && !scan.utf8;
    decoding.charset = chosen;
    return decoding;
}

void decode_text(TextDecoding& d, const unsigned char* bytes, std::size_t count, std::string& to)
{
    if (!d.decode) {
        to.append(reinterpret_cast<const char*>(bytes), count);
        return;
    }
    if (d.charset != Charset::utf8) {
        for (std::size_t i = 0; i < count; ++i)
            append_utf8(to, single_byte_code_point(d.charset, bytes[i]));
        return;
    }
    // Valid sequences pass; each byte that starts no valid sequence, and each
    // sequence broken off, becomes U+FFFD.
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char b = bytes[i];
        if (d.held_count > 0) {
            bool fits =
                d.held_count == 1 ? second_byte_fits(d.held[0], b) : (b >= 0x80 && b <= 0xBF);
            if (fits) {
                d.held[d.held_count++] = b;
                if (d.held_count == continuation_count(d.held[0]) + 1) {
                    to.append(reinterpret_cast<const char*>(d.held), d.held_count);
                    d.held_count = 0;
                }
                continue;
            }
            append_utf8(to, replacement);
            d.held_count = 0;
        }
        if (b < 0x80)
            to += static_cast<char>(b);
        else if (continuation_count(b) > 0)
            d.held[d.held_count++] = b;
        else
            append_utf8(to, replacement);
    }
}

void end_decoding(TextDecoding& d, std::string& to)
{
    if (d.held_count > 0)
        append_utf8(to, replacement);
    d.held_count = 0;
}

std::string decoded(TextDecoding decoding, std::string_view bytes)
{
    std::string to;
    decoding.held_count = 0;
    decode_text(decoding, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), to);
    end_decoding(decoding, to);
    return to;
}

std::string encoded_words(std::string_view utf8)
{
    bool ascii = true;
    for (char c : utf8)
        if (static_cast<unsigned char>(c) >= 0x80)
            ascii = false;
    if (ascii)
        return std::string(utf8);
    // 45 bytes make 60 base64 digits: each word stays within 75 characters.
    // A word never splits a character; the words are folded onto lines of
    // their own.
    constexpr std::size_t word_bytes = 45;
    std::string out;
    std::size_t at = 0;
    while (at < utf8.size()) {
        std::size_t end = at + word_bytes < utf8.size() ? at + word_bytes : utf8.size();
        while (end < utf8.size() && end > at + 1 &&
               (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
            --end;
        if (!out.empty())
            out += "\n ";
        out += "=?utf-8?b?" + base64(utf8.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}
