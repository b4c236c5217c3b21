// A quick hash of a short text, eight bytes at a time, going on from
// `seed`: it places the export's memo entries and the node search's pieces
// in their tables, and is kept nowhere else.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

inline std::uint64_t text_hash(std::uint64_t seed, std::string_view text)
{
    std::uint64_t h = seed ^ 0x6A09E667F3BCC909ULL;
    auto mix = [&h](std::uint64_t word) {
        h = (h ^ word) * 0x9E3779B97F4A7C15ULL;
        h ^= h >> 29;
    };
    std::size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + at, 8);
        mix(word);
    }
    std::uint64_t last = 0; // the last bytes, and their count in the top byte
    for (std::size_t k = at; k < text.size(); ++k)
        last |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[k])) << 8 * (k - at);
    mix(last ^ (static_cast<std::uint64_t>(text.size() - at) << 56));
    return h ^ (h >> 32);
}
