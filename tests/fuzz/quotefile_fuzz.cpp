// Fuzz target over quote-file images: classification, header parse, the
// conversion of every family into the native layout and the native checks;
// then the whole reader: CHQuoteFile opening, reading by record and by code,
// and field lookup.
//
// Nothing in the library sets the column-block hook, so coded column blocks
// ("hd4.1" and "hq6." images without column entries) are refused before
// they are read. This target sets one that reads a block as a u16 length and
// 8-byte native column entries, so the roads behind the hook run too.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "quote/qf_format.h"
#include "quote/qf_quotefile.h"

namespace {

// Images whose stated native size is beyond this are left at the plan: the
// memory they would reserve says nothing about the parsers.
constexpr uint64_t kMaxNative = 1u << 20;

volatile uint32_t g_sink;

int32_t OnRecords(void*, const uint8_t* p, int32_t n) {
    if (p && n > 0) g_sink = g_sink + p[0];
    return 0;
}

int32_t OnCode(void*, const char* key, const uint8_t* p, int32_t n) {
    g_sink = g_sink + uint8_t(key[0]);
    if (p && n > 0) g_sink = g_sink + p[0];
    return 0;
}

void FormatLayer(const std::vector<uint8_t>& img, const QfConvertPlan& plan) {
    std::vector<uint8_t> buf(std::max<uint64_t>(img.size(), plan.nativeSize));
    if (!img.empty()) std::memcpy(buf.data(), img.data(), img.size());
    uint64_t len = img.size();
    uint32_t rc = 0;
    if (plan.family == QF_FAMILY_COMPACT)
        rc = QF_ConvertCompact(buf.data(), img.size(), buf.size(), plan, &len);
    else if (plan.family == QF_FAMILY_VARLEN)
        rc = QF_ConvertVarLen(buf.data(), img.size(), buf.size(), plan, &len);
    if (plan.family != QF_FAMILY_NATIVE) {
        // Converting straight into a separate block (filled with a pattern no
        // byte may keep) gives the same code and the same native image.
        std::vector<uint8_t> out(plan.nativeSize, 0xA5);
        uint64_t outLen = 0;
        const uint32_t orc = QF_ConvertInto(img.data(), img.size(), plan, out.data(), &outLen);
        if (orc != rc) __builtin_trap();
        if (rc == 0 && (outLen != len || (len && std::memcmp(out.data(), buf.data(), len) != 0))) __builtin_trap();
    }
    if (rc != 0) return;
    buf.resize(len);
    QfNativeInfo info;
    if (QF_ParseNative(buf.data(), buf.size(), plan.family != QF_FAMILY_NATIVE, &info) != 0) return;
    uint64_t area = uint64_t(info.header.count) * info.header.recordSize;
    for (uint64_t i = 0; i < area; i += 97) g_sink = g_sink + buf[info.header.dataOffset + i];
}

void Reader(const std::vector<uint8_t>& img) {
    CHQuoteFile f;
    if (f.OpenMemory(img.data(), uint32_t(img.size()), 0) != 0) return;
    (void)f.ReadRecords(0, 0, QfRecordCallback(nullptr, &OnRecords));
    (void)f.ReadRecords(-1, -3, QfRecordCallback(nullptr, &OnRecords));
    f.ReadCodeRecords(0, 0, QfCodeCallback(nullptr, &OnCode));
    f.ReadCodeRecords(1, -2, QfCodeCallback(nullptr, &OnCode));
    QuoteFieldDescriptor d;
    for (uint32_t i = 0; i < f.GetColumnCount() && i < 64; ++i) {
        if (f.GetColumnInfo(i, &d)) (void)f.GetFieldInfo(d.id ^ 0x7000, &d);
    }
    (void)f.IsDataComplete();
}

int g_hookOwner;

int DecodeColumnBlock(int*, const QfCodedColumnBlock* block, std::vector<QfColumn>* out) {
    if (block->length < 2) return -1;
    const uint8_t* p = block->data;
    for (uint64_t at = 2; at + 8 <= block->length; at += 8) {
        QfColumn c;
        std::memcpy(&c.id, p + at, 4);
        std::memcpy(&c.attr, p + at + 4, 2);
        std::memcpy(&c.width, p + at + 6, 2);
        out->push_back(c);
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QF_SetColumnBlockHook(QfColumnBlockHook::BindFree<&DecodeColumnBlock>(&g_hookOwner));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized copy, so that any read past the image is caught.
    std::vector<uint8_t> img(data, data + size);
    QfConvertPlan plan;
    if (QF_PlanConversion(img.data(), img.size(), &plan) != 0) return 0;
    if (plan.nativeSize > kMaxNative) return 0;
    FormatLayer(img, plan);
    Reader(img);
    return 0;
}
