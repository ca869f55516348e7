#include "LogCapture.h"

#include <cstdlib>

#include "Log.h"

LogCapture::LogCapture(unsigned topics)
    : savedOutput_(Log::GetOutput()), savedTopics_(Log::GetPackages()) {
  stream_ = open_memstream(&buffer_, &size_);
  Log::DeactivatePackage(~0u);
  Log::ActivatePackage(topics);
  Log::SetOutput(stream_);
}

LogCapture::~LogCapture() {
  Log::SetOutput(savedOutput_);
  Log::DeactivatePackage(~0u);
  Log::ActivatePackage(savedTopics_);
  if (stream_) fclose(stream_);
  free(buffer_);
}

std::string LogCapture::text() {
  fflush(stream_);
  return std::string(buffer_ ? buffer_ : "", size_);
}

size_t LogCapture::count(const std::string& part) {
  const std::string logged = text();
  size_t n = 0;
  for (size_t at = logged.find(part); at != std::string::npos; at = logged.find(part, at + part.size())) ++n;
  return n;
}

void LogCapture::clear() {
  fflush(stream_);
  rewind(stream_);
  fflush(stream_);
}
