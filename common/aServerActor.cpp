// What every actor of the link server (and of its clients) shares: the stop handshake and the
// interrupt check.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "aServerInternal.h"

namespace {

constexpr int kStopWaitMs = 250;

std::mutex _sigint_mutex;
bool _sigint_latch = false;
// Raised by every actor as it ends; read by every stop handshake once the actor has gone.
std::atomic<uint64_t> sActorExits{0};

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
  (void)sActorExits.load(std::memory_order_acquire);
}

void _signalActorExit(zsock_t* pipe) {
  sActorExits.fetch_add(1, std::memory_order_release);
  zsock_signal(pipe, 0);
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
