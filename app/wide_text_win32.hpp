// UTF-8, the programs' own form of text, and UTF-16, Windows' own: for the
// Windows implementation files only, which meet Windows at its edge.
#pragma once

#include <string>

// What is not UTF-8 in `text` becomes U+FFFD, or, with `strict`, an empty
// result.
std::wstring wide_of(const std::string& text, bool strict = false);
std::string utf8_of(const wchar_t* wide);
