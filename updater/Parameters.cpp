#include "Parameters.h"

int _validate_params(Parameters*) { return 0; }

int _release_params(Parameters*) { return 0; }
