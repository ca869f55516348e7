#include "CurlGlobal.h"

#include <curl/curl.h>

#include <cstdlib>
#include <initializer_list>

namespace {

struct CurlGlobal {
  CurlGlobal() {
    ClearProxyEnvironment();
    curl_global_init(CURL_GLOBAL_DEFAULT);
  }
  ~CurlGlobal() { curl_global_cleanup(); }
};

CurlGlobal sCurlGlobal;

}  // namespace

void RequireCurlGlobal() {}

void ClearProxyEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"})
    unsetenv(name);
}
