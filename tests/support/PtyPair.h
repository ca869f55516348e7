#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A pseudo-terminal pair. The slave is raw (cfmakeraw, VMIN 0, VTIME 0) before anyone opens it,
// so bytes pass unchanged; the master is non-blocking.
//
// By default no slave descriptor stays open: the code under test opens the slave by name, and a
// peer on the master then sees it leave (master reads fail with EIO while no slave descriptor is
// open: before the first open, "no client yet"; later, "client gone"). Facts of Linux ptys the
// kit relies on: the slave's settings survive while it is closed; after the master closes, a
// slave read (VMIN 0, VTIME 0) returns 0, poll reports POLLIN|POLLERR|POLLHUP and writes fail
// with EIO; about 18 KB fit before a writer blocks, so the master side must keep reading;
// tcdrain returns at once and the speed is stored without effect; modem-control ioctls fail
// with ENOTTY.
class PtyPair {
 public:
  // keepSlave: hold a slave descriptor as well, for a caller that writes on it itself.
  explicit PtyPair(bool keepSlave = false);
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }  // -1 unless kept
  const std::string& slaveName() const { return name_; }
  void closeSlave();
  // The "vanish" fault: the far end of the line goes away.
  void closeMaster();

  // Bytes read from the master until `n` have come or `timeoutMs` has passed.
  std::vector<uint8_t> readMaster(size_t n, int timeoutMs);
  // Writes every byte to the master, waiting for room up to `timeoutMs` in all.
  bool writeMaster(const std::vector<uint8_t>& bytes, int timeoutMs = 5000);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

// Runs `body` in a forked child whose standard output is the slave of a fresh pty (or, with
// onTerminal false, a pipe) and returns every byte the child wrote there. The child gets
// timeoutMs, then SIGKILL and a test failure.
std::string RunWithStdoutOn(bool onTerminal, const std::function<void()>& body, int timeoutMs = 10000);
