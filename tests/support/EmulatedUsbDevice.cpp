// The usbfs side of an emulated USB device: a umockdev ioctl handler that answers libusb.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <utility>

#include "Eventually.h"
#include "UsbDeviceEmulationImpl.h"

namespace {

using Impl = EmulatedUsbDevice::Impl;
using Urb = Impl::Urb;

constexpr uint8_t kLanguageTable[] = {4, 3, 0x09, 0x04};  // US English only

// The answer to a control URB's request: its data stage, or a stall.
bool sControlAnswer(const UsbDeviceConfig& spec, bool stallStrings, const uint8_t* setup,
                    std::vector<uint8_t>& out) {
  uint8_t requestType = setup[0], request = setup[1];
  uint8_t descriptorIndex = setup[2], descriptorType = setup[3];
  if (requestType == 0x81 && request == 6 && descriptorType == 0x22) {  // HID report descriptor
    if (spec.hidReportDescriptor.empty()) return false;
    out = spec.hidReportDescriptor;
    return true;
  }
  if (requestType != 0x80 || request != 6 || descriptorType != 3) return true;  // no data stage
  if (descriptorIndex == 0) {
    out.assign(std::begin(kLanguageTable), std::end(kLanguageTable));
    return true;
  }
  if (stallStrings || !spec.serial || descriptorIndex != UsbSerialStringIndex(spec)) return false;
  const std::string& text = *spec.serial;
  size_t chars = std::min<size_t>(text.size(), 126);
  out = {static_cast<uint8_t>(2 + 2 * chars), 3};
  for (size_t i = 0; i < chars; ++i) {
    out.push_back(static_cast<uint8_t>(text[i]));
    out.push_back(0);
  }
  return true;
}

uint8_t* sUrbBytes(Urb& urb) { return urb.buffer->data; }
usbdevfs_urb* sUrbHeader(Urb& urb) { return reinterpret_cast<usbdevfs_urb*>(urb.urb->data); }

}  // namespace

// --- state changes, all under impl.mutex ---

void Impl::completeLocked(std::list<Urb>::iterator it, int status, int actual) {
  Urb& urb = *it;
  usbdevfs_urb* header = sUrbHeader(urb);
  header->status = status;
  header->actual_length = actual;
  UsbUrbRecord record{header->type, header->endpoint, header->buffer_length, actual, status, {}};
  bool out = !(header->endpoint & 0x80) && header->type != USBDEVFS_URB_TYPE_CONTROL;
  if (out && actual > 0) {
    record.data.assign(sUrbBytes(urb), sUrbBytes(urb) + actual);
    toDevice.push_back(record.data);
  }
  records.push_back(std::move(record));
  completed.splice(completed.end(), pending, it);
}

// Hands queued IN bytes to pending IN URBs, oldest first.
void Impl::fillInLocked() {
  for (auto it = pending.begin(); it != pending.end() && !in.empty();) {
    auto next = std::next(it);
    Urb& urb = *it;
    usbdevfs_urb* header = sUrbHeader(urb);
    if (!(header->endpoint & 0x80) || header->type == USBDEVFS_URB_TYPE_CONTROL) {
      it = next;
      continue;
    }
    bool done = false;
    while (!in.empty() && urb.filled < header->buffer_length) {
      InChunk& chunk = in.front();
      size_t take = std::min<size_t>(chunk.bytes.size() - chunk.offset,
                                     static_cast<size_t>(header->buffer_length - urb.filled));
      memcpy(sUrbBytes(urb) + urb.filled, chunk.bytes.data() + chunk.offset, take);
      urb.filled += static_cast<int>(take);
      chunk.offset += take;
      if (chunk.offset == chunk.bytes.size()) {
        done = done || chunk.complete;
        in.pop_front();
        if (done) break;
      }
    }
    if (done || urb.filled == header->buffer_length) completeLocked(it, 0, urb.filled);
    it = next;
  }
}

void Impl::failAllPendingLocked(int status) {
  while (!pending.empty()) {
    Urb& urb = pending.front();
    completeLocked(pending.begin(), status, urb.filled);
  }
}

// --- ioctl requests ---

namespace {

void sReply(UMockdevIoctlClient* client, int err) {
  umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
}

void sSubmit(Impl& impl, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  GError* error = nullptr;
  UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
  if (urbData == nullptr) {
    g_clear_error(&error);
    sReply(client, EFAULT);
    return;
  }
  auto* header = reinterpret_cast<usbdevfs_urb*>(urbData->data);
  UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
      urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), header->buffer_length, &error);
  if (buffer == nullptr) {
    g_clear_error(&error);
    g_object_unref(urbData);
    sReply(client, EFAULT);
    return;
  }
  std::unique_lock<std::mutex> lock(impl.mutex);
  if (impl.unplugged) {
    lock.unlock();
    g_object_unref(buffer);
    g_object_unref(urbData);
    sReply(client, ENODEV);
    return;
  }
  auto it = impl.pending.insert(impl.pending.end(), Urb{client, urbData->client_addr, urbData, buffer});
  bool in = header->endpoint & 0x80;
  if (header->type == USBDEVFS_URB_TYPE_CONTROL) {
    // The buffer holds the 8-byte setup packet, then room for the data stage.
    std::vector<uint8_t> answer;
    const uint8_t* setup = buffer->data;
    bool ok = header->buffer_length >= 8 && sControlAnswer(impl.spec, impl.stallStrings, setup, answer);
    int actual = 0;
    int wanted = setup[6] | setup[7] << 8;
    bool classOut = ok && (setup[0] & 0xE0) == 0x20 && wanted > 0;
    if (classOut) {
      // A class request's data stage (HID SET_REPORT) goes to the byte-level device whole.
      actual = std::min(wanted, header->buffer_length - 8);
      impl.toDevice.emplace_back(buffer->data + 8, buffer->data + 8 + actual);
    } else if (ok) {
      actual = std::min({wanted, header->buffer_length - 8, static_cast<int>(answer.size())});
      memcpy(buffer->data + 8, answer.data(), actual);
    }
    impl.completeLocked(it, ok ? 0 : -EPIPE, actual);
  } else if (in) {
    if (!impl.inFaults.empty()) {
      int status = impl.inFaults.front();
      impl.inFaults.pop_front();
      impl.completeLocked(it, status, 0);
    } else {
      impl.fillInLocked();
    }
  } else if (!impl.outFaults.empty()) {
    int status = impl.outFaults.front();
    impl.outFaults.pop_front();
    impl.completeLocked(it, status, 0);
  } else if (!impl.outHolds.empty()) {
    int moved = impl.outHolds.front();
    impl.outHolds.pop_front();
    it->holdMoved = moved < 0 ? header->buffer_length : std::min(moved, header->buffer_length);
    it->held = true;
  } else {
    impl.completeLocked(it, 0, header->buffer_length);
  }
  lock.unlock();
  sReply(client, 0);
  impl.deliverToDevice();
}

void sReap(Impl& impl, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  std::unique_lock<std::mutex> lock(impl.mutex);
  impl.fillInLocked();
  auto it = impl.completed.begin();
  while (it != impl.completed.end() && it->client != client) ++it;
  if (it == impl.completed.end()) {
    lock.unlock();
    sReply(client, EAGAIN);
    impl.deliverToDevice();
    return;
  }
  Urb urb = *it;
  impl.completed.erase(it);
  lock.unlock();
  GError* error = nullptr;
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
  if (slot == nullptr) {
    g_clear_error(&error);
    sReply(client, EFAULT);
  } else {
    umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
    sReply(client, 0);
    g_object_unref(slot);
  }
  g_object_unref(urb.buffer);
  g_object_unref(urb.urb);
  impl.deliverToDevice();
}

void sDiscard(Impl& impl, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  gulong address = *reinterpret_cast<gulong*>(arg->data);
  std::unique_lock<std::mutex> lock(impl.mutex);
  auto it = impl.pending.begin();
  while (it != impl.pending.end() && !(it->client == client && it->address == address)) ++it;
  if (it == impl.pending.end()) {
    lock.unlock();
    sReply(client, EINVAL);  // unknown, or completed already
    return;
  }
  impl.discards++;
  impl.completeLocked(it, -ENOENT, it->held ? it->holdMoved : it->filled);
  lock.unlock();
  sReply(client, 0);
  impl.deliverToDevice();
}

// The value an ioctl argument points to (claim, release, clear-halt, capabilities).
template <typename T>
bool sWithTarget(UMockdevIoctlData* arg, const std::function<void(T&)>& use) {
  GError* error = nullptr;
  UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &error);
  if (target == nullptr) {
    g_clear_error(&error);
    return false;
  }
  use(*reinterpret_cast<T*>(target->data));
  g_object_unref(target);
  return true;
}

gboolean sHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Impl& impl = *static_cast<Impl*>(user);
  std::vector<Urb> dropped;
  {
    std::lock_guard<std::mutex> lock(impl.mutex);
    impl.pruneClientsLocked(dropped);
  }
  Impl::releaseUrbs(dropped);
  gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto gone = [&impl]() {
    std::lock_guard<std::mutex> lock(impl.mutex);
    return impl.unplugged;
  };
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      // Set before the reply, which writes the resolved value back to the client.
      bool ok = sWithTarget<uint32_t>(arg, [](uint32_t& caps) {
        caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
      });
      sReply(client, ok ? 0 : EFAULT);
      return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE: {
      std::unique_lock<std::mutex> lock(impl.mutex);
      int err = impl.unplugged ? ENODEV : impl.claimErrno;
      if (err == 0) impl.claimCount++;
      lock.unlock();
      sReply(client, err);
      return TRUE;
    }
    case USBDEVFS_RELEASEINTERFACE: {
      std::unique_lock<std::mutex> lock(impl.mutex);
      int err = impl.unplugged ? ENODEV : 0;
      if (err == 0) impl.releaseCount++;
      lock.unlock();
      sReply(client, err);
      return TRUE;
    }
    case USBDEVFS_CLEAR_HALT: {
      unsigned endpoint = 0;
      if (!sWithTarget<unsigned>(arg, [&](unsigned& e) { endpoint = e; })) {
        sReply(client, EFAULT);
        return TRUE;
      }
      std::unique_lock<std::mutex> lock(impl.mutex);
      int err = impl.unplugged ? ENODEV : impl.clearHaltErrno;
      impl.halts.push_back(static_cast<uint8_t>(endpoint));
      lock.unlock();
      sReply(client, err);
      return TRUE;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET:
      sReply(client, gone() ? ENODEV : 0);
      return TRUE;
    case USBDEVFS_GETDRIVER:
      sReply(client, ENODATA);  // no kernel driver bound
      return TRUE;
    case USBDEVFS_SUBMITURB:
      sSubmit(impl, client, arg);
      return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      sReap(impl, client, arg);
      return TRUE;
    case USBDEVFS_DISCARDURB:
      sDiscard(impl, client, arg);
      return TRUE;
    default:
      return FALSE;  // umockdev answers ENOTTY
  }
}

void sClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Impl& impl = *static_cast<Impl*>(user);
  std::lock_guard<std::mutex> lock(impl.mutex);
  impl.clients.push_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(client)));
  impl.openCount++;
}

}  // namespace

// umockdev 0.17 emits no "client-vanished" when a client closes the node; its "connected"
// property does turn false. Clients that closed lose their URBs here.
void Impl::pruneClientsLocked(std::vector<Urb>& dropped) {
  for (auto c = clients.begin(); c != clients.end();) {
    UMockdevIoctlClient* client = *c;
    if (umockdev_ioctl_client_get_connected(client)) {
      ++c;
      continue;
    }
    for (auto* list : {&pending, &completed}) {
      for (auto it = list->begin(); it != list->end();) {
        if (it->client == client) {
          dropped.push_back(*it);
          it = list->erase(it);
        } else {
          ++it;
        }
      }
    }
    g_object_unref(client);
    c = clients.erase(c);
  }
}

void Impl::releaseUrbs(std::vector<Urb>& urbs) {
  for (Urb& urb : urbs) {
    g_object_unref(urb.buffer);
    g_object_unref(urb.urb);
  }
  urbs.clear();
}

// Feeds the bytes of completed OUT URBs to the byte-level device, outside the lock.
void Impl::deliverToDevice() {
  std::lock_guard<std::mutex> order(deliverMutex);
  for (;;) {
    std::vector<uint8_t> bytes;
    std::shared_ptr<UsbByteDevice> target;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (toDevice.empty()) return;
      bytes = std::move(toDevice.front());
      toDevice.pop_front();
      target = device;
    }
    if (target) target->fromHost(bytes.data(), bytes.size());
  }
}

void Impl::connect() {
  handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(sHandleIoctl), this);
  g_signal_connect(handler, "client-connected", G_CALLBACK(sClientConnected), this);
}

Impl::~Impl() {
  if (handler != nullptr) {
    g_signal_handlers_disconnect_by_data(handler, this);
    g_object_unref(handler);
  }
  for (auto* list : {&pending, &completed})
    for (Urb& urb : *list) {
      g_object_unref(urb.buffer);
      g_object_unref(urb.urb);
    }
  for (UMockdevIoctlClient* client : clients) g_object_unref(client);
}

// --- the public face ---

EmulatedUsbDevice::EmulatedUsbDevice(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

EmulatedUsbDevice::~EmulatedUsbDevice() { setDevice(nullptr); }

const UsbDeviceConfig& EmulatedUsbDevice::spec() const { return impl_->spec; }
int EmulatedUsbDevice::busNumber() const { return impl_->bus; }
int EmulatedUsbDevice::deviceNumber() const { return impl_->number; }
std::string EmulatedUsbDevice::nodePath() const { return impl_->node; }
std::string EmulatedUsbDevice::sysPath() const { return impl_->sys; }

void EmulatedUsbDevice::setDevice(std::shared_ptr<UsbByteDevice> device) {
  std::shared_ptr<UsbByteDevice> old;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    old = std::exchange(impl_->device, device);
  }
  if (old && old != device) old->attach(nullptr);
  if (device) {
    std::weak_ptr<Impl> weak = impl_;
    device->attach([weak](const uint8_t* data, size_t size) {
      if (auto impl = weak.lock()) {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->in.push_back({std::vector<uint8_t>(data, data + size), true});
      }
    });
  }
}

std::shared_ptr<UsbByteDevice> EmulatedUsbDevice::device() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->device;
}

void EmulatedUsbDevice::queueIn(const void* data, size_t size, bool complete) {
  auto* bytes = static_cast<const uint8_t*>(data);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->in.push_back({std::vector<uint8_t>(bytes, bytes + size), complete});
}

void EmulatedUsbDevice::failIn(int status, int count) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->inFaults.insert(impl_->inFaults.end(), count, status);
}

void EmulatedUsbDevice::failOut(int status, int count) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->outFaults.insert(impl_->outFaults.end(), count, status);
}

void EmulatedUsbDevice::holdOut(int moved, int count) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->outHolds.insert(impl_->outHolds.end(), count, moved);
}

void EmulatedUsbDevice::setClaimErrno(int err) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->claimErrno = err;
}

void EmulatedUsbDevice::stallStringRequests(bool stall) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->stallStrings = stall;
}

void EmulatedUsbDevice::setClearHaltErrno(int err) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->clearHaltErrno = err;
}

void EmulatedUsbDevice::unplug() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->unplugged = true;
  impl_->failAllPendingLocked(-ENODEV);
}

void EmulatedUsbDevice::replug() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->unplugged = false;
}

std::vector<UsbUrbRecord> EmulatedUsbDevice::urbs() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->records;
}

std::vector<std::vector<uint8_t>> EmulatedUsbDevice::outTransfers() const {
  std::vector<std::vector<uint8_t>> out;
  for (const UsbUrbRecord& r : urbs())
    if (!(r.endpoint & 0x80) && r.type != USBDEVFS_URB_TYPE_CONTROL && r.actual > 0) out.push_back(r.data);
  return out;
}

std::vector<uint8_t> EmulatedUsbDevice::outBytes() const {
  std::vector<uint8_t> all;
  for (const auto& t : outTransfers()) all.insert(all.end(), t.begin(), t.end());
  return all;
}

std::vector<uint8_t> EmulatedUsbDevice::clearedHalts() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->halts;
}

int EmulatedUsbDevice::claims() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->claimCount;
}

int EmulatedUsbDevice::releases() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->releaseCount;
}

int EmulatedUsbDevice::discards() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->discards;
}

int EmulatedUsbDevice::pendingIn() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  int count = 0;
  for (Impl::Urb& urb : impl_->pending) {
    const usbdevfs_urb* header = sUrbHeader(urb);
    if ((header->endpoint & 0x80) && header->type != USBDEVFS_URB_TYPE_CONTROL) ++count;
  }
  return count;
}

int EmulatedUsbDevice::openHandles() const {
  std::vector<Impl::Urb> dropped;
  int count;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->pruneClientsLocked(dropped);
    count = static_cast<int>(impl_->clients.size());
  }
  Impl::releaseUrbs(dropped);
  return count;
}

int EmulatedUsbDevice::opens() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->openCount;
}

void EmulatedUsbDevice::clearRecords() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->records.clear();
  impl_->halts.clear();
  impl_->claimCount = impl_->releaseCount = impl_->discards = 0;
}

bool EmulatedUsbDevice::WaitFor(const std::function<bool()>& condition, int ms) {
  return Eventually(condition, static_cast<uint64_t>(ms > 0 ? ms : 0));
}
