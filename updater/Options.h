#pragma once
#include <cstdint>

#include "Parameters.h"
#include "SimpleOpt.h"
#include "UpdaterDisplayInterface.h"

// Option ids of the updater's table.
enum { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2, OPT_HTTPS = 3, OPT_HTTP = 4 };

extern const CSimpleOptTempl<char>::SOption g_rgOptions[];

// Fills the record from the command line. 0 when it is acceptable, 1 when an option was
// rejected; each rejection is shown at once through the display's error level.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);

// `text` read as hexadecimal (decimal for _get_int_arg) when it holds only digits of that
// base and the value fits 32 bits; `end` is then set behind it. Any other text, an empty
// one included, gives 0 and leaves `end` alone; a null `end` gives 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
