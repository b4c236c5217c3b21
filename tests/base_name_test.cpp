#include "convert/conversion_state.hpp"
#include "convert/staging.hpp"

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

} // namespace
