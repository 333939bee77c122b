// Block decoders of quote-file data: each turns one stored block into
// records x record-size bytes of native records.
//
// Codes: -1 bad input, -2 destination too small, -3 unknown kind, -5 corrupt or
// inconsistent block. No decoder reads outside [block, block + avail) or
// writes outside [dst, dst + cap).
//
// On success a decoder writes every byte of the record area [dst, dst +
// records x record size), absent fields and bytes that no column covers
// included (with the kind's no-value or fill bytes). Callers hand it
// unzeroed blocks on that promise (filled with a pattern in the builds tests
// run, so that a byte left out shows up). On failure the area's content is
// undefined.
#pragma once

#include <cstdint>
#include <vector>

#include "quote/qf_format.h"

// Block kinds.
constexpr uint32_t QF_BLOCK_RAW = 0;
constexpr uint32_t QF_BLOCK_TRANSPOSE = 1;
constexpr uint32_t QF_BLOCK_RLE_TRANSPOSE = 2;
constexpr uint32_t QF_BLOCK_CODED = 3;
constexpr uint32_t QF_BLOCK_DELTA7 = 5;
constexpr uint32_t QF_BLOCK_DELTA = 6;
constexpr uint32_t QF_BLOCK_SNAPPY = 0x10;

// Decodes a block of `kind`. `avail` is the number of block bytes the caller
// vouches for (never more than the image holds). `dst` may overlap `block`.
int QF_DecodeBlock(uint32_t kind, const uint8_t* block, int64_t avail, const QfWorkTable& table, uint8_t* dst,
                   uint64_t cap);

// The shape checks that a decoder of `kind` makes before it allocates: the
// block's stated lengths against `avail` and against the records it must
// yield. 0, or the decoder's -5 when the block cannot carry the records.
// Kinds whose size is fixed by the records (0, 1) or that have no checks of
// their own give 0.
int QF_CheckBlockShape(uint32_t kind, const uint8_t* block, int64_t avail, uint64_t records, uint64_t recordSize,
                       uint64_t columns);

// Makes the snappy-coded column decoder use its one-integer-at-a-time reader
// even where the processor offers the four-at-a-time one, so tests can run
// both readers on one machine. Returns the previous setting.
bool QF_ForceScalarIntegers(bool force);

// The system's run-length decoder: a big-endian u32 output length N, then the
// token stream. N above `maxOut` is refused before anything is allocated.
// Returns 0 with *out holding exactly N bytes, or -5 (corrupt or truncated).
int QF_RleDecode(const uint8_t* in, uint64_t len, uint64_t maxOut, std::vector<uint8_t>* out);

// Bit-plane transpose of records x size source bytes into dst: bit k of byte
// j of record r is source bit (8j + k) x records + r, least significant first.
void QF_Untranspose(const uint8_t* src, uint32_t records, uint32_t size, uint8_t* dst);

// Caps the records the transpose handles side by side at 64 x `lanes` (1, 2,
// 4 or 8; 4 only where the processor has AVX2, 8 where it has AVX-512), so
// tests can run every width on one machine. Returns the previous cap.
unsigned QF_LimitTransposeLanes(unsigned lanes);
