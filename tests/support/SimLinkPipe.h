#pragma once
#include <memory>

#include "MemoryPipe.h"
#include "SimLinkDevice.h"
#include "SimLinkStreamAdapter.h"
#include "aLink.h"

// A link over a MemoryPipe with a SimLinkDevice on the far end (end B). Set the pipe's and
// the device's modes, then Create(): the link takes end A. The destructor destroys a link
// still held, then stops the device.
struct SimLinkPipe {
  explicit SimLinkPipe(uint8_t address = 0x08)
      : device(address), adapter(std::make_unique<SimLinkStreamAdapter>(device, pipe.stream(MemoryPipe::kB))) {}
  ~SimLinkPipe() {
    if (ref != 0) aLink_Destroy(&ref);
    adapter.reset();
  }
  SimLinkPipe(const SimLinkPipe&) = delete;
  SimLinkPipe& operator=(const SimLinkPipe&) = delete;

  aLinkRef Create() {
    ref = aLink_Create(pipe.Release(MemoryPipe::kA));
    return ref;
  }

  MemoryPipe pipe;
  SimLinkDevice device;
  std::unique_ptr<SimLinkStreamAdapter> adapter;
  aLinkRef ref = 0;
};
