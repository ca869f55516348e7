#pragma once
#include <cstdio>
#include <string>

// Points Log at an in-memory stream and clears the topic mask; restores both afterwards.
class LogCapture {
 public:
  explicit LogCapture(unsigned topics = 0);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far.
  std::string text();
  // How many times `part` stands in what was logged.
  size_t count(const std::string& part);
  void clear();

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* stream_ = nullptr;
  FILE* savedOutput_;
  unsigned savedTopics_;
};
