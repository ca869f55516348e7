#pragma once
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// Runs the requested commands in their fixed order (fingerprint, download, then one of
// discover, update or recovery, server builds, local builds) and gives the exit status.
int _run_commands(Parameters& params, Updater& updater, UpdaterDisplayInterface& display);
