#pragma once
#include <map>
#include <string>

// One finished update-server request: the URL as sent, the HTTP status and the body.
class HTTPResponse {
 public:
  explicit HTTPResponse(const char* url) : request(url ? url : ""), status(0) {}

  void set_status(long code) { status = code; }
  // Appends the bytes, in arrival order.
  void process(const char* data, size_t length) { response.append(data, length); }

  // The body as a writable, zero-terminated text.
  char* get_response() { return response.data(); }
  size_t get_response_size() const { return response.size(); }
  long get_status() const { return status; }
  const char* get_request() const { return request.c_str(); }

 private:
  std::string request;
  long status;
  std::string response;
};

// What one request may cost, so that no server (or anyone between it and us) can exhaust
// memory or hold the updater for ever. A body of more than maxBody bytes is refused: curl ends
// the transfer with its write error. With overallLimit the request must end within the overall
// time limit; without it only the stall rule applies, for replies that may take long on a slow
// line but still move.
struct HTTPLimits {
  size_t maxBody;
  bool overallLimit;
};

// One blocking GET per call, each with its own curl handle. The process must have called
// curl_global_init before the first call and before any second thread exists.
class HTTPRequest {
 public:
  // A short reply (hi, qu, builds, fix): 1 MiB holds tens of thousands of build lines.
  static constexpr HTTPLimits SMALL_REPLY = {size_t{1} << 20, true};

  // The URL, "?" and every pair as key=value&, in key order, unescaped. Any transport
  // failure (refused, TLS, time-out, empty, partial or refused reply) throws
  // std::runtime_error with curl's description; a non-200 status does not throw.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query,
                          HTTPLimits limits = SMALL_REPLY);

  // For tests only: the connect limit, the seconds below 1 byte/s after which a transfer is
  // abandoned, and the overall limit of requests that have one. The application keeps
  // 30000 ms, 60 s and 60 s.
  static void SetTimeLimits(long connectMs, long lowSpeedSeconds, long overallSeconds);
};
