// The four settings, read as the converter reads them, and a warning on
// standard error wherever they will make headers a user does not expect.
// A warning never fails the check.
#pragma once

#include "folder/zone_estimate.hpp"

// Loads the settings and warns; returns whether the user name is set.
bool load_and_warn_about_settings();

// Warns when the messages that came through a mail gateway put the VAX's
// clock hours away from KESTREL_TZ or KESTREL_DST, and says the settings
// that fit them and how many messages agree. Nothing is said of months with
// too few such messages, unless to say that their setting stays.
void warn_about_zones(const ZoneEvidence& evidence);
