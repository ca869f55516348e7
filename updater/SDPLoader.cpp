#include "SDPLoader.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "Log.h"
#include "unix_time.h"

namespace {

constexpr uint8_t kCommandReport = 0x01;
constexpr uint8_t kDataReport = 0x02;
constexpr uint8_t kHabReport = 0x03;
constexpr size_t kHabReportBytes = 5;
constexpr size_t kHidAnswerBytes = 70;  // report 3 cut to 5 bytes, then report 4 of 65

constexpr uint8_t kReadRegister = 0x01;
constexpr uint8_t kWriteFile = 0x04;
constexpr uint8_t kErrorStatus = 0x05;
constexpr uint8_t kJumpAddress = 0x0B;
constexpr uint8_t kFormat32 = 0x20;

constexpr uint32_t kWriteComplete = 0x88888888;
constexpr uint32_t kAck = 0xF0F0F0F0;

constexpr int kStatusAttempts = 5;
constexpr unsigned kAnswerWaitMs = 100;
// A good transfer's final answer comes once the line has carried the last chunk: the host's
// output buffer (about 350 ms at 115200) or a pty's 18 KB still on their way.
constexpr uint64_t kFinalAnswerBudgetMs = 2000;
// A serial write that makes no progress this long has a line that stopped reading.
constexpr uint64_t kWriteStallMs = 2000;
constexpr uint64_t kDrainBudgetMs = 2000;
// A chip that never stops talking cannot hold a read for ever.
constexpr uint64_t kReadBudgetMs = 2000;

void sPut32(std::vector<uint8_t>& packet, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(static_cast<uint8_t>(value >> shift));
}

std::vector<uint8_t> sCommand(uint8_t code, uint32_t address, uint8_t format, uint32_t count) {
  std::vector<uint8_t> packet = {kCommandReport, code, code};
  sPut32(packet, address);
  packet.push_back(format);
  sPut32(packet, count);
  return packet;
}

uint32_t sLittle32(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace

// --- SDPLoader ---

SDPLoader::~SDPLoader() { delete loader; }

bool SDPLoader::setLoader(SDPLoader_Interface* transport) {
  if (transport == nullptr || loader != nullptr) return false;
  loader = transport;
  return true;
}

uint8_t SDPLoader::init() {
  if (loader == nullptr) return kNoTransport;
  return loader->init() ? kSuccess : kOpenFailed;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& packet) {
  while (packet.size() < MAX_COMMAND_BYTES) packet.push_back(0);
}

std::vector<uint8_t> SDPLoader::_createStatusPacket() {
  std::vector<uint8_t> packet = {kCommandReport, kErrorStatus, kErrorStatus};
  _fillCommand(packet);
  return packet;
}

std::vector<uint8_t> SDPLoader::_createWriteFilePacket(uint32_t address, uint32_t count) {
  std::vector<uint8_t> packet = sCommand(kWriteFile, address, kFormat32, count);
  _fillCommand(packet);
  return packet;
}

std::vector<uint8_t> SDPLoader::_createJumpPacket(uint32_t address) {
  std::vector<uint8_t> packet = {kCommandReport, kJumpAddress, kJumpAddress};
  sPut32(packet, address);
  _fillCommand(packet);
  return packet;
}

std::vector<uint8_t> SDPLoader::_create4ByteReadRegisterPacket(uint32_t address) {
  std::vector<uint8_t> packet = sCommand(kReadRegister, address, kFormat32, 4);
  _fillCommand(packet);
  return packet;
}

bool SDPLoader::_expectResponse(const std::vector<uint8_t>& answer) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(answer, 0, value);
}

bool SDPLoader::_expectSuccess(const std::vector<uint8_t>& answer) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(answer, 0, value) && value == kWriteComplete;
}

bool SDPLoader::_expectAck(const std::vector<uint8_t>& answer) {
  uint32_t value = 0;
  return loader->getDataFromBuffer(answer, 0, value) && value == kAck;
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& buffer) {
  for (uint8_t byte : buffer) Log::log(DEBUG_iMXSerial, "%X ", byte);
  Log::log(DEBUG_iMXSerial, "\n");
}

std::vector<uint8_t> SDPLoader::_exchange(const std::vector<uint8_t>& command) {
  ssize_t written = loader->writeData(command);
  Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", static_cast<size_t>(written));
  _printBuffer(command);
  std::vector<uint8_t> answer;
  ssize_t read = loader->readData(answer, kAnswerWaitMs);
  Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", read);
  _printBuffer(answer);
  return answer;
}

bool SDPLoader::_isConnectionAlive() {
  std::vector<uint8_t> status = _createStatusPacket();
  for (int attempt = 0; attempt < kStatusAttempts; ++attempt) {
    if (_expectResponse(_exchange(status))) return true;
  }
  Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
  return false;
}

uint8_t SDPLoader::writeLoader(std::vector<uint8_t> image, uint32_t address) {
  if (loader == nullptr) return kNoTransport;
  if (!_isConnectionAlive()) return kNoAnswer;

  std::vector<uint8_t> command = _createWriteFilePacket(address, static_cast<uint32_t>(image.size()));
  ssize_t written = loader->writeData(command);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
  _printBuffer(command);
  if (written < 0) {
    Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
    return kTransferFailed;
  }

  int total = 0;
  int loop = 0;
  size_t offset = 0;
  while (offset < image.size()) {
    std::vector<uint8_t> unexpected;
    ssize_t came = loader->readData(unexpected, 0);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", came);
    _printBuffer(unexpected);
    if (!unexpected.empty()) {
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return kChipTalked;
    }
    size_t n = image.size() - offset < MAX_WRITE_BYTES ? image.size() - offset : MAX_WRITE_BYTES;
    std::vector<uint8_t> packet;
    packet.reserve(n + 1);
    packet.push_back(kDataReport);
    packet.insert(packet.end(), image.begin() + static_cast<std::ptrdiff_t>(offset),
                  image.begin() + static_cast<std::ptrdiff_t>(offset + n));
    written = loader->writeData(packet);
    offset += n;
    if (written < 0) {
      // A lost chunk leaves a hole in the chip's RAM: never report it as sent.
      Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
      return kTransferFailed;
    }
    total += static_cast<int>(written);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", written, total, loop,
             static_cast<long>(offset), static_cast<ssize_t>(packet.size()));
    loop++;
  }
  Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", total);

  // The answer follows the last chunk once the line has carried it; read until it takes a
  // value or the budget is spent.
  std::vector<uint8_t> answer;
  uint64_t deadline = aTime_GetMonotonicMS() + kFinalAnswerBudgetMs;
  uint32_t value = 0;
  bool answered = false;
  do {
    loader->readData(answer, kAnswerWaitMs);
    value = 0;
    answered = loader->getDataFromBuffer(answer, 0, value);
  } while (!answered && aTime_GetMonotonicMS() < deadline);
  Log::log(DEBUG_iMXSerial, "Data Read: \n");
  _printBuffer(answer);
  if (_expectSuccess(answer)) {
    Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
    return kSuccess;
  }
  Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
  return kTransferFailed;
}

void SDPLoader::startLoader(uint32_t address) {
  if (loader == nullptr) return;
  std::vector<uint8_t> jump = _createJumpPacket(address);
  ssize_t written = loader->writeData(jump);
  Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
  _printBuffer(jump);
  std::vector<uint8_t> dropped;
  loader->readData(dropped, kAnswerWaitMs);
}

bool SDPLoader::_readRegister(uint32_t address, uint32_t& value) {
  std::vector<uint8_t> answer = _exchange(_create4ByteReadRegisterPacket(address));
  value = 0;
  return loader->getDataFromBuffer(answer, 0, value);
}

uint8_t SDPLoader::getFingerprint(uint64_t& id) {
  if (loader == nullptr) return kNoTransport;
  if (!_isConnectionAlive()) return kNoAnswer;
  uint32_t low = 0, high = 0;
  if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET, low)) return kNoRegisterValue;
  id |= low;
  if (!_readRegister(IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET, high)) return kNoRegisterValue;
  id |= static_cast<uint64_t>(high) << 32;
  return kSuccess;
}

// --- HID transport ---

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product) : vendorId(vendor), productId(product) {}

HID_SDPLoader::~HID_SDPLoader() {
  if (device != nullptr) hid_close(device);
  device = nullptr;
  if (hidInitialised) hid_exit();
}

bool HID_SDPLoader::init() {
  if (!hidInitialised) hidInitialised = hid_init() == 0;
  if (device == nullptr) device = hid_open(vendorId, productId, nullptr);
  Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(device));
  return device != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
  if (device == nullptr) return -1;
  return hid_write(device, packet.data(), packet.size());
}

ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& out, unsigned timeoutMs) {
  if (device == nullptr) return 0;
  ssize_t total = 0;
  uint8_t buffer[SDPLoader::MAX_READ_BYTES];
  uint64_t deadline = aTime_GetMonotonicMS() + kReadBudgetMs + timeoutMs;
  while (aTime_GetMonotonicMS() < deadline) {
    memset(buffer, 0, sizeof buffer);
    int got = hid_read_timeout(device, buffer, sizeof buffer, static_cast<int>(timeoutMs));
    if (got <= 0) break;
    size_t keep = buffer[0] == kHabReport ? kHabReportBytes : static_cast<size_t>(got);
    out.insert(out.end(), buffer, buffer + keep);
    total += static_cast<ssize_t>(keep);
  }
  return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned index, uint32_t& value) {
  if (answer.size() != kHidAnswerBytes || index > 15) return false;
  value |= sLittle32(answer, index + 6);
  return true;
}

// --- serial transport ---

Serial_SDPLoader::Serial_SDPLoader(const char* path) : d(new PrivateSerial_SDPLoader) { d->path = path; }

Serial_SDPLoader::~Serial_SDPLoader() {
  if (d->fd >= 0) {
    tcflush(d->fd, TCIOFLUSH);
    close(d->fd);
    d->fd = -1;
  }
  delete d;
}

bool Serial_SDPLoader::init() {
  if (d->fd >= 0) close(d->fd);
  d->fd = d->path != nullptr ? open(d->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (!isatty(d->fd)) return false;  // also a failed open
  struct termios& t = d->settings;
  if (tcgetattr(d->fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cflag = CS8 | CREAD | CLOCAL;  // no parity, one stop bit, no hardware flow control
  if (cfsetospeed(&t, B115200) != 0 || cfsetispeed(&t, B115200) != 0) return false;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(d->fd, TCSAFLUSH, &t) != 0) return false;
  usleep(1000 * 1000);
  tcflush(d->fd, TCIOFLUSH);
  return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& packet) {
  if (d->fd < 0 || packet.empty()) return -1;
  const uint8_t* bytes = packet.data() + 1;  // no report id on a serial line
  size_t left = packet.size() - 1;
  uint64_t lastProgress = aTime_GetMonotonicMS();
  while (left > 0) {
    ssize_t put = write(d->fd, bytes, left);
    if (put > 0) {
      bytes += put;
      left -= static_cast<size_t>(put);
      lastProgress = aTime_GetMonotonicMS();
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return -1;  // the line is gone
    if (aTime_GetMonotonicMS() - lastProgress >= kWriteStallMs) return -1;
    usleep(1000);
  }
  return static_cast<ssize_t>(packet.size() - 1);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, unsigned timeoutMs) {
  if (d->fd < 0) return 0;
  if (timeoutMs > 0) {
    // The time-out is for the chip's answer, which cannot start before our bytes are out.
    uint64_t deadline = aTime_GetMonotonicMS() + kDrainBudgetMs;
    int queued = 0;
    while (ioctl(d->fd, TIOCOUTQ, &queued) == 0 && queued > 0 && aTime_GetMonotonicMS() < deadline) usleep(1000);
    usleep(timeoutMs * 1000);
  }
  ssize_t count = 0;
  uint8_t byte;
  uint64_t deadline = aTime_GetMonotonicMS() + kReadBudgetMs;
  while (aTime_GetMonotonicMS() < deadline && read(d->fd, &byte, 1) > 0) {
    out.push_back(byte);
    count++;
  }
  return count;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned index, uint32_t& value) {
  if (index > 15 || answer.size() < 4 * (static_cast<size_t>(index) + 2)) return false;
  value |= sLittle32(answer, index + 4);
  return true;
}
