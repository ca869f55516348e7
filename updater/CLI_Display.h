#pragma once
#include <cstdio>

#include "UpdaterDisplayInterface.h"

// The console display: information to `out`, errors to `err`, and the progress bar and
// spinner only when `out` is a terminal.
class CLI_Display : public UpdaterDisplayInterface {
 public:
  // stdout, stderr, and whether stdout is a terminal.
  CLI_Display();
  // Both streams are switched to unbuffered, so lines and bars appear at once.
  CLI_Display(FILE* out, FILE* err, bool outIsTty);

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label = nullptr) override;
  void update_spinner(bool on, const char* label = nullptr) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

 private:
  void clearLine();

  FILE* out_;
  FILE* err_;
  bool outIsTty_;
};
