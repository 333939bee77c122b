#include "framework/tl_archive.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "framework/tl_buffer.h"
#include "framework/tl_fileobj.h"
#include "framework/tl_log.h"

namespace {

// Bytes of one CHugeData chunk when storing, and of one piece handed to the
// sink when loading.
constexpr uint32_t kChunk = 65520;
constexpr uint32_t kPiece = 4096;
// Read-ahead of an archive over a file.
constexpr uint32_t kReadAhead = 4096;

corvane::CTLObject* CreateHugeData() { return new (std::nothrow) corvane::CHugeData; }

uint32_t ElementSize(uint8_t type) { return type & 0x0F; }

TLCodePagePair PairOrFramework(const TLCodePagePair* cp) { return cp ? *cp : TL_GetFrameworkCodePage(); }

// ---- conversions between the six numeric types ----

template <typename T>
T Load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void Store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// A float truncated toward zero as a 64-bit integer. NaN and values outside
// the range give the integer "indefinite" value, 0x8000000000000000.
int64_t Truncate(double v) {
    if (!(v > -9223372036854775808.0 && v < 9223372036854775808.0)) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// Integers convert through i64: wider targets sign-extend, narrower ones
// keep the low bytes; floats convert their value; floats become integers
// truncated toward zero, keeping the low bytes that fit.
template <typename From, typename To>
void Convert(const uint8_t* src, uint8_t* dst, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        const From v = Load<From>(src + uint64_t(i) * sizeof(From));
        To out;
        if constexpr (std::is_floating_point_v<To>) {
            out = static_cast<To>(v);
        } else if constexpr (std::is_floating_point_v<From>) {
            out = static_cast<To>(static_cast<uint64_t>(Truncate(double(v))));
        } else {
            out = static_cast<To>(static_cast<uint64_t>(static_cast<int64_t>(v)));
        }
        Store<To>(dst + uint64_t(i) * sizeof(To), out);
    }
}

using ConvertFn = void (*)(const uint8_t*, uint8_t*, uint32_t);

struct Conversion {
    uint16_t key;  // stored type x 256 + asked type
    ConvertFn fn;
};

template <uint8_t Code>
struct TypeOf;
template <>
struct TypeOf<0x11> {
    using T = int8_t;
};
template <>
struct TypeOf<0x32> {
    using T = int16_t;
};
template <>
struct TypeOf<0x44> {
    using T = int32_t;
};
template <>
struct TypeOf<0x54> {
    using T = float;
};
template <>
struct TypeOf<0x68> {
    using T = int64_t;
};
template <>
struct TypeOf<0x78> {
    using T = double;
};

template <uint8_t S, uint8_t A>
constexpr Conversion Pair() {
    return {uint16_t(S * 256 + A), &Convert<typename TypeOf<S>::T, typename TypeOf<A>::T>};
}

// The 30 ordered pairs of different numeric types, sorted by key.
constexpr Conversion kConversions[] = {
    Pair<0x11, 0x32>(), Pair<0x11, 0x44>(), Pair<0x11, 0x54>(), Pair<0x11, 0x68>(), Pair<0x11, 0x78>(),
    Pair<0x32, 0x11>(), Pair<0x32, 0x44>(), Pair<0x32, 0x54>(), Pair<0x32, 0x68>(), Pair<0x32, 0x78>(),
    Pair<0x44, 0x11>(), Pair<0x44, 0x32>(), Pair<0x44, 0x54>(), Pair<0x44, 0x68>(), Pair<0x44, 0x78>(),
    Pair<0x54, 0x11>(), Pair<0x54, 0x32>(), Pair<0x54, 0x44>(), Pair<0x54, 0x68>(), Pair<0x54, 0x78>(),
    Pair<0x68, 0x11>(), Pair<0x68, 0x32>(), Pair<0x68, 0x44>(), Pair<0x68, 0x54>(), Pair<0x68, 0x78>(),
    Pair<0x78, 0x11>(), Pair<0x78, 0x32>(), Pair<0x78, 0x44>(), Pair<0x78, 0x54>(), Pair<0x78, 0x68>(),
};

constexpr bool Sorted() {
    for (size_t i = 1; i < std::size(kConversions); ++i)
        if (kConversions[i - 1].key >= kConversions[i].key) return false;
    return true;
}
static_assert(std::size(kConversions) == 30 && Sorted());

ConvertFn FindConversion(uint8_t stored, uint8_t asked) {
    const uint16_t key = uint16_t(stored * 256 + asked);
    const Conversion* it = std::lower_bound(std::begin(kConversions), std::end(kConversions), key,
                                            [](const Conversion& c, uint16_t k) { return c.key < k; });
    return it != std::end(kConversions) && it->key == key ? it->fn : nullptr;
}

// ---- item headers ----

struct ItemHead {
    uint8_t type;
    uint16_t length;
};

// Fetches and checks an item header (0x80090002, 0x80090003, 0x80090004).
uint32_t FetchHead(HugeDataArchive& ar, ItemHead* head) {
    const uint8_t* h = corvane::CHugeData::Fetch(ar, TL_AR_HEADER);
    if (h == nullptr) return TL_AR_E_NO_DATA;
    if (h[0] != TL_AR_MARKER) {
        ar.current -= 4;
        ar.byteCount -= 4;
        return TL_AR_E_NOT_ITEM;
    }
    if (ElementSize(h[1]) == 0) {
        ar.current -= 3;
        ar.byteCount -= 3;
        return TL_AR_E_NO_ELEMENT;
    }
    head->type = h[1];
    head->length = uint16_t(h[2] | (h[3] << 8));
    return 0;
}

// Room for n bytes at the storing end: from the sink, or from the fixed area.
uint8_t* TakeRoom(HugeDataArchive& ar, uint32_t n) {
    if (ar.buffer != nullptr) return reinterpret_cast<uint8_t*>(ar.buffer->Extend(n));
    if (ar.current == nullptr || uint64_t(ar.end - ar.current) < n) return nullptr;
    uint8_t* at = ar.current;
    ar.current += n;
    return at;
}

// Room left for an item in the fixed area (the sink grows as needed).
uint64_t AreaLeft(const HugeDataArchive& ar) { return ar.current == nullptr ? 0 : uint64_t(ar.end - ar.current); }

}  // namespace

// ---- HugeDataArchive set-up ----

HugeDataArchive HugeDataArchive::StoreTo(corvane::CTLSmartBuffer* sink, const TLCodePagePair* codePages) {
    HugeDataArchive ar;
    ar.buffer = sink;
    ar.codePages = PairOrFramework(codePages);
    return ar;
}

HugeDataArchive HugeDataArchive::StoreInto(void* area, uint32_t size, const TLCodePagePair* codePages) {
    HugeDataArchive ar;
    ar.current = static_cast<uint8_t*>(area);
    ar.end = area ? ar.current + size : nullptr;
    ar.codePages = PairOrFramework(codePages);
    return ar;
}

HugeDataArchive HugeDataArchive::LoadFrom(const void* data, uint32_t length, const TLCodePagePair* codePages) {
    HugeDataArchive ar;
    ar.flags = kLoading;
    // Loading never writes through these pointers.
    ar.current = static_cast<uint8_t*>(const_cast<void*>(data));
    ar.end = data ? ar.current + length : nullptr;
    ar.codePages = PairOrFramework(codePages);
    return ar;
}

HugeDataArchive HugeDataArchive::LoadFromFile(corvane::CTLFileObj* source, corvane::CTLSmartBuffer* readBuffer,
                                              const TLCodePagePair* codePages) {
    HugeDataArchive ar;
    ar.flags = kLoading;
    ar.source = source;
    ar.buffer = readBuffer;
    ar.codePages = PairOrFramework(codePages);
    if (source != nullptr && readBuffer != nullptr) {
        if (readBuffer->GetLength() < kReadAhead) readBuffer->SetLength(int(kReadAhead));
        ar.bufferStart = reinterpret_cast<uint8_t*>(readBuffer->GetData());
        ar.current = ar.end = ar.bufferStart;
    }
    return ar;
}

HugeDataArchive::Mark HugeDataArchive::GetMark() const {
    return {current, buffer != nullptr ? buffer->GetLength() : 0, byteCount};
}

void HugeDataArchive::Rewind(const Mark& mark) {
    if (IsLoading()) return;
    if (buffer != nullptr)
        buffer->SetLength(int(mark.used));
    else
        current = mark.current;
    byteCount = mark.byteCount;
}

namespace corvane {

TLRuntimeClass CHugeData::classCHugeData = {"CHugeData",       int32_t(sizeof(CHugeData)), CreateHugeData,
                                            &TL_CallSerialize, &CTLObject::classCTLObject, nullptr};
static TLClassRegistrar s_regHugeData(&CHugeData::classCHugeData);

TLRuntimeClass* CHugeData::GetRuntimeClass() const { return &classCHugeData; }

uint8_t* CHugeData::Fetch(HugeDataArchive& ar, int32_t n) {
    if (n < 0) return nullptr;
    const uint64_t want = uint64_t(n);
    if (ar.current != nullptr && want <= uint64_t(ar.end - ar.current)) {
        uint8_t* at = ar.current;
        ar.current += want;
        ar.byteCount += uint32_t(want);
        return at;
    }
    if (ar.bufferStart == nullptr || ar.buffer == nullptr || ar.source == nullptr) return nullptr;
    // Keep the bytes not consumed yet at the start of the read buffer.
    const uint32_t kept = ar.current ? uint32_t(ar.end - ar.current) : 0;
    if (kept) std::memmove(ar.bufferStart, ar.current, kept);
    uint32_t toRead;
    const uint32_t used = ar.buffer->GetLength();
    if (used < want) {
        if (ar.buffer->Extend(uint32_t(want) - used) == nullptr) {
            ar.current = ar.bufferStart;
            ar.end = ar.bufferStart + kept;
            return nullptr;
        }
        ar.bufferStart = reinterpret_cast<uint8_t*>(ar.buffer->GetData());
        toRead = uint32_t(want) - kept;
    } else {
        toRead = used - kept;
    }
    ar.current = ar.bufferStart;
    ar.end = ar.bufferStart + kept;
    uint32_t got = ar.source->Read(ar.end, toRead);
    if (got >= 0x80000000u) got = 0;
    // The bytes kept count toward the n asked for.
    if (uint64_t(kept) + got < want) {
        if (got > 0) ar.source->Seek64(-int64_t(got), 1);
        return nullptr;
    }
    ar.end += got;
    return Fetch(ar, n);
}

uint32_t CHugeData::ReadItem(HugeDataArchive& ar, uint8_t type, void* buffer, uint32_t count) {
    const uint64_t bytes = uint64_t(count) * ElementSize(type);
    if (count > TL_AR_MAX_PAYLOAD || bytes > TL_AR_MAX_PAYLOAD || type == 0) return TL_AR_E_TOO_LONG;
    if (!ar.IsLoading()) return TL_AR_E_STORING;
    ItemHead head;
    if (uint32_t rc = FetchHead(ar, &head)) return rc;
    const uint8_t* payload = nullptr;
    if (head.length > 0 && (payload = Fetch(ar, head.length)) == nullptr) return TL_AR_E_NO_PAYLOAD;
    if (head.type == type) {
        const uint32_t n = uint32_t(std::min<uint64_t>(head.length, bytes));
        if (n) std::memcpy(buffer, payload, n);
        return 0;
    }
    const uint32_t n = std::min<uint32_t>(head.length / ElementSize(head.type), count);
    if (n < 1) return 0;
    ConvertFn fn = FindConversion(head.type, type);
    if (fn == nullptr) return TL_AR_E_NO_CONVERSION;
    fn(payload, static_cast<uint8_t*>(buffer), n);
    return 0;
}

uint32_t CHugeData::WriteItem(HugeDataArchive& ar, uint8_t type, const void* data, uint32_t count) {
    if (ar.IsLoading()) return TL_AR_E_LOADING;
    const uint64_t bytes = uint64_t(count) * ElementSize(type);
    // A type without element size would make an item no reader accepts.
    if (count > TL_AR_MAX_PAYLOAD || bytes > TL_AR_MAX_PAYLOAD || ElementSize(type) == 0) return TL_AR_E_TOO_LONG;
    // The whole item or nothing: a header without its payload would leave a
    // stream that no longer reads.
    if (ar.buffer == nullptr) {
        if (AreaLeft(ar) < TL_AR_HEADER) return TL_AR_E_NO_ROOM_HEAD;
        if (AreaLeft(ar) < TL_AR_HEADER + bytes) return TL_AR_E_NO_ROOM;
    }
    uint8_t* at = TakeRoom(ar, TL_AR_HEADER + uint32_t(bytes));
    if (at == nullptr) return bytes ? TL_AR_E_NO_ROOM : TL_AR_E_NO_ROOM_HEAD;
    at[0] = TL_AR_MARKER;
    at[1] = type;
    at[2] = uint8_t(bytes);
    at[3] = uint8_t(bytes >> 8);
    if (bytes) {
        if (data != nullptr)
            std::memcpy(at + TL_AR_HEADER, data, bytes);
        else if (ar.buffer != nullptr)
            std::memset(at + TL_AR_HEADER, 0, bytes);
    }
    ar.byteCount += TL_AR_HEADER + uint32_t(bytes);
    return 0;
}

uint32_t CHugeData::ReadString(HugeDataArchive& ar, CTLString& out) {
    if (!ar.IsLoading()) return TL_AR_E_STORING;
    ItemHead head;
    if (uint32_t rc = FetchHead(ar, &head)) return rc;
    const uint8_t* payload = nullptr;
    if (head.length > 0 && (payload = Fetch(ar, head.length)) == nullptr) return TL_AR_E_NO_PAYLOAD;
    if (head.type != TL_AR_TEXT) return TL_AR_E_NOT_TEXT;
    if (head.length == 0) return 0;
    int len = head.length;
    CTLString text;
    TL_ConvertToFrameworkText(reinterpret_cast<const char*>(payload), &len, text, &ar.codePages, 1);
    out = text;
    return 0;
}

uint32_t CHugeData::WriteString(HugeDataArchive& ar, const char* text) {
    if (text == nullptr || *text == 0) return WriteItem(ar, TL_AR_TEXT, nullptr, 0);
    int len = -1;
    CTLString converted;
    const char* bytes = TL_ConvertFromFrameworkText(text, &len, converted, &ar.codePages, 1);
    uint32_t rc = len < 0 ? TL_AR_E_TOO_LONG : WriteItem(ar, TL_AR_TEXT, bytes, uint32_t(len));
    if (rc == TL_AR_E_TOO_LONG) rc = WriteItem(ar, TL_AR_TEXT, nullptr, 0);
    return rc;
}

void CHugeData::Serialize(HugeDataArchive& ar) {
    if (!ar.IsLoading()) {
        if (WriteItem(ar, TL_AR_INT8, &m_nType, 1) != 0 || WriteInt32(ar, &m_nLength, 1) != 0) return;
        const uint32_t size = ElementSize(m_nType);
        const uint8_t* src = m_pSource;
        for (uint32_t left = m_nLength; left > 0;) {
            const uint32_t chunk = left < kChunk + 1 ? left : kChunk;
            // A chunk that cannot be written ends the data: later chunks would
            // stand in its place.
            if (size == 0 || WriteItem(ar, m_nType, src, chunk / size) != 0) return;
            if (src != nullptr) src += chunk;
            left -= chunk;
        }
        return;
    }
    // A head item that cannot be read leaves the type or the length 0.
    m_nType = 0;
    m_nLength = 0;
    ReadItem(ar, TL_AR_INT8, &m_nType, 1);
    ReadInt32(ar, &m_nLength, 1);
    uint32_t left = m_nLength;
    if (m_pfnSink) m_pfnSink(m_pSinkContext, m_nType, nullptr, left);
    TL_DebugTrace("Read Raw Total Length = %d \r\n", int(left));
    while (left > 0) {
        ItemHead head;
        const uint32_t rc = FetchHead(ar, &head);
        // Without a header or an item here, every later pass would find the
        // same: the data end.
        if (rc == TL_AR_E_NO_DATA || rc == TL_AR_E_NOT_ITEM) break;
        if (rc == 0) {
            TL_DebugTrace("Read Raw Length = %d \r\n", int(head.length));
            for (uint32_t rest = head.length; rest > 0;) {
                const uint32_t piece = std::min(rest, kPiece);
                const uint8_t* p = Fetch(ar, int32_t(piece));
                if (p == nullptr) break;
                TL_DebugTrace("Read Raw Length = %d \r\n", int(piece));
                if (m_pfnSink) m_pfnSink(m_pSinkContext, head.type, p, piece);
                rest -= piece;
            }
        }
        left -= std::min(left, kChunk);
    }
}

}  // namespace corvane
