// The typed archive: a byte stream of self-describing items, read and
// written with conversion between numeric types, and corvane::CHugeData,
// which carries a large raw block through an archive in chunks.
//
// An item is the marker '[' (0x5B), a type code, a u16 payload length
// (little-endian) and at most 65,535 payload bytes: values back to back,
// little-endian, their count the payload length over the element size. Type
// codes carry the kind in bits 4-7 and the element size in bits 0-3:
//   0x11 i8, 0x32 i16, 0x44 i32, 0x68 i64, 0x54 f32, 0x78 f64,
//   0x21 text (the bytes of one text in the archive's code pages).
//
// Results are 0 or 0x8009xxxx. After a failed read the position stands
// where it was for 0x80090002, after the item's header for 0x80090006,
// after the whole item for 0x80090007 and 0x80090008, 4 bytes back (where
// the item was expected) for 0x80090003 and 3 bytes back for 0x80090004.
#pragma once

#include <cstdint>

#include "framework/tl_codepage.h"
#include "framework/tl_object.h"
#include "framework/tl_string.h"

namespace corvane {
class CTLFileObj;
class CTLSmartBuffer;
}  // namespace corvane

// Archive results.
constexpr uint32_t TL_AR_E_NO_DATA = 0x80090002;        // the item header could not be fetched
constexpr uint32_t TL_AR_E_NOT_ITEM = 0x80090003;       // no marker
constexpr uint32_t TL_AR_E_NO_ELEMENT = 0x80090004;     // element size 0
constexpr uint32_t TL_AR_E_NO_PAYLOAD = 0x80090006;     // the payload could not be fetched
constexpr uint32_t TL_AR_E_NO_CONVERSION = 0x80090007;  // no conversion from the stored type
constexpr uint32_t TL_AR_E_NOT_TEXT = 0x80090008;       // a text was asked for
constexpr uint32_t TL_AR_E_NO_ROOM_HEAD = 0x80090009;   // no room for an item header
constexpr uint32_t TL_AR_E_NO_ROOM = 0x8009000A;        // no room for the payload
constexpr uint32_t TL_AR_E_STORING = 0x80090030;        // read from an archive that is storing
constexpr uint32_t TL_AR_E_LOADING = 0x80090031;        // write to an archive that is loading
constexpr uint32_t TL_AR_E_TOO_LONG = 0x80090032;       // payload above 65,535 bytes, or a type without element size

// Item type codes.
constexpr uint8_t TL_AR_INT8 = 0x11;
constexpr uint8_t TL_AR_INT16 = 0x32;
constexpr uint8_t TL_AR_INT32 = 0x44;
constexpr uint8_t TL_AR_FLOAT = 0x54;
constexpr uint8_t TL_AR_INT64 = 0x68;
constexpr uint8_t TL_AR_DOUBLE = 0x78;
constexpr uint8_t TL_AR_TEXT = 0x21;

constexpr uint8_t TL_AR_MARKER = 0x5B;
constexpr uint32_t TL_AR_HEADER = 4;
constexpr uint32_t TL_AR_MAX_PAYLOAD = 65535;

// The state every archive operation works on. An archive is loading or
// storing for its whole life; the factories below set one up (the fields
// may also be filled by hand as described).
struct HugeDataArchive {
    static constexpr uint32_t kLoading = 1;

    uint32_t flags = 0;                         // bit 0: loading; clear: storing
    uint8_t* current = nullptr;                 // next byte to read or write
    uint8_t* end = nullptr;                     // end of the bytes available, or of the fixed output area
    uint8_t* bufferStart = nullptr;             // start of the read buffer; null: the archive cannot refill
    corvane::CTLFileObj* source = nullptr;      // file that refills the read buffer
    corvane::CTLSmartBuffer* buffer = nullptr;  // loading: the read buffer; storing: the sink (null: fixed area)
    TLCodePagePair codePages{0, 0};             // how texts are encoded inside the archive
    uint32_t byteCount = 0;                     // bytes consumed or produced, headers included

    bool IsLoading() const { return (flags & kLoading) != 0; }

    // Storing: a point in the output to come back to. Rewinding to it drops
    // every item written since, so that a group of items goes out whole or
    // not at all.
    struct Mark {
        uint8_t* current;
        uint32_t used;
        uint32_t byteCount;
    };
    Mark GetMark() const;
    void Rewind(const Mark& mark);

    // Storing, appended to a growable sink.
    static HugeDataArchive StoreTo(corvane::CTLSmartBuffer* sink, const TLCodePagePair* codePages = nullptr);
    // Storing into a fixed area of `size` bytes (what was written: byteCount).
    static HugeDataArchive StoreInto(void* area, uint32_t size, const TLCodePagePair* codePages = nullptr);
    // Loading from bytes in memory, which must outlive the archive.
    static HugeDataArchive LoadFrom(const void* data, uint32_t length, const TLCodePagePair* codePages = nullptr);
    // Loading from a file object, from its position on, through `readBuffer`,
    // which holds the bytes read ahead (the file's position runs ahead of the
    // archive by the bytes not consumed yet). Both must outlive the archive.
    static HugeDataArchive LoadFromFile(corvane::CTLFileObj* source, corvane::CTLSmartBuffer* readBuffer,
                                        const TLCodePagePair* codePages = nullptr);
};

namespace corvane {

// Sink of the data of a CHugeData being loaded: first (context, type code,
// null, total length), then (context, stored type code, piece, piece length)
// for each piece of at most 4096 bytes.
using TLHugeDataSink = void (*)(void* context, uint8_t type, const uint8_t* data, uint32_t length);

class CHugeData : public CTLObject {
public:
    CHugeData() = default;
    ~CHugeData() override = default;

    TLRuntimeClass* GetRuntimeClass() const override;
    static TLRuntimeClass classCHugeData;

    // Storing: an item 0x11 with the type code, an item 0x44 with the total
    // length, then the data from the source pointer in items of the type code
    // of at most 65,520 bytes. Loading: reads the two head items into the type
    // code and the total length and hands the data to the sink.
    void Serialize(HugeDataArchive& ar) override;

    // The next n bytes, consumed, refilling the read buffer when it can; null
    // when they are not there (nothing is consumed then).
    static uint8_t* Fetch(HugeDataArchive& ar, int32_t n);
    // Reads the next item into `count` values of the asked type, converting
    // between the numeric types.
    static uint32_t ReadItem(HugeDataArchive& ar, uint8_t type, void* buffer, uint32_t count);
    // Writes one item; null data leaves the payload's bytes as they are (an
    // area) or zero (a sink). Nothing is written when the whole item does not
    // fit.
    static uint32_t WriteItem(HugeDataArchive& ar, uint8_t type, const void* data, uint32_t count);
    static uint32_t ReadBytes(HugeDataArchive& ar, void* buffer, uint32_t count) {
        return ReadItem(ar, TL_AR_INT8, buffer, count);
    }
    static uint32_t ReadInt16(HugeDataArchive& ar, void* buffer, uint32_t count) {
        return ReadItem(ar, TL_AR_INT16, buffer, count);
    }
    static uint32_t ReadInt32(HugeDataArchive& ar, void* buffer, uint32_t count) {
        return ReadItem(ar, TL_AR_INT32, buffer, count);
    }
    static uint32_t WriteBytes(HugeDataArchive& ar, const void* data, uint32_t count) {
        return WriteItem(ar, TL_AR_INT8, data, count);
    }
    static uint32_t WriteInt16(HugeDataArchive& ar, const void* data, uint32_t count) {
        return WriteItem(ar, TL_AR_INT16, data, count);
    }
    static uint32_t WriteInt32(HugeDataArchive& ar, const void* data, uint32_t count) {
        return WriteItem(ar, TL_AR_INT32, data, count);
    }
    // Reads a text item, converted from the archive's code pages; an empty
    // item leaves `out` unchanged.
    static uint32_t ReadString(HugeDataArchive& ar, CTLString& out);
    // Writes a text item converted to the archive's code pages; null or empty
    // texts, and texts longer than an item holds, are written as an empty item.
    static uint32_t WriteString(HugeDataArchive& ar, const char* text);

    uint8_t m_nType = 0;     // type code of the raw data
    uint32_t m_nLength = 0;  // total length in bytes
    void* m_pSinkContext = nullptr;
    TLHugeDataSink m_pfnSink = nullptr;  // receives the data when loading (may be null)
    const uint8_t* m_pSource = nullptr;  // data to store
};

}  // namespace corvane
