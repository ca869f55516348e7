#include "CLI_Display.h"

#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace {

const char* const kBar = "=====================================================================";  // 69
constexpr int kBarWidth = 69;
static_assert(sizeof("=====================================================================") - 1 == kBarWidth);
const char* const kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr int kClearWidth = 88;

}  // namespace

CLI_Display::CLI_Display() : CLI_Display(stdout, stderr, isatty(STDOUT_FILENO) == 1) {}

CLI_Display::CLI_Display(FILE* out, FILE* err, bool outIsTty) : out_(out), err_(err), outIsTty_(outIsTty) {
  // The console streams go unbuffered; any other stream (a memory stream cannot go without
  // its buffer) is flushed after every write instead.
  for (FILE* f : {out_, err_}) {
    if (f == stdout || f == stderr) setvbuf(f, nullptr, _IONBF, 0);
  }
}

void CLI_Display::write(FILE* f, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(f, format, args);
  va_end(args);
  fflush(f);
}

void CLI_Display::info_message(const char* text) {
  if (out_) write(out_, "%s\n", text ? text : "");
}

void CLI_Display::error_message(const char* text) {
  if (err_) write(err_, "%s\n", text ? text : "");
}

void CLI_Display::clearLine() { write(out_, "\r%*s\r", kClearWidth, " "); }

void CLI_Display::display_progress(bool on) {
  if (!outIsTty_ || out_ == nullptr || on) return;
  clearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!outIsTty_ || out_ == nullptr) return;
  // Out-of-range and NaN fractions would index past the bar (and NaN to int is undefined).
  if (std::isnan(fraction) || fraction < 0.0) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = kBarWidth;
  if (label) {
    size_t len = strlen(label);
    width = len + 4 >= static_cast<size_t>(kBarWidth) ? 1 : kBarWidth - static_cast<int>(len) - 4;
  }
  if (width < 1) width = 1;
  int percent = static_cast<int>(fraction * 100.0);
  int filled = static_cast<int>(width * fraction);
  if (label) {
    write(out_, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, width - filled - 1, "", percent);
  } else {
    write(out_, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "", percent);
  }
}

void CLI_Display::update_spinner(bool on, const char* label) {
  static uint8_t count = 0;  // shared by every display: one spinner turns at a time
  if (!outIsTty_ || out_ == nullptr) return;
  if (!on) {
    clearLine();
    return;
  }
  const char* frame = kSpinnerFrames[count % 8];
  if (label) {
    write(out_, "\r (%s) %s      \r", label, frame);
  } else {
    write(out_, "\r %s      \r", frame);
  }
  count = static_cast<uint8_t>((count + 1) % 8);
}
