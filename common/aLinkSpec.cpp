#include "aLinkSpec.h"

#include <cstdlib>
#include <cstring>

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
  if (spec != nullptr) spec->type = static_cast<uint32_t>(type);
  return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
  if (spec == nullptr) return nullptr;
  linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
  if (copy != nullptr) memcpy(copy, spec, sizeof(linkSpec));
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (spec == nullptr || *spec == nullptr) return aErrParam;
  free(*spec);
  *spec = nullptr;
  return aErrNone;
}
