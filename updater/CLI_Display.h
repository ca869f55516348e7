#pragma once
#include <cstdio>

#include "UpdaterDisplayInterface.h"

// The console display: information to `out`, errors to `err`, and the progress bar and
// spinner only when `out` is a terminal.
class CLI_Display : public UpdaterDisplayInterface {
 public:
  // stdout, stderr, and whether stdout is a terminal.
  CLI_Display();
  // Lines and bars appear at once: stdout and stderr go unbuffered, other streams are flushed.
  CLI_Display(FILE* out, FILE* err, bool outIsTty);

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label = nullptr) override;
  void update_spinner(bool on, const char* label = nullptr) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

 private:
  void clearLine();
  static void write(FILE* f, const char* format, ...) __attribute__((format(printf, 2, 3)));

  FILE* out_;
  FILE* err_;
  bool outIsTty_;
};
