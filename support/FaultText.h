// Per-thread last error code and the table of error texts.
#pragma once

#include "nivex.h"

namespace nivex {

// The kit's own entry points to the calling thread's last error.
int _GetLastError();
void _SetLastError(unsigned int code);
void _ClearLastError();
// Writes the message text of code (NUL-terminated, at most 44 bytes) into text.
void _GetFaultText(unsigned int code, char* text);

// The message text of code; "Unknow error code!" for a code without a text.
const char* FaultText(unsigned int code);

// Sets code as the calling thread's last error and gives 0: how a failing operation ends.
inline int Fail(unsigned int code) {
  _SetLastError(code);
  return 0;
}

}  // namespace nivex
