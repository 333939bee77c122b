#include "tests/support/offline_sample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <tuple>

#include "tests/support/offline_csv_writer.h"

namespace kvotest {

namespace {

// ---- Inputs -------------------------------------------------------------------

struct StockSpec {
    const char* market;
    const char* code;
    const char* name;  // GBK
    int preCents;
    double pe;
    int32_t channel;
    bool sz;  // cancellations reach the transactions
};

const StockSpec kStocks[] = {
    {"USHA", "600000", "\xC6\xD6\xB7\xA2\xD2\xF8\xD0\xD0", 1020, 5.21, 1, false},    // 浦发银行
    {"USHA", "600036", "\xD5\xD0\xC9\xCC\xD2\xF8\xD0\xD0", 3550, 6.48, 2, false},    // 招商银行
    {"USZA", "000001", "\xC6\xBD\xB0\xB2\xD2\xF8\xD0\xD0", 1130, 4.87, 2011, true},  // 平安银行
};

struct IndexSpec {
    const char* code;
    const char* name;  // GBK
    double pre;
    bool shanghaiOnly;  // follows the Shanghai stocks only
};

const IndexSpec kIndexes[] = {
    {"000001", "\xC9\xCF\xD6\xA4\xD6\xB8\xCA\xFD", 3100.50, true},  // 上证指数
    {"000300",
     "\xBB\xA6\xC9\xEE"
     "300",
     3800.20, false},  // 沪深300
};

constexpr int kMs = 1000;
constexpr int kMinute = 60 * kMs;
constexpr int kHour = 60 * kMinute;
constexpr int kPreOpen = 9 * kHour + 15 * kMinute;
constexpr int kAuction = 9 * kHour + 25 * kMinute;
constexpr int kOpen = 9 * kHour + 30 * kMinute;
constexpr int kBreak = 11 * kHour + 30 * kMinute;
constexpr int kSnapshotStep = 5 * kMinute;

int32_t RecordTime(int msOfDay) {
    const int h = msOfDay / kHour, m = msOfDay / kMinute % 60, s = msOfDay / kMs % 60, ms = msOfDay % kMs;
    return h * 10000000 + m * 100000 + s * 1000 + ms;
}

double Yuan(int64_t cents) { return double(cents) / 100.0; }

// xorshift64*: the same numbers on every platform.
class Random {
public:
    explicit Random(uint64_t seed) : m_s(seed) {}
    uint64_t Next() {
        m_s ^= m_s >> 12;
        m_s ^= m_s << 25;
        m_s ^= m_s >> 27;
        return m_s * 2685821657736338717ull;
    }
    int Below(int n) { return static_cast<int>(Next() % uint64_t(n)); }
    int Between(int lo, int hi) { return lo + Below(hi - lo + 1); }

private:
    uint64_t m_s;
};

template <size_t N>
void SetText(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N - 1, std::strlen(text)));
}

// ---- One stock's book -----------------------------------------------------------

struct Resting {
    int32_t index;
    int volume;
};

// One side of a book as a tick shows it: ten levels and the totals.
struct Side {
    double price[10] = {};
    int64_t volume[10] = {};
    int64_t orders[10] = {};
    int64_t total = 0;     // volume of every order
    double average = 0.0;  // volume-weighted price, 3 decimals
    int32_t count = 0;     // orders
    int32_t levels = 0;    // prices
};

template <class Book>
Side Summarise(const Book& book) {
    Side side;
    int64_t weighted = 0;
    for (const auto& [price, queue] : book) {
        int64_t volume = 0;
        for (const Resting& o : queue) volume += o.volume;
        if (side.levels < 10) {
            side.price[side.levels] = Yuan(price);
            side.volume[side.levels] = volume;
            side.orders[side.levels] = int64_t(queue.size());
        }
        ++side.levels;
        side.total += volume;
        weighted += volume * price;
        side.count += int32_t(queue.size());
    }
    if (side.total > 0) side.average = std::round(double(weighted) / double(side.total) * 10.0) / 1000.0;
    return side;
}

struct Event {
    int time;
    int kind;  // 0 order, 1 cancel request
};

class StockDay {
public:
    StockDay(const StockSpec& spec, uint64_t seed, OfflineSample* out) : m_spec(spec), m_rand(seed), m_out(out) {
        m_fair = spec.preCents;
        m_up = (spec.preCents * 11 + 5) / 10;
        m_down = (spec.preCents * 9 + 5) / 10;
    }

    // Events up to (not including) `until`.
    void RunUntil(int until) {
        while (m_next < m_events.size() && m_events[m_next].time < until) Apply(m_events[m_next++]);
    }

    void PlanEvents() {
        for (int i = 0; i < 24; ++i) m_events.push_back({kPreOpen + m_rand.Below(kAuction - kPreOpen), 0});
        for (int i = 0; i < 220; ++i) m_events.push_back({kOpen + m_rand.Below(kBreak - kOpen), 0});
        if (m_spec.sz)
            for (int i = 0; i < 25; ++i) m_events.push_back({kOpen + m_rand.Below(kBreak - kOpen), 1});
        std::stable_sort(m_events.begin(), m_events.end(),
                         [](const Event& a, const Event& b) { return a.time < b.time; });
    }

    void Snapshot(int time) {
        TickStock s{};
        SetText(s.market, m_spec.market);
        SetText(s.code, m_spec.code);
        SetText(s.codename, m_spec.name);
        SetText(s.status, time <= kAuction ? "OCALL" : "TRADE");
        s.date = kSampleDate;
        s.time = RecordTime(time);
        s.pre_price = Yuan(m_spec.preCents);
        s.open_price = Yuan(m_openCents);
        s.high_price = Yuan(m_high);
        s.low_price = Yuan(m_low);
        s.new_price = Yuan(m_last);
        s.volume = m_volume;
        s.turnover = Yuan(m_turnoverCents);
        s.trade_num = m_trades;
        SuperStock b{};
        std::memcpy(b.market, s.market, sizeof b.market);
        std::memcpy(b.code, s.code, sizeof b.code);
        b.date = s.date;
        b.time = s.time;
        b.new_price = s.new_price;
        const Side bid = Summarise(m_bids), ask = Summarise(m_asks);
        for (int l = 0; l < 10; ++l) {
            s.bidorder_price[l] = b.bidorder_price[l] = bid.price[l];
            s.bidorder_volume[l] = b.bidorder_volume[l] = bid.volume[l];
            s.bid_numorders[l] = bid.orders[l];
            s.askorder_price[l] = b.askorder_price[l] = ask.price[l];
            s.askorder_volume[l] = b.askorder_volume[l] = ask.volume[l];
            s.ask_numorders[l] = ask.orders[l];
        }
        s.totalbid_volume = bid.total;
        s.totalask_volume = ask.total;
        s.avgbid_price = bid.average;
        s.avgask_price = ask.average;
        s.totalbid_num = bid.count;
        s.totalask_num = ask.count;
        s.bidorder_num = bid.levels;
        s.askorder_num = ask.levels;
        s.uplimit_price = Yuan(m_up);
        s.downlimit_price = Yuan(m_down);
        s.pe = m_spec.pe;
        s.withdraw_buynum = m_withdrawBuyNum;
        s.withdraw_buyvolume = m_withdrawBuyVolume;
        s.withdraw_buyturnover = Yuan(m_withdrawBuyCents);
        s.withdraw_sellnum = m_withdrawSellNum;
        s.withdraw_sellvol = m_withdrawSellVolume;
        s.withdraw_sellturnover = Yuan(m_withdrawSellCents);
        s.inner_volume = m_inner;
        s.outer_volume = m_outer;
        m_out->stock.push_back(s);
        m_out->superstock.push_back(b);
        if (!m_bids.empty()) Queue(time, 'B', m_bids.begin()->first, m_bids.begin()->second);
        if (!m_asks.empty()) Queue(time, 'S', m_asks.begin()->first, m_asks.begin()->second);
    }

    double Return() const { return m_last == 0 ? 0.0 : double(m_last) / m_spec.preCents - 1.0; }
    int64_t Volume() const { return m_volume; }
    int64_t TurnoverCents() const { return m_turnoverCents; }
    int64_t Trades() const { return m_trades; }
    bool Shanghai() const { return !m_spec.sz; }

private:
    // An order or transaction of this stock with the next sequence numbers.
    template <class Rec>
    Rec NewEvent(int time) {
        Rec r{};
        SetText(r.market, m_spec.market);
        SetText(r.code, m_spec.code);
        r.date = kSampleDate;
        r.time = RecordTime(time);
        r.index = ++m_seq;
        r.Bizindex = ++m_biz;
        r.channel = m_spec.channel;
        return r;
    }

    void Queue(int time, char side, int price, const std::deque<Resting>& orders) {
        OrderQueue q{};
        SetText(q.market, m_spec.market);
        SetText(q.code, m_spec.code);
        q.date = kSampleDate;
        q.time = RecordTime(time);
        q.side[0] = side;
        q.price = Yuan(price);
        q.order_number = int32_t(orders.size());
        std::vector<int32_t> volumes;
        for (size_t i = 0; i < orders.size() && i < 50; ++i) volumes.push_back(orders[i].volume);
        q.show_number = int32_t(volumes.size());
        m_out->queue.emplace_back(q, std::move(volumes));
    }

    void Apply(const Event& e) {
        if (e.kind == 1) {
            Cancel(e.time);
            return;
        }
        const bool buy = m_rand.Below(2) == 0;
        int price;
        int volume;
        if (e.time < kOpen) {
            price = buy ? m_spec.preCents - m_rand.Between(1, 15) : m_spec.preCents + m_rand.Between(1, 15);
            volume = 100 * m_rand.Between(1, 50);
        } else {
            m_fair += m_rand.Between(-2, 2);
            m_fair = std::clamp(m_fair, m_down + 20, m_up - 20);
            if (m_rand.Below(100) < 35) {  // takes liquidity
                price = buy ? (m_asks.empty() ? m_fair + 1 : m_asks.begin()->first) + m_rand.Between(0, 2)
                            : (m_bids.empty() ? m_fair - 1 : m_bids.begin()->first) - m_rand.Between(0, 2);
                volume = 100 * m_rand.Between(1, 30);
            } else {
                price = buy ? m_fair - m_rand.Between(0, 6) : m_fair + m_rand.Between(0, 6);
                if (buy && !m_asks.empty()) price = std::min(price, m_asks.begin()->first - 1);
                if (!buy && !m_bids.empty()) price = std::max(price, m_bids.begin()->first + 1);
                volume = 100 * m_rand.Between(1, 50);
            }
        }
        price = std::clamp(price, m_down, m_up);
        Order(e.time, buy, price, volume);
    }

    void Order(int time, bool buy, int price, int volume) {
        OrderData o = NewEvent<OrderData>(time);
        o.price = Yuan(price);
        o.volume = volume;
        SetText(o.side, buy ? "B" : "S");
        SetText(o.type, m_spec.sz ? "2" : "");
        m_out->orders.push_back(o);
        const int32_t index = o.index;
        int left = volume;
        if (buy) {
            while (left > 0 && !m_asks.empty() && m_asks.begin()->first <= price)
                left = Fill(time, true, index, left, m_asks);
            if (left > 0) m_bids[price].push_back({index, left});
        } else {
            while (left > 0 && !m_bids.empty() && m_bids.begin()->first >= price)
                left = Fill(time, false, index, left, m_bids);
            if (left > 0) m_asks[price].push_back({index, left});
        }
    }

    // One fill against the best level of `book`; returns what is left.
    template <class Book>
    int Fill(int time, bool buy, int32_t index, int left, Book& book) {
        auto level = book.begin();
        Resting& maker = level->second.front();
        const int volume = std::min(left, maker.volume);
        const int price = level->first;
        Transaction t = NewEvent<Transaction>(time);
        t.price = Yuan(price);
        t.volume = volume;
        t.buy_index = buy ? index : maker.index;
        t.sell_index = buy ? maker.index : index;
        SetText(t.type, "F");
        SetText(t.bsflag, buy ? "B" : "S");
        m_out->trans.push_back(t);
        if (m_openCents == 0) m_openCents = m_high = m_low = price;
        m_high = std::max(m_high, price);
        m_low = std::min(m_low, price);
        m_last = price;
        m_volume += volume;
        m_turnoverCents += int64_t(volume) * price;
        ++m_trades;
        (buy ? m_outer : m_inner) += volume;
        maker.volume -= volume;
        if (maker.volume == 0) level->second.pop_front();
        if (level->second.empty()) book.erase(level);
        return left - volume;
    }

    // Withdraws a resting order a little off the best prices.
    void Cancel(int time) {
        const bool buy = m_rand.Below(2) == 0;
        if (buy ? m_bids.size() < 3 : m_asks.size() < 3) return;
        int price;
        Resting order;
        if (buy) {
            auto level = std::next(m_bids.begin(), m_rand.Between(1, int(m_bids.size()) - 1));
            price = level->first;
            order = level->second.back();
            level->second.pop_back();
            if (level->second.empty()) m_bids.erase(level);
        } else {
            auto level = std::next(m_asks.begin(), m_rand.Between(1, int(m_asks.size()) - 1));
            price = level->first;
            order = level->second.back();
            level->second.pop_back();
            if (level->second.empty()) m_asks.erase(level);
        }
        Transaction t = NewEvent<Transaction>(time);
        t.price = 0.0;
        t.volume = order.volume;
        t.buy_index = buy ? order.index : 0;
        t.sell_index = buy ? 0 : order.index;
        SetText(t.type, "C");
        SetText(t.bsflag, buy ? "B" : "S");
        m_out->trans.push_back(t);
        if (buy) {
            ++m_withdrawBuyNum;
            m_withdrawBuyVolume += order.volume;
            m_withdrawBuyCents += int64_t(order.volume) * price;
        } else {
            ++m_withdrawSellNum;
            m_withdrawSellVolume += order.volume;
            m_withdrawSellCents += int64_t(order.volume) * price;
        }
    }

    const StockSpec& m_spec;
    Random m_rand;
    OfflineSample* m_out;
    std::vector<Event> m_events;
    size_t m_next = 0;
    std::map<int, std::deque<Resting>, std::greater<int>> m_bids;
    std::map<int, std::deque<Resting>> m_asks;
    int m_fair, m_up, m_down;
    int m_openCents = 0, m_high = 0, m_low = 0, m_last = 0;
    int64_t m_volume = 0, m_turnoverCents = 0, m_trades = 0, m_inner = 0, m_outer = 0;
    int32_t m_seq = 0, m_biz = 0;
    int32_t m_withdrawBuyNum = 0, m_withdrawSellNum = 0;
    int64_t m_withdrawBuyVolume = 0, m_withdrawSellVolume = 0, m_withdrawBuyCents = 0, m_withdrawSellCents = 0;
};

// ---- Indexes ----------------------------------------------------------------------

class IndexDay {
public:
    explicit IndexDay(const IndexSpec& spec) : m_spec(spec) {}

    void Snapshot(int time, const std::vector<StockDay>& stocks, OfflineSample* out) {
        double ret = 0.0;
        int n = 0;
        int64_t volume = 0, turnover = 0, trades = 0;
        for (const StockDay& s : stocks) {
            if (m_spec.shanghaiOnly && !s.Shanghai()) continue;
            ret += s.Return();
            ++n;
            volume += s.Volume();
            turnover += s.TurnoverCents();
            trades += s.Trades();
        }
        TickIndex r{};
        SetText(r.market, "USHI");
        SetText(r.code, m_spec.code);
        SetText(r.codename, m_spec.name);
        SetText(r.status, time <= kAuction ? "OCALL" : "TRADE");
        r.date = kSampleDate;
        r.time = RecordTime(time);
        r.pre_price = m_spec.pre;
        if (time >= kOpen) {
            const double value = std::round(m_spec.pre * (1.0 + 0.6 * ret / n) * 100.0) / 100.0;
            if (m_open == 0.0) m_open = m_high = m_low = value;
            m_high = std::max(m_high, value);
            m_low = std::min(m_low, value);
            r.new_price = value;
        }
        r.open_price = m_open;
        r.high_price = m_high;
        r.low_price = m_low;
        r.volume = volume;
        r.turnover = Yuan(turnover);
        r.trade_num = trades;
        out->index.push_back(r);
    }

private:
    const IndexSpec& m_spec;
    double m_open = 0.0, m_high = 0.0, m_low = 0.0;
};

template <class Rec>
void SortByTime(std::vector<Rec>& records) {
    std::stable_sort(records.begin(), records.end(), [](const Rec& a, const Rec& b) { return a.time < b.time; });
}

}  // namespace

OfflineSample BuildOfflineSample() {
    OfflineSample sample;
    sample.codelist =
        "# Markets of the offline sample and their codes\n"
        "USHA=600000,600036\n"
        "USZA=000001\n"
        "USHI=000001,000300\n";
    std::vector<StockDay> stocks;
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    for (const StockSpec& spec : kStocks) stocks.emplace_back(spec, seed += 0x1234567, &sample);
    for (StockDay& s : stocks) s.PlanEvents();
    std::vector<IndexDay> indexes(std::begin(kIndexes), std::end(kIndexes));
    std::vector<int> snapshots = {kAuction};
    for (int t = kOpen; t <= kBreak; t += kSnapshotStep) snapshots.push_back(t);
    for (int t : snapshots) {
        for (StockDay& s : stocks) s.RunUntil(t);
        for (StockDay& s : stocks) s.Snapshot(t);
        for (IndexDay& i : indexes) i.Snapshot(t, stocks, &sample);
    }
    // The files are recordings: rows in time order, the stocks' events merged.
    SortByTime(sample.orders);
    SortByTime(sample.trans);
    return sample;
}

bool WriteOfflineSample(const OfflineSample& sample, const std::string& folder) {
    CsvWriter index(IndexCsvColumns()), stock(StockCsvColumns()), superstock(SuperStockCsvColumns()),
        queue(QueueCsvColumns()), order(OrderCsvColumns()), trans(TransCsvColumns());
    for (const TickIndex& r : sample.index) index.Add(IndexCsvRow(r));
    for (const TickStock& r : sample.stock) stock.Add(StockCsvRow(r));
    for (const SuperStock& r : sample.superstock) superstock.Add(SuperStockCsvRow(r));
    for (const auto& [head, volumes] : sample.queue) queue.Add(QueueCsvRow(head, volumes));
    for (const OrderData& r : sample.orders) order.Add(OrderCsvRow(r));
    for (const Transaction& r : sample.trans) trans.Add(TransCsvRow(r));
    return WriteTextFile(folder + "codelist.ini", sample.codelist) && index.Write(folder + "index.csv") &&
           stock.Write(folder + "stock.csv") && superstock.Write(folder + "superstock.csv") &&
           queue.Write(folder + "queue.csv") && order.Write(folder + "order.csv") && trans.Write(folder + "trans.csv");
}

}  // namespace kvotest
