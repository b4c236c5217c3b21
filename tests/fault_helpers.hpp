// Helpers of the fault, interrupt and bad-input tests: folder texts and the
// record texts they become, a run in a private directory, and the checks
// every run gets (status, exact output, nothing on standard error).
#pragma once

#include "tests/support/child_process.hpp"
#include "tests/support/mailbox_validator.hpp"
#include "tests/support/test_files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fault {

using Names = std::vector<std::string>;

// The separator the program puts between the output directory and the
// mailbox's name.
inline const std::string sep = target_is_windows() ? "\\" : "/";

inline const std::string sent = " 4-MAR-1996 13:58:04.09";
inline const std::string received = "Received: ; Mon, 4 Mar 1996 13:58:04 +0000\r\n";

inline std::string crlf(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// One message of a folder extract, as VAX MAIL writes it.
inline std::string message(const std::string& sender, const std::string& body)
{
    return "\f\nFrom:\t" + sender + "    " + sent + "\nSubj:\tNote\n" + body;
}

// The text of the record that message() becomes (the user is SMITH).
inline std::string record_text(const std::string& sender, const std::string& body)
{
    std::string text = "From:\t" + sender + "   \r\n";
    if (sender.find("SMITH") != std::string::npos)
        text += "Date: Mon, 4 Mar 1996 13:58:04 +0000\r\n";
    return text + received + "Subject: Note\r\n" + crlf(body);
}

// About `size` bytes of ordinary messages of about 2 KiB, lines of 20 to
// 120 characters, every fourth one the user's own.
inline std::string large_folder(std::size_t size)
{
    std::string folder;
    folder.reserve(size + 4096);
    unsigned seed = 7;
    for (int n = 0; folder.size() < size; ++n) {
        std::string body;
        while (body.size() < 2000) {
            seed = seed * 1103515245u + 12345u;
            body += std::string(20 + (seed >> 16) % 101, static_cast<char>('a' + n % 26)) + "\n";
        }
        folder += message(n % 4 == 0 ? "NODE1::SMITH" : "NODE2::JONES", body);
    }
    return folder;
}

inline ChildOptions run_in(const TempDir& dir, std::vector<std::string> arguments,
                           std::string standard_input = "/dev/null")
{
    ChildOptions options;
    options.arguments = std::move(arguments);
    options.directory = dir.path();
    options.standard_input = std::move(standard_input);
    return options;
}

inline void expect_run(const ChildResult& result, int status, const std::string& output)
{
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, status);
    EXPECT_EQ(result.output, output);
    EXPECT_EQ(result.errors, "");
}

// The texts of a mailbox file, which must pass the validator.
inline std::vector<std::string> mailbox_texts(const std::string& path)
{
    MailboxCheck check = validate_mailbox_file(path);
    EXPECT_TRUE(check.valid) << path << ": " << check.problem;
    return check.texts;
}

inline bool is_staged_copy(const std::string& name)
{
    return name.size() == 13 && name.compare(0, 7, "kestrel") == 0;
}

// The name of a mailbox that has not reached its commit, where the file
// system cannot make unnamed files.
inline bool is_unfinished_mailbox(const std::string& name)
{
    const std::string head = "kestrel-unfinished-", tail = ".tmp";
    return name.size() == head.size() + 6 + tail.size() &&
           name.compare(0, head.size(), head) == 0 &&
           name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

// The names in a directory other than a TempDir's own, sorted.
inline Names entries_in(const std::string& path)
{
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline void make_directory(const std::string& path)
{
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
}

} // namespace fault
