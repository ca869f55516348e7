#include "UsbDeviceEmulation.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstdio>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include "UsbDeviceEmulationImpl.h"

namespace {

// Sockets this process has open.
int sCountSockets() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  char target[64];
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof(target));
    if (n > 7 && std::string(target, 7) == "socket:") count++;
  }
  closedir(dir);
  return count;
}

}  // namespace

std::string UsbEmulationHex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    snprintf(two, sizeof(two), "%02x", b);
    out += two;
  }
  return out;
}

void UsbEmulationAddRecords(UMockdevTestbed* bed, const std::string& records, const char* what) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bed, records.c_str(), &error)) {
    std::string message = error ? error->message : "unknown";
    g_clear_error(&error);
    throw std::runtime_error(std::string("umockdev: cannot add ") + what + ": " + message);
  }
}

void UsbEmulationAttach(UMockdevTestbed* bed, const char* node, UMockdevIoctlBase* handler, const char* what) {
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(bed, node, handler, &error)) {
    std::string message = error ? error->message : "unknown";
    g_clear_error(&error);
    throw std::runtime_error(std::string("umockdev: cannot attach ") + what + ": " + message);
  }
}

struct UsbDeviceEmulation::Testbed {
  // GTask's type, made on first use, starts GLib's worker thread for good. The testbed's own
  // thread would make it a moment after the testbed exists; made before it, the worker is
  // there before any test counts threads.
  static UMockdevTestbed* Make() {
    g_type_ensure(G_TYPE_TASK);
    return umockdev_testbed_new();
  }
  UMockdevTestbed* bed = Make();
  ~Testbed() { g_object_unref(bed); }
};

UsbDeviceEmulation::UsbDeviceEmulation() : testbed_(std::make_unique<Testbed>()) {
  // umockdev answers "in mock environment" from what it sees of /sys, so ask once a testbed exists.
  active_ = umockdev_in_mock_environment();
}

UsbDeviceEmulation::~UsbDeviceEmulation() {
  for (auto& entry : hidraws_) entry.node->stopPump();
  nodes_.clear();
  // The testbed's worker thread runs the handlers: stop it before the devices' state goes.
  testbed_.reset();
  hidraws_.clear();
  devices_.clear();
}

UMockdevTestbed* UsbDeviceEmulation::bedHandle() const { return testbed_->bed; }

EmulatedUsbDevice& UsbDeviceEmulation::add(const UsbDeviceConfig& spec) {
  auto impl = std::make_shared<EmulatedUsbDevice::Impl>();
  impl->spec = spec;
  impl->number = nextDeviceNumber_++;
  char node[64], sys[64];
  snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", impl->bus, impl->number);
  snprintf(sys, sizeof(sys), "/devices/usb%d/%d-%d", impl->bus, impl->bus, impl->number);
  impl->node = node;
  impl->sys = std::string("/sys") + sys;
  impl->connect();

  // The handler first, so that the node answers as soon as the record appears.
  UsbEmulationAttach(testbed_->bed, node, impl->handler, "ioctl handler");
  bool highSpeed = false;
  for (const auto& interface : spec.interfaces)
    for (const auto& setting : interface.settings)
      for (const auto& endpoint : setting.endpoints) highSpeed = highSpeed || endpoint.maxPacket > 64;
  char record[4096];
  snprintf(record, sizeof(record),
           "P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
           "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=%s\n"
           "A: busnum=%d\\n\nA: devnum=%d\\n\nA: speed=%s\\n\nA: bConfigurationValue=1\\n\n"
           "H: descriptors=%s\n",
           sys, node + 5, impl->bus, impl->number, node, impl->bus, impl->number,
           highSpeed ? "480" : "12", UsbEmulationHex(UsbDescriptorBytes(spec)).c_str());
  UsbEmulationAddRecords(testbed_->bed, record, "device");
  devices_.push_back(std::make_unique<EmulatedUsbDevice>(impl));
  return *devices_.back();
}

void UsbDeviceEmulation::removeNode(EmulatedUsbDevice& device) {
  gchar* root = umockdev_testbed_get_root_dir(testbed_->bed);
  unlink((std::string(root) + device.nodePath()).c_str());
  g_free(root);
}

void UsbDeviceEmulation::remove(EmulatedUsbDevice& device) {
  for (auto& d : devices_) {
    if (d.get() != &device) continue;
    umockdev_testbed_remove_device(testbed_->bed, device.sysPath().c_str());
    // umockdev leaves the node file behind; without it a later open fails as for an unplugged device.
    removeNode(device);
    removeHidraws(device);
    // Handles still open see a device that is gone; the handler stays attached, since
    // umockdev allows one per node path.
    device.unplug();
    return;
  }
}

EmulatedUsbDevice& UsbDeviceEmulation::readd(EmulatedUsbDevice& old) {
  std::shared_ptr<UsbByteDevice> behind = old.device();
  old.setDevice(nullptr);
  EmulatedUsbDevice& fresh = add(old.spec());
  fresh.setDevice(behind);
  return fresh;
}

// --- kernel node ---

struct EmulatedUsbNode::Impl {
  std::string path;
  int master = -1;
  int slave = -1;
  int wake = -1;
  std::mutex mutex;
  std::shared_ptr<UsbByteDevice> device;
  std::vector<uint8_t> received;
  std::thread pump;

  void run() {
    for (;;) {
      pollfd fds[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
      if (poll(fds, 2, 1000) < 0) continue;
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // hang-up: nothing to read
        continue;
      }
      uint8_t buffer[4096];
      ssize_t n = read(master, buffer, sizeof(buffer));
      if (n <= 0) continue;
      std::shared_ptr<UsbByteDevice> target;
      {
        std::lock_guard<std::mutex> lock(mutex);
        received.insert(received.end(), buffer, buffer + n);
        target = device;
      }
      if (target) target->fromHost(buffer, static_cast<size_t>(n));
    }
  }

  void write(const uint8_t* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::write(master, data, size);
      if (n <= 0) return;
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  ~Impl() {
    if (pump.joinable()) {
      uint64_t one = 1;
      (void)!::write(wake, &one, sizeof(one));
      pump.join();
    }
    if (device) device->attach(nullptr);
    if (slave >= 0) close(slave);
    if (wake >= 0) close(wake);
    // The master belongs to the testbed.
  }
};

EmulatedUsbNode::EmulatedUsbNode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
EmulatedUsbNode::~EmulatedUsbNode() = default;

std::string EmulatedUsbNode::path() const { return impl_->path; }

void EmulatedUsbNode::setDevice(std::shared_ptr<UsbByteDevice> device) {
  std::shared_ptr<UsbByteDevice> old;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    old = std::exchange(impl_->device, device);
  }
  if (old && old != device) old->attach(nullptr);
  if (device) {
    Impl* impl = impl_.get();
    device->attach([impl](const uint8_t* data, size_t size) { impl->write(data, size); });
  }
}

void EmulatedUsbNode::queueIn(const void* data, size_t size) {
  impl_->write(static_cast<const uint8_t*>(data), size);
}

std::vector<uint8_t> EmulatedUsbNode::received() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

EmulatedUsbNode& UsbDeviceEmulation::addNode(uint32_t serial) {
  auto impl = std::make_unique<EmulatedUsbNode::Impl>();
  char name[32];
  snprintf(name, sizeof(name), "corvantis.%08X", serial);
  impl->path = std::string("/dev/") + name;
  // A node line without content makes umockdev back the node with a pseudo-terminal.
  UsbEmulationAddRecords(testbed_->bed,
                         std::string("P: /devices/virtual/corvantis/") + name + "\nN: " + name +
                             "\nE: SUBSYSTEM=corvantis\n",
                         "device");
  impl->master = umockdev_testbed_get_dev_fd(testbed_->bed, impl->path.c_str());
  // Only the wrapped process sees the node; elsewhere the node stays closed and idle.
  int sockets = sCountSockets();
  impl->slave = open(impl->path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (impl->slave >= 0) {
    // The open connects this process to the testbed's default ioctl handler, whose thread
    // accepts the connection when it gets to it (late under load): wait for that socket, so
    // that descriptor counts taken from here on stay put.
    EmulatedUsbDevice::WaitFor([sockets] { return sCountSockets() >= sockets + 2; }, 2000);
    termios tio;
    if (tcgetattr(impl->slave, &tio) == 0) {
      cfmakeraw(&tio);
      tio.c_cc[VMIN] = 0;
      tio.c_cc[VTIME] = 0;
      tcsetattr(impl->slave, TCSANOW, &tio);
    }
  }
  if (impl->master >= 0 && impl->slave >= 0) {
    impl->wake = eventfd(0, EFD_CLOEXEC);
    EmulatedUsbNode::Impl* raw = impl.get();
    impl->pump = std::thread([raw]() { raw->run(); });
  }
  nodes_.push_back(std::make_unique<EmulatedUsbNode>(std::move(impl)));
  return *nodes_.back();
}
