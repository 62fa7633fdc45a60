// Element-wise power of the signal-primitives library (row of SpLevelTable1).
// IRQL <= DISPATCH_LEVEL; changes the calling thread's SSE control word only for the call.
#pragma once

#include "driver/primitives/dispatch/sp_status.h"

// dst[i] = src1[i] ^ src2[i], within one ulp of the exact power. SpWarnDomain when an element
// lay outside the domain (zero to a negative power, a negative base to a non-integer power);
// such elements also raise the invalid-operation flag. Every level gives the same bits and status.
// The call runs with round-to-nearest and without flush-to-zero or denormals-are-zero. Level 0
// restores the caller's rounding mode, flush-to-zero, denormals-are-zero and exception masks on
// return and keeps the flags the call raised. Levels 1-3, when the caller's word had any of those
// three set, write it back exactly as it was read on entry, so the flags raised during the call
// (the invalid flag of a domain element too) do not show; otherwise they leave the word alone
// and the raised flags stay, as at level 0.
SpStatus SpPowF32(const float* src1, const float* src2, float* dst, int32_t len);
SpStatus SpPowF32_L0(const float* src1, const float* src2, float* dst, int32_t len);

// Routines of the level-1 to level-3 builds. The special-lane routine computes dst[index] from
// src1[index] and src2[index] by the generic rules, for ordinary and special operands alike; a
// domain element stores SpWarnDomain through pStatus and raises the invalid-operation flag. The
// exception raiser performs, in double precision, the operation that raises one exception:
// code 19 invalid (0/0), 18 divide by zero (1/0), 12 overflow, 17 underflow; other codes nothing.
#define SP_POW_LEVEL_DECLARE(L)                                                                              \
    void SpPowSpecialLanes_##L(const float* src1, const float* src2, float* dst, int32_t index,              \
                               SpStatus* pStatus);                                                           \
    void SpRaiseFpException_##L(int32_t code);
SP_POW_LEVEL_DECLARE(L1)
SP_POW_LEVEL_DECLARE(L2)
SP_POW_LEVEL_DECLARE(L3)
#undef SP_POW_LEVEL_DECLARE
