#include "TestCertificate.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "Eventually.h"

namespace {

// Runs argv with its output thrown away; false when it fails or outlasts the limit.
bool sRunQuietly(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // A plain system call: a wrapped open() can wait forever on a lock copied from another thread.
    int null = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR));
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  pid_t done = 0;
  if (!Eventually([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; },
                  static_cast<uint64_t>(limit.count()), 10)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
  }
  return done == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TestCertificate MakeTestCertificate(const std::string& dir, const std::string& subjectAltName) {
  TestCertificate cert{dir + "/cert.pem", dir + "/key.pem"};
  // An EC key: quick to make, and every TLS stack here takes it.
  bool ok = sRunQuietly({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                         "-nodes", "-keyout", cert.keyPath, "-out", cert.certPath, "-days", "7", "-subj",
                         "/CN=corvantis-test", "-addext", "subjectAltName=" + subjectAltName},
                        std::chrono::seconds(30));
  if (!ok) throw std::runtime_error("openssl could not make a test certificate for " + subjectAltName);
  return cert;
}
