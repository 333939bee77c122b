#include "framework/tl_snappy.h"

#include <snappy-c.h>

namespace {

int MapStatus(snappy_status s) {
    switch (s) {
    case SNAPPY_OK:
        return 0;
    case SNAPPY_INVALID_INPUT:
        return -1;
    case SNAPPY_BUFFER_TOO_SMALL:
        return -2;
    }
    return -1;
}

}  // namespace

int TL_SnappyGetUncompressedLength(const void* src, size_t len, size_t* outLen) {
    if (src == nullptr || outLen == nullptr) return -1;
    size_t n = 0;
    int rc = MapStatus(snappy_uncompressed_length(static_cast<const char*>(src), len, &n));
    if (rc != 0) return -1;
    *outLen = n;
    return 0;
}

int TL_SnappyUncompress(const void* src, size_t len, void* out, size_t* outLen) {
    if (src == nullptr || outLen == nullptr) return -1;
    size_t need = 0;
    if (TL_SnappyGetUncompressedLength(src, len, &need) != 0) return -1;
    if (need > *outLen) return -2;
    if (need > 0 && out == nullptr) return -2;
    size_t n = *outLen;
    int rc = MapStatus(snappy_uncompress(static_cast<const char*>(src), len, static_cast<char*>(out), &n));
    if (rc != 0) return -1;
    *outLen = n;
    return 0;
}
