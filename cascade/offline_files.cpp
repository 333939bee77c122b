#include "cascade/offline_files.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cascade/decimal_text.h"
#include "framework/tl_codepage.h"
#include "framework/tl_log.h"
#include "platform/pl_never_destroyed.h"
#include "quote/records.h"

// ---- Column rules -------------------------------------------------------------

struct OfflineColumnRule {
    enum Kind { kText, kI32, kI64, kF64 };
    std::string column;
    Kind kind;
    size_t offset;
    size_t width;  // text fields: the field's bytes
    size_t limit;  // text fields: characters copied at most
};

namespace {

using Rule = OfflineColumnRule;
using Rules = std::vector<Rule>;

#define KVO_FIELD(Rec, f) offsetof(Rec, f), sizeof(Rec::f)

Rule Text(const char* column, size_t offset, size_t width) { return {column, Rule::kText, offset, width, width - 1}; }
Rule TextFirst(const char* column, size_t offset, size_t width, size_t n) {
    return {column, Rule::kText, offset, width, n};
}
Rule Num(const char* column, Rule::Kind kind, size_t offset) { return {column, kind, offset, 0, 0}; }

// market and code, the first two fields of every record.
void AddMarketCode(Rules& r) {
    r.push_back(Text("market", KVO_FIELD(TickIndex, market)));
    r.push_back(Text("code", KVO_FIELD(TickIndex, code)));
}

// market, code, date and time, the head of the files that do not begin as
// index.csv.
template <class Rec>
void AddMarketCodeTime(Rules& r) {
    AddMarketCode(r);
    r.push_back(Num("date", Rule::kI32, offsetof(Rec, date)));
    r.push_back(Num("time", Rule::kI32, offsetof(Rec, time)));
}

// Ten columns name1..name10 into the elements of an array of 8-byte values.
void AddLevels(Rules& r, const char* name, Rule::Kind kind, size_t offset) {
    for (int i = 1; i <= 10; ++i)
        r.push_back(Num((std::string(name) + std::to_string(i)).c_str(), kind, offset + 8 * size_t(i - 1)));
}

// The fourteen columns of index.csv, also the head of stock.csv.
static_assert(offsetof(TickStock, codename) == offsetof(TickIndex, codename) &&
                  offsetof(TickStock, status) == offsetof(TickIndex, status) &&
                  offsetof(TickStock, trade_num) == offsetof(TickIndex, trade_num),
              "a stock record begins as an index record");
void AddIndexColumns(Rules& r) {
    AddMarketCode(r);
    r.push_back(TextFirst("codename", KVO_FIELD(TickIndex, codename), 20));
    r.push_back(TextFirst("status", KVO_FIELD(TickIndex, status), 8));
    r.push_back(Num("date", Rule::kI32, offsetof(TickIndex, date)));
    r.push_back(Num("time", Rule::kI32, offsetof(TickIndex, time)));
    r.push_back(Num("pre_price", Rule::kF64, offsetof(TickIndex, pre_price)));
    r.push_back(Num("open_price", Rule::kF64, offsetof(TickIndex, open_price)));
    r.push_back(Num("high_price", Rule::kF64, offsetof(TickIndex, high_price)));
    r.push_back(Num("low_price", Rule::kF64, offsetof(TickIndex, low_price)));
    r.push_back(Num("new_price", Rule::kF64, offsetof(TickIndex, new_price)));
    r.push_back(Num("volume", Rule::kI64, offsetof(TickIndex, volume)));
    r.push_back(Num("turnover", Rule::kF64, offsetof(TickIndex, turnover)));
    r.push_back(Num("trade_num", Rule::kI64, offsetof(TickIndex, trade_num)));
}

Rules IndexRules() {
    Rules r;
    AddIndexColumns(r);
    return r;
}

Rules StockRules() {
    Rules r;
    AddIndexColumns(r);
    AddLevels(r, "bidorder_price", Rule::kF64, offsetof(TickStock, bidorder_price));
    AddLevels(r, "bidorder_volume", Rule::kI64, offsetof(TickStock, bidorder_volume));
    AddLevels(r, "bid_numorders", Rule::kI64, offsetof(TickStock, bid_numorders));
    AddLevels(r, "askorder_price", Rule::kF64, offsetof(TickStock, askorder_price));
    AddLevels(r, "askorder_volume", Rule::kI64, offsetof(TickStock, askorder_volume));
    AddLevels(r, "ask_numorders", Rule::kI64, offsetof(TickStock, ask_numorders));
#define KVO_STOCK(name, kind) r.push_back(Num(#name, Rule::kind, offsetof(TickStock, name)))
    KVO_STOCK(totalbid_volume, kI64);
    KVO_STOCK(totalask_volume, kI64);
    KVO_STOCK(avgbid_price, kF64);
    KVO_STOCK(avgask_price, kF64);
    KVO_STOCK(uplimit_price, kF64);
    KVO_STOCK(downlimit_price, kF64);
    KVO_STOCK(pe, kF64);
    KVO_STOCK(iopv, kF64);
    KVO_STOCK(withdraw_buynum, kI32);
    KVO_STOCK(withdraw_buyvolume, kI64);
    KVO_STOCK(withdraw_buyturnover, kF64);
    KVO_STOCK(withdraw_sellnum, kI32);
    KVO_STOCK(withdraw_sellvol, kI64);
    KVO_STOCK(withdraw_sellturnover, kF64);
    KVO_STOCK(totalbid_num, kI32);
    KVO_STOCK(totalask_num, kI32);
    KVO_STOCK(bidorder_num, kI32);
    KVO_STOCK(askorder_num, kI32);
    KVO_STOCK(inner_volume, kI64);
    KVO_STOCK(outer_volume, kI64);
    KVO_STOCK(aftermarket_volume, kI64);
    KVO_STOCK(aftermarket_volmount, kI32);
#undef KVO_STOCK
    return r;
}

Rules SuperStockRules() {
    Rules r;
    AddMarketCodeTime<SuperStock>(r);
    r.push_back(Num("new_price", Rule::kF64, offsetof(SuperStock, new_price)));
    AddLevels(r, "bidorder_price", Rule::kF64, offsetof(SuperStock, bidorder_price));
    AddLevels(r, "bidorder_volume", Rule::kI64, offsetof(SuperStock, bidorder_volume));
    AddLevels(r, "askorder_price", Rule::kF64, offsetof(SuperStock, askorder_price));
    AddLevels(r, "askorder_volume", Rule::kI64, offsetof(SuperStock, askorder_volume));
    return r;
}

// market, code, date, time, index, Bizindex and channel, shared by orders and
// transactions (their offsets agree).
template <class Rec>
void AddEventHead(Rules& r) {
    AddMarketCodeTime<Rec>(r);
    r.push_back(Num("index", Rule::kI32, offsetof(Rec, index)));
    r.push_back(Num("Bizindex", Rule::kI32, offsetof(Rec, Bizindex)));
    r.push_back(Num("channel", Rule::kI32, offsetof(Rec, channel)));
    r.push_back(Num("price", Rule::kF64, offsetof(Rec, price)));
    r.push_back(Num("volume", Rule::kI32, offsetof(Rec, volume)));
}

Rules OrderRules() {
    Rules r;
    AddEventHead<OrderData>(r);
    r.push_back(Text("side", KVO_FIELD(OrderData, side)));
    r.push_back(Text("type", KVO_FIELD(OrderData, type)));
    return r;
}

Rules TransRules() {
    Rules r;
    AddEventHead<Transaction>(r);
    r.push_back(Num("buy_index", Rule::kI32, offsetof(Transaction, buy_index)));
    r.push_back(Num("sell_index", Rule::kI32, offsetof(Transaction, sell_index)));
    r.push_back(Text("type", KVO_FIELD(Transaction, type)));
    r.push_back(Text("bsflag", KVO_FIELD(Transaction, bsflag)));
    return r;
}

// show_number and the volumes are read apart (see Fill).
Rules QueueRules() {
    Rules r;
    AddMarketCodeTime<OrderQueue>(r);
    r.push_back(Text("side", KVO_FIELD(OrderQueue, side)));
    r.push_back(Num("price", Rule::kF64, offsetof(OrderQueue, price)));
    r.push_back(Num("order_number", Rule::kI32, offsetof(OrderQueue, order_number)));
    return r;
}

#undef KVO_FIELD

const Rules& RulesOf(OfflineFile file) {
    // Never destroyed: a playback may still read a file while the process
    // exits.
    static const pl::NeverDestroyed<Rules> kIndex(IndexRules()), kStock(StockRules()), kQueue(QueueRules()),
        kOrder(OrderRules()), kTrans(TransRules()), kSuper(SuperStockRules());
    switch (file) {
    case OfflineFile::kIndex:
        return *kIndex;
    case OfflineFile::kStock:
        return *kStock;
    case OfflineFile::kQueue:
        return *kQueue;
    case OfflineFile::kOrder:
        return *kOrder;
    case OfflineFile::kTrans:
        return *kTrans;
    case OfflineFile::kSuperStock:
        break;
    }
    return *kSuper;
}

// Cuts a line at every ","; a "," at the end adds no field, an empty line
// has none.
void SplitFields(std::string_view line, std::vector<std::string_view>* fields) {
    fields->clear();
    if (line.empty()) return;
    size_t start = 0;
    while (true) {
        const size_t comma = line.find(',', start);
        if (comma == std::string_view::npos) {
            fields->push_back(line.substr(start));
            return;
        }
        fields->push_back(line.substr(start, comma - start));
        start = comma + 1;
        if (start == line.size()) return;
    }
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

template <class T>
void Store(void* record, size_t offset, T value) {
    std::memcpy(static_cast<char*>(record) + offset, &value, sizeof value);
}

}  // namespace

// ---- Files ----------------------------------------------------------------------

const char* OfflineFileName(OfflineFile file) {
    switch (file) {
    case OfflineFile::kIndex:
        return "index.csv";
    case OfflineFile::kStock:
        return "stock.csv";
    case OfflineFile::kQueue:
        return "queue.csv";
    case OfflineFile::kOrder:
        return "order.csv";
    case OfflineFile::kTrans:
        return "trans.csv";
    case OfflineFile::kSuperStock:
        break;
    }
    return "superstock.csv";
}

uint32_t OfflineDataClass(OfflineFile file) {
    switch (file) {
    case OfflineFile::kIndex:
        return 1;
    case OfflineFile::kStock:
        return 2;
    case OfflineFile::kQueue:
        return 3;
    case OfflineFile::kOrder:
        return 4;
    case OfflineFile::kTrans:
        return 5;
    case OfflineFile::kSuperStock:
        break;
    }
    return 6;
}

size_t OfflineRecordSize(OfflineFile file) {
    switch (file) {
    case OfflineFile::kIndex:
        return sizeof(TickIndex);
    case OfflineFile::kStock:
        return sizeof(TickStock);
    case OfflineFile::kQueue:
        return kOfflineQueueRecordMax;
    case OfflineFile::kOrder:
        return sizeof(OrderData);
    case OfflineFile::kTrans:
        return sizeof(Transaction);
    case OfflineFile::kSuperStock:
        break;
    }
    return sizeof(SuperStock);
}

// ---- Lines ----------------------------------------------------------------------

OfflineLineReader::~OfflineLineReader() {
    if (m_file != nullptr) std::fclose(m_file);
}

bool OfflineLineReader::OpenFile(const std::string& path) {
    if (m_file != nullptr) std::fclose(m_file);
    m_file = std::fopen(path.c_str(), "rb");
    m_data = nullptr;
    m_pos = m_end = 0;
    m_done = m_file == nullptr;
    if (m_file != nullptr) m_buffer.resize(64 * 1024);
    return m_file != nullptr;
}

void OfflineLineReader::OpenMemory(const void* data, size_t size) {
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
    m_data = static_cast<const char*>(data);
    m_pos = 0;
    m_end = data != nullptr ? size : 0;
    m_done = false;
}

bool OfflineLineReader::Refill() {
    if (m_file == nullptr) return false;
    const size_t n = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
    m_data = m_buffer.data();
    m_pos = 0;
    m_end = n;
    return n > 0;
}

OfflineLineReader::Result OfflineLineReader::Next(std::string* line) {
    line->clear();
    if (m_done) return kEnd;
    bool any = false;  // bytes of this line were seen
    // A "\r" before the "\n" is not part of the line, so one byte more than
    // the maximum may gather before the line is known to be too long.
    const size_t gatherMax = m_maxLine + 1;
    while (true) {
        if (m_pos >= m_end && !Refill()) {
            m_done = true;
            if (!any) return kEnd;
            break;
        }
        any = true;
        const char* begin = m_data + m_pos;
        const char* nl = static_cast<const char*>(std::memchr(begin, '\n', m_end - m_pos));
        const size_t piece = nl != nullptr ? size_t(nl - begin) : m_end - m_pos;
        if (line->size() + piece > gatherMax) {
            m_done = true;
            line->clear();
            return kTooLong;
        }
        line->append(begin, piece);
        m_pos += piece;
        if (nl != nullptr) {
            ++m_pos;
            break;
        }
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    if (line->size() > m_maxLine) {
        m_done = true;
        line->clear();
        return kTooLong;
    }
    return kLine;
}

bool FindOfflineCodelist(OfflineLineReader& lines, std::string_view market, std::string* codelist) {
    std::string line;
    while (lines.Next(&line) == OfflineLineReader::kLine) {
        if (line.find('#') != std::string::npos) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (std::string_view(line).substr(0, eq) != market) continue;
        *codelist = line.substr(eq + 1);
        return true;
    }
    return false;
}

// ---- CSV files ------------------------------------------------------------------

OfflineCsvReader::OfflineCsvReader(OfflineFile file) : m_file(file), m_lines(kOfflineCsvLineMax) {}

bool OfflineCsvReader::OpenFile(const std::string& path) {
    if (!m_lines.OpenFile(path)) return false;
    ReadHeader();
    return true;
}

void OfflineCsvReader::OpenMemory(const void* data, size_t size) {
    m_lines.OpenMemory(data, size);
    ReadHeader();
}

void OfflineCsvReader::ReadHeader() {
    m_columns.clear();
    m_bound.clear();
    m_volumeColumn = m_showColumn = SIZE_MAX;
    m_rows = 0;
    m_usable = false;
    m_tooLong = false;
    const OfflineLineReader::Result got = m_lines.Next(&m_raw);
    if (got != OfflineLineReader::kLine) {
        m_tooLong = got == OfflineLineReader::kTooLong;
        return;
    }
    SplitFields(m_raw, &m_fields);
    for (size_t i = 0; i < m_fields.size(); ++i) m_columns[std::string(m_fields[i])] = i;
    for (const Rule& rule : RulesOf(m_file)) {
        auto it = m_columns.find(rule.column);
        if (it != m_columns.end()) m_bound.push_back({&rule, it->second});
    }
    if (m_file == OfflineFile::kQueue) {
        if (auto it = m_columns.find("volume"); it != m_columns.end()) m_volumeColumn = it->second;
        if (auto it = m_columns.find("show_number"); it != m_columns.end()) m_showColumn = it->second;
    }
    m_fields.clear();
}

bool OfflineCsvReader::NextRow() {
    m_usable = false;
    m_fields.clear();
    const OfflineLineReader::Result got = m_lines.Next(&m_raw);
    if (got != OfflineLineReader::kLine) {
        m_tooLong = m_tooLong || got == OfflineLineReader::kTooLong;
        return false;
    }
    ++m_rows;
    // Rows are UTF-8; the records carry the ANSI code page's texts.
    std::string_view row = m_raw;
    if (!IsAscii(row)) {
        corvane::CTLString converted;
        if (TL_MultiByteToMultiByte(m_raw.data(), static_cast<int>(m_raw.size()), converted, 65001,
                                    TL_GetAnsiCodePage()) >= 0) {
            m_row = converted.str();
            row = m_row;
        }
    }
    SplitFields(row, &m_fields);
    size_t needed = m_columns.size();
    if (m_file == OfflineFile::kQueue && needed > 0) --needed;
    m_usable = m_fields.size() >= needed;
    return true;
}

std::string_view OfflineCsvReader::At(size_t column) const {
    return column < m_fields.size() ? m_fields[column] : std::string_view();
}

std::string_view OfflineCsvReader::Field(std::string_view column) const {
    auto it = m_columns.find(std::string(column));
    return it == m_columns.end() ? std::string_view() : At(it->second);
}

size_t OfflineCsvReader::Fill(void* record) const {
    for (const Bound& b : m_bound) {
        const std::string_view v = At(b.column);
        char* field = static_cast<char*>(record) + b.rule->offset;
        switch (b.rule->kind) {
        case Rule::kText:
            CopyRecordText(field, b.rule->width, v.data(), v.size(), b.rule->limit);
            break;
        case Rule::kI32:
            Store(record, b.rule->offset, DecimalToI32(v));
            break;
        case Rule::kI64:
            Store(record, b.rule->offset, DecimalToI64(v));
            break;
        case Rule::kF64:
            Store(record, b.rule->offset, DecimalToDouble(v));
            break;
        }
    }
    if (m_file != OfflineFile::kQueue) return OfflineRecordSize(m_file);
    // The count is kept to what the buffer and the row hold.
    int64_t n = m_showColumn != SIZE_MAX ? DecimalToI32(At(m_showColumn)) : 0;
    const size_t present = m_volumeColumn < m_fields.size() ? m_fields.size() - m_volumeColumn : 0;
    n = std::clamp<int64_t>(n, 0, std::min<int64_t>(kOfflineQueueMaxVolumes, int64_t(present)));
    Store(record, offsetof(OrderQueue, show_number), static_cast<int32_t>(n));
    for (int64_t i = 0; i < n; ++i)
        Store(record, KVO_ORDERQUEUE_HEAD_SIZE + 4 * size_t(i), DecimalToI32(m_fields[m_volumeColumn + size_t(i)]));
    return KvoOrderQueueSize(static_cast<uint32_t>(n));
}

// ---- Snapshot queries -----------------------------------------------------------

uint32_t CollectOfflineSnapshot(OfflineCsvReader& reader, std::string_view market, std::string_view codelist,
                                uint64_t maxRows, std::vector<unsigned char>* records) {
    const size_t size = OfflineRecordSize(reader.File());
    const size_t first = records->size();
    std::unordered_map<std::string, size_t> placed;  // code -> record position
    while (reader.RowsRead() < maxRows && reader.NextRow()) {
        if (!reader.Usable() || reader.Field("market") != market) continue;
        const std::string_view code = reader.Field("code");
        if (codelist.size() > 2 && codelist.find(code) == std::string_view::npos) continue;
        auto [it, added] = placed.try_emplace(std::string(code), placed.size());
        if (added) records->resize(first + placed.size() * size);
        reader.Fill(records->data() + first + it->second * size);
    }
    return static_cast<uint32_t>(placed.size());
}

namespace {

template <class Rec>
Rec* LoadSnapshot(OfflineFile file, uint64_t maxRows, const std::string& folder, const char* market,
                  const char* codelist, uint32_t* count) {
    if (market == nullptr || count == nullptr) return nullptr;
    OfflineCsvReader reader(file);
    if (!reader.OpenFile(folder + OfflineFileName(file))) return nullptr;
    std::vector<unsigned char> records;
    const uint32_t n = CollectOfflineSnapshot(reader, market, codelist != nullptr ? codelist : "", maxRows, &records);
    if (n == 0) return nullptr;
    void* block = std::malloc(records.size());
    if (block == nullptr) return nullptr;
    std::memcpy(block, records.data(), records.size());
    *count = n;
    return static_cast<Rec*>(block);
}

}  // namespace

char* LoadOfflineCodelist(const std::string& folder, const char* market, uint32_t* length) {
    if (market == nullptr || length == nullptr) return nullptr;
    OfflineLineReader lines(kOfflineCodelistLineMax);
    if (!lines.OpenFile(folder + kOfflineCodelistFile)) return nullptr;
    std::string codelist;
    if (!FindOfflineCodelist(lines, market, &codelist)) return nullptr;
    char* text = static_cast<char*>(std::malloc(codelist.size() + 1));
    if (text == nullptr) return nullptr;
    std::memcpy(text, codelist.c_str(), codelist.size() + 1);
    *length = static_cast<uint32_t>(codelist.size());
    return text;
}

TickIndex* LoadOfflineTickIndex(const std::string& folder, const char* market, const char* codelist, uint32_t* count) {
    return LoadSnapshot<TickIndex>(OfflineFile::kIndex, kOfflineIndexQueryRows, folder, market, codelist, count);
}

TickStock* LoadOfflineTickStock(const std::string& folder, const char* market, const char* codelist, uint32_t* count) {
    return LoadSnapshot<TickStock>(OfflineFile::kStock, kOfflineStockQueryRows, folder, market, codelist, count);
}

SuperStock* LoadOfflineSuperStock(const std::string& folder, const char* market, const char* codelist,
                                  uint32_t* count) {
    return LoadSnapshot<SuperStock>(OfflineFile::kSuperStock, kOfflineSuperStockQueryRows, folder, market, codelist,
                                    count);
}

// ---- Playback -------------------------------------------------------------------

bool OfflineFileOpens(const std::string& folder, OfflineFile file) {
    std::FILE* f = std::fopen((folder + OfflineFileName(file)).c_str(), "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

int64_t PlayOfflineFile(OfflineFile file, const std::string& folder, const OfflineRecordSink& sink) {
    const std::string path = folder + OfflineFileName(file);
    OfflineCsvReader reader(file);
    if (!reader.OpenFile(path)) {
        TL_WriteLog(2, "OfflineDebug:File Open Fail,path:%s", path.c_str());
        return -1;
    }
    std::vector<unsigned char> record(OfflineRecordSize(file));
    int64_t played = 0;
    while (reader.NextRow()) {
        if (!reader.Usable()) continue;
        std::fill(record.begin(), record.end(), 0);
        const size_t length = reader.Fill(record.data());
        ++played;
        if (!sink(record.data(), length)) return played;
    }
    if (reader.StoppedAtLongLine())
        TL_WriteLog(
            2,
            "OfflineDebug:line longer than %zu characters after row %llu,path:%s, the rest of the file is not played",
            kOfflineCsvLineMax, static_cast<unsigned long long>(reader.RowsRead()), path.c_str());
    return played;
}

int64_t PlayOfflineIndex(const std::string& folder, const OfflineRecordSink& sink) {
    return PlayOfflineFile(OfflineFile::kIndex, folder, sink);
}
int64_t PlayOfflineStock(const std::string& folder, const OfflineRecordSink& sink) {
    return PlayOfflineFile(OfflineFile::kStock, folder, sink);
}
int64_t PlayOfflineQueue(const std::string& folder, const OfflineRecordSink& sink) {
    return PlayOfflineFile(OfflineFile::kQueue, folder, sink);
}
int64_t PlayOfflineOrder(const std::string& folder, const OfflineRecordSink& sink) {
    return PlayOfflineFile(OfflineFile::kOrder, folder, sink);
}
int64_t PlayOfflineTrans(const std::string& folder, const OfflineRecordSink& sink) {
    return PlayOfflineFile(OfflineFile::kTrans, folder, sink);
}
int64_t PlayOfflineSuperStock(const std::string& folder, const OfflineRecordSink& sink) {
    return PlayOfflineFile(OfflineFile::kSuperStock, folder, sink);
}
