#pragma once

// Writes the usage text straight to standard error: always the short text; with `full` the
// commands and the samples, and with `extended` as well the extended options.
void _display_usage(bool extended, bool full);
