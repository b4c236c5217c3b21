// The repaired copy of a folder: every byte of the folder as it stands,
// but for the dates at the end of messages' "From:" lines that a mend makes
// convertible. The copy is made beside the pass that finds the mends, in
// step with it, so that memory stays bounded whatever the folder's size.
#pragma once

#include "folder/folder_scan.hpp"

// Prints each mend and each problem left, writes the copy to `output_path`,
// which must not exist yet (the folder is only read), and gives it that
// name only once it is complete and on the device. Returns 1 after saying
// why when the copy cannot be made (a failed write removes it), else 0,
// with the summary of the copy filled.
int repair_folder(const char* folder_path, const char* output_path, FolderSummary& summary);
