#include "quote/qf_format.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "framework/tl_numcodec.h"
#include "quote/qf_decode.h"

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

bool HasPrefix(const uint8_t* p, uint64_t len, const char* s) {
    size_t n = std::strlen(s);
    return len >= n && std::memcmp(p, s, n) == 0;
}

// Read without a lock, like the rest of the quote-file layer's globals: it is
// set, if ever, before any image is opened.
QfColumnBlockHook g_columnHook;

// Asks the column-block hook for the columns of a coded block; the count it
// returns must equal the header's column count.
uint32_t DecodeCodedColumns(const uint8_t* data, uint64_t len, uint32_t expected, std::vector<QfColumn>* cols) {
    if (g_columnHook.IsEmpty()) return QF_E_CODEDCOLS;
    QfCodedColumnBlock block{data, len};
    cols->clear();
    if (g_columnHook(&block, cols) < 0) return QF_E_CODEDCOLS;
    if (cols->size() != expected || expected == 0) return QF_E_CODEDCOLS;
    return 0;
}

// A compact-header image read into temporaries.
struct CompactParsed {
    uint32_t kind = 0;
    uint32_t records = 0;
    uint32_t recordSize = 0;
    uint32_t columnCount = 0;
    uint32_t flagByte = 0;
    uint64_t dataOffset = 0;
    uint64_t headerLength = 0;
    std::vector<QfColumn> columns;
    struct Code {
        uint8_t code[8];
        int64_t start;
        int64_t end;
        uint32_t first;
    };
    std::vector<Code> codes;
    uint64_t nativeSize = 0;
};

int64_t CompactRange(uint8_t high, uint16_t low) {
    if (high == 0 && low == 0xFFFF) return -1;
    return (int64_t(high) << 16) | low;
}

uint32_t ParseCompact(const uint8_t* img, uint64_t len, uint32_t kind, CompactParsed* out) {
    if (img == nullptr || len < 16) return QF_E_NOTQUOTE;
    uint32_t w6 = Le32(img + 6);
    out->kind = kind;
    out->records = w6 & 0xFFFFFF;
    out->flagByte = w6 >> 24;
    out->recordSize = Le16(img + 12);
    uint16_t w14 = Le16(img + 14);
    out->columnCount = w14 & 0x3FFF;
    out->dataOffset = uint64_t(Le16(img + 10)) | (uint64_t(w14 >> 14) << 16) | (uint64_t(img[5]) << 18);
    uint32_t c = out->columnCount;
    if (c == 0 || out->recordSize == 0) return QF_E_NOTQUOTE;
    if (kind == QF_BLOCK_CODED) {
        if (len < 18) return QF_E_NOTQUOTE;
        uint64_t blen = Le16(img + 16);
        out->headerLength = 16 + blen;
        if (out->headerLength > len) return QF_E_NOTQUOTE;
        uint32_t rc = DecodeCodedColumns(img + 16, blen, c, &out->columns);
        if (rc) return rc;
    } else {
        bool high = (out->flagByte & 1) != 0;
        out->headerLength = 16 + uint64_t(4) * c + (high ? uint64_t(2) * c : 0);
        if (out->headerLength > len) return QF_E_NOTQUOTE;
        out->columns.resize(c);
        for (uint32_t i = 0; i < c; ++i) {
            const uint8_t* e = img + 16 + 4 * i;
            QfColumn& col = out->columns[i];
            col.id = Le16(e);
            if (high) col.id |= uint32_t(Le16(img + 16 + 4 * uint64_t(c) + 2 * i)) << 16;
            col.attr = e[2];
            col.width = e[3];
        }
    }
    uint64_t widths = 0;
    for (const QfColumn& col : out->columns) widths += col.width;
    if (widths > out->recordSize) return QF_E_NOTQUOTE;
    if (out->dataOffset > len) return QF_E_NOTQUOTE;

    // Data that starts inside the header leaves no room for an index.
    uint64_t indexLength = out->dataOffset > out->headerLength ? out->dataOffset - out->headerLength : 0;
    uint64_t codeCount = 0;
    const uint8_t* idx = img + out->headerLength;
    if (indexLength >= 4) {
        uint16_t marker = Le16(idx);
        uint16_t raw = Le16(idx + 2);
        if (marker == 0xFFFF) {
            codeCount = raw;
        } else {
            codeCount = raw & 0x3FFF;
            if (codeCount > 14000) codeCount = 0;  // the file has no index
        }
        if (4 + 18 * codeCount > indexLength) return QF_E_INDEX;
    }
    out->codes.resize(codeCount);
    for (uint64_t i = 0; i < codeCount; ++i) {
        const uint8_t* e = idx + 4 + 18 * i;
        CompactParsed::Code& code = out->codes[i];
        std::memcpy(code.code, e, 8);
        code.end = CompactRange(e[8], Le16(e + 16));
        code.start = CompactRange(e[9], Le16(e + 10));
        code.first = Le32(e + 12);
    }
    uint64_t area = uint64_t(out->records) * out->recordSize;
    uint64_t native =
        QF_NATIVE_FIXED + uint64_t(QF_NATIVE_COLENTRY) * c + (codeCount ? QF_INDEX_HEAD + 28 * codeCount : 0) + area;
    if (area > QF_MAX_IMAGE || native > QF_MAX_IMAGE) return QF_E_NOMEM;
    // Raw and transposed blocks are exactly the record area: refuse a short
    // image before anything is allocated for it. The coded kinds state their
    // lengths first; a block that cannot carry the records is refused as its
    // decoder would refuse it, before the native image is reserved.
    const uint64_t stored = len - out->dataOffset;
    if ((kind == QF_BLOCK_RAW || kind == QF_BLOCK_TRANSPOSE) && stored < area) return QF_E_NOTQUOTE;
    if (area != 0) {
        int shape = QF_CheckBlockShape(kind, img + out->dataOffset, int64_t(std::min(area, stored)), out->records,
                                       out->recordSize, c);
        if (shape < 0) return QF_MapDecoderCode(shape);
    }
    out->nativeSize = native;
    return 0;
}

// The header values of a variable-length image.
struct VarHeader {
    uint32_t values[5] = {};
    uint64_t headerLength = 0;
    uint64_t columnStart = 0;
    uint64_t indexStart = 0;
    uint64_t dataStart = 0;
};

uint32_t ParseVarHeader(const uint8_t* img, uint64_t len, VarHeader* h) {
    if (img == nullptr || len < 9) return QF_E_NOTQUOTE;
    uint32_t n = img[8];
    uint64_t pos = 9;
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t v = 0;
        int used = TL_DecodeVarUInt32(img + pos, int64_t(len - pos), &v);
        if (used < 0) return QF_E_NOTQUOTE;
        if (i < 5) h->values[i] = v;
        pos += uint64_t(used);
    }
    h->headerLength = pos;
    h->columnStart = pos;
    h->indexStart = h->columnStart + h->values[1];
    h->dataStart = h->indexStart + h->values[2];
    if (h->dataStart + h->values[3] > len) return QF_E_OUTPUT;
    if (h->values[0] > QF_MAX_IMAGE) return QF_E_NOMEM;
    return 0;
}

// Reads variable-length integers of one section without leaving it.
struct SectionReader {
    const uint8_t* p;
    uint64_t len;
    uint64_t pos = 0;
    bool ok = true;

    uint32_t U() {
        uint32_t v = 0;
        int n = ok ? TL_DecodeVarUInt32(p + pos, int64_t(len - pos), &v) : -1;
        if (n < 0) {
            ok = false;
            return 0;
        }
        pos += uint64_t(n);
        return v;
    }
    int32_t S() {
        int32_t v = 0;
        int n = ok ? TL_DecodeVarInt32(p + pos, int64_t(len - pos), &v) : -1;
        if (n < 0) {
            ok = false;
            return 0;
        }
        pos += uint64_t(n);
        return v;
    }
    uint8_t Byte() {
        if (!ok || pos >= len) {
            ok = false;
            return 0;
        }
        return p[pos++];
    }
};

// Words 0..k-1 of a native header or index head, and the rows after it, each
// later row stored as signed differences to the first row's words. Every
// stored word takes at least one byte of the section: a count that the rest
// of the section cannot hold is refused before anything is allocated for it.
bool ReadRows(SectionReader& r, uint64_t rows, uint64_t wordsPerRow, std::vector<uint32_t>* out) {
    if (!r.ok || (wordsPerRow != 0 && rows > (r.len - r.pos) / wordsPerRow)) {
        r.ok = false;
        return false;
    }
    out->assign(rows * wordsPerRow, 0);
    for (uint64_t row = 0; row < rows && r.ok; ++row)
        for (uint64_t w = 0; w < wordsPerRow && r.ok; ++w)
            (*out)[row * wordsPerRow + w] = row == 0 ? r.U() : (*out)[w] + static_cast<uint32_t>(r.S());
    return r.ok;
}

// A variable-length image read into temporaries: its header values, the
// native header and columns of its column section and the native index of
// its index section, every count checked against the bytes of its section,
// and the data checked against the records it must yield. Nothing is
// written; everything allocated is bounded by the image's own bytes.
struct VarParsed {
    VarHeader vh;
    QfNativeHeader h;
    uint32_t k = 0;           // header words stored
    uint32_t words[63] = {};  // the stored header words
    std::vector<uint32_t> colWords;
    uint64_t wpc = 0;  // words per column entry
    uint64_t headerLength = 0;
    std::vector<uint8_t> index;  // head and entries of the native index
    uint32_t compression = 0;
};

uint32_t ParseVarLen(const uint8_t* buf, uint64_t len, uint32_t flags, VarParsed* out) {
    VarHeader& vh = out->vh;
    uint32_t rc = ParseVarHeader(buf, len, &vh);
    if (rc) return rc;
    if ((flags & 0xFF) != 0x10) return QF_E_KIND;
    const uint64_t nativeSize = vh.values[0];

    // Column section: the native header.
    SectionReader cr{buf + vh.columnStart, vh.values[1]};
    uint64_t headerSize = cr.U();
    if (!cr.ok || headerSize == 0) return QF_E_OUTPUT;
    uint32_t k = cr.Byte();
    if (!cr.ok || k < 8 || k > 63 || 4ull * k > headerSize) return QF_E_OUTPUT;
    uint32_t* words = out->words;
    for (uint32_t i = 0; i < k; ++i) words[i] = cr.U();
    if (!cr.ok) return QF_E_OUTPUT;
    out->k = k;
    QfNativeHeader& h = out->h;
    std::memcpy(h.text, words, 8);
    uint64_t dataOffset = uint64_t(words[2]) + headerSize;
    uint64_t capacity = uint64_t(words[3]) + words[4];
    h.count = words[4];
    h.flags = words[6];
    h.entrySize = uint8_t(words[7] >> 8);
    h.columns = uint16_t(words[7] >> 16);
    h.fixedSize = uint8_t(4 * k);
    if (dataOffset > 0xFFFFFFFFull || capacity > 0xFFFFFFFFull) return QF_E_OUTPUT;
    h.dataOffset = uint32_t(dataOffset);
    h.capacity = uint32_t(capacity);
    if (h.columns == 0) {
        uint32_t blockLen = cr.U();
        uint32_t blockOff = cr.U();
        if (!cr.ok) return QF_E_CODEDCOLS;
        (void)blockOff;
        uint64_t at = std::min<uint64_t>(cr.pos, vh.values[1]);
        std::vector<QfColumn> columns;
        rc =
            DecodeCodedColumns(buf + vh.columnStart + at, std::min<uint64_t>(blockLen, vh.values[1] - at), 0, &columns);
        return rc ? rc : QF_E_CODEDCOLS;
    }
    if (h.entrySize < 8 || h.entrySize % 4 != 0) return QF_E_OUTPUT;
    const uint64_t headerLength = h.HeaderLength();
    if (headerLength > headerSize || headerLength > nativeSize) return QF_E_OUTPUT;
    out->headerLength = headerLength;
    if (!ReadRows(cr, h.columns, h.entrySize / 4, &out->colWords)) return QF_E_OUTPUT;
    uint64_t widths = 0;
    const uint64_t wpc = h.entrySize / 4;
    out->wpc = wpc;
    for (uint64_t i = 0; i < h.columns; ++i) widths += out->colWords[i * wpc + 1] >> 16;
    if (widths == 0 || widths > 0xFFFFFFFFull) return QF_E_OUTPUT;
    h.recordSize = uint32_t(widths);

    // Index section: the head and entries of the native index; the rest of its
    // stated length is zeroed in place with the slack before the data.
    uint64_t indexTotal = 0;
    if (vh.values[2] > 0) {
        SectionReader ir{buf + vh.indexStart, vh.values[2]};
        uint32_t ik = ir.Byte();
        if (!ir.ok || ik == 0 || ik > 63) return QF_E_INDEX;
        uint32_t headWords[63] = {};
        for (uint32_t i = 0; i < ik; ++i) headWords[i] = ir.U();
        if (!ir.ok) return QF_E_INDEX;
        QfIndexHead ih;
        uint8_t headBytes[16] = {};
        std::memcpy(headBytes, headWords, 16);
        QF_LoadIndexHead(headBytes, &ih);
        uint32_t headSize = std::max<uint32_t>(4 * ik, QF_INDEX_HEAD);
        ih.capacity = ih.count;
        if (ih.entrySize == 0 || ih.entrySize % 4 != 0) return QF_E_INDEX;
        uint64_t need = headSize + uint64_t(ih.count) * ih.entrySize;
        if (need > ih.total || ih.total > nativeSize) return QF_E_INDEX;
        std::vector<uint32_t> entryWords;
        if (!ReadRows(ir, ih.count, ih.entrySize / 4, &entryWords)) return QF_E_INDEX;
        indexTotal = ih.total;
        out->index.assign(need, 0);
        std::memcpy(out->index.data(), headWords, 4ull * ik);
        ih.headSize = uint8_t(headSize);
        QF_StoreIndexHead(ih, out->index.data());
        if (!entryWords.empty()) std::memcpy(out->index.data() + headSize, entryWords.data(), entryWords.size() * 4);
    }
    if (headerLength + indexTotal > h.dataOffset || h.dataOffset > nativeSize) return QF_E_OUTPUT;

    // Data: stored raw, or snappy columns whose stated lengths can yield the
    // records.
    const uint64_t area = uint64_t(h.count) * h.recordSize;
    out->compression = vh.values[4] & 0xFF;
    if (out->compression == 0) {
        if (vh.values[3] > nativeSize - h.dataOffset) return QF_E_OUTPUT;
        // Stored data shorter than the records would leave bytes of the stored
        // sections in the records.
        if (vh.values[3] < area) return QF_E_NOTQUOTE;
    } else if (out->compression == QF_BLOCK_SNAPPY) {
        // Records that cannot fit get the decoder's first answer (no input, or
        // a destination too small) here, before the stated native size is
        // reserved; records that fit are checked against the block's stated
        // lengths.
        if (area > nativeSize - h.dataOffset) return QF_MapDecoderCode(vh.values[3] == 0 ? -1 : -2);
        int shape =
            QF_CheckBlockShape(QF_BLOCK_SNAPPY, buf + vh.dataStart, vh.values[3], h.count, h.recordSize, h.columns);
        if (shape < 0) return QF_MapDecoderCode(shape);
    } else {
        return QF_E_KIND;
    }

    // A push or a query answer is never appended to: the native image holds
    // what its header, index and records take, and at most a bounded spare.
    const uint64_t used = headerLength + out->index.size() + area;
    if (nativeSize > used + QF_MAX_SPARE) return QF_E_NOMEM;
    return 0;
}

}  // namespace

uint32_t QF_MapDecoderCode(int code) {
    switch (code) {
    case -1:
        return QF_E_DEC_INPUT;
    case -2:
        return QF_E_DEC_SIZE;
    case -3:
        return QF_E_KIND;
    case -4:
        return QF_E_DEC_4;
    case -5:
        return QF_E_OUTPUT;
    default:
        return code < 0 ? QF_E_DEC_OTHER : 0;
    }
}

void QF_SetColumnBlockHook(const QfColumnBlockHook& hook) { g_columnHook = hook; }

uint32_t QF_Classify(const uint8_t* p, uint64_t len, uint32_t* flags, int* family) {
    if (p == nullptr || len < 2 || p[0] != 'h' || (p[1] != 'd' && p[1] != 'q')) return QF_E_NOTQUOTE;
    // Each pattern is compared only where the image has bytes: one longer than
    // the image does not match, so a short "hq"/"hd" text falls to the last row.
    uint32_t f;
    bool native = false;
    if (HasPrefix(p, len, "hq1.")) {
        f = 0;
        native = true;
    } else if (HasPrefix(p, len, "hq6.")) {
        f = 0x10;
    } else if (HasPrefix(p, len, "hd1.")) {
        if (HasPrefix(p, len, "hd1.3"))
            f = 0x10000000;
        else if (HasPrefix(p, len, "hd1.2"))
            return QF_E_VERSION;
        else
            f = 0;
    } else if (HasPrefix(p, len, "hd3.0")) {
        f = 1;
    } else if (HasPrefix(p, len, "hd3.1")) {
        f = 2;
    } else if (HasPrefix(p, len, "hd3.")) {
        return QF_E_VERSION;
    } else if (HasPrefix(p, len, "hd4.1")) {
        f = 3;
    } else if (HasPrefix(p, len, "hd5.0")) {
        f = 5;
    } else if (HasPrefix(p, len, "hd5.1")) {
        f = 6;
    } else {
        return QF_E_VERSION;
    }
    if (flags) *flags = f;
    if (family) *family = native ? QF_FAMILY_NATIVE : (f < 16 ? QF_FAMILY_COMPACT : QF_FAMILY_VARLEN);
    return 0;
}

void QF_LoadNativeHeader(const uint8_t* p, QfNativeHeader* h) {
    std::memcpy(h->text, p, 8);
    h->dataOffset = Le32(p + 8);
    h->capacity = Le32(p + 12);
    h->count = Le32(p + 16);
    h->recordSize = Le32(p + 20);
    h->flags = Le32(p + 24);
    h->fixedSize = p[28];
    h->entrySize = p[29];
    h->columns = Le16(p + 30);
}

void QF_StoreNativeHeader(const QfNativeHeader& h, uint8_t* p) {
    std::memcpy(p, h.text, 8);
    Put32(p + 8, h.dataOffset);
    Put32(p + 12, h.capacity);
    Put32(p + 16, h.count);
    Put32(p + 20, h.recordSize);
    Put32(p + 24, h.flags);
    p[28] = h.fixedSize;
    p[29] = h.entrySize;
    Put16(p + 30, h.columns);
}

bool QF_NativeHeaderValid(const QfNativeHeader& h, bool anyText) {
    if (!anyText && std::memcmp(h.text, "hq1.", 4) != 0) return false;
    if (h.count > h.capacity) return false;
    if (h.recordSize == 0 || h.columns == 0 || h.fixedSize == 0 || h.entrySize == 0) return false;
    if (h.fixedSize < QF_NATIVE_FIXED || h.entrySize < QF_NATIVE_COLENTRY) return false;
    return uint64_t(h.dataOffset) >= h.HeaderLength();
}

void QF_LoadIndexHead(const uint8_t* p, QfIndexHead* h) {
    h->total = Le32(p);
    h->capacity = Le32(p + 4);
    h->count = Le32(p + 8);
    h->headSize = p[12];
    h->entrySize = p[13];
    h->keySize = p[14];
    h->kind = p[15];
}

void QF_StoreIndexHead(const QfIndexHead& h, uint8_t* p) {
    Put32(p, h.total);
    Put32(p + 4, h.capacity);
    Put32(p + 8, h.count);
    p[12] = h.headSize;
    p[13] = h.entrySize;
    p[14] = h.keySize;
    p[15] = h.kind;
}

uint32_t QF_CheckIndex(const uint8_t* idx, uint64_t avail, QfIndexHead* out) {
    if (idx == nullptr || avail < QF_INDEX_HEAD) return QF_E_INDEX;
    QfIndexHead h;
    QF_LoadIndexHead(idx, &h);
    if (h.headSize == 0 || h.entrySize == 0 || h.keySize == 0 || h.capacity == 0) return QF_E_INDEX;
    if (h.headSize > h.total || h.keySize > h.entrySize || h.capacity < h.count) return QF_E_INDEX;
    if (uint64_t(h.total) < uint64_t(h.headSize) + uint64_t(h.capacity) * h.entrySize) return QF_E_INDEX;
    if (h.kind > 1 || h.headSize < QF_INDEX_HEAD || h.total > avail) return QF_E_INDEX;
    if (h.entrySize < uint32_t(h.keySize) + (h.kind ? 24u : 12u)) return QF_E_INDEX;
    if (out) *out = h;
    return 0;
}

uint32_t QF_ParseNative(const uint8_t* img, uint64_t len, bool anyText, QfNativeInfo* out) {
    if (img == nullptr || len < QF_NATIVE_FIXED) return QF_E_NOTQUOTE;
    QfNativeInfo info;
    QF_LoadNativeHeader(img, &info.header);
    const QfNativeHeader& h = info.header;
    if (!QF_NativeHeaderValid(h, anyText)) return QF_E_NOTQUOTE;
    info.headerLength = h.HeaderLength();
    uint64_t area = uint64_t(h.count) * h.recordSize;
    if (info.headerLength > len || h.dataOffset > len || area > len - h.dataOffset) return QF_E_NOTQUOTE;
    info.columns.resize(h.columns);
    uint64_t widths = 0;
    for (uint32_t i = 0; i < h.columns; ++i) {
        const uint8_t* e = img + h.fixedSize + uint64_t(i) * h.entrySize;
        info.columns[i].id = Le32(e);
        info.columns[i].attr = Le16(e + 4);
        info.columns[i].width = Le16(e + 6);
        widths += info.columns[i].width;
    }
    if (widths > h.recordSize) return QF_E_NOTQUOTE;
    // A converted image may leave zeroed slack before its data and no index.
    bool slack = anyText && h.dataOffset - info.headerLength >= 4 && Le32(img + info.headerLength) == 0;
    if (h.dataOffset > info.headerLength && !slack) {
        uint64_t avail = h.dataOffset - info.headerLength;
        uint32_t rc = QF_CheckIndex(img + info.headerLength, avail, &info.index);
        if (rc) return rc;
        info.indexOffset = info.headerLength;
        info.indexLength = info.index.total;
    }
    if (out) *out = std::move(info);
    return 0;
}

uint32_t QF_PlanConversion(const uint8_t* img, uint64_t len, QfConvertPlan* plan) {
    uint32_t flags = 0;
    int family = 0;
    uint32_t rc = QF_Classify(img, len, &flags, &family);
    if (rc) return rc;
    plan->family = family;
    plan->flags = flags;
    if (family == QF_FAMILY_NATIVE) {
        plan->nativeSize = len;
        return 0;
    }
    if (family == QF_FAMILY_COMPACT) {
        CompactParsed cp;
        rc = ParseCompact(img, len, flags & 0xFF, &cp);
        if (rc) return rc;
        plan->nativeSize = cp.nativeSize;
        return 0;
    }
    // The sections are read whole before the native size is trusted: it is
    // what the image makes its reader reserve.
    VarParsed vp;
    rc = ParseVarLen(img, len, flags, &vp);
    if (rc) return rc;
    plan->nativeSize = vp.vh.values[0];
    return 0;
}

namespace {

// The bytes of a native image of `nativeSize` bytes at `buf` that converting
// in place leaves as they were, from `end` on: what the stored image holds
// there, and zeros past it (the block it was copied into was zero-filled).
void FillAsLeft(const uint8_t* src, uint64_t len, uint8_t* buf, uint64_t end, uint64_t nativeSize) {
    if (end >= nativeSize) return;
    const uint64_t kept = len > end ? std::min(len, nativeSize) - end : 0;
    if (kept) std::memcpy(buf + end, src + end, kept);
    std::memset(buf + end + kept, 0, nativeSize - end - kept);
}

// Converts the stored image of `len` bytes at `src` into the native layout at
// `buf` (`cap` bytes). `src` is `buf` itself (in place, the image copied into
// a zero-filled block), or a separate image, in which case every byte of the
// native image is written as the in-place conversion leaves it.
uint32_t ConvertCompact(const uint8_t* src, uint64_t len, uint8_t* buf, uint64_t cap, const QfConvertPlan& plan,
                        uint64_t* nativeLen) {
    CompactParsed cp;
    uint32_t rc = ParseCompact(src, len, plan.flags & 0xFF, &cp);
    if (rc) return rc;
    if (cap < cp.nativeSize) return QF_E_FIXED;
    const uint32_t c = cp.columnCount;
    const uint64_t codes = cp.codes.size();
    const uint64_t indexTotal = codes ? QF_INDEX_HEAD + 28 * codes : 0;
    const uint64_t dataNative = QF_NATIVE_FIXED + uint64_t(QF_NATIVE_COLENTRY) * c + indexTotal;
    const uint64_t area = uint64_t(cp.records) * cp.recordSize;
    const uint64_t stored = len - cp.dataOffset;

    // The data first: the stored header, columns and codes are in `cp` now.
    if (cp.kind == QF_BLOCK_RAW) {
        if (stored < area) return QF_E_NOTQUOTE;
        std::memmove(buf + dataNative, src + cp.dataOffset, area);
    } else {
        QfWorkTable table;
        table.records = cp.records;
        table.recordSize = cp.recordSize;
        for (const QfColumn& col : cp.columns)
            table.columns.push_back({static_cast<uint16_t>(col.id & QF_KIND_MASK), col.width});
        int64_t avail = static_cast<int64_t>(std::min(area, stored));
        int dc = QF_DecodeBlock(cp.kind, src + cp.dataOffset, avail, table, buf + dataNative, area);
        if (dc < 0) return QF_MapDecoderCode(dc);
    }

    // Then the native header and index at the start of the image.
    QfNativeHeader h;
    std::memcpy(h.text, "hq1.0", 5);
    h.dataOffset = static_cast<uint32_t>(dataNative);
    h.capacity = cp.records;
    h.count = cp.records;
    h.recordSize = cp.recordSize;
    h.flags = cp.flagByte;
    h.fixedSize = QF_NATIVE_FIXED;
    h.entrySize = QF_NATIVE_COLENTRY;
    h.columns = static_cast<uint16_t>(c);
    QF_StoreNativeHeader(h, buf);
    for (uint32_t i = 0; i < c; ++i) {
        uint8_t* e = buf + QF_NATIVE_FIXED + 8 * uint64_t(i);
        Put32(e, cp.columns[i].id);
        Put16(e + 4, cp.columns[i].attr);
        Put16(e + 6, cp.columns[i].width);
    }
    if (codes) {
        uint8_t* idx = buf + QF_NATIVE_FIXED + 8 * uint64_t(c);
        QfIndexHead ih;
        ih.total = static_cast<uint32_t>(indexTotal);
        ih.capacity = static_cast<uint32_t>(codes);
        ih.count = static_cast<uint32_t>(codes);
        ih.headSize = QF_INDEX_HEAD;
        ih.entrySize = 28;
        ih.keySize = 16;
        ih.kind = 0;
        QF_StoreIndexHead(ih, idx);
        for (uint64_t i = 0; i < codes; ++i) {
            const CompactParsed::Code& code = cp.codes[i];
            uint8_t* e = idx + QF_INDEX_HEAD + 28 * i;
            std::memset(e, 0, 16);
            std::memcpy(e, code.code, 8);
            int64_t n = code.end - code.start;
            if (n < 0 || n > code.end) n = 0;
            Put32(e + 16, static_cast<uint32_t>(code.end));
            Put32(e + 20, static_cast<uint32_t>(n));
            Put32(e + 24, code.first);
        }
    }
    if (src != buf) FillAsLeft(src, len, buf, dataNative + area, cp.nativeSize);
    *nativeLen = cp.nativeSize;
    return 0;
}

uint32_t ConvertVarLen(const uint8_t* src, uint64_t len, uint8_t* buf, uint64_t cap, const QfConvertPlan& plan,
                       uint64_t* nativeLen) {
    VarParsed vp;
    uint32_t rc = ParseVarLen(src, len, plan.flags, &vp);
    if (rc) return rc;
    const VarHeader& vh = vp.vh;
    const QfNativeHeader& h = vp.h;
    const uint64_t nativeSize = vh.values[0];
    if (cap < nativeSize) return QF_E_FIXED;
    const uint64_t wpc = vp.wpc;
    const uint64_t headerLength = vp.headerLength;

    // Data.
    const uint64_t room = nativeSize - h.dataOffset;
    uint64_t dataEnd = h.dataOffset + uint64_t(h.count) * h.recordSize;
    if (vp.compression == 0) {
        std::memmove(buf + h.dataOffset, src + vh.dataStart, vh.values[3]);
        dataEnd = h.dataOffset + vh.values[3];
    } else {
        QfWorkTable table;
        table.records = h.count;
        table.recordSize = h.recordSize;
        for (uint64_t i = 0; i < h.columns; ++i)
            table.columns.push_back({static_cast<uint16_t>(vp.colWords[i * wpc] & QF_KIND_MASK),
                                     static_cast<uint16_t>(vp.colWords[i * wpc + 1] >> 16)});
        int dc = QF_DecodeBlock(QF_BLOCK_SNAPPY, src + vh.dataStart, vh.values[3], table, buf + h.dataOffset, room);
        if (dc < 0) return QF_MapDecoderCode(dc);
    }

    // Native header, columns and index at the start.
    QF_StoreNativeHeader(h, buf);
    if (vp.k > 8) std::memcpy(buf + 32, vp.words + 8, 4ull * (vp.k - 8));
    // Entries of wpc words each, as the column words are held.
    std::memcpy(buf + h.fixedSize, vp.colWords.data(), uint64_t(h.columns) * wpc * 4);
    if (!vp.index.empty()) std::memcpy(buf + headerLength, vp.index.data(), vp.index.size());
    std::memset(buf + headerLength + vp.index.size(), 0, h.dataOffset - headerLength - vp.index.size());
    if (src != buf) FillAsLeft(src, len, buf, dataEnd, nativeSize);
    *nativeLen = nativeSize;
    return 0;
}

}  // namespace

// Temporary tables and decoder buffers come from the heap; running out of
// memory is a result code, not an exception that leaves the reader.
uint32_t QF_ConvertCompact(uint8_t* buf, uint64_t len, uint64_t cap, const QfConvertPlan& plan, uint64_t* nativeLen) {
    try {
        return ConvertCompact(buf, len, buf, cap, plan, nativeLen);
    } catch (const std::bad_alloc&) {
        return QF_E_NOMEM;
    }
}

uint32_t QF_ConvertVarLen(uint8_t* buf, uint64_t len, uint64_t cap, const QfConvertPlan& plan, uint64_t* nativeLen) {
    try {
        return ConvertVarLen(buf, len, buf, cap, plan, nativeLen);
    } catch (const std::bad_alloc&) {
        return QF_E_NOMEM;
    }
}

uint32_t QF_ConvertInto(const uint8_t* image, uint64_t len, const QfConvertPlan& plan, uint8_t* out,
                        uint64_t* nativeLen) {
    try {
        if (plan.family == QF_FAMILY_COMPACT) return ConvertCompact(image, len, out, plan.nativeSize, plan, nativeLen);
        if (plan.family == QF_FAMILY_VARLEN) return ConvertVarLen(image, len, out, plan.nativeSize, plan, nativeLen);
        return QF_E_NOTQUOTE;
    } catch (const std::bad_alloc&) {
        return QF_E_NOMEM;
    }
}
