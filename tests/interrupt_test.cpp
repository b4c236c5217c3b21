// Interrupts and fatal signals in the middle of a conversion: the folder in
// progress leaves neither its partial mailbox nor its staged copy, mailboxes
// already finished stay byte for byte, the run says "Interrupted" and dies by
// the same signal, so that a shell loop around it stops as well. A signal the
// parent ignored (as nohup does) stays ignored.
#include "tests/fault_helpers.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace fault;

namespace {

const std::string small_folder = message("NODE1::SMITH", "hi\n");
const std::string first_done = "\nProcessing A.TXT -> file out/A.MBX created\n";

// Reads the child's standard output until `marker` has come.
bool read_until(int fd, std::string& output, const std::string& marker)
{
    char block[4096];
    while (output.find(marker) == std::string::npos) {
        ssize_t got = read(fd, block, sizeof block);
        if (got <= 0)
            return false;
        output.append(block, static_cast<std::size_t>(got));
    }
    return true;
}

// Waits until the staged copy in `dir` holds all `size` bytes of the folder,
// that is until the conversion is under way (bounded, so that a run that
// never gets there fails the test).
bool wait_for_staged_copy(const TempDir& dir, std::size_t size)
{
    struct stat info;
    for (int polls = 0; polls < 200000; ++polls) {
        for (const auto& name : dir.entries())
            if (is_staged_copy(name) && stat(dir.file(name).c_str(), &info) == 0 &&
                static_cast<std::size_t>(info.st_size) == size)
                return true;
        usleep(100);
    }
    return false;
}

TEST(Interrupt, SignalDuringAConversionRemovesOnlyTheFolderInProgress)
{
    const std::string big = large_folder(24 << 20);
    const struct {
        int signal;
        bool ignored;
        bool reader_gone;    // standard output is a pipe nobody reads any more
        bool temporary_name; // no unnamed files: the mailbox has a temporary name
    } cases[] = {{SIGINT, false, false, false},       {SIGTERM, false, false, false},
                 {SIGHUP, false, false, false},       {SIGHUP, true, false, false},
                 {SIGKILL, false, false, false},      {SIGTERM, false, true, false},
                 {SIGINT, false, true, false},        {SIGQUIT, false, false, false},
                 {SIGUSR1, false, false, false},      {SIGUSR2, false, false, false},
                 {SIGALRM, false, false, false},      {SIGVTALRM, false, false, false},
                 {SIGPROF, false, false, false},      {SIGXCPU, false, false, false},
                 {SIGRTMIN + 2, false, false, false}, {SIGTERM, false, false, true},
                 {SIGUSR1, false, false, true},       {SIGKILL, false, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.ignored ? ", ignored" : "") +
                     (c.reader_gone ? ", no reader" : "") +
                     (c.temporary_name ? ", temporary name" : ""));
        // The list comes through a FIFO, so the run waits for its end after
        // the large folder and is still there when the signal comes.
        std::string folder = big;
        for (int attempt = 0; attempt < 3; ++attempt, folder += folder) {
            TempDir dir;
            make_directory(dir.file("out"));
            write_file(dir.file("A.TXT"), small_folder);
            write_file(dir.file("B.TXT"), folder);
            ASSERT_EQ(mkfifo(dir.file("list").c_str(), 0600), 0);
            ChildOptions options = run_in(dir, {"out"}, dir.file("list"));
            if (c.ignored)
                options.ignored_signals = {c.signal};
            if (c.temporary_name) {
                options.binary = kestrel_faulty_binary();
                options.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
            }
            ChildProcess child = start_child(options);
            int list = open(dir.file("list").c_str(), O_WRONLY);
            ASSERT_EQ(write(list, "A.TXT\nB.TXT\n", 12), 12);
            std::string output;
            ASSERT_TRUE(read_until(child.output_fd, output, "Processing B.TXT -> ")) << output;
            std::string finished = read_file(dir.file("out/A.MBX"));
            ASSERT_TRUE(wait_for_staged_copy(dir, folder.size()));
            // Under way, and yet no mailbox name: it comes with the last byte.
            Names under_way = entries_in(dir.file("out"));
            ASSERT_EQ(under_way.size(), c.temporary_name ? 2u : 1u);
            EXPECT_EQ(under_way[0], "A.MBX");
            if (c.temporary_name) {
                EXPECT_TRUE(is_unfinished_mailbox(under_way.back())) << under_way.back();
            }
            if (c.reader_gone) {
                close(child.output_fd);
                child.output_fd = open("/dev/null", O_RDONLY);
            }
            kill(child.pid, c.signal);
            close(list);
            ChildResult r = finish_child(child);
            r.output = output + r.output;
            bool completed = r.output.find("B.MBX created") != std::string::npos;
            if (completed && !c.ignored && attempt < 2)
                continue; // the conversion won the race: again, with a larger folder
            EXPECT_EQ(r.errors, "");
            EXPECT_EQ(read_file(dir.file("out/A.MBX")), finished);
            Names left = dir.entries();
            if (c.signal == SIGKILL) // nothing can remove the copy of the folder
                left.erase(std::remove_if(left.begin(), left.end(), is_staged_copy), left.end());
            EXPECT_EQ(left, (Names{"A.TXT", "B.TXT", "list", "out"}));
            if (c.ignored) {
                expect_run(r, 0, first_done + "Processing B.TXT -> file out/B.MBX created\n");
                EXPECT_FALSE(mailbox_texts(dir.file("out/B.MBX")).empty());
            } else {
                EXPECT_EQ(r.signal, c.signal);
                bool notice = c.signal != SIGKILL && !c.reader_gone;
                EXPECT_EQ(r.output,
                          first_done + "Processing B.TXT -> " + (notice ? "\nInterrupted\n" : ""));
                // Only kill -9 leaves the unfinished mailbox, never under a
                // mailbox name.
                EXPECT_EQ(entries_in(dir.file("out")),
                          c.signal == SIGKILL ? under_way : Names{"A.MBX"});
            }
            break;
        }
    }
}

// Standard output is a pipe whose reader has gone: the next message the run
// writes, the date error at the end of a large folder, raises SIGPIPE.
TEST(Interrupt, OutputPipeWithoutReaderEndsTheRunBySigpipe)
{
    TempDir dir, side;
    make_directory(dir.file("out"));
    write_file(dir.file("A.TXT"), small_folder);
    write_file(dir.file("B.TXT"),
               large_folder(8 << 20) + "\f\nFrom:\tNODE2::JONES     4-MAX-1996 13:58:04.09\n");
    write_file(dir.file("C.TXT"), small_folder);
    write_file(side.file("list"), "A.TXT\nB.TXT\nC.TXT\n");
    ChildProcess child = start_child(run_in(dir, {"out"}, side.file("list")));
    std::string output;
    ASSERT_TRUE(read_until(child.output_fd, output, "Processing B.TXT -> ")) << output;
    std::string finished = read_file(dir.file("out/A.MBX"));
    close(child.output_fd);
    child.output_fd = open("/dev/null", O_RDONLY); // nothing more is read from the pipe
    ChildResult r = finish_child(child);
    EXPECT_EQ(r.signal, SIGPIPE);
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(output, first_done + "Processing B.TXT -> ");
    EXPECT_EQ(read_file(dir.file("out/A.MBX")), finished);
    EXPECT_EQ(dir.entries(), (Names{"A.TXT", "B.TXT", "C.TXT", "out"}));
    EXPECT_EQ(entries_in(dir.file("out")), Names{"A.MBX"});
}

} // namespace
