// What kestrel-folder prints on standard output: one line for each line of
// a folder that stops its conversion, one for each mend, and one summary
// line for each folder.
#pragma once

#include "folder/folder_scan.hpp"

// FOLDER:LINE: what is wrong, and whether repair mends it
void print_problem(const char* folder, std::int64_t line_number, const DateDiagnosis& diagnosis);
// FOLDER:LINE: "the date as it stands" -> "the date mended"
void print_mend(const char* folder, std::int64_t line_number, const FromLine& line,
                const DateDiagnosis& diagnosis);
// FOLDER: no message in the file ...
void print_no_message(const char* folder);
// FOLDER: N messages (M yours), sent FIRST to LAST, ok (or K problems (R repairable));
// the messages of the user are counted only when the user name is known.
void print_summary(const char* folder, const FolderSummary& summary, bool count_own);
