#pragma once
#include <memory>
#include <string>

#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"

// The store of one workflow call. When the store folder cannot be made, shows
// "Failed to Create UpdaterStore in: <caller> - Exception: <reason>" and returns null.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& base,
                                                  const char* caller);
