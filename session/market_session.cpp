#include "session/market_session.h"

#include <atomic>

namespace kvoapi {
namespace {

std::atomic<MarketSessionFactory> g_factory{&CreateDatafeedSession};

}  // namespace

MarketSessionFactory SetMarketSessionFactory(MarketSessionFactory factory) {
    return g_factory.exchange(factory ? factory : &CreateDatafeedSession);
}

MarketSessionFactory GetMarketSessionFactory() { return g_factory.load(); }

}  // namespace kvoapi
