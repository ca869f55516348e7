#include "PeerFraming.h"

uint8_t PeerCrc8(const std::vector<uint8_t>& bytes) {
  uint8_t crc = 0;
  for (uint8_t byte : bytes) {
    for (int bit = 0; bit < 8; ++bit) {
      bool mix = ((crc ^ byte) & 1) != 0;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      byte >>= 1;
    }
  }
  return crc;
}

// Splits at every zero; a block never holds more than 254 data bytes.
std::vector<uint8_t> PeerCobsEncode(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> block;
  auto flush = [&] {
    out.push_back(static_cast<uint8_t>(block.size() + 1));
    out.insert(out.end(), block.begin(), block.end());
    block.clear();
  };
  for (uint8_t byte : bytes) {
    if (byte == 0) {
      flush();
      continue;
    }
    block.push_back(byte);
    if (block.size() == 254) flush();
  }
  flush();
  return out;
}

std::vector<uint8_t> PeerFrame(const std::vector<uint8_t>& wire) {
  std::vector<uint8_t> content = wire;
  content.push_back(PeerCrc8(wire));
  std::vector<uint8_t> line = PeerCobsEncode(content);
  line.push_back(0);
  return line;
}

namespace {

// Empty when the encoding is broken.
std::vector<uint8_t> sDecode(const std::vector<uint8_t>& line, bool* ok) {
  std::vector<uint8_t> out;
  *ok = false;
  size_t i = 0;
  while (i < line.size()) {
    size_t code = line[i];
    if (code == 0 || i + code > line.size()) return {};
    out.insert(out.end(), line.begin() + static_cast<long>(i) + 1, line.begin() + static_cast<long>(i + code));
    i += code;
    if (code != 0xFF && i < line.size()) out.push_back(0);
  }
  *ok = true;
  return out;
}

}  // namespace

std::vector<PeerDeframer::Frame> PeerDeframer::Feed(const uint8_t* data, size_t length) {
  std::vector<Frame> frames;
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != 0) {
      pending_.push_back(data[i]);
      continue;
    }
    if (pending_.empty()) continue;
    Frame frame;
    frame.line = pending_;
    pending_.clear();
    bool ok = false;
    std::vector<uint8_t> content = sDecode(frame.line, &ok);
    if (ok && content.size() >= 3 && content.size() <= 31 && content[1] + 3u == content.size()) {
      uint8_t crc = content.back();
      content.pop_back();
      if (PeerCrc8(content) == crc) {
        frame.wire = content;
        frame.good = true;
      }
    }
    frames.push_back(frame);
  }
  return frames;
}
