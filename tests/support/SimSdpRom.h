#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "SimPtyLine.h"

class UsbDeviceEmulation;
class EmulatedUsbDevice;
class EmulatedHidrawNode;

// The i.MX RT1050 boot ROM in serial-download mode, as far as the host sees it.
//
// Commands are 16 bytes, big-endian: code twice, address, format, count, data word, reserved.
//   status (05 05)        -> HAB, status word
//   write-file (04 04)    -> takes count data bytes into RAM (0x20000000 to 0x202FFFFF; elsewhere
//                            the failure status), then HAB and the completion word
//   read-register (01 01) -> HAB, then count bytes of RAM or of the fuse words
//   jump (0B 0B)          -> HAB; the address is recorded, the ROM falls silent and onJump runs
// Answers: on a serial line HAB (4 bytes) and words little-endian, raw; on HID report 3 holds HAB
// (id + 4 bytes) and report 4 the rest (id + 64 bytes). Other commands get HAB and the failure
// status. A command cut short is dropped after 50 ms without bytes (a choice of the model).
//
// SdpRomCore holds the protocol's decisions and no thread; SimSdpRom puts it behind its faces.
class SdpRomCore {
 public:
  static constexpr uint32_t kHab = 0x56787856;           // HAB disabled ("open" part)
  static constexpr uint32_t kComplete = 0x88888888;      // write-file done
  static constexpr uint32_t kStatusOk = 0xF0F0F0F0;      // the status word of a healthy ROM
  static constexpr uint32_t kFailureStatus = 0x33333333;  // this model's word for a refused command
  static constexpr uint32_t kRamStart = 0x20000000;
  static constexpr uint32_t kRamEnd = 0x20300000;  // one past

  struct Settings {
    uint32_t hab = kHab;
    uint32_t status = kStatusOk;
    uint32_t completion = kComplete;
    bool silent = false;
    int answerFromStatusQuery = 1;  // status queries before the n-th go unanswered
    bool readHabOnly = false;       // read-register answered with HAB alone
    std::map<uint32_t, uint32_t> fuses;  // register address -> word
  };

  // What goes back: HAB and then the rest, delayed by delayMs.
  struct Answer {
    std::vector<uint8_t> hab;   // 4 bytes
    std::vector<uint8_t> rest;  // status word or read data; empty after a jump
    uint64_t delayMs = 0;
    bool completion = false;  // the final answer of a write-file
  };

  struct Command {
    uint8_t code;
    uint32_t address;
    uint8_t format;
    uint32_t count;
    uint32_t data;
    uint8_t reserved;
    std::array<uint8_t, 16> bytes;
  };

  Settings settings;
  uint64_t finalAnswerDelayMs = 0;  // the fault "final answer late"

  // A whole command (HID report 1, or 16 bytes of the serial line).
  void command(const uint8_t* bytes16, std::vector<Answer>& out);
  // Data of a write-file in progress: takes what it needs, returns how many bytes it took.
  size_t data(const uint8_t* bytes, size_t size, std::vector<Answer>& out);
  // A serial line's bytes: commands and data as they come, split by the model.
  void line(const uint8_t* bytes, size_t size, uint64_t nowMs, std::vector<Answer>& out);
  // Drops a command cut short when 50 ms passed without bytes.
  void idle(uint64_t nowMs);

  bool expectingData() const { return dataLeft_ > 0; }
  bool jumped() const { return jumpAddress_.has_value(); }
  std::optional<uint32_t> jumpAddress() const { return jumpAddress_; }
  uint64_t dataBytesTaken() const { return dataTaken_; }
  void reset();  // back to the ROM's start, RAM kept

  std::vector<Command> commands;
  std::map<uint32_t, std::array<uint8_t, 4096>> ram;  // by page
  std::vector<uint8_t> readRam(uint32_t address, size_t n) const;
  void writeRam(uint32_t address, const uint8_t* data, size_t n);

 private:
  std::vector<uint8_t> partial_;
  uint64_t lastByteMs_ = 0;
  uint64_t dataLeft_ = 0;
  uint32_t dataAddress_ = 0;
  bool dataInRam_ = false;
  uint64_t dataTaken_ = 0;
  int statusQueries_ = 0;
  std::optional<uint32_t> jumpAddress_;
};

class SimSdpRom {
 public:
  struct Faults {
    int talkAfterChunk = 0;          // unsolicited bytes after the k-th data chunk (serial: 1024 bytes)
    uint64_t stopReadingAfter = UINT64_MAX;  // serial: bytes
    uint64_t hangUpAfter = UINT64_MAX;       // serial: bytes from the host, then the master closes
    bool padReport3 = false;         // HID: report 3 as 65 bytes
    int report4Size = 65;            // HID: a short report 4 in a write-file's final answer
    int failWriteOfReport = 0;       // HID: the n-th report written (1 = first) fails
    int failWriteErrno = EPIPE;
    uint32_t throttle = 0;           // serial: characters per second
  };

  SimSdpRom();
  ~SimSdpRom();
  SimSdpRom(const SimSdpRom&) = delete;
  SimSdpRom& operator=(const SimSdpRom&) = delete;

  // Set before a face starts, or under lock through the helpers below.
  void configure(const std::function<void(SdpRomCore::Settings&, Faults&)>& change);
  void setFinalAnswerDelay(uint64_t ms);
  // Runs on the face's thread after a jump (and after USB faces unplugged).
  void onJump(std::function<void(uint32_t address)> hook);

  // Serial face on the pty's master (a pair made with keepSlave).
  void serveSerial(PtyPair& pty);
  // The USB faces: the ROM's USB device (0x1FC9:0x0130, HID interface, interrupt IN 0x81 of
  // 1024 bytes) with a hidraw node; both unplug at a jump.
  void plugUsb(UsbDeviceEmulation& usb);
  void unplugUsb();
  // The chip was reset after a jump: the ROM runs again, its RAM kept, and a USB face that
  // unplugged at the jump plugs in again. Not on a face's own thread (a jump hook's).
  void restart();
  std::string hidrawPath() const;
  EmulatedUsbDevice* usbDevice() const;
  EmulatedHidrawNode* hidrawNode() const;
  void stop();

  // Records.
  std::vector<SdpRomCore::Command> commands() const;
  std::vector<uint8_t> ram(uint32_t address, size_t n) const;
  std::optional<uint32_t> jumpAddress() const;  // since the last (re)start
  std::vector<uint32_t> jumps() const;          // every jump, restarts included
  std::vector<LineTranscriptEntry> transcript() const;  // serial line, or HID reports
  std::vector<std::vector<uint8_t>> reportsFromHost() const;
  std::vector<uint8_t> serialFromHost() const;
  uint64_t serialBytesFromHost() const;
  uint64_t dataBytesTaken() const;
  bool waitJump(uint64_t ms) const;
  // The ROM's RAM as written (pages of 4 KiB), for a dump.
  std::map<uint32_t, std::array<uint8_t, 4096>> ramPages() const;

 private:
  struct Usb;
  void serialBytes(const uint8_t* data, size_t size);
  void serialTick();
  void deliverSerial(std::vector<SdpRomCore::Answer>& answers);
  void afterJump();
  void usbLoop(Usb* usb);
  void hostReport(Usb* usb, bool hidraw, const std::vector<uint8_t>& bytes);
  void emitReport(Usb* usb, bool hidraw, const std::vector<uint8_t>& report);

  mutable std::mutex mutex_;
  SdpRomCore core_;
  Faults faults_;
  std::function<void(uint32_t)> onJump_;
  std::unique_ptr<SimPtyLine> line_;
  bool talked_ = false;
  bool jumpHandled_ = false;
  std::vector<uint32_t> jumps_;

  std::unique_ptr<Usb> usb_;
  std::vector<LineTranscriptEntry> reports_;
};
