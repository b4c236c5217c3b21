// kestrel-mbx on the converter's own mailboxes: every message comes out of
// the mbox, the Maildir and the .eml files with its head and body, an
// independent reader (Python's mailbox and email modules) finds sender,
// subject and date in each, damaged mailboxes, FIFOs and devices are
// refused, and an output is created only new and never left half, whatever
// call fails and whatever signal comes.
#include "mbx/mbox_export.hpp"
#include "mbx/vms_address.hpp"
#include "tests/e2e_helpers.hpp"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
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
    o.time_limit = target_is_windows() ? 120 : 20;
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

// The head of an exported message given back as the converter wrote it: the
// headers the export made are dropped, the VMS lines kept beside them get
// their names back. `dates` gets the Date header and the X-VMS-Date value
// ("" when there is none).
std::string converter_head_of(const std::string& exported,
                              std::pair<std::string, std::string>& dates)
{
    const std::vector<std::string> made = {
        "From: ",         "To: ",           "CC: ",
        "Date: ",         "X-VMS-Date: ",   "Message-ID: ",
        "MIME-Version: ", "Content-Type: ", "Content-Transfer-Encoding: ",
        "Status: "};
    std::size_t head_end = exported.find("\r\n\r\n");
    head_end = head_end == std::string::npos ? exported.size() : head_end + 2;
    std::string head;
    bool dropping = false;
    for (std::size_t at = 0; at < head_end;) {
        std::size_t end = exported.find("\r\n", at) + 2;
        std::string line = exported.substr(at, end - at);
        at = end;
        if (line[0] == ' ' && dropping)
            continue; // a folded header the export made
        dropping = std::any_of(made.begin(), made.end(),
                               [&](const std::string& name) { return line.rfind(name, 0) == 0; });
        if (line.rfind("Date: ", 0) == 0)
            dates.first = line.substr(6, line.size() - 8);
        if (line.rfind("X-VMS-Date: ", 0) == 0)
            dates.second = line.substr(12, line.size() - 14);
        if (dropping)
            continue;
        if (line.rfind("X-VMS-", 0) == 0)
            line.erase(0, 6);
        head += line;
    }
    return head + exported.substr(head_end);
}

// Each message as Python's email package reads it with the standards-
// following policy: separator sender, From, To, CC, Subject, the date as a
// timestamp, Message-ID and the defects found in the message and in its
// headers; then its body as the hex of its UTF-8. "mbox FILE", "maildir DIR"
// or "eml FILE...".
const char* python_reader = R"(import sys, email, email.policy, mailbox
policy = email.policy.default
def parse(f):
    return email.message_from_binary_file(f, policy=policy)
mode, paths = sys.argv[1], sys.argv[2:]
if mode == 'mbox':
    box = mailbox.mbox(paths[0], create=False)
    found = [(box.get_message(k).get_from().split(' ')[0], parse(box.get_file(k))) for k in box.keys()]
elif mode == 'maildir':
    box = mailbox.Maildir(paths[0], factory=parse, create=False)
    found = [('-', box[k]) for k in sorted(box.keys())]
elif mode == 'flags':
    # The read state each message shows: per folder of a Maildir++ tree,
    # or per mbox file; paths[0] stands between a Maildir name and its flags.
    mailbox.Maildir.colon = paths[0]
    for p in paths[1:]:
        if p.endswith('.mbox'):
            boxes = [(p.split('/')[-1], mailbox.mbox(p, create=False))]
        else:
            tree = mailbox.Maildir(p, create=False)
            boxes = [(n, tree.get_folder(n)) for n in sorted(tree.list_folders())]
        for name, box in boxes:
            print(name, len(box), sep='|')
            print(','.join(box[k].get_flags() for k in sorted(box.keys())))
    sys.exit(0)
elif mode == 'codec':
    print(bytes(range(128, 256)).decode(paths[0], 'replace').encode('utf-8').hex())
    sys.exit(0)
else:
    found = []
    for p in paths:
        with open(p, 'rb') as f:
            found.append(('-', parse(f)))
for sender, m in found:
    defects = [type(d).__name__ for d in m.defects]
    defects += ['Two' + n for n in ('From', 'To', 'CC', 'Date', 'Subject', 'Message-ID')
                if len(m.get_all(n, [])) > 1] + ['Bcc'] * ('Bcc' in m)
    for name, v in m.items():
        defects += [name + ':' + type(d).__name__ for d in v.defects]
    d = m['Date'].datetime if m['Date'] else None
    s = m['Subject']
    print(sender, m['From'], m['To'], m['CC'], s and str(s), d and d.isoformat(), m['Message-ID'],
          ','.join(defects) or 'ok', sep='|')
    print(m.get_content().encode('utf-8').hex())
)";

bool python_installed()
{
    return file_exists("/usr/bin/python3");
}

#define REQUIRE_PYTHON()                                                                           \
    if (!python_installed())                                                                       \
    GTEST_SKIP() << "python3 is not installed: the independent mail reader is missing"

// What Python makes of the messages: one view line per message, and in
// `bodies` the hex of each body's text.
std::vector<std::string> python_view(const Workspace& w, std::vector<std::string> arguments,
                                     std::vector<std::string>* bodies = nullptr)
{
    w.put("reader.py", python_reader);
    arguments.insert(arguments.begin(), w.dir.file("reader.py"));
    ChildOptions o =
        w.options(arguments, std::nullopt, {"TZ=UTC", "LC_ALL=C.UTF-8", "PYTHONIOENCODING=utf-8"});
    o.binary = "/usr/bin/python3";
    o.host_program = true;
    ChildResult r = run_child(o);
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    std::vector<std::string> lines;
    std::istringstream in(r.output);
    if (arguments[1] == "codec") {
        std::string line;
        std::getline(in, line);
        return {line};
    }
    for (std::string line, body; std::getline(in, line) && std::getline(in, body);) {
        lines.push_back(line);
        if (bodies)
            bodies->push_back(body);
    }
    return lines;
}

std::string hex_of(const std::string& text)
{
    std::string hex;
    for (unsigned char c : text) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
    }
    return hex;
}

// Converts `folder_path`, exports its mailbox and checks the round trip:
// every message whose text is ASCII comes back as it was but for the
// headers the export adds; returns the mbox.
std::string round_trip(Workspace& w, const std::string& folder_path,
                       std::vector<std::string> environment = standard_environment)
{
    ChildResult conversion = w.run({folder_path, "."}, std::nullopt, environment);
    EXPECT_EQ(conversion.exit_status, 0) << conversion.output;
    std::vector<std::string> texts = mailbox_texts(w.dir.file("MAIL.MBX"));
    ChildResult exported = run_mbx(w, {"mbox", "MAIL.MBX", "MAIL.mbox"});
    EXPECT_EQ(exported.exit_status, 0) << exported.errors;
    EXPECT_EQ(exported.output + exported.errors,
              "MAIL.MBX: " + std::to_string(texts.size()) + " messages -> MAIL.mbox\n");
    std::string mbox = read_file(w.dir.file("MAIL.mbox"));
    EXPECT_EQ(run_mbx(w, {"mbox", "MAIL.MBX"}).output, mbox) << "standard output differs";
    std::vector<std::string> back = read_back_mbox(mbox);
    EXPECT_EQ(back.size(), texts.size());
    for (std::size_t i = 0; i < back.size() && i < texts.size(); ++i) {
        std::string expected = texts[i];
        std::string exported_head = back[i].substr(0, back[i].find("\r\n\r\n"));
        EXPECT_TRUE(std::all_of(exported_head.begin(), exported_head.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            << "message " << i + 1 << ": 8-bit bytes in the head";
        std::pair<std::string, std::string> dates;
        std::string given_back = converter_head_of(back[i], dates);
        EXPECT_NE(dates.first, "") << "message " << i + 1 << " without a Date header";
        // The converter's date: its "Date: " line, else its "Received: ; "
        // line; X-VMS-Date keeps it exactly when the Date header differs.
        std::size_t date = expected.find("\r\nDate: ");
        std::size_t received = expected.find("\r\nReceived: ; ");
        std::size_t from = date != std::string::npos ? date + 8 : received + 14;
        std::string original = expected.substr(from, expected.find("\r\n", from) - from);
        if (dates.second.empty()) {
            EXPECT_EQ(dates.first, original) << "message " << i + 1;
        } else {
            EXPECT_TRUE(dates.second == original && dates.first != original)
                << "message " << i + 1 << ": " << dates.first << " / " << dates.second;
        }
        if (date != std::string::npos)
            expected.erase(date, expected.find("\r\n", date + 2) - date);
        bool ascii = std::all_of(expected.begin(), expected.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii) {
            EXPECT_EQ(given_back, expected) << "message " << i + 1;
        }
    }
    return mbox;
}

// Every view line of Python says that the headers have no defects.
void expect_no_defects(const std::vector<std::string>& seen)
{
    for (const auto& line : seen)
        EXPECT_EQ(line.substr(line.rfind('|') + 1), "ok") << line;
}

TEST(MailboxExport, EdgeFolderRoundTripsAndReadsInPython)
{
    REQUIRE_PYTHON();
    Workspace w;
    w.put("MAIL.TXT", edge_folder);
    std::string mbox = round_trip(w, "MAIL.TXT");
    EXPECT_NE(mbox.find("\n>From here on:\n>>From there\n"), std::string::npos);
    EXPECT_NE(mbox.find("\n>From the start\n\xC3\xA9t\xC3\xA9\n"s), std::string::npos);
    EXPECT_NE(mbox.find("\n>>>From  a\n>>From\n"), std::string::npos);
    EXPECT_EQ(mbox.find('\r'), std::string::npos);
    // The Latin-1 bytes of the second message, read as the VAX's character
    // set, come out as the sender wrote them.
    std::vector<std::string> bodies;
    std::vector<std::string> seen = python_view(w, {"mbox", "MAIL.mbox"}, &bodies);
    for (std::string& line : seen) {
        // The made Message-IDs, checked for their form.
        std::size_t id = line.rfind("|<"), id_end = line.rfind(">|");
        ASSERT_TRUE(id != std::string::npos && id_end != std::string::npos) << line;
        EXPECT_EQ(line.substr(id_end - 20, 21), "@kestrel-mbx.invalid>");
        line.replace(id + 1, id_end - id, "<made>");
    }
    EXPECT_EQ(
        seen,
        (std::vector<std::string>{
            "SMITH@NODE1|SMITH@NODE1|JONES@NODE1|None|Lunch|1996-03-04T13:58:04+00:00|<made>|"
            "ok",
            "JONES@NODE2|Al Jones <JONES@NODE2>|SMITH@NODE2|None|Caf\u00E9 \u00FC|"
            "1996-03-10T07:05:23+00:00|<made>|ok",
            "SMITH@NODE1|SMITH@NODE1|None|None|day zero|1996-02-29T10:00:00+00:00|<made>|ok",
            "KIM@NODE3|KIM@NODE3|SMITH@NODE3|None|None|1996-09-17T07:05:23+01:00|<made>|ok"}));
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[1], hex_of(">From the start\n\u00E9t\u00E9\n" + std::string(600, 'x') + "\n"));
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

// A folder of the VMS address forms, 8-bit text in the VAX's set and in
// UTF-8, times the VAX never checked and a zone setting that is no offset:
// Python finds no defect, and every sender, recipient and body is what the
// sender wrote.
TEST(MailboxExport, VmsFormsCharsetsAndOddTimesReadWithoutDefects)
{
    REQUIRE_PYTHON();
    struct Row {
        std::string from, to, cc, subject, body; // folder lines, body in the folder's bytes
        std::string view;                        // From|To|CC|Subject of Python's view
        std::string body_text;                   // the body as UTF-8, LF line ends
    };
    const Row rows[] = {
        {"From:\tHUB::GW::MRGATE::\"SMTP::HOST.EXAMPLE.EDU::KIM\" 17-SEP-1996 25:61:99.00",
         "To:\tMRGATE::\"NODE4::LEE\"", "CC:\t", "Subj:\tgateway", "hello",
         "KIM@HOST.EXAMPLE.EDU|\"MRGATE::\\\"NODE4::LEE\\\"\"@GW|None|gateway", "hello\n"},
        {"From:\tGW2::\"kim@host.example.edu\" \" \"  1-FEB-1991   :  :  .00",
         "To:\tSMITH, NODE5::A, @GROUP", "CC:\tIN%\"x@y.example\"", "Subj:\tlist", "x",
         "kim@host.example.edu|SMITH@GW2, A@NODE5, \"@GROUP\"@GW2|x@y.example|list", "x\n"},
        {"From:\tMX%\"k@riken.example\"  \"Watanabe Yutaka\" 15-DEC-1998 14:34:45.41",
         "To:\tMX%\"t@riken.example\"", "CC:\tMX%\"k@riken.example\"", "Subj:\tenew",
         "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF",
         "Watanabe Yutaka <k@riken.example>|t@riken.example|k@riken.example|enew",
         "\u3053\u3093\u306B\u3061\u306F\n"},
        {"From:\tKOELN::MUELLER \"J\xFCrgen M\xFCller\" 24-DEC-1993 09:00:00.00",
         "To:\tNODE1::SMITH", "CC:\tUUGATE::\"uunet!host!kim\"\n  \xA8 K\xF6ln",
         "Subj:\tGr\xFC\xDF"
         "e aus K\xF6ln",
         "Gr\xFC\xDF"
         "e aus K\xF6ln \xA8 \xD7\xF7 \xDD\xFD",
         "J\u00FCrgen M\u00FCller <MUELLER@KOELN>|SMITH@NODE1|uunet!host!kim@UUGATE|"
         "Gr\u00FC\u00DFe aus K\u00F6ln",
         "Gr\u00FC\u00DFe aus K\u00F6ln \u00A4 \u0152\u0153 \u0178\u00FF\n"},
        {"From:\tNODE1::SMITH 2-JAN-1990 xx:yy:zz.00", "To:\tvarious...", "CC:\tA,B",
         "Subj:\tF\xF6\xF6", "From the VAX",
         "SMITH@NODE1|various...@NODE1|A@NODE1, B@NODE1|F\u00F6\u00F6",
         ">From the VAX\n"}, // the mbox's quoting, which Python's mbox keeps
    };
    std::string folder;
    for (const Row& row : rows)
        folder += message(row.from, {row.to, row.cc, row.subject, "", row.body});
    Workspace w;
    w.put("MAIL.TXT", folder);
    round_trip(w, "MAIL.TXT",
               {"TZ=UTC", "KESTREL_VAX_USERNAME=SMITH", "KESTREL_TZ=EST", "KESTREL_DST=+0100"});
    std::vector<std::string> bodies;
    std::vector<std::string> seen = python_view(w, {"mbox", "MAIL.mbox"}, &bodies);
    expect_no_defects(seen);
    ASSERT_EQ(seen.size(), std::size(rows));
    // -0000 says that the zone is not known: Python gives a time without one.
    const char* dates[] = {"1996-09-17T00:00:00+01:00", "1991-02-01T00:00:00",
                           "1998-12-15T14:34:45", "1993-12-24T09:00:00", "1990-01-02T00:00:00"};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        std::vector<std::string> fields;
        std::istringstream in(seen[i]);
        for (std::string field; std::getline(in, field, '|');)
            fields.push_back(field);
        ASSERT_EQ(fields.size(), 8u) << seen[i];
        EXPECT_EQ(fields[1] + "|" + fields[2] + "|" + fields[3] + "|" + fields[4], rows[i].view);
        EXPECT_EQ(fields[5], dates[i]);
        EXPECT_EQ(bodies[i], hex_of(rows[i].body_text)) << rows[i].from;
    }
    // The original lines stay in the mbox: the VMS sender, the converter's
    // date where the Date header differs from it.
    std::string mbox = read_file(w.dir.file("MAIL.mbox"));
    EXPECT_NE(mbox.find("\nX-VMS-From:\tHUB::GW::MRGATE::\"SMTP::HOST.EXAMPLE.EDU::KIM\"\n"),
              std::string::npos);
    EXPECT_NE(mbox.find("\nDate: Tue, 17 Sep 1996 00:00:00 +0100\n"
                        "X-VMS-Date: Tue, 17 Sep 1996 25:61:99 +0100\n"),
              std::string::npos);
    EXPECT_NE(mbox.find("\nDate: Fri, 24 Dec 1993 09:00:00 -0000\n"
                        "X-VMS-Date: Fri, 24 Dec 1993 09:00:00 EST\n"),
              std::string::npos);
}

TEST(MailboxExport, ExampleAndGeneratedFoldersRoundTrip)
{
    REQUIRE_PYTHON();
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
        std::vector<std::string> seen = python_view(w, {"mbox", "MAIL.mbox"});
        EXPECT_EQ(seen.size(), mailbox_texts(w.dir.file("MAIL.MBX")).size()) << seed;
        expect_no_defects(seen);
        for (const auto& line : seen)
            EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 7) << line;
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
    for (int n = 1; n <= 100; ++n)
        std::filesystem::create_directory(
            w.dir.file("TAKEN.kestrel-partial" + (n > 1 ? std::to_string(n) : "")));
    std::vector<Row> rows = {
        {{"check", "MAIL.MBX", "CUT.MBX", "NONE.MBX", "TAIL.MBX"},
         1,
         "MAIL.MBX: 1 message, ok\n"
         "CUT.MBX: damaged at byte 16: file size field says " +
             std::to_string(good.size()) + ", the file has " + std::to_string(good.size() - 1) +
             " bytes\nTAIL.MBX: damaged at byte 16: file size field says " +
             std::to_string(good.size()) + ", the file has " + std::to_string(good.size() + 1) +
             " bytes\n",
         "kestrel-mbx: NONE.MBX: " + os_reason("No such file or directory\n")},
        {{"check", "MAIL.MBX"}, 0, "MAIL.MBX: 1 message, ok\n", ""},
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
        // Every name of the partial directory taken by runs that were killed.
        {{"eml", "MAIL.MBX", "TAKEN"},
         1,
         "",
         "kestrel-mbx: TAKEN: the names TAKEN.kestrel-partial to TAKEN.kestrel-partial100 are "
         "all taken, by earlier runs that were stopped; remove them\n"},
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
        {{"eml", "--folders", "MAIL.MBX", "OUT"},
         2,
         "",
         "kestrel-mbx: --folders is for mbox and maildir\n" + usage_start},
        // A directory of mbox files is never standard output.
        {{"mbox", "--folders", "MAIL.MBX"},
         2,
         "",
         "kestrel-mbx: wrong number of arguments for mbox\n" + usage_start},
        {{"mbox", "--folders", "MAIL.MBX", "CUT.MBX", "OUT"},
         1,
         "",
         "kestrel-mbx: CUT.MBX: damaged at byte 16: "},
        // An empty name, as a script's unset variable gives, is never
        // standard output or the current directory.
        {{"mbox", "MAIL.MBX", ""}, 2, "", "kestrel-mbx: empty output name\n" + usage_start},
        {{"maildir", "MAIL.MBX", ""}, 2, "", "kestrel-mbx: empty directory name\n"},
        {{"eml", "MAIL.MBX", ""}, 2, "", "kestrel-mbx: empty directory name\n"},
        {{"mbox", ""}, 2, "", "kestrel-mbx: empty mailbox name\n"},
        {{"maildir", "", "MAIL.MBX", "OUT"}, 2, "", "kestrel-mbx: empty mailbox name\n"},
        {{"check", "MAIL.MBX", ""}, 2, "", "kestrel-mbx: empty mailbox name\n"},
        {{"list", ""}, 2, "", "kestrel-mbx: empty mailbox name\n"},
        {{"eml", "--domain=", "MAIL.MBX", "OUT"}, 2, "", "kestrel-mbx: empty domain name\n"},
        {{"mbox", "--charset", "", "MAIL.MBX", "OUT"},
         2,
         "",
         "kestrel-mbx: empty character set name\n"},
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
                        "MAIL.MBX: 1 message, ok\n",
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
// of the output behind, neither under its name nor under another. So does
// one of an mbox's blocks written beside the work, past the first few.
TEST(MailboxExport, WriteFailureMidwayLeavesNothing)
{
    if (target_is_windows())
        GTEST_SKIP() << "a file size limit needs POSIX";
    Workspace w;
    w.put("MAIL.TXT", edge_folder);
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    ChildOptions g = w.options({"--output", w.dir.file("BIG.TXT"), "--size", "2M", "--seed", "9"});
    g.binary = GENERATE_FOLDER_BINARY;
    g.host_program = true;
    ASSERT_EQ(run_child(g).exit_status, 0);
    ASSERT_EQ(w.run({"BIG.TXT", "."}).exit_status, 0);
    std::vector<std::string> before = w.tree();
    struct Row {
        const char* command;
        const char* mailbox;
        long limit;
    };
    for (const Row& row : {Row{"mbox", "MAIL.MBX", 300}, Row{"maildir", "MAIL.MBX", 300},
                           Row{"eml", "MAIL.MBX", 300}, Row{"mbox", "BIG.MBX", 1000000}}) {
        ChildResult full = run_mbx(w, {row.command, row.mailbox, "PART"}, row.limit);
        const std::string what = std::string(row.command) + " " + row.mailbox;
        EXPECT_EQ(full.exit_status, 1) << what;
        EXPECT_EQ(full.errors, "kestrel-mbx: PART: File too large\n") << what;
        EXPECT_EQ(w.tree(), before) << what;
    }
    ChildResult to_full = run_mbx(w, {"mbox", "MAIL.MBX", "/dev/full"});
    EXPECT_EQ(to_full.errors, "kestrel-mbx: /dev/full: File exists\n");
}

// A head of many header lines and no empty line, 24 MiB of it, goes out
// in the memory of a small one (an address sanitizer's reservations would
// not fit).
TEST(MailboxExport, LongHeadInBoundedMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "memory limit under the address sanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "memory limit under the address sanitizer";
#endif
#endif
    if (target_is_windows())
        GTEST_SKIP() << "no memory limit for a program under Wine";
    std::string text = "From:\tA::B\r\nReceived: ; Mon, 4 Mar 1996 13:58:04 +0000\r\n";
    while (text.size() < (24u << 20))
        text += "X-Field: value value\r\n";
    auto size = static_cast<std::uint32_t>(text.size());
    auto record = encode_record_header({1, size + 17, size});
    auto head = encode_mailbox_header({1, 1, 84 + 16 + size + 1});
    Workspace w;
    w.put("BIG.MBX", std::string(head.begin(), head.end()) +
                         std::string(record.begin(), record.end()) + text + '\0');
    ChildOptions o = w.options({"mbox", "BIG.MBX", "BIG.mbox"});
    o.binary = kestrel_mbx_binary();
    o.memory_limit = 16L << 20;
    ChildResult exported = run_child(o);
    EXPECT_EQ(exported.exit_status, 0) << exported.errors;
    EXPECT_GT(read_file(w.dir.file("BIG.mbox")).size(), text.size() / 22 * 21); // CR LF to LF
}

// A mailbox damaged far inside, past what fills the first output block:
// an mbox file is written while the records are checked, and the damage,
// found midway, leaves nothing of it; standard output gets nothing, as the
// mailbox is checked before it; and where the output cannot be made, the
// damaged mailbox is what is told, as when it is found first.
TEST(MailboxExport, DamageFoundMidwayLeavesNothing)
{
    Workspace w;
    ChildOptions g = w.options({"--output", w.dir.file("MAIL.TXT"), "--size", "1M",
                                "--message-size", "700", "--seed", "4"});
    g.binary = GENERATE_FOLDER_BINARY;
    g.host_program = true;
    ASSERT_EQ(run_child(g).exit_status, 0);
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    std::string good = read_file(w.dir.file("MAIL.MBX"));
    std::string deep = good;
    const std::size_t zero_at = good.size() - 3; // inside the last message's text
    deep[zero_at] = '\0';
    w.put("DEEP.MBX", deep);
    std::string more = good; // one record more than the header counts
    more.replace(8, 1, 1, static_cast<char>(more[8] - 1));
    more.replace(12, 1, 1, static_cast<char>(more[12] - 1));
    w.put("MORE.MBX", more);
    const std::string last = std::to_string(mailbox_texts(w.dir.file("MAIL.MBX")).size());
    const std::string damaged = "kestrel-mbx: DEEP.MBX: damaged at byte " +
                                std::to_string(zero_at) + ": record " + last +
                                ": zero byte inside the text\n";
    const std::string trailing = "kestrel-mbx: MORE.MBX: damaged at byte ";
    std::vector<std::string> before = w.tree();
    struct Row {
        std::vector<std::string> arguments;
        std::string errors;
    };
    const std::vector<Row> rows = {
        {{"mbox", "DEEP.MBX", "OUT"}, damaged},
        {{"mbox", "MAIL.MBX", "DEEP.MBX", "MAIL.MBX", "OUT"}, damaged},
        {{"mbox", "DEEP.MBX"}, damaged},
        {{"mbox", "DEEP.MBX", "MAIL.TXT"}, damaged},
        {{"mbox", "MAIL.MBX", "DEEP.MBX", "no/such/OUT"}, damaged},
        {{"mbox", "MAIL.MBX", "MAIL.TXT"}, "kestrel-mbx: MAIL.TXT: File exists\n"},
        {{"maildir", "MAIL.MBX", "DEEP.MBX", "OUT"}, damaged},
        {{"mbox", "MAIL.MBX", "MORE.MBX", "OUT"}, trailing},
        {{"mbox", "MORE.MBX"}, trailing},
    };
    for (const Row& row : rows) {
        ChildResult r = run_mbx(w, row.arguments);
        const std::string& what = row.arguments[row.arguments.size() - 1];
        EXPECT_EQ(r.exit_status, 1) << what;
        EXPECT_EQ(r.output, "") << what;
        EXPECT_EQ(r.errors.substr(0, row.errors.size()), row.errors) << what;
        EXPECT_EQ(r.errors.find('\n'), r.errors.size() - 1) << what << ": one message";
        EXPECT_EQ(w.tree(), before) << what << ": no file is created or removed";
        // As on a file system without unnamed files: the mbox file has a
        // temporary name until it is complete, and the damage removes it.
        // (The fault-injection build is that of Linux.)
        if (target_is_windows())
            continue;
        ChildOptions o = mbx_options(w, row.arguments);
        o.binary = KESTREL_MBX_FAULTY_BINARY;
        o.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
        ChildResult named = run_child(o);
        EXPECT_EQ(named.exit_status, 1) << what;
        EXPECT_EQ(named.errors, r.errors) << what;
        EXPECT_EQ(w.tree(), before) << what << ": the temporary file is removed";
    }
}

// Each message of a checked mailbox exported one at a time into files of
// its own, or all of them into one mbox, as the commands do.
struct FormExport {
    std::vector<std::string> files; // one per message; the mbox alone for the mbox form
};

FormExport export_forms(const std::string& mailbox, ExportForm form, const std::string& to,
                        const ExportOptions& options)
{
    FormExport made;
    MailboxReader reader;
    EXPECT_EQ(open_mailbox(reader, mailbox.c_str()), 0);
    MailboxVerdict check = check_mailbox(reader);
    EXPECT_TRUE(check.whole) << check.problem;
    auto write = [&](const std::string& path, auto&& body) {
        ExportOutput out;
        out.block.resize(output_block_size);
        out.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        EXPECT_GE(out.fd, 0) << path;
        EXPECT_TRUE(body(out));
        EXPECT_EQ(output_flush(out), 0);
        EXPECT_EQ(::close(out.fd), 0);
        made.files.push_back(path);
    };
    if (form == ExportForm::mbox) {
        write(to, [&](ExportOutput& out) {
            return export_mbox(reader, check.message_count, options, out);
        });
    } else {
        std::string directory = to;
        EXPECT_EQ(::mkdir(to.c_str(), 0755), 0);
        if (form == ExportForm::maildir) {
            for (const char* sub : {"/cur", "/new", "/tmp"})
                EXPECT_EQ(::mkdir((to + sub).c_str(), 0755), 0);
            directory += "/cur";
        }
        std::uint64_t at = mailbox_header_size;
        for (std::uint32_t n = 1; n <= check.message_count; ++n) {
            MailboxRecord record;
            EXPECT_TRUE(read_record(reader, at, record));
            std::string number = std::to_string(1000 + n);
            std::string name = form == ExportForm::eml ? number + ".eml" : number + ".M1P1.test:2,";
            write(directory + "/" + name, [&](ExportOutput& out) {
                return export_message(reader, record, form, options, out);
            });
            at = record.text_offset + record.text_size + 1;
        }
    }
    close_mailbox(reader);
    return made;
}

// The same messages as an mbox, as Maildir files and as .eml files read
// alike in Python; an .eml file has CR LF line ends, a Maildir file LF and
// no separator; the Message-IDs are the message's own where its body brings
// one, and the same on every export.
TEST(MailboxExport, EveryFormReadsAlikeInPython)
{
    REQUIRE_PYTHON();
    Workspace w;
    w.put("MAIL.TXT",
          edge_folder +
              message("From:\tGW::\"kim@host.example\" 17-SEP-1996 07:05:23.33",
                      {"To:\tNODE1::SMITH", "CC:\t", "Subj:\tforwarded", "",
                       "Received: by gw.example", "\tfrom host.example",
                       "Message-Id: <940819.21438991@host.example>", "", "From the gateway"}));
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    const std::string mailbox = w.dir.file("MAIL.MBX");
    ExportOptions options;
    options.domain = "vax.example.org";
    export_forms(mailbox, ExportForm::mbox, w.dir.file("MAIL.mbox"), options);
    FormExport maildir = export_forms(mailbox, ExportForm::maildir, w.dir.file("Maildir"), options);
    FormExport eml = export_forms(mailbox, ExportForm::eml, w.dir.file("EML"), options);
    std::vector<std::string> mbox_bodies, maildir_bodies, eml_bodies;
    std::vector<std::string> in_mbox = python_view(w, {"mbox", "MAIL.mbox"}, &mbox_bodies);
    std::vector<std::string> in_maildir = python_view(w, {"maildir", "Maildir"}, &maildir_bodies);
    std::vector<std::string> eml_arguments = {"eml"};
    eml_arguments.insert(eml_arguments.end(), eml.files.begin(), eml.files.end());
    std::vector<std::string> in_eml = python_view(w, eml_arguments, &eml_bodies);
    ASSERT_EQ(in_mbox.size(), 5u);
    expect_no_defects(in_mbox);
    for (std::string& line : in_mbox)
        line.replace(0, line.find('|'), "-"); // the separator's sender
    EXPECT_EQ(in_maildir, in_mbox);
    EXPECT_EQ(in_eml, in_mbox);
    EXPECT_EQ(maildir_bodies, eml_bodies);
    EXPECT_EQ(in_mbox[0].substr(0, 50), "-|SMITH@NODE1.vax.example.org|JONES@NODE1.vax.exam");
    EXPECT_NE(in_mbox[4].find("|<940819.21438991@host.example>|"), std::string::npos);
    for (const std::string& file : maildir.files) {
        std::string bytes = read_file(file);
        EXPECT_EQ(bytes.find('\r'), std::string::npos) << file;
        EXPECT_EQ(bytes.rfind("From: ", 0), 0u) << file;
    }
    for (const std::string& file : eml.files) {
        std::string bytes = read_file(file);
        EXPECT_EQ(bytes.rfind("From: ", 0), 0u) << file;
        for (std::size_t lf = bytes.find('\n'); lf != std::string::npos;
             lf = bytes.find('\n', lf + 1))
            ASSERT_TRUE(lf > 0 && bytes[lf - 1] == '\r') << file << " at " << lf;
    }
    // A second export is the same, byte for byte.
    FormExport again = export_forms(mailbox, ExportForm::eml, w.dir.file("EML2"), options);
    ASSERT_EQ(again.files.size(), eml.files.size());
    for (std::size_t i = 0; i < eml.files.size(); ++i)
        EXPECT_EQ(read_file(again.files[i]), read_file(eml.files[i]));
    // The made ids stand for what the VAX wrote: the folder converted again
    // with other zones, daylight-saving months and user name (other date
    // lines, a Date line on other messages) gives the messages the same ids.
    // The first one's is pinned, so that a change of the hash, on any
    // platform or in any version, is seen.
    auto ids = [](const std::vector<std::string>& lines) {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            std::size_t id = line.rfind("|<"), id_end = line.rfind(">|");
            found.push_back(id < id_end && id_end != std::string::npos
                                ? line.substr(id + 1, id_end - id)
                                : line);
        }
        return found;
    };
    ASSERT_EQ(::mkdir(w.dir.file("other").c_str(), 0755), 0);
    ASSERT_EQ(w.run({"MAIL.TXT", "other"}, std::nullopt,
                    {"TZ=America/New_York", "KESTREL_VAX_USERNAME=JONES", "KESTREL_TZ=-0500",
                     "KESTREL_DST=-0400", "KESTREL_DST_MTHS=Mar Sep"})
                  .exit_status,
              0);
    FormExport other =
        export_forms(w.dir.file("other/MAIL.MBX"), ExportForm::maildir, w.dir.file("Other"), {});
    std::vector<std::string> in_other = python_view(w, {"maildir", "Other"});
    EXPECT_NE(in_other[0], in_maildir[0]) << "the date lines differ";
    EXPECT_EQ(ids(in_other), ids(in_mbox));
    EXPECT_EQ(ids(in_mbox)[0], "<04d764a58661c607e5f1a2447e229650@kestrel-mbx.invalid>");
}

// The user's character set for 8-bit text that is no UTF-8: every position
// of each set decodes as Python's codecs do (the VAX's set as Latin-1 but
// for its five); UTF-8 stays UTF-8 whatever the choice; broken UTF-8, when
// the user names UTF-8, shows U+FFFD where it is broken.
TEST(MailboxExport, CharacterSetsAsPythonDecodesThem)
{
    REQUIRE_PYTHON();
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += static_cast<char>(b);
    Workspace w;
    w.put("MAIL.TXT",
          message("From:\tNODE1::SMITH 17-SEP-1996 07:05:23.33", {"Subj:\t\x81", "", high}) +
              message("From:\tNODE1::SMITH 17-SEP-1996 07:05:23.33",
                      {"Subj:\t\xC3\xBC", "", "\xE2\x82\xAC ok"}) +
              message("From:\tNODE1::SMITH 17-SEP-1996 07:05:23.33", {"Subj:\tx", "",
                                                                      "a\xE2\x82"
                                                                      "b\xC3"}));
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    struct Row {
        const char* charset; // of ExportOptions
        const char* codec;   // Python's
    };
    const Row rows[] = {{"", "latin-1"},    {"dec-mcs", "latin-1"}, {"latin1", "latin-1"},
                        {"cp437", "cp437"}, {"cp850", "cp850"},     {"utf-8", "utf-8"}};
    for (const Row& row : rows) {
        ExportOptions options;
        options.charset = row.charset;
        std::string problem;
        ASSERT_TRUE(export_options_valid(options, problem)) << problem;
        std::string name = std::string("OUT-") + row.charset;
        export_forms(w.dir.file("MAIL.MBX"), ExportForm::eml, w.dir.file(name), options);
        std::vector<std::string> bodies;
        std::vector<std::string> seen = python_view(
            w, {"eml", name + "/1001.eml", name + "/1002.eml", name + "/1003.eml"}, &bodies);
        expect_no_defects(seen);
        ASSERT_EQ(bodies.size(), 3u);
        std::string expected = python_view(w, {"codec", row.codec})[0];
        if (std::string(row.charset).empty() || std::string(row.charset) == "dec-mcs") {
            // A8, D7, DD, F7, FD in the VAX's set: each is two bytes of UTF-8
            // there as in Latin-1, four hex digits from (byte - 0x80) * 4.
            const std::pair<int, const char*> vax[] = {
                {0xA8, "c2a4"}, {0xD7, "c592"}, {0xDD, "c5b8"}, {0xF7, "c593"}, {0xFD, "c3bf"}};
            for (auto [byte, utf8] : vax)
                expected.replace(static_cast<std::size_t>(byte - 0x80) * 4, 4, utf8);
        }
        EXPECT_EQ(bodies[0], expected + "0a") << row.charset;
        if (std::string(row.charset) == "utf-8") {
            EXPECT_EQ(bodies[2], hex_of("a\uFFFDb\uFFFD\n"));
        }
        EXPECT_EQ(seen[0].substr(0, seen[0].find("|1996")).substr(seen[0].rfind("None|") + 5),
                  row.charset == std::string("cp437") || row.charset == std::string("cp850")
                      ? "\u00FC"
                  : std::string(row.charset) == "utf-8" ? "\uFFFD"
                                                        : "\u0081")
            << "the subject, decoded as the body";
        EXPECT_EQ(bodies[1], hex_of("\u20AC ok\n")) << row.charset;
    }
}

// A user name without a node is a user of the user's own node: the node at
// which others' messages reach the user (the user's name being the sender
// of the user's own messages), not one where others are reached, nor one
// to which the user sent; or the node that --node gives.
TEST(MailboxExport, TheUsersNodeFromOthersMessagesOrTheOption)
{
    REQUIRE_PYTHON();
    auto to = [](const std::string& from, const std::string& to, const std::string& cc) {
        return message("From:\t" + from + " 17-SEP-1996 07:05:23.33",
                       {"To:\t" + to, "CC:\t" + cc, "Subj:\tx", "", "text"});
    };
    Workspace w;
    w.put("MAIL.TXT", to("NODE7::KIM", "NODE1::SMITH", "") + to("NODE7::KIM", "NODE9::LEE", "") +
                          to("NODE7::KIM", "NODE9::LEE", "") +
                          to("SMITH", "JONES, NODE8::SMITH", "") +
                          to("MX%\"x@y.example\"", "SMITH", "MRGATE::\"NODE1::SMITH\"") +
                          to("SMITH", "NODE8::SMITH", ""));
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    auto addresses = [&](std::vector<std::string> arguments, std::size_t message) {
        ChildOptions o = mbx_options(w, std::move(arguments));
        o.environment = {"TZ=UTC"}; // the user's name from the mailbox alone
        ChildResult r = run_child(o);
        EXPECT_EQ(r.exit_status, 0) << r.errors;
        std::filesystem::remove(w.dir.file("OUT.mbox"));
        write_file(w.dir.file("OUT.mbox"), r.output);
        std::vector<std::string> seen = python_view(w, {"mbox", "OUT.mbox"});
        if (seen.size() <= message)
            return std::string("no message");
        std::string line = seen[message].substr(seen[message].find('|') + 1);
        std::size_t third = line.find('|', line.find('|', line.find('|') + 1) + 1);
        return line.substr(0, third);
    };
    EXPECT_EQ(addresses({"mbox", "MAIL.MBX"}, 3), "SMITH@NODE1|JONES@NODE1, SMITH@NODE8|None");
    EXPECT_EQ(addresses({"mbox", "MAIL.MBX"}, 4), "x@y.example|SMITH@NODE1|SMITH@NODE1");
    EXPECT_EQ(addresses({"mbox", "--node", "VAXB", "MAIL.MBX"}, 3),
              "SMITH@VAXB|JONES@VAXB, SMITH@NODE8|None");
    EXPECT_EQ(addresses({"mbox", "MAIL.MBX", "--node=VAXB", "--domain=example.org"}, 4),
              "x@y.example|SMITH@VAXB.example.org|"
              "\"MRGATE::\\\"NODE1::SMITH\\\"\"@VAXB.example.org");
}

// The node search parses each address it meets once and remembers it: many
// different addresses, some sharing a place in its tables, each keep their
// own count; those past its room, in a list or beside a quoted name, and in
// other capitals count as much.
TEST(MailboxExport, TheUsersNodeAmongManyAddresses)
{
    auto to = [](const std::string& from, const std::string& to) {
        return message("From:\t" + from + " 17-SEP-1996 07:05:23.33",
                       {"To:\t" + to, "CC:\t", "Subj:\tx", "", "text"});
    };
    std::string folder = to("SMITH", "NODE1::JONES");
    for (int n = 0; n < 600; ++n)
        folder += to("KIM", "P" + std::to_string(n) + "::SMITH") +
                  to("KIM", "P" + std::to_string(n) + "::SMITH");
    folder += to("KIM", "WIN::SMITH") + to("KIM", "P1::JONES,win::Smith") +
              to("KIM", "Win::SMITH \"Smith, J\", P1::JONES");
    Workspace w;
    w.put("MAIL.TXT", folder);
    ASSERT_EQ(w.run({"MAIL.TXT", "."}).exit_status, 0);
    ChildOptions o = mbx_options(w, {"mbox", "MAIL.MBX"});
    o.environment = {"TZ=UTC"};
    ChildResult r = run_child(o);
    ASSERT_EQ(r.exit_status, 0) << r.errors;
    EXPECT_NE(r.output.find("\nFrom: SMITH@WIN\n"), std::string::npos) << r.output.substr(0, 400);
}

// Options are checked before anything is written.
TEST(MailboxExport, OptionsChecked)
{
    struct Row {
        const char* domain;
        const char* charset;
        const char* problem;   // nullptr: valid
        const char* node = ""; // --node
    };
    const Row rows[] = {
        {"", "", nullptr},
        {"example.org", "cp850", nullptr},
        {"", "koi8", "unknown character set: koi8"},
        {"", "UTF-8", "unknown character set: UTF-8"},
        {"bad domain", "", "not a domain name: bad domain"},
        {".example", "", "not a domain name: .example"},
        {"a..b", "", "not a domain name: a..b"},
        {"", "", nullptr, "VAXB"},
        {"", "", "not a node name: VAX B", "VAX B"},
        {"", "", "not a node name: A::", "A::"},
    };
    for (const Row& row : rows) {
        ExportOptions options;
        options.domain = row.domain;
        options.charset = row.charset;
        options.node = row.node;
        std::string problem;
        EXPECT_EQ(export_options_valid(options, problem), row.problem == nullptr) << row.domain;
        EXPECT_EQ(problem, row.problem ? row.problem : "");
    }
}

// A mailbox file of these message texts, as one made elsewhere could be.
std::string mailbox_of(const std::vector<std::string>& texts)
{
    std::string records;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        auto size = static_cast<std::uint32_t>(texts[i].size());
        auto head = encode_record_header({static_cast<std::uint32_t>(i + 1), size + 17, size});
        records += std::string(head.begin(), head.end()) + texts[i] + '\0';
    }
    auto count = static_cast<std::uint32_t>(texts.size());
    auto head =
        encode_mailbox_header({count, count, static_cast<std::uint32_t>(84 + records.size())});
    return std::string(head.begin(), head.end()) + records;
}

// Numbers below a bound, the same from the same seed on every machine.
auto seeded_numbers(std::uint64_t state)
{
    return [state](std::size_t below) mutable {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::size_t>((state >> 33) % below);
    };
}

// Heads of random bytes from the characters the VMS forms are made of, and
// bodies of any bytes: every form is written whole, its head in ASCII with a
// Message-ID, and every From, To and CC address one that parses (run by the
// build with the address sanitizer, too).
TEST(MailboxExport, ArbitraryHeadsExportWhole)
{
    const std::string alphabet = "\"\"::,,<>%@!. \tAZaz09_$-\r\x80\xA8\xC3\xE2\xFF";
    auto next = seeded_numbers(42);
    auto field = [&](std::size_t length) {
        std::string text;
        for (std::size_t i = 0; i < length; ++i)
            text += alphabet[next(alphabet.size())];
        return text;
    };
    // First a head cut short by a line that is no header field: a client
    // reads the body from there, so the added headers go in front of it.
    std::vector<std::string> texts = {"From:\tA::B\r\nno field\r\nSubject: s\r\n\r\nbody \xE9\r\n"};
    // Then head lines longer than the export holds, one longer than a block
    // of the reader: each stays a header field of the head.
    const std::string long_line = "X-Long: " + std::string(70000, 'y');
    texts.push_back("From:\tA::B\r\n" + long_line + "\r\nSubject: s\r\n\r\nbody\r\n");
    // A head cut short by a "From " line: in an mbox it is quoted.
    texts.push_back("From:\tA::B\r\nFrom the VAX\r\n\r\nbody\r\n");
    for (int i = 0; i < 300; ++i) {
        std::string text = "From:\t" + field(next(40)) + "\r\nReceived: ; Tue, " +
                           std::to_string(next(40)) + " Sep 1996 " + field(8) + " " + field(5) +
                           "\r\nTo:\t" + field(next(60)) + "\r\nCC:\t" + field(next(30)) +
                           "\r\nSubject: " + field(next(80)) + "\r\n" + field(next(3)) + "\r\n";
        for (std::size_t k = next(200); k > 0; --k) {
            char c = static_cast<char>(next(255) + 1);
            text += c;
        }
        texts.push_back(text);
    }
    Workspace w;
    w.put("RANDOM.MBX", mailbox_of(texts));
    ExportOptions options;
    FormExport eml =
        export_forms(w.dir.file("RANDOM.MBX"), ExportForm::eml, w.dir.file("EML"), options);
    export_forms(w.dir.file("RANDOM.MBX"), ExportForm::maildir, w.dir.file("Maildir"), options);
    export_forms(w.dir.file("RANDOM.MBX"), ExportForm::mbox, w.dir.file("RANDOM.mbox"), options);
    ASSERT_EQ(eml.files.size(), texts.size());
    std::string cut = read_file(eml.files[0]);
    EXPECT_EQ(cut.rfind("From: B@A\r\nX-VMS-From:\tA::B\r\nDate: Thu, 1 Jan 1970 00:00:00 -0000\r\n"
                        "Message-ID: <",
                        0),
              0u)
        << cut;
    const std::string tail = "@kestrel-mbx.invalid>\r\nMIME-Version: 1.0\r\n"
                             "Content-Type: text/plain; charset=utf-8\r\n"
                             "Content-Transfer-Encoding: 8bit\r\n\r\n"
                             "no field\r\nSubject: s\r\n\r\nbody \xC3\xA9\r\n";
    EXPECT_EQ(cut.substr(cut.size() - std::min(cut.size(), tail.size())), tail);
    std::string long_head = read_file(eml.files[1]);
    EXPECT_LT(long_head.find("\r\n" + long_line + "\r\nSubject: s\r\n"),
              long_head.find("\r\n\r\n"));
    EXPECT_EQ(long_head.substr(long_head.find("\r\n\r\n")), "\r\n\r\nbody\r\n");
    EXPECT_NE(read_file(w.dir.file("RANDOM.mbox")).find("\n\n>From the VAX\n\nbody\n"),
              std::string::npos);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string bytes = read_file(eml.files[i]);
        std::string exported_head = bytes.substr(0, bytes.find("\r\n\r\n"));
        EXPECT_TRUE(std::all_of(exported_head.begin(), exported_head.end(),
                                [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            << i << "\n"
            << exported_head;
        EXPECT_NE(exported_head.find("\r\nMessage-ID: <"), std::string::npos) << i;
    }
    if (!python_installed())
        return;
    std::vector<std::string> seen = python_view(w, {"mbox", "RANDOM.mbox"});
    ASSERT_EQ(seen.size(), texts.size());
    for (const auto& line : seen) {
        std::string defects = line.substr(line.rfind('|') + 1);
        for (const char* name :
             {"From:", "To:", "CC:", "Date:", "Message-ID:", "MissingHeaderBodySeparatorDefect"})
            EXPECT_EQ(defects.find(name), std::string::npos) << line;
    }
}

// The export makes a value's addresses element by element, each kept for
// the messages after it: every From, To and CC header is the one the
// address reader makes of the whole value, whatever lists the elements
// came in before and from senders on whichever node.
TEST(MailboxExport, AddressesAsTheReaderMakesThemFromMessageToMessage)
{
    const std::vector<std::string> elements = {"NODE1::SMITH",
                                               "JONES",
                                               "HUB::NODE2::JONES",
                                               "NODE1::SMITH \"Al Smith\"",
                                               "IN%\"kim@host.example.edu\"",
                                               "MX%\"kim@host.example.edu\"  \"Kim Lee\"",
                                               "DELTA::MRGATE::\"A1::JONES\"",
                                               "MRGATE::\"A1::JONES\"",
                                               "UUGATE::\"decvax!ucbvax!kim\"",
                                               "@STAFF",
                                               "various...",
                                               "IN%\"a@b.example, Kim <c@d.example>\"",
                                               "NODE1::SMITH \"J\xC3\xBCrgen\"",
                                               "NODE9::LONG \"" + std::string(300, 'n') + "\""};
    const std::vector<std::string> senders = {
        "NODE1::SMITH",       "SMITH",         "NODE2::JONES \"Al Jones\"",
        "IN%\"a@b.example\"", "HUB::NODE3::X", "JONES"};
    // Many more, each coming back now and then: the export keeps so many
    // that some share a place and take each other's room.
    std::vector<std::string> pool;
    for (int k = 0; k < 600; ++k)
        pool.push_back(k % 3 == 0 ? "U" + std::to_string(k)
                                  : "N" + std::to_string(k % 37) + "::U" + std::to_string(k));
    auto next = seeded_numbers(7);
    auto list = [&](std::size_t most) {
        std::string value;
        for (std::size_t n = 1 + next(most); n > 0; --n)
            value += (next(2) ? elements[next(elements.size())] : pool[next(pool.size())]) +
                     (next(2) ? "," : ", ");
        return value.substr(0, value.size() - 1);
    };
    struct Sent {
        std::string from, to, cc;
    };
    std::vector<Sent> sent;
    std::vector<std::string> texts;
    for (int i = 0; i < 600; ++i) {
        Sent s{senders[next(senders.size())], list(i % 10 == 0 ? 25 : 4), list(2)};
        texts.push_back("From:\t" + s.from +
                        "\r\nReceived: ; Tue, 3 Sep 1996 10:00:00 +0000\r\nTo:\t" + s.to +
                        "\r\nCC:\t" + s.cc + "\r\nSubject: s\r\n\r\nbody\r\n");
        sent.push_back(s);
    }
    Workspace w;
    w.put("LISTS.MBX", mailbox_of(texts));
    auto header = [](const std::string& bytes, const std::string& name) {
        std::size_t at = bytes.find(name + ": ");
        std::size_t end = bytes.find("\r\nX-VMS-" + name + ":", at);
        if (at == std::string::npos || end == std::string::npos)
            return std::string("(none)");
        std::string value = bytes.substr(at + name.size() + 2, end - at - name.size() - 2);
        for (std::size_t cr = value.find("\r\n"); cr != std::string::npos; cr = value.find("\r\n"))
            value.erase(cr, 1);
        return value;
    };
    // Twice in one process, the second time with another domain and the
    // user on the node of ALL-IN-1's A1: nothing made for the first stays.
    for (const auto& [domain, user_node] : {std::pair{"d.org", "HOME"}, std::pair{"", "A1"}}) {
        SCOPED_TRACE(user_node);
        ExportOptions options;
        options.domain = domain;
        options.node = user_node;
        FormExport eml = export_forms(w.dir.file("LISTS.MBX"), ExportForm::eml,
                                      w.dir.file(std::string("EML-") + user_node), options);
        ASSERT_EQ(eml.files.size(), texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const std::string bytes = read_file(eml.files[i]);
            std::string_view node = sender_node(sent[i].from);
            if (node.empty())
                node = options.node;
            auto made = [&](const std::string& value, std::string_view at) {
                return address_list_text(vms_addresses(value, options.domain, at, options.node));
            };
            EXPECT_EQ(header(bytes, "From"), made(sent[i].from, options.node)) << i;
            EXPECT_EQ(header(bytes, "To"), made(sent[i].to, node)) << i << ": " << sent[i].to;
            EXPECT_EQ(header(bytes, "CC"), made(sent[i].cc, node)) << i << ": " << sent[i].cc;
        }
    }
}

// Mailboxes made elsewhere, in every form: a head line is one header
// whatever its length, a CR inside one (which a reader takes for a line
// end) sends it into the body, and no message has two From, To, CC, Date,
// Subject or Message-ID headers (the reader counts them as defects).
TEST(MailboxExport, ForeignHeadsAddNoHeader)
{
    const std::string long_text(20000, 'a');
    std::string addresses; // a VMS line of more than 16 KiB, as kestrel writes one
    while (addresses.size() < 20000)
        addresses += "NODE::USER" + std::to_string(addresses.size()) + ", ";
    addresses += "NODE::LAST";
    const std::string bcc = "\rBcc: someone@example.com\r\n";
    Workspace w;
    w.put(
        "FOREIGN.MBX",
        mailbox_of({"From:\tA::B\r\nSubject: " + long_text + bcc + "\r\nbody\r\n",
                    "From:\tA::B" + bcc + "Subject: s" + bcc + "\r\nbody\r\n",
                    "From:\t" + addresses + "\r\nTo:\t" + addresses + "\r\nCC:\t" + addresses +
                        "\r\nSubject: s\r\n\r\nbody\r\n",
                    "From:\tA::B\r\nDate: Mon, 4 Mar 1996 13:58:04 +0000\r\nTo:\tC::D\r\nto:\tE::F"
                    "\r\nCC: " +
                        long_text +
                        "\r\nSubject: one\r\nSUBJECT: two\r\nfrom: I::J\r\nDate:x"
                        "\r\ndate: " +
                        long_text + "\r\nMessage-Id: " + long_text + "\r\n\r\nbody\r\n",
                    "Subject: s\r\nFrom: A::B\r\nDate: " + long_text + "\r\n\r\nbody\r\n"}));
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"mbox", "FOREIGN.MBX", "OUT.mbox"},
                                               {"maildir", "FOREIGN.MBX", "MD"},
                                               {"eml", "FOREIGN.MBX", "EML"}})
        EXPECT_EQ(run_mbx(w, arguments).exit_status, 0) << arguments[0];
    // The long lines whole, each one header.
    const std::string mbox = read_file(w.dir.file("OUT.mbox"));
    for (const std::string& line :
         {"\nX-VMS-From:\t" + addresses + "\n", "\nX-VMS-CC:\t" + addresses + "\n",
          "\nX-VMS-CC: " + long_text + "\n", "\nX-VMS-date: " + long_text + "\n",
          "\nX-VMS-Message-Id: " + long_text + "\n", "\nX-VMS-Date: " + long_text + "\n"})
        EXPECT_NE(mbox.find(line), std::string::npos) << line.substr(0, 20);
    REQUIRE_PYTHON();
    std::vector<std::string> bodies;
    std::vector<std::string> in_mbox = python_view(w, {"mbox", "OUT.mbox"}, &bodies);
    ASSERT_EQ(in_mbox.size(), 5u);
    expect_no_defects(in_mbox);
    for (std::size_t i : {0, 1})
        EXPECT_NE(bodies[i].find(hex_of("Bcc: someone@example.com")), std::string::npos) << i;
    for (std::string& line : in_mbox)
        line.replace(0, line.find('|'), "-"); // the separator's sender
    EXPECT_EQ(python_view(w, {"maildir", "MD"}), in_mbox);
    std::vector<std::string> eml = {"eml"};
    for (const auto& name : TempDir::entries_of(w.dir.file("EML")))
        eml.push_back("EML/" + name);
    EXPECT_EQ(python_view(w, eml), in_mbox);
}

// A file system that loses a directory's files when it renames it (the
// FAT driver fusefat does, under the fault-injection build's rename as on
// a real FAT volume where fusefat works): a Maildir or .eml export is
// complete only when its files are seen under the final name, else it
// fails, says so and leaves nothing.
TEST(MailboxExport, RenameThatLosesTheFilesFails)
{
    if (target_is_windows())
        GTEST_SKIP() << "the fault-injection build and fusefat are Linux's";
    Workspace w;
    w.put("A.TXT", edge_folder);
    ASSERT_EQ(w.run({"A.TXT", "."}).exit_status, 0);
    const std::vector<std::string> before = w.tree();
    for (const std::string command : {"maildir", "eml"}) {
        ChildOptions o = mbx_options(w, {command, "A.MBX", "OUT"});
        o.binary = KESTREL_MBX_FAULTY_BINARY;
        o.environment.push_back("KESTREL_RENAME_LOSES_CONTENTS=1");
        ChildResult r = run_child(o);
        EXPECT_EQ(r.exit_status, 1) << command;
        EXPECT_EQ(r.errors, "kestrel-mbx: OUT: the file system lost 4 of the " +
                                std::string(command == "eml" ? "4" : "7") +
                                " entries written when the directory took its name\n");
        EXPECT_EQ(w.tree(), before) << command;
    }
    // The same on a FAT volume, where this machine can mount one.
    auto host = [&](const std::string& command) {
        return std::system(("cd '" + w.dir.path() +
                            "' && env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin TZ=UTC " + command +
                            " </dev/null >/dev/null 2>&1")
                               .c_str()) == 0;
    };
    if (!file_exists("/usr/bin/fusefat") || !file_exists("/usr/sbin/mkfs.vfat") ||
        !host("mkfs.vfat -C fat.img 8192 && mkdir fat && fusefat -o rw+ fat.img fat"))
        GTEST_SKIP() << "no FAT volume through fusefat here";
    struct Unmount {
        std::function<bool(const std::string&)> host;
        ~Unmount() { host("fusermount -u fat"); }
    } unmount{host};
    for (const std::string command : {"maildir", "eml"}) {
        ChildResult r = run_mbx(w, {command, "A.MBX", "fat/OUT"});
        if (r.exit_status == 0) { // a driver that keeps them
            std::size_t files = 0;
            for (const auto& entry :
                 std::filesystem::recursive_directory_iterator(w.dir.file("fat/OUT")))
                files += entry.is_regular_file();
            EXPECT_EQ(files, 4u) << command;
            std::filesystem::remove_all(w.dir.file("fat/OUT"));
        } else {
            EXPECT_EQ(r.exit_status, 1) << command;
            EXPECT_NE(r.errors.find(" entries written when the directory took its name\n"),
                      std::string::npos)
                << r.errors;
        }
        EXPECT_EQ(TempDir::entries_of(w.dir.file("fat")), std::vector<std::string>{}) << command;
    }
}

} // namespace

namespace {

std::string with_lf(std::string text)
{
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}

// The Maildir's message files sorted by name, which is the order they
// were written in, as a server sorts them to give them their UIDs.
std::vector<std::string> maildir_files(const Workspace& w, const std::string& maildir)
{
    std::vector<std::string> names = TempDir::entries_of(w.dir.file(maildir + "/cur"));
    std::sort(names.begin(), names.end());
    return names;
}

// Messages without the read state that only an mbox carries.
std::string without_status(std::string text)
{
    const std::string line = "\nStatus: RO";
    for (std::size_t at = text.find(line + "\n"); at != std::string::npos;
         at = text.find(line + "\n", at))
        text.erase(at + 1, line.size());
    for (std::size_t at = text.find(line + "\r\n"); at != std::string::npos;
         at = text.find(line + "\r\n", at))
        text.erase(at + 1, line.size() + 1);
    return text;
}

// The moment of a message's Date header, in seconds since 1970.
long long date_header_seconds(const std::string& text)
{
    std::size_t at = text.find("\nDate: ");
    std::tm fields{};
    if (at == std::string::npos ||
        !strptime(text.c_str() + at + 7, "%a, %d %b %Y %H:%M:%S %z", &fields))
        return -1;
    long offset = fields.tm_gmtoff;
    return static_cast<long long>(timegm(&fields)) - offset;
}

// Eleven messages of NEWMAIL, numbered in their subjects.
std::string numbered_folder()
{
    std::string folder;
    for (int n = 1; n <= 11; ++n)
        folder += message("From:\tNODE2::JONES  " + std::to_string(n) + "-SEP-1996 07:05:23.33",
                          {"Subj:\t" + std::to_string(n), "hello"});
    return folder;
}

// Two mailboxes into one mbox, a Maildir++ tree, a directory of mbox files
// and .eml files: every form holds the same messages in the same order, an
// mbox of both is the mbox of each one after the other, a Maildir file is
// an .eml file with LF line ends and no quoting, and Python reads them all.
// Each mailbox is said on standard error. Old mail is read but NEWMAIL's,
// and the Maildir names sort in the order of the messages, each file dated
// when its message was sent.
TEST(MailboxExport, SeveralMailboxesIntoMboxMaildirAndEml)
{
    Workspace w;
    w.put("A.TXT", edge_folder);
    w.put("B.TXT", simple_folder);
    w.put("NEWMAIL.TXT", numbered_folder());
    for (const char* folder : {"A.TXT", "B.TXT", "NEWMAIL.TXT"})
        ASSERT_EQ(w.run({folder, "."}).exit_status, 0);
    std::string a = run_mbx(w, {"mbox", "A.MBX"}).output;
    std::string b = run_mbx(w, {"mbox", "B.MBX"}).output;
    std::string newmail = run_mbx(w, {"mbox", "NEWMAIL.MBX"}).output;
    const struct {
        std::vector<std::string> arguments;
        std::string said;
    } runs[] = {
        {{"mbox", "A.MBX", "B.MBX", "AB.mbox"},
         "A.MBX: 4 messages -> AB.mbox\nB.MBX: 1 message -> AB.mbox\n"},
        {{"maildir", "A.MBX", "B.MBX", "NEWMAIL.MBX", "MD" + sep},
         "A.MBX: 4 messages -> MD/.A\nB.MBX: 1 message -> MD/.B\n"
         "NEWMAIL.MBX: 11 messages -> MD/.NEWMAIL\n"},
        {{"maildir", "--unread", "B.MBX", "--folders", "UNREAD"},
         "B.MBX: 1 message -> UNREAD/.B\n"},
        {{"mbox", "--folders", "A.MBX", "NEWMAIL.MBX", "MB"},
         "A.MBX: 4 messages -> MB/A.mbox\nNEWMAIL.MBX: 11 messages -> MB/NEWMAIL.mbox\n"},
        {{"eml", "A.MBX", "EML"}, "A.MBX: 4 messages -> EML\n"},
        {{"eml", "--charset", "latin1", "B.MBX", "EML2"}, "B.MBX: 1 message -> EML2\n"},
        {{"eml", "B.MBX", "--domain=vax.example.org", "EML3"}, "B.MBX: 1 message -> EML3\n"}};
    for (const auto& run : runs) {
        ChildResult r = run_mbx(w, run.arguments);
        EXPECT_EQ(r.exit_status, 0) << run.arguments[0] << ": " << r.errors;
        EXPECT_EQ(r.output + r.errors, run.said);
    }
    EXPECT_EQ(read_file(w.dir.file("AB.mbox")), a + b);
    EXPECT_EQ(TempDir::entries_of(w.dir.file("MB")),
              (std::vector<std::string>{"A.mbox", "NEWMAIL.mbox"}));
    EXPECT_EQ(read_file(w.dir.file("MB/A.mbox")), a);
    EXPECT_EQ(read_file(w.dir.file("MB/NEWMAIL.mbox")), newmail);
    EXPECT_EQ(run_mbx(w, {"mbox", "--unread", "A.MBX"}).output, without_status(a));
    std::vector<std::string> texts = read_back_mbox(a + b);
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(TempDir::entries_of(w.dir.file("MD")),
              (std::vector<std::string>{".A", ".B", ".NEWMAIL", "cur", "new", "tmp"}));
    for (const char* folder : {"", "/.A", "/.B", "/.NEWMAIL"})
        for (const char* part : {"/new", "/tmp", folder[0] ? "/new" : "/cur"})
            EXPECT_EQ(TempDir::entries_of(w.dir.file("MD"s + folder + part)),
                      std::vector<std::string>{})
                << folder << part;
    std::vector<std::string> in_maildir = maildir_files(w, "MD/.A");
    in_maildir.push_back("../../.B/cur/" + maildir_files(w, "MD/.B").at(0));
    ASSERT_EQ(in_maildir.size(), 5u);
    EXPECT_EQ(TempDir::entries_of(w.dir.file("EML")),
              (std::vector<std::string>{"0001.eml", "0002.eml", "0003.eml", "0004.eml"}));
    EXPECT_EQ(TempDir::entries_of(w.dir.file("EML2")), std::vector<std::string>{"0001.eml"});
    const std::string info = target_is_windows() ? ";2," : ":2,";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string maildir_text = read_file(w.dir.file("MD/.A/cur/" + in_maildir[i]));
        EXPECT_EQ(maildir_text, with_lf(without_status(texts[i]))) << "message " << i + 1;
        std::string eml = i < 4 ? "EML/000" + std::to_string(i + 1) : "EML2/0001";
        EXPECT_EQ(read_file(w.dir.file(eml + ".eml")), without_status(texts[i]))
            << "message " << i + 1;
    }
    // NEWMAIL's eleven, in order by name, each dated when it was sent.
    std::vector<std::string> unread = maildir_files(w, "MD/.NEWMAIL");
    ASSERT_EQ(unread.size(), 11u);
    for (std::size_t i = 0; i < unread.size(); ++i) {
        SCOPED_TRACE(unread[i]);
        const std::string path = w.dir.file("MD/.NEWMAIL/cur/" + unread[i]);
        std::string text = read_file(path);
        EXPECT_NE(text.find("\nSubject: " + std::to_string(i + 1) + "\n"), std::string::npos);
        struct stat status {};
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(static_cast<long long>(status.st_mtime), date_header_seconds(text));
    }
    // The options reach the messages.
    EXPECT_NE(read_file(w.dir.file("EML3/0001.eml")).find("JONES@NODE2.vax.example.org"),
              std::string::npos);
    // Python reads the same messages in every form, the same folders and
    // the same read state.
    REQUIRE_PYTHON();
    std::vector<std::string> in_mbox = python_view(w, {"mbox", "AB.mbox"});
    for (std::string& line : in_mbox)
        line.replace(0, line.find('|'), "-"); // the separator's sender
    ASSERT_EQ(in_mbox.size(), 5u);
    expect_no_defects(in_mbox);
    std::vector<std::string> in_tree = python_view(w, {"maildir", "MD/.A"});
    for (const auto& line : python_view(w, {"maildir", "MD/.B"}))
        in_tree.push_back(line);
    EXPECT_EQ(in_tree, in_mbox);
    EXPECT_EQ(python_view(w, {"eml", "EML/0001.eml", "EML/0002.eml", "EML/0003.eml", "EML/0004.eml",
                              "EML2/0001.eml"}),
              in_mbox);
    std::vector<std::string> flags;
    EXPECT_EQ(
        python_view(w, {"flags", info.substr(0, 1), "MD", "UNREAD", "MB/A.mbox", "MB/NEWMAIL.mbox"},
                    &flags),
        (std::vector<std::string>{"A|4", "B|1", "NEWMAIL|11", "B|1", "A.mbox|4",
                                  "NEWMAIL.mbox|11"}));
    EXPECT_EQ(flags, (std::vector<std::string>{"S,S,S,S", "S", std::string(10, ','), "",
                                               "RO,RO,RO,RO", std::string(10, ',')}));
}

// A real IMAP server reads the Maildir++ tree: dovecot, run as an ordinary
// user on the workspace, lists a folder per mailbox, gives the messages
// UIDs in the mailbox's order, takes each file's date as the message's
// arrival (INTERNALDATE: its sending date) and shows old mail \Seen, but
// NEWMAIL's.
TEST(MailboxExport, DovecotReadsTheMaildirTree)
{
    const std::string imap = "/usr/lib/dovecot/imap";
    if (target_is_windows())
        GTEST_SKIP() << "a Windows Maildir's names carry ';' where dovecot reads ':'";
    if (!file_exists(imap))
        GTEST_SKIP() << "dovecot is not installed (" << imap << "): dovecot-imapd";
    if (geteuid() != 0)
        GTEST_SKIP() << "dovecot is started as user nobody, which needs root";
    Workspace w;
    w.put("A.TXT", edge_folder);
    w.put("B.TXT", simple_folder);
    w.put("NEWMAIL.TXT", numbered_folder());
    for (const char* folder : {"A.TXT", "B.TXT", "NEWMAIL.TXT"})
        ASSERT_EQ(w.run({folder, "."}).exit_status, 0);
    ASSERT_EQ(run_mbx(w, {"maildir", "A.MBX", "B.MBX", "NEWMAIL.MBX", "MD"}).exit_status, 0);
    // The server's own files in the workspace, everything the user's.
    const std::string home = w.dir.file("imap");
    std::filesystem::create_directories(home + "/home");
    w.put("imap/dovecot.conf", "protocols = imap\nssl = no\n"
                               "namespace inbox {\n  inbox = yes\n  separator = /\n}\n");
    w.put("imap/session", "l LIST \"\" \"*\"\n"
                          "s0 SELECT A\nf0 UID FETCH 1:* (FLAGS INTERNALDATE ENVELOPE)\n"
                          "s1 SELECT B\nf1 UID FETCH 1:* (FLAGS INTERNALDATE ENVELOPE)\n"
                          "s2 SELECT NEWMAIL\nf2 UID FETCH 1:* (FLAGS INTERNALDATE ENVELOPE)\n"
                          "z LOGOUT\n");
    std::filesystem::permissions(w.dir.path(), std::filesystem::perms(0755));
    for (const std::string& top : {home, w.dir.file("MD")}) {
        ASSERT_EQ(chown(top.c_str(), 65534, 65534), 0);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(top))
            ASSERT_EQ(chown(entry.path().c_str(), 65534, 65534), 0);
    }
    // The server wants a pipe for its input, not a file.
    ChildOptions o = w.options({"-c",
                                "/bin/cat \"$0\" | \"$@\"",
                                home + "/session",
                                "/usr/bin/setpriv",
                                "--reuid=65534",
                                "--regid=65534",
                                "--clear-groups",
                                "/usr/bin/env",
                                "USER=nobody",
                                "HOME=" + home + "/home",
                                "TZ=UTC",
                                imap,
                                "-c",
                                home + "/dovecot.conf",
                                "-o",
                                "mail_location=maildir:" + w.dir.file("MD") + ":LAYOUT=maildir++",
                                "-o",
                                "log_path=/dev/null",
                                "-o",
                                "base_dir=" + home + "/run",
                                "-o",
                                "state_dir=" + home + "/state"},
                               std::nullopt, {"TZ=UTC", "PATH=/usr/bin:/bin"});
    o.binary = "/bin/sh";
    o.host_program = true;
    o.time_limit = 60;
    ChildResult r = run_child(o);
    ASSERT_EQ(r.exit_status, 0) << r.output << r.errors;
    std::set<std::string> listed;
    std::map<int, std::vector<std::smatch>> fetched;
    const std::regex list_line(R"(\* LIST \([^)]*\) "/" (\S+)\r?)");
    const std::regex fetch_line(R"re(\* \d+ FETCH \(UID (\d+) FLAGS \(([^)]*)\) )re"
                                R"re(INTERNALDATE "([^"]+)" ENVELOPE \("[^"]*" (NIL|"[^"]*"))re");
    std::istringstream in(r.output);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    int folder = -1;
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, list_line))
            listed.insert(m[1]);
        else if (line.size() > 3 && line[0] == 's' && line.substr(2, 3) == " OK")
            folder = line[1] - '0';
        else if (line.size() > 3 && line[0] == 's' && line.substr(2, 3) != " OK")
            ADD_FAILURE() << line;
        else if (std::regex_search(line, m, fetch_line))
            fetched[folder].push_back(m);
    }
    EXPECT_EQ(listed, (std::set<std::string>{"A", "B", "INBOX", "NEWMAIL"})) << r.output;
    const char* folders[] = {"A", "B", "NEWMAIL"};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(folders[k]);
        std::vector<std::string> files = maildir_files(w, "MD/."s + folders[k]);
        ASSERT_EQ(fetched[k].size(), files.size()) << r.output;
        long previous_uid = 0;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::smatch& m = fetched[k][i];
            std::string text = read_file(w.dir.file("MD/."s + folders[k] + "/cur/" + files[i]));
            EXPECT_GT(std::stol(m[1]), previous_uid);
            previous_uid = std::stol(m[1]);
            // The subject shows that UID order is the order of the names,
            // which is the mailbox's.
            std::size_t at = text.find("\nSubject: ");
            std::string subject =
                at == std::string::npos
                    ? "NIL"
                    : "\"" + text.substr(at + 10, text.find('\n', at + 1) - at - 10) + "\"";
            EXPECT_EQ(m[4].str(), subject) << "message " << i + 1;
            std::tm arrival{};
            ASSERT_TRUE(strptime(m[3].str().c_str(), "%d-%b-%Y %H:%M:%S %z", &arrival));
            EXPECT_EQ(static_cast<long long>(timegm(&arrival)) - arrival.tm_gmtoff,
                      date_header_seconds(text))
                << m[3];
            bool seen = m[2].str().find("\\Seen") != std::string::npos;
            EXPECT_EQ(seen, k != 2) << m[2];
        }
    }
}

// A body copied a run of lines at a time, with the reader's and the output's
// blocks ending anywhere in it: at every place of a run of "From " and
// ">From " lines, a CR before the CR LF and a line start cut after "Fr", the
// mbox and the Maildir file give the text back; also with lines ended by LF
// alone, whose quoting ">" finds no room left by a CR.
TEST(MailboxExport, BodiesAcrossBlockEdges)
{
    const std::string head = "From:\tA::B\r\nSubject: s\r\n\r\n";
    for (std::string run : {"From a\r\n>From b\r\nx\r\r\nFr\r\n>\r\n", "From a\n>From b\nx\n"}) {
        // What the mbox gives back: each LF of the exported text as CR LF.
        std::string run_back;
        for (char c : with_lf(run))
            run_back += c == '\n' ? "\r\n" : std::string(1, c);
        for (std::size_t shift = 0; shift < run.size(); ++shift) {
            std::string body = std::string(shift, 'p'), lf_body = body, back_body = body;
            while (body.size() < output_block_size * 3 / 2) {
                body += run;
                lf_body += with_lf(run);
                back_body += run_back;
            }
            Workspace w;
            w.put("M.MBX", mailbox_of({head + body}));
            ExportOptions options;
            export_forms(w.dir.file("M.MBX"), ExportForm::mbox, w.dir.file("M.mbox"), options);
            FormExport maildir =
                export_forms(w.dir.file("M.MBX"), ExportForm::maildir, w.dir.file("MD"), options);
            std::vector<std::string> back = read_back_mbox(read_file(w.dir.file("M.mbox")));
            ASSERT_EQ(back.size(), 1u);
            EXPECT_TRUE(back[0].substr(back[0].find("\r\n\r\n") + 4) == back_body) << shift;
            std::string file = read_file(maildir.files.at(0));
            EXPECT_TRUE(file.substr(file.find("\n\n") + 2) == lf_body) << shift;
        }
    }
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
    // Three mailboxes make a tree of Maildirs, or of mbox files with
    // --folders.
    const struct {
        int signal;
        const char* command;
        bool folders = false;
    } cases[] = {{SIGINT, "mbox"},       {SIGTERM, "mbox"},      {SIGKILL, "mbox"},
                 {SIGINT, "mbox", true}, {SIGHUP, "mbox", true}, {SIGINT, "maildir"},
                 {SIGHUP, "maildir"},    {SIGTERM, "eml"},       {SIGKILL, "eml"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + (c.folders ? " --folders, " : ", ") +
                     strsignal(c.signal));
        std::vector<std::string> mailboxes(3, "MAIL.MBX");
        ChildOptions o = mbx_options(w, {c.command});
        if (c.folders)
            o.arguments.push_back("--folders");
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
        // The notice goes to standard error: on standard output it would
        // end an mbox written there as the last message's text.
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(r.errors, c.signal == SIGKILL ? "" : "\nInterrupted\n");
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
// taken name, the close of a mailbox that was only read, a read made
// beside the work, which the export makes again itself), with the whole
// output. C.MBX is large enough for blocks read and written beside the
// work.
TEST(MailboxExport, EveryFailingCallLeavesNothingOrTheWholeOutput)
{
    if (target_is_windows())
        GTEST_SKIP() << "the fault-injection build is that of Linux";
    Workspace w;
    w.put("A.TXT", edge_folder);
    w.put("B.TXT", simple_folder);
    ChildOptions g = w.options({"--output", w.dir.file("C.TXT"), "--size", "900K", "--seed", "3"});
    g.binary = GENERATE_FOLDER_BINARY;
    g.host_program = true;
    ASSERT_EQ(run_child(g).exit_status, 0);
    for (const char* folder : {"A.TXT", "B.TXT", "C.TXT"})
        ASSERT_EQ(w.run({folder, "."}).exit_status, 0);
    const std::vector<std::string> inputs = w.dir.entries();
    std::set<std::string> calls_failed;
    // The last run makes its mbox as on a file system without unnamed
    // files: under a temporary name until it is complete.
    const std::vector<std::vector<std::string>> runs = {
        {"mbox", "A.MBX", "B.MBX", "OUT"},
        {"maildir", "A.MBX", "B.MBX", "OUT"},
        {"mbox", "--folders", "A.MBX", "B.MBX", "OUT"},
        {"maildir", "B.MBX", "OUT"},
        {"eml", "A.MBX", "OUT"},
        {"mbox", "C.MBX", "OUT"},
        {"mbox", "B.MBX", "OUT"}};
    for (const std::vector<std::string>& arguments : runs) {
        const bool unnamed_refused = &arguments == &runs.back();
        const bool large = arguments[1] == "C.MBX";
        SCOPED_TRACE(arguments[0] + (unnamed_refused ? " without unnamed files" : ""));
        ChildResult whole_run = run_mbx(w, arguments);
        ASSERT_EQ(whole_run.exit_status, 0);
        const std::string whole = output_digest(w, "OUT");
        std::filesystem::remove_all(w.dir.file("OUT"));
        for (long n = 1; n < 1000 && !::testing::Test::HasFailure(); ++n) {
            SCOPED_TRACE("failing call " + std::to_string(n));
            ChildOptions o = mbx_options(w, arguments);
            o.binary = KESTREL_MBX_FAULTY_BINARY;
            o.environment.push_back("KESTREL_FAULT_AT=" + std::to_string(n));
            o.environment.push_back("KESTREL_FAULT_COUNT=" + w.side.file("count"));
            if (unnamed_refused)
                o.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
            std::filesystem::remove(w.side.file("count"));
            ChildResult r = run_child(o);
            std::istringstream count(read_file(w.side.file("count")));
            long calls = 0;
            std::string call;
            count >> calls >> call;
            SCOPED_TRACE("the call was " + call);
            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(r.output, "");
            if (call == "set_modification_time") {
                // A file system that keeps no dates costs the arrival dates
                // only, and says so.
                calls_failed.insert(call);
                EXPECT_EQ(r.exit_status, 0);
                EXPECT_NE(r.errors.find(" message files show the day of the export, not their "
                                        "sending date, as their arrival: the file system "
                                        "refused the date (Input/output error)\n"),
                          std::string::npos)
                    << r.errors;
                EXPECT_EQ(output_digest(w, "OUT"), whole);
                std::filesystem::remove_all(w.dir.file("OUT"));
                continue;
            }
            if (call == "-" || r.exit_status == 0) {
                EXPECT_TRUE(call == "-" || call == "entry_exists" || call == "close_discarded" ||
                            (large && call == "read_at"));
                EXPECT_EQ(r.exit_status, 0);
                EXPECT_EQ(r.errors, whole_run.errors);
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
    for (const char* call : {"open_read_at_once", "file_status", "read_at", "create_uncommitted",
                             "write", "sync", "commit_name", "sync_directory", "close",
                             "make_directory", "create_new", "rename_new", "set_modification_time"})
        EXPECT_EQ(calls_failed.count(call), 1u) << call;
}

} // namespace
