// A small market for the gateway simulator: a few codes of the first
// exchange's stocks and indexes and of the second exchange's stocks, with
// prices that move, served as quote-file images ("hq1.0") in the field
// layout the record converters read.
//
// Attached to a GatewaySim it answers code-list and quote requests (stock,
// index and super-stock snapshots) from the market, keeps each connection's
// subscriptions, and on every step pushes the subscribed classes it can
// build (stock ticks, index ticks, transactions, orders, order queues and
// super-stock books) to the connections that asked for them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "simulator/gateway_sim.h"

namespace kvotest {

class SimMarket {
public:
    // One security: its market text ("USHA", "USZA", "USHI"), the code as
    // the gateway writes it, a name, and its moving figures.
    struct Security {
        std::string market;
        std::string code;
        std::string name;
        double preClose = 0;
        double open = 0;
        double high = 0;
        double low = 0;
        double last = 0;
        uint64_t volume = 0;
        double turnover = 0;
        uint64_t trades = 0;
    };

    explicit SimMarket(uint32_t seed = 1);
    ~SimMarket();
    SimMarket(const SimMarket&) = delete;
    SimMarket& operator=(const SimMarket&) = delete;

    // Installs the market's answers on the simulator (logins accepted,
    // code lists, quotes, subscriptions).
    void Attach(GatewaySim& sim);
    // Prices move once, and every open connection gets one push per class it
    // subscribed (of the classes the market builds).
    void Step();
    // Steps every periodMs on a thread of its own until Stop.
    void Start(uint32_t periodMs);
    void Stop();

    // The codes of a market text as its code-list answer gives them.
    std::string CodeList(const std::string& market) const;
    // Market byte of a market text (17 "USHA", 33 "USZA", 16 "USHI"); 0 for
    // others.
    static uint32_t MarketByte(const std::string& market);
    // Images of the securities of a market byte whose codes are listed
    // (all of that byte when codes is empty), as of now.
    std::string StockImage(uint32_t marketByte, const std::set<std::string>& codes) const;
    std::string IndexImage(uint32_t marketByte, const std::set<std::string>& codes) const;
    std::string TransactionImage(uint32_t marketByte, const std::set<std::string>& codes);
    std::string OrderImage(uint32_t marketByte, const std::set<std::string>& codes);

    uint64_t PushesSent() const { return m_pushes.load(); }
    std::vector<Security> Securities() const;

private:
    // One subscription of a connection: wire class and market byte, with the
    // codes (empty: the whole market).
    struct Key {
        int32_t wireClass;
        uint32_t marketByte;
        bool operator<(const Key& o) const {
            return wireClass != o.wireClass ? wireClass < o.wireClass : marketByte < o.marketByte;
        }
    };
    using Subscriptions = std::map<Key, std::set<std::string>>;

    void OnFrame(const SimFrame& frame);
    SimAnswer AnswerQuota(const SimFrame& request);
    SimAnswer AnswerCodelist(const SimFrame& request);
    std::vector<const Security*> Select(uint32_t marketByte, const std::set<std::string>& codes) const;
    std::string ImageFor(int32_t wireClass, uint32_t marketByte, const std::set<std::string>& codes);

    mutable std::recursive_mutex m_mutex;
    std::vector<Security> m_securities;
    std::map<size_t, Subscriptions> m_subscriptions;  // by connection
    std::mt19937 m_random;
    uint32_t m_sequence = 0;
    GatewaySim* m_sim = nullptr;
    std::atomic<uint64_t> m_pushes{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Parses a code text "17(600000,600036)" into its market byte and codes;
// "17()" or "17" name the whole market (no codes). False when it does not
// start with a number.
bool ParseCodeText(const std::string& text, uint32_t* marketByte, std::set<std::string>* codes);

}  // namespace kvotest
