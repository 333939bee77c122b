// The seventeen layout tables of the data dictionary, in registration order.
//
// The tables give 21 field lists in full; those stand below as they are.
// Every other layout is known by its field count and record size only, and
// its list is made of stand-ins that keep both: the leading fields that
// every layout of its kind begins with, then fields numbered from 0x400 up
// (numbers no quote file uses), 8-byte and 4-byte packed numbers, and texts
// where the record holds more bytes than numbers can fill. Nothing in the
// system reads the fields of a registered layout. Layouts that share a list
// point to one array.
#include <array>
#include <cstddef>

#include "quote/datadict.h"

namespace {

// ---- the lists given in full ----

constexpr DataFieldDef kA0000[] = {{0x3001, 0, 4}, {0x1005, 0, 16}, {0x2037, 0, 64}, {0x7006, 0, 4},  {0x7007, 0, 4},
                                   {0x7008, 0, 4}, {0x7009, 0, 4},  {0x700A, 0, 4},  {0x7036, 0, 4},  {0x7042, 0, 4},
                                   {0x7014, 0, 4}, {0x7015, 0, 4},  {0x70C6, 0, 4},  {0x20C7, 0, 10}, {0x20C8, 0, 8}};
constexpr DataFieldDef kA1000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4}, {0x7014, 0, 4}, {0x7015, 0, 4}};
constexpr DataFieldDef kA2000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4}, {0x7036, 0, 4}};
constexpr DataFieldDef kA3000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x7007, 0, 4},
                                   {0x7008, 0, 4}, {0x7009, 0, 4}, {0x700B, 0, 4}};
constexpr DataFieldDef kA4000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x7007, 0, 4}, {0x7008, 0, 4}, {0x7009, 0, 4},
                                   {0x700B, 0, 4}, {0x7036, 0, 4}, {0x7042, 0, 4}, {0x70C6, 0, 4}};
constexpr DataFieldDef kAE000[] = {{0x3001, 0, 4}, {0x7006, 0, 4}, {0x702D, 0, 4}, {0x7042, 0, 4}};
constexpr DataFieldDef k20000[] = {{0x3001, 0, 4}, {0x2005, 0, 16}, {0x2037, 0, 20}, {0x3052, 0, 4}, {0x7006, 0, 4},
                                   {0x7007, 0, 4}, {0x7008, 0, 4},  {0x7009, 0, 4},  {0x700A, 0, 4}, {0x7014, 0, 4},
                                   {0x7015, 0, 4}, {0x7066, 0, 4},  {0x7067, 0, 4},  {0x706B, 0, 4}, {0x7030, 0, 4},
                                   {0x7068, 0, 4}, {0x7012, 0, 4},  {0x3026, 0, 4},  {0x7069, 0, 4}, {0x706A, 0, 4},
                                   {0x20A0, 0, 8}, {0x20C8, 0, 8},  {0x2055, 0, 20}};
constexpr DataFieldDef k21000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4},
                                   {0x7014, 0, 4}, {0x7015, 0, 4}, {0x7012, 0, 4}};
constexpr DataFieldDef k22000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4}, {0x7012, 0, 4}};
constexpr DataFieldDef k23000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x7007, 0, 4}, {0x7008, 0, 4},
                                   {0x7009, 0, 4}, {0x700B, 0, 4}, {0x7012, 0, 4}};
constexpr DataFieldDef k24000[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x7007, 0, 4}, {0x7008, 0, 4}, {0x7009, 0, 4},
                                   {0x700B, 0, 4}, {0x7012, 0, 4}, {0x7067, 0, 4}, {0x706B, 0, 4}};
constexpr DataFieldDef k2E000[] = {{0x3001, 0, 4}, {0x7006, 0, 4}, {0x702D, 0, 4}, {0x7050, 0, 4}, {0x705B, 0, 4}};
constexpr DataFieldDef k80001C01[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4}, {0x700D, 0, 4},
                                      {0x300C, 0, 4}, {0x304A, 0, 4}, {0x304B, 0, 4}};
constexpr DataFieldDef k80001C02[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x3052, 0, 4},
                                      {0x7014, 0, 4}, {0x700D, 0, 4}, {0x3025, 0, 4}};
constexpr DataFieldDef k80001C12[] = {{0x3001, 0, 4}, {0x1005, 0, 16}, {0x300C, 0, 4}, {0x7014, 0, 4},
                                      {0x3012, 0, 4}, {0x7016, 0, 4},  {0x707B, 0, 4}};
constexpr DataFieldDef k80001C05[] = {{0x3038, 0, 4}};
constexpr DataFieldDef k80001C09[] = {{0x700A, 0, 4}, {0x700D, 0, 4}, {0x300C, 0, 4}, {0x7036, 0, 4}, {0x3035, 0, 4}};
constexpr DataFieldDef k80001C20[] = {{0x3001, 0, 4}, {0x1005, 0, 16}, {0x300C, 0, 4}, {0x700D, 0, 4}, {0x7013, 0, 4}};
constexpr DataFieldDef k80001C07[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4}, {0x700D, 0, 4}, {0x300C, 0, 4}};
constexpr DataFieldDef k1C08[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4}, {0x000D, 0, 8}, {0x300C, 0, 4},
                                  {0x0013, 0, 8}, {0x7014, 0, 4}, {0x7015, 0, 4}, {0x7031, 0, 4}, {0x7012, 0, 4},
                                  {0x7019, 0, 4}, {0x701B, 0, 4}, {0x701F, 0, 4}, {0x7021, 0, 4}};
constexpr DataFieldDef k1D00[] = {{0x3001, 0, 4}, {0x3038, 0, 4}, {0x700A, 0, 4}, {0x7031, 0, 4}, {0x711F, 0, 4}};

// ---- stand-in lists ----

constexpr uint32_t kFirstStandIn = 0x400;

// How the fields after the leading ones are made: numbers8 8-byte numbers,
// numbers4 4-byte numbers and `texts` texts of textBytes bytes in all.
struct Fill {
    uint32_t numbers8 = 0, numbers4 = 0, texts = 0, textBytes = 0;
};

// Fewest texts first, then as many 8-byte numbers as leave the texts at
// least a byte each; false when no such fill exists.
constexpr bool Plan(uint32_t fields, int64_t bytes, Fill* out) {
    for (uint32_t texts = 0; texts <= fields; ++texts) {
        const uint32_t numbers = fields - texts;
        for (int64_t wide = numbers; wide >= 0; --wide) {
            const int64_t rest = bytes - 4 * int64_t(numbers) - 4 * wide;
            if ((texts == 0 && rest == 0) || (texts > 0 && rest >= texts && rest <= 64 * int64_t(texts))) {
                *out = Fill{uint32_t(wide), numbers - uint32_t(wide), texts, uint32_t(rest)};
                return true;
            }
        }
    }
    return false;
}

template <size_t N>
constexpr std::array<DataFieldDef, N> MakeStandIns(uint32_t id, uint32_t size) {
    std::array<DataFieldDef, N> f{};
    size_t at = 0;
    int64_t left = size;
    auto put = [&](uint32_t fid, uint16_t width) {
        f[at++] = DataFieldDef{fid, 0, width};
        left -= width;
    };
    const uint32_t kind = (id >> 12) & 0xF;
    Fill fill;
    if (kind == 0) {
        // Code, then the name in 20 or 64 bytes, whichever lets the rest fit
        // with fewer texts.
        Fill narrow, wide;
        const bool n20 = Plan(N - 3, int64_t(size) - 40, &narrow);
        const bool n64 = Plan(N - 3, int64_t(size) - 84, &wide);
        const bool use64 = !n20 || (n64 && wide.texts < narrow.texts);
        put(0x3001, 4);
        put(0x1005, 16);
        put(0x2037, use64 ? 64 : 20);
    } else if (id == 0x1001E000) {
        put(0x3001, 4);
        put(0x7042, 4);
        put(0x7006, 4);
    } else if (kind == 0xE) {
        put(0x3001, 4);
        put(0x7006, 4);
        put(0x702D, 4);
    } else {
        put(0x3001, 4);
        put(0x3038, 4);
        put(kind <= 2 ? 0x700A : 0x7007, 4);
    }
    if (!Plan(uint32_t(N - at), left, &fill)) throw "no stand-in list has this count and size";
    uint32_t number = kFirstStandIn;
    for (uint32_t i = 0; i < fill.numbers8; ++i) put(0x0000 | number++, 8);
    for (uint32_t i = 0; i < fill.numbers4; ++i) put(0x7000 | number++, 4);
    for (uint32_t i = 0; i < fill.texts; ++i) {
        const uint32_t after = fill.texts - i - 1;  // texts still to come, a byte each at least
        const int64_t width = left - after < 64 ? left - after : 64;
        put(0x2000 | number++, uint16_t(width));
    }
    if (at != N || left != 0) throw "stand-in list does not add up";
    return f;
}

template <uint32_t Id, size_t N, uint32_t Size>
struct StandInList {
    static constexpr std::array<DataFieldDef, N> kFields = MakeStandIns<N>(Id, Size);
};

// A layout over a stand-in list; every id that names the same source shares
// its array.
template <uint32_t Source, size_t N, uint32_t Size>
constexpr DataTypeLayout StandIn(uint32_t id) {
    return DataTypeLayout{id, 0, StandInList<Source, N, Size>::kFields.data(), uint32_t(N)};
}

template <size_t N>
constexpr DataTypeLayout Listed(uint32_t id, const DataFieldDef (&fields)[N]) {
    return DataTypeLayout{id, 0, fields, uint32_t(N)};
}

// ---- the tables ----

constexpr DataTypeLayout kTable1[] = {
    StandIn<0x120000, 42, 280>(0x120000), StandIn<0x121000, 14, 64>(0x121000), StandIn<0x122000, 13, 60>(0x122000),
    StandIn<0x124000, 25, 108>(0x124000), StandIn<0x123000, 11, 52>(0x123000), StandIn<0x12E000, 5, 20>(0x12E000),
};
constexpr DataTypeLayout kTable2[] = {
    StandIn<0x50000, 68, 1404>(0x50000), StandIn<0x51000, 10, 48>(0x51000), StandIn<0x52000, 12, 56>(0x52000),
    StandIn<0x54000, 15, 68>(0x54000),   StandIn<0x53000, 11, 52>(0x53000), StandIn<0x5E000, 5, 20>(0x5E000),
};
constexpr DataTypeLayout kTable3[] = {
    StandIn<0x100000, 65, 369>(0x100000), StandIn<0x101000, 12, 56>(0x101000), StandIn<0x102000, 15, 68>(0x102000),
    StandIn<0x104000, 16, 72>(0x104000),  StandIn<0x103000, 13, 60>(0x103000), StandIn<0x10E000, 4, 16>(0x10E000),
};
constexpr DataTypeLayout kTable4[] = {
    Listed(0x20000, k20000), Listed(0x21000, k21000), Listed(0x22000, k22000),
    Listed(0x24000, k24000), Listed(0x23000, k23000), Listed(0x2E000, k2E000),
};
constexpr DataTypeLayout kTable5[] = {
    StandIn<0x10010000, 20, 108>(0x10010000), StandIn<0x10000, 67, 354>(0x10000),
    StandIn<0x10011000, 7, 28>(0x10011000),   StandIn<0x11000, 11, 52>(0x11000),
    StandIn<0x10012000, 6, 24>(0x10012000),   StandIn<0x12000, 14, 64>(0x12000),
    StandIn<0x10014000, 11, 44>(0x10014000),  StandIn<0x14000, 15, 68>(0x14000),
    StandIn<0x10013000, 8, 32>(0x10013000),   StandIn<0x13000, 12, 56>(0x13000),
    StandIn<0x10013000, 8, 32>(0x10013100),   StandIn<0x13000, 12, 56>(0x13100),
    StandIn<0x1001E000, 3, 12>(0x1001E000),   StandIn<0x1E000, 4, 16>(0x1E000),
};
constexpr DataTypeLayout kTable6[] = {
    StandIn<0x70000, 29, 228>(0x70000),       StandIn<0x71000, 11, 52>(0x71000),
    StandIn<0x72000, 12, 56>(0x72000),        StandIn<0x74000, 14, 64>(0x74000),
    StandIn<0x73000, 12, 56>(0x73000),        StandIn<0x7E000, 4, 16>(0x7E000),
    StandIn<0x10070000, 35, 236>(0x10070000), StandIn<0x10071000, 14, 64>(0x10071000),
    StandIn<0x10072000, 17, 76>(0x10072000),  StandIn<0x10074000, 14, 64>(0x10074000),
    StandIn<0x10073000, 13, 60>(0x10073000),  StandIn<0x7E000, 4, 16>(0x1007E000),
};
constexpr DataTypeLayout kTable7[] = {
    StandIn<0x100F0000, 73, 400>(0x100F0000), StandIn<0x100F1000, 14, 64>(0x100F1000),
    StandIn<0x100F2000, 17, 76>(0x100F2000),  StandIn<0x100F4000, 14, 64>(0x100F4000),
    StandIn<0x100F3000, 13, 60>(0x100F3000),  StandIn<0x100FE000, 3, 12>(0x100FE000),
    StandIn<0xF0000, 59, 332>(0xF0000),       StandIn<0xF1000, 19, 84>(0xF1000),
    StandIn<0xF2000, 19, 84>(0xF2000),        StandIn<0xF4000, 17, 76>(0xF4000),
    StandIn<0xF3000, 14, 64>(0xF3000),        StandIn<0xFE000, 4, 16>(0xFE000),
};
constexpr DataTypeLayout kTable8[] = {
    StandIn<0x40000, 133, 948>(0x40000),    StandIn<0x10040000, 37, 204>(0x10040000),
    StandIn<0x41000, 32, 136>(0x41000),     StandIn<0x10041000, 14, 64>(0x10041000),
    StandIn<0x42000, 12, 56>(0x42000),      StandIn<0x10042000, 17, 76>(0x10042000),
    StandIn<0x44000, 27, 116>(0x44000),     StandIn<0x10044000, 14, 64>(0x10044000),
    StandIn<0x43000, 11, 52>(0x43000),      StandIn<0x10043000, 13, 60>(0x10043000),
    StandIn<0x4E000, 5, 20>(0x4E000),       StandIn<0x1004E000, 3, 12>(0x1004E000),
    StandIn<0x40000, 133, 948>(0x80040000), StandIn<0x10040000, 37, 204>(0x90040000),
    StandIn<0x41000, 32, 136>(0x80041000),  StandIn<0x10041000, 14, 64>(0x90041000),
    StandIn<0x42000, 12, 56>(0x80042000),   StandIn<0x10042000, 17, 76>(0x90042000),
    StandIn<0x44000, 27, 116>(0x80044000),  StandIn<0x10044000, 14, 64>(0x90044000),
    StandIn<0x43000, 11, 52>(0x80043000),   StandIn<0x10043000, 13, 60>(0x90043000),
    StandIn<0x4E000, 5, 20>(0x8004E000),    StandIn<0x1004E000, 3, 12>(0x9004E000),
};
constexpr DataTypeLayout kTable9[] = {
    Listed(0x80001C01, k80001C01), Listed(0x80001C02, k80001C02), Listed(0x80001C03, k80001C02),
    Listed(0x80001C12, k80001C12), Listed(0x80001C92, k80001C12), Listed(0x80001C05, k80001C05),
    Listed(0x80001C06, k80001C05), Listed(0x80001C09, k80001C09), Listed(0x80001C20, k80001C20),
    Listed(0x80001C07, k80001C07),
};
constexpr DataTypeLayout kTable10[] = {
    Listed(0xA0000, kA0000), Listed(0xA1000, kA1000), Listed(0xA2000, kA2000),
    Listed(0xA4000, kA4000), Listed(0xA3000, kA3000), Listed(0xAE000, kAE000),
};
constexpr DataTypeLayout kTable11[] = {
    StandIn<0x90000, 76, 416>(0x90000), StandIn<0x91000, 11, 52>(0x91000), StandIn<0x92000, 12, 56>(0x92000),
    StandIn<0x94000, 15, 68>(0x94000),  StandIn<0x93000, 12, 56>(0x93000), StandIn<0x9E000, 4, 16>(0x9E000),
};
constexpr DataTypeLayout kTable12[] = {
    StandIn<0xB0000, 77, 356>(0xB0000), StandIn<0x100B0000, 36, 180>(0x100B0000),
    StandIn<0xB1000, 32, 136>(0xB1000), StandIn<0x100B1000, 14, 64>(0x100B1000),
    StandIn<0xB2000, 12, 56>(0xB2000),  StandIn<0x100B2000, 17, 76>(0x100B2000),
    StandIn<0xB4000, 15, 68>(0xB4000),  StandIn<0x100B4000, 14, 64>(0x100B4000),
    StandIn<0xB3000, 11, 52>(0xB3000),  StandIn<0x100B3000, 13, 60>(0x100B3000),
    StandIn<0xBE000, 5, 20>(0xBE000),   StandIn<0x100BE000, 3, 12>(0x100BE000),
};
constexpr DataTypeLayout kTable13[] = {
    StandIn<0x0, 162, 704>(0x0),
    StandIn<0x10000000, 46, 220>(0x10000000),
    StandIn<0x1000, 32, 136>(0x1000),
    StandIn<0x10001000, 14, 64>(0x10001000),
    StandIn<0x2000, 13, 60>(0x2000),
    StandIn<0x10002000, 17, 76>(0x10002000),
    StandIn<0x4000, 18, 80>(0x4000),
    StandIn<0x10004000, 14, 64>(0x10004000),
    StandIn<0x3000, 11, 52>(0x3000),
    StandIn<0x10003000, 13, 60>(0x10003000),
    StandIn<0xE000, 5, 20>(0xE000),
    StandIn<0x1000E000, 3, 12>(0x1000E000),
    Listed(0x1C08, k1C08),
    Listed(0x80001C08, k1C08),
    Listed(0x1D00, k1D00),
    Listed(0x80001D00, k1D00),
    StandIn<0x80000000, 162, 704>(0x80000000),
    StandIn<0x90000000, 72, 324>(0x90000000),
    StandIn<0x80001000, 80, 328>(0x80001000),
    StandIn<0x90001000, 40, 168>(0x90001000),
    StandIn<0x80002000, 57, 236>(0x80002000),
    StandIn<0x90002000, 51, 212>(0x90002000),
    StandIn<0x80004000, 48, 200>(0x80004000),
    StandIn<0x90004000, 42, 176>(0x90004000),
    StandIn<0x80003000, 35, 148>(0x80003000),
    StandIn<0x90003000, 39, 164>(0x90003000),
    StandIn<0x8000E000, 5, 20>(0x8000E000),
    StandIn<0x9000E000, 3, 12>(0x9000E000),
};
constexpr DataTypeLayout kTable14[] = {
    StandIn<0x100D0000, 36, 196>(0x100D0000), StandIn<0x100D1000, 14, 64>(0x100D1000),
    StandIn<0x100D2000, 17, 76>(0x100D2000),  StandIn<0x100DE000, 3, 12>(0x100DE000),
    StandIn<0x100D3000, 13, 60>(0x100D3000),  StandIn<0x100D4000, 14, 64>(0x100D4000),
    StandIn<0xD0000, 62, 334>(0xD0000),       StandIn<0xD1000, 11, 52>(0xD1000),
    StandIn<0xD2000, 12, 56>(0xD2000),        StandIn<0xDE000, 4, 16>(0xDE000),
    StandIn<0xD3000, 12, 56>(0xD3000),        StandIn<0xD4000, 15, 68>(0xD4000),
};
constexpr DataTypeLayout kTable15[] = {
    StandIn<0x10080000, 73, 356>(0x10080000), StandIn<0x10081000, 14, 64>(0x10081000),
    StandIn<0x10082000, 18, 80>(0x10082000),  StandIn<0x10084000, 14, 64>(0x10084000),
    StandIn<0x10083000, 13, 60>(0x10083000),  StandIn<0x1008E000, 3, 12>(0x1008E000),
    StandIn<0x90080000, 75, 364>(0x90080000), StandIn<0x90081000, 40, 168>(0x90081000),
    StandIn<0x90082000, 52, 216>(0x90082000), StandIn<0x90084000, 42, 176>(0x90084000),
    StandIn<0x90083000, 39, 164>(0x90083000), StandIn<0x9008E000, 3, 12>(0x9008E000),
    StandIn<0x10080000, 73, 356>(0x80000),    StandIn<0x10081000, 14, 64>(0x81000),
    StandIn<0x10082000, 18, 80>(0x82000),     StandIn<0x10084000, 14, 64>(0x84000),
    StandIn<0x10083000, 13, 60>(0x83000),     StandIn<0x1008E000, 3, 12>(0x8E000),
    StandIn<0x90080000, 75, 364>(0x80080000), StandIn<0x90081000, 40, 168>(0x80081000),
    StandIn<0x90082000, 52, 216>(0x80082000), StandIn<0x90084000, 42, 176>(0x80084000),
    StandIn<0x90083000, 39, 164>(0x80083000), StandIn<0x9008E000, 3, 12>(0x8008E000),
};
constexpr DataTypeLayout kTable16[] = {
    StandIn<0x100E0000, 72, 352>(0x100E0000), StandIn<0x100E1000, 14, 64>(0x100E1000),
    StandIn<0x100E2000, 17, 76>(0x100E2000),  StandIn<0x100E4000, 14, 64>(0x100E4000),
    StandIn<0x100E3000, 13, 60>(0x100E3000),  StandIn<0x100EE000, 3, 12>(0x100EE000),
};
constexpr DataTypeLayout kTable17[] = {
    StandIn<0x60000, 56, 340>(0x60000), StandIn<0x61000, 10, 48>(0x61000), StandIn<0x62000, 13, 60>(0x62000),
    StandIn<0x64000, 27, 116>(0x64000), StandIn<0x63000, 11, 52>(0x63000), StandIn<0x6E000, 5, 20>(0x6E000),
};

}  // namespace

extern constinit const DataDictionaryTable g_DataDictionaryTables[17] = {
    {kTable1, int32_t(std::size(kTable1))},   {kTable2, int32_t(std::size(kTable2))},
    {kTable3, int32_t(std::size(kTable3))},   {kTable4, int32_t(std::size(kTable4))},
    {kTable5, int32_t(std::size(kTable5))},   {kTable6, int32_t(std::size(kTable6))},
    {kTable7, int32_t(std::size(kTable7))},   {kTable8, int32_t(std::size(kTable8))},
    {kTable9, int32_t(std::size(kTable9))},   {kTable10, int32_t(std::size(kTable10))},
    {kTable11, int32_t(std::size(kTable11))}, {kTable12, int32_t(std::size(kTable12))},
    {kTable13, int32_t(std::size(kTable13))}, {kTable14, int32_t(std::size(kTable14))},
    {kTable15, int32_t(std::size(kTable15))}, {kTable16, int32_t(std::size(kTable16))},
    {kTable17, int32_t(std::size(kTable17))},
};
