// The input as what an i.MX boot ROM answers: to both transports' getDataFromBuffer at every
// index, and to writeLoader through a scripted transport. Byte 0 picks the transport kind for
// the script (bit 0) and how many bytes each read hands out (bits 1 to 6, plus 1).
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzLog.h"
#include "SDPLoader.h"

namespace {

// Hands out the script a slice per read. Once it is spent the chip has said all it will, so an
// answer that holds no value yet is taken as final (value 0) instead of being waited for.
class ScriptedTransport : public SDPLoader_Interface {
 public:
  ScriptedTransport(const uint8_t* data, size_t size, bool hid, size_t slice)
      : script_(data, data + size), hid_(hid), slice_(slice) {}
  bool init() override { return true; }
  ssize_t writeData(const std::vector<uint8_t>& packet) override {
    CHECK(packet.size() <= SDPLoader::MAX_WRITE_BYTES + 1);
    return static_cast<ssize_t>(packet.size());
  }
  ssize_t readData(std::vector<uint8_t>& out, unsigned) override {
    size_t n = script_.size() - at_ < slice_ ? script_.size() - at_ : slice_;
    out.insert(out.end(), script_.begin() + static_cast<std::ptrdiff_t>(at_),
               script_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  bool getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned index, uint32_t& value) override {
    bool found = hid_ ? hidKind_.getDataFromBuffer(answer, index, value) : serialKind_.getDataFromBuffer(answer, index, value);
    return found || at_ == script_.size();
  }

 private:
  std::vector<uint8_t> script_;
  size_t at_ = 0;
  bool hid_;
  size_t slice_;
  HID_SDPLoader hidKind_{IMX1050::VID, IMX1050::PID};
  Serial_SDPLoader serialKind_{"/nonexistent"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzLogToNull(DEBUG_iMXSerial);
  if (size == 0) return 0;
  std::vector<uint8_t> answer(data + 1, data + size);

  HID_SDPLoader hid(IMX1050::VID, IMX1050::PID);
  Serial_SDPLoader serial("/nonexistent");
  for (unsigned index = 0; index <= 16; ++index) {
    uint32_t value = 0;
    if (hid.getDataFromBuffer(answer, index, value)) CHECK(answer.size() == 70 && index <= 15);
    value = 0;
    if (serial.getDataFromBuffer(answer, index, value)) CHECK(answer.size() >= 4 * (index + 2) && index <= 15);
  }

  SDPLoader loader;
  loader.setLoader(new ScriptedTransport(data + 1, size - 1, data[0] & 1, ((data[0] >> 1) & 0x3F) + 1u));
  std::vector<uint8_t> image(2500, 0x5A);
  uint8_t result = loader.writeLoader(image, 0x20000000);
  CHECK(result == 0 || result == 2 || result == 3 || result == 4);
  return 0;
}
