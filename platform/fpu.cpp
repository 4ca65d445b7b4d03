#include "platform/fpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace krel::platform {

void maskFloatingPointExceptions()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(_mm_getcsr() | 0x1F80);  // MXCSR bits 7..12: IM DM ZM OM UM PM
    unsigned short cw;
    __asm__ __volatile__("fnstcw %0" : "=m"(cw));
    cw |= 0x3F;  // x87 IM DM ZM OM UM PM
    __asm__ __volatile__("fldcw %0" : : "m"(cw));
#endif
}

}  // namespace krel::platform
