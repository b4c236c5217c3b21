// Folders and lists as they arrive after decades of copying, cutting and
// hand-editing: every one converts, or fails with its message and leaves no
// file behind.
#include "tests/fault_helpers.hpp"

#include <algorithm>

using namespace fault;

namespace {

// Every byte value but NUL, LF, CR and Ctrl-Z (which have meanings of their
// own); form feed, TAB and DEL included.
std::string every_other_byte()
{
    std::string bytes;
    for (int b = 1; b < 256; ++b)
        if (b != '\n' && b != '\r' && b != 0x1A)
            bytes += static_cast<char>(b);
    return bytes;
}

// The folder with a NUL or a Ctrl-Z in front of every byte and at its end.
std::string sprinkled(const std::string& folder)
{
    std::string out;
    for (std::size_t i = 0; i < folder.size(); ++i)
        out += std::string(1, i % 2 ? '\0' : '\x1A') + folder[i];
    return out + std::string("\0\x1A", 2);
}

TEST(BadInput, FoldersConvertOrFailCleanly)
{
    const std::string junk = every_other_byte(), clean = message("NODE1::SMITH", "Hi\nthere\n");
    const std::string created = "file MAIL.MBX created\n";
    const std::string long_subject(99994, 's'), long_body(100000, 'b');
    const std::string third_from = "From:\tNODE3::BROWN     4-MAX-1996 13:58:04.09";
    const std::string first_two =
        message("NODE1::SMITH", std::string(300000, '\n')) + message("NODE2::JONES", "x\n");
    const std::string third_line =
        std::to_string(std::count(first_two.begin(), first_two.end(), '\n') + 2);
    struct {
        const char* what;
        std::string folder;
        std::string result; // after the "Processing" text
        std::string text;   // of the one record, when the folder converts
    } const cases[] = {
        {"bytes 0x01-0xFF in every line",
         "\f\nFrom:\tNODE1::" + junk + "    " + sent + "\nTo:\t" + junk + "\nSubj:\t" + junk +
             "\n" + junk + "\n",
         created,
         "From:\tNODE1::" + junk + "   \r\n" + received + "To:\t" + junk + "\r\nSubject: " + junk +
             "\r\n" + junk + "\r\n"},
        {"NUL and Ctrl-Z bytes everywhere", sprinkled(clean), created,
         record_text("NODE1::SMITH", "Hi\nthere\n")},
        {"only form feeds", "\f\n\f\n\f\n\f", "Incorrect format file\n", ""},
        {"From line of 29 characters", "\f\nFrom:\t" + sent + "\nhi\n",
         "From: line too short\nFrom:\t" + sent + "\n", ""},
        {"From line of 30 characters", "\f\nFrom:\tX" + sent + "\n", created,
         "From:\tX\r\n" + received},
        {"From line of 30 characters, padded", "\f\nFrom:\t " + sent + "\n", created,
         "From:\t\r\n" + received},
        {"third message with a bad date", first_two + "\f\n" + third_from + "\nbody\n",
         "From: line " + third_line + " in file has invalid VAX date/time\n>" + third_from + "<\n",
         ""},
        {"lines of 100,000 characters",
         "\f\nFrom:\tNODE2::JONES    " + sent + "\nSubj:\t" + long_subject + "\n" + long_body +
             "\n",
         created,
         "From:\tNODE2::JONES   \r\n" + received + "Subject: " + long_subject + "\r\n" + long_body +
             "\r\n"},
        // Taken whole for the date check: shown with its start and its end.
        {"From line of 100,000 characters", "\f\nFrom:\t" + std::string(99994, 'f') + "\n",
         "From: line 2 in file has invalid VAX date/time\n>From:\t" + std::string(505, 'f') +
             "..." + std::string(128, 'f') + "<\n",
         ""},
        {"From line of 100,000 characters with its date",
         "\f\nFrom:\tNODE2::" + long_subject + " " + sent + "\nbody\n", created,
         "From:\tNODE2::" + long_subject + "\r\n" + received + "body\r\n"},
        {"no final newline", message("NODE2::JONES", "bye"), created,
         record_text("NODE2::JONES", "bye\n")},
        {"empty folder", "", "Incorrect format file\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("MAIL.TXT"), c.folder);
        bool converts = !c.text.empty();
        expect_run(run_child(run_in(dir, {"MAIL.TXT"})), converts ? 0 : 1,
                   "\nProcessing MAIL.TXT -> " + c.result);
        EXPECT_EQ(dir.entries(), (converts ? Names{"MAIL.MBX", "MAIL.TXT"} : Names{"MAIL.TXT"}));
        if (converts) {
            EXPECT_EQ(mailbox_texts(dir.file("MAIL.MBX")), Names{c.text});
        }
    }
}

TEST(BadInput, ListsEmptyOrEndedByCtrlZ)
{
    const std::string done = "Processing A.TXT -> file out" + sep + "A.MBX created\n" +
                             "Processing B.TXT -> file out" + sep + "B.MBX created\n";
    const Names mailboxes = {"A.MBX", "B.MBX"};
    const struct {
        const char* list; // Ctrl-Z written in octal: \032
        std::size_t converted;
    } cases[] = {
        {"", 0}, {"\032A.TXT\n", 0}, {"A.TXT\r\nB.TXT\032C.TXT\n", 2}, {"A.TXT\n\032\nC.TXT\n", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        TempDir dir, side;
        make_directory(dir.file("out"));
        for (const char* name : {"A.TXT", "B.TXT", "C.TXT"})
            write_file(dir.file(name), message("NODE1::SMITH", "hi\n"));
        write_file(side.file("list"), c.list);
        expect_run(run_child(run_in(dir, {"out"}, side.file("list"))), c.converted ? 0 : 1,
                   c.converted ? std::string("\n").append(done, 0, 43 * c.converted)
                               : "\nNo redirection files\n");
        EXPECT_EQ(entries_in(dir.file("out")),
                  Names(mailboxes.begin(), mailboxes.begin() + c.converted));
        EXPECT_EQ(dir.entries(), (Names{"A.TXT", "B.TXT", "C.TXT", "out"}));
        for (std::size_t i = 0; i < c.converted; ++i)
            EXPECT_EQ(mailbox_texts(dir.file("out/" + mailboxes[i])),
                      Names{record_text("NODE1::SMITH", "hi\n")});
    }
}

} // namespace
