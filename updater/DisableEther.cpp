#include "DisableEther.h"

#include "aOrvexConfig.h"

aErr _disableEther(Tavrin::Corvantis::Module& module, UpdaterDisplayInterface& display) {
  Tavrin::Corvantis::aOrvexConfig config;
  config.enabled = false;
  config.fallback = false;
  aErr err = module.setConfig(config);
  if (err != aErrNone) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", "Failed to SET network configuration");
  return err;
}
