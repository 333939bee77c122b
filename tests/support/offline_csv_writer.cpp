#include "tests/support/offline_csv_writer.h"

#include <charconv>
#include <cstddef>
#include <cstring>
#include <fstream>

#include "framework/tl_codepage.h"

namespace kvotest {

namespace {

std::string Num(double v) { return CsvNumber(v); }
std::string Num(int64_t v) { return std::to_string(v); }
std::string Num(int32_t v) { return std::to_string(v); }

// A record text up to its zero (all n bytes when it has none).
std::string Text(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

// A GBK record text as the UTF-8 that the file holds.
std::string Utf8(const char* p, size_t n) {
    const std::string gbk = Text(p, n);
    if (gbk.empty()) return gbk;
    return TL_ConvertCodePage(gbk.data(), static_cast<int>(gbk.size()), 936, 65001).str();
}

std::vector<std::string> Numbered(const char* name) {
    std::vector<std::string> out;
    for (int i = 1; i <= 10; ++i) out.push_back(name + std::to_string(i));
    return out;
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& names) {
    to.insert(to.end(), names.begin(), names.end());
}

// Ten columns name1..name10 from the array of T at `offset` of a record.
template <class T>
void PutLevels(CsvRow& row, const char* name, const void* record, size_t offset) {
    for (int i = 0; i < 10; ++i) {
        T v;
        std::memcpy(&v, static_cast<const char*>(record) + offset + sizeof(T) * i, sizeof v);
        row.values[name + std::to_string(i + 1)] = Num(v);
    }
}

// Packed members are read by value.
template <class T>
T V(T v) {
    return v;
}

// market, code, date and time, which every file has.
template <class Rec>
CsvRow HeadRow(const Rec& r) {
    CsvRow row;
    auto& v = row.values;
    v["market"] = Text(r.market, sizeof r.market);
    v["code"] = Text(r.code, sizeof r.code);
    v["date"] = Num(V(r.date));
    v["time"] = Num(V(r.time));
    return row;
}

// The columns that orders and transactions share.
template <class Rec>
CsvRow EventRow(const Rec& r) {
    CsvRow row = HeadRow(r);
    auto& v = row.values;
    v["index"] = Num(V(r.index));
    v["Bizindex"] = Num(V(r.Bizindex));
    v["channel"] = Num(V(r.channel));
    v["price"] = Num(V(r.price));
    v["volume"] = Num(V(r.volume));
    return row;
}

}  // namespace

void CsvWriter::Add(const CsvRow& row) {
    std::string line;
    for (size_t i = 0; i < m_header.size(); ++i) {
        if (i > 0) line += ',';
        auto it = row.values.find(m_header[i]);
        if (it != row.values.end()) line += it->second;
    }
    for (const std::string& f : row.after) line.append(1, ',').append(f);
    m_lines.push_back(std::move(line));
}

std::string CsvWriter::Text() const {
    const char* end = crlf ? "\r\n" : "\n";
    std::string text = prefix;
    for (size_t i = 0; i < m_header.size(); ++i) text.append(i > 0 ? "," : "").append(m_header[i]);
    text += end;
    for (const std::string& line : m_lines) text.append(line).append(end);
    return text;
}

bool CsvWriter::Write(const std::string& path) const { return WriteTextFile(path, Text()); }

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

std::string CsvNumber(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::vector<std::string> IndexCsvColumns() {
    return {"market",     "code",       "codename",  "status",    "date",   "time",     "pre_price",
            "open_price", "high_price", "low_price", "new_price", "volume", "turnover", "trade_num"};
}

std::vector<std::string> StockCsvColumns() {
    std::vector<std::string> c = IndexCsvColumns();
    for (const char* n :
         {"bidorder_price", "bidorder_volume", "bid_numorders", "askorder_price", "askorder_volume", "ask_numorders"})
        Append(c, Numbered(n));
    Append(c, {"totalbid_volume",
               "totalask_volume",
               "avgbid_price",
               "avgask_price",
               "uplimit_price",
               "downlimit_price",
               "pe",
               "iopv",
               "withdraw_buynum",
               "withdraw_buyvolume",
               "withdraw_buyturnover",
               "withdraw_sellnum",
               "withdraw_sellvol",
               "withdraw_sellturnover",
               "totalbid_num",
               "totalask_num",
               "bidorder_num",
               "askorder_num",
               "inner_volume",
               "outer_volume",
               "aftermarket_volume",
               "aftermarket_volmount"});
    return c;
}

std::vector<std::string> SuperStockCsvColumns() {
    std::vector<std::string> c = {"market", "code", "date", "time", "new_price"};
    for (const char* n : {"bidorder_price", "bidorder_volume", "askorder_price", "askorder_volume"})
        Append(c, Numbered(n));
    return c;
}

std::vector<std::string> OrderCsvColumns() {
    return {"market", "code", "date", "time", "index", "Bizindex", "channel", "price", "volume", "type", "side"};
}

std::vector<std::string> TransCsvColumns() {
    return {"market", "code",   "date",      "time",       "index", "Bizindex", "channel",
            "price",  "volume", "buy_index", "sell_index", "type",  "bsflag"};
}

std::vector<std::string> QueueCsvColumns() {
    return {"market", "code", "date", "time", "side", "price", "order_number", "show_number", "volume"};
}

CsvRow IndexCsvRow(const TickIndex& r) {
    CsvRow row = HeadRow(r);
    auto& v = row.values;
    v["codename"] = Utf8(r.codename, sizeof r.codename);
    v["status"] = Text(r.status, sizeof r.status);
    v["pre_price"] = Num(V(r.pre_price));
    v["open_price"] = Num(V(r.open_price));
    v["high_price"] = Num(V(r.high_price));
    v["low_price"] = Num(V(r.low_price));
    v["new_price"] = Num(V(r.new_price));
    v["volume"] = Num(V(r.volume));
    v["turnover"] = Num(V(r.turnover));
    v["trade_num"] = Num(V(r.trade_num));
    return row;
}

CsvRow StockCsvRow(const TickStock& r) {
    TickIndex head;
    std::memcpy(&head, &r, sizeof head);  // a stock record begins as an index record
    CsvRow row = IndexCsvRow(head);
    PutLevels<double>(row, "bidorder_price", &r, offsetof(TickStock, bidorder_price));
    PutLevels<int64_t>(row, "bidorder_volume", &r, offsetof(TickStock, bidorder_volume));
    PutLevels<int64_t>(row, "bid_numorders", &r, offsetof(TickStock, bid_numorders));
    PutLevels<double>(row, "askorder_price", &r, offsetof(TickStock, askorder_price));
    PutLevels<int64_t>(row, "askorder_volume", &r, offsetof(TickStock, askorder_volume));
    PutLevels<int64_t>(row, "ask_numorders", &r, offsetof(TickStock, ask_numorders));
    auto& v = row.values;
#define KVO_PUT(f) v[#f] = Num(V(r.f))
    KVO_PUT(totalbid_volume);
    KVO_PUT(totalask_volume);
    KVO_PUT(avgbid_price);
    KVO_PUT(avgask_price);
    KVO_PUT(uplimit_price);
    KVO_PUT(downlimit_price);
    KVO_PUT(pe);
    KVO_PUT(iopv);
    KVO_PUT(withdraw_buynum);
    KVO_PUT(withdraw_buyvolume);
    KVO_PUT(withdraw_buyturnover);
    KVO_PUT(withdraw_sellnum);
    KVO_PUT(withdraw_sellvol);
    KVO_PUT(withdraw_sellturnover);
    KVO_PUT(totalbid_num);
    KVO_PUT(totalask_num);
    KVO_PUT(bidorder_num);
    KVO_PUT(askorder_num);
    KVO_PUT(inner_volume);
    KVO_PUT(outer_volume);
    KVO_PUT(aftermarket_volume);
    KVO_PUT(aftermarket_volmount);
#undef KVO_PUT
    return row;
}

CsvRow SuperStockCsvRow(const SuperStock& r) {
    CsvRow row = HeadRow(r);
    row.values["new_price"] = Num(V(r.new_price));
    PutLevels<double>(row, "bidorder_price", &r, offsetof(SuperStock, bidorder_price));
    PutLevels<int64_t>(row, "bidorder_volume", &r, offsetof(SuperStock, bidorder_volume));
    PutLevels<double>(row, "askorder_price", &r, offsetof(SuperStock, askorder_price));
    PutLevels<int64_t>(row, "askorder_volume", &r, offsetof(SuperStock, askorder_volume));
    return row;
}

CsvRow OrderCsvRow(const OrderData& r) {
    CsvRow row = EventRow(r);
    row.values["side"] = Text(r.side, sizeof r.side);
    row.values["type"] = Text(r.type, sizeof r.type);
    return row;
}

CsvRow TransCsvRow(const Transaction& r) {
    CsvRow row = EventRow(r);
    auto& v = row.values;
    v["buy_index"] = Num(V(r.buy_index));
    v["sell_index"] = Num(V(r.sell_index));
    v["type"] = Text(r.type, sizeof r.type);
    v["bsflag"] = Text(r.bsflag, sizeof r.bsflag);
    return row;
}

CsvRow QueueCsvRow(const OrderQueue& head, const std::vector<int32_t>& volumes) {
    CsvRow row = HeadRow(head);
    auto& v = row.values;
    v["side"] = Text(head.side, sizeof head.side);
    v["price"] = Num(V(head.price));
    v["order_number"] = Num(V(head.order_number));
    v["show_number"] = Num(int32_t(volumes.size()));
    if (!volumes.empty()) v["volume"] = Num(volumes[0]);
    for (size_t i = 1; i < volumes.size(); ++i) row.after.push_back(Num(volumes[i]));
    return row;
}

}  // namespace kvotest
