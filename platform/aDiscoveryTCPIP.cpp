#include "aDiscoveryTCPIP.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "unix_time.h"

namespace {

uint32_t sLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void sTCPIPCleanup(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

int sUDPSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) sTCPIPCleanup(&fd);
  return fd;
}

// The socket the replies come to, opened before any probe goes out; -1 on failure.
int sTCPIPSetupListener(uint32_t networkInterface) {
  int fd = sUDPSocket();
  if (fd < 0) return -1;
  struct sockaddr_in local;
  memset(&local, 0, sizeof(local));
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = networkInterface;
  local.sin_port = htons(TCPIP_REPLY_PORT);
  struct timeval timeout = {TCPIP_REPLY_SILENCE_MS / 1000, 0};
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
    sTCPIPCleanup(&fd);
  }
  return fd;
}

// One probe out of the interface with that address (network byte order); true when it was sent.
bool sTCPIPMultiCast(uint32_t interfaceAddress) {
  int fd = sUDPSocket();
  if (fd < 0) return false;
  struct in_addr via;
  via.s_addr = interfaceAddress;
  struct sockaddr_in group;
  memset(&group, 0, sizeof(group));
  group.sin_family = AF_INET;
  group.sin_port = htons(TCPIP_PROBE_PORT);
  inet_pton(AF_INET, TCPIP_PROBE_GROUP, &group.sin_addr);
  uint8_t probe[TCPIP_PROBE_SIZE] = {0x01};
  bool sent = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof(via)) == 0 &&
              sendto(fd, probe, sizeof(probe), 0, reinterpret_cast<struct sockaddr*>(&group),
                     sizeof(group)) == static_cast<ssize_t>(sizeof(probe));
  sTCPIPCleanup(&fd);
  return sent;
}

// Every IPv4 address of the host but 0.0.0.0 and 127.0.0.1, up or not: a probe that cannot go
// out simply fails. When the addresses cannot be listed, the system picks the interface.
bool sTCPIPProbeEveryInterface() {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sTCPIPMultiCast(INADDR_ANY);
  bool sent = false;
  for (struct ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    uint32_t address = SockAddrToUint32(entry->ifa_addr);
    if (address == INADDR_ANY || address == INADDR_LOOPBACK) continue;
    if (sTCPIPMultiCast(htonl(address))) sent = true;
  }
  freeifaddrs(list);
  return sent;
}

// Waits for the next datagram for at most the silence, cut short by the time limit. False when
// neither brought one, or on an error.
bool sTCPIPAwaitReply(int fd, uint64_t deadline) {
  for (;;) {
    uint64_t now = aTime_GetMonotonicMS();
    if (now >= deadline) return false;
    int wait = static_cast<int>(std::min<uint64_t>(TCPIP_REPLY_SILENCE_MS, deadline - now));
    struct pollfd entry = {fd, POLLIN, 0};
    int ready = poll(&entry, 1, wait);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

uint32_t SockAddrToUint32(const struct sockaddr* address) {
  if (address == nullptr || address->sa_family != AF_INET) return 0;
  struct sockaddr_in in;
  memcpy(&in, address, sizeof(in));
  return ntohl(in.sin_addr.s_addr);
}

bool sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* reply, size_t length, uint32_t sender) {
  if (length < TCPIP_REPLY_MIN_SIZE) return false;
  // Fresh bytes for every reply: nothing of an earlier one may show through a short one.
  uint8_t bytes[TCPIP_REPLY_SIZE] = {};
  bytes[12] = 0xFF;
  memcpy(bytes, reply, std::min(length, TCPIP_REPLY_SIZE));
  uint32_t serial = sLE32(bytes + 4);
  spec->serialNumber = serial;
  spec->moduleAddress = bytes[1];
  spec->routerAddress = bytes[1];  // the device is its own router
  spec->routerSerialNumber = serial;
  spec->model = bytes[12];
  spec->ipv4Address = sender;  // the sender's address as it came, in network byte order
  spec->tcpPort = static_cast<uint32_t>(bytes[2]) | static_cast<uint32_t>(bytes[3]) << 8;
  return true;
}

void aDiscovery_EnumerateTCPIP(aDiscoveryRun* run, uint32_t networkInterface) {
  if (networkInterface == htonl(INADDR_LOOPBACK)) networkInterface = INADDR_ANY;
  int listener = sTCPIPSetupListener(networkInterface);
  bool probed = networkInterface == INADDR_ANY ? sTCPIPProbeEveryInterface()
                                               : sTCPIPMultiCast(networkInterface);
  uint64_t deadline = aTime_GetMonotonicMS() + TCPIP_DISCOVERY_LIMIT_MS;
  while (listener >= 0 && probed && run->goOn && sTCPIPAwaitReply(listener, deadline)) {
    uint8_t reply[TCPIP_REPLY_SIZE];
    struct sockaddr_in from;
    socklen_t fromLength = sizeof(from);
    ssize_t length = recvfrom(listener, reply, sizeof(reply), 0,
                              reinterpret_cast<struct sockaddr*>(&from), &fromLength);
    if (length < 0) break;
    if (from.sin_family != AF_INET) continue;
    linkSpec* spec = aLinkSpec_Create(run->type);
    if (spec == nullptr) continue;
    if (sCopyToTCPIPLinkspec(spec, reply, static_cast<size_t>(length), from.sin_addr.s_addr)) {
      aDiscoveryRun_Report(run, &spec);
    } else {
      aLinkSpec_Destroy(&spec);
    }
  }
  sTCPIPCleanup(&listener);
}
