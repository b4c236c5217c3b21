// What only the Windows build does, run against kestrel.exe under Wine:
// backslash paths and drive prefixes, a list made by DIR /B, names that
// differ only in letter case, names outside ASCII, and Ctrl-C.
#include "tests/e2e_helpers.hpp"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

using namespace e2e;

namespace {

std::vector<std::string> entries_of(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class WindowsOnly : public testing::Test {
  protected:
    void SetUp() override
    {
        if (!target_is_windows())
            GTEST_SKIP() << "a case of the Windows build";
    }
};

// Wine's drive K: is the workspace, so that a drive alone names its root.
struct DriveK {
    std::string link;
    explicit DriveK(const Workspace& w)
        : link(std::string(std::getenv("WINEPREFIX")) + "/dosdevices/k:")
    {
        std::filesystem::remove(link);
        std::filesystem::create_directory_symlink(w.dir.path(), link);
    }
    ~DriveK() { std::filesystem::remove(link); }
};

TEST_F(WindowsOnly, BackslashPathsAndDrivePrefixes)
{
    const struct {
        std::vector<std::string> arguments;
        std::string outcome;
    } cases[] = {
        {{"in\\MAIL.TXT", "out"}, "file out\\MAIL.MBX created\n"},
        {{"MAIL.TXT", "out\\"}, "file out\\\\MAIL.MBX created\n"},
        {{"MAIL.TXT", "K:"}, "file K:\\MAIL.MBX created\n"},
        {{"K:MAIL.TXT", "K:\\out"}, "file K:\\out\\MAIL.MBX created\n"},
        {{"K:in\\MAIL.TXT"}, "file MAIL.MBX created\n"},
        {{"MAIL.TXT", "Q:"}, "Q: : No such directory\n"},
        {{"NUL", "out"}, "Cannot open file NUL\n"}, // a device is never read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        Workspace w;
        DriveK drive(w);
        w.put("MAIL.TXT", simple_folder);
        std::filesystem::create_directory(w.dir.file("in"));
        std::filesystem::create_directory(w.dir.file("out"));
        w.put("in/MAIL.TXT", simple_folder);
        ChildResult result = w.run(c.arguments);
        std::string expected = "\nProcessing " + c.arguments[0] + " -> " + c.outcome;
        EXPECT_EQ(result.output, expected);
        EXPECT_EQ(result.exit_status, c.outcome.rfind("file ", 0) == 0 ? 0 : 1);
        std::string mailbox =
            c.outcome.find("out\\") != std::string::npos ? "out/MAIL.MBX" : "MAIL.MBX";
        if (result.exit_status == 0) {
            EXPECT_EQ(mailbox_texts(w.dir.file(mailbox)).size(), 1u);
        }
    }
}

// DIR /B writes CR LF lines in the console's code page (ü is 0x81 in code
// pages 437 and 850) and an editor may leave a Ctrl-Z at the end; a name
// differing only in letter case is the same name.
TEST_F(WindowsOnly, ListFromDirAndNamesIgnoringCase)
{
    Workspace w;
    w.put("mail.txt", simple_folder);
    w.put("M\xC3\xBCller.TXT", simple_folder);
    w.put("b.mbx", "taken");
    w.put("B.TXT", simple_folder);
    ChildResult result = w.run({"."}, std::string("MAIL.TXT\r\nM\x81ller.TXT\r\nB.TXT\r\n\x1A"));
    expect_run(w, result, 0,
               "\nProcessing MAIL.TXT -> file .\\MAIL.MBX created\n"
               "Processing M\xC3\xBCller.TXT -> file .\\M\xC3\xBCller.MBX created\n"
               "Processing B.TXT -> file .\\B.MB_ created\n");
}

// Names in Latin, Greek and Japanese script from the command line: the
// very file named is opened, and the mailbox takes its base name.
TEST_F(WindowsOnly, NamesOutsideAscii)
{
    for (std::string base : {"M\xC3\xBCller", "\xCE\xA0\xCE\xB1\xCF\x81\xCE\xAC",
                             "\xE3\x83\xA1\xE3\x83\xBC\xE3\x83\xAB"}) {
        SCOPED_TRACE(base);
        Workspace w;
        w.put(base + ".TXT", simple_folder);
        expect_run(w, w.run({base + ".TXT"}), 0,
                   "\nProcessing " + base + ".TXT -> file " + base + ".MBX created\n");
    }
}

// Ctrl-C (Wine turns SIGINT into CTRL_C_EVENT) during the second folder of
// a list: the first mailbox stays, the second and the staged copy go, and
// the process ends with STATUS_CONTROL_C_EXIT, of which the exit status
// under Wine is the low byte. So also when the unfinished mailbox is not
// marked for deletion, as after a crash of the system: the handler removes
// it by its temporary name.
TEST_F(WindowsOnly, CtrlCRemovesOnlyTheFolderInProgress)
{
    std::string big;
    while (big.size() < (64u << 20))
        big += message("From:\tNODE2::JONES  17-SEP-1996 07:05:23.33",
                       {std::string(2000, 'b'), std::string(2000, 'c')});
    for (bool marked : {true, false}) {
        SCOPED_TRACE(marked ? "marked for deletion" : "not marked");
        Workspace w;
        std::filesystem::create_directory(w.dir.file("out"));
        w.put("A.TXT", simple_folder);
        w.put("B.TXT", big);
        ChildOptions options = w.options({"out"}, std::string("A.TXT\r\nB.TXT\r\n"));
        if (!marked) {
            options.binary = kestrel_faulty_binary();
            options.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
        }
        ChildProcess child = start_child(options);
        std::string output;
        char block[4096];
        while (output.find("Processing B.TXT -> ") == std::string::npos) {
            ssize_t got = read(child.output_fd, block, sizeof block);
            ASSERT_GT(got, 0) << output;
            output.append(block, static_cast<std::size_t>(got));
        }
        std::string finished = read_file(w.dir.file("out/A.MBX"));
        usleep(100000);
        EXPECT_EQ(entries_of(w.dir.file("out")).size(), 2u); // A.MBX, the unfinished one
        kill(child.pid, SIGINT);
        ChildResult r = finish_child(child);
        r.output = output_with_lf(output) + r.output;
        EXPECT_EQ(r.output, "\nProcessing A.TXT -> file out\\A.MBX created\nProcessing B.TXT -> "
                            "\nInterrupted\n");
        EXPECT_EQ(r.exit_status, 0x3A);
        EXPECT_EQ(read_file(w.dir.file("out/A.MBX")), finished);
        // Wine's server closes the dead process's handles, and so removes
        // the files marked for deletion, a moment after the process has gone.
        for (int polls = 0; polls < 200 && (w.dir.entries().size() > 3 ||
                                            entries_of(w.dir.file("out")).size() > 1);
             ++polls)
            usleep(10000);
        EXPECT_EQ(w.dir.entries(), (std::vector<std::string>{"A.TXT", "B.TXT", "out"}));
        EXPECT_EQ(entries_of(w.dir.file("out")), std::vector<std::string>{"A.MBX"});
    }
}

} // namespace
