#include "RecoveryRigs.h"

#include <gtest/gtest.h>

#include "UpdaterStore.h"

ImxRecoveryRig::ImxRecoveryRig(UsbDeviceEmulation& usb, const SimRecoveryLoader::Settings& settings, bool faces)
    : usbFaces(faces) {
  loader = std::make_unique<SimRecoveryLoader>(usb, rom, settings);
  if (usbFaces) {
    rom.plugUsb(usb);
  } else {
    rom.serveSerial(pty);
  }
}

ImxRecoveryRig::~ImxRecoveryRig() { End(); }

void ImxRecoveryRig::End() {
  loader.reset();
  rom.stop();
}

std::string ImxRecoveryRig::port() const { return usbFaces ? "USB" : pty.slaveName(); }

ByteVec RecoveryLoaderImage() { return RecoveryLoaderImage({}); }

ByteVec RecoveryLoaderImage(const std::vector<ByteVec>& firmware, uint32_t firmwareAddress) {
  BirdBuilder bird;
  bird.Loader(0x20200000, RandomBytes(3000, 21)).Loader(0x20210000, RandomBytes(1500, 22));
  uint32_t address = firmwareAddress;
  for (const ByteVec& image : firmware) {
    bird.Firmware(address, image);
    address += static_cast<uint32_t>((image.size() + 0xFFFF) & ~0xFFFFu);
  }
  return bird.Bytes();
}

void StoreRecoveryLoader(const std::string& store, const ByteVec& image, uint32_t build, bool latest) {
  UpdaterStore updaterStore((store + "/updater").c_str());
  UpdaterStoreItem entry = updaterStore.AddDevice(0xDEADDEAD);
  std::string name = std::to_string(build) + ".bird";
  ASSERT_EQ(entry.WriteFile(name.c_str(), image.data(), image.size()), aErrNone);
  if (latest) entry.settings.Add("LATEST_DOWNLOAD", name);
  entry.settings.Save(nullptr);
}
