#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

PtyPair::PtyPair() {
  char name[256] = {0};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  name_ = name;
  struct termios raw;
  if (tcgetattr(slave_, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
  closeSlave();
  if (master_ >= 0) close(master_);
}

void PtyPair::closeSlave() {
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

std::string RunWithStdoutOn(bool onTerminal, const std::function<void()>& body, int timeoutMs) {
  PtyPair pty;
  int pipeFds[2] = {-1, -1};
  if (!onTerminal && pipe(pipeFds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return "";
  }
  int readFd = onTerminal ? pty.master() : pipeFds[0];
  int writeFd = onTerminal ? pty.slave() : pipeFds[1];

  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(writeFd, STDOUT_FILENO);
    body();
    fflush(stdout);
    _exit(0);
  }
  if (!onTerminal) close(pipeFds[1]);
  // The parent keeps the pty slave open, so the master never reports a hang-up; the pipe
  // ends with the child.
  std::string bytes;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool exited = false;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {readFd, POLLIN, 0};
    int n = poll(&p, 1, exited ? 0 : 20);
    if (n > 0 && (p.revents & POLLIN)) {
      char buffer[4096];
      ssize_t got = read(readFd, buffer, sizeof(buffer));
      if (got > 0) {
        bytes.append(buffer, static_cast<size_t>(got));
        continue;
      }
    }
    if (exited) break;  // drained after the child's end
    if (waitpid(pid, &status, WNOHANG) == pid) exited = true;
  }
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "child on the pty did not finish within " << timeoutMs << " ms";
  }
  if (pipeFds[0] >= 0) close(pipeFds[0]);
  return bytes;
}
