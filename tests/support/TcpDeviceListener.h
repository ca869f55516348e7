#pragma once
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// What a TcpDeviceListener serves: a device at the byte level, free of the transport. It may
// keep its state across connections.
class TcpDeviceSide {
 public:
  // Sends bytes to the host on the current connection; false when there is none or the
  // send failed. Safe from any thread, bounded (1 s).
  using Sender = std::function<bool(const uint8_t* data, size_t length)>;

  virtual ~TcpDeviceSide() = default;
  // The listener hands over its send path while it lives, and an empty one when it goes.
  virtual void Attach(Sender send) = 0;
  // A new connection, numbered from 1; on the listener's thread.
  virtual void OnConnect(size_t connection) { (void)connection; }
  // The bytes of one receive, on the listener's thread.
  virtual void OnBytes(const uint8_t* data, size_t length) = 0;
};

// A device's TCP end on 127.0.0.1 (port 0 unless asked): accepts on its own thread and serves one
// connection at a time to its device side (later connects wait in the backlog). Every action
// runs on that thread before the call returns, and every wait is bounded.
class TcpDeviceListener {
 public:
  struct Options {
    // The port to listen on; 0 takes a free one.
    uint16_t port = 0;
    // SO_RCVBUF set before listen (0: the system's), so that a peer that stops reading lets
    // the client's buffers fill soon.
    int receiveBuffer = 0;
    // Listens with backlog 0 and fills it with a connection of its own that it never
    // accepts: later connects stay pending until the client gives up.
    bool fullBacklog = false;
  };
  // How a connection ended.
  enum End { kOpen, kPeerClosed, kPeerReset, kClosedHere, kResetHere };

  explicit TcpDeviceListener(TcpDeviceSide* device);
  TcpDeviceListener(TcpDeviceSide* device, Options options);
  ~TcpDeviceListener();
  TcpDeviceListener(const TcpDeviceListener&) = delete;
  TcpDeviceListener& operator=(const TcpDeviceListener&) = delete;

  uint16_t port() const { return port_; }
  // 127.0.0.1 in network byte order, as the socket stream takes it.
  static uint32_t address() { return htonl(INADDR_LOOPBACK); }

  size_t accepts() const { return accepts_; }
  bool connected() const;
  // The end of connection n (from 1); kOpen also for one not yet made.
  End end(size_t connection) const;

  // The device side's send path.
  bool Send(const uint8_t* data, size_t length);

  // Ends the connection with a FIN (close) or a reset (SO_LINGER 0, then close).
  void CloseConnection();
  void ResetConnection();
  // Closes the listening socket (a connection stays), and listens again on the same port.
  void StopListening();
  bool ListenAgain();
  // While stopped, nothing is read from the connection.
  void StopReading();
  void ResumeReading();

  // Bytes waiting unread on the connection (0 with none).
  size_t Unread();

  // True once `n` connections were accepted, false after `ms`.
  bool WaitForAccepts(size_t n, uint64_t ms) const;
  // True once no connection is open, false after `ms`.
  bool WaitUntilIdle(uint64_t ms) const;
  // True once connection n has ended, false after `ms`.
  bool WaitForEnd(size_t connection, uint64_t ms) const;

 private:
  bool Listen();
  void Serve();
  void Run(std::function<void()> action);
  void RunPending();
  void Accept();
  void ReadConnection();
  void EndConnection(End how);

  TcpDeviceSide* device_;
  Options options_;
  int listenFd_ = -1;
  int fillerFd_ = -1;
  int wakeFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> reading_{true};
  std::atomic<size_t> accepts_{0};

  // Guards connFd_ and ends_; the listener's thread alone changes them.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int connFd_ = -1;
  std::vector<End> ends_;  // per connection, from index 0 for connection 1

  std::mutex actionMutex_;
  std::condition_variable actionDone_;
  std::deque<std::function<void()>> actions_;
  uint64_t actionsQueued_ = 0;
  uint64_t actionsDone_ = 0;

  std::thread thread_;
};
