// One pass over a folder file as the converter reads it: its lines, counted
// as the converter counts them, its message starts and each message's
// "From:" line taken whole and diagnosed. Memory stays bounded whatever the
// folder's size: the file is read in blocks, a line at a time.
#pragma once

#include "folder/date_diagnosis.hpp"
#include "folder/zone_estimate.hpp"

#include <cstdint>

struct FolderSummary {
    std::int64_t messages = 0;
    std::int64_t own = 0; // of the messages whose date converts or is mended
    std::int64_t problems = 0;
    std::int64_t repairable = 0;
    bool no_message = false;
    // Sending dates as year * 10000 + month * 100 + day; 0 when none.
    std::int32_t first_sent = 0;
    std::int32_t last_sent = 0;
};

// Called for each message's "From:" line that does not convert as it
// stands; 1 stops the pass.
using FromProblemHandler = int (*)(std::int64_t line_number, const FromLine& line,
                                   const DateDiagnosis& diagnosis);

// Reads the folder at `path`. Returns 1 after saying why on standard error
// when the folder cannot be opened or read, or when the handler stopped the
// pass; else 0, with the summary filled. With `evidence`, the messages that
// came through a mail gateway are counted into it as well.
int scan_folder(const char* path, FolderSummary& summary, FromProblemHandler on_problem,
                ZoneEvidence* evidence = nullptr);
