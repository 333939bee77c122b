// The numbers of an output record as data: which column each is read from,
// how, and where it goes; and a plan that fills them for one column layout
// without deciding the column's kind and the reading for every field of
// every record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quote/convert_image.h"

// How an output number is read from its column: one of the three typed field
// readers, or the double reader truncated toward zero (with the range check)
// to the output field's width. kCount is the number of readings, not one of
// them: the plan's groups are sized by it.
enum class NumberRead : uint8_t { kDouble, kInt64, kInt32, kDoubleToInt64, kDoubleToInt32, kCount };

// One number of an output record: its column (an index into the converter's
// descriptor list), its reading, and its byte offset in the output record.
struct NumberField {
    uint16_t field;
    NumberRead read;
    uint16_t at;
};

// The numbers of an output record set up for one column layout. The fields
// are grouped by the kind of their column and their reading, and a run of
// records is filled field by field, so that the innermost loop reads one
// column of a few records with nothing decided per field. Each value is what
// the field reader of its reading gives for the column (absent columns and
// columns of other kinds give 0), stored at its offset; bytes of the record
// that no field names are left as they are.
class NumberPlan {
public:
    static constexpr size_t kMaxFields = 128;

    // Results of Build besides 0: a layout the plan cannot hold whole.
    static constexpr int kTooManyFields = -1;   // more than kMaxFields fields
    static constexpr int kUnknownReading = -2;  // a reading outside NumberRead

    // Sets the plan up for the fields' columns among descriptors (which must
    // have passed ResolveField). 0, or one of the codes above; a refused
    // layout leaves the plan empty (Fill writes nothing), never a part of it.
    [[nodiscard]] int Build(const QuoteFieldDescriptor* descriptors, const NumberField* fields, size_t n);
    // Writes the plan's numbers of count source records, stride bytes
    // apart, into count output records outStride bytes apart. Runs of
    // kChunk records keep the records of a run in the first-level cache.
    void Fill(uint8_t* out, size_t outStride, const uint8_t* records, size_t stride, size_t count) const;
    static constexpr size_t kChunk = 16;

    // Reading times column kind (64-bit packed, 32-bit packed, i32, reads as 0).
    static constexpr size_t kReads = size_t(NumberRead::kCount);
    static constexpr size_t kKinds = 4;
    static constexpr size_t kGroups = kReads * kKinds;

private:
    struct Step {
        uint32_t from;  // the column's offset in the source record
        uint32_t at;    // the field's offset in the output record
    };

    uint16_t m_start[kGroups + 1] = {};
    Step m_steps[kMaxFields] = {};
};
