// Comparisons of head names, gateway words and VMS user names, whose
// letters are ASCII and whose case does not matter ("Message-ID:",
// "MRGATE", "smith"). Only the letters' case is folded, by the one bit that
// separates it; the texts compared hold letters where it matters.
#pragma once

#include <cstddef>
#include <string_view>

inline bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20))
            return false;
    return true;
}

inline bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}
