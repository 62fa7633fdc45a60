// Element-wise power of the signal-primitives library (row of SpLevelTable1).
// IRQL <= DISPATCH_LEVEL; changes the calling thread's SSE control word only for the call.
#pragma once

#include "driver/primitives/dispatch/sp_status.h"

// dst[i] = src1[i] ^ src2[i], within one ulp of the exact power. SpWarnDomain when an element
// lay outside the domain (zero to a negative power, a negative base to a non-integer power);
// such elements also raise the invalid-operation flag. The caller's rounding mode, flush-to-zero,
// denormals-are-zero and exception masks are restored on return; flags raised by the call stay.
SpStatus SpPowF32(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpPowF32_L0(const float* src1, const float* src2, float* dst, int32_t len);
