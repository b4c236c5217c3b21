#include "mbx/folder_name.hpp"

namespace {

std::string base_name(const std::string& path)
{
    std::size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

} // namespace

std::string folder_name_of(const std::string& mailbox_path, bool& made_safe)
{
    std::string name = base_name(mailbox_path);
    made_safe = false;
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' || c == '\\' ||
            c == '.' || c == '%' || c == '*') {
            c = '_';
            made_safe = true;
        }
    if (name.empty()) {
        name.assign(1, '_');
        made_safe = true;
    }
    return name;
}

bool mailbox_stays_unread(const std::string& mailbox_path)
{
    std::string name = base_name(mailbox_path);
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return name == "NEWMAIL";
}
