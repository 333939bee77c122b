// Converting a stored image straight from the caller's bytes against the
// plain road (a copy in a zero-filled block converted in place), through the
// format layer and the reader, on images of every family, whole, cut short
// and with bytes changed: the same result code and native image to the byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "framework/tl_fileobj.h"
#include "quote/qf_format.h"
#include "quote/qf_quotefile.h"
#include "simulator/quote_writer.h"

namespace {

using qw::Bytes;

// Records with every value kind, absent fields, texts of every length and,
// with `extra`, record bytes that no column covers.
qw::Table Mixed(uint32_t records, uint32_t extra) {
    qw::Table t = qw::MakeTable({{0x1001, 0, 8},
                                 {0x2002, 0, 12},
                                 {0x3003, 0, 4},
                                 {0x7004, 0, 4},
                                 {0x0005, 0, 8},
                                 {0x6006, 0, 3},
                                 {0x4007, 0, 4},
                                 {0x5008, 0, 8}},
                                records, extra);
    std::mt19937 rng(records * 7 + extra);
    for (uint32_t r = 0; r < records; ++r) {
        qw::SetText(t, r, 0, std::to_string(60000000 + r / 7));  // fills the width
        qw::SetText(t, r, 1, std::string(rng() % 13, char('a' + r % 26)));
        qw::SetU32(t, r, 2, 93000000 + r * 3);
        qw::SetU32(t, r, 3, 0xA0000000u | (1000 + rng() % 9));
        qw::SetU64(t, r, 4, 100000 + uint64_t(r) * (rng() % 5000));
        qw::SetU32(t, r, 6, rng());
        qw::SetU64(t, r, 7, (uint64_t(rng()) << 32) | rng());
        const uint8_t raw[3] = {uint8_t(r), uint8_t(r >> 8), 7};
        std::memcpy(t.Field(r, 5), raw, 3);
        for (size_t c = 2; c < 8; ++c)
            if (rng() % 5 == 0) qw::SetAbsent(t, r, c);
    }
    for (uint32_t i = 0; i < records; i += 7)
        t.codes.push_back({std::to_string(600000 + i / 7), i, std::min(7u, records - i)});
    return t;
}

// The coded column block of "hq6." images without column entries: a u16
// length, then native column entries.
int g_hookOwner;
int ReadColumnBlock(int*, const QfCodedColumnBlock* block, std::vector<QfColumn>* out) {
    if (block->length < 2) return -1;
    for (uint64_t at = 2; at + 8 <= block->length; at += 8) {
        QfColumn c;
        std::memcpy(&c.id, block->data + at, 4);
        std::memcpy(&c.attr, block->data + at + 4, 2);
        std::memcpy(&c.width, block->data + at + 6, 2);
        out->push_back(c);
    }
    return 0;
}

// Stored images of every family the conversion handles.
std::vector<std::pair<std::string, Bytes>> StoredImages() {
    std::vector<std::pair<std::string, Bytes>> out;
    for (uint32_t records : {1u, 9u, 130u}) {
        for (uint32_t extra : {0u, 5u}) {
            const qw::Table t = Mixed(records, extra);
            const std::string name = std::to_string(records) + "+" + std::to_string(extra) + " ";
            for (const char* v : {"hd1.0", "hd3.0", "hd3.1", "hd5.0", "hd5.1"}) {
                qw::CompactOptions o;
                o.version = v;
                o.highIds = extra != 0;
                out.push_back({name + v, qw::CompactImage(t, o)});
            }
            if (extra != 0) continue;  // "hq6." records are exactly their columns
            qw::Hq6Options spare, hd13, coded;
            spare.nativeSizeAdjust = 333;  // room past the records, left as the image held it
            hd13.version = "hd1.3";
            coded.codedColumns = true;
            const std::tuple<const char*, uint32_t, qw::Hq6Options> hq6[] = {
                {"hq6 raw", 0, {}},          {"hq6 snappy", 0x10, {}},
                {"hq6 raw spare", 0, spare}, {"hq6 snappy spare", 0x10, spare},
                {"hd1.3", 0x10, hd13},       {"hq6 coded columns", 0x10, coded}};
            for (const auto& [v, compression, o] : hq6) out.push_back({name + v, qw::Hq6Image(t, compression, o)});
        }
    }
    return out;
}

// The plain road: a copy of the image in a zero-filled block as large as the
// image and its native size, converted in place.
uint32_t PlainConvert(const Bytes& img, const QfConvertPlan& plan, Bytes* native) {
    Bytes buf(std::max<uint64_t>(img.size(), plan.nativeSize), 0);
    std::copy(img.begin(), img.end(), buf.begin());
    uint64_t nativeLen = 0;
    const uint32_t rc = plan.family == QF_FAMILY_COMPACT
                            ? QF_ConvertCompact(buf.data(), img.size(), buf.size(), plan, &nativeLen)
                            : QF_ConvertVarLen(buf.data(), img.size(), buf.size(), plan, &nativeLen);
    if (rc == 0) native->assign(buf.begin(), buf.begin() + int64_t(nativeLen));
    return rc;
}

// The result code of opening an image and the native image the file holds.
std::pair<uint32_t, Bytes> Opened(CHQuoteFile& f, uint32_t rc) {
    if (rc) return {rc, {}};
    return {0, Bytes(f.GetBuffer(), f.GetBuffer() + f.GetLength64())};
}

// One image through the format layer and through the reader, both roads.
void Compare(const Bytes& img, const std::string& what) {
    QfConvertPlan plan;
    const bool planned = QF_PlanConversion(img.data(), img.size(), &plan) == 0;
    // Changed bytes may state hundreds of megabytes of records; what the
    // reader reserves for them is another test's subject.
    if (planned && plan.nativeSize > (16u << 20)) return;
    if (planned && plan.family != QF_FAMILY_NATIVE) {
        Bytes plain;
        const uint32_t want = PlainConvert(img, plan, &plain);
        // Two fills of the fresh block: no byte may keep either.
        for (uint8_t fill : {uint8_t(0xA5), uint8_t(0x5A)}) {
            Bytes out(plan.nativeSize, fill);
            uint64_t nativeLen = 0;
            const uint32_t rc = QF_ConvertInto(img.data(), img.size(), plan, out.data(), &nativeLen);
            ASSERT_EQ(rc, want) << what;
            ASSERT_TRUE(rc != 0 || (nativeLen == plain.size() && out == plain)) << what;
        }
    }
    // The reader: straight from the caller's bytes, and copied from another
    // file object and converted in place.
    CHQuoteFile direct, copied;
    corvane::CTLFileObj holder;
    ASSERT_EQ(holder.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
    EXPECT_EQ(Opened(direct, direct.OpenMemory(img.data(), uint32_t(img.size()), 0)),
              Opened(copied, copied.OpenMemory(&holder, uint32_t(img.size()), TL_FILE_CAP_COPY_OBJECT)))
        << what;
}

TEST(QfConvertInto, EqualsTheInPlaceConversionOnEveryFamily) {
    QF_SetColumnBlockHook(QfColumnBlockHook::BindFree<&ReadColumnBlock>(&g_hookOwner));
    std::mt19937 rng(32);
    for (const auto& [name, img] : StoredImages()) {
        Compare(img, name);
        const size_t step = std::max<size_t>(1, img.size() / 300);
        for (size_t n = 1; n < img.size(); n += step)
            Compare(Bytes(img.begin(), img.begin() + int64_t(n)), name + " cut at " + std::to_string(n));
        for (int i = 0; i < 150; ++i) {
            Bytes b = img;
            for (int k = 0; k < 1 + i % 3; ++k) b[rng() % b.size()] ^= uint8_t(1 + rng() % 255);
            Compare(b, name + " mutation " + std::to_string(i));
        }
        if (HasFailure()) return;
    }
}

}  // namespace
