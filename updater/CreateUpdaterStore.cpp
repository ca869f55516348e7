#include "CreateUpdaterStore.h"

#include <stdexcept>

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& base,
                                                  const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(base.c_str());
  } catch (const std::runtime_error& e) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                    caller != nullptr ? caller : "", e.what());
    return nullptr;
  }
}
