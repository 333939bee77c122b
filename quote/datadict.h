// The data dictionary: a process-wide registry of record layouts keyed by a
// 32-bit data-type id, sorted by id. A layout is the ordered list of the
// fields of one record type (field id and width), shaped like the columns of
// a native quote file: fields lie in list order without gaps, so a field's
// offset is the sum of the widths before it. Seventeen static tables, 196
// layouts, are registered while the library loads.
//
// Data-type ids: bits 16-27 a data category, bits 12-15 a layout kind (0, 1,
// 2, 3, 4, 0xE), bit 28 a second variant, bit 31 a third family.
#pragma once

#include <cstdint>

namespace pl {
template <class T>
class NeverDestroyed;
}  // namespace pl

// One field of a layout: field number in bits 0-11 and value kind in bits
// 12-14 of the id (as in quote files); attribute 0; width in bytes.
struct DataFieldDef {
    uint32_t id;
    uint16_t attribute;
    uint16_t width;
};

// One registered layout. The field list is static data, never owned.
struct DataTypeLayout {
    uint32_t id;
    uint32_t reserved;
    const DataFieldDef* fields;
    uint32_t count;
};

class CDataDictionary {
public:
    // The registry, created empty on first call and destroyed at process exit.
    static CDataDictionary* GetInstance();

    // Inserts each entry in order; an id already present keeps its first
    // layout. Returns the entry count afterwards. An entry that cannot be
    // stored (no memory) is dropped with a log line; the registry stays whole.
    int RegisterLayouts(const DataTypeLayout* layouts, int32_t count);

    // Whether a layout with the id is registered, and (when position is not
    // null) the slot where it stands or would be inserted.
    bool Find(uint32_t id, int32_t* position) const;

    // The layout with the id, or null.
    const DataTypeLayout* Lookup(uint32_t id) const;

    // The layout in slot i (ascending ids), or null.
    const DataTypeLayout* At(int32_t i) const;

    int32_t GetCount() const;
    int32_t GetCapacity() const;

    // The record size of a layout: the sum of its widths.
    static uint32_t RecordSize(const DataTypeLayout& layout);

    ~CDataDictionary();

private:
    friend class pl::NeverDestroyed<CDataDictionary>;
    CDataDictionary() = default;
    bool Grow(int32_t more);
    bool Insert(const DataTypeLayout& entry);

    // i16 count, u16 capacity, then capacity slots (TL_Allocate); null while
    // nothing is registered.
    struct Block;
    Block* m_pBlock = nullptr;
};

// Registers one table with the dictionary while the library loads.
struct DataDictionaryRegistrar {
    DataDictionaryRegistrar(const DataTypeLayout* layouts, int32_t count) {
        CDataDictionary::GetInstance()->RegisterLayouts(layouts, count);
    }
};

// The seventeen tables, in registration order (datadict_tables.cpp).
struct DataDictionaryTable {
    const DataTypeLayout* layouts;
    int32_t count;
};
extern const DataDictionaryTable g_DataDictionaryTables[17];
