// The offline playback files read into records: files written by the test
// CSV writer from the format's description, read back by the playback and
// query readers, including hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cascade/offline_files.h"
#include "framework/tl_log.h"
#include "tests/support/offline_csv_writer.h"
#include "tests/support/offline_sample.h"
#include "tests/support/temp_dir.h"

namespace {

using kvotest::CsvRow;
using kvotest::CsvWriter;

template <class T>
T V(T v) {
    return v;
}

std::string Str(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

template <size_t N>
void Put(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

class OfflineFiles : public kvotest::TempDirTest {
protected:
    OfflineFiles() : TempDirTest("kvo_offline") {}
    std::string Folder() const { return dir_ + "/"; }
    void Write(const std::string& name, const std::string& text) {
        ASSERT_TRUE(kvotest::WriteTextFile(dir_ + "/" + name, text));
    }

    // Writes the records as the file and expects playback to give them back
    // byte for byte.
    template <class Rec>
    void ExpectRoundTrip(OfflineFile file, CsvWriter& writer, const std::vector<Rec>& records) {
        Write(OfflineFileName(file), writer.Text());
        const auto played = Played(file);
        ASSERT_EQ(played.size(), records.size()) << OfflineFileName(file);
        for (size_t i = 0; i < records.size(); ++i)
            EXPECT_EQ(std::memcmp(played[i].data(), &records[i], sizeof(Rec)), 0) << OfflineFileName(file) << " " << i;
    }

    // The records that playback hands on, each as its bytes.
    std::vector<std::string> Played(OfflineFile file, int64_t* result = nullptr) {
        std::vector<std::string> out;
        const int64_t n = PlayOfflineFile(file, Folder(), [&](const void* r, size_t len) {
            out.emplace_back(static_cast<const char*>(r), len);
            return true;
        });
        if (result != nullptr) *result = n;
        return out;
    }
};

// A query's answer, freed; none at all reads as nullopt.
template <class Rec>
std::optional<std::vector<Rec>> Answer(Rec* r, const uint32_t& n) {  // n is read after the query set it
    if (r == nullptr) return std::nullopt;
    std::vector<Rec> out(r, r + n);
    std::free(r);
    return out;
}

// The code list of a market from codelist.ini, freed; none reads as nullopt.
std::optional<std::string> Codelist(const std::string& folder, const char* market, uint32_t* len) {
    char* text = LoadOfflineCodelist(folder, market, len);
    if (text == nullptr) return std::nullopt;
    std::string out(text);
    std::free(text);
    return out;
}

template <class Rec>
Rec As(const std::string& bytes) {
    Rec r{};
    EXPECT_GE(bytes.size(), sizeof r);
    std::memcpy(&r, bytes.data(), std::min(bytes.size(), sizeof r));
    return r;
}

// Columns may come in any order (every file binds its columns by name
// alike), with columns no reader uses among them. (Every column of every file is checked against the sample set's
// records in offline_sample_test.cpp.)
TEST_F(OfflineFiles, ColumnsInAnyOrder) {
    const kvotest::OfflineSample sample = kvotest::BuildOfflineSample();
    std::vector<std::string> cols = kvotest::StockCsvColumns();
    std::reverse(cols.begin(), cols.end());
    cols.insert(cols.begin() + 3, "unused_column");
    CsvWriter stock(cols);
    std::vector<TickStock> ticks(sample.stock.end() - 3, sample.stock.end());
    for (const TickStock& t : ticks) {
        CsvRow row = kvotest::StockCsvRow(t);
        row.values["unused_column"] = "x";
        stock.Add(row);
    }
    ExpectRoundTrip(OfflineFile::kStock, stock, ticks);
}

TEST_F(OfflineFiles, CodelistLines) {
    Write("codelist.ini",
          "# markets\n"
          "USH=600000,600001 # the two banks\n"  // a "#" anywhere hides the line
          "no equals sign\n"
          "USH=600000,600001\r\n"
          "USH=999999\n"
          "USZ =000001\n"
          "USZ= 000002\n");
    uint32_t len = 99;
    EXPECT_EQ(Codelist(Folder(), "USH", &len), "600000,600001");
    EXPECT_EQ(len, 13u);
    // Nothing is trimmed: the blank belongs to the market or to the list.
    EXPECT_EQ(Codelist(Folder(), "USZ", &len), " 000002");
    len = 99;
    EXPECT_EQ(Codelist(Folder(), "USHA", &len), std::nullopt);
    EXPECT_EQ(len, 99u);
    // A line over 199,999 characters ends the file.
    Write("codelist.ini", "USA=1\n" + std::string(200000, 'x') + "\nUSB=2\n");
    EXPECT_EQ(Codelist(Folder(), "USA", &len), "1");
    EXPECT_EQ(Codelist(Folder(), "USB", &len), std::nullopt);
    Write("codelist.ini", "USA=1\n" + std::string(199999, 'x') + "\nUSB=2\n");
    EXPECT_EQ(Codelist(Folder(), "USB", &len), "2");
    // The folder text gets the file name appended as it stands.
    EXPECT_EQ(Codelist(dir_, "USA", &len), std::nullopt);
    Write("xcodelist.ini", "USA=7\n");
    EXPECT_EQ(Codelist(dir_ + "/x", "USA", &len), "7");
}

// Queries: market filter, code substring filter, row limits, one record per
// code filled by its later rows.
TEST_F(OfflineFiles, SnapshotQueries) {
    CsvWriter index(kvotest::IndexCsvColumns());
    auto row = [](const char* market, const std::string& code, int time, double price) {
        CsvRow r;
        r.values = {{"market", market},
                    {"code", code},
                    {"codename", "x"},
                    {"status", "TRADE"},
                    {"date", "20240315"},
                    {"time", std::to_string(time)},
                    {"new_price", kvotest::CsvNumber(price)},
                    {"pre_price", "1"},
                    {"open_price", "1"},
                    {"high_price", "1"},
                    {"low_price", "1"},
                    {"volume", "1"},
                    {"turnover", "1"},
                    {"trade_num", "1"}};
        return r;
    };
    index.Add(row("USHA", "600000", 1, 1.5));
    index.Add(row("USHA", "60000", 2, 2.5));
    index.Add(row("USZA", "600000", 3, 3.5));
    index.Add(row("USHA", "600036", 4, 4.5));
    index.Add(row("USHA", "600000", 5, 5.5));
    for (int i = 0; i < 300; ++i) index.Add(row("USHA", "7" + std::to_string(i), 6 + i, 6.5));
    Write("index.csv", index.Text());
    Write("dataindex.csv", index.Text());

    uint32_t n = 0;
    // "600000" occurs in the list "600000" and so does "60000".
    auto r = Answer(LoadOfflineTickIndex(Folder(), "USHA", "600000", &n), n);
    ASSERT_EQ(r.value_or(std::vector<TickIndex>{}).size(), 2u);
    EXPECT_EQ(Str((*r)[0].code, 16), "600000");
    EXPECT_EQ(V((*r)[0].time), 5);  // the later row of the code
    EXPECT_EQ(V((*r)[0].new_price), 5.5);
    EXPECT_EQ(Str((*r)[1].code, 16), "60000");

    // An empty list takes every code of the market among the first 300 rows
    // (rows 1-5 give three codes, rows 6-300 another 295); short codes match
    // more rows than a list of six-character codes could name, and the
    // answer grows to hold every code that matched; a folder text without a
    // separator names a file beside the folder.
    const struct {
        std::string folder, market, codes;
        uint32_t count;
        std::string lastCode;
    } queries[] = {{Folder(), "USHA", "", 298, "7294"},
                   {Folder(), "USHA", "()", 298, "7294"},
                   {Folder(), "USHA", "(72,73,74,75,76,77,78)", 7, "78"},
                   {dir_ + "/data", "USZA", "", 1, "600000"}};
    for (const auto& q : queries) {
        r = Answer(LoadOfflineTickIndex(q.folder, q.market.c_str(), q.codes.c_str(), &n), n);
        ASSERT_EQ(r.value_or(std::vector<TickIndex>{}).size(), q.count) << q.codes;
        EXPECT_EQ(Str(r->back().code, 16), q.lastCode) << q.codes;
    }
    EXPECT_EQ(V(r->back().new_price), 3.5);
    n = 77;
    EXPECT_EQ(LoadOfflineTickIndex(Folder(), "USHB", "", &n), nullptr);
    EXPECT_EQ(LoadOfflineTickStock(Folder(), "USHA", "", &n), nullptr);  // no stock.csv
    EXPECT_EQ(n, 77u);

    // 3500 stock rows: the query sees the first 3000, playback all of them.
    CsvWriter stock(kvotest::StockCsvColumns());
    CsvRow tick = kvotest::StockCsvRow(kvotest::BuildOfflineSample().stock[0]);
    for (int i = 1; i <= 3500; ++i) {
        tick.values["time"] = std::to_string(i);
        stock.Add(tick);
    }
    Write("stock.csv", stock.Text());
    const auto s = Answer(LoadOfflineTickStock(Folder(), "USHA", "(600000,600036)", &n), n);
    ASSERT_EQ(s.value_or(std::vector<TickStock>{}).size(), 1u);
    EXPECT_EQ(V((*s)[0].time), 3000);
    int64_t played = 0;
    EXPECT_EQ(Played(OfflineFile::kStock, &played).size(), 3500u);
    EXPECT_EQ(played, 3500);
}

TEST_F(OfflineFiles, TextsAndNumbers) {
    Write("index.csv",
          "market,code,codename,status,date,time,new_price,volume,trade_num\n"
          // long texts are cut to their fields; codename keeps 20 bytes and
          // no terminator, status 8 and zeros after them
          "USHAXYZ,60000012345678901234,ABCDEFGHIJKLMNOPQRSTUVWXYZ,STATUS7890,  -20240315x,"
          "99999999999,1.5e3z,-9223372036854775809,12abc\n"
          // a UTF-8 name becomes GBK; unreadable numbers read as 0
          "USHA,600000,\xE6\xB5\xA6\xE5\x8F\x91\xE9\x93\xB6\xE8\xA1\x8C,S,x,,.,+,nan\n"
          // a row that ends with "," lacks its last field and is passed over
          "USHA,600001,a,b,1,2,3,4,\n"
          // an empty line has no fields
          "\n"
          "USHA,600002,a,b,1,2,3,4,5\r\n");
    const auto rows = Played(OfflineFile::kIndex);
    ASSERT_EQ(rows.size(), 3u);
    const TickIndex a = As<TickIndex>(rows[0]);
    EXPECT_EQ(std::string(a.market, 5), std::string("USHA\0", 5));
    EXPECT_EQ(Str(a.code, 16), "600000123456789");
    EXPECT_EQ(std::string(a.codename, 20), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(std::string(a.status, 20), std::string("STATUS78") + std::string(12, '\0'));
    EXPECT_EQ(V(a.date), -20240315);
    EXPECT_EQ(V(a.time), INT32_MAX);
    EXPECT_EQ(V(a.new_price), 1500.0);
    EXPECT_EQ(V(a.volume), INT64_MIN);
    EXPECT_EQ(V(a.trade_num), 12);
    const TickIndex b = As<TickIndex>(rows[1]);
    EXPECT_EQ(Str(b.codename, 20), "\xC6\xD6\xB7\xA2\xD2\xF8\xD0\xD0");
    EXPECT_EQ(V(b.date), 0);
    EXPECT_EQ(V(b.new_price), 0.0);
    EXPECT_EQ(V(b.trade_num), 0);
    EXPECT_FALSE(std::signbit(V(b.pre_price)));  // no column: zero
    EXPECT_EQ(Str(As<TickIndex>(rows[2]).code, 16), "600002");
    EXPECT_EQ(V(As<TickIndex>(rows[2]).trade_num), 5);

    // Orders: side keeps 5 characters, type 1; the header's names are case
    // sensitive ("bizindex" is not "Bizindex"); a duplicate name counts at
    // its later position.
    Write("order.csv",
          "market,code,bizindex,side,type,volume,volume\n"
          "USZA,000001,77,BUYSELL,12,1,2\n");
    const auto orders = Played(OfflineFile::kOrder);
    ASSERT_EQ(orders.size(), 1u);
    const OrderData o = As<OrderData>(orders[0]);
    EXPECT_EQ(V(o.Bizindex), 0);
    EXPECT_EQ(std::string(o.side, 6), std::string("BUYSE\0", 6));
    EXPECT_EQ(std::string(o.type, 2), std::string("1\0", 2));
    EXPECT_EQ(V(o.volume), 2);
}

TEST_F(OfflineFiles, QueueVolumes) {
    Write(
        "queue.csv",
        "market,code,date,time,side,price,order_number,show_number,volume\n"
        "USHA,600000,20240315,93000000,B,10.2,5,2,100,200\n"  // ten fields, two volumes
        "USHA,600000,20240315,93000000,S,10.3,0,0\n"          // eight fields, no volumes
        "USHA,600000,20240315,93000000,S,10.3,0,-5,1,2\n"     // negative count: none
        "USHA,600000,20240315,93000000,B,10.2,9,500,7,8,9\n"  // more than the row holds: three
        "USHA,600000,20240315,93000000,B,10.2,9\n"            // seven fields: too short
        "USHA,600000,20240315,93000000,B,10.2,9,200," +
            [] {
                std::string v;
                for (int i = 0; i < 150; ++i) v += std::to_string(i) + ",";
                return v + "150";
            }() +
            "\n");  // more than a record holds: 101
    const auto rows = Played(OfflineFile::kQueue);
    ASSERT_EQ(rows.size(), 5u);
    const size_t counts[] = {2, 0, 0, 3, 101};
    for (size_t i = 0; i < 5; ++i) {
        const OrderQueue q = As<OrderQueue>(rows[i]);
        EXPECT_EQ(V(q.show_number), int32_t(counts[i])) << i;
        EXPECT_EQ(rows[i].size(), KvoOrderQueueSize(uint32_t(counts[i]))) << i;
    }
    const auto* first = reinterpret_cast<const OrderQueue*>(rows[0].data());
    EXPECT_EQ(KvoOrderQueueVolume(first, 0), 100);
    EXPECT_EQ(KvoOrderQueueVolume(first, 1), 200);
    EXPECT_EQ(KvoOrderQueueVolume(reinterpret_cast<const OrderQueue*>(rows[3].data()), 2), 9);
    EXPECT_EQ(KvoOrderQueueVolume(reinterpret_cast<const OrderQueue*>(rows[4].data()), 100), 100);
}

TEST_F(OfflineFiles, BrokenFiles) {
    // A byte-order mark stays part of the first name, so "market" is missing.
    CsvWriter index(kvotest::IndexCsvColumns());
    index.prefix = "\xEF\xBB\xBF";
    TickIndex idx{};
    Put(idx.market, "USHA");
    Put(idx.code, "600000");
    index.Add(kvotest::IndexCsvRow(idx));
    Write("index.csv", index.Text());
    uint32_t n = 0;
    EXPECT_EQ(LoadOfflineTickIndex(Folder(), "USHA", "", &n), nullptr);
    auto rows = Played(OfflineFile::kIndex);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(Str(As<TickIndex>(rows[0]).market, 5), "");
    EXPECT_EQ(Str(As<TickIndex>(rows[0]).code, 16), "600000");

    // A line over 4,999 characters ends the file; what came before counts.
    Write("index.csv", "market,code\nUSHA,1\nUSHA," + std::string(4994, '2') + "\r\nUSHA,3\n");
    EXPECT_EQ(Played(OfflineFile::kIndex).size(), 3u);
    Write("index.csv", "market,code\nUSHA,1\nUSHA," + std::string(4995, '2') + "\nUSHA,3\n");
    EXPECT_EQ(Played(OfflineFile::kIndex).size(), 1u);

    // Empty, header only, a header with an empty name, a duplicate name
    // pointing past the row's fields: no records or zero fields, never more.
    Write("index.csv", "");
    EXPECT_TRUE(Played(OfflineFile::kIndex).empty());
    Write("index.csv", "market,code\n");
    EXPECT_TRUE(Played(OfflineFile::kIndex).empty());
    EXPECT_EQ(LoadOfflineTickIndex(Folder(), "USHA", "", &n), nullptr);
    Write("index.csv", "code,market,code\nUSHA,600000\n");
    rows = Played(OfflineFile::kIndex);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(Str(As<TickIndex>(rows[0]).market, 5), "6000");
    EXPECT_EQ(Str(As<TickIndex>(rows[0]).code, 16), "");

    // A missing file: -1 and a status line in the log.
    kvotest::DefaultLogFile log("kvo_offline_log");
    TL_SetLogLevel(0, 2);
    int64_t result = 0;
    EXPECT_TRUE(Played(OfflineFile::kTrans, &result).empty());
    EXPECT_EQ(result, -1);
    // A line too long: one line in the log, where the reading ended.
    Write("index.csv", "market,code\nUSHA,1\nUSHA," + std::string(4995, '2') + "\nUSHA,3\n");
    EXPECT_EQ(Played(OfflineFile::kIndex).size(), 1u);
    TL_SetLogLevel(0, 0);
    EXPECT_NE(log.Text().find("OfflineDebug:File Open Fail,path:" + Folder() + "trans.csv"), std::string::npos);
    const std::string tooLong =
        "OfflineDebug:line longer than 4999 characters after row 1,path:" + Folder() + "index.csv";
    EXPECT_NE(log.Text().find(tooLong), std::string::npos);
    EXPECT_EQ(log.Text().find("line longer"), log.Text().rfind("line longer"));

    // A sink that says stop ends the reading.
    Write("index.csv", "market,code\nUSHA,1\nUSHA,2\nUSHA,3\n");
    int seen = 0;
    EXPECT_EQ(PlayOfflineIndex(Folder(), [&](const void*, size_t) { return ++seen < 2; }), 2);
}

}  // namespace
