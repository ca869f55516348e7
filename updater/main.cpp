#include <curl/curl.h>

#include <string>

#include "BuildPath.h"
#include "CLI_Display.h"
#include "Dispatch.h"
#include "Listings.h"
#include "Log.h"
#include "Options.h"
#include "Parameters.h"
#include "Updater.h"
#include "Usage.h"
#include "aDirectory.h"

namespace {

// The store directory: -i, else .tavrin in the home directory; "updater" inside it, made if
// needed. Returns 0, or 1 after reporting why there is none.
int sPrepareStore(Parameters& params, UpdaterDisplayInterface& display, std::string* store) {
  if (params.storageDirectory.empty()) {
    char home[2048];
    aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      return 1;
    }
    params.storageDirectory = BuildPath(home, ".tavrin", nullptr);
  }
  *store = BuildPath(params.storageDirectory.c_str(), "updater", nullptr);
  if (aDirectory_Ensure(store->c_str(), 0755) != aErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s", store->c_str());
    return 1;
  }
  return 0;
}

// curl's global set-up is not thread-safe: it must run before the download worker exists.
struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
};

// One pass: the options, then the commands. Returns the exit status.
int sRun(int argc, char** argv, Parameters& params, CLI_Display& display) {
  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_banner(display);
    _display_usage(false, false);
    _release_params(&params);
    return 1;
  }
  _display_app_version(display);
  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY)) {
    _display_banner(display);
    _display_usage(params.logMaskGiven, params.help);
    _release_params(&params);
    return 0;
  }

  std::string store;
  if (sPrepareStore(params, display, &store) != 0) return 1;
  Updater updater(params.serverUrl.c_str(), store.c_str(), display);
  return _run_commands(params, updater, display);
}

}  // namespace

int main(int argc, char** argv) {
  CurlGlobal curl;
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);
  return _run_guarded(display, [&] { return sRun(argc, argv, params, display); });
}
