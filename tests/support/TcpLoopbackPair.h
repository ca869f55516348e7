#pragma once

// A connected TCP pair on 127.0.0.1 (an ephemeral port, the listener closed again), with
// TCP_NODELAY on both ends when asked. False when any step fails (nothing left open).
bool MakeTcpLoopbackPair(int* client, int* server, bool nodelay = true);
