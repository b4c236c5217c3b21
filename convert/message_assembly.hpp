// Message assembly: turns the staged copy of a VAX MAIL folder extract into
// the records of the mailbox file.
//
// A message starts at a line holding a single form feed followed by a
// "From:<TAB>" line. Each message's lines go into its record with CR LF
// line ends, and its head is rewritten: the sending date is cut off the
// "From:" line and issued again as a "Received: ; " line (preceded by a
// "Date: " line for the user's own messages), and the message's first
// "Subj:<TAB>" line becomes a "Subject: " line.
#pragma once

#include "convert/folder_lines.hpp"

int convert_folder();
