// The four settings, read as the converter reads them, and a warning on
// standard error wherever they will make headers a user does not expect.
// A warning never fails the check.
#pragma once

// Loads the settings and warns; returns whether the user name is set.
bool load_and_warn_about_settings();
