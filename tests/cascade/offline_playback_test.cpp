// The pacing of offline playback: which files a subtype list plays, and how
// one file is cut into batches and pauses, over files written by the test
// CSV writer; the relay and the pause are recorded instead of run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cascade/offline_playback.h"
#include "tests/support/offline_csv_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using kvotest::CsvWriter;

std::vector<std::string> Names(const std::vector<OfflineFile>& files) {
    std::vector<std::string> names;
    for (const OfflineFile f : files) names.push_back(OfflineFileName(f));
    return names;
}

TEST(OfflinePlaybackList, SubtypesNameTheirFiles) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Names(OfflinePlaybackFiles("superstock")), V{"superstock.csv"});
    EXPECT_EQ(Names(OfflinePlaybackFiles("stock")), V{"stock.csv"});
    EXPECT_EQ(Names(OfflinePlaybackFiles("")),
              (V{"index.csv", "stock.csv", "order.csv", "trans.csv", "superstock.csv", "queue.csv"}));
    EXPECT_EQ(Names(OfflinePlaybackFiles(kOfflineDefaultSubtype)), Names(OfflinePlaybackFiles("")));
    EXPECT_TRUE(OfflinePlaybackFiles("foo").empty());
    EXPECT_TRUE(OfflinePlaybackFiles(",,").empty());
    EXPECT_TRUE(OfflinePlaybackFiles("Stock,INDEX").empty());  // case-sensitive
    EXPECT_EQ(Names(OfflinePlaybackFiles("stock,stock")), (V{"stock.csv", "stock.csv"}));
    // One piece may name several classes: tested in a fixed order.
    EXPECT_EQ(Names(OfflinePlaybackFiles("orderqueue")), (V{"queue.csv", "order.csv"}));
    EXPECT_EQ(Names(OfflinePlaybackFiles("transindex,,trans,")), (V{"index.csv", "trans.csv", "trans.csv"}));
}

class OfflineBatches : public kvotest::TempDirTest {
protected:
    OfflineBatches() : TempDirTest("kvo_offline_batches") {}

    // index.csv of n rows, the codes 0 .. n-1 in order.
    void WriteIndexRows(int n) {
        CsvWriter w(kvotest::IndexCsvColumns());
        for (int i = 0; i < n; ++i) {
            TickIndex r{};
            std::memcpy(r.market, "USHI", 4);
            std::snprintf(r.code, sizeof r.code, "%d", i);
            r.time = 93000000 + i;
            r.new_price = 3000 + i;
            w.Add(kvotest::IndexCsvRow(r));
        }
        ASSERT_TRUE(w.Write(dir_ + "/index.csv"));
    }

    // Plays a file, recording "R<count>" for each relay call and "P<ms>" for
    // each pause; the pause answers false from the stopAt-th call on.
    int64_t Play(OfflineFile file, uint32_t pushCount, uint32_t pushSpace, int stopAt = 0) {
        int pauses = 0;
        return PlayOfflineFileInBatches(
            file, dir_ + "/", pushCount, pushSpace,
            [&](const void* records, uint32_t count, const PushTiming& timing) {
                events_.push_back("R" + std::to_string(count));
                EXPECT_EQ(timing.produce_time + timing.send_time + timing.receive_time, 0u);
                const size_t size = file == OfflineFile::kQueue ? KVO_ORDERQUEUE_HEAD_SIZE : OfflineRecordSize(file);
                for (uint32_t i = 0; i < count; ++i)
                    codes_.emplace_back(static_cast<const char*>(records) + i * size + 5);
            },
            [&](uint32_t ms) {
                events_.push_back("P" + std::to_string(ms));
                return stopAt == 0 || ++pauses < stopAt;
            });
    }

    static std::vector<std::string> Repeat(const std::vector<std::string>& part, int times) {
        std::vector<std::string> all;
        for (int i = 0; i < times; ++i) all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    std::vector<std::string> events_;
    std::vector<std::string> codes_;
};

// Full batches are each followed by the pause; the rest of the file goes
// as a last batch without one; every record arrives once, in file order.
TEST_F(OfflineBatches, FullBatchesPauseAndTheRestGoesWithout) {
    WriteIndexRows(1000);
    EXPECT_EQ(Play(OfflineFile::kIndex, 200, 50), 1000);
    EXPECT_EQ(events_, Repeat({"R200", "P50"}, 5));
    ASSERT_EQ(codes_.size(), 1000u);
    EXPECT_EQ(codes_.front(), "0");
    EXPECT_EQ(codes_.back(), "999");

    events_.clear();
    codes_.clear();
    WriteIndexRows(1001);
    EXPECT_EQ(Play(OfflineFile::kIndex, 200, 50), 1001);
    std::vector<std::string> expected = Repeat({"R200", "P50"}, 5);
    expected.push_back("R1");
    EXPECT_EQ(events_, expected);
    for (size_t i = 0; i < codes_.size(); ++i) ASSERT_EQ(codes_[i], std::to_string(i));
    EXPECT_EQ(codes_.size(), 1001u);

    // A batch larger than the file: one call at the end, no pause; a huge
    // push_count costs no more memory than the file's records.
    events_.clear();
    EXPECT_EQ(Play(OfflineFile::kIndex, 0x7fffffff, 0), 1001);
    EXPECT_EQ(events_, std::vector<std::string>{"R1001"});
}

// A pause that answers false (the thread is stopping) ends the file there.
TEST_F(OfflineBatches, AStopEndsTheFileAtTheNextPause) {
    WriteIndexRows(1000);
    EXPECT_EQ(Play(OfflineFile::kIndex, 100, 7, 2), 200);
    EXPECT_EQ(events_, (std::vector<std::string>{"R100", "P7", "R100", "P7"}));
}

// queue.csv: one record per message, each followed by the pause, whatever
// push_count says; a missing file plays nothing.
TEST_F(OfflineBatches, QueueRowsGoOneByOne) {
    CsvWriter w(kvotest::QueueCsvColumns());
    for (int i = 0; i < 10; ++i) {
        OrderQueue q{};
        std::memcpy(q.market, "USHA", 4);
        std::snprintf(q.code, sizeof q.code, "60000%d", i);
        q.side[0] = 'B';
        q.price = 10.5;
        q.order_number = i + 1;
        q.show_number = i % 3;
        w.Add(kvotest::QueueCsvRow(q, std::vector<int32_t>(size_t(i % 3), 100)));
    }
    ASSERT_TRUE(w.Write(dir_ + "/queue.csv"));
    EXPECT_EQ(Play(OfflineFile::kQueue, 200, 100), 10);
    EXPECT_EQ(events_, Repeat({"R1", "P100"}, 10));
    ASSERT_EQ(codes_.size(), 10u);
    EXPECT_EQ(codes_[9], "600009");

    events_.clear();
    EXPECT_EQ(Play(OfflineFile::kOrder, 200, 100), -1);
    EXPECT_TRUE(events_.empty());
}

}  // namespace
