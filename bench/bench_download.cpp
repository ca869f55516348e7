// The whole download workflow of the real binary against the plain image GET of the curl tool,
// both served by the kit's fake update server on 127.0.0.1 with a 1 MiB incompressible image.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BenchFigure.h"
#include "BirdBuilder.h"
#include "CurlGlobal.h"
#include "FakeUpdateServer.h"
#include "TempDir.h"

namespace {

struct Run {
  double ms = 0;
  long rssKiB = 0;
  bool ok = false;
};

// Runs a child with its output discarded and no proxy variable; wall time and peak RSS from wait4.
Run sRunChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Run run;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  // The curl tool has no time limit of its own: a child still running after 60 s is killed.
  auto deadline = start + std::chrono::seconds(60);
  while (true) {
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) return run;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      return run;
    }
    usleep(200);
  }
  run.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  run.rssKiB = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// A child forked from this process would start with this process's pages counted in its
// peak RSS. So each child is run by a fresh, small copy of this program ("--measure ARGS"),
// which prints the figures of the child it forked.
Run sMeasure(const std::string& self, const std::vector<std::string>& args) {
  int fds[2];
  Run run;
  if (pipe(fds) != 0) return run;
  pid_t pid = fork();
  if (pid < 0) return run;
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv = {const_cast<char*>(self.c_str()), const_cast<char*>("--measure")};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buffer[256];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  int ok = 0;
  if (sscanf(out.c_str(), "%lf %ld %d", &run.ms, &run.rssKiB, &ok) == 3) run.ok = ok != 0;
  return run;
}

template <typename T>
T sMedian(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::vector<uint8_t> sReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv) {
  ClearProxyEnvironment();
  if (argc > 2 && std::string(argv[1]) == "--measure") {
    Run run = sRunChild(std::vector<std::string>(argv + 2, argv + argc));
    printf("%.3f %ld %d\n", run.ms, run.rssKiB, run.ok ? 1 : 0);
    return 0;
  }
  std::vector<char> selfPath(4096, '\0');
  if (readlink("/proc/self/exe", selfPath.data(), selfPath.size() - 1) <= 0) return 1;
  const std::string self = selfPath.data();
  const int runs = 20;
  // Random bytes do not compress, so the image stays about 1 MiB and its Base64 about 1.4 MB.
  std::vector<uint8_t> image = BirdBuilder()
                                   .Firmware(0x00008000, RandomBytes((1u << 20) - 256, 7))
                                   .Descriptor(1234, "2.12.5", 0x40F5849A, "USBHub3p")
                                   .Bytes();
  FakeUpdateServer server;
  server.SetImage(image);
  const std::string url = server.url();
  const std::string birdUrl = url + "?bld=1234&fw=2.12.5&no_cal=false&op=bird&sn=40F5849A&";

  std::vector<double> updaterMs, curlMs;
  std::vector<long> updaterRss, curlRss;
  for (int i = 0; i < runs; ++i) {
    TempDir store;
    Run u = sMeasure(self, {CORVANTIS_UPDATER_PATH, "-G", "-d", "40F5849A", "-u", url, "-i", store.path()});
    if (!u.ok || sReadFile(store / "updater/40F5849A/1234.bird") != image) {
      fprintf(stderr, "bench download: run %d of the updater failed or stored another image\n", i);
      return 1;
    }
    Run c = sMeasure(self, {"/usr/bin/curl", "-s", "-o", store / "curl.out", birdUrl});
    if (!c.ok) {
      fprintf(stderr, "bench download: run %d of curl failed\n", i);
      return 1;
    }
    printf("run %2d: updater %.1f ms, peak RSS %ld KiB; curl %.1f ms, peak RSS %ld KiB\n", i, u.ms, u.rssKiB, c.ms,
           c.rssKiB);
    updaterMs.push_back(u.ms);
    curlMs.push_back(c.ms);
    updaterRss.push_back(u.rssKiB);
    curlRss.push_back(c.rssKiB);
  }
  // Target: the whole workflow within twice the bare GET.
  PrintFigure("download", sMedian(updaterMs), "ms", "curl", sMedian(curlMs));
  PrintFigure("download_peak_rss", static_cast<double>(sMedian(updaterRss)), "KiB", "curl_peak_rss",
              static_cast<double>(sMedian(curlRss)));
  return 0;
}
