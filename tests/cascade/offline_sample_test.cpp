// The sample playback files of examples/offline/: they are what the sample
// generator writes, and the library's playback and query readers give back
// every record the generator wrote.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cascade/offline_files.h"
#include "tests/support/offline_sample.h"
#include "tests/support/temp_dir.h"

namespace {

using kvotest::ReadWholeFile;

template <class T>
T V(T v) {
    return v;
}

std::string Str(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

const char* const kFiles[] = {"codelist.ini", "index.csv", "stock.csv", "superstock.csv",
                              "queue.csv",    "order.csv", "trans.csv"};

std::string SampleFolder() {
    const char* src = std::getenv("KVO_SOURCE_DIR");
    return src == nullptr ? std::string() : std::string(src) + "/examples/offline/";
}

class OfflineSampleFiles : public kvotest::TempDirTest {
protected:
    OfflineSampleFiles() : TempDirTest("kvo_sample") {}
};

TEST_F(OfflineSampleFiles, AreWhatTheGeneratorWrites) {
    const kvotest::OfflineSample sample = kvotest::BuildOfflineSample();
    if (const char* out = std::getenv("KVO_WRITE_OFFLINE_SAMPLE")) {
        std::filesystem::create_directories(out);
        ASSERT_TRUE(kvotest::WriteOfflineSample(sample, std::string(out) + "/"));
        return;
    }
    if (SampleFolder().empty()) GTEST_SKIP() << "KVO_SOURCE_DIR not set";
    ASSERT_TRUE(kvotest::WriteOfflineSample(sample, dir_ + "/"));
    for (const char* f : kFiles) {
        const std::string committed = ReadWholeFile(SampleFolder() + f);
        ASSERT_FALSE(committed.empty()) << f;
        EXPECT_TRUE(committed == ReadWholeFile(dir_ + "/" + f)) << f << " differs from the generator's output";
    }
}

// Every record of a playback file, in file order.
template <class Rec>
std::vector<Rec> Play(OfflineFile file, const std::string& folder) {
    std::vector<Rec> out;
    const int64_t n = PlayOfflineFile(file, folder, [&](const void* r, size_t len) {
        EXPECT_EQ(len, sizeof(Rec));
        Rec rec;
        std::memcpy(&rec, r, sizeof rec);
        out.push_back(rec);
        return true;
    });
    EXPECT_EQ(n, int64_t(out.size()));
    return out;
}

template <class Rec>
void ExpectSameRecords(const std::vector<Rec>& got, const std::vector<Rec>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(std::memcmp(&got[i], &want[i], sizeof(Rec)), 0) << i;
}

struct QueueRow {
    OrderQueue head;
    std::vector<int32_t> volumes;
};

TEST(OfflineSample, PlaybackGivesBackTheGeneratorsRecords) {
    const std::string folder = SampleFolder();
    if (folder.empty()) GTEST_SKIP() << "KVO_SOURCE_DIR not set";
    const auto orders = Play<OrderData>(OfflineFile::kOrder, folder);
    const auto trans = Play<Transaction>(OfflineFile::kTrans, folder);
    const auto stocks = Play<TickStock>(OfflineFile::kStock, folder);
    const auto books = Play<SuperStock>(OfflineFile::kSuperStock, folder);
    const auto indexes = Play<TickIndex>(OfflineFile::kIndex, folder);
    std::vector<QueueRow> queues;
    PlayOfflineQueue(folder, [&](const void* r, size_t len) {
        QueueRow q;
        std::memcpy(&q.head, r, sizeof q.head);
        EXPECT_EQ(len, KvoOrderQueueSize(uint32_t(q.head.show_number)));
        for (int32_t i = 0; i < q.head.show_number; ++i)
            q.volumes.push_back(KvoOrderQueueVolume(static_cast<const OrderQueue*>(r), uint32_t(i)));
        queues.push_back(q);
        return true;
    });
    // Every column of every file reads back into the record it was written
    // from, and what a file does not carry stays zero.
    const kvotest::OfflineSample sample = kvotest::BuildOfflineSample();
    ExpectSameRecords(orders, sample.orders);
    ExpectSameRecords(trans, sample.trans);
    ExpectSameRecords(stocks, sample.stock);
    ExpectSameRecords(books, sample.superstock);
    ExpectSameRecords(indexes, sample.index);
    ASSERT_EQ(queues.size(), sample.queue.size());
    for (size_t i = 0; i < queues.size(); ++i) {
        EXPECT_EQ(std::memcmp(&queues[i].head, &sample.queue[i].first, sizeof(OrderQueue)), 0) << i;
        EXPECT_EQ(queues[i].volumes, sample.queue[i].second) << i;
    }
}

TEST(OfflineSample, AnswersSnapshotQueries) {
    const std::string folder = SampleFolder();
    if (folder.empty()) GTEST_SKIP() << "KVO_SOURCE_DIR not set";
    uint32_t len = 0;
    char* list = LoadOfflineCodelist(folder, "USHA", &len);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(std::string(list), "600000,600036");
    EXPECT_EQ(len, 13u);
    std::free(list);

    const auto stocks = Play<TickStock>(OfflineFile::kStock, folder);
    uint32_t n = 0;
    TickStock* s = LoadOfflineTickStock(folder, "USHA", "(600000)", &n);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(n, 1u);
    // The answer is the last tick of the code: later rows overwrite earlier.
    const TickStock* last = nullptr;
    for (const TickStock& r : stocks)
        if (Str(r.code, 16) == "600000") last = &r;
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(std::memcmp(s, last, sizeof *s), 0);
    std::free(s);

    // "000001" is a stock of USZA and an index of USHI: the market decides.
    TickIndex* idx = LoadOfflineTickIndex(folder, "USHI", "", &n);
    ASSERT_NE(idx, nullptr);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(Str(idx[0].code, 16), "000001");
    EXPECT_EQ(Str(idx[1].code, 16), "000300");
    EXPECT_EQ(std::memcmp(idx[0].codename, "\xC9\xCF\xD6\xA4\xD6\xB8\xCA\xFD", 8), 0);  // GBK name
    EXPECT_EQ(V(idx[1].time), 113000000);
    std::free(idx);
    n = 77;
    EXPECT_EQ(LoadOfflineTickIndex(folder, "USZA", "", &n), nullptr);
    EXPECT_EQ(n, 77u);

    SuperStock* b = LoadOfflineSuperStock(folder, "USZA", "(000001)", &n);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(n, 1u);
    EXPECT_GT(V(b[0].bidorder_price[0]), 0.0);
    EXPECT_LT(V(b[0].bidorder_price[0]), V(b[0].askorder_price[0]));
    std::free(b);
}

}  // namespace
