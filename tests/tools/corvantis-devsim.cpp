// The link-level simulated device as a program of its own, for end-to-end runs of the
// updater against a device. Serves until SIGINT or SIGTERM.
//   corvantis-devsim --tcp PORT [OPTION]...
//     on 127.0.0.1:PORT (0: a free port); prints "tcp 127.0.0.1 PORT"
//   --address A                  the device's (routing module's) address, even (default 0x08)
//   --module A                   a module behind it at address A
//   --build [A:]N                build number of the module at A (default: the device's)
//   --entity A:C:O:I[:S]=W:V     entity (command C, option O, index I, subindex S) of module A:
//                                width W 0, 1, 2 or 4 and value V, or W "b" and V hex bytes
//   --slot A:S:L:CAP[=HEX]       store S, slot L of module A with capacity CAP and contents
//   --factory A:K=HEX            factory data of kind K of module A
// Numbers are decimal or 0x hexadecimal. Until a table is given the device echoes every
// packet; with tables its modules answer (SimNetwork.h).
#include <pthread.h>
#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "SimLinkDevice.h"
#include "SimLinkTcpSide.h"
#include "SimNetwork.h"
#include "TcpDeviceListener.h"

namespace {

int sUsage() {
  fprintf(stderr,
          "usage: corvantis-devsim --tcp PORT [--address A] [--module A] [--build [A:]N]\n"
          "         [--entity A:C:O:I[:S]=W:V] [--slot A:S:L:CAP[=HEX]] [--factory A:K=HEX]\n");
  return 2;
}

std::optional<uint32_t> sNumber(const std::string& text, uint32_t max) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<uint8_t> sModuleAddress(const std::string& text) {
  std::optional<uint32_t> value = sNumber(text, 0xFE);
  if (!value || *value == 0 || (*value & 1) != 0) return std::nullopt;
  return static_cast<uint8_t>(*value);
}

std::optional<std::vector<uint8_t>> sHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    std::optional<uint32_t> byte = sNumber("0x" + text.substr(i, 2), 0xFF);
    if (!byte || !isxdigit(static_cast<unsigned char>(text[i])) || !isxdigit(static_cast<unsigned char>(text[i + 1])))
      return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(*byte));
  }
  return bytes;
}

std::vector<std::string> sSplit(const std::string& text, char at) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t next = text.find(at); next != std::string::npos; next = text.find(at, from)) {
    parts.push_back(text.substr(from, next - from));
    from = next + 1;
  }
  parts.push_back(text.substr(from));
  return parts;
}

// "LEFT=RIGHT" with RIGHT optional when `needRight` is false.
bool sAssignment(const std::string& text, bool needRight, std::string* left, std::string* right) {
  size_t at = text.find('=');
  *left = text.substr(0, at);
  *right = at == std::string::npos ? "" : text.substr(at + 1);
  return at != std::string::npos || !needRight;
}

using Setting = std::function<void(SimNetwork&)>;

// One table option turned into the setting it makes; nullopt when it is malformed.
std::optional<Setting> sTableOption(const std::string& name, const std::string& value, uint8_t* device) {
  std::string left, right;
  if (name == "--module") {
    std::optional<uint8_t> address = sModuleAddress(value);
    if (!address) return std::nullopt;
    return [a = *address](SimNetwork& net) { net.AddModule(a); };
  }
  if (name == "--build") {
    std::vector<std::string> parts = sSplit(value, ':');
    std::optional<uint8_t> address = parts.size() == 2 ? sModuleAddress(parts[0]) : std::optional<uint8_t>(0);
    std::optional<uint32_t> build = sNumber(parts.back(), 0xFFFFFFFF);
    if (parts.size() > 2 || !address || !build) return std::nullopt;
    return [a = *address, b = *build, device](SimNetwork& net) { net.SetBuild(a != 0 ? a : *device, b); };
  }
  if (name == "--entity") {
    if (!sAssignment(value, true, &left, &right)) return std::nullopt;
    std::vector<std::string> key = sSplit(left, ':');
    std::vector<std::string> val = sSplit(right, ':');
    if ((key.size() != 4 && key.size() != 5) || val.size() != 2) return std::nullopt;
    std::optional<uint8_t> address = sModuleAddress(key[0]);
    std::optional<uint32_t> command = sNumber(key[1], 0xFF), option = sNumber(key[2], 63), index = sNumber(key[3], 31);
    std::optional<uint32_t> subindex = key.size() == 5 ? sNumber(key[4], 0xFF) : std::optional<uint32_t>(0);
    if (!address || !command || !option || !index || !subindex) return std::nullopt;
    SimEntity entity;
    if (val[0] == "b") {
      std::optional<std::vector<uint8_t>> bytes = sHex(val[1]);
      if (!bytes) return std::nullopt;
      entity.width = SimWidth::kBytes;
      entity.bytes = *bytes;
    } else {
      std::optional<uint32_t> width = sNumber(val[0], 4);
      std::optional<uint32_t> number = sNumber(val[1], 0xFFFFFFFF);
      if (!width || *width == 3 || !number) return std::nullopt;
      entity.width = static_cast<SimWidth>(*width);
      entity.value = *number;
    }
    SimEntityKey entityKey{static_cast<uint8_t>(*command), static_cast<uint8_t>(*option), static_cast<uint8_t>(*index),
                           key.size() == 5 ? static_cast<int>(*subindex) : -1};
    return [a = *address, entityKey, entity](SimNetwork& net) { net.SetEntity(a, entityKey, entity); };
  }
  if (name == "--slot") {
    if (!sAssignment(value, false, &left, &right)) return std::nullopt;
    std::vector<std::string> key = sSplit(left, ':');
    if (key.size() != 4) return std::nullopt;
    std::optional<uint8_t> address = sModuleAddress(key[0]);
    std::optional<uint32_t> store = sNumber(key[1], 0xFF), slot = sNumber(key[2], 0xFF), capacity = sNumber(key[3], 0xFFFF);
    std::optional<std::vector<uint8_t>> contents = sHex(right);
    if (!address || !store || !slot || !capacity || !contents || contents->size() > *capacity) return std::nullopt;
    return [a = *address, s = *store, l = *slot, c = *capacity, bytes = *contents](SimNetwork& net) {
      net.SetSlot(a, static_cast<uint8_t>(s), static_cast<uint8_t>(l), c, bytes);
    };
  }
  if (name == "--factory") {
    if (!sAssignment(value, true, &left, &right)) return std::nullopt;
    std::vector<std::string> key = sSplit(left, ':');
    if (key.size() != 2) return std::nullopt;
    std::optional<uint8_t> address = sModuleAddress(key[0]);
    std::optional<uint32_t> kind = sNumber(key[1], 15);
    std::optional<std::vector<uint8_t>> bytes = sHex(right);
    if (!address || !kind || !bytes) return std::nullopt;
    return [a = *address, k = *kind, b = *bytes](SimNetwork& net) { net.SetFactory(a, static_cast<uint8_t>(k), b); };
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  TcpDeviceListener::Options options;
  bool haveTcp = false;
  uint8_t address = 0x08;
  std::vector<Setting> settings;
  for (int i = 1; i < argc; i += 2) {
    std::string name = argv[i];
    if (i + 1 >= argc) return sUsage();
    std::string value = argv[i + 1];
    if (name == "--tcp") {
      std::optional<uint32_t> port = sNumber(value, 65535);
      if (!port || value[0] < '0' || value[0] > '9') return sUsage();
      options.port = static_cast<uint16_t>(*port);
      haveTcp = true;
    } else if (name == "--address") {
      std::optional<uint8_t> parsed = sModuleAddress(value);
      if (!parsed) return sUsage();
      address = *parsed;
    } else {
      std::optional<Setting> setting = sTableOption(name, value, &address);
      if (!setting) return sUsage();
      settings.push_back(std::move(*setting));
    }
  }
  if (!haveTcp) return sUsage();

  // Every thread made from here on leaves the two signals to sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  SimLinkDevice device(address);
  device.SetEcho(true);
  device.SetRecording(false);
  for (const Setting& setting : settings) setting(device.Network());
  SimLinkTcpSide side(device);
  std::unique_ptr<TcpDeviceListener> listener;
  try {
    listener = std::make_unique<TcpDeviceListener>(&side, options);
  } catch (const std::exception& e) {
    fprintf(stderr, "corvantis-devsim: %s\n", e.what());
    return 1;
  }
  printf("tcp 127.0.0.1 %u\n", static_cast<unsigned>(listener->port()));
  fflush(stdout);

  int signal = 0;
  sigwait(&stop, &signal);
  listener.reset();
  return 0;
}
