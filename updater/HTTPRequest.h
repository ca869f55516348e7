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

// One blocking GET per call, each with its own curl handle. The process must have called
// curl_global_init before the first call and before any second thread exists.
class HTTPRequest {
 public:
  // The URL, "?" and every pair as key=value&, in key order, unescaped. Any transport
  // failure (refused, TLS, time-out, empty or partial reply) throws std::runtime_error with
  // curl's description; a non-200 status does not throw.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& query);

  // For tests only: the connect limit and the seconds below 1 byte/s after which a transfer
  // is abandoned. The application keeps 30000 ms and 60 s.
  static void SetTimeLimits(long connectMs, long lowSpeedSeconds);
};
