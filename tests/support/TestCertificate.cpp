#include "TestCertificate.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Runs argv with its output thrown away; false when it fails or outlasts the limit.
bool sRunQuietly(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (true) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) return false;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
