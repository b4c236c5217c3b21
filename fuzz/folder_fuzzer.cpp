// Arbitrary bytes as a folder file, through the real staging, conversion and
// clean-up, in a private directory. The outcome is held to an independent
// model of how a folder is read:
//   - a failed conversion prints exactly the expected message and leaves no
//     file but the folder file;
//   - a successful one prints nothing and leaves exactly one mailbox file,
//     under the expected name, which passes the mailbox validator and holds
//     one record per message start, each record's text exactly as the model
//     builds it: the cut "From:" line, an optional "Date: " line, the
//     "Received: ; " line, then the message's lines;
//   - no descriptor stays open;
//   - kestrel-folder's check passes the folder exactly when it converts,
//     lists first the line that the converter names, and counts the
//     messages and the user's own as the mailbox holds them, and no more
//     of them give the VAX's zone than there are; when repair
//     mends every problem, its copy converts with one record per message.
//
// Input: byte 0 chooses the settings, byte 1 the run, the rest is the folder.
//   byte 0, bits 0-2: user name; bits 3-4: zone settings; bit 5: latest year
//           1996 instead of this year
//   byte 1, bits 0-1: output directory; bits 2-3: folder file name;
//           bits 4-6: sizes of the read and write blocks and of the message
//           buffer's memory part, so that small folders cross block ends
//           and spill messages
// So "@@" (0x40 0x40) is SMITH, the default zones, this year, no output
// directory, the folder file MAIL.TXT, blocks of 512 bytes and 64 bytes of
// message memory.

#include "app/settings.hpp"
#include "convert/conversion_state.hpp"
#include "convert/message_assembly.hpp"
#include "convert/staging.hpp"
#include "convert/vax_date.hpp"
#include "folder/folder_repair.hpp"
#include "fuzz/vax_date_model.hpp"
#include "tests/support/mailbox_validator.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* user_names[] = {
    "SMITH", "JONES",        "",         "SMIT",
    "smith", "NODE1::SMITH", "SMITHERS", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWX"};

// Folder file names and the base names their mailboxes get.
struct FolderName {
    const char* file;
    const char* base;
};

constexpr FolderName folder_names[] = {
    {"MAIL.TXT", "MAIL"},
    {"MAIL.MBX", "MAIL"}, // holds the ".MBX" name itself in its own directory
    {"OLD.MAIL.TXT", "OLD.MAIL"},
    {"VAX\\MAIL", "MAIL"},
};

struct BufferSizes {
    std::size_t block;   // the staged copy's and the mailbox's blocks
    std::size_t message; // the message buffer's memory part
};

// The program's own sizes first; the others put block ends and spills
// within reach of inputs of a few kilobytes.
constexpr BufferSizes buffer_sizes[] = {
    {block_size, message_memory_size},
    {7, 5},
    {64, 100},
    {511, 511},
    {512, 64},
    {4096, 1024},
    {13, 4096},
    {1000, 3},
};

struct Run {
    std::string user_name;
    model::ZoneSet zones;
    int latest_year = 0;
    FolderName folder;
    int directory_mode = 0; // none, "out", "out/", the absolute path of out
    BufferSizes buffers{};
};

int this_year = 0;
int start_directory = -1;
int work_directory = -1;
std::string work_path;
int captured_output = -1;
bool trace = false; // KESTREL_FUZZ_TRACE set: each run's outcome on standard error

[[noreturn]] void violated(const std::string& what)
{
    if (fchdir(start_directory) != 0)
        std::perror("fchdir");
    std::fprintf(stderr, "folder_fuzzer: %s\n", what.c_str());
    std::abort();
}

template <std::size_t N> void set_field(std::array<char, N>& field, const std::string& value)
{
    std::snprintf(field.data(), N, "%s", value.c_str());
}

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

std::string printable(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out;
}

struct Expectation {
    std::string failure;            // the message of a failed conversion
    std::vector<std::string> texts; // the records' texts of a successful one
    long failure_line = 0;          // the line of the last message start met
    std::int64_t own = 0;           // messages of the user
};

// The folder as the converter should read it: without Ctrl-Z, NUL and CR
// bytes, in reads of at most 511 characters and the newline after them.
// A read of 511 characters without a newline is a piece of a longer line
// unless the text ends there, and the read after it continues that line: it is never a form-feed
// line, a message start or a subject line. A message starts at a "From:<TAB>" line that follows a
// form-feed line; lines before the first message are dropped and do not clear a form feed held in
// front of it. A message's "From:" line is taken whole, whatever its length.
Expectation expect(std::string_view folder, const Run& run)
{
    std::string text;
    for (char c : folder)
        if (c != '\x1A' && c != '\0' && c != '\r')
            text += c;
    Expectation e;
    bool held = false;
    bool subject_done = false;
    bool previous_piece = false;
    long line_number = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t newline = text.find('\n', at);
        std::size_t length = newline != std::string::npos && newline - at <= 511
                                 ? newline - at + 1
                                 : std::min<std::size_t>(text.size() - at, 511);
        std::string line = text.substr(at, length);
        at += length;
        bool continuation = previous_piece;
        bool ends_in_newline = line.back() == '\n';
        if (ends_in_newline)
            line.pop_back();
        previous_piece = !ends_in_newline && length == 511 && at < text.size();
        std::string ending = previous_piece ? "" : "\r\n";
        if (!continuation)
            ++line_number;
        if (!continuation && line == "\f") {
            if (held && !e.texts.empty())
                e.texts.back() += "\f\r\n";
            held = true;
            continue;
        }
        if (!continuation && held && starts_with(line, "From:\t")) {
            held = false;
            subject_done = false;
            e.texts.emplace_back();
            e.failure_line = line_number;
            if (previous_piece) {
                // A message's "From:" line is taken whole, however long.
                std::size_t end = text.find('\n', at);
                line += text.substr(at, end == std::string::npos ? std::string::npos : end - at);
                at = end == std::string::npos ? text.size() : end + 1;
                previous_piece = false;
                ending = "\r\n";
            }
            // Messages show a long line by its start and its end.
            std::string shown = line.size() <= 511 + 128
                                    ? line
                                    : line.substr(0, 511) + "..." + line.substr(line.size() - 128);
            if (line.size() < 30) {
                e.failure = "From: line too short\n" + line + "\n";
                return e;
            }
            model::VaxDate date = model::read_vax_date(
                std::string_view(line).substr(line.size() - 23), run.latest_year);
            if (!date.valid) {
                e.failure = "From: line " + std::to_string(line_number) +
                            " in file has invalid VAX date/time\n>" + shown + "<\n";
                return e;
            }
            std::string cut = line.substr(0, line.size() - 23);
            if (cut.back() == ' ')
                cut.pop_back();
            std::string rest = model::date_line_rest(date, run.zones.zone, run.zones.dst_zone,
                                                     run.zones.dst_months);
            bool own = cut.find(run.user_name) != std::string::npos;
            e.own += own ? 1 : 0;
            e.texts.back() = cut + ending + (own ? "Date: " + rest + "\r\n" : "") + "Received: ; " +
                             rest + "\r\n";
            continue;
        }
        if (e.texts.empty())
            continue;
        if (!continuation && !subject_done && starts_with(line, "Subj:\t")) {
            line = "Subject: " + line.substr(6);
            subject_done = true;
        }
        if (held)
            e.texts.back() += "\f\r\n";
        held = false;
        e.texts.back() += line + ending;
    }
    if (e.texts.empty())
        e.failure = "Incorrect format file\n";
    return e;
}

Run choose_run(std::uint8_t settings_byte, std::uint8_t run_byte)
{
    Run run;
    run.user_name = user_names[settings_byte & 7];
    run.zones = model::zone_sets[(settings_byte >> 3) & 3];
    run.latest_year = (settings_byte & 0x20) != 0 ? 1996 : this_year;
    run.directory_mode = run_byte & 3;
    run.folder = folder_names[(run_byte >> 2) & 3];
    run.buffers = buffer_sizes[(run_byte >> 4) & 7];
    return run;
}

std::vector<std::string> entries(const char* path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        violated(std::string("cannot list ") + path);
    while (dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t open_descriptors()
{
    return entries("/proc/self/fd").size();
}

std::string join(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& name : names)
        out += " [" + printable(name) + "]";
    return out;
}

void expect_entries(const char* directory, std::vector<std::string> expected)
{
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> found = entries(directory);
    if (found != expected)
        violated(std::string("directory ") + directory + " holds" + join(found) + ", expected" +
                 join(expected));
}

std::string read_whole(int fd)
{
    std::string bytes;
    char block[65536];
    for (off_t at = 0;;) {
        ssize_t got = pread(fd, block, sizeof block, at);
        if (got < 0)
            violated("cannot read back a file");
        if (got == 0)
            return bytes;
        bytes.append(block, static_cast<std::size_t>(got));
        at += got;
    }
}

void write_new_file(const char* name, const std::uint8_t* data, std::size_t size)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0)
        violated("cannot write the folder file");
}

void check_texts(const std::string& mailbox, const Expectation& expected)
{
    MailboxCheck check = validate_mailbox(mailbox);
    if (!check.valid)
        violated("invalid mailbox: " + check.problem);
    if (check.texts.size() != expected.texts.size())
        violated("mailbox holds " + std::to_string(check.texts.size()) + " records, folder has " +
                 std::to_string(expected.texts.size()) + " message starts");
    for (std::size_t i = 0; i < check.texts.size(); ++i) {
        const std::string& text = check.texts[i];
        if (!starts_with(text, "From:\t") || text.find("Received: ; ") == std::string::npos)
            violated("record " + std::to_string(i + 1) +
                     " has no From: head line and Received line");
        if (text != expected.texts[i])
            violated("record " + std::to_string(i + 1) + " holds\n>" + printable(text) +
                     "<\nexpected\n>" + printable(expected.texts[i]) + "<");
    }
}

std::int64_t first_problem_line = 0;

int note_first_problem(std::int64_t line_number, const FromLine&, const DateDiagnosis&)
{
    if (first_problem_line == 0)
        first_problem_line = line_number;
    return 0;
}

std::string take_output()
{
    std::fflush(stdout);
    std::string output = read_whole(STDOUT_FILENO);
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
        violated("cannot empty the captured output");
    return output;
}

// The repaired copy of a folder whose every problem repair mends: it
// converts, with one record per message start.
void check_repaired_copy(const Run& run, const FolderSummary& checked)
{
    take_output();
    FolderSummary repaired;
    if (repair_folder(run.folder.file, "COPY.TXT", repaired) != 0 || repaired.problems != 0)
        violated("repair failed: " + printable(take_output()));
    take_output();
    if (stage_folder("COPY.TXT", nullptr) != 0)
        violated("staging of the copy failed: " + printable(take_output()));
    int status = convert_folder();
    close_and_clean(status);
    if (status != 0)
        violated("the repaired copy does not convert: " + printable(take_output()));
    int fd = open("COPY.MBX", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        violated("cannot open the mailbox of the copy");
    MailboxCheck check = validate_mailbox(read_whole(fd));
    close(fd);
    if (!check.valid || static_cast<std::int64_t>(check.texts.size()) != checked.messages)
        violated("the copy's mailbox holds " + std::to_string(check.texts.size()) +
                 " records, the folder " + std::to_string(checked.messages) + " messages");
    if (unlink("COPY.MBX") != 0 || unlink("COPY.TXT") != 0)
        violated("cannot remove the copy");
}

// kestrel-folder's check of the same folder agrees with the conversion.
void check_folder_check(const Run& run, const Expectation& expected, int status)
{
    FolderSummary summary;
    first_problem_line = 0;
    static ZoneEvidence evidence;
    evidence = ZoneEvidence{};
    if (scan_folder(run.folder.file, summary, note_first_problem, &evidence) != 0)
        violated("the check cannot read the folder");
    // A message gives its zone at most once.
    if (evidence.standard.dated + evidence.daylight.dated > summary.messages)
        violated("more messages give a zone than the folder has");
    std::string verdict = std::to_string(summary.problems) + " problems, first at line " +
                          std::to_string(first_problem_line);
    if ((summary.problems == 0) != (status == 0))
        violated("converter status " + std::to_string(status) + ", check: " + verdict);
    if (status == 0) {
        if (summary.messages != static_cast<std::int64_t>(expected.texts.size()) ||
            summary.own != expected.own)
            violated("check counts " + std::to_string(summary.messages) + " messages, " +
                     std::to_string(summary.own) + " own");
        return;
    }
    if (expected.failure == "Incorrect format file\n") {
        if (!summary.no_message || summary.problems != 1)
            violated("no message, check: " + verdict);
        return;
    }
    if (first_problem_line != expected.failure_line)
        violated("converter names line " + std::to_string(expected.failure_line) +
                 ", check: " + verdict);
    if (summary.problems == summary.repairable)
        check_repaired_copy(run, summary);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    this_year = local.tm_year + 1900;

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kestrel-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        violated("cannot make the work directory");
    work_path = pattern;
    start_directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    work_directory = open(work_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (start_directory < 0 || work_directory < 0)
        violated("cannot open the directories");
    std::atexit([] { rmdir(work_path.c_str()); });

    // Standard output goes to an unnamed file that each run empties and
    // reads back, so that the messages can be checked.
    std::fflush(stdout);
    captured_output = open(work_path.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (captured_output < 0 || dup2(captured_output, STDOUT_FILENO) < 0)
        violated("cannot capture standard output");
    trace = std::getenv("KESTREL_FUZZ_TRACE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    Run run = choose_run(data[0], data[1]);
    std::string_view folder(reinterpret_cast<const char*>(data) + 2, size - 2);
    set_field(settings.user_name, run.user_name);
    set_field(settings.zone, run.zones.zone);
    set_field(settings.dst_zone, run.zones.dst_zone);
    set_field(settings.dst_months, run.zones.dst_months);
    current_year = run.latest_year;
    conversion_buffers_init(run.buffers.block, run.buffers.message);
    Expectation expected = expect(folder, run);

    std::size_t descriptors = open_descriptors();
    if (fchdir(work_directory) != 0)
        violated("cannot enter the work directory");
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
        violated("cannot empty the captured output");
    write_new_file(run.folder.file, data + 2, size - 2);
    std::string out_directory = run.directory_mode == 3 ? work_path + "/out" : "out";
    if (run.directory_mode != 0 && mkdir("out", 0700) != 0)
        violated("cannot make the output directory");
    const char* directory_argument = nullptr;
    if (run.directory_mode == 1 || run.directory_mode == 3)
        directory_argument = out_directory.c_str();
    if (run.directory_mode == 2)
        directory_argument = "out/";

    if (stage_folder(run.folder.file, directory_argument) != 0)
        violated("staging failed: " + printable(read_whole(STDOUT_FILENO)));
    int status = convert_folder();
    close_and_clean(status);
    std::fflush(stdout);
    std::string output = read_whole(STDOUT_FILENO);

    std::string mailbox_name = std::string(run.folder.base) + ".MBX";
    if (run.directory_mode == 0 && mailbox_name == run.folder.file)
        mailbox_name = std::string(run.folder.base) + ".MB_";
    std::string mailbox_path = directory_argument == nullptr
                                   ? mailbox_name
                                   : std::string(directory_argument) + "/" + mailbox_name;
    if (mailbox_path != conversion.mailbox_path.data())
        violated("mailbox path " + std::string(conversion.mailbox_path.data()) + ", expected " +
                 mailbox_path);

    if (status != (expected.failure.empty() ? 0 : 1) || output != expected.failure)
        violated("status " + std::to_string(status) + ", output\n>" + printable(output) +
                 "<\nexpected\n>" + printable(expected.failure) + "<");
    if (trace)
        std::fprintf(stderr, "status %d, %zu records, mailbox %s, output >%s<\n", status,
                     expected.texts.size(), mailbox_path.c_str(), printable(output).c_str());
    std::vector<std::string> here = {run.folder.file};
    std::vector<std::string> in_out;
    if (run.directory_mode != 0)
        here.push_back("out");
    if (status == 0)
        (run.directory_mode == 0 ? here : in_out).push_back(mailbox_name);
    expect_entries(".", here);
    if (run.directory_mode != 0)
        expect_entries("out", in_out);
    if (status == 0) {
        int fd = open(mailbox_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            violated("cannot open the mailbox");
        std::string mailbox = read_whole(fd);
        close(fd);
        check_texts(mailbox, expected);
    }
    check_folder_check(run, expected, status);
    // The next run must find the directory empty again.
    if ((status == 0 && unlink(mailbox_path.c_str()) != 0) || unlink(run.folder.file) != 0 ||
        (run.directory_mode != 0 && rmdir("out") != 0))
        violated("cannot empty the work directory");
    if (fchdir(start_directory) != 0)
        violated("cannot leave the work directory");
    if (open_descriptors() != descriptors)
        violated("a descriptor was left open");
    return 0;
}
