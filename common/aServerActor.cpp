// What every actor of the link server (and of its clients) shares: the stop handshake and the
// interrupt check.
#include <signal.h>
#include <unistd.h>

#include <mutex>

#include "aServerInternal.h"

namespace {

constexpr int kStopWaitMs = 250;

std::mutex _sigint_mutex;
bool _sigint_latch = false;

}  // namespace

void _signalWaitDestroyActor(zactor_t** actor) {
  if (actor == nullptr || *actor == nullptr) return;
  zsock_t* pipe = zactor_sock(*actor);
  zsock_set_sndtimeo(pipe, kStopWaitMs);
  zsock_set_rcvtimeo(pipe, kStopWaitMs);
  zsock_signal(*actor, 0);
  zsock_wait(*actor);
  zsock_set_sndtimeo(pipe, -1);
  zsock_set_rcvtimeo(pipe, -1);
  zactor_destroy(actor);
}

void zSysInterruptHandler_process() {
  if (zsys_interrupted == 0) return;
  std::lock_guard<std::mutex> hold(_sigint_mutex);
  // The message library swallowed the interrupt: with its handling off, the process's own
  // handling (from before the library installed its) gets it once more.
  zsys_handler_set(nullptr);
  if (!_sigint_latch) {
    _sigint_latch = true;
    kill(getpid(), SIGINT);
  }
  zsys_handler_reset();
}
