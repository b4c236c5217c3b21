// Small helpers of the end-to-end tests: a working directory for one run of
// the program, the run itself with explicit standard input and environment,
// and the checks that every run gets.
#pragma once

#include "tests/support/child_process.hpp"
#include "tests/support/mailbox_validator.hpp"
#include "tests/support/test_files.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace e2e {

inline const std::vector<std::string> standard_environment = {"TZ=UTC",
                                                              "KESTREL_VAX_USERNAME=SMITH"};

// The separator the program puts between the output directory and the
// mailbox's name.
inline const std::string sep = target_is_windows() ? "\\" : "/";

// One run's world: `dir` is the program's current directory; a redirected
// list lives in `side`, out of the program's way. A run first notes what the
// directory holds, so that the checks can tell the program's files from it.
struct Workspace {
    TempDir dir, side;
    std::vector<std::string> before;
    std::vector<std::pair<std::string, std::string>> inputs; // regular files and their bytes

    void put(const std::string& name, const std::string& bytes) const
    {
        write_file(dir.file(name), bytes);
    }

    // Standard input is /dev/null (interactive) unless a list is given, which
    // then comes from a plain file (redirected).
    ChildOptions options(std::vector<std::string> arguments,
                         const std::optional<std::string>& list = std::nullopt,
                         std::vector<std::string> environment = standard_environment) const
    {
        ChildOptions o;
        o.arguments = std::move(arguments);
        o.environment = std::move(environment);
        o.directory = dir.path();
        if (list) {
            write_file(side.file("list"), *list);
            o.standard_input = side.file("list");
        }
        return o;
    }

    ChildResult run_with(const ChildOptions& o)
    {
        before = tree();
        inputs.clear();
        for (const auto& name : before)
            if (std::filesystem::is_regular_file(std::filesystem::symlink_status(dir.file(name))))
                inputs.emplace_back(name, read_file(dir.file(name)));
        return run_child(o);
    }

    ChildResult run(std::vector<std::string> arguments,
                    const std::optional<std::string>& list = std::nullopt,
                    std::vector<std::string> environment = standard_environment)
    {
        return run_with(options(std::move(arguments), list, std::move(environment)));
    }

    // Every entry below the directory, as sorted relative paths; symbolic
    // links are listed, not followed.
    std::vector<std::string> tree() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
            names.push_back(entry.path().lexically_relative(dir.path()).string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Validates the mailbox file and returns its messages' texts.
inline std::vector<std::string> mailbox_texts(const std::string& path)
{
    MailboxCheck check = validate_mailbox_file(path);
    EXPECT_TRUE(check.valid) << path << ": " << check.problem;
    return check.texts;
}

// The checks of every run: exit status, exact output, nothing on standard
// error. Afterwards the directory holds its inputs, unchanged, and the
// mailboxes that the output reports created, each valid, and nothing else:
// no staged copy, no empty or partial mailbox.
inline void expect_run(const Workspace& w, const ChildResult& result, int status,
                       const std::string& output)
{
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, status);
    EXPECT_EQ(result.output, output);
    EXPECT_EQ(result.errors, "");
    std::vector<std::string> entries = w.before, created;
    const std::string front = "-> file ", back = " created\n";
    for (auto at = output.find(front); at != std::string::npos; at = output.find(front, at)) {
        at += front.size();
        std::string path = output.substr(at, output.find(back, at) - at);
        if (target_is_windows())
            std::replace(path.begin(), path.end(), '\\', '/');
        created.push_back(std::filesystem::path(path).lexically_normal().string());
    }
    entries.insert(entries.end(), created.begin(), created.end());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(w.tree(), entries);
    for (const auto& [name, bytes] : w.inputs)
        EXPECT_TRUE(file_exists(w.dir.file(name)) && read_file(w.dir.file(name)) == bytes)
            << name << " changed";
    for (const auto& mailbox : created)
        if (file_exists(w.dir.file(mailbox)))
            mailbox_texts(w.dir.file(mailbox));
}

// A folder message: the form-feed line, the "From:" line, then the rest.
inline std::string message(const std::string& from, const std::vector<std::string>& rest)
{
    std::string text = "\f\n" + from + "\n";
    for (const auto& line : rest)
        text += line + "\n";
    return text;
}

// A small valid folder of one message from someone else.
inline const std::string simple_folder =
    message("From:\tNODE2::JONES  17-SEP-1996 07:05:23.33", {"Subj:\tHi", "hello"});

} // namespace e2e
