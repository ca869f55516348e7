#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A bare TCP listener on 127.0.0.1 for the failures an HTTP server library cannot stage.
//   CloseWithoutReply: reads each request, records its target, and closes before any reply
//                      byte (curl: "Server returned nothing (no headers, no data)").
//   NeverAccept:       listens with backlog 0 and fills that backlog with a connection of its
//                      own that it never accepts, so a further connect never completes.
class RawListener {
 public:
  enum Mode { CloseWithoutReply, NeverAccept };

  explicit RawListener(Mode mode);
  ~RawListener();
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:P/cgi/u"
  std::string url() const;
  // The request targets read so far, in order.
  std::vector<std::string> targets() const;

 private:
  void Serve();

  int listenFd_ = -1;
  int fillerFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
};
