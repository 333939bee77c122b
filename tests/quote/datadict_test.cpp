// The data dictionary after load: 196 layouts from seventeen tables, kept in
// unsigned id order; each layout's fields add up to its record size, begin
// as every layout of its kind begins, and have the widths their kinds give;
// the lists the tables give in full are registered as they stand.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "quote/datadict.h"

namespace {

const CDataDictionary& Dict() { return *CDataDictionary::GetInstance(); }

std::vector<DataFieldDef> Fields(uint32_t id) {
    const DataTypeLayout* l = Dict().Lookup(id);
    if (l == nullptr) return {};
    return std::vector<DataFieldDef>(l->fields, l->fields + l->count);
}

bool Same(const std::vector<DataFieldDef>& got, const std::vector<std::pair<uint32_t, uint16_t>>& want) {
    if (got.size() != want.size()) return false;
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i].id != want[i].first || got[i].width != want[i].second || got[i].attribute != 0) return false;
    return true;
}

TEST(DataDictionary, RegisteredAtLoadInOrder) {
    ASSERT_EQ(Dict().GetCount(), 196);
    EXPECT_EQ(Dict().GetCapacity(), 216);  // grown one entry at a time: 8, 16, 24, 40, 64, 96, 144, 216
    uint64_t fields = 0, bytes = 0;
    for (int32_t i = 0; i < Dict().GetCount(); ++i) {
        const DataTypeLayout* l = Dict().At(i);
        if (i > 0) {
            EXPECT_LT(Dict().At(i - 1)->id, l->id);  // unsigned, no id twice
        }
        EXPECT_EQ(l->reserved, 0u);
        fields += l->count;
        bytes += CDataDictionary::RecordSize(*l);
    }
    // Sums over the tables' (count, size) pairs.
    EXPECT_EQ(fields, 4421u);
    EXPECT_EQ(bytes, 22519u);
    // Bit 31 sorts last.
    int32_t at = 0;
    ASSERT_TRUE(Dict().Find(0x80000000, &at));
    EXPECT_EQ(Dict().At(at - 1)->id, 0x100FE000u);
    EXPECT_EQ(Dict().At(Dict().GetCount() - 1)->id, 0x9008E000u);
    EXPECT_EQ(Dict().At(Dict().GetCount()), nullptr);

    EXPECT_FALSE(Dict().Find(0x3000000, &at));
    EXPECT_EQ(Dict().At(at - 1)->id < 0x3000000u, true);
    EXPECT_GT(Dict().At(at)->id, 0x3000000u);
    EXPECT_EQ(Dict().Lookup(0x3000000), nullptr);

    // A table registered again changes nothing: the first layout keeps its id.
    static const DataFieldDef other[] = {{0x3001, 0, 4}};
    const DataTypeLayout again[] = {{0x1C08, 0, other, 1}, {0x0, 0, other, 1}};
    EXPECT_EQ(CDataDictionary::GetInstance()->RegisterLayouts(again, 2), 196);
    EXPECT_EQ(Dict().Lookup(0x1C08)->count, 14u);
    EXPECT_EQ(g_DataDictionaryTables[12].count, 28);
    EXPECT_EQ(CDataDictionary::GetInstance()->RegisterLayouts(g_DataDictionaryTables[12].layouts, 28), 196);
}

TEST(DataDictionary, ListsGivenInFull) {
    const DataTypeLayout* l = Dict().Lookup(0x1C08);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->count, 14u);
    EXPECT_EQ(CDataDictionary::RecordSize(*l), 64u);
    EXPECT_TRUE(Same(Fields(0x1C08), {{0x3001, 4},
                                      {0x3038, 4},
                                      {0x700A, 4},
                                      {0x000D, 8},
                                      {0x300C, 4},
                                      {0x0013, 8},
                                      {0x7014, 4},
                                      {0x7015, 4},
                                      {0x7031, 4},
                                      {0x7012, 4},
                                      {0x7019, 4},
                                      {0x701B, 4},
                                      {0x701F, 4},
                                      {0x7021, 4}}));
    EXPECT_TRUE(Same(Fields(0x20000), {{0x3001, 4}, {0x2005, 16}, {0x2037, 20}, {0x3052, 4}, {0x7006, 4}, {0x7007, 4},
                                       {0x7008, 4}, {0x7009, 4},  {0x700A, 4},  {0x7014, 4}, {0x7015, 4}, {0x7066, 4},
                                       {0x7067, 4}, {0x706B, 4},  {0x7030, 4},  {0x7068, 4}, {0x7012, 4}, {0x3026, 4},
                                       {0x7069, 4}, {0x706A, 4},  {0x20A0, 8},  {0x20C8, 8}, {0x2055, 20}}));
    EXPECT_TRUE(Same(Fields(0xA0000), {{0x3001, 4},
                                       {0x1005, 16},
                                       {0x2037, 64},
                                       {0x7006, 4},
                                       {0x7007, 4},
                                       {0x7008, 4},
                                       {0x7009, 4},
                                       {0x700A, 4},
                                       {0x7036, 4},
                                       {0x7042, 4},
                                       {0x7014, 4},
                                       {0x7015, 4},
                                       {0x70C6, 4},
                                       {0x20C7, 10},
                                       {0x20C8, 8}}));
    EXPECT_TRUE(Same(Fields(0x80001C09), {{0x700A, 4}, {0x700D, 4}, {0x300C, 4}, {0x7036, 4}, {0x3035, 4}}));
    EXPECT_TRUE(Same(Fields(0x80001C06), {{0x3038, 4}}));
    EXPECT_TRUE(Same(Fields(0x1D00), {{0x3001, 4}, {0x3038, 4}, {0x700A, 4}, {0x7031, 4}, {0x711F, 4}}));
    EXPECT_TRUE(Same(Fields(0xAE000), {{0x3001, 4}, {0x7006, 4}, {0x702D, 4}, {0x7042, 4}}));
}

TEST(DataDictionary, SharedListsAndFieldShapes) {
    auto list = [](uint32_t id) {
        const DataTypeLayout* l = Dict().Lookup(id);
        return l ? l->fields : nullptr;
    };
    const std::vector<std::pair<uint32_t, uint32_t>> shared = {
        {0x80040000, 0x40000}, {0x90041000, 0x10041000}, {0x8004E000, 0x4E000},    {0x9004E000, 0x1004E000},
        {0x80000, 0x10080000}, {0x8E000, 0x1008E000},    {0x80080000, 0x90080000}, {0x8008E000, 0x9008E000},
        {0x13100, 0x13000},    {0x10013100, 0x10013000}, {0x7E000, 0x1007E000},    {0x1C08, 0x80001C08},
        {0x1D00, 0x80001D00},  {0x80001C02, 0x80001C03}, {0x80001C05, 0x80001C06}, {0x80001C12, 0x80001C92}};
    for (const auto& [a, b] : shared) {
        ASSERT_NE(list(a), nullptr) << std::hex << a;
        EXPECT_EQ(list(a), list(b)) << std::hex << a << " " << b;
    }
    EXPECT_NE(list(0x40000), list(0x10040000));

    // Leading fields by kind, and widths by value kind.
    const std::map<uint32_t, std::vector<uint32_t>> leads = {{0x1, {0x3001, 0x3038, 0x700A}},
                                                             {0x2, {0x3001, 0x3038, 0x700A}},
                                                             {0x3, {0x3001, 0x3038, 0x7007}},
                                                             {0x4, {0x3001, 0x3038, 0x7007}},
                                                             {0xE, {0x3001, 0x7006, 0x702D}}};
    const std::set<uint32_t> outside = {0x13100, 0x10013100, 0x1C08, 0x80001C08, 0x1D00, 0x80001D00};
    int nonStandard = 0;
    for (int32_t i = 0; i < Dict().GetCount(); ++i) {
        const DataTypeLayout* l = Dict().At(i);
        const uint32_t id = l->id;
        const uint32_t kind = (id >> 12) & 0xF;
        for (uint32_t f = 0; f < l->count; ++f) {
            const DataFieldDef& d = l->fields[f];
            const uint32_t vk = d.id & 0x7000;
            bool fits = false;
            if (vk == 0x0000) fits = d.width == 8;
            if (vk == 0x3000 || vk == 0x7000) fits = d.width == 4;
            if (vk == 0x1000) fits = d.width == 1 || d.width == 4 || d.width == 8 || d.width == 16;
            if (vk == 0x2000) fits = d.width >= 1 && d.width <= 64;
            EXPECT_TRUE(fits) << std::hex << id << " " << d.id << " " << d.width;
        }
        if ((id & 0xFFFFFF00) == 0x80001C00 && !outside.count(id)) {
            nonStandard += l->fields[0].id != 0x3001;
            continue;
        }
        if (outside.count(id)) continue;
        if (kind == 0) {
            ASSERT_GE(l->count, 3u);
            EXPECT_EQ(l->fields[0].id, 0x3001u);
            EXPECT_EQ(l->fields[1].id, id == 0x20000 ? 0x2005u : 0x1005u) << std::hex << id;
            EXPECT_EQ(l->fields[2].id, 0x2037u);
            EXPECT_TRUE(l->fields[2].width == 20 || l->fields[2].width == 64);
        } else {
            ASSERT_TRUE(leads.count(kind)) << std::hex << id;
            std::vector<uint32_t> want = leads.at(kind);
            if (id == 0x1001E000) want = {0x3001, 0x7042, 0x7006};
            for (size_t k = 0; k < 3; ++k) EXPECT_EQ(l->fields[k].id, want[k]) << std::hex << id;
        }
    }
    EXPECT_EQ(nonStandard, 3);  // 0x80001C05, 0x80001C06 and 0x80001C09
}

}  // namespace
