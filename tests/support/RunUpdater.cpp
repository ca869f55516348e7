#include "RunUpdater.h"

#include <fcntl.h>
#include <cstdlib>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

std::vector<std::string> sEnvironment(const RunOptions& o) {
  std::vector<std::string> env = {"LC_ALL=C", "TZ=UTC", "PATH=/usr/local/bin:/usr/bin:/bin"};
  if (!o.unsetHome) {
    if (o.home) {
      env.push_back("HOME=" + *o.home);
    } else if (!o.cwd.empty()) {
      env.push_back("HOME=" + o.cwd + "/home");
    }
  }
  // Sanitizer settings of the test run reach the program too.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  for (const auto& [name, value] : o.env) env.push_back(name + "=" + value);
  return env;
}

// argv or envp for execve: pointers into `strings`, which must outlive them.
std::vector<char*> sPointers(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const auto& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Between fork and exec the child only makes plain system calls, everything prepared before the
// fork. Under the USB emulation the test process has more threads (the testbed's among them)
// and umockdev's preload wraps open() and chdir() behind a mutex that they take: a fork while
// one of them holds it leaves the child a copy that is never unlocked.
[[noreturn]] void sChild(char* const* argv, char* const* envp, const char* cwd, std::optional<uid_t> uid,
                         int outFd, int errFd) {
  int devnull = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY));
  if (devnull >= 0) dup2(devnull, STDIN_FILENO);
  dup2(outFd, STDOUT_FILENO);
  dup2(errFd, STDERR_FILENO);
  umask(022);
  if (cwd != nullptr && syscall(SYS_chdir, cwd) != 0) _exit(126);
  if (uid) {
    if (setgroups(0, nullptr) != 0 || setgid(*uid) != 0 || setuid(*uid) != 0) _exit(126);
  }
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  RunResult result;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return result;
  }
  std::vector<std::string> env = sEnvironment(options);
  std::vector<std::string> command = {program};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv = sPointers(command);
  std::vector<char*> envp = sPointers(env);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return result;
  }
  if (pid == 0) sChild(argv.data(), envp.data(), cwd, options.uid, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (result.timedOut) kill(pid, SIGKILL);
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);

  int status = 0;
  struct rusage usage = {};
  // The pipes are closed; a child that still lives gets the rest of the time, then SIGKILL.
  while (true) {
    pid_t done = wait4(pid, &status, result.timedOut ? 0 : WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      continue;
    }
    usleep(1000);
  }
  result.peakRssKb = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  if (result.timedOut) ADD_FAILURE() << program << " ran longer than " << options.timeoutMs << " ms and was killed";
  return result;
}

bool ServerIsLocal(const std::vector<std::string>& args) {
  bool reaches = false;
  std::vector<std::string> urls;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // -N reaches it too: an i.MX chip's fingerprint downloads the default recovery loader.
    if (a == "-B" || a == "-G" || a == "-U" || a == "-N") reaches = true;
    if (a == "--http" || a == "--https") urls.push_back(a);
    if (a == "-u") urls.push_back(i + 1 < args.size() ? args[i + 1] : "");
    if (a.rfind("-u=", 0) == 0) urls.push_back(a.substr(3));
  }
  if (!reaches) return true;
  bool local = !urls.empty();
  for (const auto& url : urls)
    local = local && (url.rfind("http://127.0.0.1:", 0) == 0 || url.rfind("https://127.0.0.1:", 0) == 0);
  if (!local) {
    std::string line;
    for (const auto& a : args) line += " " + a;
    ADD_FAILURE() << "updater" << line << ": -B, -G, -N and -U need -u http(s)://127.0.0.1:PORT/...";
  }
  return local;
}

void AddUsbEmulationEnv(RunOptions& options) {
  for (const char* name : {"LD_PRELOAD", "UMOCKDEV_DIR", "ASAN_OPTIONS"})
    if (const char* value = getenv(name)) options.env.emplace_back(name, value);
}
