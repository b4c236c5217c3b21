// kestrel-folder's command line: check and repair, --help and --version.
#pragma once

// Runs the command of the arguments; the exit status.
int run_kestrel_folder(int argc, char** argv);
