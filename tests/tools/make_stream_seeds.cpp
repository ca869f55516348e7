// Writes the seed corpora of fuzz_stream_packet, fuzz_uei_bytes and fuzz_i2c_reply into
// FOLDER/NAME/ (fuzz/corpus as a rule), made with the kit's packet builders.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PacketHelpers.h"

namespace {

bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
  return fclose(f) == 0;
}

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  bool ok = true;
  auto put = [&](const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    mkdir((folder + "/" + target).c_str(), 0755);
    ok = Write(folder + "/" + target + "/" + name, bytes) && ok;
  };

  // Stream packets, each followed by registrations: any option of (2, 3, index 0), and an exact one.
  const std::vector<uint8_t> keys = HexBytes("02 03 FF 00 FF 02 03 05 00 FF");
  const uint64_t ts = 0x0000000100000002ull;
  struct Sample {
    const char* name;
    SampleFields fields;
  };
  const Sample samples[] = {
      {"u8", {1, 3, 5, 0, 0, ts, 0x12}},
      {"u16", {2, 3, 5, 0, 0, ts, 0x1234}},
      {"u32", {3, 3, 5, 0, 0, ts, 0x12345678}},
      {"bytes", {4, 3, 5, 0, 0, ts, 1, 0x81}},
      {"u8_subindex", {5, 3, 5, 0, 2, ts, 0x12}},
      {"u16_subindex", {6, 3, 5, 0, 2, ts, 0x1234}},
      {"u32_subindex", {7, 3, 5, 0, 2, ts, 0x12345678}},
      {"kind0", {0, 3, 5, 0, 0, ts, 1}},
      {"kind8", {8, 3, 5, 0, 0, ts, 1}},
      {"short_u8", {1, 3, 5, 0, 0, ts, 1, 0, 13}},
      {"long_u32", {3, 3, 5, 0, 0, ts, 1, 0, 18}},
      {"command_ff", {3, 0xFF, 5, 0, 0, ts, 1}},
      {"subindex_ff", {5, 3, 5, 0, 0xFF, ts, 1}},
  };
  for (const Sample& sample : samples) put("fuzz_stream_packet", sample.name, Join(StreamSampleBytes(2, sample.fields), keys));

  // Byte transfers: [capacity, module, command, option, index] and the packets of a transfer.
  struct Transfer {
    const char* name;
    size_t size;
    uint8_t capacity;
  };
  const Transfer transfers[] = {{"fits", 50, 63}, {"overflows", 50, 29}, {"empty", 0, 7}, {"one_packet", 24, 24}};
  for (const Transfer& transfer : transfers) {
    std::vector<uint8_t> data(transfer.size);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> input{static_cast<uint8_t>(transfer.capacity - 1), 0x06, 0x03, 0x81, 0x00};
    for (const std::vector<uint8_t>& packet : TransferPackets(0x06, 0x03, data)) input = Join(input, packet);
    put("fuzz_uei_bytes", transfer.name, input);
  }
  put("fuzz_uei_bytes", "error_reply", Join({9, 0x06, 0x03, 0x81, 0x00}, HexBytes("06 04 03 81 80 1D")));
  put("fuzz_uei_bytes", "no_trailer", Join({9, 0x06, 0x03, 0x81, 0x00}, HexBytes("06 03 03 81 20")));

  // I2C replies: [length asked, reply payload].
  put("fuzz_i2c_reply", "read", HexBytes("03 08 01 A1 03 00 C0 FF EE"));
  put("fuzz_i2c_reply", "count_above_asked", HexBytes("02 08 01 A1 03 00 C0 FF EE"));
  put("fuzz_i2c_reply", "count_above_carried", HexBytes("03 08 01 A1 03 00 C0 FF"));
  put("fuzz_i2c_reply", "failed", HexBytes("03 08 01 A1 00 85"));
  put("fuzz_i2c_reply", "four_bytes", HexBytes("03 08 01 A1 00"));
  put("fuzz_i2c_reply", "write", HexBytes("00 08 01 A0 00 00"));
  return ok ? 0 : 1;
}
