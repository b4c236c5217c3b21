#include "mbx/folder_name.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

// The file's name without its directory and its extension ("MAIL.MBX"
// -> "MAIL"); both slashes end a directory, as on Windows.
std::string base_name(const std::string& path)
{
    std::size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// What no folder name can carry: "." separates the levels of a Maildir++
// tree, "/" and "\" those of a directory; ":*?"<>|" cannot stand in a
// Windows file name; "%" and "*" are the wildcards of IMAP's LIST and "&"
// starts a non-ASCII name in IMAP's own encoding; control characters.
// Characters outside ASCII stay when the name is UTF-8 (a Maildir++ tree and
// IMAP write them in IMAP's own encoding); other bytes do not.
bool unsafe(unsigned char c)
{
    return c < 0x20 || c == 0x7F || std::strchr("./\\:*?\"<>|%&", c) != nullptr;
}

// The length of the UTF-8 character at the start of `text`, or 0 when it is
// not one (a byte of another character set, say).
std::size_t utf8_length(std::string_view text)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    // No overlong form, no surrogate, nothing past U+10FFFF.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) ||
        (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90))
        return 0;
    return length;
}

// Names that are no folder of their own: INBOX is the root of every IMAP
// account, and Windows keeps its device names, extension or not.
bool reserved(const std::string& name)
{
    static const char* const names[] = {"INBOX", "CON", "PRN", "AUX", "NUL"};
    std::string u = upper(name);
    for (const char* n : names)
        if (u == n)
            return true;
    return u.size() == 4 && (u.rfind("COM", 0) == 0 || u.rfind("LPT", 0) == 0) && u[3] >= '1' &&
           u[3] <= '9';
}

} // namespace

std::string folder_name_of(const std::string& mailbox_path, bool& made_safe)
{
    made_safe = false;
    std::string name;
    const std::string base = base_name(mailbox_path);
    for (std::size_t i = 0; i < base.size();) {
        auto byte = static_cast<unsigned char>(base[i]);
        if (byte >= 0x80) {
            std::size_t length = utf8_length(std::string_view(base).substr(i));
            made_safe = made_safe || length == 0;
            name += length == 0 ? std::string(1, '_') : base.substr(i, length);
            i += length == 0 ? 1 : length;
            continue;
        }
        made_safe = made_safe || unsafe(byte);
        name += unsafe(byte) ? '_' : base[i];
        ++i;
    }
    // Windows drops blanks at the ends of a name, and a client shows them
    // not at all.
    for (std::size_t at : {std::size_t{0}, name.size() - 1})
        if (!name.empty() && name[at] == ' ') {
            name[at] = '_';
            made_safe = true;
        }
    if (name.empty() || reserved(name)) {
        name += '_';
        made_safe = true;
    }
    return name;
}

bool mailbox_stays_unread(const std::string& mailbox_path)
{
    std::string name = base_name(mailbox_path);
    return upper(name) == "NEWMAIL";
}
