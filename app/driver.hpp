// The program driver: tells a help request from a conversion run, loads the
// settings, and converts the folder named on the command line or every
// folder named by a line of redirected standard input.
#pragma once

int run_program(int argc, char** argv);

// 0 when the path names any existing file-system entry; otherwise prints
// "<path> : No such directory" and returns 1.
int check_directory(const char* path);
