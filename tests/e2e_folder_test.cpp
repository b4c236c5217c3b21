// kestrel-folder on folders with known faults at known lines: check lists
// them as the converter would meet them, and the first one it lists is the
// line that the converter names; repair mends what it can, copies every
// other byte, and its copy converts into the mailbox that the folder would
// have given had the VAX written every date in full.
#include "tests/e2e_helpers.hpp"

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;
using namespace std::string_literals;

namespace {

ChildResult run_folder(Workspace& w, std::vector<std::string> arguments,
                       std::vector<std::string> environment = standard_environment,
                       long size_limit = -1)
{
    ChildOptions o = w.options(std::move(arguments), std::nullopt, std::move(environment));
    o.binary = kestrel_folder_binary();
    o.file_size_limit = size_limit;
    return w.run_with(o); // standard error with LF line ends on Windows too
}

// The checks of every run: exit status, exact output and errors; the
// directory afterwards holds its inputs, unchanged, the files `created`,
// and nothing else.
void expect_folder_run(const Workspace& w, const ChildResult& result, int status,
                       const std::string& output, const std::string& errors = "",
                       std::vector<std::string> created = {})
{
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, status);
    EXPECT_EQ(result.output, output);
    EXPECT_EQ(result.errors, errors);
    created.insert(created.end(), w.before.begin(), w.before.end());
    std::sort(created.begin(), created.end());
    EXPECT_EQ(w.tree(), created);
    for (const auto& [name, bytes] : w.inputs)
        EXPECT_TRUE(file_exists(w.dir.file(name)) && read_file(w.dir.file(name)) == bytes)
            << name << " changed";
}

// A message's "From:" line as it stands, and as the VAX would have written
// it with the full date; `full` is empty when no mend makes it convert.
struct Sender {
    std::string from, full, what, change;
};

const std::string gateway = "From:\tGATE::\"" + std::string(3000, 'g') + "\"";

const Sender valid = {"From:\tNODE1::SMITH  4-MAR-1996 13:58:04.09",
                      "From:\tNODE1::SMITH  4-MAR-1996 13:58:04.09", "", ""};
const Sender old_form = {"From:\tVAXUUM::DYER \"F\" 15-JAN-1985 11:31",
                         "From:\tVAXUUM::DYER \"F\" 15-JAN-1985 11:31:00.00",
                         "old date form without seconds; repair mends it",
                         "\"15-JAN-1985 11:31\" -> \"15-JAN-1985 11:31:00.00\""};
const Sender old_blanks = {"From:\tMAILER         30-OCT-1985 10:58 \t",
                           "From:\tMAILER         30-OCT-1985 10:58:00.00",
                           "old date form without seconds; blanks or tabs after the date; "
                           "repair mends it",
                           "\"30-OCT-1985 10:58 \\t\" -> \"30-OCT-1985 10:58:00.00\""};
const Sender old_one_digit = {"From:\tRANI::SMITH          9-JAN-1985 13:54",
                              "From:\tRANI::SMITH          9-JAN-1985 13:54:00.00",
                              "old date form without seconds; repair mends it",
                              "\" 9-JAN-1985 13:54\" -> \" 9-JAN-1985 13:54:00.00\""};
const Sender leading_zero = {"From:\tNODE1::JONES  04-MAR-1996 13:58:04.09",
                             "From:\tNODE1::JONES   4-MAR-1996 13:58:04.09",
                             "day written with a leading zero; repair mends it",
                             "\"04-MAR-1996 13:58:04.09\" -> \" 4-MAR-1996 13:58:04.09\""};
const Sender small_month = {"From:\tNODE1::JONES  17-sep-1996 07:05:23.33",
                            "From:\tNODE1::JONES  17-SEP-1996 07:05:23.33",
                            "month not in capitals; repair mends it",
                            "\"17-sep-1996 07:05:23.33\" -> \"17-SEP-1996 07:05:23.33\""};
const Sender long_old = {gateway + " 20-JUL-1989 17:12", gateway + " 20-JUL-1989 17:12:00.00",
                         "old date form without seconds; repair mends it",
                         "\"20-JUL-1989 17:12\" -> \"20-JUL-1989 17:12:00.00\""};
const Sender year_1977 = {"From:\tNODE1::SMITH  17-SEP-1977 07:05:23.33", "",
                          "year 1977 is before 1978; repair cannot mend it", ""};

// The folder's lines: each message a form-feed line, its "From:" line and
// five more, one of them a "From:" line that starts no message, and in the
// second message a form feed followed by another line and then a "From:"
// line.
std::vector<std::string> folder_lines(const std::vector<Sender>& senders, bool full)
{
    std::vector<std::string> lines = {"text in front of the first message"};
    for (std::size_t i = 0; i < senders.size(); ++i) {
        lines.push_back("\f");
        lines.push_back(full ? senders[i].full : senders[i].from);
        for (const char* line :
             {"To:\tSMITH", "Subj:\tabout it", "", "From:\tno start 01-jan-85", "body"})
            lines.push_back(line);
        if (i == 1) {
            lines.push_back("\f");
            lines.push_back("page two");
            lines.push_back("From:\tstill no start 01-jan-85");
        }
    }
    return lines;
}

// The line numbers of the messages' "From:" lines.
std::vector<int> from_line_numbers(const std::vector<Sender>& senders)
{
    std::vector<int> numbers;
    std::vector<std::string> lines = folder_lines(senders, false);
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines[i - 1] == "\f" && lines[i].rfind("From:\t", 0) == 0)
            numbers.push_back(static_cast<int>(i) + 1);
    return numbers;
}

enum class Bytes { lf, crlf, sprinkled };

// The lines as a file: LF or CR LF line ends, or NUL and Ctrl-Z bytes at
// the start and the end of every line, which the reading leaves out.
std::string folder_file(const std::vector<std::string>& lines, Bytes bytes)
{
    std::string file;
    for (const auto& line : lines) {
        if (bytes == Bytes::sprinkled)
            file += "\0"s + line + "\x1A\n";
        else
            file += line + (bytes == Bytes::crlf ? "\r\n" : "\n");
    }
    return file;
}

const Bytes all_bytes[] = {Bytes::lf, Bytes::crlf, Bytes::sprinkled};

// The system's reason for a missing file, as each platform words it.
const std::string not_found = target_is_windows() ? "File not found" : "No such file or directory";

TEST(EndToEndFolder, CheckListsEveryProblemAndTheConverterMeetsTheFirst)
{
    const std::vector<Sender> senders = {valid,        old_form,    old_blanks, year_1977,
                                         leading_zero, small_month, long_old,   old_one_digit};
    const std::vector<int> at = from_line_numbers(senders);
    std::string listed;
    for (std::size_t i = 0; i < senders.size(); ++i)
        if (!senders[i].what.empty())
            listed += "MAIL.TXT:" + std::to_string(at[i]) + ": " + senders[i].what + "\n";
    for (Bytes bytes : all_bytes) {
        Workspace w;
        w.put("MAIL.TXT", folder_file(folder_lines(senders, false), bytes));
        expect_folder_run(w, run_folder(w, {"check", "MAIL.TXT"}), 1,
                          listed +
                              "MAIL.TXT: 8 messages (2 yours), sent 1985-01-09 to 1996-09-17, 7 "
                              "problems (6 repairable)\n");
        expect_run(w, w.run({"MAIL.TXT"}), 1,
                   "\nProcessing MAIL.TXT -> From: line " + std::to_string(at[1]) +
                       " in file has invalid VAX date/time\n>" + old_form.from + "<\n");
    }
}

TEST(EndToEndFolder, RepairedCopyConvertsAsTheFullDatesWould)
{
    const std::vector<Sender> senders = {old_form,     valid,       old_blanks, old_one_digit,
                                         leading_zero, small_month, long_old};
    const std::vector<int> at = from_line_numbers(senders);
    for (Bytes bytes : all_bytes) {
        Workspace w;
        w.put("MAIL.TXT", folder_file(folder_lines(senders, false), bytes));
        w.put("FULL.TXT", folder_file(folder_lines(senders, true), bytes));
        std::string changes;
        for (std::size_t i = 0; i < senders.size(); ++i)
            if (!senders[i].change.empty())
                changes += "MAIL.TXT:" + std::to_string(at[i]) + ": " + senders[i].change + "\n";
        expect_folder_run(w, run_folder(w, {"repair", "MAIL.TXT", "COPY.TXT"}), 0,
                          changes + "COPY.TXT: 7 messages (2 yours), sent 1985-01-09 to "
                                    "1996-09-17, ok\n",
                          "", {"COPY.TXT"});
        EXPECT_EQ(read_file(w.dir.file("COPY.TXT")), read_file(w.dir.file("FULL.TXT")));
        expect_run(w, w.run({"COPY.TXT"}), 0, "\nProcessing COPY.TXT -> file COPY.MBX created\n");
        expect_run(w, w.run({"FULL.TXT"}), 0, "\nProcessing FULL.TXT -> file FULL.MBX created\n");
        EXPECT_EQ(mailbox_texts(w.dir.file("COPY.MBX")), mailbox_texts(w.dir.file("FULL.MBX")));
        EXPECT_EQ(mailbox_texts(w.dir.file("COPY.MBX")).size(), senders.size());
    }
}

// Several folders in one run, each with its summary; the status is 0 only
// when every one would convert. Files that cannot be read are said on
// standard error.
TEST(EndToEndFolder, CheckStatusesAndSummaries)
{
    const std::string good = folder_file(folder_lines({valid, valid}, false), Bytes::lf);
    const std::string fixable = folder_file(folder_lines({old_form}, false), Bytes::lf);
    const std::string no_message = "no form feed\nFrom:\tNODE1::SMITH  4-MAR-1996 13:58:04.09\n";
    const std::string no_message_line =
        "EMPTY.TXT: no message in the file (no form-feed line followed by a \"From:\" line with "
        "a TAB); repair cannot mend it\n";
    const std::string summary_good = "GOOD.TXT: 2 messages (2 yours), sent 1996-03-04 to "
                                     "1996-03-04, ok\n";
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> environment;
        int status;
        std::string output, errors;
    } cases[] = {
        {{"check", "GOOD.TXT"}, standard_environment, 0, summary_good, ""},
        {{"check", "GOOD.TXT", "OLD.TXT"},
         standard_environment,
         1,
         summary_good + "OLD.TXT:3: " + old_form.what +
             "\nOLD.TXT: 1 message (0 yours), sent 1985-01-15 to 1985-01-15, 1 problem (1 "
             "repairable)\n",
         ""},
        {{"check", "EMPTY.TXT", "GOOD.TXT"},
         standard_environment,
         1,
         no_message_line + "EMPTY.TXT: 0 messages (0 yours), 1 problem (0 repairable)\n" +
             summary_good,
         ""},
        {{"check", "NONE.TXT", "GOOD.TXT"},
         standard_environment,
         1,
         summary_good,
         "kestrel-folder: NONE.TXT: " + not_found + "\n"},
        // The settings: warnings that never fail the check.
        {{"check", "GOOD.TXT"},
         {"TZ=UTC"},
         0,
         "GOOD.TXT: 2 messages, sent 1996-03-04 to 1996-03-04, ok\n",
         "kestrel-folder: warning: KESTREL_VAX_USERNAME is not set: kestrel does not run without "
         "it, and your own messages are not counted\n"},
        {{"check", "GOOD.TXT"},
         {"TZ=UTC", "KESTREL_VAX_USERNAME=SMITH", "KESTREL_TZ=America/New_York", "kestrel_dst=EDT",
          "KESTREL_DST_MTHS=APR MAY jun"},
         0,
         summary_good,
         "kestrel-folder: warning: KESTREL_TZ is \"America/New_York\", cut to \"America/Ne\", not "
         "a numeric offset such as -0500: the date lines of messages sent outside "
         "KESTREL_DST_MTHS end in \"America/Ne\"\n"
         "kestrel-folder: warning: KESTREL_DST is \"EDT\", not a numeric offset such as -0500: "
         "the date lines of messages sent in KESTREL_DST_MTHS end in \"EDT\"\n"
         "kestrel-folder: warning: KESTREL_DST_MTHS \"APR MAY jun\" holds no month name written "
         "as Jul: no message gets the zone of KESTREL_DST\n"},
        {{"check", "GOOD.TXT"},
         {"TZ=UTC", "KESTREL_VAX_USERNAME=SMITH", "KESTREL_TZ=-0500", "KESTREL_DST=+1030",
          "KESTREL_DST_MTHS="},
         0,
         summary_good,
         ""},
        {{"check", "GOOD.TXT"},
         {"TZ=UTC", "KESTREL_VAX_USERNAME=SMITH", "KESTREL_DST=+0100 "},
         0,
         summary_good,
         "kestrel-folder: warning: KESTREL_DST is \"+0100 \", not a numeric offset such as -0500: "
         "the date lines of messages sent in KESTREL_DST_MTHS end in \"+0100 \"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments) + testing::PrintToString(c.environment));
        Workspace w;
        w.put("GOOD.TXT", good);
        w.put("OLD.TXT", fixable);
        w.put("EMPTY.TXT", no_message);
        expect_folder_run(w, run_folder(w, c.arguments, c.environment), c.status, c.output,
                          c.errors);
    }
}

// Folders of messages that came through mail gateways, each with the
// internet's header at the top of its body: the VAX's date against the
// internet Date tells the VAX's zone. The differences, in minutes: -196 and
// -175 (delays of 44 and 65 minutes), -295 (EST written in August), +1057
// (a forwarded message), -166 and -240 fit -0400; four messages carry no
// date that counts. The winter folder's three fit -0500.
std::string gateway_file(const std::vector<std::vector<std::string>>& messages,
                         Bytes bytes = Bytes::lf)
{
    std::vector<std::string> lines;
    for (const auto& message : messages) {
        lines.push_back("\f");
        lines.insert(lines.end(), message.begin(), message.end());
    }
    return folder_file(lines, bytes);
}

const std::vector<std::vector<std::string>> summer_messages = {
    {"From:\tRELAY::MRGATE!JONES%ALPHA.EXAMPLE.EDU@SMTP 25-MAY-1988 15:43:00.00",
     "To:\tBETA::SMITH", "Subj:\tthe new release", "", "",
     "Received: from ALPHA.EXAMPLE.EDU by RELAY.EXAMPLE.EDU; 25 May 88 14:59-EDT",
     "Date: 25 May 88 14:59:09 EDT", "From: JONES%ALPHA.EXAMPLE.EDU@RELAY", "", "text"},
    {"From:\tGATE::GATE::MRGATE::\"SMTP::HUB.EXAMPLE.COM::INFO-LIST\" 20-JUL-1989 17:12:31.40",
     "To:\tMRGATE::\"BETA::SMITH\"", "CC:\t", "Subj:\tre: the new release", "",
     "Message-Id:  <8907202059.AA01@hub.example.com>",
     "Received: From ALPHA ([0.0.0.0]) by HUB.EXAMPLE.COM with TCP;",
     "\tThu, 20 JUL 89 13:34:53 PDT", "DATE: Thu,", "\t20 Jul 89 16:07 EDT", "", "text"},
    {"From:\tIN%\"LIST@HOST.EXAMPLE.EDU\" 24-AUG-1989 17:58:10.28", "To:\tSMITH", "Subj:\tnews", "",
     "Return-path: LIST@HOST.EXAMPLE.EDU", "Date: Thu, 24 Aug 89 17:53 EST", "", "text"},
    {"From:\tLAB::KING \"Pat King\"  5-APR-1988 18:20:05.00", "To:\tSMITH", "Subj:\tforwarded mail",
     "", "From site!host!Postmaster Mon Apr  4 21:45:34 1988", "Received: by lab (1.2)",
     "\t id AA1; Mon, 4 Apr 88 21:45:24 edt", "Date: Mon, 4 Apr 88 20:42:52 EDT", "", "text"},
    {"From:\tGATE::\"adams@vendor.example.com\"  2-AUG-1990 07:55:54.08", "To:\tSMITH",
     "Subj:\tload", "", "Date:     Thu, 2 Aug 90 03:41:51 PDT", "", "text"},
    {"From:\tSMTP%\"news@site.example.org\" 14-SEP-1994 17:26:10.99", "To:\tSMITH", "Subj:\tnews",
     "", "Date: Wed, 14 Sep 1994 17:25:33 -0400 (EDT)", "", "text"},
    // Messages that say nothing of the VAX's zone: one of the VAX's own, a
    // date below the body's first line or below the header, one in a
    // military zone.
    {"From:\tNODE1::SMITH 12-JUN-1990 10:00:00.00", "To:\tJONES", "Subj:\tx", "", "text"},
    {"From:\tGATE::\"a@b.example\" 12-JUN-1990 10:00:00.00", "To:\tSMITH", "Subj:\tx", "",
     "Here is the note:", "Date: 12 Jun 90 01:00 EDT", "", "text"},
    {"From:\tGATE::\"a@b.example\" 12-JUN-1990 10:00:00.00", "To:\tSMITH", "Subj:\tx", "",
     "Subject: x", "", "Date: 12 Jun 90 01:00 EDT", "", "text"},
    {"From:\tGATE::\"a@b.example\" 12-JUN-1990 10:00:00.00", "To:\tSMITH", "Subj:\tx", "",
     "Date: 12 Jun 90 01:00 Z", "", "text"},
};
const std::vector<std::vector<std::string>> winter_messages = {
    {"From:\tGATE::\"a@b.example\"  2-FEB-1991 06:54:40.20", "To:\tSMITH", "Subj:\tx", "",
     "Date: Sat, 2 Feb 91 11:50:12 GMT", "", "text"},
    {"From:\tMX%\"c@d.example.jp\" 15-DEC-1998 14:34:45.41", "To:\tSMITH", "Subj:\tx", "",
     "Date: Wed, 16 Dec 1998 04:05:00 +0900", "", "text"},
    {"From:\tMERC::\"uunet!e.example.com!f\" 18-JAN-1993 20:39:58.41", "To:\tSMITH", "Subj:\tx", "",
     "Date: Mon, 18 Jan 93 17:20:01 PST", "", "text"},
};

TEST(EndToEndFolder, CheckTellsTheZoneGatewayMessagesShow)
{
    const std::string warning = "kestrel-folder: warning: ";
    const std::string summer =
        warning + "4 of the 6 messages sent in KESTREL_DST_MTHS that came through a mail gateway "
                  "put the VAX's clock at -0400 (their internet Date against the date of their "
                  "\"From:\" line); with KESTREL_DST ";
    const std::string winter =
        warning + "3 of the 3 messages sent outside KESTREL_DST_MTHS that came through a mail "
                  "gateway put the VAX's clock at -0500 (their internet Date against the date of "
                  "their \"From:\" line); with KESTREL_TZ \"+0000\" their times are 5 hours off\n";
    const std::string no_winter = warning + "no message sent outside KESTREL_DST_MTHS came "
                                            "through a mail gateway with an internet Date: "
                                            "KESTREL_TZ stays as it is\n";
    const std::string fit = warning + "settings that fit them: ";
    const bool set = target_is_windows();
    const std::string only_summer = fit + (set ? "set" : "export") + " KESTREL_DST=-0400\n";
    const std::string both = fit + (set ? "set KESTREL_TZ=-0500 and set KESTREL_DST=-0400\n"
                                        : "export KESTREL_TZ=-0500 KESTREL_DST=-0400\n");
    const std::string not_numeric = warning + "KESTREL_DST is \"%\", not a numeric offset such "
                                              "as -0500: the date lines of messages sent in "
                                              "KESTREL_DST_MTHS end in \"%\"\n";
    auto named = [&](const std::string& zone) {
        std::string text = not_numeric;
        for (std::size_t at; (at = text.find('%')) != std::string::npos;)
            text.replace(at, 1, zone);
        return text;
    };
    const struct {
        std::vector<std::string> folders;
        std::vector<std::string> settings;
        std::string errors;
    } cases[] = {
        {{"SUMMER.TXT"},
         {},
         no_winter + summer + "\"+0100\" their times are 5 hours off\n" + only_summer},
        {{"CRLF.TXT"},
         {},
         no_winter + summer + "\"+0100\" their times are 5 hours off\n" + only_summer},
        {{"SUMMER.TXT", "WINTER.TXT"},
         {},
         winter + summer + "\"+0100\" their times are 5 hours off\n" + both},
        {{"SUMMER.TXT", "WINTER.TXT"}, {"KESTREL_TZ=-0500", "KESTREL_DST=-0400"}, ""},
        // An hour off is no warning; a zone name counts as its offset.
        {{"SUMMER.TXT", "WINTER.TXT"}, {"KESTREL_TZ=-0400", "KESTREL_DST=-0500"}, ""},
        {{"SUMMER.TXT"}, {"KESTREL_DST=EDT"}, named("EDT")},
        {{"SUMMER.TXT"},
         {"KESTREL_DST=-0130"},
         no_winter + summer + "\"-0130\" their times are 2 hours 30 minutes off\n" + only_summer},
        {{"SUMMER.TXT"},
         {"KESTREL_DST=Pacific"},
         named("Pacific") + no_winter + summer +
             "\"Pacific\" their times have no zone a mail client knows\n" + only_summer},
        // Never a guess from too few messages.
        {{"FEW.TXT"}, {}, ""},
        {{"FEW.TXT", "WINTER.TXT"},
         {},
         winter + warning +
             "only 2 messages sent in KESTREL_DST_MTHS came through a mail gateway with an "
             "internet Date, too few to tell the VAX's clock: KESTREL_DST stays as it is\n" +
             fit + (set ? "set" : "export") + " KESTREL_TZ=-0500\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.folders) + testing::PrintToString(c.settings));
        Workspace w;
        w.put("SUMMER.TXT", gateway_file(summer_messages));
        w.put("WINTER.TXT", gateway_file(winter_messages));
        w.put("CRLF.TXT", gateway_file(summer_messages, Bytes::crlf));
        w.put("FEW.TXT",
              gateway_file({summer_messages[0], summer_messages[1], summer_messages[6]}));
        std::vector<std::string> arguments = {"check"};
        arguments.insert(arguments.end(), c.folders.begin(), c.folders.end());
        std::vector<std::string> environment = standard_environment;
        environment.insert(environment.end(), c.settings.begin(), c.settings.end());
        ChildResult result = run_folder(w, arguments, environment);
        EXPECT_EQ(result.exit_status, 0) << result.output;
        EXPECT_EQ(result.errors, c.errors);
    }
}

TEST(EndToEndFolder, UsageAndRefusals)
{
    const std::string fixable = folder_file(folder_lines({old_form, year_1977}, false), Bytes::lf);
    const std::string usage = "usage: kestrel-folder check FOLDER...\n"
                              "       kestrel-folder repair FOLDER OUTPUT\n"
                              "       kestrel-folder --help | --version\n";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string output, errors_start;
        std::vector<std::string> created = {};
    } cases[] = {
        {{"--help"}, 0, "", ""},
        {{"--version"}, 0, "kestrel-folder 1.2\n", ""},
        {{}, 2, "", "kestrel-folder: no command given\n" + usage},
        {{"check"}, 2, "", "kestrel-folder: wrong number of arguments for check\n" + usage},
        {{"repair", "OLD.TXT"}, 2, "", "kestrel-folder: wrong number of arguments for repair\n"},
        {{"mend", "OLD.TXT"}, 2, "", "kestrel-folder: unknown command: mend\n"},
        // An empty name (a script's unset variable) is refused before
        // anything is read.
        {{"check", "OLD.TXT", ""}, 2, "", "kestrel-folder: empty folder name\n" + usage},
        {{"repair", "", "COPY.TXT"}, 2, "", "kestrel-folder: empty folder name\n"},
        {{"repair", "OLD.TXT", ""}, 2, "", "kestrel-folder: empty output name\n"},
        // An existing file is never touched, the folder itself included.
        {{"repair", "OLD.TXT", "TAKEN.TXT"},
         1,
         "",
         "kestrel-folder: TAKEN.TXT: exists already; it is left as it is\n"},
        {{"repair", "OLD.TXT", "OLD.TXT"},
         1,
         "",
         "kestrel-folder: OLD.TXT: exists already; it is left as it is\n"},
        {{"repair", "NONE.TXT", "COPY.TXT"},
         1,
         "",
         "kestrel-folder: NONE.TXT: " + not_found + "\n"},
        // What cannot be mended is listed as check lists it; the copy is
        // written all the same, and the status says it would not convert.
        {{"repair", "OLD.TXT", "COPY.TXT"},
         1,
         "OLD.TXT:3: " + old_form.change + "\nOLD.TXT:10: " + year_1977.what +
             "\nCOPY.TXT: 2 messages (0 yours), sent 1985-01-15 to 1985-01-15, 1 problem (0 "
             "repairable)\n",
         "",
         {"COPY.TXT"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        Workspace w;
        w.put("OLD.TXT", fixable);
        w.put("TAKEN.TXT", "mine");
        ChildResult result = run_folder(w, c.arguments);
        EXPECT_EQ(result.errors.substr(0, c.errors_start.size()), c.errors_start);
        result.errors.resize(std::min(result.errors.size(), c.errors_start.size()));
        expect_folder_run(w, result, c.status,
                          c.arguments == std::vector<std::string>{"--help"} ? result.output
                                                                            : c.output,
                          c.errors_start, c.created);
        if (c.arguments == std::vector<std::string>{"--help"}) {
            EXPECT_EQ(result.output.substr(0, usage.size()), usage);
        }
    }
}

// repair reads the folder twice, the pass and the copy each through a
// descriptor of its own: a pipe would hand each of them part of the bytes,
// and the copy would lose the folder while it reported success.
TEST(EndToEndFolder, RepairRefusesAPipe)
{
    if (target_is_windows())
        GTEST_SKIP() << "no FIFO on Windows";
    Workspace w;
    ASSERT_EQ(mkfifo(w.dir.file("OLD.TXT").c_str(), 0600), 0);
    ChildOptions o = w.options({"repair", "OLD.TXT", "COPY.TXT"});
    o.binary = kestrel_folder_binary();
    ChildProcess child = start_child(o);
    // The child opens the pipe without waiting for a writer and may have
    // refused it and closed it already: a blocking open would then wait for
    // a reader for ever. The writer's end is opened the same way, until a
    // reader is there or the child has ended.
    const std::string fifo = std::filesystem::canonical(w.dir.file("OLD.TXT")).string();
    const std::string proc = "/proc/" + std::to_string(child.pid);
    auto child_ended = [&] {
        std::string stat = file_exists(proc + "/stat") ? read_file(proc + "/stat") : "";
        return stat.empty() || stat.find(") Z ") != std::string::npos;
    };
    int folder = -1;
    for (int polls = 0; polls < 20000 && folder < 0 && !child_ended(); ++polls) {
        folder = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (folder < 0)
            usleep(500);
    }
    std::string text = folder_file(folder_lines({old_form, old_form}, false), Bytes::lf);
    // The refusal may have closed the pipe already: the write may fail.
    void (*was)(int) = signal(SIGPIPE, SIG_IGN);
    if (folder >= 0) {
        fcntl(folder, F_SETFL, fcntl(folder, F_GETFL) & ~O_NONBLOCK);
        ssize_t written = write(folder, text.data(), text.size());
        static_cast<void>(written);
    }
    signal(SIGPIPE, was);
    // The pipe ends only once the child has ended or opened it twice: a
    // second open after its end would wait for a writer for ever.
    for (int polls = 0; polls < 20000; ++polls) {
        int opened = 0;
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", error))
            opened += std::filesystem::read_symlink(fd.path(), error).string() == fifo ? 1 : 0;
        if (error || opened >= 2 || child_ended())
            break;
        usleep(500);
    }
    if (folder >= 0)
        close(folder);
    ChildResult result = finish_child(child);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "kestrel-folder: OLD.TXT: not a file that can be read twice (a "
                             "pipe?); repair it from a regular file\n");
    EXPECT_EQ(w.tree(), std::vector<std::string>{"OLD.TXT"});
}

// A copy that cannot be written whole is removed, and the reason said.
TEST(EndToEndFolder, RepairWriteFailureLeavesNoCopy)
{
    std::vector<Sender> senders(400, old_form);
    Workspace w;
    w.put("OLD.TXT", folder_file(folder_lines(senders, false), Bytes::lf));
    ChildResult result =
        run_folder(w, {"repair", "OLD.TXT", "COPY.TXT"}, standard_environment, 20000);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.errors, "kestrel-folder: COPY.TXT: File too large\n");
    expect_folder_run(w, result, 1, result.output, result.errors);
}

} // namespace

namespace {

// An interrupt during a repair removes the unfinished copy, under its
// temporary name too (where the file system cannot make unnamed files),
// whatever the length of the output's name, and says so on standard error;
// an output name longer than any the system takes is refused.
TEST(EndToEndFolder, InterruptedRepairLeavesNoCopy)
{
    if (target_is_windows())
        GTEST_SKIP() << "POSIX signals and the fault-injection build of Linux";
    Workspace w;
    ChildOptions g = w.options({"--output", w.dir.file("MAIL.TXT"), "--size", "32M",
                                "--message-size", "20000", "--seed", "6"});
    g.binary = GENERATE_FOLDER_BINARY;
    g.host_program = true;
    ASSERT_EQ(run_child(g).exit_status, 0);
    std::string deep = "d";
    for (int i = 0; i < 3; ++i)
        deep += "/" + std::string(100, 'd');
    std::filesystem::create_directories(w.dir.file(deep));
    const std::string output = deep + "/COPY.TXT";
    ASSERT_GT(w.dir.file(output).size(), 259u);
    ChildOptions o = w.options({"repair", "MAIL.TXT", output});
    o.binary = KESTREL_FOLDER_FAULTY_BINARY;
    o.environment.push_back("KESTREL_NO_UNNAMED_FILES=1");
    o.time_limit = 60;
    ChildProcess child = start_child(o);
    bool under_way = false;
    for (int polls = 0; polls < 20000 && !under_way; ++polls) {
        under_way = !TempDir::entries_of(w.dir.file(deep)).empty();
        usleep(200);
    }
    ASSERT_TRUE(under_way);
    kill(child.pid, SIGINT);
    ChildResult r = finish_child(child);
    EXPECT_EQ(r.signal, SIGINT) << "the repair had ended: " << r.exit_status;
    EXPECT_EQ(r.errors, "\nInterrupted\n");
    EXPECT_EQ(TempDir::entries_of(w.dir.file(deep)), std::vector<std::string>{});
    const std::string too_long = std::string(4097, 'x');
    ChildResult refused = run_folder(w, {"repair", "MAIL.TXT", too_long});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.errors, "kestrel-folder: " + too_long + ": name too long\n");
}

} // namespace
