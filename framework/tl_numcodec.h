// Decoders of the numbers stored in quote files: packed decimal numbers,
// the system's variable-length integers and 7-bit packed texts.
#pragma once

#include <cstddef>
#include <cstdint>

// Packed 32-bit number: magnitude bits 0-26, sign bit 27, power of ten bits
// 28-30, bit 31 set to divide by the power. 0x80000000 and 0xFFFFFFFF carry
// no value and read as -0.0.
double TL_UnpackDouble32(const void* packed);
// Packed 64-bit number: magnitude bits 0-57, sign bit 58, power of ten bits
// 59-62, bit 63 divide. 0x8000000000000000 and all ones read as -0.0.
double TL_UnpackDouble64(const void* packed);
// The packed 64-bit number as an integer; a dividing value is rounded half up.
// No value (and a product that does not fit 63 bits) gives INT64_MIN.
int64_t TL_UnpackInt64(const void* packed);

// The variable-length integers: 7-bit groups, most significant first, every
// byte but the last has bit 7 clear, the last has it set. The signed forms
// start from all ones when bit 6 of the first byte is set. Each returns the
// bytes used, or -1 when the input runs out or no end byte comes within 5
// (10 for 64-bit) bytes. Nothing past `avail` is read.
int TL_DecodeVarInt32(const void* in, int64_t avail, int32_t* out);
int TL_DecodeVarUInt32(const void* in, int64_t avail, uint32_t* out);
int TL_DecodeVarInt64(const void* in, int64_t avail, int64_t* out);
int TL_DecodeVarUInt64(const void* in, int64_t avail, uint64_t* out);

// Unpacks 7-bit groups (least significant group first, into output bytes from
// their low bits upward) until the input byte with bit 7 set, which is used
// too. Output beyond outSize is dropped but the input is still consumed up to
// the end byte, so the caller's cursor stays in step. *outLen receives the
// output length without trailing zero bytes, at least 1 when outSize > 0.
// Returns the input bytes used.
int TL_Unpack7Bit(void* out, int outSize, const void* in, int inSize, int* outLen);
