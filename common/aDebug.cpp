#include "aDebug.h"

bool aCorvantisDebuggingEnable = false;
uint32_t aCorvantisDebuggingLevel = 0;
