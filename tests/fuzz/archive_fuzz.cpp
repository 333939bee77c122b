// Fuzz target over typed-archive streams: read buffers (chains included)
// loaded from memory and from a file through a small read-ahead, CHugeData
// loaded into a sink, key-value lists loaded, stored and loaded again, and a
// run of item reads of every type.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/tl_archive.h"
#include "framework/tl_buffer.h"
#include "framework/tl_fileobj.h"
#include "framework/tl_key2value.h"
#include "quote/hd_file.h"

namespace {

volatile uint32_t g_sink;

void Sink(void*, uint8_t type, const uint8_t* data, uint32_t length) {
    g_sink = g_sink + type + length + (data && length ? data[length - 1] : 0);
}

void Items(const std::vector<uint8_t>& in) {
    static const uint8_t kTypes[] = {0x11, 0x32, 0x44, 0x54, 0x68, 0x78, 0x21};
    HugeDataArchive ar = HugeDataArchive::LoadFrom(in.data(), uint32_t(in.size()));
    uint8_t out[65535 + 8];
    corvane::CTLString text;
    // Every pass consumes at least a byte or ends the run.
    for (size_t i = 0; i <= in.size(); ++i) {
        const uint8_t type = kTypes[i % 7];
        const uint32_t count = in.empty() ? 1 : uint32_t(in[i % in.size()]) * 37 % (65535 / (type & 0x0F) + 1);
        const uint32_t rc = type == 0x21 ? corvane::CHugeData::ReadString(ar, text)
                                         : corvane::CHugeData::ReadItem(ar, type, out, count);
        if (rc == TL_AR_E_NO_DATA || rc == TL_AR_E_NOT_ITEM || rc == TL_AR_E_NO_PAYLOAD) break;
    }
    g_sink = g_sink + ar.byteCount + uint32_t(text.GetLength());
}

// A key-value list loaded from the stream holds no more pairs than the
// stream has room for, only non-empty lower-cased keys, and stores into a
// stream that loads back to the same list.
void KeyValues(const std::vector<uint8_t>& in, corvane::CTLKey2Value& list) {
    if (uint64_t(list.GetCount()) * 5 > in.size()) std::abort();  // a key item takes 5 bytes at least
    for (const auto& [key, value] : list.GetMap()) {
        corvane::CTLString lower(key.GetString());
        lower.MakeLower();
        if (key.IsEmpty() || !(lower == key) || key.GetLength() + value.GetLength() > int(in.size())) std::abort();
    }
    corvane::CTLSmartBuffer out;
    HugeDataArchive st = HugeDataArchive::StoreTo(&out);
    list.Serialize(st);
    corvane::CTLKey2Value again;
    HugeDataArchive ld = HugeDataArchive::LoadFrom(out.GetData(), out.GetLength());
    again.Serialize(ld);
    if (again.GetMap() != list.GetMap() || ld.byteCount != out.GetLength()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized copy, so that any read past the stream is caught.
    const std::vector<uint8_t> in(data, data + size);
    const uint32_t n = uint32_t(in.size());
    {
        CReadBuffer b;
        HugeDataArchive ar = HugeDataArchive::LoadFrom(in.data(), n);
        b.Serialize(ar);
        // What was loaded stores again.
        corvane::CTLSmartBuffer out;
        HugeDataArchive st = HugeDataArchive::StoreTo(&out);
        b.Serialize(st);
        g_sink = g_sink + out.GetLength();
    }
    {
        corvane::CTLFileObj file;
        if (file.OpenMemory(in.data(), n, 0) == 0) {
            corvane::CTLSmartBuffer readAhead;
            HugeDataArchive ar = HugeDataArchive::LoadFromFile(&file, &readAhead);
            CReadBuffer b;
            b.Serialize(ar);
            corvane::CHugeData h;
            h.m_pfnSink = &Sink;
            h.Serialize(ar);
        }
    }
    {
        corvane::CHugeData h;
        h.m_pfnSink = &Sink;
        HugeDataArchive ar = HugeDataArchive::LoadFrom(in.data(), n);
        h.Serialize(ar);
    }
    {
        corvane::CTLKey2Value fromMemory;
        fromMemory.SetValue("left", "over");  // loading replaces it
        HugeDataArchive ar = HugeDataArchive::LoadFrom(in.data(), n);
        fromMemory.Serialize(ar);
        KeyValues(in, fromMemory);
        // Through a file and its read-ahead the same list comes out.
        corvane::CTLFileObj file;
        if (file.OpenMemory(in.data(), n, 0) == 0) {
            corvane::CTLSmartBuffer readAhead;
            HugeDataArchive fa = HugeDataArchive::LoadFromFile(&file, &readAhead);
            corvane::CTLKey2Value fromFile;
            fromFile.Serialize(fa);
            if (fromFile.GetMap() != fromMemory.GetMap()) std::abort();
        }
    }
    Items(in);
    return 0;
}
