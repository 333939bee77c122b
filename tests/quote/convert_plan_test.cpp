// The plan of an output record's numbers against the plain readers: random
// column layouts of every kind (absent columns and texts among them), every
// reading, random records of realistic and hostile words; the bytes written
// must match to the bit, and bytes no field names must stay untouched.
#include "quote/convert_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/support/plain_numbers.h"

namespace {

// Packed words: no-value patterns, any bits, and well-formed numbers with
// small, large and limit magnitudes, every power, both signs, both forms.
uint32_t RandomPacked32(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return rng() % 2 ? 0x80000000u : 0xFFFFFFFFu;
        case 1: return uint32_t(rng());
        case 2: return uint32_t(rng() % 100000) | uint32_t(rng() & 0xF8000000u);
        default: return uint32_t(rng());
    }
}

uint64_t RandomPacked64(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return rng() % 2 ? 0x8000000000000000ull : ~0ull;
        case 1: return (0x03FFFFFFFFFFFFFFull - rng() % 4) | (rng() & 0xFC00000000000000ull);
        case 2: return (rng() % 10000000) | (rng() & 0xFC00000000000000ull);
        default: return rng();
    }
}

void PlainFill(uint8_t* out, const uint8_t* rec, const QuoteFieldDescriptor* d, const NumberField& f) {
    const QuoteFieldDescriptor& c = d[f.field];
    auto put = [&](auto v) { memcpy(out + f.at, &v, sizeof v); };
    switch (f.read) {
        case NumberRead::kDouble: put(plain::FieldDouble(rec, c)); break;
        case NumberRead::kInt64: put(plain::FieldInt64(rec, c)); break;
        case NumberRead::kInt32: put(plain::FieldInt32(rec, c)); break;
        case NumberRead::kDoubleToInt64: put(plain::Truncate64(plain::FieldDouble(rec, c))); break;
        case NumberRead::kDoubleToInt32: put(plain::Truncate32(plain::FieldDouble(rec, c))); break;
    }
}

TEST(NumberPlan, FillsWhatThePlainReadersGive) {
    std::mt19937_64 rng(120);
    constexpr uint32_t kColumns = 40;
    for (int layout = 0; layout < 400; ++layout) {
        std::vector<QuoteFieldDescriptor> cols;
        uint32_t offset = 0;
        for (uint32_t c = 0; c < kColumns; ++c) {
            static const uint32_t kinds[] = {kFieldKindPacked64, kFieldKindPacked32, kFieldKindInt32, kFieldKindText, 0x5000};
            uint32_t kind = kinds[rng() % 5];
            uint32_t width = kind == kFieldKindPacked64 ? 8 : kind == kFieldKindText ? 1 + uint32_t(rng() % 12) : 4;
            if (rng() % 8 == 0) {
                cols.push_back(QuoteFieldDescriptor{});  // no such column
                continue;
            }
            cols.push_back(QuoteFieldDescriptor{kind | (c + 1), 0, width, offset});
            offset += width;
        }
        std::vector<NumberField> fields(1 + rng() % NumberPlan::kMaxFields);
        for (size_t i = 0; i < fields.size(); ++i)
            fields[i] = NumberField{uint16_t(rng() % kColumns), NumberRead(rng() % 5), uint16_t(i * 8)};
        NumberPlan plan;
        plan.Build(cols.data(), fields.data(), fields.size());

        // 40 records in one run (more than a chunk), each a byte longer than
        // its columns; output records a byte longer than their fields.
        const size_t recSize = offset + 1, outSize = fields.size() * 8 + 1, count = 40;
        std::vector<uint8_t> recs(recSize * count);
        for (size_t r = 0; r < count; ++r) {
            for (const QuoteFieldDescriptor& c : cols) {
                uint8_t* p = recs.data() + r * recSize + c.offset;
                if ((c.id & kFieldKindMask) == kFieldKindPacked64) {
                    uint64_t v = RandomPacked64(rng);
                    memcpy(p, &v, 8);
                } else if (c.id != 0 && c.width == 4) {
                    uint32_t v = (c.id & kFieldKindMask) == kFieldKindInt32 ? uint32_t(rng()) : RandomPacked32(rng);
                    memcpy(p, &v, 4);
                }
            }
        }
        std::vector<uint8_t> fast(outSize * count, 0xA5), ref(outSize * count, 0xA5);
        plan.Fill(fast.data(), outSize, recs.data(), recSize, count);
        for (size_t r = 0; r < count; ++r)
            for (const NumberField& f : fields) PlainFill(ref.data() + r * outSize, recs.data() + r * recSize, cols.data(), f);
        ASSERT_EQ(fast, ref) << "layout " << layout;
    }
}

}  // namespace
