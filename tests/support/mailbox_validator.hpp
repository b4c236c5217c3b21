// Reads a mailbox file and checks every invariant of the format: the magic
// and constant fields, both counts equal and at least 1, the recorded file
// size equal to the real length, records back to back numbered 1..n, each
// record's size equal to its text size + 17, a zero byte after each text and
// none inside it, and nothing after the last record.
#pragma once

#include <string>
#include <vector>

struct MailboxCheck {
    bool valid = false;
    std::string problem;            // what is wrong, when not valid
    std::vector<std::string> texts; // the messages' texts, in file order
};

MailboxCheck validate_mailbox(const std::string& bytes);
MailboxCheck validate_mailbox_file(const std::string& path);
