#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "SimPtyLine.h"

// The ISP boot loader of an LPC1768 on a pty master, as the host sees it.
//
// Reset state: not synchronised, echo on, locked. "?" is answered "Synchronized\r\n" (earlier
// bytes are ignored); the host's "Synchronized\r\n" and then its crystal line (any decimal) are
// echoed and answered "OK\r\n". From then on every byte is echoed at once while echo is on,
// and a command line is acted on once its LF came, with NXP's return codes:
//   U code, A echo, B rate stop, J, K, N, P first last, E first last, W address count,
//   C flash ram count, M a b count, R address count, G address mode.
// W takes uuencoded lines with a checksum line after every 20 lines and after the last, each
// answered "OK\r\n" or "RESEND\r\n" (the group is then taken again); R sends the same form and
// waits for the host's "OK" or "RESEND". E, C and G need a good U; E and C need their sectors
// prepared and use the preparation up. Flash programs by AND (programming what is not erased
// shows as corruption); RAM holds a fixed pseudo-random pattern at reset.
//
// Line model: the slave is set raw at 115200 at start; the speed in use is read from the pty
// (tcgetattr on the master gives the slave's settings). "?" locks the chip to that speed, and
// bytes that come while the pty is set to another speed are dropped, as on a real line.
class SimLpcIsp {
 public:
  static constexpr uint32_t kPartId = 637615927;  // LPC1768
  static constexpr uint32_t kRamStart = 0x10000000;
  static constexpr uint32_t kRamSize = 0x8000;
  static constexpr uint32_t kFlashSize = 0x80000;
  static constexpr uint32_t kUnlockCode = 23130;

  struct Settings {
    uint32_t deviceId[4] = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
    uint8_t bootMajor = 4;
    uint8_t bootMinor = 13;
    uint32_t eraseDelayMs = 100;
    uint32_t copyDelayMsPer256 = 1;
    bool resetOnReopen = false;  // needs a pair without a kept slave, whose master sees the client go
    // Faults.
    bool silent = false;
    bool syncError = false;                 // "ERROR\r\n" to the synchronisation line
    std::map<char, int> returnCodes;        // command letter -> code sent instead of its own
    std::map<std::string, int> lineCodes;   // whole command line ("A 1") -> code sent instead of its own
    int resendGroup = 0;                    // this checksum group of a W (1 = first) ...
    int resendTimes = 0;                    // ... is answered RESEND this many times
    std::string checksumAnswer;             // sent instead of "OK\r\n" when not empty
    int idLines = 4;                        // N: word lines sent
    std::string idWord;                     // N: the first word line's text instead of the number
    bool cutReadLine = false;               // R: the first data line of a group cut in half
    uint32_t throttle = 0;                  // characters per second, both ways
    char hangUpAt = 0;                      // close the master when this command arrives
  };

  // One checksum line of a W, by the data lines accepted before its group plus the group's.
  struct Checksum {
    int lineAfter;  // lines of the transfer up to this checksum, counting each line once
    bool accepted;
  };

  explicit SimLpcIsp(PtyPair& pty);
  ~SimLpcIsp();
  SimLpcIsp(const SimLpcIsp&) = delete;
  SimLpcIsp& operator=(const SimLpcIsp&) = delete;

  void configure(const std::function<void(Settings&)>& change);
  void start();
  void stop();

  // Flash as left by earlier firmware.
  void loadFlash(uint32_t address, const std::vector<uint8_t>& bytes);

  // Records.
  std::vector<std::string> commandLines() const;  // command lines as received, without CR LF
  std::vector<Checksum> checksums() const;        // of every W so far
  int dataLines() const;                          // uuencoded lines taken, resends included
  std::vector<uint8_t> flash(uint32_t address, size_t n) const;
  std::vector<uint8_t> ram(uint32_t address, size_t n) const;
  bool synchronised() const;
  // With resetOnReopen: the client has closed the port and not opened it again.
  bool clientAway() const;
  bool echo() const;
  std::optional<uint32_t> executedFrom() const;
  std::vector<LineTranscriptEntry> transcript() const;
  std::string textToHost() const;
  uint64_t bytesFromHost() const;
  static std::vector<uint8_t> ResetRamPattern();

 private:
  enum class Phase { kUnsynced, kSyncLine, kCrystalLine, kCommand, kWriteData, kReadAck, kGone };

  void bytes(const uint8_t* data, size_t size);
  void tick();
  void lineDone(std::string text);
  void command(const std::string& text);
  void writeDataLine(const std::string& text);
  void sendReadGroup();
  void answer(int code);
  void say(const std::string& text, uint64_t delayMs = 0);
  void reset();
  bool speedMatches();
  int prepareSectors(int first, int last, bool requireAll);
  bool sectorsPrepared(uint32_t address, uint32_t count) const;
  void unprepare(uint32_t address, uint32_t count);
  std::vector<uint8_t> readFlash(uint32_t address, size_t n) const;
  std::vector<uint8_t> readRam(uint32_t address, size_t n) const;

  PtyPair& pty_;
  std::unique_ptr<SimPtyLine> line_;
  mutable std::mutex mutex_;
  Settings settings_;

  Phase phase_ = Phase::kUnsynced;
  bool echo_ = true;
  bool unlocked_ = false;
  unsigned lockedSpeed_ = 0;  // speed_t of the line "?" came at
  std::string current_;
  std::set<int> prepared_;
  std::vector<uint8_t> ramBytes_;
  std::vector<uint8_t> flash_;
  std::vector<std::string> commands_;
  std::vector<Checksum> checksums_;
  int dataLines_ = 0;
  std::optional<uint32_t> executed_;
  bool clientSeen_ = false;
  bool clientAway_ = false;

  // A W or R in progress.
  uint32_t xferAddress_ = 0;
  uint32_t xferCount_ = 0;
  uint32_t xferDone_ = 0;       // bytes accepted
  uint32_t groupStart_ = 0;     // bytes accepted before the group
  std::vector<uint8_t> group_;  // bytes of the group so far
  int groupLines_ = 0;
  int groupNumber_ = 0;
  int linesAccepted_ = 0;
  int resendsLeft_ = 0;
};
