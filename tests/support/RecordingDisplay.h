#pragma once
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

// Records, in order, every line and every progress or spinner call.
class RecordingDisplay : public UpdaterDisplayInterface {
 public:
  struct Event {
    enum Kind { Info, Error, ProgressOn, ProgressOff, Progress, SpinnerOn, SpinnerOff } kind;
    std::string text;       // the line, or the label of a progress/spinner call
    double fraction = 0.0;  // Progress only
  };

  void display_progress(bool on) override;
  void update_progress(double fraction, const char* label = nullptr) override;
  void update_spinner(bool on, const char* label = nullptr) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  std::vector<Event> events;

  std::vector<std::string> infos() const;
  std::vector<std::string> errors() const;
  // Every line, info and error, in order.
  std::vector<std::string> lines() const;
  bool hasLine(const std::string& text) const;
};
