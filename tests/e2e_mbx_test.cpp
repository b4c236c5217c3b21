// kestrel-mbx on the converter's own mailboxes: every message comes out of
// the mbox with its head and body, an independent mbox reader (Python's
// mailbox module) finds sender, subject and date in each, damaged mailboxes
// are refused, and the output file is created only new and never left half.
#include "tests/e2e_helpers.hpp"

#include <fstream>
#include <sstream>

using namespace e2e;
using namespace std::string_literals;

namespace {

ChildResult run_mbx(const Workspace& w, std::vector<std::string> arguments, long size_limit = -1)
{
    ChildOptions o = w.options(std::move(arguments));
    o.binary = KESTREL_MBX_BINARY;
    o.file_size_limit = size_limit;
    return run_child(o);
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

std::vector<std::string> python_view(const Workspace& w, const std::string& mbox)
{
    w.put("reader.py", python_reader);
    ChildOptions o = w.options({w.dir.file("reader.py"), mbox}, std::nullopt,
                               {"TZ=UTC", "LC_ALL=C.UTF-8", "PYTHONIOENCODING=utf-8"});
    o.binary = "/usr/bin/python3";
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
    const Row rows[] = {
        {{"check", "MAIL.MBX", "CUT.MBX", "NONE.MBX", "TAIL.MBX"},
         1,
         "MAIL.MBX: 1 messages, ok\n"
         "CUT.MBX: damaged at byte 16: file size field says " +
             std::to_string(good.size()) + ", the file has " + std::to_string(good.size() - 1) +
             " bytes\nTAIL.MBX: damaged at byte 16: file size field says " +
             std::to_string(good.size()) + ", the file has " + std::to_string(good.size() + 1) +
             " bytes\n",
         "kestrel-mbx: NONE.MBX: No such file or directory\n"},
        {{"check", "MAIL.MBX"}, 0, "MAIL.MBX: 1 messages, ok\n", ""},
        {{"mbox", "CUT.MBX", "OUT"}, 1, "", "kestrel-mbx: CUT.MBX: damaged at byte 16: "},
        {{"list", "CUT.MBX"}, 1, "", "kestrel-mbx: CUT.MBX: damaged at byte 16: "},
        {{"mbox", "MAIL.MBX", "MAIL.TXT"}, 1, "", "kestrel-mbx: MAIL.TXT: File exists\n"},
        {{"mbox", "MAIL.MBX", "."}, 1, "", "kestrel-mbx: .: File exists\n"},
        {{"mbox", "MAIL.MBX", "no/such/OUT"}, 1, "", "kestrel-mbx: no/such/OUT: No such file"},
        {{"list", "."}, 1, "", "kestrel-mbx: .: Is a directory\n"},
        {{"--help"}, 0, usage_start, ""},
        {{}, 2, "", "kestrel-mbx: no command given\n" + usage_start},
        {{"check"}, 2, "", "kestrel-mbx: wrong number of arguments for check\n" + usage_start},
        {{"list", "A", "B"},
         2,
         "",
         "kestrel-mbx: wrong number of arguments for list\n" + usage_start},
        {{"show", "A"}, 2, "", "kestrel-mbx: unknown command: show\n" + usage_start},
    };
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
    // A write that fails leaves no partial mbox behind.
    ChildResult full = run_mbx(w, {"mbox", "MAIL.MBX", "PART"}, 10);
    EXPECT_EQ(full.exit_status, 1);
    EXPECT_EQ(full.errors, "kestrel-mbx: PART: File too large\n");
    EXPECT_FALSE(file_exists(w.dir.file("PART")));
    ChildResult to_full = run_mbx(w, {"mbox", "MAIL.MBX", "/dev/full"});
    EXPECT_EQ(to_full.errors, "kestrel-mbx: /dev/full: File exists\n");
}

} // namespace
