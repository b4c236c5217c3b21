// Failures of the file system under a conversion: size and descriptor
// limits, unreadable folders, unusable directories, and every single call of
// the file layer failing in turn. Each failure must print the program's own
// message, end with the right status and leave no stray file.
#include "tests/fault_helpers.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace fault;

namespace {

// The smallest descriptor limit that leaves `free` slots to the child beyond
// standard input, output, error and whatever the test process passes on.
long limit_with_free_slots(int free)
{
    long limit = 3;
    for (int fd = 3; free > 0; ++fd, ++limit) {
        int flags = fcntl(fd, F_GETFD);
        if (flags < 0 || (flags & FD_CLOEXEC) != 0)
            --free;
    }
    return limit;
}

TEST(ResourceLimit, TripsInEachStageAndLeavesNothing)
{
    // Empty lines double in size (LF becomes CR LF), so the converted text
    // outgrows the folder and a file-size limit can sit between the two.
    std::string small = message("NODE1::SMITH", "hi\n"), many_messages;
    for (int i = 0; i < 1500; ++i)
        many_messages += message("NODE2::JONES", "x\n");
    // A spilled text fills its file exactly; the mailbox adds 101 bytes.
    const std::string lines(600000, '\n'), spilling = message("NODE2::JONES", lines);
    const long spilled = static_cast<long>(record_text("NODE2::JONES", lines).size());
    struct {
        const char* stage;
        std::string folder;
        long file_size;       // limit, or -1
        int free_descriptors; // beyond the standard three, or 0 for no limit
        std::string result;
    } const cases[] = {
        {"staged copy written", large_folder(200000), 100000, 0,
         "Error writing the temporary VMS mail file: File too large\n"},
        {"staged copy written, Ctrl-Z left out", large_folder(200000) + "\x1A", 100000, 0,
         "Error writing the temporary VMS mail file: File too large\n"},
        {"message buffer spilled", spilling, 900000, 0,
         "Error writing the temporary file: File too large\n"},
        {"spilled record copied", spilling, spilled + 50, 0,
         "Error writing the file MAIL.MBX: File too large\n"},
        {"mailbox record written", message("NODE2::JONES", std::string(300000, '\n')), 450000, 0,
         "Error writing the file MAIL.MBX: File too large\n"},
        {"mailbox flushed at the end", many_messages, 120000, 0,
         "Error writing the file MAIL.MBX: File too large\n"},
        // Opened in turn: the folder, the mailbox, the staged copy (reopened
        // for reading once filled), the message buffer.
        {"mailbox created", small, -1, 1, "Error creating the file MAIL.MBX\n"},
        {"staged copy created", small, -1, 2, "Error creating the temporary VMS mail file\n"},
        {"message buffer opened", small, -1, 3, "Unable to open the temporary file\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stage);
        TempDir dir;
        write_file(dir.file("MAIL.TXT"), c.folder);
        ChildOptions options = run_in(dir, {"MAIL.TXT"});
        options.file_size_limit = c.file_size;
        options.size_signal_default = true; // the program ignores SIGXFSZ itself
        if (c.free_descriptors > 0)
            options.open_files_limit = limit_with_free_slots(c.free_descriptors);
        expect_run(run_child(options), 1, "\nProcessing MAIL.TXT -> " + c.result);
        EXPECT_EQ(dir.entries(), Names{"MAIL.TXT"});
    }
    // In a list the limit fails the folder that meets it, and the next one
    // is converted.
    TempDir dir, side;
    make_directory(dir.file("out"));
    write_file(dir.file("BIG.TXT"), message("NODE2::JONES", std::string(300000, '\n')));
    write_file(dir.file("A.TXT"), small);
    write_file(side.file("list"), "BIG.TXT\nA.TXT\n");
    ChildOptions options = run_in(dir, {"out"}, side.file("list"));
    options.file_size_limit = 450000;
    options.size_signal_default = true;
    expect_run(run_child(options), 0,
               "\nProcessing BIG.TXT -> Error writing the file out/BIG.MBX: File too large\n"
               "Processing A.TXT -> file out/A.MBX created\n");
    EXPECT_EQ(entries_in(dir.file("out")), Names{"A.MBX"});
}

TEST(ResourceLimit, LongListOfMostlyBadFoldersLeaksNothing)
{
    TempDir dir, side;
    make_directory(dir.file("out"));
    make_directory(dir.file("sub"));
    write_file(dir.file("BAD.TXT"), "no message here\n");
    std::string bad_date = "From:\tNODE1::SMITH     4-MAX-1996 13:58:04.09";
    write_file(dir.file("DATE.TXT"), "\f\n" + bad_date + "\n");
    // A FIFO that nobody writes to reads as empty, and a device is never
    // read: neither may hold up the folders after it.
    ASSERT_EQ(mkfifo(dir.file("FIFO.TXT").c_str(), 0600), 0);
    const std::pair<std::string, std::string> bad[] = {
        {"DATE.TXT", "From: line 2 in file has invalid VAX date/time\n>" + bad_date + "<\n"},
        {"gone.TXT", "Cannot open file gone.TXT\n"},
        {"sub", "Cannot open file sub\n"},
        {"", "Cannot open file: empty name\n"},
        {"BAD.TXT", "Incorrect format file\n"},
        {"FIFO.TXT", "Incorrect format file\n"},
        {"/dev/zero", "Cannot open file /dev/zero\n"}};
    Names inputs = {"BAD.TXT", "DATE.TXT", "FIFO.TXT", "out", "sub"}, mailboxes;
    std::string list, expected = "\n";
    for (int i = 0; i < 2000; ++i) {
        auto [name, result] = bad[i % 7];
        if (i % 100 == 0) {
            name = "ok" + std::to_string(i) + ".TXT";
            write_file(dir.file(name), message("NODE1::SMITH", "hi\n"));
            inputs.push_back(name);
            mailboxes.push_back("ok" + std::to_string(i) + ".MBX");
            result = "file out/" + mailboxes.back() + " created\n";
        }
        list += name + "\n";
        expected += "Processing " + name + " -> " + result;
    }
    write_file(side.file("list"), list);
    ChildOptions options = run_in(dir, {"out"}, side.file("list"));
    options.open_files_limit = limit_with_free_slots(13);
    options.time_limit = 30;
    expect_run(run_child(options), 0, expected);
    std::sort(inputs.begin(), inputs.end());
    std::sort(mailboxes.begin(), mailboxes.end());
    EXPECT_EQ(dir.entries(), inputs);
    EXPECT_EQ(entries_in(dir.file("out")), mailboxes);
    for (const auto& name : mailboxes)
        EXPECT_EQ(mailbox_texts(dir.file("out/" + name)),
                  std::vector<std::string>{record_text("NODE1::SMITH", "hi\n")});
}

TEST(StagingFailure, UnusableFolderOrOutputNames)
{
    TempDir dir;
    for (const char* name : {"MAIL.TXT", "DIR.TXT", "LINK.TXT", "plain"})
        write_file(dir.file(name), message("NODE1::SMITH", "hi\n"));
    make_directory(dir.file("sub"));
    make_directory(dir.file("DIR.MBX"));
    ASSERT_EQ(symlink("gone", dir.file("LINK.MBX").c_str()), 0);
    write_file(dir.file("FIFO.TXT"), message("NODE1::SMITH", "hi\n"));
    ASSERT_EQ(mkfifo(dir.file("FIFO.MBX").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.file("EMPTY.TXT").c_str(), 0600), 0);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"sub"}, "Cannot open file sub\n"},
        {{"/dev/zero"}, "Cannot open file /dev/zero\n"}, // it would never end
        {{"/dev/urandom"}, "Cannot open file /dev/urandom\n"},
        {{"EMPTY.TXT"}, "Incorrect format file\n"}, // a FIFO without a writer
        {{"MAIL.TXT", "plain"}, "Error creating the file plain/MAIL.MBX\n"},
        {{"MAIL.TXT", "/dev/zero"}, "Error creating the file /dev/zero/MAIL.MBX\n"},
        {{"DIR.TXT"}, "file DIR.MB_ created\n"},    // a directory takes the name
        {{"LINK.TXT"}, "file LINK.MB_ created\n"},  // so does a dangling link
        {{"FIFO.TXT"}, "file FIFO.MB_ created\n"}}; // and a FIFO, never opened
    for (const auto& [arguments, result] : cases) {
        bool created = result.find("created") != std::string::npos;
        ChildOptions options = run_in(dir, arguments);
        options.time_limit = 30;
        expect_run(run_child(options), created ? 0 : 1,
                   "\nProcessing " + arguments[0] + " -> " + result);
    }
    EXPECT_EQ(dir.entries(),
              (Names{"DIR.MBX", "DIR.MB_", "DIR.TXT", "EMPTY.TXT", "FIFO.MBX", "FIFO.MB_",
                     "FIFO.TXT", "LINK.MBX", "LINK.MB_", "LINK.TXT", "MAIL.TXT", "plain", "sub"}));
    for (const char* name : {"DIR.MB_", "LINK.MB_", "FIFO.MB_"})
        EXPECT_EQ(mailbox_texts(dir.file(name)),
                  std::vector<std::string>{record_text("NODE1::SMITH", "hi\n")});
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("LINK.MBX")), "gone");
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("DIR.MBX")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("sub")));
}

// The list comes through a FIFO, so the test can remove the working
// directory after the program has entered it and before it stages a folder.
TEST(StagingFailure, WorkingDirectoryRemovedUnderTheProgram)
{
    TempDir dir;
    make_directory(dir.file("work"));
    make_directory(dir.file("out"));
    write_file(dir.file("MAIL.TXT"), message("NODE1::SMITH", "hi\n"));
    ASSERT_EQ(mkfifo(dir.file("list").c_str(), 0600), 0);
    ChildOptions options = run_in(dir, {dir.file("out")}, dir.file("list"));
    options.directory = dir.file("work");
    ChildProcess child = start_child(options);
    int list = open(dir.file("list").c_str(), O_WRONLY);
    ASSERT_GE(list, 0);
    char first = 0;
    ASSERT_EQ(read(child.output_fd, &first, 1), 1); // the list run has begun in work/
    ASSERT_EQ(rmdir(dir.file("work").c_str()), 0);
    std::string line = dir.file("MAIL.TXT") + "\n";
    ASSERT_EQ(write(list, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(list);
    ChildResult result = finish_child(child);
    result.output.insert(0, 1, first);
    expect_run(result, 0,
               "\nProcessing " + dir.file("MAIL.TXT") +
                   " -> Error creating the temporary VMS mail file\n");
    EXPECT_EQ(dir.entries(), (Names{"MAIL.TXT", "list", "out"}));
    EXPECT_EQ(entries_in(dir.file("out")), Names{});
}

// The folder comes through a FIFO, so the test can take the mailbox's name
// while the program copies the folder: the name was free at staging, and
// the commit must fail rather than replace what somebody else put there.
// Until then no mailbox name exists, the conversion's own included. So
// also where the mailbox has a temporary name, with each way of naming it.
TEST(StagingFailure, MailboxNameTakenBeforeTheCommit)
{
    for (int level = -1; level <= 2; ++level) {
        SCOPED_TRACE(level < 0 ? "unnamed file" : "temporary name, way " + std::to_string(level));
        TempDir dir;
        ASSERT_EQ(mkfifo(dir.file("MAIL.TXT").c_str(), 0600), 0);
        // Opened for writing first (read and write, so as not to wait): a
        // FIFO without a writer reads as empty.
        int folder = open(dir.file("MAIL.TXT").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(folder, 0);
        ChildOptions options = run_in(dir, {"MAIL.TXT"});
        if (level >= 0) {
            options.binary = kestrel_faulty_binary();
            options.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
            options.environment.push_back("KESTREL_COMMIT_LEVEL=" + std::to_string(level));
        }
        ChildProcess child = start_child(options);
        std::string text = message("NODE1::SMITH", "hi\n");
        ASSERT_EQ(write(folder, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        // The staged copy is made after the mailbox: the name has been chosen.
        bool staged = false;
        for (int polls = 0; polls < 100000 && !staged; ++polls) {
            Names entries = dir.entries();
            staged = std::any_of(entries.begin(), entries.end(), is_staged_copy);
            if (!staged)
                usleep(100);
        }
        ASSERT_TRUE(staged);
        EXPECT_FALSE(file_exists(dir.file("MAIL.MBX")));
        write_file(dir.file("MAIL.MBX"), "somebody else's");
        close(folder);
        expect_run(finish_child(child), 1,
                   "\nProcessing MAIL.TXT -> Error creating the file MAIL.MBX\n");
        EXPECT_EQ(read_file(dir.file("MAIL.MBX")), "somebody else's");
        EXPECT_EQ(dir.entries(), (Names{"MAIL.MBX", "MAIL.TXT"}));
    }
}

// A pipe whose writer is slow, as `kestrel <(zcat MAIL.TXT.gz)` gives: the
// program waits for the folder's bytes and converts them.
TEST(StagingFailure, FolderFromAPipeWhoseWriterIsSlow)
{
    TempDir dir;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFD, FD_CLOEXEC), 0); // the reading end is inherited
    std::string name = std::to_string(ends[0]);
    ChildOptions options = run_in(dir, {"/dev/fd/" + name});
    options.time_limit = 30;
    ChildProcess child = start_child(options);
    close(ends[0]);
    usleep(200000);
    std::string text = message("NODE1::SMITH", "hi\n");
    auto was = signal(SIGPIPE, SIG_IGN); // a reader gone too early fails the write
    EXPECT_EQ(write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    signal(SIGPIPE, was);
    close(ends[1]);
    expect_run(finish_child(child), 0,
               "\nProcessing /dev/fd/" + name + " -> file " + name + ".MBX created\n");
    EXPECT_EQ(mailbox_texts(dir.file(name + ".MBX")),
              std::vector<std::string>{record_text("NODE1::SMITH", "hi\n")});
}

// ---- Every call of the file layer failing in turn ----

struct Folder {
    std::string name; // without extension
    std::string bytes;
    std::vector<std::string> texts;
};

// The outcome of one folder: its mailbox created and complete, or one of the
// program's own messages (and no mailbox, which the caller checks). True when it failed. The
// messages that carry the system's reason end with the injected one.
bool failed(const std::string& outcome, const Folder& folder, const TempDir& dir)
{
    std::string path = folder.name + ".TXT", mailbox = "out/" + folder.name + ".MBX",
                shown = "out" + sep + folder.name + ".MBX";
    if (outcome == "file " + shown + " created") {
        EXPECT_EQ(mailbox_texts(dir.file(mailbox)), folder.texts);
        return false;
    }
    const std::string eio = ": Input/output error";
    const std::string own[] = {"Cannot open file " + path,
                               "out : No such directory",
                               "Cannot create file: existing .MBX and .MB_ files",
                               "Cannot create file: path longer than 259 characters",
                               "Error creating the file " + shown,
                               "Error creating the temporary VMS mail file",
                               "Error reading the file " + path + eio,
                               "Error writing the temporary VMS mail file" + eio,
                               "Cannot open temporary VMS mail file for reading",
                               "Unable to open the temporary file",
                               "Error writing the temporary file" + eio,
                               "Error reading the temporary VMS mail file" + eio,
                               "Error writing the file " + shown + eio};
    EXPECT_NE(std::find(std::begin(own), std::end(own), outcome), std::end(own)) << outcome;
    return true;
}

// Calls whose failure cannot cost the user anything, and so go unreported:
// the close of a file only read or thrown away, and a name test that, as
// it happens, finds the name free anyway.
bool failure_goes_unseen(const std::string& call)
{
    return call == "close_discarded" || call == "entry_exists";
}

// The calls to make fail (or to end the process before) in turn, given the
// calls that a run without a failure makes (the second line of the file
// that KESTREL_FAULT_COUNT names): every one, 1, 2, ..., and then one past
// the last, which must complete. Under Wine, where each run costs a
// hundred times as much, a sample: the first call of each kind after each
// kind before it, which meets every kind of call at each of its places in
// the run, as far as the call before tells them apart. The full sweep is
// the Linux build's.
std::vector<long> calls_to_try(const std::string& clean_run_calls, bool sampled)
{
    std::istringstream names(clean_run_calls);
    std::set<std::pair<std::string, std::string>> seen;
    std::vector<long> numbers;
    std::string before = "-", call;
    long n = 1;
    for (; names >> call; ++n, before = call)
        if (!sampled || seen.insert({before, call}).second)
            numbers.push_back(n);
    numbers.push_back(n);
    return numbers;
}

// The calls of the fault-injection program's last run.
std::string calls_made(const std::string& count_file)
{
    std::istringstream count(read_file(count_file));
    std::string first, second;
    std::getline(count, first);
    std::getline(count, second);
    return second;
}

// Runs the program with its Nth file-layer call failing, N = 1, 2, ... (or
// a sample of them, see calls_to_try) until a run completes without
// reaching N; returns the number of calls of that run. Every failure of a
// call that matters must show: a folder not converted, or the staged copy
// reported as left on disk.
long fail_each_call(const std::vector<Folder>& folders, bool list_run, bool named_mailbox,
                    std::set<std::string>& calls_failed, int commit_level = 0)
{
    TempDir scratch;
    std::string list;
    for (const auto& f : folders)
        list += f.name + ".TXT\n";
    write_file(scratch.file("list"), list);
    auto run_failing = [&](long n, const TempDir& dir) {
        make_directory(dir.file("out"));
        for (const auto& f : folders)
            write_file(dir.file(f.name + ".TXT"), f.bytes);
        ChildOptions options = list_run ? run_in(dir, {"out"}, scratch.file("list"))
                                        : run_in(dir, {folders[0].name + ".TXT", "out"});
        options.binary = kestrel_faulty_binary();
        options.environment.push_back("KESTREL_FAULT_AT=" + std::to_string(n));
        options.environment.push_back("KESTREL_FAULT_COUNT=" + scratch.file("count"));
        if (named_mailbox)
            options.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
        options.environment.push_back("KESTREL_COMMIT_LEVEL=" + std::to_string(commit_level));
        unlink(scratch.file("count").c_str());
        return run_child(options);
    };
    {
        TempDir clean;
        run_failing(0, clean);
    }
    for (long n : calls_to_try(calls_made(scratch.file("count")), target_is_windows())) {
        if (::testing::Test::HasFailure())
            break;
        SCOPED_TRACE("failing call " + std::to_string(n));
        TempDir dir;
        ChildResult r = run_failing(n, dir);
        Names inputs, created, left_behind;
        for (const auto& f : folders)
            inputs.push_back(f.name + ".TXT");
        inputs.push_back("out");
        std::sort(inputs.begin(), inputs.end());
        std::istringstream count(read_file(scratch.file("count")));
        long calls = 0;
        std::string call;
        count >> calls >> call;
        SCOPED_TRACE("the call was " + call);
        if (call != "-")
            calls_failed.insert(call);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.errors, "");
        int failures = 0, staged_reported = 0;
        if (list_run &&
            (r.output == "\nout : No such directory\n" || r.output == "\nNo redirection files\n" ||
             r.output == "\nError reading the list of folders: Input/output error\n")) {
            failures = 1;
            EXPECT_EQ(r.exit_status, 1);
        } else { // "\n", then "Processing <folder> -> <outcome>\n" for each folder
            std::istringstream lines(r.output);
            std::string line;
            EXPECT_TRUE(std::getline(lines, line) && line.empty() && r.output.back() == '\n');
            for (const auto& f : folders) {
                std::string head = "Processing " + f.name + ".TXT -> ";
                if (!std::getline(lines, line) || line.compare(0, head.size(), head) != 0)
                    break;
                if (failed(line.substr(head.size()), f, dir))
                    ++failures;
                else
                    created.push_back(f.name + ".MBX");
                // A file that stays is said so, after the folder's line: the
                // staged copy, or the unfinished mailbox under its temporary
                // name.
                const std::string stays = "Cannot remove the file ",
                                  unfinished = stays + "out" + sep, eio = ": Input/output error";
                if (lines.peek() == 'C' && std::getline(lines, line)) {
                    std::string name = line.substr(0, line.size() - eio.size())
                                           .substr(std::min(line.size(), unfinished.size()));
                    if (line.compare(0, unfinished.size(), unfinished) == 0 &&
                        is_unfinished_mailbox(name)) {
                        EXPECT_TRUE(named_mailbox);
                        left_behind.push_back(name);
                    } else {
                        EXPECT_TRUE(line.compare(0, stays.size(), stays) == 0 &&
                                    is_staged_copy(line.substr(stays.size(), 13)) &&
                                    line.substr(stays.size() + 13) == eio)
                            << line;
                        ++staged_reported;
                    }
                }
            }
            // The list itself may fail to be read after its last folder.
            bool list_failed = false;
            if (list_run && std::getline(lines, line)) {
                EXPECT_EQ(line, "Error reading the list of folders: Input/output error");
                list_failed = true;
            }
            if (!list_failed) {
                EXPECT_EQ(created.size() + failures, folders.size()) << r.output;
            }
            EXPECT_FALSE(std::getline(lines, line)) << r.output;
            EXPECT_EQ(r.exit_status, list_failed ? 1 : list_run || failures == 0 ? 0 : 1);
            failures += list_failed ? 1 : 0;
        }
        EXPECT_LE(failures + staged_reported, 1) << r.output;
        if (call != "-" && !failure_goes_unseen(call)) {
            EXPECT_EQ(failures + staged_reported, 1) << r.output;
        }
        EXPECT_LE(left_behind.size(), 1u);
        if (!left_behind.empty())
            created.push_back(left_behind[0]);
        std::sort(created.begin(), created.end());
        EXPECT_EQ(entries_in(dir.file("out")), created);
        Names left = dir.entries();
        auto staged = std::remove_if(left.begin(), left.end(), is_staged_copy);
        EXPECT_EQ(left.end() - staged, staged_reported) << r.output;
        left.erase(staged, left.end());
        EXPECT_EQ(left, inputs);
        if (calls < n) {
            EXPECT_EQ(failures, 0) << r.output;
            return n - 1;
        }
    }
    ADD_FAILURE() << "stopped before every call was tried";
    return 0;
}

// Each step of the commit, and each close of a written file, was made to
// fail at least once.
void expect_commit_steps_among(const std::set<std::string>& calls_failed)
{
    for (const char* step : {"write_at", "sync", "commit_name", "sync_directory", "close"})
        EXPECT_EQ(calls_failed.count(step), 1u) << step;
}

TEST(InjectedFault, EveryCallOfAOneFolderRun)
{
    // Own and other messages, a long line, and a message whose text spills
    // out of memory into the message buffer's file.
    // Two of them spill, one after the other, so the file must be emptied
    // in between.
    std::string big = std::string(600, 'L') + std::string(600000, '\n');
    std::string big2 = std::string(300, 'M') + std::string(550000, '\n');
    Folder mail{"MAIL",
                message("NODE1::SMITH", "Lunch?\n") + message("NODE2::JONES", big) +
                    message("NODE4::GREEN", big2) + message("NODE3::BROWN", "bye\n"),
                {record_text("NODE1::SMITH", "Lunch?\n"), record_text("NODE2::JONES", big),
                 record_text("NODE4::GREEN", big2), record_text("NODE3::BROWN", "bye\n")}};
    std::set<std::string> calls_failed;
    long points = fail_each_call({mail}, false, false, calls_failed);
    expect_commit_steps_among(calls_failed);
    // Where the file system cannot make unnamed files, the mailbox has a
    // temporary name until the commit, and every failure must remove it;
    // so with each way of giving it its name (Windows has one).
    long named_points = fail_each_call({mail}, false, true, calls_failed);
    for (int level : {1, 2}) {
        if (!target_is_windows()) {
            EXPECT_EQ(fail_each_call({mail}, false, true, calls_failed, level), named_points);
        }
    }
    std::cout << "one-folder run, named mailbox: " << named_points << " injection points\n";
    std::cout << "one-folder run: " << points << " injection points\n";
    EXPECT_GT(points, 20);
}

TEST(InjectedFault, EveryCallOfAThreeFolderListRun)
{
    std::vector<Folder> folders;
    const std::string bodies[] = {"one\n", "two\n\n", "three\nlines\n"};
    for (int i = 0; i < 3; ++i) {
        const std::string &own = bodies[i], &other = bodies[(i + 1) % 3];
        folders.push_back({std::string("F").append(std::to_string(i)),
                           message("NODE1::SMITH", own) + message("NODE2::JONES", other),
                           {record_text("NODE1::SMITH", own), record_text("NODE2::JONES", other)}});
    }
    std::set<std::string> calls_failed;
    long points = fail_each_call(folders, true, false, calls_failed);
    expect_commit_steps_among(calls_failed);
    std::cout << "three-folder list run: " << points << " injection points\n";
    EXPECT_GT(points, 40);
}

} // namespace

// ---- The process killed before each call of the file layer in turn ----

// How the mailbox gets its name: unnamed until linked in, or, where the file
// system cannot make unnamed files, under a temporary name until a rename
// that refuses to replace, a hard link, or (with neither) a test of the
// name and a plain rename.
struct NamingMode {
    const char* name;
    bool temporary_name;
    int commit_level;
};

// kill -9, a crash or a power loss at any point: a file under a mailbox name
// is a complete mailbox; besides it may stay the staged copy (in the
// working directory) and the temporary file, which never looks like a
// mailbox. The next run then puts its mailbox beside a complete one.
TEST(InjectedFault, KilledBeforeEachCallLeavesOnlyCompleteMailboxes)
{
    const std::string folder =
        message("NODE1::SMITH", "Lunch?\n") + message("NODE2::JONES", "bye\n");
    const std::vector<std::string> texts = {record_text("NODE1::SMITH", "Lunch?\n"),
                                            record_text("NODE2::JONES", "bye\n")};
    const NamingMode modes[] = {{"unnamed file", false, 0},
                                {"temporary name, exclusive rename", true, 0},
                                {"temporary name, hard link", true, 1},
                                {"temporary name, test and rename", true, 2}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.name);
        if (target_is_windows() && mode.commit_level > 0)
            continue; // one way of moving a file there
        auto options_for = [&](const TempDir& dir, const TempDir& scratch, long n) {
            make_directory(dir.file("out"));
            write_file(dir.file("MAIL.TXT"), folder);
            ChildOptions options = run_in(dir, {"MAIL.TXT", "out"});
            options.binary = kestrel_faulty_binary();
            options.environment.push_back("KESTREL_DIE_AT=" + std::to_string(n));
            options.environment.push_back("KESTREL_FAULT_COUNT=" + scratch.file("count"));
            options.environment.push_back("KESTREL_COMMIT_LEVEL=" +
                                          std::to_string(mode.commit_level));
            if (mode.temporary_name)
                options.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
            return options;
        };
        std::string clean_run_calls;
        {
            TempDir dir, scratch;
            run_child(options_for(dir, scratch, 0));
            clean_run_calls = calls_made(scratch.file("count"));
        }
        long tried = 0;
        bool killed = true;
        for (long n : calls_to_try(clean_run_calls, target_is_windows())) {
            if (!killed || HasFailure())
                break;
            ++tried;
            SCOPED_TRACE("killed before call " + std::to_string(n));
            TempDir dir, scratch;
            ChildResult r = run_child(options_for(dir, scratch, n));
            killed = !file_exists(scratch.file("count"));
            const std::string created = "\nProcessing MAIL.TXT -> file out" + sep;
            if (killed) {
                EXPECT_EQ(r.exit_status, 137);
                EXPECT_EQ(r.errors, "");
            } else {
                expect_run(r, 0, created + "MAIL.MBX created\n");
            }
            // Windows marks the unfinished mailbox for deletion; Wine's
            // server closes a dead process's handles, and so removes the
            // file, a moment after the process has gone.
            auto unfinished_there = [&] {
                Names names = entries_in(dir.file("out"));
                return std::any_of(names.begin(), names.end(), is_unfinished_mailbox);
            };
            for (int polls = 0; killed && !mode.temporary_name && target_is_windows() &&
                                polls < 200 && unfinished_there();
                 ++polls)
                usleep(10000);
            bool complete = false;
            for (const auto& name : entries_in(dir.file("out"))) {
                if (name == "MAIL.MBX") {
                    EXPECT_EQ(mailbox_texts(dir.file("out/" + name)), texts);
                    complete = true;
                } else {
                    EXPECT_TRUE(killed && mode.temporary_name && is_unfinished_mailbox(name))
                        << name;
                }
            }
            expect_run(run_child(run_in(dir, {"MAIL.TXT", "out"})), 0,
                       created + (complete ? "MAIL.MB_" : "MAIL.MBX") + " created\n");
            EXPECT_EQ(mailbox_texts(dir.file(complete ? "out/MAIL.MB_" : "out/MAIL.MBX")), texts);
        }
        if (!HasFailure()) {
            EXPECT_FALSE(killed);
            EXPECT_GT(tried, 15);
        }
    }
}
