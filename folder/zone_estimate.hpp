// The VAX's zone as the messages that came through a mail gateway show it.
// Such a message carries at the top of its body the header that the
// internet gave it, with a Date in a known zone; the date on its "From:"
// line is the VAX's clock when the gateway handed it over. Their difference
// is the VAX's offset from UT plus the delivery's delay, which only adds
// (an hour is common). A forwarded message carries an older date, and some
// mailers wrote EST in August: such messages fit no offset and are only
// counted. Memory stays bounded: the differences are counted by the minute.
#pragma once

#include "folder/date_diagnosis.hpp"

#include <array>
#include <cstdint>
#include <string_view>

// The offsets considered, a half hour apart, and how a message fits one:
// its difference lies from `early_minutes` below the offset (clocks that
// drift) to `delay_minutes` above it.
inline constexpr int lowest_offset = -12 * 60;
inline constexpr int highest_offset = 14 * 60;
inline constexpr int offset_step = 30;
inline constexpr int early_minutes = 10;
inline constexpr int delay_minutes = 90;
// No offset is told from fewer messages that fit it, nor from fewer than
// this share of the dated messages of its months.
inline constexpr std::int64_t fewest_agreeing = 3;
inline constexpr std::int64_t agreeing_share = 3; // one in three

inline constexpr int difference_base = lowest_offset - early_minutes;
inline constexpr std::size_t difference_span = highest_offset + delay_minutes - difference_base;

// The dated messages of one season: those sent in KESTREL_DST_MTHS, or the others.
struct SeasonTally {
    std::int64_t dated = 0;
    // Messages by their difference in whole minutes, from difference_base
    // on; a difference outside fits no offset and is only in `dated`.
    std::array<std::int64_t, difference_span> by_minute{};
};

struct ZoneEvidence {
    SeasonTally standard; // outside KESTREL_DST_MTHS
    SeasonTally daylight; // in KESTREL_DST_MTHS

    // The message being read: where its reading stands, its VAX date and
    // the Date field found so far.
    enum class Stage { done, vms_header, before_body, internet_header, date_field };
    Stage stage = Stage::done;
    std::int64_t vax_seconds = 0;
    bool in_dst_months = false;
    std::array<char, 256> field{};
    std::size_t field_length = 0;
};

// A message starts with its "From:" line, diagnosed; one whose date does
// not convert, even mended, is not counted.
void zone_message_start(ZoneEvidence& evidence, const DateDiagnosis& diagnosis);
// Each further line of the message, or the first piece of a longer one.
void zone_message_line(ZoneEvidence& evidence, std::string_view line, bool piece);
// After the folder's last line.
void zone_folder_end(ZoneEvidence& evidence);

// Counts one message whose VAX date is `difference_seconds` past its
// internet Date.
void count_difference(SeasonTally& season, std::int64_t difference_seconds);

// How many of the season's dated messages fit `offset_minutes`.
std::int64_t agreeing_with(const SeasonTally& season, int offset_minutes);

struct ZoneGuess {
    bool made = false;      // enough messages fit the offset
    int offset_minutes = 0; // the one most messages fit; of equals a whole
                            // hour, then the latest, as delays only add
    std::int64_t agreeing = 0;
};
ZoneGuess guess_zone(const SeasonTally& season);
