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

void LogCapture::clear() {
  fflush(stream_);
  rewind(stream_);
  fflush(stream_);
}
