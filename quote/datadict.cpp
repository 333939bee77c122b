#include "quote/datadict.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "framework/tl_alloc.h"
#include "framework/tl_log.h"
#include "framework/tl_sync.h"
#include "platform/pl_never_destroyed.h"

// The block: entry count and capacity, then the slots. The slots start at
// offset 8 so that their pointers stay aligned.
struct CDataDictionary::Block {
    int16_t count;
    uint16_t capacity;
    DataTypeLayout* Slots() { return reinterpret_cast<DataTypeLayout*>(reinterpret_cast<char*>(this) + kHead); }
    const DataTypeLayout* Slots() const {
        return reinterpret_cast<const DataTypeLayout*>(reinterpret_cast<const char*>(this) + kHead);
    }
    static constexpr size_t kHead = 8;
};

CDataDictionary* CDataDictionary::GetInstance() {
    // Made at first use (the registrars, while the library loads) and never
    // destroyed: push workers may still convert records while the process
    // exits.
    static pl::NeverDestroyed<CDataDictionary> dictionary;
    return dictionary.Get();
}

CDataDictionary::~CDataDictionary() { TL_Free(m_pBlock); }

int32_t CDataDictionary::GetCount() const { return m_pBlock ? m_pBlock->count : 0; }

int32_t CDataDictionary::GetCapacity() const { return m_pBlock ? m_pBlock->capacity : 0; }

bool CDataDictionary::Grow(int32_t more) {
    const int32_t count = GetCount();
    if (count + more <= GetCapacity()) return true;
    const int32_t extra = std::max(more, std::min(count / 2, 4096));
    const int32_t capacity = (count + extra + 7) / 8 * 8;
    // The count is a signed 16-bit value.
    if (count + more > INT16_MAX) return false;
    const int32_t slots = std::min(capacity, int32_t(INT16_MAX));
    const size_t bytes = Block::kHead + size_t(slots) * sizeof(DataTypeLayout);
    auto* block = static_cast<Block*>(TL_Allocate(uint32_t(bytes)));
    if (block == nullptr) return false;
    std::memset(static_cast<void*>(block), 0, bytes);
    if (m_pBlock != nullptr) std::memcpy(block->Slots(), m_pBlock->Slots(), size_t(count) * sizeof(DataTypeLayout));
    block->count = int16_t(count);
    block->capacity = uint16_t(slots);
    TL_Free(m_pBlock);
    m_pBlock = block;
    return true;
}

bool CDataDictionary::Insert(const DataTypeLayout& entry) {
    int32_t at = 0;
    if (Find(entry.id, &at)) return true;  // the layout registered first keeps the id
    if (!Grow(1)) {
        TL_WriteLog(1, "CDataDictionary::RegisterLayouts no room for data type 0x%X", entry.id);
        return false;
    }
    DataTypeLayout* slots = m_pBlock->Slots();
    const int32_t count = m_pBlock->count;
    std::memmove(static_cast<void*>(slots + at + 1), slots + at, size_t(count - at) * sizeof(DataTypeLayout));
    slots[at] = entry;
    m_pBlock->count = int16_t(count + 1);
    return true;
}

int CDataDictionary::RegisterLayouts(const DataTypeLayout* layouts, int32_t count) {
    for (int32_t i = 0; layouts != nullptr && i < count; ++i) Insert(layouts[i]);
    return GetCount();
}

bool CDataDictionary::Find(uint32_t id, int32_t* position) const {
    const int32_t count = GetCount();
    const DataTypeLayout* slots = m_pBlock ? m_pBlock->Slots() : nullptr;
    // The first slot whose id is not less than the one sought.
    int32_t lo = 0, hi = count;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (slots[mid].id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (position) *position = lo;
    return lo < count && slots[lo].id == id;
}

const DataTypeLayout* CDataDictionary::Lookup(uint32_t id) const {
    int32_t at = 0;
    return Find(id, &at) ? m_pBlock->Slots() + at : nullptr;
}

const DataTypeLayout* CDataDictionary::At(int32_t i) const {
    return i >= 0 && i < GetCount() ? m_pBlock->Slots() + i : nullptr;
}

uint32_t CDataDictionary::RecordSize(const DataTypeLayout& layout) {
    uint32_t size = 0;
    for (uint32_t i = 0; i < layout.count; ++i) size += layout.fields[i].width;
    return size;
}

// The seventeen tables, registered in table order while the library loads.
static DataDictionaryRegistrar s_table1(g_DataDictionaryTables[0].layouts, g_DataDictionaryTables[0].count);
static DataDictionaryRegistrar s_table2(g_DataDictionaryTables[1].layouts, g_DataDictionaryTables[1].count);
static DataDictionaryRegistrar s_table3(g_DataDictionaryTables[2].layouts, g_DataDictionaryTables[2].count);
static DataDictionaryRegistrar s_table4(g_DataDictionaryTables[3].layouts, g_DataDictionaryTables[3].count);
static DataDictionaryRegistrar s_table5(g_DataDictionaryTables[4].layouts, g_DataDictionaryTables[4].count);
static DataDictionaryRegistrar s_table6(g_DataDictionaryTables[5].layouts, g_DataDictionaryTables[5].count);
static DataDictionaryRegistrar s_table7(g_DataDictionaryTables[6].layouts, g_DataDictionaryTables[6].count);
static DataDictionaryRegistrar s_table8(g_DataDictionaryTables[7].layouts, g_DataDictionaryTables[7].count);
static DataDictionaryRegistrar s_table9(g_DataDictionaryTables[8].layouts, g_DataDictionaryTables[8].count);
static DataDictionaryRegistrar s_table10(g_DataDictionaryTables[9].layouts, g_DataDictionaryTables[9].count);
static DataDictionaryRegistrar s_table11(g_DataDictionaryTables[10].layouts, g_DataDictionaryTables[10].count);
static DataDictionaryRegistrar s_table12(g_DataDictionaryTables[11].layouts, g_DataDictionaryTables[11].count);
static DataDictionaryRegistrar s_table13(g_DataDictionaryTables[12].layouts, g_DataDictionaryTables[12].count);
static DataDictionaryRegistrar s_table14(g_DataDictionaryTables[13].layouts, g_DataDictionaryTables[13].count);
static DataDictionaryRegistrar s_table15(g_DataDictionaryTables[14].layouts, g_DataDictionaryTables[14].count);
static DataDictionaryRegistrar s_table16(g_DataDictionaryTables[15].layouts, g_DataDictionaryTables[15].count);
static DataDictionaryRegistrar s_table17(g_DataDictionaryTables[16].layouts, g_DataDictionaryTables[16].count);
