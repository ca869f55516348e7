// The link-level simulated device as a program of its own, for end-to-end runs of the
// updater against a device. Serves until SIGINT or SIGTERM.
//   corvantis-devsim --tcp PORT   on 127.0.0.1:PORT (0: a free port); prints "tcp 127.0.0.1 PORT"
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "SimLinkDevice.h"
#include "SimLinkTcpSide.h"
#include "TcpDeviceListener.h"

namespace {

int sUsage() {
  fprintf(stderr, "usage: corvantis-devsim --tcp PORT\n");
  return 2;
}

bool sParsePort(const char* text, uint16_t* port) {
  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "--tcp") != 0) return sUsage();
  TcpDeviceListener::Options options;
  if (!sParsePort(argv[2], &options.port)) return sUsage();

  // Every thread made from here on leaves the two signals to sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  SimLinkDevice device;
  device.SetEcho(true);
  device.SetRecording(false);
  SimLinkTcpSide side(device);
  std::unique_ptr<TcpDeviceListener> listener;
  try {
    listener = std::make_unique<TcpDeviceListener>(&side, options);
  } catch (const std::exception& e) {
    fprintf(stderr, "corvantis-devsim: %s\n", e.what());
    return 1;
  }
  printf("tcp 127.0.0.1 %u\n", static_cast<unsigned>(listener->port()));
  fflush(stdout);

  int signal = 0;
  sigwait(&stop, &signal);
  listener.reset();
  return 0;
}
