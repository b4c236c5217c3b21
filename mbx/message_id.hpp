// The Message-ID of an exported message, by which a mail program that
// imports it twice knows it again: the message's own when the gateway that
// brought it left its internet header block at the start of the body, else
// one made from a hash of the message's text, the same on every export.
#pragma once

#include "mbx/mailbox_reader.hpp"
#include "mbx/message_head.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// A 128-bit hash of a text fed in pieces of any size; the pieces do not
// change it. The same pass gathers the bits set in any byte of the text,
// which tell whether it is all ASCII.
struct TextHash {
    std::uint64_t lanes[2] = {0x6B657374726C6D62ULL, 0x9E3779B97F4A7C15ULL};
    std::uint64_t length = 0;
    unsigned char tail[16] = {};
    std::size_t tail_length = 0;
    std::uint64_t bits = 0; // every byte ORed in, in some lane of the word
};

// Whether every byte hashed so far is ASCII.
bool hashed_ascii(const TextHash& hash);

void hash_text(TextHash& hash, const unsigned char* bytes, std::size_t count);
// "<32 hex digits@kestrel-mbx.invalid>"
std::string made_message_id(const TextHash& hash);
// The same into `to`, which keeps its room from message to message.
void make_message_id(const TextHash& hash, std::string& to);

// What of a message's text its made Message-ID stands for: what the VAX
// wrote, the whole text but for the date lines that the converter put after
// the From line. Their weekday, their zone and whether a Date line is there
// at all come from the converter's settings (KESTREL_TZ, KESTREL_DST,
// KESTREL_DST_MTHS, KESTREL_VAX_USERNAME); the VAX's own date and time
// stand in their place. So a message has the same id however it was
// converted, from any mailbox, in any form.
struct IdText {
    std::uint64_t skip_from = 0; // the converter's date lines, in the file
    std::uint64_t skip_to = 0;   // equal: none
    std::string_view date_time;  // "4 Mar 1996 13:58:04", in the head's text
};

// Of a head read by read_message_head, which must stay as it is while the
// text is hashed.
IdText id_text_of(const MessageHead& head);
// Hashes `count` bytes of the message's text that lie at `offset` in the
// file, the text being fed in order; the bits gather every byte of the
// text, those left out of the hash too.
void hash_id_text(TextHash& hash, const IdText& text, const unsigned char* bytes,
                  std::uint64_t offset, std::size_t count);

// The "<id>" of a "Message-ID:" field in the internet header block that
// opens the body at `offset`, read up to `end`; nullopt when there is no such
// block or field or its id is malformed, and on a read error (then
// `reader.error` is set).
std::optional<std::string> own_message_id(MailboxReader& reader, std::uint64_t offset,
                                          std::uint64_t end);

// Whether `value` is one "<local@domain>" id.
bool is_message_id(std::string_view value);
