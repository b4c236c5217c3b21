// The messages of kestrel-mbx: "kestrel-mbx: NAME: WHAT" on standard error.
#pragma once

#include <string>

void complain(const std::string& name, const std::string& what);

// While held, the messages are kept in `into` instead of being printed, so
// that a caller can put a message of more weight in front of them or in
// their place; nullptr prints again.
void hold_complaints(std::string* into);
