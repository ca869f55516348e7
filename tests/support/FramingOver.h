#pragma once
#include "aStream.h"

// Moves the kind of `inner` (its procedures and state) under a new COBS framing stream and
// frees the emptied `inner` record. On failure inner is destroyed as a whole. The framing's
// result.
aErr CreateFramingOver(aStream* inner, aStream** out);
