#include "DeviceSearch.h"

#include <utility>

#include "Corvantis-C.h"
#include "Log.h"
#include "Recovery.h"
#include "WorkflowSleep.h"

using Tavrin::Corvantis::Module;

namespace {

constexpr int kUpdateLoaderTries = 15;
constexpr uint32_t kUpdateLoaderPauseMs = 1000;
constexpr int kTriesPerRefresh = 3;
constexpr int kReconnectTries = 5;

}  // namespace

DeviceSearch::DeviceSearch(Plan plan, ConnectProc connect, RefreshProc refresh)
    : plan_(std::move(plan)), connect_(std::move(connect)), refresh_(std::move(refresh)) {
  if (!refresh_) refresh_ = Corvantis_libusb_exit;
}

DeviceSearch::Result DeviceSearch::Run() {
  Result result;
  for (int number = 1; number <= plan_.tries; ++number) {
    result.tries = number;
    if (plan_.type == USB && plan_.refreshEvery > 0 && number % plan_.refreshEvery == 0) {
      Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
      refresh_();
    }
    for (uint32_t serial : plan_.serials) {
      result.error = connect_(Attempt{number, plan_.tries, plan_.type, serial});
      if (result.error == aErrNone) {
        result.end = End::kFound;
        result.serial = serial;
        return result;
      }
    }
    if (number < plan_.tries || plan_.pauseAfterLast) WorkflowSleep(plan_.pauseMs);
  }
  return result;
}

DeviceSearch::ConnectProc DeviceSearch::DiscoverAndConnect(Module& module) {
  return [&module](const Attempt& attempt) {
    aErr err = module.discoverAndConnect(attempt.type, attempt.serial);
    if (err == aErrNone && module.isConnected()) return aErrNone;
    if (err == aErrNone) err = aErrConnection;
    module.disconnect();
    return err;
  };
}

DeviceSearch::Plan DeviceSearch::UpdateLoader(linkType type, uint32_t serial) {
  // After the last try the run ends: a pause would only delay it.
  return Plan{type, {serial}, kUpdateLoaderTries, kUpdateLoaderPauseMs, false, kTriesPerRefresh};
}

DeviceSearch::Plan DeviceSearch::RecoveryLoader(uint32_t serial, bool refresh) {
  std::vector<uint32_t> serials{Recovery::kPlaceholderSerial};
  if (serial != Recovery::kPlaceholderSerial) serials.push_back(serial);
  return Plan{USB, serials, Recovery::CONNECT_ATTEMPTS, Recovery::kConnectPauseMs, false,
              refresh ? kTriesPerRefresh : 0};
}

DeviceSearch::Plan DeviceSearch::ReconnectOwn(uint32_t delay) {
  return Plan{USB, {kOwnDevice}, kReconnectTries, delay, true, 0};
}

DeviceSearch::Plan DeviceSearch::ReconnectPlaceholder(uint32_t delay) {
  return Plan{USB, {Recovery::kPlaceholderSerial}, kReconnectTries, delay, true, 0};
}
