#include "NXPSerialClass.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Log.h"
#include "unix_streamserial.h"
#include "unix_time.h"

const float NXPSerialClass::CRYSTAL_DEFAULT = 14.7456f;

const char* const NXPSerialClass::ERROR_TEXT[MAX_ERROR + 1] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "Unknown error",
};

// Sectors 0 to 15 of 4 KiB from 0, 16 to 29 of 32 KiB from 0x10000.
const NXPSerialClass::Sector NXPSerialClass::NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

const unsigned NXPSerialClass::BAUD_RATES[9] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};

namespace {

constexpr unsigned kUnlockCode = 23130;
constexpr size_t kLineSize = 1024;
constexpr size_t kWordLineSize = 32;
constexpr unsigned kAnswerBudget = 100;
// A line that keeps sending bytes that are dropped would hold a read for ever: after a line's
// worth of them the read gives up, as after its failed reads.
constexpr size_t kDropLimit = kLineSize;
// Erasing all sectors takes about 100 ms on the LPC17xx, a copy a few: wait longer for those
// answers, which still return as soon as they come.
constexpr unsigned kSlowAnswerBudget = 5000;
constexpr unsigned kChecksumBudget = 2000;
constexpr unsigned kBaudIndex9600 = 2;
constexpr uint8_t kTerminationSize = 2;

bool sPrintable(uint8_t c) { return c >= 0x20 && c < 0x7F; }

std::string sHex(const uint8_t* bytes, size_t n) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(two, sizeof two, "%s%02X", i == 0 ? "" : " ", bytes[i]);
    out += two;
  }
  return out;
}

// CR and LF shown as \r and \n, other unprintable bytes as a space.
std::string sShown(const uint8_t* bytes, size_t n, bool escapeLineEnds) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = bytes[i];
    if (escapeLineEnds && c == '\r') out += "\\r";
    else if (escapeLineEnds && c == '\n') out += "\\n";
    else out += sPrintable(c) ? static_cast<char>(c) : ' ';
  }
  return out;
}

// Log lines hold at most 2048 bytes: long texts go in pieces.
void sLogText(unsigned topic, const std::string& text) {
  for (size_t at = 0; at < text.size(); at += 1000) {
    int n = static_cast<int>(text.size() - at < 1000 ? text.size() - at : 1000);
    Log::log(topic, "%.*s", n, text.c_str() + at);
  }
}

const uint8_t* sBytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

unsigned sWaitTimeMs(uint64_t n, unsigned baud) {
  if (baud == 0) return 1;
  return static_cast<unsigned>((n * 9000 + 18000) / baud + 1);
}

bool sLineEnds(const char* line, size_t length) {
  return length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n';
}

}  // namespace

NXPSerialClass::~NXPSerialClass() { Disconnect(); }

// --- line input and output ---

aErr NXPSerialClass::Send(const char* text, bool readEcho) {
  size_t length = strlen(text);
  sLogText(DEBUG_NXPSerial_SR, "Sending:[" + sHex(sBytes(text), length) + "] [" + sShown(sBytes(text), length, true) +
                                   "]\n");
  if (stream == nullptr) return aErrIO;
  aErr err = aStream_Write(stream, sBytes(text), length);
  if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
  if (readEcho && length > 0) {
    size_t matched = 0;
    GetEcho(text, length - 1, &matched);
  }
  return err;
}

aErr NXPSerialClass::SendCommand(const char* command) {
  size_t length = strlen(command);
  sLogText(DEBUG_NXPSerial_SR,
           "Sending:[" + sHex(sBytes(command), length) + "] [" + sShown(sBytes(command), length, false) + "]\n");
  if (stream == nullptr) return aErrIO;
  aErr err = aStream_Write(stream, sBytes(command), length);
  if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(err));
  // The echo is read to all but its LF, which the next read meets and skips.
  if (echo && length > 0) {
    size_t matched = 0;
    GetEcho(command, length - 1, &matched);
    if (matched + 1 != length)
      Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%d!=%d]\n", static_cast<int>(matched),
               static_cast<int>(length));
  }
  if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(err));
  return err;
}

aErr NXPSerialClass::GetEcho(const char* expected, size_t n, size_t* matched) {
  sLogText(DEBUG_NXPSerial_E, "GetEcho([" + sHex(sBytes(expected), n) + "] " + std::to_string(n) + ", ...)\n");
  Log::log(DEBUG_NXPSerial_E, "recv Echo:[");
  *matched = 0;
  aErr status = aErrNone;
  unsigned budget = kAnswerBudget;
  size_t dropped = 0;
  while (*matched < n && budget > 0 && dropped < kDropLimit && stream != nullptr) {
    uint8_t byte = 0;
    status = aStream_Read(stream, &byte, 1);
    if (status != aErrNone) {
      budget--;
      Log::log(DEBUG_NXPSerial_E, ".");
      aTime_MSSleep(1);
      continue;
    }
    uint8_t want = static_cast<uint8_t>(expected[*matched]);
    if (byte == want) {
      Log::log(DEBUG_NXPSerial_E, " %02X", byte);
      (*matched)++;
    } else {
      dropped++;
      Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", byte, want);
    }
  }
  Log::log(DEBUG_NXPSerial_E, "]\n");
  return status;
}

aErr NXPSerialClass::GetLine(char* buffer, size_t size, size_t* count, unsigned timeoutMs) {
  *count = 0;
  if (size == 0) return aErrParam;
  aErr status = aErrNone;
  unsigned budget = timeoutMs;
  int matcher = 0;  // line-end bytes seen: 1 after CR, 2 after CR LF
  while (*count < size - 1 && matcher < 2 && budget > 0 && stream != nullptr) {
    uint8_t byte = 0;
    status = aStream_Read(stream, &byte, 1);
    if (status != aErrNone) {
      budget--;
      Log::log(DEBUG_NXPSerial_E, ".");
      aTime_MSSleep(1);
      continue;
    }
    if (byte == '\n' && *count == 0) {
      budget--;
      Log::log(DEBUG_NXPSerial_E, ",");
      aTime_MSSleep(1);
      continue;
    }
    buffer[(*count)++] = static_cast<char>(byte);
    if ((matcher == 0 && byte == '\r') || (matcher == 1 && byte == '\n')) matcher++;
    else matcher = 0;
  }
  buffer[*count] = '\0';
  sLogText(DEBUG_NXPSerial_SR, "GetLine() Received: [" + sHex(sBytes(buffer), *count) + "] [" +
                                   sShown(sBytes(buffer), *count, false) + "] " + std::to_string(*count) + " " +
                                   (matcher != 0 ? "term" : "non-term") + " [" + aError_GetErrorText(status) + "]\n");
  return status;
}

aErr NXPSerialClass::Response(char* buffer, size_t size, size_t* count, const char* expected,
                              size_t expectedLength) {
  *count = 0;
  if (size == 0) return aErrParam;
  size_t take = expected != nullptr ? expectedLength : size - 1;
  if (take > size - 1) take = size - 1;
  unsigned wait = sWaitTimeMs(expectedLength, static_cast<unsigned>(baud)) + 20;
  Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%d bytes, %d, %d ms]\n", static_cast<int>(expectedLength),
           baud, static_cast<int>(wait));
  aTime_MSSleep(wait);
  aErr status = aErrNone;
  int matcher = 0;
  unsigned failed = 0;
  size_t dropped = 0;
  while (*count < take && matcher < 2 && failed < kAnswerBudget && dropped < kDropLimit && stream != nullptr) {
    uint8_t byte = 0;
    status = aStream_Read(stream, &byte, 1);
    if (status != aErrNone) {
      failed++;
      Log::log(DEBUG_NXPSerial_E, ".");
      aTime_MSSleep(1);
      continue;
    }
    if (*count == 0 && (byte == '\n' || byte == '\r')) {
      dropped++;
      Log::log(DEBUG_NXPSerial_E, byte == '\n' ? "Response ignoring leading \\n\n" : "Response ignoring leading \\r\n");
      continue;
    }
    if (byte == 0 && *count < 3) {
      dropped++;
      Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
      continue;
    }
    if (expected != nullptr && byte != static_cast<uint8_t>(expected[*count])) {
      uint8_t want = static_cast<uint8_t>(expected[*count]);
      Log::log(DEBUG_NXPSerial_E, "Error Test_Serial_Response() Expected byte %d does not match [[%02X] %c != %c [%02X]]\n",
               static_cast<int>(*count), byte, sPrintable(byte) ? byte : ' ', sPrintable(want) ? want : ' ', want);
    }
    buffer[(*count)++] = static_cast<char>(byte);
    if ((matcher == 0 && byte == '\r') || (matcher == 1 && byte == '\n')) matcher++;
    else matcher = 0;
  }
  sLogText(DEBUG_NXPSerial_SR, "Response: [" + sHex(sBytes(buffer), *count) + "] [" +
                                   sShown(sBytes(buffer), *count, true) + "]\n");
  return status;
}

aErr NXPSerialClass::CommandLine(const char* command, const char* caller) {
  aErr err = SendCommand(command);
  if (err != aErrNone)
    Log::log(DEBUG_NXPSerial, "%sError Sending command [%s] [%s]\n", caller, command, aError_GetErrorText(err));
  return err;
}

uint8_t NXPSerialClass::GetErrorIndex(size_t length) {
  if (echo && length > kTerminationSize) return static_cast<uint8_t>(length - kTerminationSize - 1);
  return 0;
}

// --- connection ---

unsigned NXPSerialClass::RateIndex(unsigned rate) {
  if (rate > 230400) return kBaudIndex9600;
  unsigned index = 0;
  while (BAUD_RATES[index] != 0 && BAUD_RATES[index] < rate) index++;
  return index;
}

aErr NXPSerialClass::Connect(const char* port, unsigned rate) {
  Disconnect();
  unsigned index = RateIndex(rate);
  baud = static_cast<int>(BAUD_RATES[index]);
  Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", port ? port : "",
           static_cast<int>(index), baud);
  aErr err = aStream_CreateSerial(port, index, false, 0, 0, &stream);
  if (err != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", port ? port : "", aError_GetErrorText(err));
    return err;
  }
  return aErrNone;
}

aErr NXPSerialClass::Disconnect() {
  if (stream != nullptr) aStream_Destroy(&stream);
  stream = nullptr;
  return aErrNone;
}

aErr NXPSerialClass::Sync() {
  static const char kSynchronized[] = "Synchronized\r\n";
  static const char kOk[] = "OK\r\n";
  char buffer[kLineSize];
  size_t count = 0;

  Send("?", false);
  aErr status = Response(buffer, sizeof buffer, &count, kSynchronized, 14);
  if (status != aErrNone) {
    std::string received(buffer, count);
    Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
             kSynchronized, received.c_str());
    return status;
  }
  if (count < 14 || memcmp(buffer, kSynchronized, 14) != 0)
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", kSynchronized);

  Send(kSynchronized, false);
  Response(buffer, sizeof buffer, &count, kSynchronized, 13);
  memset(buffer, 0, sizeof buffer);
  status = Response(buffer, sizeof buffer, &count, kOk, 4);
  bool ok = count >= 2 && buffer[0] == 'O' && buffer[1] == 'K';
  if (!ok) {
    std::string received(buffer, count);
    Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", received.c_str(), kOk);
  }

  char crystal[32];
  snprintf(crystal, sizeof crystal, "%d\r\n", static_cast<int>(CRYSTAL_DEFAULT * 1000.0f + 0.5f));
  Send(crystal, false);
  Response(buffer, sizeof buffer, &count, crystal, strlen(crystal) - 1);
  status = Response(buffer, sizeof buffer, &count, kOk, 4);
  return ok ? status : aErrIO;
}

// --- return codes and number lines ---

bool NXPSerialClass::ParseReturnCode(const char* line, size_t length, unsigned long* code) {
  if (line == nullptr || !sLineEnds(line, length)) return false;
  size_t end = length - 2;
  size_t start = end;
  while (start > 0 && isdigit(static_cast<unsigned char>(line[start - 1]))) start--;
  if (start == end || end - start > 9) return false;
  if (start > 0 && !isspace(static_cast<unsigned char>(line[start - 1]))) return false;
  unsigned long value = 0;
  for (size_t i = start; i < end; ++i) value = value * 10 + static_cast<unsigned long>(line[i] - '0');
  *code = value;
  return true;
}

bool NXPSerialClass::ParseNumberLine(const char* line, size_t length, unsigned long long* value) {
  if (line == nullptr || !sLineEnds(line, length) || length < 3) return false;
  if (!isdigit(static_cast<unsigned char>(line[0]))) return false;
  std::string text(line, length - 2);
  if (text.find('\0') != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  *value = parsed;
  return true;
}

// Reads the answer line of a command just sent: aErrNone only for the return code 0.
aErr NXPSerialClass::ReturnCodeCheck(unsigned budgetMs, char* line, size_t size) {
  size_t count = 0;
  GetLine(line, size, &count, budgetMs);
  unsigned long code = 0;
  if (ParseReturnCode(line, count, &code) && code == 0) return aErrNone;
  return aErrParam;
}

// --- commands ---

aErr NXPSerialClass::SetEcho(bool on) {
  Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
  char command[16];
  snprintf(command, sizeof command, "A %d\r\n", on ? 1 : 0);
  aErr err = CommandLine(command);
  if (err != aErrNone) return err;
  char line[kLineSize];
  err = ReturnCodeCheck(kAnswerBudget, line, sizeof line);
  if (err == aErrNone) echo = on;
  return err;
}

aErr NXPSerialClass::Unlock() {
  char command[32];
  snprintf(command, sizeof command, "U %u\r\n", kUnlockCode);
  aErr err = CommandLine(command);
  if (err != aErrNone) return err;
  char line[kLineSize];
  return ReturnCodeCheck(kAnswerBudget, line, sizeof line);
}

aErr NXPSerialClass::SectorCommand(char letter, unsigned first, unsigned last, unsigned budgetMs) {
  if (last < first) return aErrParam;
  char command[64];
  snprintf(command, sizeof command, "%c %d %d\r\n", letter, static_cast<int>(first), static_cast<int>(last));
  aErr err = CommandLine(command);
  if (err != aErrNone) return err;
  char line[kLineSize];
  err = ReturnCodeCheck(budgetMs, line, sizeof line);
  if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
  return err;
}

aErr NXPSerialClass::Prepare(unsigned first, unsigned last) { return SectorCommand('P', first, last, kAnswerBudget); }

aErr NXPSerialClass::Erase(unsigned first, unsigned last) { return SectorCommand('E', first, last, kSlowAnswerBudget); }

aErr NXPSerialClass::CopyToFlash(unsigned flashAddress, unsigned ramAddress, unsigned count) {
  if (flashAddress % 256 != 0 || (count != 256 && count != 512 && count != 1024 && count != 4096)) return aErrParam;
  char command[64];
  snprintf(command, sizeof command, "C %d %d %d\r\n", static_cast<int>(flashAddress), static_cast<int>(ramAddress),
           static_cast<int>(count));
  aErr err = CommandLine(command);
  if (err != aErrNone) return err;
  char line[kLineSize];
  err = ReturnCodeCheck(kSlowAnswerBudget, line, sizeof line);
  if (err != aErrNone) Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
  return err;
}

aErr NXPSerialClass::SetBaudRate(unsigned rate) {
  char command[64];
  snprintf(command, sizeof command, "B %d %d\r\n", static_cast<int>(rate), 1);
  aErr err = CommandLine(command);
  if (err != aErrNone) return err;
  char line[kLineSize];
  return ReturnCodeCheck(kAnswerBudget, line, sizeof line);
}

aErr NXPSerialClass::ExecuteFrom(unsigned address) {
  char command[64];
  snprintf(command, sizeof command, "G %d T\r\n", static_cast<int>(address));
  return CommandLine(command);
}

// Sends the command, checks its return code and reads n number lines: a refused or cut
// answer must never pass for a chip's values.
aErr NXPSerialClass::NumberLines(const char* command, unsigned long long* values, size_t n) {
  aErr err = CommandLine(command);
  if (err != aErrNone) return err;
  char line[kLineSize];
  if (ReturnCodeCheck(kAnswerBudget, line, sizeof line) != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
    return aErrParam;
  }
  for (size_t i = 0; i < n; ++i) {
    char word[kWordLineSize];
    size_t count = 0;
    GetLine(word, sizeof word, &count, kAnswerBudget);
    if (!ParseNumberLine(word, count, &values[i])) {
      Log::log(DEBUG_NXPSerial, "Error number line %d of %d: [%s]\n", static_cast<int>(i + 1), static_cast<int>(n),
               sShown(sBytes(word), count, true).c_str());
      return aErrIO;
    }
  }
  return aErrNone;
}

aErr NXPSerialClass::GetDeviceID() {
  unsigned long long words[4] = {0, 0, 0, 0};
  aErr err = NumberLines("N\r\n", words, 4);
  if (err != aErrNone) return err;
  for (unsigned long long w : words)
    if (w > 0xFFFFFFFFull) return aErrIO;
  for (int i = 0; i < 4; ++i) deviceId[i] = static_cast<uint32_t>(words[i]);
  return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* out) {
  unsigned long long part = 0;
  aErr err = NumberLines("J\r\n", &part, 1);
  if (err != aErrNone) return err;
  if (part > 0x7FFFFFFFull) return aErrIO;
  *out = static_cast<long>(part);
  Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", static_cast<long long>(*out));
  return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(uint8_t* major, uint8_t* minor) {
  unsigned long long version[2] = {0, 0};
  aErr err = NumberLines("K\r\n", version, 2);
  if (err != aErrNone) return err;
  if (version[0] > 255 || version[1] > 255) return aErrIO;
  *major = static_cast<uint8_t>(version[0]);
  *minor = static_cast<uint8_t>(version[1]);
  Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", *major, *minor);
  return aErrNone;
}

// --- data transfers ---

aErr NXPSerialClass::Write(unsigned ramAddress, unsigned count, const uint8_t* data) {
  if (count == 0 || count % 4 != 0 || data == nullptr) return aErrParam;
  char command[64];
  snprintf(command, sizeof command, "W %d %d\r\n", static_cast<int>(ramAddress), static_cast<int>(count));
  aErr err = CommandLine(command, "Write() ");
  if (err != aErrNone) return err;
  char line[kLineSize];
  if (ReturnCodeCheck(kAnswerBudget, line, sizeof line) != aErrNone) {
    Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n", GetErrorText(line));
    return aErrParam;
  }

  unsigned p = 0, accepted = 0, lines = 0, attempts = MAX_READ_RETRY;
  aErr result = aErrNone;
  while (p < count && result == aErrNone) {
    unsigned n = count - p < MAX_BYTES_PER_LINE ? count - p : MAX_BYTES_PER_LINE;
    char encoded[2 + 4 * ((MAX_BYTES_PER_LINE + 2) / 3)];
    uuencode(encoded, data + p, n);
    if ((err = Send(encoded, echo)) != aErrNone || (err = Send("\r\n", echo)) != aErrNone) return err;
    p += n;
    lines++;
    if (lines < LINES_PER_CHECKSUM && p < count) continue;

    unsigned checksum = sum(data + accepted, p - accepted);
    Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", checksum, static_cast<int>(checksum));
    char checksumLine[32];
    snprintf(checksumLine, sizeof checksumLine, "%d\r\n", static_cast<int>(checksum));
    if ((err = Send(checksumLine, echo)) != aErrNone) return err;
    uint64_t started = aTime_GetMonotonicMS();
    size_t got = 0;
    GetLine(line, sizeof line, &got, kChecksumBudget);
    Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n",
             static_cast<int>(aTime_GetMonotonicMS() - started + 1));
    if (strcmp(line, "OK\r\n") == 0) {
      accepted = p;
      Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %d of %d (%.0f%%) bytes\n", static_cast<int>(p),
               static_cast<int>(count), p * 100.0 / count);
    } else if (strcmp(line, "RESEND\r\n") == 0) {
      if (--attempts > 0) {
        p = accepted;
      } else {
        Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
        result = aErrTimeout;
      }
    } else {
      Log::log(DEBUG_NXPSerial_SR, "Write() unexpected response [%s]\n", sShown(sBytes(line), got, true).c_str());
      result = aErrIO;
    }
    lines = 0;
  }
  return result;
}

aErr NXPSerialClass::Read(unsigned address, unsigned count, uint8_t* out) {
  if (count == 0 || count % 4 != 0 || out == nullptr) return aErrParam;
  char command[64];
  snprintf(command, sizeof command, "R %d %d\r\n", static_cast<int>(address), static_cast<int>(count));
  aErr err = CommandLine(command);
  if (err != aErrNone) return err;
  char line[kLineSize];
  if (ReturnCodeCheck(kAnswerBudget, line, sizeof line) != aErrNone) {
    Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", GetErrorText(line));
    return aErrParam;
  }

  unsigned p = 0, accepted = 0, lines = 0, attempts = MAX_READ_RETRY;
  aErr result = aErrNone;
  while (p < count && result == aErrNone) {
    size_t got = 0;
    GetLine(line, sizeof line, &got, kAnswerBudget);
    // A line that does not come, or that does not decode whole, leaves bytes never received.
    unsigned declared = got > 0 ? (static_cast<unsigned>(line[0] - 0x20) & 0x3F) : 0;
    unsigned decoded = sLineEnds(line, got) ? uudecode(out + p, count - p, line) : 0;
    if (decoded == 0 || decoded != declared) {
      Log::log(DEBUG_NXPSerial, "Read() bad data line [%s]\n", sShown(sBytes(line), got, true).c_str());
      return aErrIO;
    }
    p += decoded;
    lines++;
    if (lines < LINES_PER_CHECKSUM && p < count) continue;

    GetLine(line, sizeof line, &got, kAnswerBudget);
    unsigned long long checksum = 0;
    if (!ParseNumberLine(line, got, &checksum)) {
      Log::log(DEBUG_NXPSerial, "Read() bad checksum line [%s]\n", sShown(sBytes(line), got, true).c_str());
      return aErrIO;
    }
    if (checksum == sum(out + accepted, p - accepted)) {
      Send("OK\r\n", false);
      size_t echoed = 0;
      Response(line, sizeof line, &echoed, "OK\r\n", p < count ? 3 : 4);
      accepted = p;
      Log::log(DEBUG_NXPSerial_SR, "valid receipt of %d of %d (%.0f%%) bytes\n", static_cast<int>(p),
               static_cast<int>(count), p * 100.0 / count);
    } else if (--attempts > 0) {
      Send("RESEND\r\n", echo);
      p = accepted;
    } else {
      result = aErrTimeout;
    }
    lines = 0;
  }
  return result;
}

// --- utilities ---

const char* NXPSerialClass::GetErrorText(const char* line) {
  long code = strtol(line, nullptr, 0);
  if (code < 0 || code > static_cast<long>(MAX_ERROR)) return "Unknown error";
  return ERROR_TEXT[code];
}

unsigned NXPSerialClass::CopyLength(unsigned n) {
  for (unsigned length : {256u, 512u, 1024u, 4096u})
    if (n <= length) return length;
  Log::log(DEBUG_NXPSerial, "Copy length is too large. %d > 4096.\n", static_cast<int>(n));
  return n;
}

unsigned NXPSerialClass::SectorFromAddress(unsigned address) {
  const Sector* s = NXP_LPC17XX_sectors;
  for (; s->size != 0; ++s)
    if (address >= s->start && address - s->start < s->size) return s->number;
  return s->number;
}

unsigned NXPSerialClass::sum(const uint8_t* data, unsigned n) {
  unsigned total = 0;
  for (unsigned i = 0; i < n; ++i) total += data[i];
  return total;
}

char NXPSerialClass::uuchar(unsigned v) {
  v &= 0x3F;
  return static_cast<char>(v == 0 ? 0x60 : v + 0x20);
}

unsigned NXPSerialClass::uuencode(char* out, const uint8_t* data, unsigned n) {
  *out++ = uuchar(n);
  for (unsigned i = 0; i < n; i += 3) {
    uint32_t b0 = data[i];
    uint32_t b1 = i + 1 < n ? data[i + 1] : 0;
    uint32_t b2 = i + 2 < n ? data[i + 2] : 0;
    uint32_t value = b0 << 16 | b1 << 8 | b2;
    *out++ = uuchar(value >> 18);
    *out++ = uuchar(value >> 12);
    *out++ = uuchar(value >> 6);
    *out++ = uuchar(value);
  }
  *out = '\0';
  return n;
}

unsigned NXPSerialClass::uudecode(uint8_t* out, unsigned capacity, const char* line) {
  if (line == nullptr || line[0] == '\0') return 0;
  unsigned n = static_cast<unsigned>(line[0] - 0x20) & 0x3F;
  if (n == 0 || capacity < n) return 0;
  // A line cut short decodes nothing, so no byte of it passes for received.
  size_t needed = 4 * ((n + 2) / 3);
  if (strnlen(line + 1, needed) < needed) {
    Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
    return 0;
  }
  const char* group = line + 1;
  unsigned done = 0;
  while (done < n) {
    unsigned c[4];
    for (int i = 0; i < 4; ++i) c[i] = static_cast<unsigned>(group[i] - 0x20) & 0x3F;
    uint8_t bytes[3] = {static_cast<uint8_t>(c[0] << 2 | (c[1] >> 4 & 3)),
                        static_cast<uint8_t>(c[1] << 4 | (c[2] >> 2 & 0xF)), static_cast<uint8_t>(c[2] << 6 | c[3])};
    for (int i = 0; i < 3 && done < n; ++i) out[done++] = bytes[i];
    group += 4;
  }
  return n;
}
