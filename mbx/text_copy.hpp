// The text of a message on its way out, copied into the export's output
// block.
#pragma once

#include "mbx/mbox_export.hpp"

#include <cstddef>
#include <string_view>

// The text of a message on its way out. In an mbox and a Maildir CR LF
// becomes LF; in an mbox a line of ">"s followed by "From " also gets one
// more ">". An .eml file keeps the text's CR LF. Inside a line the text is
// copied sixteen bytes at a time; the start of an mbox line that may need
// its ">", a CR at the end of a piece and the last bytes of a piece go byte
// by byte through a bounded state.
struct LineWriter {
    ExportForm form = ExportForm::mbox;
    bool line_start = true;  // in an mbox, still in the line's run of ">" and "From "
    std::size_t matched = 0; // characters of "From " matched so far
    bool held_cr = false;
    bool ended_line = true; // the last byte written was a LF
};

// Writes `n` bytes of text; a line may go on from one call to the next.
void write_text(ExportOutput& out, LineWriter& w, const unsigned char* p, std::size_t n);
void write_string(ExportOutput& out, LineWriter& w, std::string_view text);
// Ends the text: what is held goes out, and a last line without its line
// end gets one.
void end_text(ExportOutput& out, LineWriter& w);
