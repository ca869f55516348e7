#include "aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "aDebug.h"
#include "aDiscovery.h"

struct aMulticast {
  int socket;
  struct addrinfo* group;
  struct addrinfo* bindAddress;
  struct addrinfo* interfaceAddress;
  uint8_t mode;
};

namespace {

constexpr uint32_t kMulticastTrace = 0x8;

bool sTracing() { return aCorvantisDebuggingEnable && (aCorvantisDebuggingLevel & kMulticastTrace) != 0; }

#define MTRACE(...)                 \
  do {                              \
    if (sTracing()) {               \
      printf(__VA_ARGS__);          \
      fflush(stdout);               \
    }                               \
  } while (0)

int sResolve(const char* host, const char* port, const struct addrinfo* hints, struct addrinfo** out) {
  return getaddrinfo(host, port, hints, out);
}

const struct in_addr* sIPv4(const struct addrinfo* address) {
  if (address == nullptr || address->ai_family != AF_INET) return nullptr;
  return &reinterpret_cast<const struct sockaddr_in*>(address->ai_addr)->sin_addr;
}

bool sJoinGroup(aMulticast* m) {
  const struct in_addr* group = sIPv4(m->group);
  const struct in_addr* local = sIPv4(m->interfaceAddress);
  if (group == nullptr || local == nullptr) {
    MTRACE("Attempting to join multicast group for invalid address family!\n");
    return false;
  }
  struct ip_mreq request = {};
  request.imr_multiaddr = *group;
  request.imr_interface = *local;
  int rc = setsockopt(m->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
  if (rc != 0) MTRACE("_joinMulticastGroup %d - %d\n", rc, errno);
  return rc == 0;
}

bool sSetSendInterface(aMulticast* m) {
  const struct in_addr* local = sIPv4(m->interfaceAddress);
  if (local == nullptr) {
    MTRACE("Attempting to set sent interface for invalid address family!\n");
    return false;
  }
  int rc = setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_IF, local, sizeof *local);
  if (rc != 0) MTRACE("_setSendInterface %d - %d\n", rc, errno);
  return rc == 0;
}

bool sSetTtl(aMulticast* m) {
  if (sIPv4(m->group) == nullptr) {
    MTRACE("Attempting to set TTL for invalid address family!\n");
    return false;
  }
  unsigned char ttl = 1;
  int rc = setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  if (rc != 0) MTRACE("_setMulticastTtl %d - %d\n", rc, errno);
  return rc == 0;
}

bool sSetReceiveTimeout(aMulticast* m) {
  if (sIPv4(m->group) == nullptr) {
    MTRACE("Attempting to set Timeout for invalid address family!\n");
    return false;
  }
  struct timeval second = {1, 0};
  int rc = setsockopt(m->socket, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
  if (rc != 0) MTRACE("_setReceiveTimeout %d - %d\n", rc, errno);
  return rc == 0;
}

bool sSetLoopBack(aMulticast* m) {
  if (sIPv4(m->group) == nullptr) {
    MTRACE("Attempting to set multicast loopback for invalid address family!\n");
    return false;
  }
  unsigned char on = 1;
  int rc = setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
  if (rc != 0) MTRACE("_setMulticastLoopBack %d - %d\n", rc, errno);
  return rc == 0;
}

// Steps after the record is allocated; false at the first that fails.
bool sOpen(aMulticast* m, uint32_t interfaceAddress, uint32_t group, uint16_t port) {
  char groupText[16];
  char interfaceText[16];
  char portText[8];
  aDiscovery_ConvertIPv4Interface(group, groupText, sizeof groupText);
  aDiscovery_ConvertIPv4Interface(interfaceAddress, interfaceText, sizeof interfaceText);
  snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));

  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICHOST;
  int rc = sResolve(groupText, portText, &hints, &m->group);
  if (rc != 0) {
    MTRACE("Unable to convert multicast address '%s - port: %s': Error %d\n", groupText, portText, rc);
    return false;
  }
  hints.ai_family = m->group->ai_family;
  hints.ai_socktype = m->group->ai_socktype;
  hints.ai_protocol = m->group->ai_protocol;
  if (m->mode == aMULTICAST_RECEIVER) {
    hints.ai_flags = AI_PASSIVE;
    rc = sResolve(nullptr, portText, &hints, &m->bindAddress);
  } else {
    rc = sResolve(interfaceText, "0", &hints, &m->bindAddress);
  }
  if (rc != 0) {
    MTRACE("Unable to convert bind address '%s': Error %d\n", interfaceText, rc);
    return false;
  }
  hints.ai_flags = AI_NUMERICHOST;
  rc = sResolve(interfaceText, "0", &hints, &m->interfaceAddress);
  if (rc != 0) {
    MTRACE("Unable to convert interface address '%s': Error %d\n", interfaceText, rc);
    return false;
  }
  m->socket = socket(m->group->ai_family, m->group->ai_socktype | SOCK_CLOEXEC, m->group->ai_protocol);
  if (m->socket < 0) {
    MTRACE("socket() failed with with error code %d\n", errno);
    return false;
  }
  // Reuse off: a port held by one receiver is how discovery recognises a server.
  int off = 0;
  rc = setsockopt(m->socket, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
  if (rc != 0) {
    MTRACE("Failed to _setReuse rc: %d - %d\n", rc, errno);
    return false;
  }
  if (m->mode == aMULTICAST_RECEIVER &&
      bind(m->socket, m->bindAddress->ai_addr, m->bindAddress->ai_addrlen) != 0) {
    MTRACE("bind() failed with error code %d \n", errno);
    return false;
  }
  return sJoinGroup(m) && sSetSendInterface(m) && sSetTtl(m) && sSetReceiveTimeout(m) && sSetLoopBack(m);
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t group, uint16_t port, uint8_t mode) {
  if (mode != aMULTICAST_RECEIVER && mode != aMULTICAST_SENDER) return nullptr;
  aMulticast* m = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
  if (m == nullptr) return nullptr;
  m->socket = -1;
  m->mode = mode;
  if (interfaceAddress == 0) interfaceAddress = htonl(INADDR_LOOPBACK);
  if (!sOpen(m, interfaceAddress, group, port)) {
    MTRACE("in cleanup function\n");
    aMulticast_Destroy(&m);
    return nullptr;
  }
  return m;
}

int aMulticast_Send(aMulticast* m, const void* data, uint32_t length) {
  if (m == nullptr) return -2;
  if (m->mode != aMULTICAST_SENDER) return -3;
  ssize_t sent = sendto(m->socket, data, length, 0, m->group->ai_addr, m->group->ai_addrlen);
  if (sent < 0) {
    MTRACE("sendto() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* m, void* buffer, uint32_t size) {
  if (m == nullptr) return -2;
  if (m->mode != aMULTICAST_RECEIVER) return -3;
  ssize_t got = recvfrom(m->socket, buffer, size, 0, nullptr, nullptr);
  if (got < 0) {
    MTRACE("recvfrom() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(got);
}

int aMulticast_Destroy(aMulticast** endpoint) {
  if (endpoint == nullptr || *endpoint == nullptr) return -2;
  aMulticast* m = *endpoint;
  if (m->group != nullptr) freeaddrinfo(m->group);
  if (m->bindAddress != nullptr) freeaddrinfo(m->bindAddress);
  if (m->interfaceAddress != nullptr) freeaddrinfo(m->interfaceAddress);
  if (m->socket >= 0) close(m->socket);
  free(m);
  *endpoint = nullptr;
  return 0;
}

int aMulticast_Socket(const aMulticast* endpoint) { return endpoint != nullptr ? endpoint->socket : -1; }
