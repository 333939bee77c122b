#include "quote/qf_quotefile.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

corvane::CTLObject* CreateQuoteFile() { return new (std::nothrow) CHQuoteFile; }

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// File-layer codes met while opening, in the quote-file layer's terms.
uint32_t FromFileCode(uint32_t rc) {
    if (rc == TL_FOBJ_E_NO_MEMORY) return QF_E_NOMEM;
    if (rc == TL_FOBJ_E_FIXED) return QF_E_FIXED;
    return rc;
}

// first/count against `total` records, in 64 bits. False when first lies
// outside.
bool Normalise(int64_t total, int64_t* first, int64_t* count) {
    if (*first < 0) *first += total;
    if (*first < 0 || *first >= total) return false;
    if (*count == 0) {
        *count = total - *first;
    } else if (*count > 0) {
        *count = std::min(*count, total - *first);
    } else {
        int64_t c = std::min(-*count, *first + 1);
        *first = *first - c + 1;
        *count = c;
    }
    return true;
}

}  // namespace

TLRuntimeClass CHQuoteFile::classCHQuoteFile = {"CHQuoteFile", int32_t(sizeof(CHQuoteFile)),          CreateQuoteFile,
                                                nullptr,       &corvane::CTLFileObj::classCTLFileObj, nullptr};
static TLClassRegistrar s_regQuoteFile(&CHQuoteFile::classCHQuoteFile);

TLRuntimeClass* CHQuoteFile::GetRuntimeClass() const { return &classCHQuoteFile; }

CHQuoteFile::~CHQuoteFile() { Close(); }

void CHQuoteFile::Forget() {
    m_open = false;
    m_info = QfNativeInfo{};
    m_offsets.clear();
    m_offsets.shrink_to_fit();
    m_header.clear();
    m_header.shrink_to_fit();
    m_index.clear();
    m_index.shrink_to_fit();
    m_blockHead = 0;
}

uint32_t CHQuoteFile::Close() {
    Forget();
    return CTLFileObj::Close();
}

uint32_t CHQuoteFile::ResetMemory() {
    if (!IsOpen()) return QF_E_NOTQUOTE;
    if ((m_mode & TL_FMODE_STORE_MASK) != TL_FMODE_MEMORY) return QF_E_NEEDMEMORY;
    Store()->SetLength64(0, 0);
    Store()->Seek64(0, 0);
    Forget();
    return 0;
}

bool CHQuoteFile::IsDataComplete() {
    if (!m_open || !IsOpen()) return false;
    if (!QF_NativeHeaderValid(m_info.header, true)) return false;
    return GetDataEnd() <= GetLength64();
}

uint64_t CHQuoteFile::GetDataEnd() const {
    if (!m_open) return 0;
    return uint64_t(m_info.header.dataOffset) + uint64_t(m_info.header.capacity) * m_info.header.recordSize;
}

uint32_t CHQuoteFile::Open(const char* name, uint32_t mode) {
    uint32_t rc = CTLFileObj::Open(name, (mode & ~TL_FMODE_STORE_MASK & ~TL_FMODE_FIXED) | TL_FMODE_MEMORY);
    if (rc) return rc;
    return OpenImageOrClose();
}

uint32_t CHQuoteFile::OpenMemory(const void* image, uint32_t len, uint32_t cap) {
    if (image == nullptr || len < 1 || cap == 0xFFFFFFFFu) return QF_E_BADARG;
    if (IsOpen()) return TL_FOBJ_E_ALREADY_OPEN;
    Close();
    uint32_t openCap = cap;
    if (cap != TL_FILE_CAP_COPY_OBJECT) {
        QfConvertPlan plan;
        uint32_t rc = QF_PlanConversion(static_cast<const uint8_t*>(image), len, &plan);
        if (rc) return rc;
        if (plan.family != QF_FAMILY_NATIVE) {
            if (cap == TL_FILE_CAP_ATTACH) {
                if (plan.nativeSize > len) return QF_E_FIXED;
            } else if (cap == TL_FILE_CAP_FIXED_COPY) {
                openCap = uint32_t(std::max<uint64_t>(plan.nativeSize, len));
            } else {
                // The stored image is only read: it is converted straight into a
                // block of its native size, not copied into one first.
                rc = CTLFileObj::OpenMemoryToFill(uint32_t(plan.nativeSize));
                if (rc) return FromFileCode(rc);
                return OpenConvertedOrClose(static_cast<const uint8_t*>(image), len, plan);
            }
        }
    }
    uint32_t rc = CTLFileObj::OpenMemory(image, len, openCap);
    if (rc) return FromFileCode(rc);
    return OpenImageOrClose();
}

uint32_t CHQuoteFile::OpenConvertedOrClose(const uint8_t* image, uint64_t len, const QfConvertPlan& plan) {
    uint32_t rc;
    try {
        uint64_t nativeLen = 0;
        rc = QF_ConvertInto(image, len, plan, GetBuffer(), &nativeLen);
        if (rc == 0 && nativeLen != GetLength64()) rc = FromFileCode(Store()->SetLength64(int64_t(nativeLen), 0));
        if (rc == 0) rc = KeepNative(GetBuffer(), nativeLen, true);
    } catch (const std::bad_alloc&) {
        rc = QF_E_NOMEM;
    }
    if (rc) Close();
    return rc;
}

// Running out of memory while converting is a result code; a buffer that
// does not open is closed again.
uint32_t CHQuoteFile::OpenImageOrClose() {
    uint32_t rc;
    try {
        rc = OpenImage();
    } catch (const std::bad_alloc&) {
        rc = QF_E_NOMEM;
    }
    if (rc) Close();
    return rc;
}

uint32_t CHQuoteFile::OpenImage() {
    const uint64_t len = GetLength64();
    uint8_t* buf = GetBuffer();
    if (buf == nullptr || len < 1) return QF_E_NOTQUOTE;
    QfConvertPlan plan;
    uint32_t rc = QF_PlanConversion(buf, len, &plan);
    if (rc) return rc;
    uint64_t nativeLen = len;
    if (plan.family != QF_FAMILY_NATIVE) {
        if (plan.nativeSize > len) {
            if (IsFixed()) return QF_E_FIXED;
            rc = Store()->SetLength64(int64_t(plan.nativeSize), 0);
            if (rc) return FromFileCode(rc);
            buf = GetBuffer();  // the block may have moved
        }
        const uint64_t room = std::max<uint64_t>(len, plan.nativeSize);
        rc = plan.family == QF_FAMILY_COMPACT ? QF_ConvertCompact(buf, len, room, plan, &nativeLen)
                                              : QF_ConvertVarLen(buf, len, room, plan, &nativeLen);
        if (rc) return rc;
        if (!IsFixed()) {
            rc = Store()->SetLength64(int64_t(nativeLen), 0);
            if (rc) return FromFileCode(rc);
            buf = GetBuffer();  // a shrink may have moved the block too
        }
    }
    return KeepNative(buf, nativeLen, plan.family != QF_FAMILY_NATIVE);
}

uint32_t CHQuoteFile::KeepNative(const uint8_t* buf, uint64_t nativeLen, bool converted) {
    uint32_t rc = QF_ParseNative(buf, nativeLen, converted, &m_info);
    if (rc) return rc;
    // Column lookups by index are asked once per column and code; the offsets
    // are summed here once.
    m_offsets.resize(m_info.columns.size());
    uint32_t offset = 0;
    for (size_t i = 0; i < m_info.columns.size(); ++i) {
        m_offsets[i] = offset;
        offset += m_info.columns[i].width;
    }
    if (!IsFixed()) m_header.assign(buf, buf + m_info.headerLength);
    if (m_info.indexOffset != 0)
        m_index.assign(buf + m_info.indexOffset, buf + m_info.indexOffset + m_info.indexLength);
    Store()->Seek64(0, 0);
    m_open = true;
    return 0;
}

void CHQuoteFile::RefreshHeader() {
    const uint8_t* buf = GetBuffer();
    const uint64_t len = GetLength64();
    if (buf == nullptr || len < QF_NATIVE_FIXED) return;
    QfNativeHeader h;
    QF_LoadNativeHeader(buf, &h);
    const QfNativeHeader& kept = m_info.header;
    if (!QF_NativeHeaderValid(h, true) || h.fixedSize != kept.fixedSize || h.entrySize != kept.entrySize) return;
    // Never more columns than the kept table, never records past the image.
    if (h.columns > m_info.columns.size()) return;
    if (uint64_t(h.dataOffset) + uint64_t(h.count) * h.recordSize > len) return;
    uint64_t widths = 0;
    for (uint32_t i = 0; i < h.columns; ++i) widths += m_info.columns[i].width;
    if (widths > h.recordSize) return;
    m_info.header.dataOffset = h.dataOffset;
    m_info.header.capacity = h.capacity;
    m_info.header.count = h.count;
    m_info.header.recordSize = h.recordSize;
    m_info.header.columns = h.columns;
}

bool CHQuoteFile::GetColumnInfo(uint32_t index, QuoteFieldDescriptor* out) const {
    if (out) *out = QuoteFieldDescriptor{};
    if (!m_open || index >= m_info.header.columns || index >= m_info.columns.size()) return false;
    const QfColumn& c = m_info.columns[index];
    if (out) *out = QuoteFieldDescriptor{c.id, c.attr, c.width, m_offsets[index]};
    return true;
}

uint32_t CHQuoteFile::GetFieldInfo(uint32_t id, QuoteFieldDescriptor* out) const {
    if (out) *out = QuoteFieldDescriptor{};
    if (!m_open) return 0xFFFFFFFFu;
    uint32_t offset = 0;
    const uint32_t n = std::min<uint32_t>(m_info.header.columns, uint32_t(m_info.columns.size()));
    for (uint32_t i = 0; i < n; ++i) {
        const QfColumn& c = m_info.columns[i];
        if ((c.id & ~QF_KIND_MASK) == (id & ~QF_KIND_MASK)) {
            if (out) *out = QuoteFieldDescriptor{c.id, c.attr, c.width, offset};
            return 0;
        }
        offset += c.width;
    }
    return 0xFFFFFFFFu;
}

int32_t CHQuoteFile::ReadRecords(int32_t first, int32_t count, const QfRecordCallback& cb) {
    if (!m_open || !IsOpen()) return int32_t(QF_E_NOTQUOTE);
    RefreshHeader();
    int64_t f = first, n = count;
    if (!Normalise(m_info.header.count, &f, &n) || n < 1) return int32_t(QF_E_RANGE);
    if (!cb.IsEmpty()) {
        int32_t r = cb(nullptr, int32_t(n));
        if (r < 0) return r;
    }
    const uint64_t s = m_info.header.recordSize;
    if (Seek64(int64_t(m_info.header.dataOffset + uint64_t(f) * s), 0) != 0) return int32_t(QF_E_NODATA);
    const uint64_t want = uint64_t(n) * s;
    uint32_t got = uint32_t(std::min<uint64_t>(want, 0xFFFFFFFFu));
    const uint8_t* p = GetDataAt(&got);
    if (p == nullptr || got < want) return int32_t(QF_E_NODATA);
    if (!cb.IsEmpty()) {
        int32_t r = cb(p, int32_t(n));
        if (r < 0) return r;
    }
    return int32_t(n);
}

void CHQuoteFile::ReadCodeRecords(int32_t first, int32_t count, const QfCodeCallback& cb) {
    if (!m_open || !IsOpen() || m_index.empty() || cb.IsEmpty()) return;
    const QfIndexHead& ih = m_info.index;
    const uint8_t* image = GetBuffer();
    const uint64_t len = GetLength64();
    const uint64_t s = m_info.header.recordSize;
    const uint64_t D = m_info.header.dataOffset;
    const uint64_t fileCount = m_info.header.count;
    std::vector<char> key(size_t(ih.keySize) + 1, 0);
    bool stop = false;
    for (uint32_t e = 0; e < ih.count && !stop; ++e) {
        const uint8_t* entry = m_index.data() + ih.headSize + uint64_t(e) * ih.entrySize;
        std::memcpy(key.data(), entry, ih.keySize);  // the key may fill its room without a zero
        const uint8_t* values = entry + ih.keySize;
        if (ih.kind == 1) {
            ReadChainedCode(key.data(), values, first, count, cb, &stop);
            continue;
        }
        uint64_t codeFirst = Le32(values + 8);
        uint64_t codeCount = Le32(values + 4);
        // Only records that exist in the data area belong to the code.
        codeCount = codeFirst >= fileCount ? 0 : std::min(codeCount, fileCount - codeFirst);
        int64_t f = first, n = count;
        bool ok = Normalise(int64_t(codeCount), &f, &n);
        if (cb(key.data(), nullptr, ok ? int32_t(n) : 0) < 0) break;
        if (!ok || n < 1) continue;
        const uint64_t at = D + (codeFirst + uint64_t(f)) * s;
        if (at + uint64_t(n) * s > len) continue;
        if (cb(key.data(), image + at, int32_t(n)) < 0) break;
    }
}

void CHQuoteFile::ReadChainedCode(const char* key, const uint8_t* values, int64_t first, int64_t count,
                                  const QfCodeCallback& cb, bool* stop) {
    const QfIndexHead& ih = m_info.index;
    const uint8_t* image = GetBuffer();
    const uint64_t len = GetLength64();
    const uint64_t s = m_info.header.recordSize;
    const uint64_t D = m_info.header.dataOffset;
    if (m_blockHead == 0) {
        const uint8_t* e0 = m_index.data() + ih.headSize;
        m_blockHead = (ih.entrySize - ih.keySize == 24) ? Le32(e0 + ih.keySize + 20) : 16;
        if (m_blockHead < 16) m_blockHead = 16;
    }
    const uint64_t H = m_blockHead;
    int64_t f = first, n = count;
    bool ok = Normalise(int64_t(Le32(values + 4)), &f, &n);
    if (cb(key, nullptr, ok ? int32_t(n) : 0) < 0) {
        *stop = true;
        return;
    }
    if (!ok || n < 1) return;
    uint64_t block = Le32(values + 8);
    uint64_t wantFirst = uint64_t(f), left = uint64_t(n);
    // A chain never needs more steps than there are record slots, in the
    // image, for its blocks to lie at; a cyclic chain ends there. The stated
    // capacity is no bound: nothing ties it to the image.
    uint64_t steps = std::min<uint64_t>(m_info.header.capacity, len > D && s ? (len - D) / s : 0) + 1;
    while (left > 0 && steps-- > 0) {
        const uint64_t at = D + block * s;
        if (at + H > len) {
            *stop = true;  // a block head that cannot be read whole
            return;
        }
        const uint8_t* head = image + at;
        const uint64_t blockFirst = Le32(head + 4), blockCount = Le32(head + 8), next = Le32(head + 12);
        if (blockFirst + blockCount > wantFirst) {
            const uint64_t skip = wantFirst > blockFirst ? wantFirst - blockFirst : 0;
            const uint64_t k = std::min(blockCount - skip, left);
            const uint64_t rec = at + H + skip * s;
            if (rec + k * s > len) return;
            if (cb(key, image + rec, int32_t(k)) < 0) {
                *stop = true;
                return;
            }
            left -= k;
            wantFirst += k;
        }
        if (next == 0) return;
        block = next;
    }
}
