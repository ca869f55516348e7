#pragma once
// The i.MX recovery set-up shared by tests and benchmarks: a boot ROM on a pty (or its USB
// faces) whose jump starts a recovery loader on the emulated bus, and a local store holding
// the default recovery loader.
#include <memory>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "PtyPair.h"
#include "SimRecoveryLoader.h"
#include "SimSdpRom.h"
#include "UsbDeviceEmulation.h"

// The ROM serving a pty and the loader it starts. End() before the emulation goes.
struct ImxRecoveryRig {
  ImxRecoveryRig(UsbDeviceEmulation& usb, const SimRecoveryLoader::Settings& loader = {}, bool usbFaces = false);
  ~ImxRecoveryRig();
  void End();
  // Where the updater reaches the ROM: the pty's slave, or "USB".
  std::string port() const;

  PtyPair pty{true};
  SimSdpRom rom;
  std::unique_ptr<SimRecoveryLoader> loader;
  bool usbFaces;
};

// A recovery loader image: loader blocks for 0x20200000 and 0x20210000, no start address.
ByteVec RecoveryLoaderImage();
// The image with firmware blocks as well.
ByteVec RecoveryLoaderImage(const std::vector<ByteVec>& firmware, uint32_t firmwareAddress = 0x60000000);

// Puts `image` into the store under DEADDEAD as build `build`, with LATEST_DOWNLOAD naming it
// unless latest is false. `store` is the -i folder.
void StoreRecoveryLoader(const std::string& store, const ByteVec& image, uint32_t build = 500, bool latest = true);
