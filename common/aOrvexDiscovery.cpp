// Discovery of link servers: loopback multicast requests, or beacons on one interface.
#include "aOrvexDiscovery.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>

#include "aBeaconInterface.h"
#include "aMulticast.h"
#include "aServerTrace.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr uint32_t kMaxInterfaces = 50;
constexpr int kBeaconPasses = 22;
constexpr int kBeaconReceiveMs = 100;
constexpr int kPublishIntervalMs = 100;
// The beacon answers CONFIGURE at once; the bound only keeps discovery from hanging.
constexpr int kConfigureWaitMs = 5000;

#define sTrace(...) aServer_TraceTopic(kDiscoveryTrace, __VA_ARGS__)

struct Reporting {
  aDiscoveryProc proc;
  void* ref;
  uint8_t count;
  bool goOn;
};

void sReport(Reporting* run, const linkSpec* spec) {
  bool found = false;
  run->goOn = run->proc(spec, &found, run->ref);
  if (found) ++run->count;
}

bool sServerType(uint32_t type) { return type >= AORVEX_USB && type <= AORVEX_SERIAL; }

// One request port: a server holds it when it cannot be bound. Its answer, when one came.
void sAskPort(Reporting* run, uint16_t k, std::vector<linkSpec>* seen) {
  uint32_t group = aOrvexDiscovery_Group();
  aMulticast* probe = aMulticast_Create(kLoopback, group, DISCOVERY_REQUEST_PORT + k, aMULTICAST_RECEIVER);
  if (probe != nullptr) {
    aMulticast_Destroy(&probe);
    return;
  }
  aMulticast* reply = aMulticast_Create(kLoopback, group, DISCOVERY_REPLY_PORT + k, aMULTICAST_RECEIVER);
  aMulticast* sender = aMulticast_Create(kLoopback, group, DISCOVERY_REQUEST_PORT + k, aMULTICAST_SENDER);
  if (aMulticast_Send(sender, kDiscoveryRequestBytes, sizeof kDiscoveryRequestBytes) == DISCOVERY_REQUEST_SIZE) {
    // One byte more than a record, so that a longer datagram is not taken for one.
    uint8_t buffer[sizeof(linkSpec) + 1];
    int got = aMulticast_Receive(reply, buffer, sizeof buffer);
    if (got == sizeof(linkSpec)) {
      linkSpec spec;
      memcpy(&spec, buffer, sizeof spec);
      sTrace("Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n", spec.serialNumber,
             static_cast<int>(spec.tcpPort), static_cast<int>(spec.ipv4Address), static_cast<int>(spec.type));
      if (aOrvexDiscovery_Accept(true, buffer, static_cast<size_t>(got), seen, &spec)) {
        sReport(run, &spec);
      } else if (_isNewSpec(*seen, spec)) {
        sTrace("We are in local mode, ignoring(2)");
      }
    } else if (got != -1) {
      sTrace("Unknown Error sending request message: %d\n", got);
    }
  }
  aMulticast_Destroy(&sender);
  aMulticast_Destroy(&reply);
}

void _findLinkSpecs_multicast(Reporting* run) {
  std::vector<linkSpec> seen;
  for (uint16_t k = 0; k < DISCOVERY_PORT_COUNT && run->goOn; ++k) sAskPort(run, k, &seen);
}

void _findLinkSpecs_beacon(Reporting* run) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr) return;
  zsock_set_rcvtimeo(beacon, kConfigureWaitMs);
  zsock_send(beacon, "si", "CONFIGURE", DISCOVERY_BEACON_PORT);
  char* hostname = zstr_recv(beacon);
  sTrace("Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n", hostname != nullptr ? hostname : "",
         DISCOVERY_BEACON_PORT);
  // The picture takes sizes as size_t.
  zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER, static_cast<size_t>(DISCOVERY_BEACON_FILTER_LENGTH),
             kPublishIntervalMs);
  zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
  zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
  std::vector<linkSpec> seen;
  // Passes, not time: each received beacon counts as one, as does each silence.
  for (int pass = 0; pass < kBeaconPasses && run->goOn; ++pass) {
    char* sender = zstr_recv(beacon);
    if (sender == nullptr) continue;
    zframe_t* content = zframe_recv(beacon);
    linkSpec spec;
    if (content != nullptr &&
        aOrvexDiscovery_Accept(false, zframe_data(content), zframe_size(content), &seen, &spec)) {
      sTrace("Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
             spec.serialNumber, static_cast<int>(spec.tcpPort), static_cast<int>(spec.ipv4Address),
             static_cast<int>(spec.type), static_cast<int>(spec.model));
      sReport(run, &spec);
    }
    zframe_destroy(&content);
    zstr_free(&sender);
  }
  if (run->goOn) sTrace("Done with discovery");
  zstr_send(beacon, "SILENCE");
  zstr_send(beacon, "UNSUBSCRIBE");
  zactor_destroy(&beacon);
  zstr_free(&hostname);
}

}  // namespace

uint32_t aOrvexDiscovery_Group() {
  struct in_addr group;
  inet_pton(AF_INET, DISCOVERY_MULTICAST_GROUP, &group);
  return group.s_addr;
}

bool _isNewSpec(const std::vector<linkSpec>& seen, const linkSpec& spec) {
  for (const linkSpec& known : seen) {
    if (known.type == spec.type && known.serialNumber == spec.serialNumber && known.ipv4Address == spec.ipv4Address &&
        known.tcpPort == spec.tcpPort)
      return false;
  }
  return true;
}

bool aOrvexDiscovery_Accept(bool multicast, const uint8_t* data, size_t size, std::vector<linkSpec>* seen,
                            linkSpec* spec) {
  if (data == nullptr || seen == nullptr || spec == nullptr || size != sizeof(linkSpec)) return false;
  linkSpec record;
  memcpy(&record, data, sizeof record);
  if (!sServerType(record.type)) return false;
  if (multicast && record.ipv4Address != kLoopback) return false;
  if (!_isNewSpec(*seen, record)) return false;
  seen->push_back(record);
  *spec = record;
  return true;
}

uint8_t aDiscovery_Enumerate_aOrvexModules(aDiscoveryProc proc, void* ref, uint32_t networkInterface) {
  if (proc == nullptr) return 0;
  Reporting run = {proc, ref, 0, true};
  uint32_t interfaces[kMaxInterfaces];
  uint32_t count = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  sTrace("aDiscovery_Enumerate_aOrvexModules found count: %d\n", static_cast<int>(count));
  if (networkInterface == 0 || networkInterface == kLoopback || count == 0) {
    _findLinkSpecs_multicast(&run);
    return run.count;
  }
  char text[16];
  aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text);
  sTrace("New Interface: %s\n", text);
  // The beacon reads the process-wide setting while it is configured; the lock keeps it ours
  // for the whole discovery.
  bool locked = zBeaconInterface_backupSetAndLock(text);
  _findLinkSpecs_beacon(&run);
  if (locked) zBeaconInterface_restoreAndUnlock();
  return run.count;
}
