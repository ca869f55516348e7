#pragma once

// The application's user-facing output: information and error lines, progress bar, spinner.
// Objects are never deleted through this interface.
class UpdaterDisplayInterface {
 public:
  enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

  UpdaterDisplayInterface() : muted(false) {}

  virtual void display_progress(bool on) = 0;
  virtual void update_progress(double fraction, const char* label = nullptr) = 0;
  virtual void update_spinner(bool on, const char* label = nullptr) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  // Formats into at most 2047 characters and hands the line to error_message (level 1)
  // or info_message (any other level); nothing while muted.
  void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void mute_messages(bool mute) { muted = mute; }

 protected:
  ~UpdaterDisplayInterface() = default;

  bool muted;
};
