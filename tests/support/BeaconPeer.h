#pragma once
#include <czmq.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A discovering client's beacon: a zbeacon on port 8585 that publishes any content and hears
// every beacon but its own. It uses the process-wide beacon interface setting in force when it
// is made. Used from one thread; only for private network namespaces.
class BeaconPeer {
 public:
  struct Heard {
    std::string sender;
    std::vector<uint8_t> content;
    uint64_t atMs;  // aTime_GetMonotonicMS when taken
  };

  BeaconPeer();
  ~BeaconPeer();
  BeaconPeer(const BeaconPeer&) = delete;
  BeaconPeer& operator=(const BeaconPeer&) = delete;

  // The address the beacon uses, as it answered its configuration ("" without one).
  const std::string& hostname() const { return hostname_; }
  // Repeats content every intervalMs until Silence.
  void Publish(const std::vector<uint8_t>& content, int intervalMs = 100);
  void Silence();
  // The next beacon heard within ms.
  std::optional<Heard> Receive(int ms);

 private:
  zactor_t* beacon_ = nullptr;
  std::string hostname_;
};

// The 20 bytes of a discovering client's query, without a terminating zero.
std::vector<uint8_t> BeaconQuery();
