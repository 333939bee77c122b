#include "protocol/kvo_packet.h"

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
