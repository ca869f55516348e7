#pragma once
// The firmware-upgrade entity's exchanges made at link level, on the link and device a transfer
// through the entity uses, and what a transfer cost the device in such exchanges: together they
// give the ceiling a transfer could reach if it added no waiting of its own.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "BenchTiming.h"
#include "LinkChecks.h"
#include "aLink.h"

// Exchanges of one transfer: PREPARE, DATA, SUM and WRITE each wait for one short reply;
// a byte sequence of option 10 (counted at its last packet) for its acknowledgement.
struct UpgradeExchanges {
  size_t dataLike = 0;
  size_t sequences = 0;
};

inline UpgradeExchanges CountUpgradeExchanges(const std::vector<std::vector<uint8_t>>& payloads) {
  UpgradeExchanges e;
  for (const std::vector<uint8_t>& p : payloads) {
    if (p.size() < 2) continue;
    if (p[1] == 1 || p[1] == 3 || p[1] == 4 || p[1] == 5) ++e.dataLike;
    if (p[1] == 0x8A && (p.back() & 0x80) == 0) ++e.sequences;
  }
  return e;
}

// Round trips on a link to the module: a 26-byte DATA [95, 1, ...] and its [95, 1, 26], with
// pooled packets off; and a 1024-byte option-10 sequence (43 packets) and its acknowledgement
// [95, 0xCA, 0x00], pooled. Pooling is left on.
class UpgradeLinkRoundTrips {
 public:
  UpgradeLinkRoundTrips(aLinkRef ref, uint8_t module) : ref_(ref), module_(module), data_(28, 0x5A) {
    data_[0] = 95;
    data_[1] = 1;
    for (size_t sent = 0, n = 0; sent < 1024; ++n) {
      size_t chunk = std::min<size_t>(24, 1024 - sent);
      std::vector<uint8_t> p{95, 0x8A, 0x20};
      p.insert(p.end(), chunk, 0xA5);
      sent += chunk;
      p.push_back(static_cast<uint8_t>((sent < 1024 ? 0x80 : 0) | (n % 128)));
      sequence_.push_back(p);
    }
  }

  // `count` of each kind, appended to dataUs and sequenceUs; false when an exchange failed.
  bool Measure(int count) {
    bool ok = true;
    aLink_EnablePooledPackets(ref_, false);
    for (int i = 0; i < count && ok; ++i) {
      auto start = std::chrono::steady_clock::now();
      ok = Put(data_) && Await({95, 1, 26});
      dataUs.push_back(MicrosSince(start));
    }
    aLink_EnablePooledPackets(ref_, true);
    for (int i = 0; i < count && ok; ++i) {
      auto start = std::chrono::steady_clock::now();
      for (const std::vector<uint8_t>& p : sequence_) ok = ok && Put(p);
      ok = ok && Await({95, 0xCA, 0x00});
      sequenceUs.push_back(MicrosSince(start));
    }
    return ok;
  }

  // Bytes per second of `bytes` moved in exchanges that cost, each, the median round trip of
  // its kind.
  double Ceiling(size_t bytes, const UpgradeExchanges& e) const {
    double dataRtt = Percentile(dataUs, 0.5) / 1e6;
    double sequenceRtt = Percentile(sequenceUs, 0.5) / 1e6;
    return static_cast<double>(bytes) / (static_cast<double>(e.dataLike) * dataRtt +
                                         static_cast<double>(e.sequences) * sequenceRtt);
  }

  std::vector<double> dataUs;
  std::vector<double> sequenceUs;

 private:
  bool Put(const std::vector<uint8_t>& payload) {
    aPacket* packet = aPacket_CreateWithData(module_, static_cast<uint8_t>(payload.size()), payload.data());
    aErr err = aLink_PutPacket(ref_, packet);
    aPacket_Destroy(&packet);
    return err == aErrNone;
  }
  bool Await(std::vector<uint8_t> match) {
    Tavrin::Corvantis::CommandMatch want{match.data(), static_cast<uint8_t>(match.size())};
    aPacket* reply = aLink_AwaitFirst(ref_, Tavrin::Corvantis::sCommandFilter, &want, 5000);
    bool came = reply != nullptr;
    aPacket_Destroy(&reply);
    return came;
  }

  aLinkRef ref_;
  uint8_t module_;
  std::vector<uint8_t> data_;
  std::vector<std::vector<uint8_t>> sequence_;
};
