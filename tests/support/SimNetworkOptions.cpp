#include "SimNetworkOptions.h"

#include "SimSystemEntity.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {

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

}  // namespace

std::optional<SimNetworkSetting> SimNetworkOption(const std::string& name, const std::string& value, uint8_t* device) {
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
  if (name == "--system") {
    std::optional<uint8_t> address = sModuleAddress(value);
    if (!address) return std::nullopt;
    return [a = *address](SimNetwork& net) { LoadSystemEntity(net, a); };
  }
  // Single values of the system entity: option, width and the widest value.
  struct SystemValue {
    const char* name;
    uint8_t option;
    SimWidth width;
    uint32_t max;
  };
  static const SystemValue kSystemValues[] = {
      {"--serial", 9, SimWidth::kInt, 0xFFFFFFFF},       {"--model", 8, SimWidth::kByte, 0xFF},
      {"--version", 7, SimWidth::kInt, 0xFFFFFFFF},      {"--module-address", 1, SimWidth::kByte, 0xFF},
      {"--router", 2, SimWidth::kByte, 0xFF},            {"--name", 32, SimWidth::kBytes, 0},
  };
  for (const SystemValue& known : kSystemValues) {
    if (name != known.name) continue;
    size_t colon = value.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::optional<uint8_t> address = sModuleAddress(value.substr(0, colon));
    std::string rest = value.substr(colon + 1);
    if (!address) return std::nullopt;
    SimEntity entity;
    entity.width = known.width;
    if (known.width == SimWidth::kBytes) {
      entity.bytes.assign(rest.begin(), rest.end());
    } else {
      std::optional<uint32_t> number = sNumber(rest, known.max);
      if (!number) return std::nullopt;
      entity.value = *number;
    }
    // Read-only options stay read-only.
    entity.settable = known.option == 2 || known.option == 32;
    return [a = *address, o = known.option, entity](SimNetwork& net) { net.SetEntity(a, {3, o, 0}, entity); };
  }
  if (name == "--build-reply" || name == "--features" || name == "--uei-data" || name == "--block-size" ||
      name == "--load-reply" || name == "--load-base") {
    std::vector<std::string> parts = sSplit(value, ':');
    if (parts.size() != 2) return std::nullopt;
    std::optional<uint8_t> address = sModuleAddress(parts[0]);
    const uint32_t max = name == "--build-reply" ? 28 : name == "--uei-data" ? 0xFF : name == "--block-size" ? 0xFFFF
                         : name == "--load-reply"                              ? 1
                                                                               : 0xFFFFFFFF;
    std::optional<uint32_t> number = sNumber(parts[1], max);
    if (!address || !number) return std::nullopt;
    const uint8_t a = *address;
    const uint32_t n = *number;
    if (name == "--build-reply") {
      return [a, n](SimNetwork& net) {
        // The build stays as set; only its reply's length changes.
        net.SetBuildLength(a, n);
      };
    }
    if (name == "--features") {
      SimEntity entity;
      entity.width = SimWidth::kInt;
      entity.value = n;
      entity.settable = false;
      return [a, entity](SimNetwork& net) { net.SetEntity(a, {3, 45, 0}, entity); };
    }
    if (name == "--uei-data") {
      return [a, n](SimNetwork& net) { net.SetHasUEI(a, 95, 10, 0, 0x80, static_cast<uint8_t>(n)); };
    }
    return [a, n, name](SimNetwork& net) {
      SimUpgradeEntity::Options options = net.UpgradeOptions(a);
      if (name == "--block-size") options.blockSize = static_cast<uint16_t>(n);
      if (name == "--load-reply") options.answerLoad = n != 0;
      if (name == "--load-base") options.base = n;
      net.SetUpgrade(a, options);
    };
  }
  if (name == "--upgrade-fault") {
    std::vector<std::string> parts = sSplit(value, ':');
    if (parts.size() < 3 || parts.size() > 6) return std::nullopt;
    static const std::pair<const char*, SimUpgradeFault::Kind> kKinds[] = {
        {"noreply", SimUpgradeFault::Kind::kNoReply},       {"late", SimUpgradeFault::Kind::kLate},
        {"status", SimUpgradeFault::Kind::kStatus},         {"wrongcount", SimUpgradeFault::Kind::kWrongCount},
        {"wrongsum", SimUpgradeFault::Kind::kWrongSum},     {"short", SimUpgradeFault::Kind::kShort},
        {"blocksize0", SimUpgradeFault::Kind::kBlockSizeZero}, {"vanish", SimUpgradeFault::Kind::kVanish},
    };
    std::optional<uint8_t> address = sModuleAddress(parts[0]);
    std::optional<uint32_t> sub = sNumber(parts[1], 0xFF);
    std::optional<SimUpgradeFault::Kind> kind;
    for (const auto& known : kKinds)
      if (parts[2] == known.first) kind = known.second;
    SimUpgradeFault fault;
    std::optional<uint32_t> numbers[3] = {0, 1, 0};
    for (size_t i = 3; i < parts.size(); ++i) numbers[i - 3] = sNumber(parts[i], 0xFFFFFFFF);
    if (!address || !sub || !kind || !numbers[0] || !numbers[1] || !numbers[2]) return std::nullopt;
    fault.sub = static_cast<uint8_t>(*sub);
    fault.kind = *kind;
    fault.value = *numbers[0];
    fault.times = *numbers[1];
    fault.after = *numbers[2];
    return [a = *address, fault](SimNetwork& net) { net.AddUpgradeFault(a, fault); };
  }
  if (name == "--i2c") {
    if (!sAssignment(value, true, &left, &right)) return std::nullopt;
    std::vector<std::string> key = sSplit(left, ':');
    std::vector<std::string> val = sSplit(right, ':');
    if (key.size() != 3 || val.empty() || val.size() > 2) return std::nullopt;
    std::optional<uint8_t> address = sModuleAddress(key[0]);
    std::optional<uint32_t> bus = sNumber(key[1], 0xFF), slave = sNumber(key[2], 0xFE);
    std::optional<std::vector<uint8_t>> data = sHex(val[0]);
    std::optional<uint32_t> status = val.size() == 2 ? sNumber(val[1], 0xFF) : std::optional<uint32_t>(0);
    if (!address || !bus || !slave || (*slave & 1) != 0 || !data || data->size() > 23 || !status) return std::nullopt;
    SimI2CSlave entry{*data, static_cast<uint8_t>(*status)};
    return [a = *address, b = *bus, s = *slave, entry](SimNetwork& net) {
      net.SetI2CSlave(a, static_cast<uint8_t>(b), static_cast<uint8_t>(s), entry);
    };
  }
  return std::nullopt;
}

std::optional<uint32_t> SimOptionNumber(const std::string& text, uint32_t max) { return sNumber(text, max); }

std::optional<uint8_t> SimOptionModuleAddress(const std::string& text) { return sModuleAddress(text); }

std::vector<std::string> SimOptionSplit(const std::string& text, char at) { return sSplit(text, at); }
