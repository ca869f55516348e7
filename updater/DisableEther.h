#pragma once
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// Every workflow's Module talks to its device directly: no link server in front of the link
// and no retry on another transport of its own. aErrMode (shown as "Failed to SET network
// configuration") for a Module that is connected already.
aErr _disableEther(Tavrin::Corvantis::Module& module, UpdaterDisplayInterface& display);
