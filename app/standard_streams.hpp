// The process's standard streams, as the platform has them.
#pragma once

// A terminal, a console or the null device is interactive; a file, a pipe or
// a socket is a redirected list, and so is a closed standard input, whose
// list then holds no line.
bool standard_input_is_interactive();

// The descriptor of standard input, for reading the list.
int standard_input_descriptor();

// Makes sure standard output and error are taken before any file is opened,
// so that no mailbox can get their place.
void keep_standard_streams_taken();
