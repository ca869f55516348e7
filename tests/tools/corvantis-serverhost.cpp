// A process that runs a local-only link server in front of a device reached over TCP/IP, for
// tests of what happens to a whole process (interrupts, threads left behind):
//   corvantis-serverhost --device-port P --serial S --address A --model M [--count-sigint]
// Links to 127.0.0.1:P, starts the server, sets the module address and model, prints
// "port N" (the frontend's port) and serves until its standard input closes. Then it releases
// the device link (and the server with it), prints "threads left N" (threads beyond those
// running before the link) and exits 0. With --count-sigint it counts SIGINT from before any
// library call and prints "sigint N" before the threads line. Exit 1 when the link or the
// server cannot be made, 2 for bad arguments.
//
//   corvantis-serverhost --object-api --device-port P --serial S
// The object API's way: connects a Link with the default network configuration to the type-2
// linkSpec 127.0.0.1:P, S (a local server in front, a client link to it), prints "port N" (the
// server's, from getConfig), then for each input line "go" runs 100 UEI gets of the device's
// serial number (module 8, command 3, option 9), each of which must give S, and prints
// "gets 100 ok" or the first failure.
// When its standard input closes it destroys the Link, prints "threads left N" and exits 0.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "DeviceRigs.h"
#include "Eventually.h"
#include "Link.h"
#include "ProcessCounts.h"
#include "ServedDevice.h"
#include "TcpDeviceListener.h"
#include "aLink.h"
#include "aServer.h"

namespace {

// Threads that end just after their handles go are given this long.
constexpr uint64_t kThreadsSettleMs = 3000;

volatile sig_atomic_t sSigints = 0;

void sCountSigint(int) { sSigints = sSigints + 1; }

int sUsage() {
  fprintf(stderr,
          "usage: corvantis-serverhost --device-port P --serial S --address A --model M [--count-sigint]\n"
          "       corvantis-serverhost --object-api --device-port P --serial S\n");
  return 2;
}

bool sParse(const char* text, unsigned long max, unsigned long* value) {
  char* end = nullptr;
  errno = 0;
  *value = strtoul(text, &end, 0);
  return errno == 0 && end != text && *end == '\0' && *value <= max;
}

// The next input line, without its newline; nothing at the end of the input.
std::optional<std::string> sReadLine() {
  std::string line;
  char c = 0;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') return line;
    line.push_back(c);
  }
}

int sObjectApi(unsigned long port, unsigned long serial) {
  using namespace Tavrin::Corvantis;
  StartMessageLibrary();
  int baseline = CountThreads();
  auto link = std::make_unique<Link>("Link");
  linkSpec spec{};
  spec.type = TCPIP;
  spec.serialNumber = static_cast<uint32_t>(serial);
  spec.ipv4Address = TcpDeviceListener::address();
  spec.tcpPort = static_cast<uint32_t>(port);
  link->setLinkSpecifier(spec);
  aErr err = link->connect();
  if (err != aErrNone) {
    fprintf(stderr, "corvantis-serverhost: connect: %s\n", aError_GetErrorText(err));
    return 1;
  }
  aOrvexConfig config;
  link->getConfig(&config);
  printf("port %u\n", static_cast<unsigned>(config.port));
  fflush(stdout);
  while (std::optional<std::string> line = sReadLine()) {
    if (*line != "go") continue;
    int ok = 0;
    for (; ok < 100; ++ok) {
      std::optional<uint32_t> value = GetUEI32(*link, 8, 9);
      if (value != static_cast<uint32_t>(serial)) break;
    }
    if (ok == 100) {
      printf("gets 100 ok\n");
    } else {
      printf("get %d failed\n", ok + 1);
    }
    fflush(stdout);
  }
  link.reset();
  Eventually([&] { return CountThreads() <= baseline; }, kThreadsSettleMs);
  printf("threads left %d\n", CountThreads() - baseline);
  fflush(stdout);
  return 0;
}

void sWaitForEndOfInput() {
  char buffer[256];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR)) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long port = 0, serial = 0, address = 0, model = 0;
  int given = 0;
  bool countSigint = false;
  bool objectApi = false;
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    if (strcmp(name, "--count-sigint") == 0) {
      countSigint = true;
      continue;
    }
    if (strcmp(name, "--object-api") == 0) {
      objectApi = true;
      continue;
    }
    if (i + 1 >= argc) return sUsage();
    const char* value = argv[++i];
    bool ok = false;
    if (strcmp(name, "--device-port") == 0) {
      ok = sParse(value, 65535, &port);
    } else if (strcmp(name, "--serial") == 0) {
      ok = sParse(value, 0xFFFFFFFFul, &serial);
    } else if (strcmp(name, "--address") == 0) {
      ok = sParse(value, 255, &address);
    } else if (strcmp(name, "--model") == 0) {
      ok = sParse(value, 255, &model);
    }
    if (!ok) return sUsage();
    ++given;
  }
  if (objectApi) return given == 2 && port != 0 ? sObjectApi(port, serial) : sUsage();
  if (given != 4 || port == 0) return sUsage();

  if (countSigint) {
    // Before the message library saves the process's handling and installs its own.
    struct sigaction counting = {};
    counting.sa_handler = sCountSigint;
    sigemptyset(&counting.sa_mask);
    sigaction(SIGINT, &counting, nullptr);
  }
  StartMessageLibrary();
  int baseline = CountThreads();

  aLinkRef link = aLink_CreateTCPIP(static_cast<uint32_t>(serial), TcpDeviceListener::address(),
                                    static_cast<uint16_t>(port));
  if (link == 0) {
    fprintf(stderr, "corvantis-serverhost: no link to port %lu\n", port);
    return 1;
  }
  aServer* server = aServer_Create(link, 0, true);
  if (server == nullptr) {
    fprintf(stderr, "corvantis-serverhost: no server\n");
    aLink_Destroy(&link);
    return 1;
  }
  AttachServer(link, server);
  if (aServer_Start(server) != aErrNone) {
    fprintf(stderr, "corvantis-serverhost: the server did not start\n");
    aLink_Destroy(&link);
    return 1;
  }
  aServer_SetModuleAddress(server, static_cast<uint8_t>(address));
  aServer_SetModel(server, static_cast<uint8_t>(model));
  uint16_t frontend = 0;
  aServer_GetPort(server, &frontend);
  printf("port %u\n", static_cast<unsigned>(frontend));
  fflush(stdout);

  sWaitForEndOfInput();
  aLink_Destroy(&link);
  if (countSigint) printf("sigint %d\n", static_cast<int>(sSigints));
  Eventually([&] { return CountThreads() <= baseline; }, kThreadsSettleMs);
  printf("threads left %d\n", CountThreads() - baseline);
  fflush(stdout);
  return 0;
}
