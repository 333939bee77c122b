#include "simulator/sim_market.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

#include "datapacket.pro.pb.h"
#include "simulator/quote_images.h"
#include "simulator/quote_writer.h"

namespace kvotest {
namespace {

// Field ids with their value kind (bits 12-14): 64-bit packed numbers,
// texts and signed 32-bit integers.
constexpr uint32_t P64 = 0x0000;
constexpr uint32_t TXT = 0x2000;
constexpr uint32_t I32 = 0x3000;

qw::Column Col(uint32_t field, uint32_t kind, uint16_t width) { return {field | kind, 0, width}; }

// The local time now: YYYYMMDDhhmmssmmm, HHMMSSmmm, and seconds since 1970.
struct Now {
    uint64_t datetime;
    int32_t time;
    int64_t seconds;
};

Now LocalNow() {
    const auto now = std::chrono::system_clock::now();
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const time_t s = static_cast<time_t>(ms / 1000);
    struct tm tm {};
    localtime_r(&s, &tm);
    const uint64_t date = uint64_t(tm.tm_year + 1900) * 10000 + uint64_t(tm.tm_mon + 1) * 100 + uint64_t(tm.tm_mday);
    const int32_t time =
        tm.tm_hour * 10000000 + tm.tm_min * 100000 + tm.tm_sec * 1000 + static_cast<int32_t>(ms % 1000);
    return {date * 1000000000ull + uint64_t(time), time, static_cast<int64_t>(s)};
}

uint64_t NowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

std::string CodeKey(uint32_t marketByte, const std::string& code) { return std::string(1, char(marketByte)) + code; }

}  // namespace

bool ParseCodeText(const std::string& text, uint32_t* marketByte, std::set<std::string>* codes) {
    size_t pos = 0;
    uint32_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos < 9) {
        value = value * 10 + uint32_t(text[pos] - '0');
        ++pos;
    }
    if (pos == 0) return false;
    *marketByte = value;
    codes->clear();
    const size_t open = text.find('(', pos);
    if (open == std::string::npos) return true;
    const size_t close = text.find(')', open);
    const std::string inner = text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
    size_t start = 0;
    while (start <= inner.size()) {
        const size_t comma = inner.find(',', start);
        const std::string code = inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!code.empty()) codes->insert(code);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

uint32_t SimMarket::MarketByte(const std::string& market) {
    if (market == "USHA") return 17;
    if (market == "USZA") return 33;
    if (market == "USHI") return 16;
    return 0;
}

SimMarket::SimMarket(uint32_t seed) : m_random(seed) {
    auto add = [this](const char* market, const char* code, const char* name, double price) {
        Security s;
        s.market = market;
        s.code = code;
        s.name = name;
        s.preClose = price;
        s.open = s.high = s.low = s.last = price;
        m_securities.push_back(s);
    };
    add("USHA", "600000", "PF BANK", 7.20);
    add("USHA", "600036", "CM BANK", 33.15);
    add("USHA", "601318", "PA INSURANCE", 42.80);
    add("USZA", "000001", "PA BANK", 10.65);
    add("USZA", "000002", "VANKE A", 7.35);
    add("USZA", "300750", "CATL", 187.60);
    add("USHI", "1A0001", "SSE COMPOSITE", 3085.20);
    add("USHI", "1B0300", "CSI 300", 3562.75);
}

SimMarket::~SimMarket() { Stop(); }

std::vector<SimMarket::Security> SimMarket::Securities() const {
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    return m_securities;
}

std::string SimMarket::CodeList(const std::string& market) const {
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    std::string list;
    for (const Security& s : m_securities) {
        if (s.market != market) continue;
        if (!list.empty()) list += ",";
        list += s.code;
    }
    return list;
}

std::vector<const SimMarket::Security*> SimMarket::Select(uint32_t marketByte,
                                                          const std::set<std::string>& codes) const {
    std::vector<const Security*> out;
    for (const Security& s : m_securities) {
        if (MarketByte(s.market) != marketByte) continue;
        if (!codes.empty() && codes.count(s.code) == 0) continue;
        out.push_back(&s);
    }
    return out;
}

namespace {

// The price fields of a tick, in the order previous close, open, high, low,
// last: stock ticks and index ticks keep them under different numbers.
constexpr uint32_t kStockPrices[5] = {6, 7, 8, 9, 10};
constexpr uint32_t kIndexPrices[5] = {274, 275, 276, 277, 278};

// The columns stock and index ticks share: code text, name, status, the
// snapshot's seconds (field 1), the push's time of day (field 56), the five
// prices, volume, turnover and trade count.
std::vector<qw::Column> TickColumns(const uint32_t (&prices)[5]) {
    std::vector<qw::Column> cols = {Col(5, TXT, 16), Col(55, TXT, 20), Col(127, TXT, 8), Col(1, I32, 4),
                                    Col(56, I32, 4)};
    for (uint32_t f : prices) cols.push_back(Col(f, P64, 8));
    for (uint32_t f : {13u, 19u, 18u}) cols.push_back(Col(f, P64, 8));
    return cols;
}

void FillTick(FieldTable& b, uint32_t r, uint32_t marketByte, const SimMarket::Security& s, const Now& now,
              const uint32_t (&prices)[5]) {
    b.Text(r, 5, CodeKey(marketByte, s.code));
    b.Text(r, 55, s.name);
    b.Text(r, 127, "TRADE");
    b.Int(r, 1, static_cast<int32_t>(now.seconds));
    b.Int(r, 56, now.time);
    const double values[5] = {s.preClose, s.open, s.high, s.low, s.last};
    for (int i = 0; i < 5; ++i) b.Price(r, prices[i], values[i]);
    b.Number(r, 13, s.volume);
    b.Price(r, 19, s.turnover);
    b.Number(r, 18, s.trades);
}

}  // namespace

std::string SimMarket::StockImage(uint32_t marketByte, const std::set<std::string>& codes) const {
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    const std::vector<const Security*> list = Select(marketByte, codes);
    std::vector<qw::Column> cols = TickColumns(kStockPrices);
    cols.push_back(Col(69, P64, 8));
    cols.push_back(Col(70, P64, 8));
    const uint32_t bidPrice[5] = {24, 26, 28, 150, 154};
    const uint32_t bidVolume[5] = {25, 27, 29, 151, 155};
    const uint32_t askPrice[5] = {30, 32, 34, 152, 156};
    const uint32_t askVolume[5] = {31, 33, 35, 153, 157};
    for (int i = 0; i < 5; ++i) {
        for (uint32_t f : {bidPrice[i], bidVolume[i], askPrice[i], askVolume[i]}) cols.push_back(Col(f, P64, 8));
    }
    FieldTable b(cols, static_cast<uint32_t>(list.size()), 3);
    const Now now = LocalNow();
    for (uint32_t r = 0; r < list.size(); ++r) {
        const Security& s = *list[r];
        FillTick(b, r, marketByte, s, now, kStockPrices);
        b.Price(r, 69, std::round(s.preClose * 110.0) / 100.0);
        b.Price(r, 70, std::round(s.preClose * 90.0) / 100.0);
        for (int i = 0; i < 5; ++i) {
            b.Price(r, bidPrice[i], s.last - 0.01 * (i + 1));
            b.Number(r, bidVolume[i], 100u * uint64_t(10 + 7 * i));
            b.Price(r, askPrice[i], s.last + 0.01 * (i + 1));
            b.Number(r, askVolume[i], 100u * uint64_t(12 + 5 * i));
        }
    }
    return b.Image(ImageForm::kNative);
}

std::string SimMarket::IndexImage(uint32_t marketByte, const std::set<std::string>& codes) const {
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    const std::vector<const Security*> list = Select(marketByte, codes);
    FieldTable b(TickColumns(kIndexPrices), static_cast<uint32_t>(list.size()), 3);
    const Now now = LocalNow();
    for (uint32_t r = 0; r < list.size(); ++r) FillTick(b, r, marketByte, *list[r], now, kIndexPrices);
    return b.Image(ImageForm::kNative);
}

std::string SimMarket::TransactionImage(uint32_t marketByte, const std::set<std::string>& codes) {
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    const std::vector<const Security*> list = Select(marketByte, codes);
    FieldTable b({Col(1, I32, 4), Col(76, I32, 4), Col(73, I32, 4), Col(10, P64, 8), Col(13, I32, 4), Col(74, I32, 4),
                  Col(75, I32, 4), Col(272, I32, 4), Col(12, I32, 4), Col(271, I32, 4), Col(56, P64, 8)},
                 static_cast<uint32_t>(list.size() * 2), 3);
    const Now now = LocalNow();
    uint32_t r = 0;
    for (const Security* s : list) {
        qw::Code code{CodeKey(marketByte, s->code), r, 2};
        for (int k = 0; k < 2; ++k, ++r) {
            const uint32_t seq = ++m_sequence;
            b.Int(r, 1, static_cast<int32_t>(seq));
            b.Int(r, 76, static_cast<int32_t>(seq));
            b.Int(r, 73, 2011);
            b.Price(r, 10, s->last);
            b.Int(r, 13, 100 * static_cast<int32_t>(1 + m_random() % 50));
            b.Int(r, 74, static_cast<int32_t>(seq * 2));
            b.Int(r, 75, static_cast<int32_t>(seq * 2 + 1));
            b.Int(r, 272, 0);
            b.Int(r, 12, k == 0 ? 1 : 2);
            b.Int(r, 271, 0);
            b.Number(r, 56, now.datetime);
        }
        b.table.codes.push_back(code);
    }
    return b.Image(ImageForm::kNative);
}

std::string SimMarket::OrderImage(uint32_t marketByte, const std::set<std::string>& codes) {
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    const std::vector<const Security*> list = Select(marketByte, codes);
    FieldTable b({Col(1, I32, 4), Col(76, I32, 4), Col(77, I32, 4), Col(73, I32, 4), Col(13, I32, 4), Col(271, I32, 4),
                  Col(10, P64, 8), Col(272, I32, 4), Col(12, I32, 4), Col(89, TXT, 4), Col(56, P64, 8)},
                 static_cast<uint32_t>(list.size()), 3);
    const Now now = LocalNow();
    uint32_t r = 0;
    for (const Security* s : list) {
        b.table.codes.push_back({CodeKey(marketByte, s->code), r, 1});
        const uint32_t seq = ++m_sequence;
        const bool buy = m_random() % 2 == 0;
        b.Int(r, 1, static_cast<int32_t>(seq));
        b.Int(r, 76, static_cast<int32_t>(seq));
        b.Int(r, 77, static_cast<int32_t>(seq));
        b.Int(r, 73, 2011);
        b.Int(r, 13, 100 * static_cast<int32_t>(1 + m_random() % 80));
        b.Int(r, 271, 0);
        b.Price(r, 10, buy ? s->last - 0.01 : s->last + 0.01);
        b.Int(r, 272, 2);
        b.Int(r, 12, buy ? 1 : 2);
        b.Text(r, 89, "2");
        b.Number(r, 56, now.datetime);
        ++r;
    }
    return b.Image(ImageForm::kNative);
}

std::string SimMarket::ImageFor(int32_t wireClass, uint32_t marketByte, const std::set<std::string>& codes) {
    switch (wireClass) {
    case 1:
        return StockImage(marketByte, codes);
    case 2:
        return IndexImage(marketByte, codes);
    case 5:
    case 11:
    case 13:
        return TransactionImage(marketByte, codes);
    case 8:
    case 12:
        return OrderImage(marketByte, codes);
    case 3:
    case 4:
    case 10: {
        // Order queues and super-stock books of the selected codes at their
        // last prices, from the push image writers.
        std::vector<std::string> names;
        std::vector<double> prices;
        {
            std::lock_guard<std::recursive_mutex> g(m_mutex);
            for (const Security* s : Select(marketByte, codes)) {
                names.push_back(s->code);
                prices.push_back(s->last);
            }
        }
        if (names.empty()) return std::string();
        const Now now = LocalNow();
        if (wireClass == 10) {
            return kvotest::SuperStockImage(marketByte, names, ImageForm::kNative, prices,
                                            static_cast<uint32_t>(std::time(nullptr)));
        }
        return kvotest::QueueImage(marketByte, names, now.datetime, 5, ImageForm::kNative, prices);
    }
    default:
        return std::string();  // classes this market does not build
    }
}

void SimMarket::Attach(GatewaySim& sim) {
    m_sim = &sim;
    sim.SetRule(kSimCodelistReq, [this](const SimFrame& f) { return AnswerCodelist(f); });
    sim.SetRule(kSimQuotaReq, [this](const SimFrame& f) { return AnswerQuota(f); });
    sim.SetObserver([this](const SimFrame& f) { OnFrame(f); });
}

SimAnswer SimMarket::AnswerCodelist(const SimFrame& request) {
    datapacket::GetCodelistReq req;
    SimAnswer a;
    if (!request.Parse(&req)) {
        a.status = -1;
        return a;
    }
    a.codelist = CodeList(req.market());
    return a;
}

SimAnswer SimMarket::AnswerQuota(const SimFrame& request) {
    datapacket::GetQuotaReq req;
    SimAnswer a;
    uint32_t marketByte = 0;
    std::set<std::string> codes;
    if (!request.Parse(&req) || !ParseCodeText(req.codelist(), &marketByte, &codes)) {
        a.status = -1;
        return a;
    }
    // Snapshots: data class 2 index, 1 stock, 10 super stock (the books it
    // pushes, whatever depth is asked for).
    if (req.data_class() == 2) a.databuf = IndexImage(marketByte, codes);
    if (req.data_class() == 1) a.databuf = StockImage(marketByte, codes);
    if (req.data_class() == 10) a.databuf = ImageFor(10, marketByte, codes);
    return a;
}

void SimMarket::OnFrame(const SimFrame& frame) {
    if (frame.type != kSimSubscribeReq) return;
    datapacket::SubscribeReq req;
    uint32_t marketByte = 0;
    std::set<std::string> codes;
    if (!frame.Parse(&req) || !ParseCodeText(req.codelist(), &marketByte, &codes)) return;
    std::lock_guard<std::recursive_mutex> g(m_mutex);
    Subscriptions& subs = m_subscriptions[frame.connection];
    const Key key{req.data_class(), marketByte};
    switch (req.suboper()) {
    case 1:  // replace
        subs[key] = codes;
        break;
    case 2:                                               // add
        if (subs.count(key) && subs[key].empty()) break;  // the whole market already
        if (codes.empty()) {
            subs[key].clear();
        } else {
            subs[key].insert(codes.begin(), codes.end());
        }
        break;
    case 3:  // drop the class
        subs.erase(key);
        break;
    case 4:  // remove codes
        if (subs.count(key)) {
            for (const std::string& c : codes) subs[key].erase(c);
            if (subs[key].empty()) subs.erase(key);
        }
        break;
    default:
        break;
    }
}

void SimMarket::Step() {
    std::map<size_t, Subscriptions> subscriptions;
    {
        std::lock_guard<std::recursive_mutex> g(m_mutex);
        std::normal_distribution<double> move(0.0, 0.0015);
        for (Security& s : m_securities) {
            const double next = std::max(0.01, std::round(s.last * (1.0 + move(m_random)) * 100.0) / 100.0);
            const uint64_t volume = 100u * uint64_t(1 + m_random() % 200);
            s.last = next;
            s.high = std::max(s.high, next);
            s.low = std::min(s.low, next);
            s.volume += volume;
            s.turnover += double(volume) * next;
            s.trades += 1 + m_random() % 5;
        }
        subscriptions = m_subscriptions;
    }
    if (m_sim == nullptr) return;
    for (const auto& [connection, subs] : subscriptions) {
        if (!m_sim->IsOpen(connection)) continue;
        for (const auto& [key, codes] : subs) {
            const std::string image = ImageFor(key.wireClass, key.marketByte, codes);
            if (image.empty()) continue;
            const Now now = LocalNow();
            const uint64_t sent = NowMs();
            std::string market;
            for (const char* m : {"USHA", "USZA", "USHI"}) {
                if (MarketByte(m) == key.marketByte) market = m;
            }
            const std::string frame = PushFrame(MakePush(market, key.wireClass, image, sent, sent, now.datetime), 0,
                                                static_cast<uint16_t>(kSimPush + key.wireClass % 8));
            if (m_sim->Write(connection, frame)) ++m_pushes;
        }
    }
}

void SimMarket::Start(uint32_t periodMs) {
    if (m_thread.joinable()) return;
    m_stop.store(false);
    m_thread = std::thread([this, periodMs] {
        while (!m_stop.load()) {
            Step();
            for (uint32_t waited = 0; waited < periodMs && !m_stop.load(); waited += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    });
}

void SimMarket::Stop() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace kvotest
