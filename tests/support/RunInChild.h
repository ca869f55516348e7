#pragma once
#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>

// Limits a forked child runs under. Tests run as root, so "cannot write" cases use these or
// structural failures, never file modes.
struct ChildLimits {
  std::optional<rlim_t> fileSize = std::nullopt;   // RLIMIT_FSIZE in bytes; SIGXFSZ is ignored, so writes fail with EFBIG
  std::optional<rlim_t> openFiles = std::nullopt;  // RLIMIT_NOFILE
  std::optional<uid_t> uid = std::nullopt;         // setuid to this user before fn runs
};

// Runs fn in a forked child and returns its wait status (fn's result is the exit code; a
// limit that cannot be set exits with 126). A child still running after timeoutMs is
// killed, so a test never hangs.
int RunInChild(const std::function<int()>& fn, const ChildLimits& limits = {}, int timeoutMs = 20000);

// The exit code of a child that exited, else -1.
int ChildExitCode(int status);
