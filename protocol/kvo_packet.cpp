#include "protocol/kvo_packet.h"

#include <cstring>

#include "framework/tl_buffer.h"

void KvoWriteHeader(uint8_t* out, uint16_t type, uint32_t bodyLen, uint8_t flags) {
    KvoWriteU32(out, KVO_PACK_MAGIC);
    KvoWriteU32(out + 4, bodyLen + KVO_PACK_HEADER_SIZE);
    KvoWriteU16(out + 8, type);
    out[10] = flags;
}

uint32_t KvoCheckFrame(const void* data, size_t len, const KvoPackHeader** header) {
    if (header) *header = nullptr;
    if (!data) return KVO_FRAME_E_ARGUMENT;
    if (len < KVO_PACK_HEADER_SIZE) return KVO_FRAME_E_TRUNCATED;
    const KvoPackHeader* h = KvoPackHeader::At(data);
    if (!h->HasMagic()) return KVO_FRAME_E_BAD_MAGIC;
    if (!h->HasValidLength()) return KVO_FRAME_E_BAD_LENGTH;
    uint64_t total = h->GetTotalLength();
    if (total > len) return KVO_FRAME_E_TRUNCATED;
    if (total < len) return KVO_FRAME_E_BAD_LENGTH;
    if (header) *header = h;
    return KVO_FRAME_OK;
}

uint32_t BuildKvoFrame(uint16_t type, const void* body, uint32_t len, corvane::CTLSmartBuffer& out) {
    if (!body && len > 0) return KVO_FRAME_E_ARGUMENT;
    uint64_t total = uint64_t(len) + KVO_PACK_HEADER_SIZE;
    if (len > KVO_PACK_MAX_BODY || uint64_t(out.GetLength()) + total > 0xFFFFFFFFull) return KVO_FRAME_E_TOO_LARGE;
    // A body taken from the buffer itself moves when the buffer grows.
    uint32_t used = 0;
    const char* data = out.GetData(&used);
    const char* src = static_cast<const char*>(body);
    int64_t inside = (src && data && src >= data && src < data + used) ? src - data : -1;
    char* dest = out.Extend(static_cast<uint32_t>(total));
    if (!dest) return KVO_FRAME_E_NO_MEMORY;
    if (inside >= 0) src = out.GetData() + inside;
    KvoWriteHeader(reinterpret_cast<uint8_t*>(dest), type, len);
    if (len > 0) std::memcpy(dest + KVO_PACK_HEADER_SIZE, src, len);
    return KVO_FRAME_OK;
}
