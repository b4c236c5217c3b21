// Staging of one folder file: opening it, choosing and creating the mailbox
// file, and making the staged copy that message assembly reads. And the one
// clean-up that runs after every conversion.
#pragma once

#include <cstddef>

// The folder file's name without directory, drive and extension, cut to
// `capacity` characters: "..\VAX\MAIL.OLD.TXT" and "D:MAIL.OLD" give
// "MAIL.OLD".
void take_base_name(const char* folder_path, char* base_name, std::size_t capacity);

int stage_folder(const char* folder_path, const char* directory);
void close_and_clean(int failed);
