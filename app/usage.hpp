// The help screen shown for a run without arguments or with "/?" or "-?".
#pragma once

void print_usage();
