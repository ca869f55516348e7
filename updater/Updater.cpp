#include "Updater.h"

Updater::Updater(const char* serverUrl, const char* updaterDir, UpdaterDisplayInterface& display)
    : serverUrl(serverUrl ? serverUrl : ""), updaterDir(updaterDir ? updaterDir : ""), display(display) {}

Updater::~Updater() = default;

void Updater::Set_UEIBytes_Load(bool use) { useUEIBytes = use; }
