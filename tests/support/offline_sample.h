// The sample set of offline playback files (examples/offline/): one trading
// morning of three stocks on two exchanges and two indexes, made by a small
// order-book simulation so that every file agrees with the others: the
// transactions are the fills of the orders, the ticks, queues and
// super-stock books are snapshots of the same books, and the indexes follow
// the stocks. The same records come out on every run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "include/kvo_records.h"

namespace kvotest {

struct OfflineSample {
    std::string codelist;  // the text of codelist.ini
    std::vector<TickIndex> index;
    std::vector<TickStock> stock;
    std::vector<SuperStock> superstock;
    std::vector<std::pair<OrderQueue, std::vector<int32_t>>> queue;  // head and volumes
    std::vector<OrderData> orders;
    std::vector<Transaction> trans;
};

// Trading day of the sample.
inline constexpr int32_t kSampleDate = 20240315;

OfflineSample BuildOfflineSample();

// Writes codelist.ini and the six CSV files into folder (ending in "/").
bool WriteOfflineSample(const OfflineSample& sample, const std::string& folder);

}  // namespace kvotest
