// Fuzzes the gateway packet filter with arbitrary streams cut into arbitrary
// reads. Whatever the bytes, every call returns -1, 1 or 2 with no overrun,
// no frame is made up (each is a run of bytes that was fed, starting with the
// magic and as long as its header says), and the feeding always stops.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "framework/tl_buffer.h"
#include "protocol/kvo_filter.h"

namespace {

// Feeds one read (or none) and takes frames until the filter asks for more.
void FeedRead(CKvoFilter& filter, std::string_view stream, const char* bytes, size_t n) {
  for (int calls = 0;; ++calls) {
    if (calls > 100000) std::abort();  // a filter that never stops
    corvane::CTLSmartBuffer out;
    int rc = filter.FeedData(bytes, static_cast<uint32_t>(n), out);
    bytes = nullptr;
    n = 0;
    if (rc != 1) {
      if ((rc != 2 && rc != -1) || out.GetLength() != 0) std::abort();
      break;
    }
    uint32_t len = 0;
    const char* frame = out.GetData(&len);
    if (len < KVO_PACK_HEADER_SIZE) std::abort();
    const KvoPackHeader* h = KvoPackHeader::At(frame);
    if (!h->HasMagic() || h->GetTotalLength() != len) std::abort();
    if (stream.find(std::string_view(frame, len)) == std::string_view::npos) std::abort();
  }
  CKVOBuffer& ring = filter.Buffer();
  if (ring.GetDataLength() >= ring.GetSize()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the read sizes.
  uint32_t seed = data[0];
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  CKvoFilter filter;
  for (size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    size_t n = 1 + (seed >> 16) % 64;
    if (n > stream.size() - at) n = stream.size() - at;
    FeedRead(filter, stream, stream.data() + at, n);
    at += n;
  }
  // A frame found by a resynchronisation is taken at the next call.
  FeedRead(filter, stream, nullptr, 0);
  return 0;
}
