// What the fault-injection builds of kestrel and kestrel-mbx share: the
// settings they take from the environment before the run, and the account
// of the run they leave behind after it.
//
// KESTREL_FAULT_AT=N makes the Nth call of the file layer fail,
// KESTREL_DIE_AT=N ends the process before it as kill -9 would.
// KESTREL_NO_UNNAMED_FILES makes an output be created as on a file system
// without unnamed files: under a temporary name until it is complete (on
// Windows without the mark that removes it at the end of the process).
// KESTREL_COMMIT_LEVEL=1 takes away the rename that refuses to replace, 2
// hard links as well, as on file systems that lack them.
// KESTREL_RENAME_LOSES_CONTENTS makes the rename of a directory lose the
// files in it, as the FAT driver fusefat does.
#pragma once

// Applies the settings above.
void take_fault_settings();

// When KESTREL_FAULT_COUNT names a file, writes to it the number of
// file-layer calls made and the name of the call that failed ("-" when none
// did) on the first line, and the names of the calls made, in order, on the
// second, so that a test knows when it has tried every call of a run, what
// a failure hit, and which calls a run makes.
void write_fault_count();
