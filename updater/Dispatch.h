#pragma once
#include <functional>

#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// Runs the requested commands in their fixed order (fingerprint, download, then one of
// discover, update or recovery, server builds, local builds) and gives the exit status.
int _run_commands(Parameters& params, Updater& updater, UpdaterDisplayInterface& display);

// Runs one pass of the program and gives its exit status. An exception that escapes it (memory
// running out, say) ends the run with the error "Error: <its text>", or "Error: unknown
// failure" when it is no std::exception, and status 1; nothing is cleaned up or removed.
int _run_guarded(UpdaterDisplayInterface& display, const std::function<int()>& run);
