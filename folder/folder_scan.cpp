#include "folder/folder_scan.hpp"

#include "app/standard_streams.hpp"
#include "convert/file_io.hpp"
#include "mbx/complaint.hpp"

#include <cstdio>

namespace {

constexpr std::size_t scan_block_size = 256 * 1024;
unsigned char scan_block[scan_block_size];
FromLine from_line;
DateDiagnosis diagnosis;

void note_sent(FolderSummary& summary, const FolderDate& date)
{
    std::int32_t sent = date.year * 10000 + date.month_number * 100 + date.day;
    if (summary.first_sent == 0 || sent < summary.first_sent)
        summary.first_sent = sent;
    if (sent > summary.last_sent)
        summary.last_sent = sent;
}

int read_failed(const char* path)
{
    complain(path, io_error_text());
    return 1;
}

} // namespace

int scan_folder(const char* path, FolderSummary& summary, FromProblemHandler on_problem,
                ZoneEvidence* evidence)
{
    summary = FolderSummary{};
    int fd = io_open_read(path);
    if (fd < 0)
        return read_failed(path);
    TextInput input;
    text_input_open(input, fd, scan_block, scan_block_size, false);
    input.drops_ctrl_z_and_nul = true;
    char buffer[line_buffer_size];
    std::int64_t line_number = 0;
    bool form_feed_held = false;
    bool continues_piece = false;
    int status = 0;
    FolderRead read;
    while (status == 0 && read_folder_line(input, buffer, read)) {
        if (continues_piece) {
            continues_piece = read.piece;
            continue;
        }
        ++line_number;
        std::string_view line(read.text, read.length);
        continues_piece = read.piece;
        bool form_feed = is_form_feed_line(line);
        if (form_feed || !starts_message(line, form_feed_held)) {
            if (evidence != nullptr)
                zone_message_line(*evidence, line, continues_piece);
        }
        if (form_feed) {
            form_feed_held = true;
            continue;
        }
        if (!starts_message(line, form_feed_held)) {
            // Lines in front of the first message leave a form feed held.
            if (summary.messages > 0)
                form_feed_held = false;
            continue;
        }
        form_feed_held = continues_piece = false;
        ++summary.messages;
        take_from_line(input, buffer, read, from_line, nullptr);
        if (input.failed)
            break;
        diagnose_from_line(from_line, diagnosis);
        if (evidence != nullptr)
            zone_message_start(*evidence, diagnosis);
        if (diagnosis.converts || diagnosis.repairable) {
            note_sent(summary, diagnosis.date);
            summary.own += diagnosis.own ? 1 : 0;
        }
        if (!diagnosis.converts) {
            ++summary.problems;
            summary.repairable += diagnosis.repairable ? 1 : 0;
            status = on_problem(line_number, from_line, diagnosis);
        }
    }
    if (evidence != nullptr)
        zone_folder_end(*evidence);
    if (input.failed)
        status = read_failed(path);
    io_close_discarded(fd);
    if (status == 0 && summary.messages == 0) {
        summary.no_message = true;
        ++summary.problems;
    }
    return status;
}
