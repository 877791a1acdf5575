#pragma once

// Writes the usage text to standard error: always the short text; with `full`
// the parameters and commands, with `full` and `extended` the extended
// section, and with `full` the samples.
void _display_usage(bool extended, bool full);
