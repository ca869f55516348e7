#pragma once
#include <atomic>
#include <thread>

#include "SimLinkDevice.h"
#include "aStream.h"

// Puts a SimLinkDevice behind the far end of any byte stream (the device end of a MemoryPipe,
// a descriptor stream over a socket or a pty): a pump thread reads the stream and feeds the
// device, and the device writes its bytes to the stream. The stream is not owned; it must
// outlive the adapter. Stops and detaches the device when destroyed.
class SimLinkStreamAdapter {
 public:
  SimLinkStreamAdapter(SimLinkDevice& device, aStream* stream);
  ~SimLinkStreamAdapter();
  SimLinkStreamAdapter(const SimLinkStreamAdapter&) = delete;
  SimLinkStreamAdapter& operator=(const SimLinkStreamAdapter&) = delete;

 private:
  void Pump();

  SimLinkDevice& device_;
  aStream* stream_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
