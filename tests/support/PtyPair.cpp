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

PtyPair::PtyPair(bool keepSlave) {
  char name[256] = {0};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  name_ = name;
  struct termios raw;
  if (tcgetattr(slave_, &raw) == 0) {
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &raw);
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (!keepSlave) closeSlave();
}

PtyPair::~PtyPair() {
  closeSlave();
  closeMaster();
}

void PtyPair::closeSlave() {
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

void PtyPair::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

namespace {

int sMsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

std::vector<uint8_t> PtyPair::readMaster(size_t n, int timeoutMs) {
  std::vector<uint8_t> bytes;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (bytes.size() < n && master_ >= 0) {
    int left = sMsLeft(deadline);
    struct pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, left > 10 ? 10 : left) > 0 && (p.revents & POLLIN) != 0) {
      uint8_t buffer[4096];
      size_t want = n - bytes.size() < sizeof buffer ? n - bytes.size() : sizeof buffer;
      ssize_t got = read(master_, buffer, want);
      if (got > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
        continue;
      }
    } else if (p.revents != 0) {
      usleep(1000);  // hung up while no slave is open: poll would not wait
    }
    if (left == 0) break;
  }
  return bytes;
}

bool PtyPair::writeMaster(const std::vector<uint8_t>& bytes, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < bytes.size() && master_ >= 0) {
    ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    int left = sMsLeft(deadline);
    if (left == 0) return false;
    struct pollfd p = {master_, POLLOUT, 0};
    poll(&p, 1, left > 10 ? 10 : left);
  }
  return done == bytes.size();
}

std::string RunWithStdoutOn(bool onTerminal, const std::function<void()>& body, int timeoutMs) {
  PtyPair pty(true);
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
