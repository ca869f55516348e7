#include "RecordingDisplay.h"

#include <algorithm>

namespace {
std::string sText(const char* s) { return s ? s : ""; }
}  // namespace

void RecordingDisplay::display_progress(bool on) {
  events.push_back({on ? Event::ProgressOn : Event::ProgressOff, "", 0.0});
}

void RecordingDisplay::update_progress(double fraction, const char* label) {
  events.push_back({Event::Progress, sText(label), fraction});
}

void RecordingDisplay::update_spinner(bool on, const char* label) {
  events.push_back({on ? Event::SpinnerOn : Event::SpinnerOff, sText(label), 0.0});
}

void RecordingDisplay::info_message(const char* text) { events.push_back({Event::Info, sText(text), 0.0}); }

void RecordingDisplay::error_message(const char* text) { events.push_back({Event::Error, sText(text), 0.0}); }

std::vector<std::string> RecordingDisplay::infos() const {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.kind == Event::Info) out.push_back(e.text);
  return out;
}

std::vector<std::string> RecordingDisplay::errors() const {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.kind == Event::Error) out.push_back(e.text);
  return out;
}

std::vector<std::string> RecordingDisplay::lines() const {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.kind == Event::Info || e.kind == Event::Error) out.push_back(e.text);
  return out;
}

bool RecordingDisplay::hasLine(const std::string& text) const {
  auto all = lines();
  return std::find(all.begin(), all.end(), text) != all.end();
}
