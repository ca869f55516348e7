#include "Updater.h"

Updater::Updater(const char* serverUrl, const char* updaterDir, UpdaterDisplayInterface& display)
    : serverUrl(serverUrl ? serverUrl : ""), updaterDir(updaterDir ? updaterDir : ""), display(display) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool use) { useUEIBytes = use; }

void Updater::NotAvailable(const char* workflow) {
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build", workflow);
}

// Workflows whose capability has not landed yet. Each reports failure, never an empty
// "found nothing" answer.

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool) {
  NotAvailable("Get_Fingerprint");
  return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool) {
  NotAvailable("Recover_Firmware");
  return false;
}
