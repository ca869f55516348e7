// A link server's client at the socket level, as a program of its own, for runs of many
// client processes at once:
//   corvantis-rawclient --endpoint E --id K --count N --timeout-ms T
// Sends the echo request [08 03 17 K i] for i = 0 to N-1, one at a time, each waiting at most
// T ms for its reply. Exits 0 when every reply equalled its request and nothing else came;
// otherwise prints the first mismatch and exits 1. Bad arguments: exit 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "PacketHelpers.h"
#include "RawDealer.h"

namespace {

// After the last reply, the quiet time in which no further frame may come.
constexpr int kQuietMs = 200;

int sUsage() {
  fprintf(stderr, "usage: corvantis-rawclient --endpoint E --id K --count N --timeout-ms T\n");
  return 2;
}

bool sParse(const char* text, unsigned long max, unsigned long* value) {
  char* end = nullptr;
  errno = 0;
  *value = strtoul(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  std::string endpoint;
  unsigned long id = 0, count = 0, timeoutMs = 0;
  bool haveId = false, haveCount = false, haveTimeout = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const char* name = argv[i];
    const char* value = argv[i + 1];
    if (strcmp(name, "--endpoint") == 0) {
      endpoint = value;
    } else if (strcmp(name, "--id") == 0) {
      haveId = sParse(value, 255, &id);
    } else if (strcmp(name, "--count") == 0) {
      haveCount = sParse(value, 1000000, &count);
    } else if (strcmp(name, "--timeout-ms") == 0) {
      haveTimeout = sParse(value, 600000, &timeoutMs);
    } else {
      return sUsage();
    }
  }
  if (argc % 2 == 0 || endpoint.empty() || !haveId || !haveCount || !haveTimeout) return sUsage();

  RawDealer client(endpoint);
  if (!client.connected()) {
    fprintf(stderr, "corvantis-rawclient: cannot connect to %s\n", endpoint.c_str());
    return 1;
  }
  for (unsigned long i = 0; i < count; ++i) {
    std::vector<uint8_t> request{0x08, 0x03, 0x17, static_cast<uint8_t>(id), static_cast<uint8_t>(i)};
    if (!client.Send(request)) {
      printf("request %lu: not sent\n", i);
      return 1;
    }
    std::optional<std::vector<uint8_t>> reply = client.Receive(static_cast<int>(timeoutMs));
    if (!reply) {
      printf("request %lu: no reply within %lu ms\n", i, timeoutMs);
      return 1;
    }
    if (*reply != request) {
      printf("request %lu: sent %s, got %s\n", i, HexText(request).c_str(), HexText(*reply).c_str());
      return 1;
    }
  }
  std::optional<std::vector<uint8_t>> extra = client.Receive(kQuietMs);
  if (extra) {
    printf("after %lu replies: got %s\n", count, HexText(*extra).c_str());
    return 1;
  }
  return 0;
}
