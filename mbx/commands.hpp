// kestrel-mbx's command line, read and carried out: the arguments in
// UTF-8 after the program name; the exit status.
#pragma once

int run_kestrel_mbx(int argc, char** argv);
