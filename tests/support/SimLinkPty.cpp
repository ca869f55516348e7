#include "SimLinkPty.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <thread>

#include "Eventually.h"
#include "unix_time.h"

namespace {

std::vector<uint8_t> sJoin(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

SimLinkPty::SimLinkPty(PtyPair& pty, SimLinkDevice& device) : pty_(pty), device_(device) {
  device_.Attach([this](const uint8_t* data, size_t size) {
    ToLine(data, size);
    return aErrNone;
  });
  reader_ = std::thread([this] { ReadLoop(); });
  writer_ = std::thread([this] { WriteLoop(); });
}

SimLinkPty::~SimLinkPty() { Stop(); }

void SimLinkPty::Stop() {
  device_.Attach(nullptr);
  stop_ = true;
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
}

void SimLinkPty::Vanish() {
  Stop();
  pty_.closeMaster();
}

void SimLinkPty::StopReading() { reading_ = false; }

void SimLinkPty::ResumeReading() { reading_ = true; }

void SimLinkPty::SetIntake(uint32_t bytesPerSecond) { intake_ = bytesPerSecond; }

std::vector<uint8_t> SimLinkPty::BadFrameBytes(BadFrame kind) {
  switch (kind) {
    case BadFrame::kCrc: {
      std::vector<uint8_t> frame = PeerFrame({0x08, 0x01, 0x55});
      frame[frame.size() - 2] ^= 0x01;
      return frame;
    }
    case BadFrame::kLength: {
      std::vector<uint8_t> frame = PeerCobsEncode({0x08, 0x02, 0x55, PeerCrc8({0x08, 0x02, 0x55})});
      frame.push_back(0);
      return frame;
    }
    case BadFrame::kOverlong: {
      std::vector<uint8_t> frame(40, 0x5A);
      frame.push_back(0);
      return frame;
    }
    case BadFrame::kCodeOverrun:
      return {0x07, 0x08, 0x01, 0x55, 0x00};
    case BadFrame::kLostDelimiter: {
      std::vector<uint8_t> first = PeerFrame({0x08, 0x01, 0x55});
      first.pop_back();
      return sJoin(first, PeerFrame({0x08, 0x01, 0x66}));
    }
    case BadFrame::kOddAddress:
      return PeerFrame({0x03, 0x00});
    case BadFrame::kGarbage:
      return {0x13, 0x57, 0x9B, 0xDF, 0x24, 0x68, 0xAC, 0xF1, 0x35, 0x79, 0x00};
  }
  return {};
}

void SimLinkPty::SetPacing(uint32_t bytesPerSecond) {
  std::lock_guard<std::mutex> hold(mutex_);
  pacing_ = bytesPerSecond;
}

void SimLinkPty::SendLine(const std::vector<uint8_t>& bytes) { Queue(bytes); }

void SimLinkPty::Queue(const std::vector<uint8_t>& bytes) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    queued_ += bytes.size();
  }
  changed_.notify_all();
}

// The device speaks in packets; each whole one goes out in its own frame.
void SimLinkPty::ToLine(const uint8_t* data, size_t size) {
  std::vector<std::vector<uint8_t>> frames;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    assembling_.insert(assembling_.end(), data, data + size);
    while (assembling_.size() >= 2) {
      size_t length = assembling_[1];
      if (length > 28) {  // cannot be framed: dropped
        assembling_.clear();
        break;
      }
      if (assembling_.size() < length + 2) break;
      frames.push_back(PeerFrame(std::vector<uint8_t>(assembling_.begin(), assembling_.begin() + static_cast<long>(length) + 2)));
      assembling_.erase(assembling_.begin(), assembling_.begin() + static_cast<long>(length) + 2);
    }
  }
  for (const std::vector<uint8_t>& frame : frames) Queue(frame);
}

void SimLinkPty::ReadLoop() {
  using Clock = std::chrono::steady_clock;
  PeerDeframer deframer;
  Clock::time_point nextAt = Clock::now();  // of the next byte, while the intake is paced
  while (!stop_) {
    if (!reading_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    struct pollfd p = {pty_.master(), POLLIN, 0};
    int ready = poll(&p, 1, 10);
    if (ready <= 0) {
      nextAt = Clock::now();  // no catching up on idle time
      continue;
    }
    uint32_t intake = intake_;
    if (intake != 0) std::this_thread::sleep_until(nextAt);
    uint8_t buffer[512];
    ssize_t got = -1;
    int error = EIO;  // hung up without input: no slave is open
    if ((p.revents & POLLIN) != 0) {
      got = read(pty_.master(), buffer, intake != 0 ? 1 : sizeof buffer);
      error = errno;
    }
    if (intake != 0) nextAt = std::max(nextAt, Clock::now() - std::chrono::milliseconds(10)) +
                              std::chrono::microseconds(1000000 / intake);
    if (got <= 0) {
      if (got < 0 && (error == EAGAIN || error == EINTR)) continue;
      // No slave open: before the first byte no client has come yet; later it is gone.
      std::lock_guard<std::mutex> hold(mutex_);
      if (clientSeen_) {
        clientGone_ = true;
        changed_.notify_all();
        return;
      }
      usleep(2000);  // poll does not wait while the pty is hung up
      continue;
    }
    uint64_t now = aTime_GetMonotonicMS();
    std::vector<PeerDeframer::Frame> frames = deframer.Feed(buffer, static_cast<size_t>(got));
    {
      std::lock_guard<std::mutex> hold(mutex_);
      clientSeen_ = true;
      for (ssize_t i = 0; i < got; ++i) fromHost_.push_back({buffer[i], now});
      for (const PeerDeframer::Frame& frame : frames) refused_ += frame.good ? 0 : 1;
    }
    for (const PeerDeframer::Frame& frame : frames) {
      if (frame.good) device_.FromHost(frame.wire.data(), frame.wire.size());
    }
  }
}

void SimLinkPty::WriteLoop() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextAt = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (out_.empty()) {
      changed_.wait_for(lock, std::chrono::milliseconds(10));
      nextAt = Clock::now();
      continue;
    }
    // Paced: a few bytes at a time, on a schedule from the rate.
    uint32_t pacing = pacing_;
    size_t chunk = pacing == 0 ? out_.size() : std::min<size_t>(out_.size(), 8);
    std::vector<uint8_t> bytes(out_.begin(), out_.begin() + static_cast<long>(chunk));
    lock.unlock();
    if (pacing != 0) std::this_thread::sleep_until(nextAt);
    size_t done = 0;
    while (done < bytes.size() && !stop_) {
      ssize_t put = write(pty_.master(), bytes.data() + done, bytes.size() - done);
      if (put > 0) {
        done += static_cast<size_t>(put);
        continue;
      }
      if (put < 0 && errno != EAGAIN && errno != EINTR) break;  // no client: the bytes are lost
      struct pollfd p = {pty_.master(), POLLOUT, 0};
      poll(&p, 1, 10);
    }
    if (pacing != 0) nextAt += std::chrono::microseconds(chunk * 1000000 / pacing);
    lock.lock();
    out_.erase(out_.begin(), out_.begin() + static_cast<long>(chunk));
    written_ += chunk;
    lastWriteMs_ = aTime_GetMonotonicMS();
    changed_.notify_all();
  }
}

bool SimLinkPty::WaitSent(uint64_t ms, uint64_t* atMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t target = queued_;
  bool done = changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return written_ >= target; });
  if (done && atMs != nullptr) *atMs = lastWriteMs_;
  return done;
}

std::vector<SimLinkPty::LineByte> SimLinkPty::LineFromHost() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return fromHost_;
}

size_t SimLinkPty::RefusedFrames() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return refused_;
}

bool SimLinkPty::WaitClientGone(uint64_t ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return clientGone_; });
}

bool WaitForDevicePacket(const SimLinkDevice& device,
                         const std::function<bool(const std::vector<uint8_t>&)>& match, uint64_t ms,
                         size_t from) {
  return Eventually(
      [&] {
        std::vector<SimLinkDevice::Received> packets = device.Packets();
        for (size_t i = from; i < packets.size(); ++i) {
          if (match(packets[i].wire)) return true;
        }
        return false;
      },
      ms);
}
