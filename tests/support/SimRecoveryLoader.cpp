#include "SimRecoveryLoader.h"

#include "SimNetwork.h"
#include "SimTransports.h"
#include "unix_time.h"

namespace {

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kIdentifierOption = 39;

}  // namespace

SimRecoveryLoader::SimRecoveryLoader(UsbDeviceEmulation& usb, SimSdpRom& rom, const Settings& settings)
    : usb_(usb), rom_(rom), settings_(settings), device_(settings.address) {
  side_ = std::make_shared<SimLinkUsbSide>(device_);
  SimDeviceProfile profile;
  profile.serial = settings_.serial;
  profile.model = settings_.model;
  for (int i = 0; i < 4; ++i) profile.uniqueId[i] = settings_.identifier[i];
  ApplyProfile(device_.Network(), settings_.address, profile);
  if (settings_.refusedSubindex) {
    SimEntityKey key{kSystemCommand, kIdentifierOption, 0, *settings_.refusedSubindex};
    SimEntity entity = *device_.Network().Entity(settings_.address, key);
    entity.error = aErrUnimplemented;
    device_.Network().SetEntity(settings_.address, key, entity);
  }
  if (settings_.ignoreFirstHandshake)
    device_.SetSyncAnswersByLink({SimLinkDevice::SyncAnswer::kNever, SimLinkDevice::SyncAnswer::kRight});

  // The device's own thread runs these; the emulation is changed there, never in a handler.
  SimLinkDevice::Transport transport;
  transport.drop = [this] { unplug(); };
  transport.comeBack = [this](bool) { addToBus(); };
  device_.SetTransport(transport);
  // After a reset the next jump brings it back (TriggerReturn); after REBOOT nothing does.
  SimLinkDevice::PhaseChange reset;
  reset.link = SimLinkDevice::PhaseChange::LinkEnd::kDrop;
  reset.back = SimLinkDevice::PhaseChange::Return::kOnTrigger;
  reset.after = [this] {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      ++resets_;
    }
    changed_.notify_all();
    rom_.restart();
  };
  device_.SetOnReset(reset);
  SimLinkDevice::PhaseChange reboot;
  reboot.link = SimLinkDevice::PhaseChange::LinkEnd::kDrop;
  reboot.after = [this] {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      rebooted_ = true;
    }
    changed_.notify_all();
  };
  device_.SetOnReboot(reboot);

  thread_ = std::thread([this] { run(); });
  rom_.onJump([this](uint32_t address) { Jumped(address); });
}

void SimRecoveryLoader::Jumped(uint32_t) {
  if (settings_.plug == Plug::kAfterDelay)
    schedule(aTime_GetMonotonicMS() + settings_.plugDelayMs, [this] { plugInNow(); });
}

SimRecoveryLoader::~SimRecoveryLoader() {
  rom_.onJump(nullptr);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  // The device's thread may still drop the link: it stops before the device is gone.
  device_.SetTransport({});
  device_.SetOnReset({});
  device_.SetOnReboot({});
  unplug();
}

void SimRecoveryLoader::schedule(uint64_t dueMs, std::function<void()> action) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    work_.emplace_back(dueMs, std::move(action));
  }
  changed_.notify_all();
}

void SimRecoveryLoader::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) return;
    if (work_.empty()) {
      changed_.wait(lock);
      continue;
    }
    uint64_t now = aTime_GetMonotonicMS();
    uint64_t due = work_.front().first;
    if (now < due) {
      changed_.wait_for(lock, std::chrono::milliseconds(due - now));
      continue;
    }
    std::function<void()> action = std::move(work_.front().second);
    work_.pop_front();
    lock.unlock();
    action();
    lock.lock();
  }
}

void SimRecoveryLoader::PlugIn() { plugInNow(); }

void SimRecoveryLoader::plugInNow() {
  // A loader that was reset comes back through the device, which then talks again.
  if (!device_.TriggerReturn()) addToBus();
}

void SimRecoveryLoader::addToBus() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (emulated_ != nullptr || stop_) return;
  emulated_ = &usb_.add(UsbConfigFor(settings_.serial, settings_.model));
  emulated_->setDevice(side_);
  ++plugIns_;
  changed_.notify_all();
}

void SimRecoveryLoader::unplug() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (emulated_ == nullptr) return;
  usb_.remove(*emulated_);
  emulated_->setDevice(nullptr);
  emulated_ = nullptr;
  changed_.notify_all();
}

size_t SimRecoveryLoader::plugIns() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return plugIns_;
}

bool SimRecoveryLoader::plugged() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return emulated_ != nullptr;
}

size_t SimRecoveryLoader::resets() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return resets_;
}

bool SimRecoveryLoader::rebooted() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return rebooted_;
}

std::vector<uint8_t> SimRecoveryLoader::flash(uint32_t address, size_t n) const {
  return device_.Network().Flash(settings_.address, address, n);
}

bool SimRecoveryLoader::waitPlugIns(size_t n, uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return plugIns_ >= n; });
}

bool SimRecoveryLoader::waitUnplugged(uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return emulated_ == nullptr; });
}
