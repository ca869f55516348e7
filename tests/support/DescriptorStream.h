#pragma once
#include "aStream.h"

// A stream over a connected descriptor (a socket pair, a loopback TCP socket, a pty): get
// takes one byte without blocking, reading what has arrived into a small buffer (aErrNotReady when none is there, aErrEOF when the peer
// has closed), write sends the whole block (waiting at most 5 s for room), and the wait
// procedure polls the descriptor. The descriptor is switched to non-blocking mode and, with
// own set, closed when the stream is destroyed. NULL when memory runs out.
aStream* CreateDescriptorStream(int fd, bool own = true);
