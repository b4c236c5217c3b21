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

// kestrel-folder.exe finds the folders that "*" and "?" match itself, as
// kestrel-mbx.exe does: in the order of their names, directories left out,
// and a pattern that matches nothing kept as typed, so that the message
// about it names it.
TEST_F(WindowsOnly, FolderCheckExpandsWildcards)
{
    Workspace w;
    for (const char* name : {"B.TXT", "M\xC3\xBCller.TXT", "A.TXT", "AB.TXT"})
        w.put(name, simple_folder);
    std::filesystem::create_directory(w.dir.file("DIR.TXT"));
    ChildOptions o = w.options({"check", "*.TXT", "?.TXT", "NONE*.TXT"});
    o.binary = kestrel_folder_binary();
    ChildResult r = run_child(o);
    const std::string ok = ": 1 message (0 yours), sent 1996-09-17 to 1996-09-17, ok\n";
    EXPECT_EQ(r.output, "A.TXT" + ok + "AB.TXT" + ok + "B.TXT" + ok + "M\xC3\xBCller.TXT" + ok +
                            "A.TXT" + ok + "B.TXT" + ok);
    EXPECT_EQ(r.errors.rfind("kestrel-folder: NONE*.TXT: ", 0), 0u) << r.errors;
    EXPECT_EQ(r.exit_status, 1);
}

// In a console the programs' texts go through its wide-character output:
// under Wine, run from a terminal, the console hands them on in the
// terminal's UTF-8, so a name outside ASCII arrives as it was typed, never
// as its UTF-8 bytes read in another code page ("M\xC3\x83\xC2\xBCller").
TEST_F(WindowsOnly, ConsoleShowsNamesOutsideAscii)
{
    Workspace w;
    w.put("M\xC3\xBCller.TXT", simple_folder);
    const struct {
        std::string binary;
        std::vector<std::string> arguments;
        std::string shown;
    } runs[] = {{kestrel_binary(), {"M\xC3\xBCller.TXT"}, "M\xC3\xBCller.MBX created"},
                {kestrel_mbx_binary(), {"check", "M*.MBX"}, "M\xC3\xBCller.MBX: 1 message, ok"},
                {kestrel_folder_binary(), {"check", "M*.TXT"}, "M\xC3\xBCller.TXT: 1 message ("}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.arguments.back());
        ChildOptions o = w.options(run.arguments);
        o.binary = run.binary;
        o.terminal = true;
        o.time_limit = 60;
        ChildResult r = run_child(o);
        EXPECT_EQ(r.exit_status, 0);
        // The terminal gets control sequences between the characters and
        // cursor moves for blanks: the text is what stays without them.
        std::string text;
        const std::string& out = r.output;
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (out[i] == '\x1B' && i + 1 < out.size() && out[i + 1] == '[') {
                for (i += 2; i < out.size() && (out[i] < 0x40 || out[i] > 0x7E);)
                    ++i; // parameters, up to the final byte
            } else if (out[i] == '\x1B' && i + 1 < out.size() && out[i + 1] == ']') {
                i = std::min(out.find('\a', i), out.size()); // a window title
            } else if (out[i] != ' ' && out[i] != '\r' && out[i] != '\n') {
                text += out[i];
            }
        }
        std::string shown = run.shown;
        shown.erase(std::remove(shown.begin(), shown.end(), ' '), shown.end());
        EXPECT_NE(text.find(shown), std::string::npos) << text;
    }
}

} // namespace

namespace {

// kestrel-mbx.exe under Wine: names outside ASCII, wildcards that the
// program expands itself, an mbox on standard output byte for byte as the
// Linux build writes it, and Ctrl-C in the middle of an export.
class MbxOnWindows : public WindowsOnly {};

ChildResult run_mbx(const Workspace& w, std::vector<std::string> arguments, bool raw = false)
{
    ChildOptions o = w.options(std::move(arguments));
    o.binary = kestrel_mbx_binary();
    o.raw_output = raw;
    o.time_limit = 120;
    return run_child(o);
}

// The Latin, Greek and Japanese names of NamesOutsideAscii, as mailboxes.
const std::vector<std::string> foreign_bases = {"M\xC3\xBCller", "\xCE\xA0\xCE\xB1\xCF\x81\xCE\xAC",
                                                "\xE3\x83\xA1\xE3\x83\xBC\xE3\x83\xAB"};

TEST_F(MbxOnWindows, NamesOutsideAsciiAndWildcards)
{
    Workspace w;
    w.put("MAIL.TXT", simple_folder);
    ASSERT_EQ(w.run({"MAIL.TXT"}).exit_status, 0);
    const std::string good = read_file(w.dir.file("MAIL.MBX"));
    for (const auto& base : foreign_bases)
        w.put(base + ".MBX", good);
    w.put("CUT.MBX", good.substr(0, good.size() - 1));
    std::filesystem::create_directory(w.dir.file("sub.MBX"));
    ChildResult checked = run_mbx(w, {"check", "*.MBX"});
    EXPECT_EQ(checked.exit_status, 1);
    std::string expected = "CUT.MBX: damaged at byte 16: file size field says " +
                           std::to_string(good.size()) + ", the file has " +
                           std::to_string(good.size() - 1) + " bytes\n" +
                           "MAIL.MBX: 1 message, ok\n";
    for (const auto& base : foreign_bases)
        expected += base + ".MBX: 1 message, ok\n";
    EXPECT_EQ(checked.output, expected);
    EXPECT_EQ(checked.errors, "");
    ChildResult nothing = run_mbx(w, {"check", "NONE*.MBX", ".\\M*.MBX"});
    EXPECT_EQ(nothing.exit_status, 1);
    EXPECT_EQ(nothing.output, ".\\MAIL.MBX: 1 message, ok\n.\\M\xC3\xBCller.MBX: 1 message, ok\n");
    EXPECT_EQ(nothing.errors.rfind("kestrel-mbx: NONE*.MBX: ", 0), 0u) << nothing.errors;
    for (const auto& base : foreign_bases) {
        SCOPED_TRACE(base);
        EXPECT_EQ(run_mbx(w, {"list", base + ".MBX"}).output,
                  "1\t" + std::to_string(good.size() - 84 - 17) +
                      "\tTue, 17 Sep 1996 07:05:23 +0100\tNODE2::JONES\tHi\n");
        ChildResult exported = run_mbx(w, {"mbox", base + ".MBX", base + ".mbox"});
        EXPECT_EQ(exported.exit_status, 0) << exported.errors;
        EXPECT_EQ(read_file(w.dir.file(base + ".mbox")),
                  run_mbx(w, {"mbox", "MAIL.MBX"}, true).output);
    }
    ChildResult into_maildir = run_mbx(w, {"maildir", "M*.MBX", "*.MBX", "OUT"});
    EXPECT_EQ(into_maildir.exit_status, 1);
    EXPECT_EQ(into_maildir.errors.rfind("kestrel-mbx: CUT.MBX: damaged at byte 16", 0), 0u);
    std::filesystem::remove(w.dir.file("CUT.MBX"));
    into_maildir = run_mbx(w, {"maildir", "M*.MBX", "*.MBX", "OUT"});
    EXPECT_EQ(into_maildir.exit_status, 0) << into_maildir.errors;
    // A tree: a folder per mailbox, MAIL.MBX twice, names outside ASCII
    // made safe.
    std::size_t in_folders = 0;
    for (const auto& entry : entries_of(w.dir.file("OUT")))
        if (entry[0] == '.')
            in_folders += entries_of(w.dir.file("OUT/" + entry + "/cur")).size();
    EXPECT_EQ(in_folders, 2u + 4u);
    EXPECT_EQ(entries_of(w.dir.file("OUT/cur")).size(), 0u);
}

// The folder's lines that an mbox quotes and its bytes outside ASCII: the
// mbox on standard output is the Linux one byte for byte (no CR LF).
TEST_F(MbxOnWindows, MboxOnStandardOutputIsTheLinuxOne)
{
    Workspace w;
    w.put("MAIL.TXT", message("From:\tNODE1::SMITH    4-MAR-1996 13:58:04.09",
                              {"Subj:\tCaf\xE9", "", "From here", ">From there"}) +
                          simple_folder);
    ASSERT_EQ(w.run({"MAIL.TXT"}).exit_status, 0);
    ChildOptions linux_run = w.options({"mbox", "MAIL.MBX"});
    linux_run.binary = KESTREL_MBX_BINARY;
    linux_run.host_program = true;
    ChildResult on_linux = run_child(linux_run);
    ASSERT_EQ(on_linux.exit_status, 0) << on_linux.errors;
    ASSERT_NE(on_linux.output.find("\n>From here\n>>From there\n"), std::string::npos);
    ChildResult on_windows = run_mbx(w, {"mbox", "MAIL.MBX"}, true);
    EXPECT_EQ(on_windows.exit_status, 0) << on_windows.errors;
    EXPECT_EQ(on_windows.output, on_linux.output);
    ASSERT_EQ(run_mbx(w, {"mbox", "MAIL.MBX", "MAIL.mbox"}).exit_status, 0);
    EXPECT_EQ(read_file(w.dir.file("MAIL.mbox")), on_linux.output);
}

// Ctrl-C while an mbox file or a Maildir is written: the file (under a
// temporary name on Windows, and marked for deletion until it is
// complete), or the Maildir's stage with every file in it, goes, and the
// process ends as a Ctrl-C ends it.
TEST_F(MbxOnWindows, CtrlCRemovesTheExportInProgress)
{
    Workspace w;
    ChildOptions g = w.options({"--output", w.dir.file("MAIL.TXT"), "--size", "16M",
                                "--message-size", "20000", "--seed", "3"});
    g.binary = GENERATE_FOLDER_BINARY;
    g.host_program = true;
    ASSERT_EQ(run_child(g).exit_status, 0);
    ASSERT_EQ(w.run({"MAIL.TXT"}).exit_status, 0);
    for (const std::string command : {"mbox", "maildir"}) {
        SCOPED_TRACE(command);
        std::vector<std::string> arguments(6, "MAIL.MBX");
        arguments.front() = command;
        arguments.push_back("OUT");
        ChildOptions o = w.options(arguments);
        o.binary = kestrel_mbx_binary();
        ChildProcess child = start_child(o);
        // An mbox is under way once its temporary file stands beside the
        // mailbox and the folder, a Maildir once its first message is
        // complete.
        const std::string done = w.dir.file("OUT.kestrel-partial/.MAIL/cur/");
        bool under_way = false;
        for (int polls = 0; polls < 6000 && !under_way; ++polls) {
            std::error_code error;
            under_way = command == "mbox" ? w.dir.entries().size() > 2
                                          : std::filesystem::directory_iterator(done, error) !=
                                                std::filesystem::directory_iterator();
            usleep(10000);
        }
        ASSERT_TRUE(under_way);
        kill(child.pid, SIGINT);
        ChildResult r = finish_child(child);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(r.errors, "\nInterrupted\n");
        EXPECT_EQ(r.exit_status, 0x3A);
        for (int polls = 0; polls < 200 && w.dir.entries().size() > 2; ++polls)
            usleep(10000);
        EXPECT_EQ(w.dir.entries(), (std::vector<std::string>{"MAIL.MBX", "MAIL.TXT"}));
    }
}

} // namespace
