#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "aError.h"
#include "SimDeviceProfile.h"
#include "SimLinkScript.h"
#include "SimReply.h"
#include "SimStreamEmitter.h"
#include "aPacket.h"

class SimNetwork;

// The simulated device at link level, free of any transport: a transport adapter hands it the
// host's bytes (FromHost) and carries its bytes back (the ToHost it attached). It parses the
// host's bytes with the packet parser, records what arrives, answers the handshake, echoes
// and sends heartbeats and garbage on demand. Timed output (late answers, bytes with gaps)
// goes out on the device's own thread; immediate answers go out from FromHost. Every wait is
// bounded. Once its module network (SimNetwork.h) has tables, the network answers every packet
// that is not link level, in place of the echo. When the firmware-upgrade entity starts the
// loader or reboots, the device can change its profile and drop its link through its transport,
// and come back after a time or when a workflow pauses (TriggerReturn).
class SimLinkDevice {
 public:
  // Sends the device's bytes towards the host; its result is ignored.
  using ToHost = std::function<aErr(const uint8_t* data, size_t size)>;

  // How the device answers one AD 00.
  enum class SyncAnswer {
    kRight,         // A 00
    kWrongAddress,  // A 00 B 00, B = A + 2
    kOddFirst,      // (A + 1) 00
    kZeroFirst,     // 00 00
    kNever,         // nothing
    kLate,          // A 00 after the mode's ms
    kByteByByte,    // A, then 00 after the mode's ms
  };
  enum class HeartbeatResult { kAnswered, kMissing, kWrong };

  // How the device's transport ends its link and brings it back (SimTransports.h for USB and
  // TCP). Called on the device's own thread (TriggerReturn: on its caller's), never from FromHost.
  struct Transport {
    std::function<void()> drop;   // the link goes: USB unplug or removal, TCP reset with the listener closed
    std::function<void()> close;  // a clean end, where the transport has one (a TCP FIN)
    std::function<void(bool placeholder)> comeBack;  // back under its serial, or as 0xDEADDEAD
  };
  // What the device does when its loader starts (LOAD), it restarts (REBOOT) or its system
  // entity's reset is called.
  struct PhaseChange {
    enum class LinkEnd { kStay, kDrop, kClose };
    enum class Return { kNever, kAfterMs, kOnTrigger };
    LinkEnd link = LinkEnd::kStay;
    Return back = Return::kNever;
    uint32_t ms = 0;           // kAfterMs
    bool placeholder = false;  // back as 0xDEADDEAD
    std::optional<SimDeviceProfile> becomes;  // the device's own module's profile from then on
    // Answers the first AF 01 01 after coming back with [95, 2]. A TCP link takes it; a USB
    // link's handshake, which comes after its AF 01 01, does not let it through.
    bool greet = false;
    // Links made after coming back that it drops again at once (at their AF 01 01, answering
    // nothing), each time waiting for the next trigger.
    int dropsOnReturn = 0;
    // Runs on the device's thread once the link has ended (a chip falling back to its boot ROM).
    std::function<void()> after;
  };

  struct Received {
    std::vector<uint8_t> wire;
    uint64_t atMs;  // aTime_GetMonotonicMS when parsed
    uint64_t atUs;  // the steady clock's microseconds then, for spans too short for milliseconds
  };

  explicit SimLinkDevice(uint8_t address = 0x08);
  ~SimLinkDevice();
  SimLinkDevice(const SimLinkDevice&) = delete;
  SimLinkDevice& operator=(const SimLinkDevice&) = delete;

  uint8_t address() const { return address_; }
  // The modules behind the device; its own address is the routing module.
  SimNetwork& Network() const { return *network_; }
  // Stream samples from the device's modules, on a thread of its own; a sample goes out while
  // its module's stream control streams its key (SimNetwork::Streams). Silence holds them too.
  SimStreamEmitter& Samples() const { return *samples_; }

  // The adapter's side. Attach with an empty function detaches: once it returns, the old
  // function is never called again. FromHost takes any number of bytes, from one thread.
  void Attach(ToHost toHost);
  void FromHost(const uint8_t* data, size_t size);

  // Answers to AD 00: the modes in turn, the last one for every later answer. ms is the
  // delay of kLate and the gap of kByteByByte. The count of answers restarts at 0.
  void SetSyncAnswers(std::vector<SyncAnswer> modes, uint32_t ms = 0);
  // Answers to AD 00 by link instead: every AD 00 of the n-th link (links counted at their
  // AF 01 01) gets modes[n - 1], of later links the last mode. Empty: back to SetSyncAnswers.
  void SetSyncAnswersByLink(std::vector<SyncAnswer> modes);
  // Echo: every packet that is not link level (AD, AF, a heartbeat answer) goes back as it came.
  void SetEcho(bool on);
  // Silence: the device sends nothing at all (answers, echoes, queued output) until switched
  // back; what it receives is still recorded.
  void SetSilent(bool on);
  // Answers by table (SimLinkScript.h) before the module network and the echo; an empty
  // script answers nothing.
  void SetScript(SimLinkScript script);
  // Packets are counted either way; off keeps no record of them, nor of the module network's
  // replies (long benchmarks).
  void SetRecording(bool on);

  // A heartbeat A 02 00 00 every everyMs on the device's own thread (0: none), answered or
  // not; a link server's stream batches go out at each one.
  void SetHeartbeats(uint32_t everyMs);
  void SetTransport(Transport transport);
  void SetOnLoad(PhaseChange change);
  void SetOnReboot(PhaseChange change);
  void SetOnReset(PhaseChange change);
  // A workflow's pause: brings back, on the caller's thread, a device that waits for it. False
  // when none waits.
  bool TriggerReturn();
  size_t Drops() const;
  size_t Returns() const;
  // True once the device's output (late replies, changes of phase, immediate answers) is all
  // written to its transport, false after ms.
  bool WaitForOutputIdle(uint64_t ms) const;

  // Raw bytes towards the host, in one piece, or one byte at a time gapMs apart.
  void SendRaw(const std::vector<uint8_t>& bytes, uint32_t gapMs = 0);
  // Sends the heartbeat A 02 00 v and waits up to withinMs for A 02 00 (v + 2); the answer
  // that came back, if any, goes to *answer.
  HeartbeatResult Heartbeat(uint8_t v, uint64_t withinMs, std::vector<uint8_t>* answer = nullptr);

  // Every packet received, in order (while recording).
  std::vector<Received> Packets() const;
  // The AF packets received (route on AF 01 01, off AF 01 00), in order.
  std::vector<std::vector<uint8_t>> RoutePackets() const;
  size_t PacketCount() const;
  size_t SyncCount() const;
  // Bounded waits for counts to reach n; true when they did.
  bool WaitForPackets(size_t n, uint64_t ms) const;
  bool WaitForSyncCount(size_t n, uint64_t ms) const;
  bool WaitForRoutes(size_t n, uint64_t ms) const;

 private:
  // What the device's thread does besides sending bytes.
  enum class Action : uint8_t { kNone, kEvent, kComeBack, kDropAgain };
  struct Out {
    uint64_t dueMs;
    std::vector<uint8_t> bytes;
    uint32_t gapMs;  // > 0: one byte now, the rest gapMs later
    Action action = Action::kNone;
    SimDeviceEvent event = SimDeviceEvent::kNone;
    uint8_t from = 0;  // the module whose event it is
  };

  void HandlePacketLocked(const aPacket* packet, std::vector<Out>* out);
  void AnswerSyncLocked(std::vector<Out>* out);
  // Sends or queues; takes sendMutex_ then mutex_.
  void Emit(std::vector<Out> out);
  void Run();
  // On the device's thread, with no lock held.
  void RunAction(const Out& item);
  void ComeBack();
  void HandleRouteLocked(const aPacket* packet, std::vector<Out>* out);
  bool WaitFor(const std::function<bool()>& done, uint64_t ms) const;

  const uint8_t address_;
  aPacket* parse_;
  std::unique_ptr<SimNetwork> network_;
  std::unique_ptr<SimStreamEmitter> samples_;

  // Lock order: sendMutex_ before mutex_.
  std::mutex sendMutex_;  // ToHost calls, and the choice between sending now and queueing
  ToHost toHost_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;  // counts and records, for the waits
  std::condition_variable work_;             // the queue and stop, for the device's thread
  std::vector<Received> packets_;
  std::vector<std::vector<uint8_t>> routes_;
  size_t packetCount_ = 0;
  size_t syncCount_ = 0;
  std::vector<SyncAnswer> syncModes_{SyncAnswer::kRight};
  uint32_t syncMs_ = 0;
  size_t syncAnswers_ = 0;
  bool echo_ = false;
  SimLinkScript script_;
  bool silent_ = false;
  bool recording_ = true;
  bool hbPending_ = false;
  std::vector<uint8_t> hbAnswer_;
  std::deque<Out> queue_;
  // Sends and actions taken off the queue (or sent straight from Emit) whose toHost_ call or
  // action has not returned yet.
  size_t inFlight_ = 0;
  uint32_t heartbeatMs_ = 0;
  uint64_t nextHeartbeatMs_ = 0;
  Transport transport_;
  PhaseChange onLoad_;
  PhaseChange onReboot_;
  PhaseChange onReset_;
  std::vector<SyncAnswer> linkSyncModes_;
  size_t linksStarted_ = 0;
  bool dropped_ = false;       // the link is down: nothing goes out
  bool returnArmed_ = false;   // waits for TriggerReturn
  bool returnPlaceholder_ = false;
  bool cameBack_ = false;
  bool greetPending_ = false;
  int dropsOnReturn_ = 0;
  size_t drops_ = 0;
  size_t returns_ = 0;
  bool stop_ = false;
  std::thread thread_;
};
