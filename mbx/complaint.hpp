// The messages of kestrel-mbx: "kestrel-mbx: NAME: WHAT" on standard error.
#pragma once

#include <string>

void complain(const std::string& name, const std::string& what);
