// Thin calls into the snappy library for the compressed quote-data blocks.
#pragma once

#include <cstddef>

// Decompresses `len` bytes into `out`, whose size is *outLen. Returns 0 and
// sets *outLen to the uncompressed length, -1 for invalid input, -2 when the
// output is too small (nothing is written then).
int TL_SnappyUncompress(const void* src, size_t len, void* out, size_t* outLen);
// Reads only the uncompressed length: 0, or -1 for invalid input.
int TL_SnappyGetUncompressedLength(const void* src, size_t len, size_t* outLen);
