// The help screen shown for a run without arguments or with "/?", "-?" or
// "--help", and the version line shown for "--version".
#pragma once

void print_usage();
// "KESTREL 1.2" and a newline: the program's name and version.
void print_version();
