#include "quote/convert_plan.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "quote/convert_fields.h"

namespace {

constexpr uint32_t kReadsAsZero = 0xFFFFFFFFu;
// The column kind of each kind index KindIndex gives, the last reading as 0.
constexpr uint32_t kGroupKinds[] = {kFieldKindPacked64, kFieldKindPacked32, kFieldKindInt32, kReadsAsZero};
static_assert(std::size(kGroupKinds) == NumberPlan::kKinds);
// A field's group is kept in a byte, and group starts in 16 bits.
static_assert(NumberPlan::kGroups <= 256 && NumberPlan::kMaxFields <= 0xFFFF);

size_t KindIndex(const QuoteFieldDescriptor& d) {
    if (IsAbsentField(d)) return 3;
    switch (d.id & kFieldKindMask) {
    case kFieldKindPacked64:
        return 0;
    case kFieldKindPacked32:
        return 1;
    case kFieldKindInt32:
        return 2;
    default:
        return 3;
    }
}

// The value of a reading on a column of a known kind: the same readers
// GetFieldDouble, GetFieldInt64 and GetFieldInt32 choose by the descriptor.
template <NumberRead R, uint32_t Kind>
auto ReadAs(const uint8_t* p) {
    if constexpr (R == NumberRead::kDouble)
        return ReadKindDouble<Kind>(p);
    else if constexpr (R == NumberRead::kInt64)
        return ReadKindInt64<Kind>(p);
    else if constexpr (R == NumberRead::kInt32)
        return ReadKindInt32<Kind>(p);
    // On a 32-bit packed column the truncated double reading is the integer
    // reading: both truncate the decoded double, and its no-value -0.0
    // truncates to the 0 the integer readings give for no value.
    else if constexpr (R == NumberRead::kDoubleToInt64 && Kind == kFieldKindPacked32)
        return ReadKindInt64<Kind>(p);
    else if constexpr (R == NumberRead::kDoubleToInt32 && Kind == kFieldKindPacked32)
        return ReadKindInt32<Kind>(p);
    else if constexpr (R == NumberRead::kDoubleToInt64)
        return TruncateToInt64(ReadKindDouble<Kind>(p));
    else {
        // A reading added to NumberRead stops the build here until it is read.
        static_assert(R == NumberRead::kDoubleToInt32, "a reading without its reader");
        return TruncateToInt32(ReadKindDouble<Kind>(p));
    }
}

}  // namespace

int NumberPlan::Build(const QuoteFieldDescriptor* descriptors, const NumberField* fields, size_t n) {
    // A refused layout leaves the plan empty.
    std::fill(std::begin(m_start), std::end(m_start), uint16_t(0));
    if (n > kMaxFields) return kTooManyFields;
    uint8_t group[kMaxFields];
    uint16_t next[kGroups] = {};
    for (size_t i = 0; i < n; ++i) {
        if (size_t(fields[i].read) >= kReads) return kUnknownReading;
        group[i] = uint8_t(size_t(fields[i].read) * kKinds + KindIndex(descriptors[fields[i].field]));
        ++next[group[i]];
    }
    m_start[0] = 0;
    for (size_t g = 0; g < kGroups; ++g) {
        uint16_t count = next[g];
        next[g] = m_start[g];
        m_start[g + 1] = uint16_t(m_start[g] + count);
    }
    for (size_t i = 0; i < n; ++i) {
        const QuoteFieldDescriptor& d = descriptors[fields[i].field];
        m_steps[next[group[i]]++] = Step{IsAbsentField(d) ? 0u : d.offset, fields[i].at};
    }
    return 0;
}

void NumberPlan::Fill(uint8_t* out, size_t outStride, const uint8_t* records, size_t stride, size_t count) const {
    auto run = [&]<size_t G>(std::integral_constant<size_t, G>, uint8_t* o, const uint8_t* r, size_t n) {
        constexpr NumberRead kRead = NumberRead(G / kKinds);
        constexpr uint32_t kKind = kGroupKinds[G % kKinds];
        const Step* end = m_steps + m_start[G + 1];
        for (const Step* s = m_steps + m_start[G]; s != end; ++s) {
            const uint8_t* from = r + s->from;
            uint8_t* at = o + s->at;
            for (size_t i = 0; i < n; ++i) {
                auto v = ReadAs<kRead, kKind>(from + i * stride);
                memcpy(at + i * outStride, &v, sizeof v);
            }
        }
    };
    for (size_t first = 0; first < count; first += kChunk) {
        size_t n = count - first < kChunk ? count - first : kChunk;
        uint8_t* o = out + first * outStride;
        const uint8_t* r = records + first * stride;
        [&]<size_t... G>(std::index_sequence<G...>) { (run(std::integral_constant<size_t, G>{}, o, r, n), ...); }
        (std::make_index_sequence<kGroups>{});
    }
}
