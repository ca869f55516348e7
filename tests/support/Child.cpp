#include "Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "unix_time.h"

Child::Child(const std::string& program, const std::vector<std::string>& args) {
  int out[2];
  int in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(in[0], STDIN_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  out_ = out[0];
  in_ = in[1];
  if (pid_ < 0) {
    close(out_);
    close(in_);
    out_ = in_ = -1;
  }
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
  if (in_ >= 0) close(in_);
}

std::string Child::Line(int ms) {
  std::string line;
  uint64_t deadline = aTime_GetMonotonicMS() + static_cast<uint64_t>(ms);
  while (out_ >= 0 && (line.empty() || line.back() != '\n')) {
    uint64_t now = aTime_GetMonotonicMS();
    if (now >= deadline) break;
    struct pollfd p = {out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(deadline - now)) <= 0) break;
    char c;
    if (read(out_, &c, 1) != 1) break;
    line.push_back(c);
  }
  return line;
}

bool Child::WriteLine(const std::string& line) {
  if (in_ < 0) return false;
  std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Child::CloseInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Child::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

std::optional<int> Child::Wait(int ms) {
  if (pid_ <= 0) return std::nullopt;
  uint64_t deadline = aTime_GetMonotonicMS() + static_cast<uint64_t>(ms);
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    if (aTime_GetMonotonicMS() >= deadline) return std::nullopt;
    aTime_MSSleep(5);
  }
}

int Child::Stop(int ms) {
  Signal(SIGTERM);
  std::optional<int> status = Wait(ms);
  if (!status || !WIFEXITED(*status)) return -1;
  return WEXITSTATUS(*status);
}
