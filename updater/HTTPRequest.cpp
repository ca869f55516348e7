#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "Log.h"

namespace {

// A server that accepts and then says nothing must not hang the updater. A short reply that
// still trickles is cut by the overall limit; an image that still moves never is.
std::atomic<long> sConnectTimeoutMs{30000};
std::atomic<long> sLowSpeedSeconds{60};
std::atomic<long> sOverallSeconds{60};

// What the write callback is given: where the body goes and how much of it may come.
struct Receiver {
  HTTPResponse* response;
  size_t maxBody;
};

struct CurlEasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

}  // namespace

static size_t _rcv_data(char* data, size_t size, size_t count, void* user) {
  auto* receiver = static_cast<Receiver*>(user);
  HTTPResponse* response = receiver->response;
  size_t total = size * count;
  // The chunk is not terminated: print at most its own bytes.
  int shown = static_cast<int>(std::min<size_t>(total, 100));
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(response) & 0xFFFFFFFFu),
           shown, data);
  if (total > receiver->maxBody - response->get_response_size()) {
    // Anything but the count taken ends the transfer with curl's write error.
    Log::log(DEBUG_ServerComm, "rcv_data refuses a body over %zu bytes\n", receiver->maxBody);
    return 0;
  }
  response->process(data, total);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
  return total;
}

void HTTPRequest::SetTimeLimits(long connectMs, long lowSpeedSeconds, long overallSeconds) {
  sConnectTimeoutMs = connectMs;
  sLowSpeedSeconds = lowSpeedSeconds;
  sOverallSeconds = overallSeconds;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& query, HTTPLimits limits) {
  std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());

  std::string full = url ? url : "";
  if (!query.empty()) full += "?";
  for (const auto& [key, value] : query) full += key + "=" + value + "&";
  HTTPResponse response(full.c_str());

  if (!curl) throw std::runtime_error("Could not create curl instance");

  CURL* h = curl.get();
  Receiver receiver = {&response, limits.maxBody};
  CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, _rcv_data);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &receiver);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, full.c_str());
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, sConnectTimeoutMs.load());
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, sLowSpeedSeconds.load());
  if (rc == CURLE_OK && limits.overallLimit) rc = curl_easy_setopt(h, CURLOPT_TIMEOUT, sOverallSeconds.load());
  // Time-outs must not raise SIGALRM: GetBuild runs on a worker thread.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);

  long status = 0;
  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", full.c_str());
    rc = curl_easy_perform(h);
  }
  if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));

  response.set_status(status);
  return response;
}
