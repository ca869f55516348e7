#pragma once
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// How to run a program under test.
struct RunOptions {
  std::string cwd;                    // working folder; empty keeps the test's own
  std::optional<std::string> home;    // HOME; unset when empty, else cwd + "/home" when cwd is given
  bool unsetHome = false;             // run with no HOME at all
  std::optional<uid_t> uid;           // run as this user (and group of the same number)
  std::vector<std::pair<std::string, std::string>> env;  // further variables
  int timeoutMs = 30000;              // then SIGKILL and a test failure
};

struct RunResult {
  int exitStatus = -1;  // -1 when killed by a signal
  int signal = 0;
  bool timedOut = false;
  // The child's peak resident set in KiB, as wait4 reports it. It counts what the test process
  // had resident when it forked (the copy before exec), so it is an upper bound.
  long peakRssKb = 0;
  std::string out;
  std::string err;
};

// Fork and exec of `program` with `args` after argv[0], in a clean environment (HOME as the
// options say, LC_ALL=C, TZ=UTC, a plain PATH, no proxy variables), umask 022 and stdin
// on /dev/null. Standard output and standard error come back separately.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// Passes what a child needs to see this process's USB emulation (UsbDeviceEmulation.h): the
// emulation's preload and testbed folder, and ASan's leave to come after the preload.
void AddUsbEmulationEnv(RunOptions& options);

// True when a command line that reaches the update server (-B, -G, -U, -N) names it with an
// explicit -u on 127.0.0.1; otherwise a test failure, so that no run contacts the default
// server.
bool ServerIsLocal(const std::vector<std::string>& args);

#ifdef CORVANTIS_UPDATER_PATH
// The built updater (its path is compiled into every test program). A command line that
// could reach a server other than 127.0.0.1 is not run.
inline RunResult RunUpdater(const std::vector<std::string>& args, const RunOptions& options = {}) {
  if (!ServerIsLocal(args)) return RunResult{};
  return RunProgram(CORVANTIS_UPDATER_PATH, args, options);
}
#endif
