#include "convert/conversion_state.hpp"
#include "convert/staging.hpp"
#include "mbx/folder_name.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string base_name_of(const std::string& path)
{
    std::string buffer(base_name_capacity + 20, '#');
    take_base_name(path.c_str(), buffer.data(), base_name_capacity);
    std::size_t end = buffer.find('\0');
    EXPECT_NE(end, std::string::npos) << path;
    // Nothing past the terminator is touched.
    EXPECT_EQ(buffer.find_first_not_of('#', end + 1), std::string::npos) << path;
    return buffer.substr(0, end);
}

TEST(BaseName, DropsDirectoryDriveAndLastExtension)
{
    const std::pair<const char*, const char*> rows[] = {
        {"MAIL.TXT", "MAIL"},
        {"..\\VAX\\MAIL.OLD.TXT", "MAIL.OLD"},
        {"D:MAIL.TXT", "MAIL"},
        {"D:MAIL.OLD", "MAIL"},
        {"MAIL", "MAIL"},
        {"dir/sub/x.y.z", "x.y"},
        {"a/b\\c.d", "c"},
        {"a\\b/c.d", "c"},
        {"C:\\VAX\\mail.txt", "mail"},
        {"dir.ext/MAIL", "MAIL"},
        {"dir/", ""},
        {"", ""},
    };
    for (const auto& [path, expected] : rows)
        EXPECT_EQ(base_name_of(path), expected) << path;
}

TEST(BaseName, LongNameIsCutToTheField)
{
    std::string name(300, 'N');
    EXPECT_EQ(base_name_of("dir/" + name + ".TXT"), name.substr(0, base_name_capacity));
    EXPECT_EQ(base_name_of(name), name.substr(0, base_name_capacity));
    EXPECT_EQ(base_name_of(name.substr(0, 256) + ".TXT"), name.substr(0, 255));
    EXPECT_EQ(base_name_of(name.substr(0, 255) + ".TXT"), name.substr(0, 255));
}

// The folder a mailbox becomes: its base name, with what a Maildir++ tree,
// Windows or IMAP cannot take in a folder's name replaced and said.
TEST(BaseName, FolderNamesMadeSafe)
{
    const struct {
        const char* path;
        const char* folder;
        bool made_safe;
    } rows[] = {
        {"MAIL.MBX", "MAIL", false},
        {"C:\\VAX\\PROJECTS.MBX", "PROJECTS", false},
        {"old/Mail_1997-$X", "Mail_1997-$X", false},
        {"MAIL.OLD.MBX", "MAIL_OLD", true},
        {"A%B*C&D.MBX", "A_B_C_D", true},
        {"a:b?c.MBX", "a_b_c", true},
        {"M\xC3\xBCller.MBX", "M\xC3\xBCller", false},
        {"M\xFCller.MBX", "M_ller", true},                    // Latin-1, not UTF-8
        {"\xE2\x82\xAC\xE2\x82.MBX", "\xE2\x82\xAC__", true}, // a cut character
        {"\xC0\xAE.MBX", "__", true},                         // an overlong "."
        {" X .MBX", "_X_", true},
        {".MBX", "_MBX", true},
        {"dir/", "_", true},
        {"inbox.mbx", "inbox_", true},
        {"COM1.MBX", "COM1_", true},
        {"COM10.MBX", "COM10", false},
    };
    for (const auto& row : rows) {
        bool made_safe = !row.made_safe;
        EXPECT_EQ(folder_name_of(row.path, made_safe), row.folder) << row.path;
        EXPECT_EQ(made_safe, row.made_safe) << row.path;
    }
    EXPECT_TRUE(mailbox_stays_unread("dir/NEWMAIL.MBX"));
    EXPECT_TRUE(mailbox_stays_unread("NewMail"));
    EXPECT_FALSE(mailbox_stays_unread("NEWMAIL.OLD.MBX"));
    EXPECT_FALSE(mailbox_stays_unread("NEWMAIL/MAIL.MBX"));
}

} // namespace
