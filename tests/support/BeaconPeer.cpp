#include "BeaconPeer.h"

#include <cstring>

#include "unix_time.h"

namespace {

constexpr int kBeaconPort = 8585;

}  // namespace

std::vector<uint8_t> BeaconQuery() {
  const char* text = "Corvantis2-Discovery";
  return std::vector<uint8_t>(text, text + strlen(text));
}

BeaconPeer::BeaconPeer() {
  beacon_ = zactor_new(zbeacon, nullptr);
  if (beacon_ == nullptr) return;
  zsock_set_rcvtimeo(beacon_, 5000);
  zsock_send(beacon_, "si", "CONFIGURE", kBeaconPort);
  char* hostname = zstr_recv(beacon_);
  hostname_ = hostname != nullptr ? hostname : "";
  zstr_free(&hostname);
  zsock_send(beacon_, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
}

BeaconPeer::~BeaconPeer() { zactor_destroy(&beacon_); }

void BeaconPeer::Publish(const std::vector<uint8_t>& content, int intervalMs) {
  zsock_send(beacon_, "sbi", "PUBLISH", content.data(), content.size(), intervalMs);
}

void BeaconPeer::Silence() { zstr_send(beacon_, "SILENCE"); }

std::optional<BeaconPeer::Heard> BeaconPeer::Receive(int ms) {
  if (beacon_ == nullptr) return std::nullopt;
  zmq_pollitem_t item = {zsock_resolve(beacon_), 0, ZMQ_POLLIN, 0};
  if (zmq_poll(&item, 1, ms) <= 0) return std::nullopt;
  char* sender = zstr_recv(beacon_);
  zframe_t* content = sender != nullptr ? zframe_recv(beacon_) : nullptr;
  std::optional<Heard> heard;
  if (content != nullptr) {
    heard = Heard{sender, std::vector<uint8_t>(zframe_data(content), zframe_data(content) + zframe_size(content)),
                  aTime_GetMonotonicMS()};
  }
  zframe_destroy(&content);
  zstr_free(&sender);
  return heard;
}
