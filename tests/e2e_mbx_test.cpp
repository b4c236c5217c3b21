// kestrel-mbx on the converter's own mailboxes: every message comes out of
// the mbox, the Maildir and the .eml files with its head and body, an
// independent reader (Python's mailbox and email modules) finds sender,
// subject and date in each, damaged mailboxes, FIFOs and devices are
// refused, and an output is created only new and never left half, whatever
// call fails and whatever signal comes.
#include "tests/e2e_helpers.hpp"

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;
using namespace std::string_literals;

namespace {

// An mbox on standard output is a binary stream, on Windows too; every run
// is bounded in time, as a mailbox that is a FIFO could make it wait.
ChildOptions mbx_options(const Workspace& w, std::vector<std::string> arguments)
{
    ChildOptions o = w.options(std::move(arguments));
    o.binary = kestrel_mbx_binary();
    o.raw_output = !o.arguments.empty() && o.arguments[0] == "mbox";
    o.timeout_seconds = target_is_windows() ? 120 : 20;
    return o;
}

ChildResult run_mbx(const Workspace& w, std::vector<std::string> arguments, long size_limit = -1)
{
    ChildOptions o = mbx_options(w, std::move(arguments));
    o.file_size_limit = size_limit;
    return run_child(o);
}

// The system's reason as Linux words it; Windows words it its own way.
std::string os_reason(const std::string& text)
{
    return target_is_windows() ? "" : text;
}

// A folder of the cases the export must get right: the user's own message
// with a Date line, others with only a Received line, VAX days that are no
// calendar dates, "From " lines to quote, bytes outside ASCII, a long line.
const std::string edge_folder =
    message("From:\tNODE1::SMITH    4-MAR-1996 13:58:04.09",
            {"To:\tJONES", "CC:\t", "Subj:\tLunch", "", "From here on:", ">From there", "bye"}) +
    message("From:\tNODE2::JONES \"Al Jones\"  39-FEB-1996 07:05:23.33",
            {"To:\tSMITH", "Subj:\tCaf\xE9 \xFC", "", "From the start", "\xE9t\xE9",
             std::string(600, 'x')}) +
    message("From:\tNODE1::SMITH   0-MAR-1996 10:00:00.00",
            {"Subj:\tday zero", "", ">>From  a", ">>From", "Fr>om"}) +
    message("From:\tNODE3::KIM  17-SEP-1996 07:05:23.33", {"To:\tSMITH", "", "no subject"});

// Undoes what the export did, so that the result can be held against the
// mailbox texts: splits at the separators, drops the empty line after each
// message and one ">" of each quoted "From " line, and gives back CR LF.
std::vector<std::string> read_back_mbox(const std::string& mbox)
{
    std::vector<std::string> messages;
    std::istringstream in(mbox);
    std::string line, previous = "";
    bool first = true;
    while (std::getline(in, line)) {
        if (line.rfind("From ", 0) == 0 && (first || previous.empty())) {
            if (!messages.empty())
                messages.back().resize(messages.back().size() - 2); // the empty line
            messages.emplace_back();
            first = false;
        } else {
            std::size_t quotes = line.find_first_not_of('>');
            if (quotes > 0 && quotes != std::string::npos && line.compare(quotes, 5, "From ") == 0)
                line.erase(0, 1);
            EXPECT_FALSE(messages.empty()) << "text in front of the first separator";
            if (!messages.empty())
                messages.back() += line + "\r\n";
        }
        previous = line;
    }
    if (!messages.empty())
        messages.back().resize(messages.back().size() - 2);
    return messages;
}

// Sender, subject and the date as a UTC timestamp of each message, as
// Python's mailbox and email modules read the mbox.
const char* python_reader = R"(import mailbox, sys, email.utils
for m in mailbox.mbox(sys.argv[1], create=False):
    d = email.utils.parsedate_to_datetime(m['Date'])
    s = m['Subject']
    print(m.get_from().split(' ')[0], m['From'].strip(), s and str(s), d.isoformat(), sep='|')
)";

// Sender and subject of each message of the .eml files, in their order, and
// of a Maildir, sorted, as Python's email and mailbox modules read them.
const char* python_maildir_reader = R"(import mailbox, sys, email
for path in sys.argv[1:-1]:
    with open(path, 'rb') as f:
        m = email.message_from_binary_file(f)
        print('eml', m['From'].strip(), m['Subject'], sep='|')
seen = [m['From'].strip() + '|' + str(m['Subject']) for m in mailbox.Maildir(sys.argv[-1], factory=None, create=False)]
for line in sorted(seen):
    print('maildir', line, sep='|')
)";

std::vector<std::string> python_view(const Workspace& w, const std::string& mbox,
                                     const char* reader = python_reader,
                                     std::vector<std::string> more = {})
{
    w.put("reader.py", reader);
    more.insert(more.begin(), {w.dir.file("reader.py"), mbox});
    ChildOptions o =
        w.options(more, std::nullopt, {"TZ=UTC", "LC_ALL=C.UTF-8", "PYTHONIOENCODING=utf-8"});
    o.binary = "/usr/bin/python3";
    o.host_program = true;
    ChildResult r = run_child(o);
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    std::vector<std::string> lines;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Converts `folder`, exports its mailbox and checks the round trip; returns
// the mbox.
std::string round_trip(Workspace& w, const std::string& folder_path)
{
    ChildResult conversion = w.run({folder_path, "."});
    EXPECT_EQ(conversion.exit_status, 0) << conversion.output;
    std::vector<std::string> texts = mailbox_texts(w.dir.file("MAIL.MBX"));
    ChildResult exported = run_mbx(w, {"mbox", "MAIL.MBX", "MAIL.mbox"});
    EXPECT_EQ(exported.exit_status, 0) << exported.errors;
    EXPECT_EQ(exported.output + exported.errors, "");
    std::string mbox = read_file(w.dir.file("MAIL.mbox"));
    EXPECT_EQ(run_mbx(w, {"mbox", "MAIL.MBX"}).output, mbox) << "standard output differs";
    std::vector<std::string> back = read_back_mbox(mbox);
    EXPECT_EQ(back.size(), texts.size());
    for (std::size_t i = 0; i < back.size() && i < texts.size(); ++i) {
        std::string expected = texts[i];
        // The one change to a text: the Date header in front of the Received
        // line where the message had none, or a Date line carried over.
        std::size_t received = expected.find("\r\nReceived: ; ");
        std::size_t date = expected.find("\r\nDate: ");
        std::size_t made = back[i].find("\r\nDate: ");
        EXPECT_NE(made, std::string::npos) << "message " << i + 1 << " without a Date header";
        if (made == std::string::npos)
            continue;
        std::size_t made_end = back[i].find("\r\n", made + 2);
        if (date != std::string::npos)
            expected.erase(date, expected.find("\r\n", date + 2) - date);
        else
            EXPECT_EQ(made, received) << "message " << i + 1;
        back[i].erase(made, made_end - made);
        EXPECT_EQ(back[i], expected) << "message " << i + 1;
    }
    return mbox;
}

TEST(MailboxExport, EdgeFolderRoundTripsAndReadsInPython)
{
    Workspace w;
    w.put("MAIL.TXT", edge_folder);
    std::string mbox = round_trip(w, "MAIL.TXT");
    EXPECT_NE(mbox.find("\n>From here on:\n>>From there\n"), std::string::npos);
    EXPECT_NE(mbox.find("\n>From the start\n\xE9t\xE9\n"s), std::string::npos);
    EXPECT_NE(mbox.find("\n>>>From  a\n>>From\n"), std::string::npos);
    EXPECT_EQ(mbox.find('\r'), std::string::npos);
    // Python reads the Latin-1 bytes of the subject as U+FFFD; they went out
    // unchanged, as the round trip shows.
    EXPECT_EQ(
        python_view(w, "MAIL.mbox"),
        (std::vector<std::string>{
            "NODE1::SMITH|NODE1::SMITH|Lunch|1996-03-04T13:58:04+00:00",
            "NODE2::JONES|NODE2::JONES \"Al Jones\"|Caf\uFFFD \uFFFD|1996-03-10T07:05:23+00:00",
            "NODE1::SMITH|NODE1::SMITH|day zero|1996-02-29T10:00:00+00:00",
            "NODE3::KIM|NODE3::KIM|None|1996-09-17T07:05:23+01:00"}));
    std::vector<std::string> texts = mailbox_texts(w.dir.file("MAIL.MBX"));
    ASSERT_EQ(texts.size(), 4u);
    auto size = [&](std::size_t i) { return std::to_string(texts[i].size()); };
    ChildResult list = run_mbx(w, {"list", "MAIL.MBX"});
    EXPECT_EQ(list.exit_status, 0);
    EXPECT_EQ(list.output,
              "1\t" + size(0) + "\tMon, 4 Mar 1996 13:58:04 +0000\tNODE1::SMITH\tLunch\n" + "2\t" +
                  size(1) +
                  "\tSun, 10 Mar 1996 07:05:23 +0000\tNODE2::JONES \"Al Jones\"\tCaf\xE9 \xFC\n"s +
                  "3\t" + size(2) + "\tThu, 29 Feb 1996 10:00:00 +0000\tNODE1::SMITH\tday zero\n" +
                  "4\t" + size(3) + "\tTue, 17 Sep 1996 07:05:23 +0100\tNODE3::KIM\t-\n");
}

TEST(MailboxExport, ExampleAndGeneratedFoldersRoundTrip)
{
    for (int seed : {0, 1, 2}) {
        Workspace w;
        if (seed == 0) {
            std::ifstream example(std::string(PROJECT_EXAMPLES) + "/MAIL.TXT", std::ios::binary);
            std::stringstream bytes;
            bytes << example.rdbuf();
            w.put("MAIL.TXT", bytes.str());
        } else {
            ChildOptions g = w.options({"--output", w.dir.file("MAIL.TXT"), "--size", "200K",
                                        "--message-size", "700", "--seed", std::to_string(seed)});
            g.binary = GENERATE_FOLDER_BINARY;
            g.host_program = true;
            ASSERT_EQ(run_child(g).exit_status, 0);
        }
        std::string mbox = round_trip(w, "MAIL.TXT");
        std::vector<std::string> seen = python_view(w, "MAIL.mbox");
        EXPECT_EQ(seen.size(), mailbox_texts(w.dir.file("MAIL.MBX")).size()) << seed;
        for (const auto& line : seen)
            EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 3) << line;
    }
}

TEST(MailboxExport, CommandsStatusesAndRefusals)
{
    Workspace w;
    w.put("MAIL.TXT", simple_folder);
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    std::string good = read_file(w.dir.file("MAIL.MBX"));
    w.put("CUT.MBX", good.substr(0, good.size() - 1));
    w.put("TAIL.MBX", good + "x");
    struct Row {
        std::vector<std::string> arguments;
        int status;
        std::string output;
        std::string errors;
    };
    const std::string usage_start = "usage: kestrel-mbx check MAILBOX...\n";
    std::vector<Row> rows = {
        {{"check", "MAIL.MBX", "CUT.MBX", "NONE.MBX", "TAIL.MBX"},
         1,
         "MAIL.MBX: 1 messages, ok\n"
         "CUT.MBX: damaged at byte 16: file size field says " +
             std::to_string(good.size()) + ", the file has " + std::to_string(good.size() - 1) +
             " bytes\nTAIL.MBX: damaged at byte 16: file size field says " +
             std::to_string(good.size()) + ", the file has " + std::to_string(good.size() + 1) +
             " bytes\n",
         "kestrel-mbx: NONE.MBX: " + os_reason("No such file or directory\n")},
        {{"check", "MAIL.MBX"}, 0, "MAIL.MBX: 1 messages, ok\n", ""},
        {{"mbox", "CUT.MBX", "OUT"}, 1, "", "kestrel-mbx: CUT.MBX: damaged at byte 16: "},
        {{"list", "CUT.MBX"}, 1, "", "kestrel-mbx: CUT.MBX: damaged at byte 16: "},
        {{"mbox", "MAIL.MBX", "MAIL.TXT"}, 1, "", "kestrel-mbx: MAIL.TXT: File exists\n"},
        {{"mbox", "MAIL.MBX", "."}, 1, "", "kestrel-mbx: .: File exists\n"},
        {{"mbox", "MAIL.MBX", "no/such/OUT"},
         1,
         "",
         "kestrel-mbx: no/such/OUT: " + os_reason("No such file")},
        {{"list", "."}, 1, "", "kestrel-mbx: .: Is a directory\n"},
        // Several mailboxes: one damaged or missing, and nothing is written.
        {{"mbox", "MAIL.MBX", "CUT.MBX", "OUT"},
         1,
         "",
         "kestrel-mbx: CUT.MBX: damaged at byte 16: "},
        {{"maildir", "MAIL.MBX", "CUT.MBX", "OUT"},
         1,
         "",
         "kestrel-mbx: CUT.MBX: damaged at byte 16: "},
        {{"eml", "TAIL.MBX", "OUT"}, 1, "", "kestrel-mbx: TAIL.MBX: damaged at byte 16: "},
        {{"maildir", "MAIL.MBX", "."}, 1, "", "kestrel-mbx: .: File exists\n"},
        {{"maildir", "MAIL.MBX", "MAIL.TXT/"}, 1, "", "kestrel-mbx: MAIL.TXT: File exists\n"},
        {{"eml", "MAIL.MBX", "MAIL.TXT"}, 1, "", "kestrel-mbx: MAIL.TXT: File exists\n"},
        {{"eml", "MAIL.MBX", "no/such/OUT"}, 1, "", "kestrel-mbx: no/such/OUT: "},
        // The options are checked before anything is read or written.
        {{"mbox", "--charset", "koi8", "MAIL.MBX", "OUT"},
         2,
         "",
         "kestrel-mbx: unknown character set: koi8\n"},
        {{"eml", "--charset=cp1252", "NONE.MBX", "OUT"},
         2,
         "",
         "kestrel-mbx: unknown character set: cp1252\n"},
        {{"maildir", "--colour", "MAIL.MBX", "OUT"},
         2,
         "",
         "kestrel-mbx: unknown option: --colour\n" + usage_start},
        {{"mbox", "MAIL.MBX", "--domain"},
         2,
         "",
         "kestrel-mbx: no value given for --domain\n" + usage_start},
        {{"eml", "MAIL.MBX", "MAIL.MBX", "OUT"},
         2,
         "",
         "kestrel-mbx: wrong number of arguments for eml\n" + usage_start},
        {{"--help"}, 0, usage_start, ""},
        {{"--version"}, 0, "kestrel-mbx " KESTREL_VERSION "\n", ""},
        {{}, 2, "", "kestrel-mbx: no command given\n" + usage_start},
        {{"check"}, 2, "", "kestrel-mbx: wrong number of arguments for check\n" + usage_start},
        {{"list", "A", "B"},
         2,
         "",
         "kestrel-mbx: wrong number of arguments for list\n" + usage_start},
        {{"show", "A"}, 2, "", "kestrel-mbx: unknown command: show\n" + usage_start},
    };
    // A FIFO named like a mailbox (no writer ever comes) and a device are
    // refused at once: a mailbox is a regular file.
    if (!target_is_windows()) {
        ASSERT_EQ(mkfifo(w.dir.file("F.MBX").c_str(), 0600), 0);
        const std::string refused = ": not a regular file, so no mailbox\n";
        for (const auto& command : {"check", "list", "mbox"})
            rows.push_back({{command, "F.MBX"}, 1, "", "kestrel-mbx: F.MBX" + refused});
        rows.push_back(
            {{"maildir", "MAIL.MBX", "F.MBX", "OUT"}, 1, "", "kestrel-mbx: F.MBX" + refused});
        rows.push_back({{"check", "/dev/zero", "MAIL.MBX"},
                        1,
                        "MAIL.MBX: 1 messages, ok\n",
                        "kestrel-mbx: /dev/zero" + refused});
    }
    for (const Row& row : rows) {
        std::vector<std::string> before = w.tree();
        ChildResult r = run_mbx(w, row.arguments);
        std::string what = row.arguments.empty() ? "(none)" : row.arguments[0];
        EXPECT_EQ(r.exit_status, row.status) << what;
        EXPECT_EQ(r.output.substr(0, row.output.size()), row.output) << what;
        EXPECT_EQ(r.errors.substr(0, row.errors.size()), row.errors) << what;
        EXPECT_EQ(w.tree(), before) << what << ": no file is created or removed";
    }
    EXPECT_EQ(read_file(w.dir.file("MAIL.TXT")), simple_folder);
}

// A write that fails midway (here at a file size limit, which the first
// message of the edge folder fits and the second does not) leaves nothing
// of the output behind, neither under its name nor under another.
TEST(MailboxExport, WriteFailureMidwayLeavesNothing)
{
    if (target_is_windows())
        GTEST_SKIP() << "a file size limit needs POSIX";
    Workspace w;
    w.put("MAIL.TXT", edge_folder);
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    std::vector<std::string> before = w.tree();
    for (const auto& command : {"mbox", "maildir", "eml"}) {
        ChildResult full = run_mbx(w, {command, "MAIL.MBX", "PART"}, 300);
        EXPECT_EQ(full.exit_status, 1) << command;
        EXPECT_EQ(full.errors, "kestrel-mbx: PART: File too large\n") << command;
        EXPECT_EQ(w.tree(), before) << command;
    }
    ChildResult to_full = run_mbx(w, {"mbox", "MAIL.MBX", "/dev/full"});
    EXPECT_EQ(to_full.errors, "kestrel-mbx: /dev/full: File exists\n");
}

} // namespace

namespace {

std::string with_lf(std::string text)
{
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

// The Maildir's message files in the order they were written: by the
// number after "Q" in their names.
std::vector<std::string> maildir_files(const Workspace& w, const std::string& maildir)
{
    std::vector<std::string> names = TempDir::entries_of(w.dir.file(maildir + "/cur"));
    auto number = [](const std::string& name) {
        return std::stoul(name.substr(name.find('Q') + 1));
    };
    std::sort(names.begin(), names.end(),
              [&](const auto& a, const auto& b) { return number(a) < number(b); });
    return names;
}

// Two mailboxes into one mbox, one Maildir and .eml files: every form holds
// the same messages in the same order, an mbox of both is the mbox of each
// one after the other, a Maildir file is an .eml file with LF line ends and
// no quoting, and Python reads them all.
TEST(MailboxExport, SeveralMailboxesIntoMboxMaildirAndEml)
{
    Workspace w;
    w.put("A.TXT", edge_folder);
    w.put("B.TXT", simple_folder);
    ASSERT_EQ(w.run({"A.TXT", "."}).exit_status, 0);
    ASSERT_EQ(w.run({"B.TXT", "."}).exit_status, 0);
    std::string a = run_mbx(w, {"mbox", "A.MBX"}).output;
    std::string b = run_mbx(w, {"mbox", "B.MBX"}).output;
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"mbox", "A.MBX", "B.MBX", "AB.mbox"},
             {"maildir", "A.MBX", "B.MBX", "MD" + sep},
             {"eml", "A.MBX", "EML"},
             {"eml", "--charset", "latin1", "--domain=example.org", "B.MBX", "EML2"}}) {
        ChildResult r = run_mbx(w, arguments);
        EXPECT_EQ(r.exit_status, 0) << arguments[0] << ": " << r.errors;
        EXPECT_EQ(r.output + r.errors, "") << arguments[0];
    }
    EXPECT_EQ(read_file(w.dir.file("AB.mbox")), a + b);
    std::vector<std::string> texts = read_back_mbox(a + b);
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(TempDir::entries_of(w.dir.file("MD")),
              (std::vector<std::string>{"cur", "new", "tmp"}));
    EXPECT_EQ(TempDir::entries_of(w.dir.file("MD/new")), std::vector<std::string>{});
    EXPECT_EQ(TempDir::entries_of(w.dir.file("MD/tmp")), std::vector<std::string>{});
    std::vector<std::string> in_maildir = maildir_files(w, "MD");
    ASSERT_EQ(in_maildir.size(), 5u);
    EXPECT_EQ(TempDir::entries_of(w.dir.file("EML")),
              (std::vector<std::string>{"0001.eml", "0002.eml", "0003.eml", "0004.eml"}));
    EXPECT_EQ(TempDir::entries_of(w.dir.file("EML2")), std::vector<std::string>{"0001.eml"});
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string maildir_text = read_file(w.dir.file("MD/cur/" + in_maildir[i]));
        EXPECT_EQ(maildir_text, with_lf(texts[i])) << "message " << i + 1;
        std::string eml = i < 4 ? "EML/000" + std::to_string(i + 1) : "EML2/0001";
        EXPECT_EQ(read_file(w.dir.file(eml + ".eml")), texts[i]) << "message " << i + 1;
    }
    EXPECT_EQ(python_view(w, "EML/0001.eml", python_maildir_reader,
                          {"EML/0002.eml", "EML/0003.eml", "EML/0004.eml", "EML2/0001.eml", "MD"}),
              (std::vector<std::string>{
                  "eml|NODE1::SMITH|Lunch", "eml|NODE2::JONES \"Al Jones\"|Caf\uFFFD \uFFFD",
                  "eml|NODE1::SMITH|day zero", "eml|NODE3::KIM|None", "eml|NODE2::JONES|Hi",
                  "maildir|NODE1::SMITH|Lunch", "maildir|NODE1::SMITH|day zero",
                  "maildir|NODE2::JONES \"Al Jones\"|Caf\uFFFD \uFFFD", "maildir|NODE2::JONES|Hi",
                  "maildir|NODE3::KIM|None"}));
}

// An export stopped by a signal, at any point of its work, leaves no output
// under the name the user gave; an interrupt also removes what it made
// under another name. kill -9 can leave only a Maildir's stage.
TEST(MailboxExport, InterruptedExportLeavesNoOutput)
{
    if (target_is_windows())
        GTEST_SKIP() << "POSIX signals; Ctrl-C has a case of its own";
    Workspace w;
    ChildOptions g = w.options({"--output", w.dir.file("MAIL.TXT"), "--size", "16M",
                                "--message-size", "20000", "--seed", "5"});
    g.binary = GENERATE_FOLDER_BINARY;
    g.host_program = true;
    ASSERT_EQ(run_child(g).exit_status, 0);
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    const std::vector<std::string> inputs = {"MAIL.MBX", "MAIL.TXT"};
    const struct {
        int signal;
        const char* command;
    } cases[] = {{SIGINT, "mbox"},    {SIGTERM, "mbox"}, {SIGKILL, "mbox"}, {SIGINT, "maildir"},
                 {SIGHUP, "maildir"}, {SIGTERM, "eml"},  {SIGKILL, "eml"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + ", " + strsignal(c.signal));
        std::vector<std::string> mailboxes(3, "MAIL.MBX");
        ChildOptions o = mbx_options(w, {c.command});
        o.arguments.insert(o.arguments.end(), mailboxes.begin(),
                           mailboxes.end() - (std::string(c.command) == "eml" ? 2 : 0));
        o.arguments.push_back("OUT");
        ChildProcess child = start_child(o);
        // Under way: the output is open (an unnamed file shows in /proc as
        // "#INODE (deleted)" in the directory) or the stage holds a file.
        const std::string fd_directory = "/proc/" + std::to_string(child.pid) + "/fd";
        bool under_way = false;
        for (int polls = 0; polls < 20000 && !under_way; ++polls) {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(fd_directory, error)) {
                std::string target = std::filesystem::read_symlink(entry.path(), error).string();
                under_way = under_way || target.rfind(w.dir.path() + "/#", 0) == 0 ||
                            target.rfind(w.dir.path() + "/OUT.kestrel-partial/", 0) == 0;
            }
            usleep(200);
        }
        ASSERT_TRUE(under_way);
        kill(child.pid, c.signal);
        ChildResult r = finish_child(child);
        EXPECT_EQ(r.signal, c.signal) << "the export had ended: " << r.exit_status;
        EXPECT_EQ(r.errors, "");
        std::vector<std::string> left = w.dir.entries();
        if (c.signal == SIGKILL && std::string(c.command) != "mbox") {
            EXPECT_NE(std::find(left.begin(), left.end(), "OUT.kestrel-partial"), left.end());
            std::filesystem::remove_all(w.dir.file("OUT.kestrel-partial"));
            left = w.dir.entries();
        }
        EXPECT_EQ(left, inputs);
    }
}

// What an export made at `name`, in a form that leaves out the Maildir
// file names (they hold the time and the process): the directories and the
// texts of the files, sorted.
std::string output_digest(const Workspace& w, const std::string& name)
{
    const std::string path = w.dir.file(name);
    if (!std::filesystem::is_directory(path))
        return file_exists(path) ? read_file(path) : "(none)";
    std::vector<std::string> parts;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        std::string relative = entry.path().lexically_relative(path).string();
        parts.push_back(entry.is_directory() ? relative + "/"
                                             : relative.substr(0, relative.find('/')) + ": " +
                                                   read_file(entry.path().string()));
    }
    std::sort(parts.begin(), parts.end());
    std::string digest;
    for (const auto& part : parts)
        digest += part + "\n";
    return digest;
}

// Every call of the file layer failing in turn, in each form of export.
// A run ends with its one-line message, status 1 and nothing of its output
// left, under any name; or, where the failure costs nothing (a look for a
// taken name, the close of a mailbox that was only read), with the whole
// output.
TEST(MailboxExport, EveryFailingCallLeavesNothingOrTheWholeOutput)
{
    if (target_is_windows())
        GTEST_SKIP() << "the fault-injection build is that of Linux";
    Workspace w;
    w.put("A.TXT", edge_folder);
    w.put("B.TXT", simple_folder);
    ASSERT_EQ(w.run({"A.TXT", "."}).exit_status, 0);
    ASSERT_EQ(w.run({"B.TXT", "."}).exit_status, 0);
    const std::vector<std::string> inputs = w.dir.entries();
    std::set<std::string> calls_failed;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"mbox", "A.MBX", "B.MBX", "OUT"},
          std::vector<std::string>{"maildir", "A.MBX", "B.MBX", "OUT"},
          std::vector<std::string>{"eml", "A.MBX", "OUT"}}) {
        SCOPED_TRACE(arguments[0]);
        ASSERT_EQ(run_mbx(w, arguments).exit_status, 0);
        const std::string whole = output_digest(w, "OUT");
        std::filesystem::remove_all(w.dir.file("OUT"));
        for (long n = 1; n < 1000 && !::testing::Test::HasFailure(); ++n) {
            SCOPED_TRACE("failing call " + std::to_string(n));
            ChildOptions o = mbx_options(w, arguments);
            o.binary = KESTREL_MBX_FAULTY_BINARY;
            o.environment.push_back("KESTREL_FAULT_AT=" + std::to_string(n));
            o.environment.push_back("KESTREL_FAULT_COUNT=" + w.side.file("count"));
            std::filesystem::remove(w.side.file("count"));
            ChildResult r = run_child(o);
            std::istringstream count(read_file(w.side.file("count")));
            long calls = 0;
            std::string call;
            count >> calls >> call;
            SCOPED_TRACE("the call was " + call);
            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(r.output, "");
            if (call == "-" || r.exit_status == 0) {
                EXPECT_TRUE(call == "-" || call == "entry_exists" || call == "close_discarded");
                EXPECT_EQ(r.exit_status, 0);
                EXPECT_EQ(r.errors, "");
                EXPECT_EQ(output_digest(w, "OUT"), whole);
                std::filesystem::remove_all(w.dir.file("OUT"));
                if (call == "-")
                    break;
                continue;
            }
            calls_failed.insert(call);
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.errors.rfind("kestrel-mbx: ", 0), 0u) << r.errors;
            EXPECT_EQ(std::count(r.errors.begin(), r.errors.end(), '\n'), 1) << r.errors;
            EXPECT_NE(r.errors.find("Input/output error\n"), std::string::npos) << r.errors;
            EXPECT_EQ(w.dir.entries(), inputs);
        }
    }
    for (const char* call :
         {"open_read_at_once", "file_status", "read_at", "create_uncommitted", "write", "sync",
          "commit_name", "sync_directory", "close", "make_directory", "create_new", "rename_new"})
        EXPECT_EQ(calls_failed.count(call), 1u) << call;
}

} // namespace
