#pragma once
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aStream.h"

// The host side of the LPC17xx ISP boot loader's dialogue on a serial port: synchronise, read
// the chip's identifier, unlock, prepare and erase sectors, write uuencoded data into RAM, copy
// it to flash and start the chip. Every operation returns an aErr: aErrParam for a rejected
// argument or a non-zero return code, aErrIO for an answer of the wrong shape, aErrTimeout for
// exhausted resends, else what the stream reports.
class NXPSerialClass {
 public:
  static const float CRYSTAL_DEFAULT;  // MHz, sent as "14746"
  static constexpr unsigned MAX_BYTES_PER_LINE = 45;
  static constexpr unsigned LINES_PER_CHECKSUM = 20;
  static constexpr unsigned MAX_READ_RETRY = 3;
  static constexpr uint32_t WRITE_ADDRESS = 0x10001000;
  static constexpr unsigned MAX_ERROR = 20;
  static const char* const ERROR_TEXT[MAX_ERROR + 1];

  struct Sector {
    uint32_t start;
    uint32_t size;
    uint32_t number;
  };
  static const Sector NXP_LPC17XX_sectors[31];  // ends with {0xFFFFFFFF, 0, 30}
  static const unsigned BAUD_RATES[9];          // by stream rate index, ends with 0

  NXPSerialClass() = default;
  ~NXPSerialClass();
  NXPSerialClass(const NXPSerialClass&) = delete;
  NXPSerialClass& operator=(const NXPSerialClass&) = delete;

  aErr Connect(const char* port, unsigned baud);
  // The index into BAUD_RATES of the rate Connect opens the port at for `rate`: the first
  // listed rate not below it, and 9600 for anything above 230400.
  static unsigned RateIndex(unsigned rate);
  aErr Disconnect();
  aErr Sync();

  aErr SetEcho(bool on);
  aErr Unlock();
  aErr Prepare(unsigned first, unsigned last);
  aErr Erase(unsigned first, unsigned last);
  aErr CopyToFlash(unsigned flashAddress, unsigned ramAddress, unsigned count);
  aErr SetBaudRate(unsigned rate);
  aErr ExecuteFrom(unsigned address);
  aErr GetDeviceID();
  aErr GetPartNumber(long* out);
  aErr GetBootLoaderVersion(uint8_t* major, uint8_t* minor);
  aErr Write(unsigned ramAddress, unsigned count, const uint8_t* data);
  aErr Read(unsigned address, unsigned count, uint8_t* out);

  // The four identifier words of the last successful GetDeviceID, in the chip's order.
  const uint32_t* DeviceID() const { return deviceId; }
  bool Echo() const { return echo; }
  int Baud() const { return baud; }

  // Line input and output.
  aErr Send(const char* text, bool readEcho);
  aErr SendCommand(const char* command);
  aErr GetEcho(const char* expected, size_t n, size_t* matched);
  aErr GetLine(char* buffer, size_t size, size_t* count, unsigned timeoutMs);
  aErr Response(char* buffer, size_t size, size_t* count, const char* expected, size_t expectedLength);
  uint8_t GetErrorIndex(size_t length);

  // Utilities.
  static const char* GetErrorText(const char* line);
  static unsigned CopyLength(unsigned n);
  static unsigned SectorFromAddress(unsigned address);
  static unsigned sum(const uint8_t* data, unsigned n);
  static char uuchar(unsigned v);
  // Writes the line and a terminating zero into out (at least 2 + 4 * ceil(n / 3) bytes).
  static unsigned uuencode(char* out, const uint8_t* data, unsigned n);
  // Never writes past capacity; the bytes decoded, 0 for an empty, too long or cut line.
  static unsigned uudecode(uint8_t* out, unsigned capacity, const char* line);

  // A chip's return-code line: the whole decimal number that ends just before the line's
  // CR LF, standing at the start of the line or after white space. False when there is none.
  static bool ParseReturnCode(const char* line, size_t length, unsigned long* code);
  // A number line: nothing but a number (decimal, or 0 / 0x prefixed) and then CR LF.
  static bool ParseNumberLine(const char* line, size_t length, unsigned long long* value);

 private:
  // SendCommand; a failed write is logged, after `caller`, with the line and returned.
  aErr CommandLine(const char* command, const char* caller = "");
  aErr ReturnCodeCheck(unsigned budgetMs, char* line, size_t size);
  aErr SectorCommand(char letter, unsigned first, unsigned last, unsigned budgetMs);
  aErr NumberLines(const char* command, unsigned long long* values, size_t n);

  aStream* stream = nullptr;
  bool echo = true;
  int baud = 0;
  uint32_t deviceId[4] = {0, 0, 0, 0};
};
