#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "Module.h"
#include "aError.h"
#include "aLinkSpec.h"

// Looks for a device that has restarted or come up (a loader started in its place, a recovery
// loader started in the chip's RAM): up to `tries` tries, each of which tries the serial
// numbers in order until one connects, with a pause after a try that found nothing. Before
// chosen tries of a USB search the process-wide USB context is let go, so that the next
// enumeration sees a device that came back at a new bus address. Pauses go through
// WorkflowSleep. Main thread only; when the context is refreshed, no USB link of the process
// may be open.
class DeviceSearch {
 public:
  struct Plan {
    linkType type = USB;
    std::vector<uint32_t> serials;  // tried in this order in every try
    int tries = 0;
    uint32_t pauseMs = 0;
    // After the last try too: a caller whose log says it pauses after every failure.
    bool pauseAfterLast = false;
    // USB only: the context is refreshed before tries refreshEvery, 2 * refreshEvery, ...;
    // 0 never.
    int refreshEvery = 0;
  };

  // One connect attempt within a try, numbered from 1.
  struct Attempt {
    int tryNumber;
    int tries;
    linkType type;
    uint32_t serial;
  };
  // aErrNone when the device is connected; a failed attempt leaves no link behind.
  using ConnectProc = std::function<aErr(const Attempt&)>;
  using RefreshProc = std::function<void()>;

  // Which bound ended the search.
  enum class End { kFound, kTriesRanOut };
  struct Result {
    aErr error = aErrNotFound;  // aErrNone when found, else the last attempt's error
    End end = End::kTriesRanOut;
    uint32_t serial = 0;  // the serial number that connected
    int tries = 0;        // tries made
  };

  // refresh empty: the real one (Corvantis_libusb_exit).
  DeviceSearch(Plan plan, ConnectProc connect, RefreshProc refresh = {});
  Result Run();

  // The attempt of most searches: Module::discoverAndConnect on `module`; a link that connected
  // without running counts as aErrConnection. A failed attempt disconnects, since a link made
  // but not running would refuse every later attempt and keep the USB context in use.
  static ConnectProc DiscoverAndConnect(Tavrin::Corvantis::Module& module);

  // The searches of the workflows.
  // The update's search for its device after the loader started, over the transport it
  // dropped from: 15 tries one second apart, the USB context refreshed before every third.
  static Plan UpdateLoader(linkType type, uint32_t serial);
  // The fingerprint's (refresh true) and the i.MX recovery's (refresh false) search for the
  // started recovery loader on USB, under the placeholder serial number, then under `serial`.
  static Plan RecoveryLoader(uint32_t serial, bool refresh);
  // The upgrade entity's reconnect after a dropped LOAD: five tries `delay` ms apart, first
  // back to the device the link was made for, then under the placeholder over USB. The first
  // plan's attempt reconnects over the transport and to the address the link was made with, so
  // the plan names no device: its one serial number, kOwnDevice, only makes one attempt a try.
  static constexpr uint32_t kOwnDevice = 0;
  static Plan ReconnectOwn(uint32_t delay);
  static Plan ReconnectPlaceholder(uint32_t delay);

 private:
  Plan plan_;
  ConnectProc connect_;
  RefreshProc refresh_;
};
