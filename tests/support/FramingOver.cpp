#include "FramingOver.h"

#include "aStream_CobsEncoding.h"

aErr CreateFramingOver(aStream* inner, aStream** out) {
  aErr err = aStream_CreateCobsEncoding(inner->get, inner->put, inner->write, inner->deleteProc, inner->ref, out,
                                        inner->wait);
  if (err == aErrNone) {
    inner->deleteProc = nullptr;  // the framing owns the state now
    inner->ref = nullptr;
  }
  aStream_Destroy(&inner);
  return err;
}
