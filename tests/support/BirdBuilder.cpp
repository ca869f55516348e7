#include "BirdBuilder.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "PacketHelpers.h"

namespace {

void sAppend(ByteVec& to, const ByteVec& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

std::string sPad16(const std::string& text) {
  std::string field = text.substr(0, 16);
  field.resize(16, ' ');
  return field;
}

ByteVec sCompress(const ByteVec& body) {
  uLongf length = compressBound(body.size());
  ByteVec out(length);
  if (compress(out.data(), &length, body.data(), body.size()) != Z_OK) throw std::runtime_error("compress failed");
  out.resize(length);
  return out;
}

BirdBuilder::Block sImageBlock(uint8_t type, uint32_t address, const ByteVec& image, uint8_t flags) {
  ByteVec payload = BigEndian(address);
  sAppend(payload, image);
  return {static_cast<uint8_t>(type | (flags << 5)), static_cast<uint32_t>(payload.size()), payload};
}

}  // namespace

ByteVec BigEndian(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value)};
}

ByteVec RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  ByteVec out(count);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

BirdBuilder BirdBuilder::Update(const UpdateImage& image) {
  BirdBuilder builder;
  for (size_t i = 0; image.loaderBytes > 0 && i < image.loaderBlocks; ++i)
    builder.Loader(UpdateImage::kLoaderAddress + static_cast<uint32_t>(i * image.loaderBytes),
                   RandomBytes(image.loaderBytes, image.seed + 100 + static_cast<uint32_t>(i)));
  uint32_t address = UpdateImage::kFirmwareAddress;
  for (size_t i = 0; i < image.firmwareBlocks; ++i) {
    const size_t random = image.codeBytes > 0 ? std::min(image.codeBytes, image.firmwareBytes) : image.firmwareBytes;
    ByteVec bytes = RandomBytes(random, image.seed + 1 + static_cast<uint32_t>(i));
    bytes.resize(image.firmwareBytes, 0xFF);
    builder.Firmware(address, bytes);
    address += static_cast<uint32_t>(image.firmwareBytes);
  }
  if (image.serialBlock) {
    // Past the last firmware byte: inside no image, so nothing can be written there.
    uint32_t serial = image.serialOutside ? address + 0x1000 : UpdateImage::kSerialAddress;
    builder.SerialOffsets(serial, image.serialOutside ? 0 : UpdateImage::kDescriptorTextAddress);
  }
  if (image.descriptor) builder.Descriptor(image.build, image.version, image.serial, image.model);
  // The first bytes of the zlib stream: its header and the start of the first block.
  if (image.cutBody) builder.TruncateCompressed(64);
  return builder;
}

uint32_t BirdBuilder::Block::address() const {
  if (payload.size() < 4) return 0;
  return BigEndian32(payload.data());
}

BirdBuilder& BirdBuilder::Loader(uint32_t address, const ByteVec& image, uint8_t flags) {
  blocks_.push_back(sImageBlock(0, address, image, flags));
  return *this;
}

BirdBuilder& BirdBuilder::Firmware(uint32_t address, const ByteVec& image, uint8_t flags) {
  blocks_.push_back(sImageBlock(1, address, image, flags));
  return *this;
}

BirdBuilder& BirdBuilder::SerialOffsets(uint32_t serialAddress, uint32_t descriptorAddress) {
  ByteVec payload = BigEndian(serialAddress);
  sAppend(payload, BigEndian(descriptorAddress));
  return Raw(2, 8, payload);
}

BirdBuilder& BirdBuilder::Descriptor(const std::string& build, const std::string& version, const std::string& serial,
                                     const std::string& model) {
  std::string text = sPad16(build) + sPad16(version) + sPad16(serial) + sPad16(model);
  return Raw(4, 64, ByteVec(text.begin(), text.end()));
}

BirdBuilder& BirdBuilder::Descriptor(uint32_t build, const std::string& version, uint32_t serial,
                                     const std::string& model) {
  char serialText[9];
  snprintf(serialText, sizeof(serialText), "%08X", serial);
  return Descriptor(std::to_string(build), version, serialText, model);
}

BirdBuilder& BirdBuilder::StartAddress(uint32_t address) { return Raw(5, 4, BigEndian(address)); }

BirdBuilder& BirdBuilder::Raw(uint8_t header, uint32_t declaredLength, const ByteVec& payload) {
  blocks_.push_back({header, declaredLength, payload});
  return *this;
}

BirdBuilder& BirdBuilder::DeclaredCount(uint32_t count) {
  declaredCount_ = count;
  return *this;
}

BirdBuilder& BirdBuilder::Checksum(uint32_t word) {
  checksum_ = word;
  return *this;
}

BirdBuilder& BirdBuilder::NoChecksum() {
  noChecksum_ = true;
  return *this;
}

BirdBuilder& BirdBuilder::Surplus(const ByteVec& bytes) {
  surplus_ = bytes;
  return *this;
}

BirdBuilder& BirdBuilder::Signature(const std::string& fourBytes) {
  signature_ = fourBytes;
  return *this;
}

BirdBuilder& BirdBuilder::Version(uint8_t a, uint8_t b) {
  version_[0] = a;
  version_[1] = b;
  return *this;
}

BirdBuilder& BirdBuilder::Body(const ByteVec& body) {
  body_ = body;
  return *this;
}

BirdBuilder& BirdBuilder::TruncateCompressed(size_t n) {
  truncate_ = n;
  return *this;
}

BirdBuilder& BirdBuilder::Ratio(unsigned n) {
  ratio_ = n;
  return *this;
}

ByteVec BirdBuilder::BodyOf(const std::vector<Block>& blocks) const {
  ByteVec body = BigEndian(declaredCount_.value_or(static_cast<uint32_t>(blocks.size())));
  for (const Block& b : blocks) {
    body.push_back(b.header);
    sAppend(body, BigEndian(b.declaredLength));
    sAppend(body, b.payload);
  }
  if (!noChecksum_) {
    uint32_t sum = 0;
    for (uint8_t byte : body) sum += byte;
    sAppend(body, BigEndian(checksum_.value_or(sum)));
  }
  sAppend(body, surplus_);
  return body;
}

BirdBuilder::Composed BirdBuilder::Compose() const {
  Composed c;
  c.blocks = blocks_;
  if (body_) {
    c.body = *body_;
    c.blocks.clear();
  } else if (ratio_ > 0) {
    // Each zero adds one inflated byte and rarely a compressed one, so the difference
    // inflated - n * compressed climbs by 1 per zero and drops by n when the compressed
    // size grows; walk it (in large steps while far away) until it is exactly 0.
    size_t randomCount = 16;
    size_t zeros = 0;
    c.blocks.push_back({});
    for (int attempt = 0; attempt < 200000; ++attempt) {
      ByteVec payload = RandomBytes(randomCount, 3);
      payload.resize(randomCount + zeros, 0);
      c.blocks.back() = {3, static_cast<uint32_t>(payload.size()), payload};
      c.body = BodyOf(c.blocks);
      c.compressed = sCompress(c.body);
      long long diff = static_cast<long long>(c.body.size()) - static_cast<long long>(ratio_) * c.compressed.size();
      if (diff == 0) break;
      if (diff > 0 && zeros == 0) {
        randomCount *= 2;  // already above the ratio: make the body less compressible
      } else if (diff < 0) {
        zeros += -diff > 64 ? static_cast<size_t>(-diff / 2) : 1;
      } else {
        zeros -= std::min(zeros, static_cast<size_t>(diff + 2 * ratio_));
      }
      if (attempt + 1 == 200000) throw std::runtime_error("no padding gives that ratio");
    }
  } else {
    c.body = BodyOf(c.blocks);
  }
  if (c.compressed.empty()) c.compressed = sCompress(c.body);
  if (truncate_ && *truncate_ < c.compressed.size()) c.compressed.resize(*truncate_);
  return c;
}

ByteVec BirdBuilder::Bytes() const {
  ByteVec out(signature_.begin(), signature_.end());
  out.resize(4, ' ');
  out.push_back(version_[0]);
  out.push_back(version_[1]);
  sAppend(out, Compose().compressed);
  return out;
}

ByteVec BirdBuilder::InflatedBody() const { return Compose().body; }

std::vector<BirdBuilder::Block> BirdBuilder::Blocks() const { return Compose().blocks; }

bool BirdBuilder::WriteTo(const std::string& path) const {
  ByteVec bytes = Bytes();
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

ByteVec ZeroBodyImage(uint64_t bodySize) {
  if (bodySize < 13 || bodySize - 9 > UINT32_MAX) throw std::runtime_error("no such zero body");
  ByteVec head = BigEndian(1);
  head.push_back(3);
  sAppend(head, BigEndian(static_cast<uint32_t>(bodySize - 13)));
  uint64_t zeros = bodySize - head.size();  // the block's and the checksum's

  // Run-length matches only: every match copies the byte before it, a zero once the head is
  // behind, so a flushed run of zeros inflates the same wherever it is repeated.
  z_stream z = {};
  if (deflateInit2(&z, 9, Z_DEFLATED, 15, 9, Z_RLE) != Z_OK) throw std::runtime_error("deflateInit2 failed");
  ByteVec out;
  auto put = [&](const uint8_t* in, size_t n, int flush) {
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(n);
    uint8_t chunk[16384];
    do {
      z.next_out = chunk;
      z.avail_out = sizeof chunk;
      if (deflate(&z, flush) == Z_STREAM_ERROR) throw std::runtime_error("deflate failed");
      out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    } while (z.avail_out == 0 || z.avail_in > 0);
  };
  const ByteVec run(1 << 20, 0);
  put(head.data(), head.size(), Z_NO_FLUSH);
  uint64_t first = std::min<uint64_t>(zeros, run.size());
  put(run.data(), first, Z_SYNC_FLUSH);
  uint64_t left = zeros - first;
  if (left >= run.size()) {
    size_t from = out.size();
    put(run.data(), run.size(), Z_SYNC_FLUSH);
    ByteVec repeated(out.begin() + static_cast<std::ptrdiff_t>(from), out.end());
    for (left -= run.size(); left >= run.size(); left -= run.size()) sAppend(out, repeated);
  }
  put(run.data(), static_cast<size_t>(left), Z_FINISH);
  deflateEnd(&z);

  // The trailer of the whole body: zeros leave Adler-32's first sum alone and add it to the
  // second once per zero.
  uLong adler = adler32(1, head.data(), static_cast<uInt>(head.size()));
  uint64_t a = adler & 0xFFFF, b = adler >> 16;
  b = (b + (zeros % 65521) * a) % 65521;
  ByteVec trailer = BigEndian(static_cast<uint32_t>((b << 16) | a));
  std::copy(trailer.begin(), trailer.end(), out.end() - 4);

  const uint8_t header[6] = {'b', 'i', 'r', 'd', 1, 1};
  ByteVec file(sizeof header + out.size());
  std::copy(header, header + sizeof header, file.begin());
  std::copy(out.begin(), out.end(), file.begin() + sizeof header);
  return file;
}

ByteVec LpcEncode(const ByteVec& plain, const uint32_t key[4]) {
  uint8_t bytes[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) bytes[4 * w + i] = static_cast<uint8_t>(key[w] >> (24 - 8 * i));
  ByteVec out(plain.size());
  uint8_t previous = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    out[i] = static_cast<uint8_t>(plain[i] ^ bytes[i % 16] ^ previous);
    previous = plain[i];
  }
  return out;
}
