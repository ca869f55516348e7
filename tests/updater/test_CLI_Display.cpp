#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "PtyPair.h"
#include "RecordingDisplay.h"

namespace {

// An in-memory stream that a CLI_Display writes into.
class MemStream {
 public:
  MemStream() : file_(open_memstream(&buffer_, &size_)) {}
  ~MemStream() {
    fclose(file_);
    free(buffer_);
  }
  FILE* file() { return file_; }
  std::string take() {
    fflush(file_);
    std::string text(buffer_, size_);
    rewind(file_);
    fflush(file_);
    return text;
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
};

std::string Bar(int filled, int blanks) { return std::string(filled, '=') + ">" + std::string(blanks, ' '); }

std::string Progress(double fraction, const char* label) {
  MemStream out, err;
  CLI_Display display(out.file(), err.file(), true);
  display.update_progress(fraction, label);
  return out.take();
}

}  // namespace

TEST(CLI_Display, ProgressBytes) {
  const std::string label80(80, 'L');
  struct Row {
    const char* name;
    double fraction;
    const char* label;
    std::string expected;
  };
  const Row rows[] = {
      {"half", 0.5, nullptr, "\r[" + Bar(34, 34) + "] ( 50% ) "},
      {"nothing", 0.0, nullptr, "\r[" + Bar(0, 68) + "] (  0% ) "},
      {"whole, one past the width", 1.0, nullptr, "\r[" + Bar(69, 1) + "] (100% ) "},
      {"labelled", 0.5, "abc", "\r (abc) [" + Bar(31, 30) + "] ( 50% ) "},
      {"NaN reads as nothing", std::nan(""), nullptr, "\r[" + Bar(0, 68) + "] (  0% ) "},
      {"below nothing", -1.0, nullptr, "\r[" + Bar(0, 68) + "] (  0% ) "},
      {"beyond whole", 2.0, nullptr, "\r[" + Bar(69, 1) + "] (100% ) "},
      {"over-long label keeps a bar", 0.5, label80.c_str(), "\r (" + label80 + ") [>] ( 50% ) "},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Progress(r.fraction, r.label), r.expected);
  }
}

TEST(CLI_Display, SpinnerFramesWrap) {
  MemStream out, err;
  CLI_Display display(out.file(), err.file(), true);
  const std::vector<std::string> cycle = {".", "..", "...", "....", ".....", "....", "...", ".."};
  std::vector<std::string> frames;
  for (int i = 0; i < 9; ++i) {
    display.update_spinner(true, nullptr);
    std::string bytes = out.take();
    ASSERT_EQ(bytes.substr(0, 2), "\r ");
    ASSERT_EQ(bytes.substr(bytes.size() - 7), "      \r");
    frames.push_back(bytes.substr(2, bytes.size() - 9));
  }
  // The frame counter is shared by every display, so the cycle may start anywhere in it.
  size_t start = 0;
  while (start < cycle.size() && cycle[start] != frames[0]) ++start;
  ASSERT_LT(start, cycle.size()) << frames[0];
  size_t matching = 0;
  for (size_t i = 0; i < frames.size(); ++i) matching += frames[i] == cycle[(start + i) % 8];
  EXPECT_EQ(matching, frames.size());
  EXPECT_EQ(frames[8], frames[0]);

  display.update_spinner(true, "net");
  std::string labelled = out.take();
  EXPECT_EQ(labelled, "\r (net) " + cycle[(start + 9) % 8] + "      \r");
  display.update_spinner(false, nullptr);
  EXPECT_EQ(out.take(), "\r" + std::string(88, ' ') + "\r");
}

TEST(CLI_Display, ProgressEndClearsAndStartDrawsNothing) {
  MemStream out, err;
  CLI_Display display(out.file(), err.file(), true);
  display.display_progress(true);
  EXPECT_EQ(out.take(), "");
  display.display_progress(false);
  EXPECT_EQ(out.take(), "\r" + std::string(88, ' ') + "\r");
}

TEST(CLI_Display, OffATerminalOnlyLines) {
  MemStream out, err;
  CLI_Display display(out.file(), err.file(), false);
  display.display_progress(true);
  display.update_progress(0.5, nullptr);
  display.update_spinner(true, "x");
  display.update_spinner(false, nullptr);
  display.display_progress(false);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %d", 1);
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "two");
  EXPECT_EQ(out.take(), "info 1\n");
  EXPECT_EQ(err.take(), "error two\n");
}

TEST(CLI_Display, DefaultDisplayDrawsOnATerminalOnly) {
  auto body = [] {
    CLI_Display display;
    display.update_progress(0.5, nullptr);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", "line");
  };
  std::string onTerminal = RunWithStdoutOn(true, body);
  std::string onPipe = RunWithStdoutOn(false, body);
  EXPECT_EQ(onTerminal, "\r[" + Bar(34, 34) + "] ( 50% ) line\n");
  EXPECT_EQ(onPipe, "line\n");
}

TEST(DisplayInterface, MessageCutTo2047) {
  RecordingDisplay display;
  std::string longText(5000, 'a');
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", longText.c_str());
  ASSERT_EQ(display.errors().size(), 1u);
  EXPECT_EQ(display.errors()[0], std::string(2047, 'a'));
  // Any level but error is information.
  display.message(static_cast<UpdaterDisplayInterface::Level>(7), "%s", "seven");
  EXPECT_EQ(display.infos(), std::vector<std::string>{"seven"});
}

TEST(DisplayInterface, MutingSilencesLinesNotProgress) {
  RecordingDisplay display;
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", "hidden");
  display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", "hidden");
  display.update_progress(0.25, nullptr);
  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", "shown");
  ASSERT_EQ(display.events.size(), 2u);
  EXPECT_EQ(display.events[0].kind, RecordingDisplay::Event::Progress);
  EXPECT_EQ(display.events[0].fraction, 0.25);
  EXPECT_EQ(display.lines(), std::vector<std::string>{"shown"});
}
