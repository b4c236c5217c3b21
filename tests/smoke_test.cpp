#include "tests/support/child_process.hpp"
#include "tests/support/mailbox_validator.hpp"
#include "tests/support/test_files.hpp"

#include <gtest/gtest.h>

TEST(Smoke, ConvertsOneMessage)
{
    TempDir dir;
    write_file(dir.file("MAIL.TXT"), "\f\nFrom:\tNODE1::SMITH     4-MAR-1996 13:58:04.09\nhello\n");
    ChildOptions options;
    options.arguments = {"MAIL.TXT"};
    options.directory = dir.path();
    ChildResult result = run_child(options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "\nProcessing MAIL.TXT -> file MAIL.MBX created\n");
    MailboxCheck check = validate_mailbox_file(dir.file("MAIL.MBX"));
    ASSERT_TRUE(check.valid) << check.problem;
    ASSERT_EQ(check.texts.size(), 1u);
}
