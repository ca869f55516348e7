#pragma once
#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <vector>

// The host side of the i.MX RT1050 boot ROM's serial download protocol: write an image into the
// chip's RAM and jump to it, over USB HID (HID_SDPLoader) or a serial tty (Serial_SDPLoader).

struct IMX1050 {
  static constexpr uint16_t VID = 0x1FC9;
  static constexpr uint16_t PID = 0x0130;
  static constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
  static constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
  static constexpr uint32_t CFG0_OFFSET = 0x410;
  static constexpr uint32_t CFG1_OFFSET = 0x420;
};

// A transport to the ROM. Packets carry the HID report id as byte 0 (1 command, 2 data).
class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;
  virtual bool init() = 0;
  // Bytes sent, or -1 when the transport failed.
  virtual ssize_t writeData(const std::vector<uint8_t>& packet) = 0;
  // Appends what the chip sent; the number of bytes appended.
  virtual ssize_t readData(std::vector<uint8_t>& out, unsigned timeoutMs) = 0;
  // One 32-bit value of an answer, ORed into value; false when the answer holds none.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned index, uint32_t& value) = 0;
};

typedef struct hid_device_ hid_device;

// USB HID through hidapi; opens the first attached device with these ids.
class HID_SDPLoader : public SDPLoader_Interface {
 public:
  HID_SDPLoader(uint16_t vendorId, uint16_t productId);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t>& packet) override;
  ssize_t readData(std::vector<uint8_t>& out, unsigned timeoutMs) override;
  // Exactly 70 bytes (report 3 cut to 5 bytes, then report 4), index at most 15.
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned index, uint32_t& value) override;

 private:
  hid_device* device = nullptr;
  uint16_t vendorId;
  uint16_t productId;
  bool hidInitialised = false;
};

struct PrivateSerial_SDPLoader {
  int fd = -1;                  // -1 while not open
  const char* path = nullptr;   // the creator's text, kept alive by it
  struct termios settings = {};
};

// A serial tty at 115200 8N1, raw. The report id byte is not sent.
class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  explicit Serial_SDPLoader(const char* path);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  bool init() override;
  ssize_t writeData(const std::vector<uint8_t>& packet) override;
  ssize_t readData(std::vector<uint8_t>& out, unsigned timeoutMs) override;
  // At least 4 * (index + 2) bytes, index at most 15; the word after the 4 HAB bytes.
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned index, uint32_t& value) override;

 private:
  PrivateSerial_SDPLoader* d;
};

class SDPLoader {
 public:
  static constexpr size_t MAX_COMMAND_BYTES = 17;
  static constexpr size_t MAX_READ_BYTES = 65;
  static constexpr size_t MAX_WRITE_BYTES = 1024;

  // Results.
  static constexpr uint8_t kSuccess = 0;
  static constexpr uint8_t kNoTransport = 1;
  static constexpr uint8_t kNoAnswer = 2;
  static constexpr uint8_t kChipTalked = 3;
  static constexpr uint8_t kTransferFailed = 4;
  static constexpr uint8_t kOpenFailed = 6;
  static constexpr uint8_t kNoRegisterValue = 7;

  SDPLoader() = default;
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership; false (taking nothing) for NULL or when a transport is set already.
  bool setLoader(SDPLoader_Interface* loader);
  uint8_t init();
  uint8_t writeLoader(std::vector<uint8_t> image, uint32_t address);
  void startLoader(uint32_t address);
  uint8_t getFingerprint(uint64_t& id);

  // The packets as built, report byte first (exposed for tests and fuzzing).
  static std::vector<uint8_t> _createStatusPacket();
  static std::vector<uint8_t> _createWriteFilePacket(uint32_t address, uint32_t count);
  static std::vector<uint8_t> _createJumpPacket(uint32_t address);
  static std::vector<uint8_t> _create4ByteReadRegisterPacket(uint32_t address);

 private:
  bool _isConnectionAlive();
  // Writes one command and reads the answer within the usual wait, logging both.
  std::vector<uint8_t> _exchange(const std::vector<uint8_t>& command);
  static void _fillCommand(std::vector<uint8_t>& packet);
  bool _expectResponse(const std::vector<uint8_t>& answer);
  bool _expectSuccess(const std::vector<uint8_t>& answer);
  bool _expectAck(const std::vector<uint8_t>& answer);
  bool _readRegister(uint32_t address, uint32_t& value);
  static void _printBuffer(const std::vector<uint8_t>& buffer);

  SDPLoader_Interface* loader = nullptr;
};
