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
    qw::Table t =
        qw::MakeTable({{0x1001, 0, 8}, {0x2002, 0, 12}, {0x3003, 0, 4}, {0x7004, 0, 4}, {0x0005, 0, 8}, {0x6006, 0, 3}},
                      records, extra);
    std::mt19937 rng(records * 7 + extra);
    for (uint32_t r = 0; r < records; ++r) {
        qw::SetText(t, r, 0, std::to_string(60000000 + r / 7));  // fills the width
        qw::SetText(t, r, 1, std::string(rng() % 13, char('a' + r % 26)));
        qw::SetU32(t, r, 2, rng());
        qw::SetU32(t, r, 3, 0xA0000000u | (1000 + rng() % 9));
        qw::SetU64(t, r, 4, (uint64_t(rng()) << 32) | rng());
        std::memset(t.Field(r, 5), int(r), 3);
        if (rng() % 5 == 0) qw::SetAbsent(t, r, 2 + rng() % 3);
    }
    for (uint32_t i = 0; i < records; i += 7)
        t.codes.push_back({std::to_string(600000 + i / 7), i, std::min(7u, records - i)});
    return t;
}

// One image through the format layer (into a block filled with a pattern no
// byte may keep) and through the reader, both roads.
void Compare(const Bytes& img, const std::string& what) {
    QfConvertPlan plan;
    const bool planned = QF_PlanConversion(img.data(), img.size(), &plan) == 0;
    // Changed bytes may state hundreds of megabytes of records; what the
    // reader reserves for them is another test's subject.
    if (planned && plan.nativeSize > (16u << 20)) return;
    if (planned && plan.family != QF_FAMILY_NATIVE) {
        Bytes plain(std::max<uint64_t>(img.size(), plan.nativeSize), 0), out(plan.nativeSize, 0xA5);
        std::copy(img.begin(), img.end(), plain.begin());
        uint64_t plainLen = 0, outLen = 0;
        const uint32_t want = plan.family == QF_FAMILY_COMPACT
                                  ? QF_ConvertCompact(plain.data(), img.size(), plain.size(), plan, &plainLen)
                                  : QF_ConvertVarLen(plain.data(), img.size(), plain.size(), plan, &plainLen);
        ASSERT_EQ(QF_ConvertInto(img.data(), img.size(), plan, out.data(), &outLen), want) << what;
        ASSERT_TRUE(want != 0 || (outLen == plainLen && std::equal(out.begin(), out.begin() + outLen, plain.begin())))
            << what;
    }
    CHQuoteFile direct, copied;
    corvane::CTLFileObj holder;
    ASSERT_EQ(holder.OpenMemory(img.data(), uint32_t(img.size()), 0), 0u);
    const uint32_t rc = direct.OpenMemory(img.data(), uint32_t(img.size()), 0);
    ASSERT_EQ(rc, copied.OpenMemory(&holder, uint32_t(img.size()), TL_FILE_CAP_COPY_OBJECT)) << what;
    ASSERT_TRUE(rc != 0 || (direct.GetLength64() == copied.GetLength64() &&
                            std::memcmp(direct.GetBuffer(), copied.GetBuffer(), direct.GetLength64()) == 0))
        << what;
}

TEST(QfConvertInto, EqualsTheInPlaceConversionOnEveryFamily) {
    std::vector<std::pair<std::string, Bytes>> images;
    for (uint32_t records : {1u, 9u, 130u})
        for (uint32_t extra : {0u, 5u}) {
            const qw::Table t = Mixed(records, extra);
            const std::string name = std::to_string(records) + "+" + std::to_string(extra) + " ";
            for (const char* v : {"hd1.0", "hd3.0", "hd3.1", "hd5.0", "hd5.1"})
                images.push_back({name + v, qw::CompactImage(t, {v, extra != 0})});
            if (extra != 0) continue;  // "hq6." records are exactly their columns
            for (uint32_t compression : {0u, 0x10u})
                for (int64_t spare : {0, 333})  // room past the records, left as the image held it
                    images.push_back({name + "hq6 " + std::to_string(compression) + " " + std::to_string(spare),
                                      qw::Hq6Image(t, compression, {"hq6.0", spare})});
            images.push_back({name + "hd1.3", qw::Hq6Image(t, 0x10, {"hd1.3"})});
        }
    std::mt19937 rng(32);
    for (const auto& [name, img] : images) {
        for (size_t n = 1; n <= img.size(); n += std::max<size_t>(1, img.size() / 300))
            Compare(Bytes(img.begin(), img.begin() + int64_t(n)), name + " cut at " + std::to_string(n));
        Compare(img, name);
        for (int i = 0; i < 150; ++i) {
            Bytes b = img;
            for (int k = 0; k < 1 + i % 3; ++k) b[rng() % b.size()] ^= uint8_t(1 + rng() % 255);
            Compare(b, name + " mutation " + std::to_string(i));
        }
        if (HasFailure()) return;
    }
}

}  // namespace
