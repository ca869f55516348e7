#include "SimLpcIsp.h"

#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

// NXP's return codes.
enum Code {
  CMD_SUCCESS = 0,
  INVALID_COMMAND = 1,
  SRC_ADDR_ERROR = 2,
  DST_ADDR_ERROR = 3,
  SRC_ADDR_NOT_MAPPED = 4,
  DST_ADDR_NOT_MAPPED = 5,
  COUNT_ERROR = 6,
  INVALID_SECTOR = 7,
  SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
  COMPARE_ERROR = 10,
  PARAM_ERROR = 12,
  ADDR_NOT_MAPPED = 14,
  CMD_LOCKED = 15,
  INVALID_CODE = 16,
  INVALID_BAUD_RATE = 17,
  INVALID_STOP_BIT = 18,
};

constexpr int kLastSector = 29;
constexpr int kLinesPerGroup = 20;
constexpr size_t kBytesPerLine = 45;
constexpr size_t kMaxLine = 1024;

struct RateSpeed {
  long rate;
  speed_t speed;
};
constexpr RateSpeed kRates[] = {{2400, B2400},     {4800, B4800},     {9600, B9600},    {19200, B19200},
                                {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400}};

// The sector holding a flash address, -1 past the end.
int sSector(uint32_t address) {
  if (address < 0x10000) return static_cast<int>(address / 0x1000);
  if (address < 0x80000) return 16 + static_cast<int>((address - 0x10000) / 0x8000);
  return -1;
}

bool sNumbers(const std::string& text, std::vector<long>& out) {
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    char* end = nullptr;
    long v = strtol(word.c_str(), &end, 10);
    if (end == word.c_str() || *end != '\0') return false;
    out.push_back(v);
  }
  return true;
}

char sUu(unsigned v) {
  v &= 0x3F;
  return static_cast<char>(v == 0 ? 0x60 : v + 0x20);
}

std::string sUuLine(const uint8_t* data, size_t n) {
  std::string line(1, sUu(static_cast<unsigned>(n)));
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = static_cast<uint32_t>(data[i]) << 16 | (i + 1 < n ? data[i + 1] : 0) << 8 | (i + 2 < n ? data[i + 2] : 0);
    line += sUu(v >> 18);
    line += sUu(v >> 12);
    line += sUu(v >> 6);
    line += sUu(v);
  }
  return line;
}

}  // namespace

std::vector<uint8_t> SimLpcIsp::ResetRamPattern() {
  std::vector<uint8_t> ram(kRamSize);
  uint32_t x = 0x2545F491;
  for (auto& b : ram) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return ram;
}

SimLpcIsp::SimLpcIsp(PtyPair& pty) : pty_(pty), flash_(kFlashSize, 0xFF) {
  reset();
  struct termios t;
  if (tcgetattr(pty_.master(), &t) == 0) {  // the slave's settings
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(pty_.master(), TCSANOW, &t);
  }
  line_ = std::make_unique<SimPtyLine>(
      pty_, [this](const uint8_t* d, size_t n) { bytes(d, n); }, [this] { tick(); });
}

SimLpcIsp::~SimLpcIsp() { stop(); }

void SimLpcIsp::configure(const std::function<void(Settings&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(settings_);
  resendsLeft_ = settings_.resendTimes;
  line_->setThrottle(settings_.throttle);
}

void SimLpcIsp::start() { line_->start(); }
void SimLpcIsp::stop() { line_->stop(); }

void SimLpcIsp::reset() {
  phase_ = Phase::kUnsynced;
  echo_ = true;
  unlocked_ = false;
  lockedSpeed_ = 0;
  current_.clear();
  prepared_.clear();
  ramBytes_ = ResetRamPattern();
  resendsLeft_ = settings_.resendTimes;
}

bool SimLpcIsp::speedMatches() {
  struct termios t;
  if (tcgetattr(pty_.master(), &t) != 0) return false;
  return cfgetospeed(&t) == lockedSpeed_;
}

void SimLpcIsp::say(const std::string& text, uint64_t delayMs) {
  line_->send(std::vector<uint8_t>(text.begin(), text.end()), delayMs);
}

void SimLpcIsp::answer(int code) { say(std::to_string(code) + "\r\n"); }

void SimLpcIsp::tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!settings_.resetOnReopen || !clientSeen_) return;
  // Without a kept slave the master hangs up while no client has the port open.
  struct pollfd p = {pty_.master(), 0, 0};
  bool away = poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
  if (away) {
    clientAway_ = true;
  } else if (clientAway_) {
    clientAway_ = false;
    reset();
  }
}

void SimLpcIsp::bytes(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  clientSeen_ = true;
  if (settings_.silent || phase_ == Phase::kGone) return;
  if (phase_ != Phase::kUnsynced && !speedMatches()) return;  // garbage at the chip's rate
  std::string echoed;
  for (size_t i = 0; i < size && phase_ != Phase::kGone; ++i) {
    char c = static_cast<char>(data[i]);
    if (phase_ == Phase::kUnsynced) {
      if (c == '?') {
        struct termios t;
        lockedSpeed_ = tcgetattr(pty_.master(), &t) == 0 ? cfgetospeed(&t) : 0;
        say("Synchronized\r\n");
        phase_ = Phase::kSyncLine;
        current_.clear();
      }
      continue;
    }
    if (echo_) echoed += c;
    if (c != '\n') {
      if (current_.size() < kMaxLine) current_ += c;
      continue;
    }
    if (!echoed.empty()) say(echoed);
    echoed.clear();
    std::string text = current_;
    current_.clear();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    lineDone(text);
  }
  if (!echoed.empty()) say(echoed);
}

void SimLpcIsp::lineDone(std::string text) {
  switch (phase_) {
    case Phase::kSyncLine:
      if (text != "Synchronized") {
        phase_ = Phase::kUnsynced;
      } else if (settings_.syncError) {
        say("ERROR\r\n");
        phase_ = Phase::kUnsynced;
      } else {
        say("OK\r\n");
        phase_ = Phase::kCrystalLine;
      }
      break;
    case Phase::kCrystalLine:
      if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        say("OK\r\n");
        phase_ = Phase::kCommand;
      }
      break;
    case Phase::kCommand:
      if (!text.empty()) command(text);
      break;
    case Phase::kWriteData:
      writeDataLine(text);
      break;
    case Phase::kReadAck:
      if (text == "OK") {
        xferDone_ = groupStart_;
        if (xferDone_ >= xferCount_) phase_ = Phase::kCommand;
        else sendReadGroup();
      } else if (text == "RESEND") {
        groupStart_ = xferDone_;
        sendReadGroup();
      }
      break;
    default:
      break;
  }
}

int SimLpcIsp::prepareSectors(int first, int last, bool requireAll) {
  if (first < 0 || last > kLastSector || first > last) return INVALID_SECTOR;
  for (int s = first; s <= last; ++s)
    if (requireAll && !prepared_.count(s)) return SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
  return CMD_SUCCESS;
}

bool SimLpcIsp::sectorsPrepared(uint32_t address, uint32_t count) const {
  for (int s = sSector(address); s >= 0 && s <= sSector(address + count - 1); ++s)
    if (!prepared_.count(s)) return false;
  return sSector(address + count - 1) >= 0;
}

void SimLpcIsp::unprepare(uint32_t address, uint32_t count) {
  for (int s = sSector(address); s >= 0 && s <= sSector(address + count - 1); ++s) prepared_.erase(s);
}

void SimLpcIsp::command(const std::string& text) {
  commands_.push_back(text);
  char letter = text[0];
  if (settings_.hangUpAt == letter) {
    line_->hangUp();
    phase_ = Phase::kGone;
    return;
  }
  auto forced = settings_.returnCodes.find(letter);
  if (forced != settings_.returnCodes.end()) {
    answer(forced->second);
    return;
  }
  auto forcedLine = settings_.lineCodes.find(text);
  if (forcedLine != settings_.lineCodes.end()) {
    answer(forcedLine->second);
    return;
  }
  std::vector<long> a;
  if (!sNumbers(text.substr(1), a)) {
    if (letter == 'G' && text.size() > 2) {
      sNumbers(text.substr(1, text.rfind(' ') - 1), a);  // "G address T": the mode is a letter
    } else {
      answer(PARAM_ERROR);
      return;
    }
  }
  auto need = [&](size_t n) {
    if (a.size() >= n) return true;
    answer(PARAM_ERROR);
    return false;
  };
  auto inRam = [](long address, long count) {
    return address >= kRamStart && count >= 0 && address + count <= static_cast<long>(kRamStart + kRamSize);
  };
  auto mapped = [&](long address, long count) {
    return inRam(address, count) || (address >= 0 && count >= 0 && address + count <= static_cast<long>(kFlashSize));
  };
  switch (letter) {
    case 'U':
      if (!need(1)) return;
      unlocked_ = a[0] == kUnlockCode;
      answer(unlocked_ ? CMD_SUCCESS : INVALID_CODE);
      return;
    case 'A':
      if (!need(1)) return;
      if (a[0] != 0 && a[0] != 1) return answer(PARAM_ERROR);
      answer(CMD_SUCCESS);
      echo_ = a[0] == 1;
      return;
    case 'B': {
      if (!need(2)) return;
      const RateSpeed* r = std::find_if(std::begin(kRates), std::end(kRates), [&](const RateSpeed& x) { return x.rate == a[0]; });
      if (r == std::end(kRates)) return answer(INVALID_BAUD_RATE);
      if (a[1] != 1 && a[1] != 2) return answer(INVALID_STOP_BIT);
      answer(CMD_SUCCESS);  // at the old rate; the new one applies from here on
      lockedSpeed_ = r->speed;
      return;
    }
    case 'J':
      answer(CMD_SUCCESS);
      say(std::to_string(kPartId) + "\r\n");
      return;
    case 'K':
      answer(CMD_SUCCESS);
      say(std::to_string(settings_.bootMajor) + "\r\n" + std::to_string(settings_.bootMinor) + "\r\n");
      return;
    case 'N': {
      answer(CMD_SUCCESS);
      for (int i = 0; i < settings_.idLines && i < 4; ++i)
        say((i == 0 && !settings_.idWord.empty() ? settings_.idWord : std::to_string(settings_.deviceId[i])) + "\r\n");
      return;
    }
    case 'P': {
      if (!need(2)) return;
      int code = prepareSectors(static_cast<int>(a[0]), static_cast<int>(a[1]), false);
      if (code == CMD_SUCCESS)
        for (long s = a[0]; s <= a[1]; ++s) prepared_.insert(static_cast<int>(s));
      return answer(code);
    }
    case 'E': {
      if (!need(2)) return;
      if (!unlocked_) return answer(CMD_LOCKED);
      int code = prepareSectors(static_cast<int>(a[0]), static_cast<int>(a[1]), true);
      if (code != CMD_SUCCESS) return answer(code);
      for (long s = a[0]; s <= a[1]; ++s) {
        uint32_t start = s < 16 ? static_cast<uint32_t>(s) * 0x1000 : 0x10000 + static_cast<uint32_t>(s - 16) * 0x8000;
        uint32_t size = s < 16 ? 0x1000 : 0x8000;
        std::fill(flash_.begin() + start, flash_.begin() + start + size, 0xFF);
        prepared_.erase(static_cast<int>(s));
      }
      say("0\r\n", settings_.eraseDelayMs);
      return;
    }
    case 'C': {
      if (!need(3)) return;
      if (!unlocked_) return answer(CMD_LOCKED);
      long dst = a[0], src = a[1], count = a[2];
      if (dst % 256 != 0 || dst < 0) return answer(DST_ADDR_ERROR);
      if (count != 256 && count != 512 && count != 1024 && count != 4096) return answer(COUNT_ERROR);
      if (dst + count > static_cast<long>(kFlashSize)) return answer(DST_ADDR_NOT_MAPPED);
      if (src % 4 != 0) return answer(SRC_ADDR_ERROR);
      if (!inRam(src, count)) return answer(SRC_ADDR_NOT_MAPPED);
      if (!sectorsPrepared(static_cast<uint32_t>(dst), static_cast<uint32_t>(count)))
        return answer(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
      for (long i = 0; i < count; ++i) flash_[dst + i] &= ramBytes_[src - kRamStart + i];
      unprepare(static_cast<uint32_t>(dst), static_cast<uint32_t>(count));
      say("0\r\n", static_cast<uint64_t>(count / 256) * settings_.copyDelayMsPer256);
      return;
    }
    case 'M': {
      if (!need(3)) return;
      if (a[2] % 4 != 0) return answer(COUNT_ERROR);
      if (!mapped(a[0], a[2]) || !mapped(a[1], a[2])) return answer(ADDR_NOT_MAPPED);
      std::vector<uint8_t> x = inRam(a[0], a[2]) ? readRam(static_cast<uint32_t>(a[0]), a[2]) : readFlash(static_cast<uint32_t>(a[0]), a[2]);
      std::vector<uint8_t> y = inRam(a[1], a[2]) ? readRam(static_cast<uint32_t>(a[1]), a[2]) : readFlash(static_cast<uint32_t>(a[1]), a[2]);
      return answer(x == y ? CMD_SUCCESS : COMPARE_ERROR);
    }
    case 'W':
      if (!need(2)) return;
      if (a[0] % 4 != 0) return answer(DST_ADDR_ERROR);
      if (!inRam(a[0], a[1])) return answer(DST_ADDR_NOT_MAPPED);
      if (a[1] % 4 != 0 || a[1] == 0) return answer(COUNT_ERROR);
      answer(CMD_SUCCESS);
      xferAddress_ = static_cast<uint32_t>(a[0]);
      xferCount_ = static_cast<uint32_t>(a[1]);
      xferDone_ = groupStart_ = 0;
      group_.clear();
      groupLines_ = 0;
      groupNumber_ = 0;
      linesAccepted_ = 0;
      phase_ = Phase::kWriteData;
      return;
    case 'R':
      if (!need(2)) return;
      if (a[0] % 4 != 0) return answer(SRC_ADDR_ERROR);
      if (a[1] % 4 != 0 || a[1] == 0) return answer(COUNT_ERROR);
      if (!mapped(a[0], a[1])) return answer(SRC_ADDR_NOT_MAPPED);
      answer(CMD_SUCCESS);
      xferAddress_ = static_cast<uint32_t>(a[0]);
      xferCount_ = static_cast<uint32_t>(a[1]);
      xferDone_ = groupStart_ = 0;
      phase_ = Phase::kReadAck;
      sendReadGroup();
      return;
    case 'G':
      if (!need(1)) return;
      if (!unlocked_) return answer(CMD_LOCKED);
      answer(CMD_SUCCESS);
      executed_ = static_cast<uint32_t>(a[0]);
      phase_ = Phase::kGone;
      return;
    default:
      answer(INVALID_COMMAND);
      return;
  }
}

void SimLpcIsp::writeDataLine(const std::string& text) {
  bool checksumDue = groupLines_ == kLinesPerGroup || groupStart_ + group_.size() >= xferCount_;
  if (!checksumDue) {
    dataLines_++;
    groupLines_++;
    if (text.empty()) return;
    size_t n = static_cast<size_t>((text[0] - 0x20) & 0x3F);
    size_t left = xferCount_ - groupStart_ - group_.size();
    for (size_t i = 0, g = 1; i < n && i < left; i += 3, g += 4) {
      unsigned c[4] = {0, 0, 0, 0};
      for (size_t k = 0; k < 4; ++k) c[k] = g + k < text.size() ? (static_cast<unsigned>(text[g + k] - 0x20) & 0x3F) : 0;
      uint8_t b[3] = {static_cast<uint8_t>(c[0] << 2 | c[1] >> 4), static_cast<uint8_t>(c[1] << 4 | c[2] >> 2),
                      static_cast<uint8_t>(c[2] << 6 | c[3])};
      for (size_t k = 0; k < 3 && i + k < n && i + k < left; ++k) group_.push_back(b[k]);
    }
    return;
  }
  groupNumber_++;
  unsigned long sum = 0;
  for (uint8_t b : group_) sum += b;
  char* end = nullptr;
  unsigned long got = strtoul(text.c_str(), &end, 10);
  int logicalGroup = linesAccepted_ / kLinesPerGroup + 1;
  bool inject = logicalGroup == settings_.resendGroup && resendsLeft_ > 0;
  if (inject || end == text.c_str() || *end != '\0' || got != sum) {
    if (inject) resendsLeft_--;
    checksums_.push_back({linesAccepted_ + groupLines_, false});
    say("RESEND\r\n");
  } else {
    std::copy(group_.begin(), group_.end(), ramBytes_.begin() + (xferAddress_ - kRamStart + groupStart_));
    groupStart_ += static_cast<uint32_t>(group_.size());
    linesAccepted_ += groupLines_;
    checksums_.push_back({linesAccepted_, true});
    say(settings_.checksumAnswer.empty() ? "OK\r\n" : settings_.checksumAnswer);
    if (groupStart_ >= xferCount_) phase_ = Phase::kCommand;
  }
  group_.clear();
  groupLines_ = 0;
}

void SimLpcIsp::sendReadGroup() {
  std::string out;
  unsigned long sum = 0;
  uint32_t at = xferDone_;
  for (int line = 0; line < kLinesPerGroup && at < xferCount_; ++line) {
    size_t n = std::min<size_t>(kBytesPerLine, xferCount_ - at);
    uint32_t address = xferAddress_ + at;
    std::vector<uint8_t> bytes = address >= kRamStart ? readRam(address, n) : readFlash(address, n);
    for (uint8_t b : bytes) sum += b;
    std::string text = sUuLine(bytes.data(), n);
    if (line == 0 && settings_.cutReadLine) text.resize(text.size() / 2);
    out += text + "\r\n";
    at += static_cast<uint32_t>(n);
  }
  out += std::to_string(sum) + "\r\n";
  groupStart_ = at;  // taken over by xferDone_ on "OK"
  say(out);
}

void SimLpcIsp::loadFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i) flash_[address + i] = bytes[i];
}

std::vector<uint8_t> SimLpcIsp::flash(uint32_t address, size_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readFlash(address, n);
}

std::vector<uint8_t> SimLpcIsp::ram(uint32_t address, size_t n) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readRam(address, n);
}

std::vector<uint8_t> SimLpcIsp::readFlash(uint32_t address, size_t n) const {
  std::vector<uint8_t> out(n, 0);
  for (size_t i = 0; i < n && address + i < kFlashSize; ++i) out[i] = flash_[address + i];
  return out;
}

std::vector<uint8_t> SimLpcIsp::readRam(uint32_t address, size_t n) const {
  std::vector<uint8_t> out(n, 0);
  for (size_t i = 0; i < n; ++i) {
    uint64_t a = static_cast<uint64_t>(address) + i;
    if (a >= kRamStart && a < kRamStart + kRamSize) out[i] = ramBytes_[a - kRamStart];
  }
  return out;
}

std::vector<std::string> SimLpcIsp::commandLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<SimLpcIsp::Checksum> SimLpcIsp::checksums() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return checksums_;
}

int SimLpcIsp::dataLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dataLines_;
}

bool SimLpcIsp::synchronised() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return phase_ != Phase::kUnsynced && phase_ != Phase::kSyncLine && phase_ != Phase::kCrystalLine;
}

bool SimLpcIsp::clientAway() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clientAway_;
}

bool SimLpcIsp::echo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return echo_;
}

std::optional<uint32_t> SimLpcIsp::executedFrom() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return executed_;
}

std::vector<LineTranscriptEntry> SimLpcIsp::transcript() const { return line_->transcript(); }

std::string SimLpcIsp::textToHost() const {
  std::vector<uint8_t> bytes = line_->allToHost();
  return std::string(bytes.begin(), bytes.end());
}

uint64_t SimLpcIsp::bytesFromHost() const { return line_->bytesFromHost(); }
