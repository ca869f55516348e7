#pragma once
#include <functional>
#include <string>

// A pseudo-terminal pair; the slave side is raw, so bytes pass unchanged.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slaveName() const { return name_; }
  void closeSlave();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

// Runs `body` in a forked child whose standard output is the slave of a fresh pty (or, with
// onTerminal false, a pipe) and returns every byte the child wrote there. The child gets
// timeoutMs, then SIGKILL and a test failure.
std::string RunWithStdoutOn(bool onTerminal, const std::function<void()>& body, int timeoutMs = 10000);
