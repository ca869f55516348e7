#pragma once
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

// A program run as a child process for end-to-end tests: its standard output on a pipe that
// the test reads by lines, its standard input on a pipe that the test may close (the program
// sees the end of its input). Standard error is shared with the test. A child still running
// at the end is killed and reaped.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // One line of its output, newline included, waiting at most ms; what came so far otherwise.
  std::string Line(int ms);
  // Writes the line and a newline to its standard input; false when it could not.
  bool WriteLine(const std::string& line);
  // Closes its standard input.
  void CloseInput();
  void Signal(int signal);
  // Its wait status once it ended within ms; nothing when it still runs.
  std::optional<int> Wait(int ms);
  // SIGTERM, then its exit status within ms (-1 when it did not end or ended by a signal).
  int Stop(int ms);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
};
