// The quote-file format: version classification, the native layout with its
// header and code index, and the conversion of compact-header ("hd...") and
// variable-length-header ("hq6.") images into the native layout.
//
// Every length, count and offset taken from an image is checked against the
// bytes present, in 64-bit arithmetic, before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/tl_callback.h"

// Result codes of the quote-file layer (0 is success).
constexpr uint32_t QF_E_NOTQUOTE = 0xA0020001;    // not open / not a quote file / bad native header
constexpr uint32_t QF_E_VERSION = 0xA0020002;     // unsupported version text
constexpr uint32_t QF_E_INDEX = 0xA0020004;       // invalid native code index
constexpr uint32_t QF_E_NODATA = 0xA0020005;      // no data at the record position
constexpr uint32_t QF_E_RANGE = 0xA002000E;       // no records / first outside the file
constexpr uint32_t QF_E_NEEDMEMORY = 0xA0020014;  // needs an in-memory file
constexpr uint32_t QF_E_NOMEM = 0xA0020015;       // allocation failed / size beyond limits
constexpr uint32_t QF_E_BADARG = 0xA0020016;      // bad arguments to opening an image
constexpr uint32_t QF_E_NOFIELD = 0xA0020017;     // field has no column
constexpr uint32_t QF_E_FIXED = 0xA002001F;       // image too small and may not grow
constexpr uint32_t QF_E_OUTPUT = 0xA0020020;      // output too small / empty column section (-5)
constexpr uint32_t QF_E_KIND = 0xA0020021;        // unknown compression or block kind (-3)
constexpr uint32_t QF_E_DEC_INPUT = 0xA0020022;   // decoder -1
constexpr uint32_t QF_E_DEC_SIZE = 0xA0020023;    // decoder -2
constexpr uint32_t QF_E_DEC_4 = 0xA0020024;       // decoder -4
constexpr uint32_t QF_E_DEC_OTHER = 0xA0020025;   // any other negative decoder code
constexpr uint32_t QF_E_CODEDCOLS = 0xA0020028;   // coded column block not decodable

// Families returned by classification.
constexpr int QF_FAMILY_NATIVE = 0;
constexpr int QF_FAMILY_VARLEN = 1;
constexpr int QF_FAMILY_COMPACT = 2;

// Field value kinds (bits 12-14 of a field id).
constexpr uint32_t QF_KIND_MASK = 0x7000;
constexpr uint32_t QF_KIND_PACKED64 = 0x0000;
constexpr uint32_t QF_KIND_CODE = 0x1000;
constexpr uint32_t QF_KIND_TEXT = 0x2000;
constexpr uint32_t QF_KIND_INT32 = 0x3000;
constexpr uint32_t QF_KIND_PACKED32 = 0x7000;

// Native layout constants.
constexpr uint32_t QF_NATIVE_FIXED = 32;
constexpr uint32_t QF_NATIVE_COLENTRY = 8;
constexpr uint32_t QF_INDEX_HEAD = 16;
// Largest record area (count x size) and native image the layer accepts.
constexpr uint64_t QF_MAX_IMAGE = 0x80000000ull;
// Room that a variable-length image may state beyond what its header, index
// and records take; a larger native size is refused with 0xA0020015.
constexpr uint64_t QF_MAX_SPARE = 16ull << 20;

// Maps a negative decoder code to its result code.
uint32_t QF_MapDecoderCode(int code);

// Classifies the version text at the start of an image of `len` bytes.
// Returns 0 and sets *flags and *family, or 0xA0020001 / 0xA0020002.
uint32_t QF_Classify(const uint8_t* image, uint64_t len, uint32_t* flags, int* family);

// One column as the native layout describes it.
struct QfColumn {
    uint32_t id = 0;
    uint16_t attr = 0;
    uint16_t width = 0;
};

// The fixed 32-byte part of a native header.
struct QfNativeHeader {
    char text[8] = {};
    uint32_t dataOffset = 0;
    uint32_t capacity = 0;
    uint32_t count = 0;
    uint32_t recordSize = 0;
    uint32_t flags = 0;
    uint8_t fixedSize = 0;
    uint8_t entrySize = 0;
    uint16_t columns = 0;

    uint64_t HeaderLength() const { return uint64_t(fixedSize) + uint64_t(columns) * entrySize; }
};

void QF_LoadNativeHeader(const uint8_t* p, QfNativeHeader* h);
void QF_StoreNativeHeader(const QfNativeHeader& h, uint8_t* p);

// The structural rules of a native fixed header alone (text "hq1." unless
// `anyText`, data offset >= header length, count <= capacity, non-zero sizes,
// fixed part >= 32, column entries >= 8 bytes).
bool QF_NativeHeaderValid(const QfNativeHeader& h, bool anyText);

// A native code index head.
struct QfIndexHead {
    uint32_t total = 0;
    uint32_t capacity = 0;
    uint32_t count = 0;
    uint8_t headSize = 0;
    uint8_t entrySize = 0;
    uint8_t keySize = 0;
    uint8_t kind = 0;
};

void QF_LoadIndexHead(const uint8_t* p, QfIndexHead* h);
void QF_StoreIndexHead(const QfIndexHead& h, uint8_t* p);

// A parsed native image: header, columns and where the index lies.
struct QfNativeInfo {
    QfNativeHeader header;
    std::vector<QfColumn> columns;
    uint64_t headerLength = 0;  // fixed part + column table
    uint64_t indexOffset = 0;   // 0 when there is no index
    uint64_t indexLength = 0;
    QfIndexHead index;
};

// Checks a native image of `len` bytes: header (0xA0020001 when invalid, when
// any part lies outside the image, or when the columns are wider than the
// record) and, when bytes lie between the header and the data offset, the code
// index (0xA0020004). `anyText` marks a converted image: any version text, and
// zeroed slack before the data (a zero index length) means no index.
uint32_t QF_ParseNative(const uint8_t* image, uint64_t len, bool anyText, QfNativeInfo* out);

// Checks an index of `avail` bytes. 0 or 0xA0020004.
uint32_t QF_CheckIndex(const uint8_t* idx, uint64_t avail, QfIndexHead* out);

// Column work table handed to the block decoders.
struct QfWorkColumn {
    uint16_t kind = 0;  // id & 0x7000
    uint16_t width = 0;
};
struct QfWorkTable {
    uint32_t records = 0;
    uint32_t recordSize = 0;
    std::vector<QfWorkColumn> columns;
};

// What a compact or variable-length image needs before conversion.
struct QfConvertPlan {
    int family = 0;
    uint32_t flags = 0;
    uint64_t nativeSize = 0;  // size of the image in native form
};

// Classifies a compact or variable-length image and reads its header,
// columns and index to know its native size, checking the counts it states
// against the bytes it carries before anything is reserved for them. Native
// images give nativeSize = len.
uint32_t QF_PlanConversion(const uint8_t* image, uint64_t len, QfConvertPlan* plan);

// Converts, in place, the image of `len` bytes at the start of `buf` (which
// holds `cap` >= plan.nativeSize bytes) into the native layout. Everything is
// read out of the stored header and index before the data is moved and the
// native header written. *nativeLen receives the native image length.
uint32_t QF_ConvertCompact(uint8_t* buf, uint64_t len, uint64_t cap, const QfConvertPlan& plan, uint64_t* nativeLen);
uint32_t QF_ConvertVarLen(uint8_t* buf, uint64_t len, uint64_t cap, const QfConvertPlan& plan, uint64_t* nativeLen);
// The same from the image at `image` into `out`, a separate block of exactly
// plan.nativeSize bytes (plan from QF_PlanConversion of this image). On
// success every byte of `out` is written, each as converting in place a copy
// of the image in a zero-filled block of that size or more leaves it.
uint32_t QF_ConvertInto(const uint8_t* image, uint64_t len, const QfConvertPlan& plan, uint8_t* out,
                        uint64_t* nativeLen);

// The process-wide decoder hook of coded column blocks ("hd4.1" and
// variable-length files without column entries). It starts empty and nothing
// in the system sets it; while it is empty such files give 0xA0020028.
struct QfCodedColumnBlock {
    const uint8_t* data = nullptr;
    uint64_t length = 0;
};
// The hook fills the native columns of a block; a negative result refuses it.
using QfColumnBlockHook = CTLCallback<int(const QfCodedColumnBlock* block, std::vector<QfColumn>* out)>;
void QF_SetColumnBlockHook(const QfColumnBlockHook& hook);
