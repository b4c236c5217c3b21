#include "mbx/folder_name.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

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
// starts a non-ASCII name in IMAP's own encoding; control characters and
// bytes outside ASCII (whose character set a mailbox name does not say).
bool unsafe(unsigned char c)
{
    return c < 0x20 || c >= 0x7F || std::strchr("./\\:*?\"<>|%&", c) != nullptr;
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
    bool replaced_high = false; // the byte before began a character outside ASCII
    for (char c : base_name(mailbox_path)) {
        auto byte = static_cast<unsigned char>(c);
        // A character of several bytes (UTF-8) becomes one "_".
        if (replaced_high && (byte & 0xC0) == 0x80)
            continue;
        replaced_high = byte >= 0xC0;
        made_safe = made_safe || unsafe(byte);
        name += unsafe(byte) ? '_' : c;
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
