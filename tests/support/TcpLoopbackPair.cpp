#include "TcpLoopbackPair.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

bool MakeTcpLoopbackPair(int* client, int* server, bool nodelay) {
  *client = *server = -1;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bool ok = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  int a = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
  ok = ok && a >= 0 && connect(a, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  int b = ok ? accept(listener, nullptr, nullptr) : -1;
  ok = ok && b >= 0;
  close(listener);
  int on = 1;
  if (ok && nodelay) {
    ok = setsockopt(a, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
         setsockopt(b, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
  }
  if (!ok) {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
    return false;
  }
  *client = a;
  *server = b;
  return true;
}
