// The character sets of the text in a VAX mail folder and its way into
// UTF-8: a message whose text is all ASCII goes out as it is; one that holds
// valid UTF-8 keeps it; any other 8-bit text is read in the DEC Multinational
// Character Set of the VAX terminals, or in the set the user names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class Charset {
    dec_mcs, // Latin-1 but for A8, D7, DD, F7, FD
    latin1,
    cp437,
    cp850,
    utf8, // invalid sequences become U+FFFD
};

// "dec-mcs", "latin1", "cp437", "cp850", "utf-8"; nullopt for any other name.
std::optional<Charset> charset_named(std::string_view name);

// The code point of an 8-bit byte (0x80 to 0xFF) in a single-byte set.
char32_t single_byte_code_point(Charset charset, unsigned char byte);

// Appends the UTF-8 form of a code point.
void append_utf8(std::string& to, char32_t code_point);

// What a first pass over a message's text learns: whether it is all ASCII
// and whether it is valid UTF-8. Fed in pieces of any size.
struct TextScan {
    bool ascii = true;
    bool utf8 = true;
    unsigned pending = 0;   // continuation bytes still expected
    unsigned char lead = 0; // the lead byte of that sequence
    bool second = false;    // the next byte is the sequence's second
};

void scan_text(TextScan& scan, const unsigned char* bytes, std::size_t count);
// Call after the last piece: a sequence cut off at the end is no UTF-8.
void end_scan(TextScan& scan);

// How a message's bytes go out.
struct TextDecoding {
    bool decode = false;             // false: bytes pass unchanged
    Charset charset = Charset::utf8; // when decoding
    // An unfinished UTF-8 sequence carried from the last piece.
    unsigned char held[4] = {};
    unsigned held_count = 0;
};

// The decoding a message needs after its scan: none for ASCII or valid UTF-8,
// else the chosen set.
TextDecoding decoding_for(const TextScan& scan, Charset chosen);

// Appends the UTF-8 of `bytes` decoded as `decoding` says; holds a UTF-8
// sequence cut at the piece's end for the next call.
void decode_text(TextDecoding& decoding, const unsigned char* bytes, std::size_t count,
                 std::string& to);
// Appends what is still held (U+FFFD for a cut sequence).
void end_decoding(TextDecoding& decoding, std::string& to);
// A whole piece of text, such as one header line.
std::string decoded(TextDecoding decoding, std::string_view bytes);

// RFC 2047 encoded words ("=?utf-8?b?...?=", at most 75 characters each,
// separated by a space) carrying UTF-8 text; ASCII text is returned as it is.
std::string encoded_words(std::string_view utf8);
