#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "Updater.h"

// Records every workflow call with its arguments, in order, and answers with scripted results.
class FakeUpdater : public Updater {
 public:
  explicit FakeUpdater(UpdaterDisplayInterface& display) : Updater("U", "S/updater", display) {}

  // Scripted answers.
  bool fingerprintOk = true;
  Fingerprint fingerprint = {{1, 2, 3, 4}};
  uint32_t downloaded = 0;
  std::vector<DeviceInfo> devices;
  bool listOk = true;
  BuildMap builds;
  bool workflowOk = true;

  std::vector<std::string> calls;

  void Set_UEIBytes_Load(bool use) override {
    record("Set_UEIBytes_Load(%d)", use);
    Updater::Set_UEIBytes_Load(use);
  }
  bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serial, std::string bird, uint32_t baud,
                       bool reset) override {
    record("Get_Fingerprint(%08X %08X %08X %08X, \"%s\", %08X, \"%s\", %u, %d)", out.word[0], out.word[1],
           out.word[2], out.word[3], port.c_str(), serial, bird.c_str(), baud, reset);
    if (fingerprintOk) out = fingerprint;
    return fingerprintOk;
  }
  uint32_t Download_Firmware(uint32_t serial, std::string build, bool override, bool flag) override {
    record("Download_Firmware(%08X, \"%s\", %d, %d)", serial, build.c_str(), override, flag);
    return downloaded;
  }
  std::vector<DeviceInfo> Discover_Devices(linkType type, bool* ok) override {
    record("Discover_Devices(%d)", type);
    if (ok) *ok = listOk;
    return devices;
  }
  std::vector<DeviceInfo> Discover_QLNetwork_Devices(uint32_t router, linkType type, bool* ok) override {
    record("Discover_QLNetwork_Devices(%08X, %d)", router, type);
    if (ok) *ok = listOk;
    return devices;
  }
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baud, uint32_t serial, std::string bird,
                        bool override) override {
    record("Recover_Firmware(\"%s\", %u, %u, %08X, \"%s\", %d)", port.c_str(), build, baud, serial, bird.c_str(),
           override);
    return workflowOk;
  }
  bool Update_Firmware(uint32_t serial, uint32_t build, std::string bird, uint8_t module, uint32_t router,
                       bool override) override {
    record("Update_Firmware(%08X, %u, \"%s\", %u, %08X, %d)", serial, build, bird.c_str(), module, router, override);
    return workflowOk;
  }
  BuildMap Get_BuildList(uint32_t serial, bool* ok) override {
    record("Get_BuildList(%08X)", serial);
    if (ok) *ok = listOk;
    return builds;
  }
  BuildMap Get_BuildListLocal(uint32_t serial, bool* ok) override {
    record("Get_BuildListLocal(%08X)", serial);
    if (ok) *ok = listOk;
    return builds;
  }

 private:
  template <class... A>
  void record(const char* format, A... args) {
    char line[512];
    snprintf(line, sizeof(line), format, args...);
    calls.push_back(line);
  }
};
