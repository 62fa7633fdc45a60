// Checked and unchecked byte and word fills and copies of the signal-primitives library: the
// kernels under the zero, copy and set operations. Resident; callable at any IRQL.
#pragma once

#include "sp_status.h"

// SpErrNullPointer for a null buffer (checked first), SpErrBadLength for a count below 1,
// else zeroes byteCount bytes.
SpStatus SpZeroBuffer(void* buffer, int32_t byteCount);

// Unchecked: zeroes byteCount bytes (nothing for a count below 1). Returns buffer. The level
// builds' copies (any alignment, 16-byte stores once aligned) stand under their SpZeroBuffer.
void* SpZeroBytes(void* buffer, int32_t byteCount);
void* SpZeroBytes_L1(void* buffer, int32_t byteCount);
void* SpZeroBytes_L2(void* buffer, int32_t byteCount);
void* SpZeroBytes_L3(void* buffer, int32_t byteCount);

// Unchecked forward copy of byteCount bytes (nothing for a count below 1). Returns dst. The
// buffers are not meant to overlap; if they do, the bytes still arrive as src held them.
void* SpCopyBytes(const void* src, void* dst, int32_t byteCount);

// SpErrNullPointer, SpErrBadLength, else every 32-bit element of dst becomes value.
SpStatus SpSetI32(int32_t value, int32_t* dst, int32_t len);

// Unchecked: stores the 32-bit pattern `bits` into len words at dst (nothing for len below 1).
// Used for floats too, so NaN payloads and signed zeros arrive exactly.
void SpFill32(uint32_t bits, void* dst, int32_t len);
