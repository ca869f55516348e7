// The hidraw side of an emulated USB device: records, a pty-backed node, and a handler for the
// HID ioctls, the writes and the reads, which hands input reports to the pty one read at a time.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "UsbDeviceEmulationImpl.h"

struct EmulatedHidrawNode::Impl {
  std::string path;
  std::vector<uint8_t> descriptor;
  UMockdevIoctlBase* handler = nullptr;
  int master = -1;  // the testbed's
  int slave = -1;   // the kit's own, opened by its pts name, outside the emulation

  mutable std::mutex mutex;
  std::shared_ptr<UsbByteDevice> device;
  std::function<int(const uint8_t*, size_t)> decide;
  std::vector<std::vector<uint8_t>> writes;
  std::vector<uint8_t> offered;                 // the report in the pty, the host's next read
  std::deque<std::vector<uint8_t>> reports;     // the ones behind it
  std::vector<UMockdevIoctlClient*> clients;
  int openCount = 0;
  bool gone = false;
  bool stop = false;

  void stopPump() {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
    reports.clear();
  }

  ~Impl() {
    stopPump();
    if (device) device->attach(nullptr);
    if (handler != nullptr) {
      g_signal_handlers_disconnect_by_data(handler, this);
      g_object_unref(handler);
    }
    for (UMockdevIoctlClient* c : clients) g_object_unref(c);
    if (slave >= 0) close(slave);
  }

  void pruneLocked() {
    for (auto c = clients.begin(); c != clients.end();) {
      if (umockdev_ioctl_client_get_connected(*c)) {
        ++c;
      } else {
        g_object_unref(*c);
        c = clients.erase(c);
      }
    }
  }

  // Puts the next report into the pty, where the host's poll sees it. Only one at a time: the
  // pty would merge two into one read. A pty takes a report this small at once; the deadline
  // only bounds a broken one.
  void offerLocked() {
    if (!offered.empty() || reports.empty() || stop || gone) return;
    offered = std::move(reports.front());
    reports.pop_front();
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (done < offered.size()) {
      ssize_t n = ::write(master, offered.data() + done, offered.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else if ((n < 0 && errno != EAGAIN && errno != EINTR) || std::chrono::steady_clock::now() > deadline) break;
      else usleep(200);
    }
  }

  // Takes the offered report's bytes out of the pty's input queue, on the kit's own slave. A
  // poll on a tty first pushes bytes the kernel still holds on their way to the queue, so
  // what the host's poll saw is there to read.
  void drainLocked() {
    std::vector<uint8_t> sink(offered.size());
    size_t left = offered.size();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (left > 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd p = {slave, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      ssize_t n = ::read(slave, sink.data(), left);
      if (n > 0) left -= static_cast<size_t>(n);
      else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
  }

  // One read of the node: the offered report, cut to the read's length as hidraw does, and
  // the next one offered in its place. Nothing offered: the pty's empty read.
  long readLocked(UMockdevIoctlData* buffer) {
    if (offered.empty()) return 0;
    drainLocked();
    size_t n = std::min(offered.size(), static_cast<size_t>(std::max(buffer->data_len, 0)));
    umockdev_ioctl_data_update(buffer, 0, offered.data(), static_cast<gint>(n));
    offered.clear();
    offerLocked();
    return static_cast<long>(n);
  }
};

namespace {

using Impl = EmulatedHidrawNode::Impl;

void sReply(UMockdevIoctlClient* client, long result, int err) { umockdev_ioctl_client_complete(client, result, err); }

gboolean sHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Impl& impl = *static_cast<Impl*>(user);
  gulong request = umockdev_ioctl_client_get_request(client);
  if (request != HIDIOCGRDESCSIZE && request != HIDIOCGRDESC) return FALSE;  // termios and the rest: the pty's
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (impl.gone) {
      sReply(client, -1, ENODEV);
      return TRUE;
    }
  }
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  GError* error = nullptr;
  size_t size = request == HIDIOCGRDESCSIZE ? sizeof(int) : sizeof(hidraw_report_descriptor);
  UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, size, &error);
  if (target == nullptr) {
    g_clear_error(&error);
    sReply(client, -1, EFAULT);
    return TRUE;
  }
  if (request == HIDIOCGRDESCSIZE) {
    int n = static_cast<int>(impl.descriptor.size());
    memcpy(target->data, &n, sizeof n);
  } else {
    auto* d = reinterpret_cast<hidraw_report_descriptor*>(target->data);
    uint32_t n = std::min<uint32_t>(d->size, static_cast<uint32_t>(impl.descriptor.size()));
    memcpy(d->value, impl.descriptor.data(), n);
  }
  g_object_unref(target);
  sReply(client, 0, 0);
  return TRUE;
}

gboolean sHandleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Impl& impl = *static_cast<Impl*>(user);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::vector<uint8_t> report(arg->data, arg->data + arg->data_len);
  std::shared_ptr<UsbByteDevice> target;
  int err = 0;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    err = impl.gone ? ENODEV : impl.decide ? impl.decide(report.data(), report.size()) : 0;
    if (err == 0) {
      impl.writes.push_back(report);
      target = impl.device;
    }
  }
  if (err != 0) {
    sReply(client, -1, err);
    return TRUE;
  }
  // The write returns once the device has taken the report, as a device's acknowledgement
  // ends a real transfer: what it answers at once is then already there for the host's read.
  if (target) target->fromHost(report.data(), report.size());
  sReply(client, static_cast<long>(report.size()), 0);
  return TRUE;
}

// Reads are served here, not by the pty, so that each read takes exactly one report and the
// next one is in the pty before the read returns: no thread of the kit stands between the
// host's reads, however loaded the machine.
gboolean sHandleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Impl& impl = *static_cast<Impl*>(user);
  long n = 0;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    n = impl.readLocked(umockdev_ioctl_client_get_arg(client));
  }
  sReply(client, n, 0);
  return TRUE;
}

void sClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Impl& impl = *static_cast<Impl*>(user);
  std::lock_guard<std::mutex> lock(impl.mutex);
  impl.pruneLocked();
  impl.clients.push_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(client)));
  impl.openCount++;
  // A new reader starts clean: reports an earlier client left unread are gone with it.
  impl.offered.clear();
  impl.reports.clear();
  tcflush(impl.slave, TCIFLUSH);
}

}  // namespace

EmulatedHidrawNode::EmulatedHidrawNode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
EmulatedHidrawNode::~EmulatedHidrawNode() = default;

std::string EmulatedHidrawNode::path() const { return impl_->path; }

void EmulatedHidrawNode::setDevice(std::shared_ptr<UsbByteDevice> device) {
  std::shared_ptr<UsbByteDevice> old;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    old = std::exchange(impl_->device, device);
  }
  if (old && old != device) old->attach(nullptr);
  if (device) {
    Impl* impl = impl_.get();
    device->attach([impl](const uint8_t* data, size_t size) {
      std::lock_guard<std::mutex> lock(impl->mutex);
      if (size == 0 || impl->stop || impl->gone) return;
      impl->reports.emplace_back(data, data + size);
      impl->offerLocked();
    });
  }
}

void EmulatedHidrawNode::setWriteErrno(std::function<int(const uint8_t*, size_t)> decide) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->decide = std::move(decide);
}

std::vector<std::vector<uint8_t>> EmulatedHidrawNode::writes() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->writes;
}

int EmulatedHidrawNode::openHandles() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->pruneLocked();
  return static_cast<int>(impl_->clients.size());
}

int EmulatedHidrawNode::opens() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->openCount;
}

void EmulatedHidrawNode::stopPump() { impl_->stopPump(); }

bool EmulatedHidrawNode::unplugged() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->gone;
}

// --- records ---

namespace {

void sAdd(UMockdevTestbed* bed, const std::string& records) { UsbEmulationAddRecords(bed, records, "hidraw records"); }

}  // namespace

EmulatedHidrawNode& UsbDeviceEmulation::addHidraw(EmulatedUsbDevice& device, const HidrawSpec& spec) {
  UMockdevTestbed* bed = bedHandle();
  int number = nextHidraw_++;
  const UsbDeviceConfig& usbSpec = device.spec();
  char text[256];
  std::string usbSys = device.sysPath().substr(4);  // without "/sys"
  std::string base = usbSys.substr(usbSys.rfind('/') + 1);
  snprintf(text, sizeof text, "%s/%s:1.%u", usbSys.c_str(), base.c_str(), spec.interfaceNumber);
  std::string interfaceSys = text;
  snprintf(text, sizeof text, "%s/0003:%04X:%04X.%04X", interfaceSys.c_str(), usbSpec.vendorId, usbSpec.productId,
           number + 1);
  std::string hidSys = text;
  snprintf(text, sizeof text, "hidraw%d", number);
  std::string name = text;

  auto impl = std::make_unique<EmulatedHidrawNode::Impl>();
  impl->path = "/dev/" + name;
  impl->descriptor = spec.reportDescriptor;
  impl->handler = umockdev_ioctl_base_new();
  g_signal_connect(impl->handler, "handle-ioctl", G_CALLBACK(sHandleIoctl), impl.get());
  g_signal_connect(impl->handler, "handle-write", G_CALLBACK(sHandleWrite), impl.get());
  g_signal_connect(impl->handler, "handle-read", G_CALLBACK(sHandleRead), impl.get());
  g_signal_connect(impl->handler, "client-connected", G_CALLBACK(sClientConnected), impl.get());
  UsbEmulationAttach(bed, impl->path.c_str(), impl->handler, "hidraw handler");

  snprintf(text, sizeof text, "0003:%08X:%08X", usbSpec.vendorId, usbSpec.productId);
  std::string hidId = text;
  std::string uevent = "DRIVER=hid-generic\\nHID_ID=" + hidId + "\\nHID_NAME=" + spec.name + "\\nHID_PHYS=usb-emulated/input" +
                       std::to_string(spec.interfaceNumber) + "\\nHID_UNIQ=" + spec.uniq + "\\n";
  snprintf(text, sizeof text, "%02x", spec.interfaceNumber);
  sAdd(bed, "P: " + interfaceSys + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\n" +
                "A: bInterfaceNumber=" + text + "\\n\nA: bInterfaceClass=03\\n\nA: bInterfaceSubClass=00\\n\n" +
                "A: bInterfaceProtocol=00\\n\n");
  sAdd(bed, "P: " + hidSys + "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=" + hidId + "\nE: HID_NAME=" +
                spec.name + "\nE: HID_PHYS=usb-emulated/input" + std::to_string(spec.interfaceNumber) +
                "\nE: HID_UNIQ=" + spec.uniq + "\nA: uevent=" + uevent + "\nH: report_descriptor=" +
                UsbEmulationHex(spec.reportDescriptor) + "\n");
  sAdd(bed, "P: " + hidSys + "/hidraw/" + name + "\nN: " + name + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + impl->path +
                "\nL: device=../..\n");

  impl->master = umockdev_testbed_get_dev_fd(bed, impl->path.c_str());
  if (impl->master >= 0) {
    // The kit's own slave keeps the pty's input queue alive between clients, and takes a
    // report's bytes out of it again when the host reads the report.
    const char* pts = ptsname(impl->master);
    if (pts != nullptr) impl->slave = open(pts, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios tio;
    if (impl->slave >= 0 && tcgetattr(impl->slave, &tio) == 0) {
      cfmakeraw(&tio);
      tio.c_cc[VMIN] = 0;
      tio.c_cc[VTIME] = 0;
      tcsetattr(impl->slave, TCSANOW, &tio);
    }
  }
  hidraws_.push_back({&device, std::make_unique<EmulatedHidrawNode>(std::move(impl))});
  return *hidraws_.back().node;
}

void UsbDeviceEmulation::removeHidraws(EmulatedUsbDevice& device) {
  gchar* root = umockdev_testbed_get_root_dir(bedHandle());
  for (auto& entry : hidraws_) {
    if (entry.device != &device) continue;
    EmulatedHidrawNode::Impl& impl = *entry.node->impl_;
    {
      std::lock_guard<std::mutex> lock(impl.mutex);
      impl.gone = true;
      impl.reports.clear();
    }
    unlink((std::string(root) + impl.path).c_str());
  }
  g_free(root);
}
