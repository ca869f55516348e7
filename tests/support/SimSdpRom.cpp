#include "SimSdpRom.h"

#include <algorithm>
#include <cstring>

#include "Eventually.h"
#include "PacketHelpers.h"
#include "SimSdpRomUsb.h"
#include "unix_time.h"

namespace {

constexpr uint8_t kReadRegister = 0x01;
constexpr uint8_t kWriteFile = 0x04;
constexpr uint8_t kErrorStatus = 0x05;
constexpr uint8_t kJumpAddress = 0x0B;
constexpr size_t kCommandBytes = 16;
constexpr uint64_t kPartialCommandMs = 50;
constexpr uint32_t kMaxReadCount = 0x10000;
constexpr size_t kSerialChunk = 1024;

void sPutLittle32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> sWord(uint32_t v) {
  std::vector<uint8_t> out;
  sPutLittle32(out, v);
  return out;
}

}  // namespace

// --- the protocol core ---

void SdpRomCore::reset() {
  partial_.clear();
  dataLeft_ = 0;
  statusQueries_ = 0;
  jumpAddress_.reset();
  dataTaken_ = 0;
}

std::vector<uint8_t> SdpRomCore::readRam(uint32_t address, size_t n) const {
  std::vector<uint8_t> out(n, 0);
  for (size_t i = 0; i < n; ++i) {
    uint32_t a = address + static_cast<uint32_t>(i);
    auto page = ram.find(a & ~0xFFFu);
    if (page != ram.end()) out[i] = page->second[a & 0xFFF];
  }
  return out;
}

void SdpRomCore::writeRam(uint32_t address, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t a = address + static_cast<uint32_t>(i);
    auto [page, made] = ram.try_emplace(a & ~0xFFFu);
    if (made) page->second.fill(0);
    page->second[a & 0xFFF] = data[i];
  }
}

void SdpRomCore::command(const uint8_t* b, std::vector<Answer>& out) {
  if (jumpAddress_) return;  // the ROM is left behind
  Command c;
  std::copy(b, b + kCommandBytes, c.bytes.begin());
  c.code = b[0];
  c.address = BigEndian32(b + 2);
  c.format = b[6];
  c.count = BigEndian32(b + 7);
  c.data = BigEndian32(b + 11);
  c.reserved = b[15];
  commands.push_back(c);
  bool answer = !settings.silent;
  if (b[0] != b[1]) {
    if (answer) out.push_back({sWord(settings.hab), sWord(kFailureStatus)});
    return;
  }
  switch (c.code) {
    case kErrorStatus:
      statusQueries_++;
      if (answer && statusQueries_ >= settings.answerFromStatusQuery)
        out.push_back({sWord(settings.hab), sWord(settings.status)});
      break;
    case kWriteFile:
      dataAddress_ = c.address;
      dataLeft_ = c.count;
      dataInRam_ = c.address >= kRamStart && c.address < kRamEnd && kRamEnd - c.address >= c.count;
      if (c.count == 0 && answer)
        out.push_back({sWord(settings.hab), sWord(dataInRam_ ? settings.completion : kFailureStatus), finalAnswerDelayMs, true});
      break;
    case kReadRegister: {
      if (!answer) break;
      if (settings.readHabOnly) {
        out.push_back({sWord(settings.hab), {}});
        break;
      }
      uint32_t count = std::min(c.count, kMaxReadCount);
      std::vector<uint8_t> rest;
      for (uint32_t i = 0; i < count; i += 4) {
        uint32_t a = c.address + i;
        auto fuse = settings.fuses.find(a);
        std::vector<uint8_t> word = fuse != settings.fuses.end() ? sWord(fuse->second) : readRam(a, 4);
        rest.insert(rest.end(), word.begin(), word.begin() + std::min<uint32_t>(4, count - i));
      }
      out.push_back({sWord(settings.hab), rest});
      break;
    }
    case kJumpAddress:
      if (answer) out.push_back({sWord(settings.hab), {}});
      jumpAddress_ = c.address;
      break;
    default:
      if (answer) out.push_back({sWord(settings.hab), sWord(kFailureStatus)});
      break;
  }
}

size_t SdpRomCore::data(const uint8_t* bytes, size_t size, std::vector<Answer>& out) {
  size_t n = static_cast<size_t>(std::min<uint64_t>(dataLeft_, size));
  if (n == 0) return 0;
  if (dataInRam_) writeRam(dataAddress_, bytes, n);
  dataAddress_ += static_cast<uint32_t>(n);
  dataLeft_ -= n;
  dataTaken_ += n;
  if (dataLeft_ == 0 && !settings.silent)
    out.push_back({sWord(settings.hab), sWord(dataInRam_ ? settings.completion : kFailureStatus), finalAnswerDelayMs, true});
  return n;
}

void SdpRomCore::idle(uint64_t nowMs) {
  if (!partial_.empty() && nowMs - lastByteMs_ > kPartialCommandMs) partial_.clear();
}

void SdpRomCore::line(const uint8_t* bytes, size_t size, uint64_t nowMs, std::vector<Answer>& out) {
  idle(nowMs);
  lastByteMs_ = nowMs;
  while (size > 0 && !jumpAddress_) {
    if (dataLeft_ > 0) {
      size_t n = data(bytes, size, out);
      bytes += n;
      size -= n;
      continue;
    }
    size_t take = std::min(kCommandBytes - partial_.size(), size);
    partial_.insert(partial_.end(), bytes, bytes + take);
    bytes += take;
    size -= take;
    if (partial_.size() == kCommandBytes) {
      std::vector<uint8_t> whole;
      whole.swap(partial_);
      command(whole.data(), out);
    }
  }
}

// --- the ROM and its serial face ---

SimSdpRom::SimSdpRom() = default;

SimSdpRom::~SimSdpRom() { stop(); }

void SimSdpRom::stop() {
  if (line_) line_->stop();
  unplugUsb();
}

void SimSdpRom::configure(const std::function<void(SdpRomCore::Settings&, Faults&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(core_.settings, faults_);
  if (line_) {
    line_->setThrottle(faults_.throttle);
    line_->stopReadingAfter(faults_.stopReadingAfter);
  }
}

void SimSdpRom::setFinalAnswerDelay(uint64_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.finalAnswerDelayMs = ms;
}

void SimSdpRom::onJump(std::function<void(uint32_t)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  onJump_ = std::move(hook);
}

void SimSdpRom::serveSerial(PtyPair& pty) {
  line_ = std::make_unique<SimPtyLine>(
      pty, [this](const uint8_t* data, size_t size) { serialBytes(data, size); }, [this] { serialTick(); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line_->setThrottle(faults_.throttle);
    line_->stopReadingAfter(faults_.stopReadingAfter);
  }
  line_->start();
}

void SimSdpRom::deliverSerial(std::vector<SdpRomCore::Answer>& answers) {
  for (auto& a : answers) {
    std::vector<uint8_t> bytes = a.hab;
    bytes.insert(bytes.end(), a.rest.begin(), a.rest.end());
    line_->send(bytes, a.delayMs);
  }
}

void SimSdpRom::serialBytes(const uint8_t* data, size_t size) {
  std::vector<SdpRomCore::Answer> answers;
  bool jumped = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    core_.line(data, size, aTime_GetMonotonicMS(), answers);
    if (faults_.talkAfterChunk > 0 && !talked_ &&
        core_.dataBytesTaken() >= static_cast<uint64_t>(faults_.talkAfterChunk) * kSerialChunk) {
      talked_ = true;
      line_->send(std::vector<uint8_t>{0xA5, 0x5A, 0xA5, 0x5A});
    }
    deliverSerial(answers);
    jumped = core_.jumped() && !jumpHandled_;
    if (line_->bytesFromHost() >= faults_.hangUpAfter) line_->hangUp();
  }
  if (jumped) afterJump();
}

void SimSdpRom::serialTick() {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.idle(aTime_GetMonotonicMS());
}

void SimSdpRom::afterJump() {
  std::function<void(uint32_t)> hook;
  uint32_t address = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jumpHandled_) return;
    jumpHandled_ = true;
    hook = onJump_;
    address = *core_.jumpAddress();
    jumps_.push_back(address);
  }
  if (hook) hook(address);
}

void SimSdpRom::restart() {
  UsbDeviceEmulation* emulation = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    core_.reset();
    jumpHandled_ = false;
    if (usb_ && usb_->removed) emulation = usb_->emulation;
  }
  if (emulation != nullptr) plugUsb(*emulation);
}

std::vector<uint32_t> SimSdpRom::jumps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jumps_;
}

std::vector<SdpRomCore::Command> SimSdpRom::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.commands;
}

std::vector<uint8_t> SimSdpRom::ram(uint32_t address, size_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.readRam(address, n);
}

std::map<uint32_t, std::array<uint8_t, 4096>> SimSdpRom::ramPages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.ram;
}

std::optional<uint32_t> SimSdpRom::jumpAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.jumpAddress();
}

uint64_t SimSdpRom::dataBytesTaken() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.dataBytesTaken();
}

bool SimSdpRom::waitJump(uint64_t ms) const {
  return Eventually([this] { return jumpAddress().has_value(); }, ms);
}

std::vector<LineTranscriptEntry> SimSdpRom::transcript() const {
  if (line_) return line_->transcript();
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

std::vector<uint8_t> SimSdpRom::serialFromHost() const { return line_ ? line_->allFromHost() : std::vector<uint8_t>{}; }

uint64_t SimSdpRom::serialBytesFromHost() const { return line_ ? line_->bytesFromHost() : 0; }

std::vector<std::vector<uint8_t>> SimSdpRom::reportsFromHost() const {
  std::vector<std::vector<uint8_t>> out;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& e : reports_)
    if (e.fromHost) out.push_back(e.bytes);
  return out;
}
