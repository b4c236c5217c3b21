// Folders converted by the real program: the mailbox bytes, the name and
// place of the mailbox file, long lines, the "From:" line cut, and the
// failures that must leave nothing behind.
#include "tests/e2e_helpers.hpp"

using namespace e2e;
using namespace std::string_literals;

namespace {

const std::string processing = "\nProcessing MAIL.TXT -> ";
const std::string created = processing + "file MAIL.MBX created\n";

// The two-message folder of a user SMITH, one message his own.
const std::string worked_example =
    "\f\nFrom:\tNODE1::SMITH    4-MAR-1996 13:58:04.09\nTo:\tJONES\nCC:\t\nSubj:\tLunch\n\n"
    "Shall we meet at noon?\n\f\nFrom:\tNODE2::JONES  17-SEP-1996 07:05:23.33\nTo:\tSMITH\n"
    "Subj:\tRe: Lunch\nSubj:\tthis one stays\n\f\nPage two\n\f\n";

std::string worked_example_mailbox()
{
    std::string first = "From:\tNODE1::SMITH  \r\n"
                        "Date: Mon, 4 Mar 1996 13:58:04 +0000\r\n"
                        "Received: ; Mon, 4 Mar 1996 13:58:04 +0000\r\n"
                        "To:\tJONES\r\nCC:\t\r\nSubject: Lunch\r\n\r\nShall we meet at noon?\r\n";
    std::string second = "From:\tNODE2::JONES \r\n"
                         "Received: ; Tue, 17 Sep 1996 07:05:23 +0100\r\n"
                         "To:\tSMITH\r\nSubject: Re: Lunch\r\nSubj:\tthis one stays\r\n"
                         "\f\r\nPage two\r\n";
    EXPECT_EQ(first.size(), 163u);
    EXPECT_EQ(second.size(), 132u);
    return "JMF6\x03\0\x01\0\x02\0\0\0\x02\0\0\0\x9D\x01\0\0\x01\0\0\0"s + std::string(60, '\0') +
           "\0\x7F\0\x7F\x01\0\0\0\xB4\0\0\0\xA3\0\0\0"s + first + '\0' +
           "\0\x7F\0\x7F\x02\0\0\0\x95\0\0\0\x84\0\0\0"s + second + '\0';
}

// The same folder with LF, with CR LF line ends, and with stray CR, Ctrl-Z and
// NUL bytes, all of which the reading leaves out.
TEST(EndToEndConversion, WorkedExampleGivesThe413ByteMailbox)
{
    const std::string expected = worked_example_mailbox();
    ASSERT_EQ(expected.size(), 413u);
    std::string crlf, sprinkled = "\0"s;
    for (std::size_t i = 0; i < worked_example.size(); ++i) {
        crlf += worked_example[i] == '\n' ? "\r\n" : worked_example.substr(i, 1);
        sprinkled += worked_example[i] + (i % 4 == 0 ? "\x1A\0\r"s : "\r"s);
    }
    for (const std::string& folder : {worked_example, crlf, sprinkled}) {
        Workspace w;
        w.put("MAIL.TXT", folder);
        expect_run(w, w.run({"MAIL.TXT"}), 0, created);
        EXPECT_EQ(read_file(w.dir.file("MAIL.MBX")), expected);
    }
}

// The inputs besides MAIL.TXT: "x/" is a directory, "x@" a symbolic link to
// nothing, "x#" an empty file, any other name a file holding a small valid
// folder.
struct NamingCase {
    const char* name;
    std::vector<std::string> inputs;
    std::vector<std::string> arguments;
    std::string outcome; // what follows the "Processing" text
};

const std::string d250(250, 'd'), d251(251, 'd'), n251(251, 'n'), n252(252, 'n');

const NamingCase naming_cases[] = {
    {"Plain", {}, {"MAIL.TXT"}, "file MAIL.MBX created\n"},
    {"MbxTaken", {"MAIL.MBX"}, {"MAIL.TXT"}, "file MAIL.MB_ created\n"},
    {"BothTaken",
     {"MAIL.MBX", "MAIL.MB_"},
     {"MAIL.TXT"},
     "Cannot create file: existing .MBX and .MB_ files\n"},
    {"DirectoryNamedMbx", {"MAIL.MBX/"}, {"MAIL.TXT"}, "file MAIL.MB_ created\n"},
    {"DanglingLinkNamedMbx", {"MAIL.MBX@"}, {"MAIL.TXT"}, "file MAIL.MB_ created\n"},
    {"FolderItselfNamedMbx", {"MAIL.MBX"}, {"MAIL.MBX"}, "file MAIL.MB_ created\n"},
    {"BaseNameFromPath",
     {"in/", "in/MAIL.OLD.TXT"},
     {"in/MAIL.OLD.TXT"},
     "file MAIL.OLD.MBX created\n"},
    {"OutputDirectory", {"out/"}, {"MAIL.TXT", "out"}, "file out" + sep + "MAIL.MBX created\n"},
    {"OutputDirectoryWithSlash",
     {"out/"},
     {"MAIL.TXT", "out/"},
     "file out/" + sep + "MAIL.MBX created\n"},
    {"OutputDirectoryMissing", {}, {"MAIL.TXT", "out"}, "out : No such directory\n"},
    {"FolderOpenedBeforeDirectoryChecked", {}, {"NOPE.TXT", "out"}, "Cannot open file NOPE.TXT\n"},
    {"OutputDirectoryIsAFile",
     {},
     {"MAIL.TXT", "MAIL.TXT"},
     "Error creating the file MAIL.TXT" + sep + "MAIL.MBX\n"},
    {"PathOf259Characters",
     {d250 + "/"},
     {"MAIL.TXT", d250},
     "file " + d250 + sep + "MAIL.MBX created\n"},
    {"PathOf260Characters",
     {d251 + "/"},
     {"MAIL.TXT", d251},
     "Cannot create file: path longer than 259 characters\n"},
    // A mailbox name longer than the file system takes is refused at
    // staging, before the (empty) folder is looked at, although the mailbox
    // gets its name only at the commit.
    {"MailboxNameOf255Characters", {n251 + "#"}, {n251}, "Incorrect format file\n"},
    {"MailboxNameOf256Characters",
     {n252 + "#"},
     {n252},
     "Error creating the file " + n252 + ".MBX\n"},
};

class EndToEndNaming : public testing::TestWithParam<NamingCase> {};

TEST_P(EndToEndNaming, ChoosesTheMailboxName)
{
    const NamingCase& c = GetParam();
    Workspace w;
    w.put("MAIL.TXT", simple_folder);
    for (std::string name : c.inputs) {
        char kind = name.back();
        if (kind == '/' || kind == '@' || kind == '#')
            name.pop_back();
        if (kind == '/')
            std::filesystem::create_directory(w.dir.file(name));
        else if (kind == '@')
            std::filesystem::create_symlink("gone", w.dir.file(name));
        else if (kind == '#')
            w.put(name, "");
        else
            w.put(name, simple_folder);
    }
    bool converts = c.outcome.rfind("file ", 0) == 0;
    expect_run(w, w.run(c.arguments), converts ? 0 : 1,
               "\nProcessing " + c.arguments[0] + " -> " + c.outcome);
}

void PrintTo(const NamingCase& c, std::ostream* os)
{
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEndNaming, testing::ValuesIn(naming_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs a one-message folder and returns the text of its single message.
std::string converted_text(const std::string& folder,
                           const std::vector<std::string>& environment = standard_environment)
{
    Workspace w;
    w.put("MAIL.TXT", folder);
    expect_run(w, w.run({"MAIL.TXT"}, std::nullopt, environment), 0, created);
    if (!file_exists(w.dir.file("MAIL.MBX")))
        return "";
    std::vector<std::string> texts = mailbox_texts(w.dir.file("MAIL.MBX"));
    return texts.size() == 1 ? texts[0] : "";
}

const std::string jones_from = "From:\tNODE2::JONES  17-SEP-1996 07:05:23.33";
const std::string jones_head =
    "From:\tNODE2::JONES \r\nReceived: ; Tue, 17 Sep 1996 07:05:23 +0100\r\n";

TEST(EndToEndConversion, LongLinesComeOutWholeWithOneLineEnd)
{
    const std::string x(2000, 'x');
    const struct {
        std::string line;
        bool newline;
        std::string written = ""; // when it differs from the line
    } cases[] = {
        {x.substr(0, 510), true},
        {x.substr(0, 511), true},
        {x.substr(0, 512), true},
        {x.substr(0, 600), true},
        {x.substr(0, 1022), true},
        {x.substr(0, 511), false},
        {x.substr(0, 600), false},
        {x.substr(0, 1022), false},
        {"Subj:\t" + x.substr(0, 505), false, "Subject: " + x.substr(0, 505)},
        // The rest of a long line is never a form feed or a subject line.
        {x.substr(0, 511) + "\f", true},
        {x.substr(0, 511) + "Subj:\tz", true},
        {"Subj:\t" + x.substr(0, 594), true, "Subject: " + x.substr(0, 594)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.line.size() << " characters");
        std::string folder = message(jones_from, {}) + c.line + (c.newline ? "\n" : "");
        EXPECT_EQ(converted_text(folder),
                  jones_head + (c.written.empty() ? c.line : c.written) + "\r\n");
    }
    // The folder's last line is the message's own "From:" line: at 511
    // characters without a newline it is still whole, its date lines follow
    // its line end, and nothing comes after them. A longer one is taken
    // whole as well, its date checked and cut at its end.
    for (const char* end : {"", "\n", "\r", "\r\n"}) {
        for (std::size_t sender : {472u, 473u, 474u, 600u, 5000u}) {
            std::string from = "From:\tNODE2::" + std::string(sender, 'J');
            SCOPED_TRACE(testing::Message() << from.size() + 25 << " characters, then "
                                            << testing::PrintToString(std::string(end)));
            EXPECT_EQ(converted_text("\f\n" + from + "  17-SEP-1996 07:05:23.33" + end),
                      from + " \r\nReceived: ; Tue, 17 Sep 1996 07:05:23 +0100\r\n");
        }
    }
}

// The staged copy is read in blocks of 256 KiB. A line of exactly 511
// characters whose CR is the last byte of a block has its LF in the next
// block: the line must come out whole although that block is read over it.
TEST(EndToEndConversion, LineOf511CharactersAcrossABlockEnd)
{
    constexpr std::size_t block = 256 * 1024;
    std::string folder = message(jones_from, {});
    std::string expected = jones_head;
    while (folder.size() < block - 1024) {
        folder += std::string(98, 'q') + "\r\n";
        expected += std::string(98, 'q') + "\r\n";
    }
    std::string filler(block - 512 - 1 - folder.size(), 'p');
    folder += filler + "\n" + std::string(511, 'X') + "\r\n";
    expected += filler + "\r\n" + std::string(511, 'X') + "\r\n";
    ASSERT_EQ(folder.size(), block + 1); // the CR is the block's last byte
    for (int i = 0; i < 5000; ++i) {
        folder += std::string(60, 'r') + "\n";
        expected += std::string(60, 'r') + "\r\n";
    }
    EXPECT_EQ(converted_text(folder), expected);
}

// A message's text is gathered in 1 MiB of memory before it goes to the
// spill file. Lines are taken into it as long as they fit with their CR LF;
// the line that meets the end, whether its text, its CR or its LF would be
// the first byte over, must come out whole after the spill.
TEST(EndToEndConversion, LineMeetingTheEndOfTheMessageMemory)
{
    constexpr std::size_t memory = 1024 * 1024;
    for (std::size_t over : {0u, 1u, 2u, 3u, 100u}) {
        SCOPED_TRACE(testing::Message() << over << " bytes over the memory");
        std::string folder = message(jones_from, {});
        std::string expected = jones_head;
        while (expected.size() < memory - 200) {
            folder += std::string(98, 'q') + "\n";
            expected += std::string(98, 'q') + "\r\n";
        }
        std::string last((memory - expected.size()) - 2 + over, 'L');
        folder += last + "\n" + "Subj:\tafter the spill\n" + "tail\n";
        expected += last + "\r\n" + "Subject: after the spill\r\n" + "tail\r\n";
        EXPECT_EQ(converted_text(folder), expected);
    }
}

TEST(EndToEndConversion, FromLineCutDateLinesAndZones)
{
    const std::string smith = "KESTREL_VAX_USERNAME=SMITH", tz = "KESTREL_TZ=+0500",
                      dst = "KESTREL_DST=+0600",
                      months = "KESTREL_DST_MTHS=Oct Nov Dec Jan Feb Mar Apr";
    const std::string long_sender = "From:\tNODE1::" + std::string(473, 'A');
    const struct {
        std::string from;
        std::vector<std::string> variables; // besides TZ
        std::string cut;                    // the "From:" line without its date
        int own;                            // 1: gets a "Date: " line
        std::string zone;
    } cases[] = {
        // clang-format off
        // The date field's own padding space is no separator: the sender stays whole.
        {"From:\tNODE1::SMITH 4-MAR-1996 13:58:04.09", {smith}, "From:\tNODE1::SMITH", 1, "+0000"},
        {"From:\tNODE1::SMITH  4-MAR-1996 13:58:04.09", {smith}, "From:\tNODE1::SMITH", 1, "+0000"},
        {"From:\tNODE1::SMITH     4-MAR-1996 13:58:04.09", {smith}, "From:\tNODE1::SMITH   ", 1,
         "+0000"},
        {"From:\tNODE1::smith  17-SEP-1996 07:05:23.33", {smith}, "From:\tNODE1::smith ", 0,
         "+0100"},
        {"From:\tNODE1::SMITHERS  17-SEP-1996 07:05:23.33", {smith}, "From:\tNODE1::SMITHERS ", 1,
         "+0100"},
        {"From:\tNODE1::SMITH  17-SEP-1996 07:05:23.33", {"KESTREL_VAX_USERNAME=smith"},
         "From:\tNODE1::SMITH ", 0, "+0100"},
        {jones_from, {"KESTREL_VAX_USERNAME="}, "From:\tNODE2::JONES ", 1, "+0100"},
        {"From:\tNODE1::SMITH  4-MAR-1996 13:58:04.09", {smith, tz, dst, months},
         "From:\tNODE1::SMITH", 1, "+0600"},
        {jones_from, {smith, tz, dst, months}, "From:\tNODE2::JONES ", 0, "+0500"},
        {jones_from, {smith, "kestrel_dst=-0700"}, "From:\tNODE2::JONES ", 0, "-0700"},
        {jones_from, {smith, "KESTREL_DST_MTHS="}, "From:\tNODE2::JONES ", 0, "+0000"},
        // The shortest "From:" line that carries a date.
        {"From:\tX 4-MAR-1996 13:58:04.09", {smith}, "From:\tX", 0, "+0000"},
        // One of exactly 511 characters is a whole line: its date lines follow its line end.
        {long_sender + "  17-SEP-1996 07:05:23.33", {smith}, long_sender + " ", 0, "+0100"},
        // Longer ones too, the user name found anywhere in them.
        {long_sender + "x  17-SEP-1996 07:05:23.33", {smith}, long_sender + "x ", 0, "+0100"},
        {long_sender + "SMITH" + std::string(3000, 'x') + " 4-MAR-1996 13:58:04.09", {smith},
         long_sender + "SMITH" + std::string(3000, 'x'), 1, "+0000"},
        {"From:\tSMITH" + long_sender + "  4-MAR-1996 13:58:04.09", {smith},
         "From:\tSMITH" + long_sender, 1, "+0000"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        std::vector<std::string> environment = {"TZ=UTC"};
        environment.insert(environment.end(), c.variables.begin(), c.variables.end());
        std::string date = c.from.find("MAR") != std::string::npos ? "Mon, 4 Mar 1996 13:58:04 "
                                                                   : "Tue, 17 Sep 1996 07:05:23 ";
        std::string head = c.cut + "\r\n";
        if (c.own)
            head += "Date: " + date + c.zone + "\r\n";
        head += "Received: ; " + date + c.zone + "\r\n";
        EXPECT_EQ(converted_text(message(c.from, {"body"}), environment), head + "body\r\n");
    }
}

TEST(EndToEndConversion, RejectedFolderLeavesNoMailbox)
{
    const std::string bad_third = "From:\tNODE3::JONES  04-MAR-1996 13:58:04.09";
    const std::string year_1977 = "From:\tNODE1::SMITH  17-SEP-1977 07:05:23.33";
    const struct {
        std::string folder, message;
    } cases[] = {
        {"", "Incorrect format file\n"},
        {"just some text\nFrom:\tNODE1::SMITH  17-SEP-1996 07:05:23.33\n",
         "Incorrect format file\n"},
        {message("From: NODE1::SMITH  17-SEP-1996 07:05:23.33", {"body"}),
         "Incorrect format file\n"},
        {message("From:\tNODE1::SMITH 4-MAR-1996", {"body"}),
         "From: line too short\nFrom:\tNODE1::SMITH 4-MAR-1996\n"},
        {message("From:\t 4-MAR-1996 13:58:04.09", {}),
         "From: line too short\nFrom:\t 4-MAR-1996 13:58:04.09\n"},
        {message(year_1977, {}),
         "From: line 2 in file has invalid VAX date/time\n>" + year_1977 + "<\n"},
        {simple_folder + simple_folder + message(bad_third, {"body"}),
         "From: line 10 in file has invalid VAX date/time\n>" + bad_third + "<\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Workspace w;
        w.put("MAIL.TXT", c.folder);
        expect_run(w, w.run({"MAIL.TXT"}), 1, processing + c.message);
    }
}

// A folder of many short messages, whose mailbox is nearly twice its size
// because of the added "Received: ; " lines and record headers: a file-size
// limit between the two lets the staged copy through and stops the mailbox.
TEST(EndToEndConversion, MailboxWriteFailureLeavesNothing)
{
    std::string big;
    for (int i = 0; i < 1000; ++i)
        big += message("From:\tA::B  4-MAR-1996 13:58:04.09", {"x"});
    ASSERT_EQ(big.size(), 39000u);
    const struct {
        std::optional<std::string> list;
        std::vector<std::string> arguments;
        int status;
        std::string output;
    } cases[] = {
        // clang-format off
        {{}, {"BIG.TXT"}, 1,
         "\nProcessing BIG.TXT -> Error writing the file BIG.MBX: File too large\n"},
        {"BIG.TXT\nA.TXT\n", {"."}, 0,
         "\nProcessing BIG.TXT -> Error writing the file ./BIG.MBX: File too large\n"
         "Processing A.TXT -> file ./A.MBX created\n"},
        // clang-format on
    };
    for (const auto& c : cases) {
        Workspace w;
        w.put("BIG.TXT", big);
        w.put("A.TXT", simple_folder);
        ChildOptions options = w.options(c.arguments, c.list);
        options.file_size_limit = 50000;
        ChildResult result = w.run_with(options);
        expect_run(w, result, c.status, c.output);
    }
}

} // namespace
