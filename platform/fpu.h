// Floating-point exception masks of the processor.
#pragma once

namespace krel::platform {

// Masks all six exceptions (invalid, denormal, divide by zero, overflow,
// underflow, inexact) in both the SSE and the x87 control words, so faults in
// analysis code give infinities and NaNs instead of traps.
void maskFloatingPointExceptions();

}  // namespace krel::platform
