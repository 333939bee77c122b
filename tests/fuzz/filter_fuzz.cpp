// Fuzzes the gateway packet filter, through FeedData or Unpack, with
// arbitrary streams cut into arbitrary reads. Whatever the bytes, every call
// returns -1, 1 or 2 with no overrun, no frame is made up (each is a run of
// bytes that was fed, starting with the magic and as long as its header
// says), the feeding always stops, and no whole frame is left waiting for
// bytes that may never come.
//
// Each input gets a small ring of its own (a few dozen to a few hundred
// bytes, sizes taken from the input) whose indices stand near the end of its
// memory, so that frames straddle the end, the ring grows while its bytes
// wrap and streams overflow it within a short input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "framework/tl_buffer.h"
#include "protocol/kvo_filter.h"

namespace {

// One call, through FeedData or through Unpack as a link makes it; a cut
// frame is copied to `frame`.
int Call(CKvoFilter& filter, bool unpack, const char* bytes, size_t n, std::string& frame) {
    frame.clear();
    if (unpack) {
        corvane::CTLNetBufferList out;
        int rc = filter.Unpack(0, nullptr, bytes, static_cast<uint32_t>(n), out);
        if (out.GetCount() > 1 || (rc != 1 && !out.IsEmpty())) std::abort();
        if (!out.IsEmpty()) frame.assign(reinterpret_cast<const char*>((*out.begin())->Data()), (*out.begin())->length);
        return rc;
    }
    corvane::CTLSmartBuffer out;
    int rc = filter.FeedData(bytes, static_cast<uint32_t>(n), out);
    uint32_t len = 0;
    const char* data = out.GetData(&len);
    if (rc != 1 && len != 0) std::abort();
    frame.assign(data ? data : "", len);
    return rc;
}

// Feeds one read (or none) and takes frames until the filter asks for more.
// Frames come out in stream order and never overlap: each is looked for from
// the end of the one before (*taken).
void FeedRead(CKvoFilter& filter, bool unpack, std::string_view stream, size_t* taken, const char* bytes, size_t n) {
    std::string frame;
    for (int calls = 0;; ++calls) {
        if (calls > 100000) std::abort();  // a filter that never stops
        int rc = Call(filter, unpack, bytes, n, frame);
        bytes = nullptr;
        n = 0;
        if (rc != 1) {
            if (rc != 2 && rc != -1) std::abort();
            break;
        }
        if (frame.size() < KVO_PACK_HEADER_SIZE) std::abort();
        const KvoPackHeader* h = KvoPackHeader::At(frame.data());
        if (!h->HasMagic() || h->GetTotalLength() != frame.size()) std::abort();
        const size_t at = stream.find(frame, *taken);
        if (at == std::string_view::npos) std::abort();
        *taken = at + frame.size();
    }
    CKVOBuffer& ring = filter.Buffer();
    if (ring.GetDataLength() >= ring.GetSize()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Byte 0 picks the read sizes, its top bit FeedData or Unpack; bytes 1
    // and 2 the ring's sizes and where its indices stand.
    uint32_t seed = data[0];
    const bool unpack = (data[0] & 0x80) != 0;
    CKVOBuffer::Geometry g;
    g.initial = 12 + (data[1] & 0x7F);
    g.step = 1 + (data[2] & 0x3F);
    g.max = g.initial + 64u * ((data[1] >> 7) + 1) * ((data[2] >> 6) + 1);
    CKvoFilter filter(g);
    CKVOBuffer& ring = filter.Buffer();
    // One byte held just before the end of the memory: the stream starts
    // behind it and runs round the end at once.
    const uint32_t start = g.initial - 1 - (data[0] & 7) % g.initial;
    std::string fed(start + 1, '\0');
    ring.AppendData(reinterpret_cast<const uint8_t*>(fed.data()), start + 1);
    ring.DiscardData(start);
    fed.erase(0, start);
    fed.append(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::string_view all(fed);
    const std::string_view stream = all.substr(1);
    size_t taken = 0;
    for (size_t at = 0; at < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + (seed >> 16) % 128;
        if (n > stream.size() - at) n = stream.size() - at;
        FeedRead(filter, unpack, all, &taken, stream.data() + at, n);
        if (ring.GetSize() > g.max) std::abort();
        at += n;
    }
    // Every read was taken as far as it goes: a call without bytes finds no
    // frame the calls before left behind.
    std::string frame;
    if (Call(filter, unpack, nullptr, 0, frame) == 1) std::abort();
    return 0;
}
