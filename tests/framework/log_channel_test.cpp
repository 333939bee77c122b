#include "framework/tl_log.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// 2025-04-28 12:34:56 UTC and 2025-04-29 00:00:01 UTC.
constexpr int64_t kDay1 = 1745843696;
constexpr int64_t kDay2 = 1745884801;
int64_t g_now = kDay1;
int64_t FakeNow() { return g_now; }

class LogEnv : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        // The tests drive the writer's passes themselves.
        TL_SetLogWriterAutoStart(false);
        TL_SetLogClock(&FakeNow);
    }
};
const auto* g_env = ::testing::AddGlobalTestEnvironment(new LogEnv);

using kvotest::ReadWholeFile;

bool Exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }

void Touch(const std::string& p) {
    FILE* f = std::fopen(p.c_str(), "ab");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
}

class Log : public kvotest::TempDirTest {
protected:
    Log() : TempDirTest("kvo_log") {}
    void SetUp() override {
        g_now = kDay1;
        TempDirTest::SetUp();
    }
    void TearDown() override {
        g_now = kDay1;
        TempDirTest::TearDown();
    }
};

TEST(LogNames, InsertStamp) {
    const char* stamp = "20250428_000";
    char p[260];
    std::strcpy(p, "logs/x_%DAY%.log");
    EXPECT_EQ(7, TL_InsertLogStamp(p, 260, "%DAY%", stamp));
    EXPECT_STREQ("logs/x_20250428_000.log", p);
    std::strcpy(p, "corvane.log");
    EXPECT_EQ(7, TL_InsertLogStamp(p, 260, "%DAY%", stamp));
    EXPECT_STREQ("corvane20250428_000.log", p);
    std::strcpy(p, "trace");
    EXPECT_EQ(6, TL_InsertLogStamp(p, 260, "%DAY%", stamp));
    EXPECT_STREQ("trace.20250428_000", p);
    // A '.' of a folder is no file-name extension.
    std::strcpy(p, "./logs.d/trace");
    EXPECT_EQ(15, TL_InsertLogStamp(p, 260, nullptr, stamp));
    EXPECT_STREQ("./logs.d/trace.20250428_000", p);
    // A previous stamp is replaced in place.
    std::strcpy(p, "a/k20250427_005.log");
    EXPECT_EQ(3, TL_InsertLogStamp(p, 260, "20250427_005", stamp));
    EXPECT_STREQ("a/k20250428_000.log", p);
    // A result that would not fit leaves the path alone.
    std::string longp(250, 'a');
    longp += ".log";
    std::strcpy(p, longp.c_str());
    EXPECT_EQ(-1, TL_InsertLogStamp(p, 260, "%DAY%", stamp));
    EXPECT_EQ(longp, p);
}

TEST_F(Log, LineFormatAndThresholds) {
    std::string path = dir_ + "/kvolog/kvoapi.log";
    ASSERT_EQ(0, TL_OpenLog(0x330000, path.c_str()));
    TLLogChannel* ch = TL_GetLogChannel(0);
    ASSERT_NE(nullptr, ch);
    std::string file = dir_ + "/kvolog/kvoapi20250428_000.log";
    EXPECT_EQ(file, TL_GetLogChannelPath(ch));
    EXPECT_STREQ("20250428_000", TL_GetLogChannelStamp(ch));
    EXPECT_EQ(0x400000, TL_GetLogChannelCap(ch));

    // Threshold 0 until set: level 1 is dropped, raw lines pass.
    TL_SetLogLevel(0, 0);
    TL_WriteLog(1, "dropped %d", 1);
    TL_WriteLogRaw("raw %s", "line");
    TL_WriteLogRaw("%s", "");  // empty: nothing
    EXPECT_EQ(0, TL_SetLogLevel(0, 3));
    TL_WriteLog(2, "hello %d", 5);
    TL_WriteLog(4, "too detailed");
    TL_WriteLog(3, "own line end\n");
    TL_WriteLog(-2, "negative level");

    std::string text = ReadWholeFile(file);
    std::regex re(
        "20250428 123456  pid:[0-9]+ thread:[0-9]+ raw line\r\n"
        "20250428 123456  pid:[0-9]+ thread:[0-9]+ 2: hello 5\r\n"
        "20250428 123456  pid:[0-9]+ thread:[0-9]+ 3: own line end\n"
        "20250428 123456  pid:[0-9]+ thread:[0-9]+ -2: negative level\r\n");
    EXPECT_TRUE(std::regex_match(text, re)) << text;
    EXPECT_EQ(std::string::npos, text.find("dropped"));
    EXPECT_EQ(std::string::npos, text.find("detailed"));
}

TEST_F(Log, OpenLogRetargetsTheDefaultChannel) {
    std::string a = dir_ + "/a.log", b = dir_ + "/sub/b.log";
    ASSERT_EQ(0, TL_OpenLog(0x1000000 | 0x2000000, a.c_str()));
    TLLogChannel* ch = TL_GetLogChannel(0);
    TL_WriteLogRaw("to a");
    ASSERT_EQ(0, TL_OpenLog(0x2000000, b.c_str()));
    EXPECT_EQ(ch, TL_GetLogChannel(0));  // the same channel, re-targeted
    EXPECT_EQ(b, TL_GetLogChannelPath(ch));
    TL_WriteLogRaw("to b");
    EXPECT_EQ("to a\r\n", ReadWholeFile(a));
    EXPECT_EQ("to b\r\n", ReadWholeFile(b));
    // A path that does not fit once stamped is refused; the channel goes on.
    std::string longp = dir_ + "/" + std::string(230, 'n') + ".log";
    EXPECT_EQ(-1, TL_OpenLog(0x330000, longp.c_str()));
    TL_WriteLogRaw("still b");
    EXPECT_EQ("to b\r\nstill b\r\n", ReadWholeFile(b));
}

TEST_F(Log, PlainChannelsAndBinaryBlocks) {
    std::string path = dir_ + "/plain.log";
    int idx = TL_AddLogChannel(0x2000000, path.c_str());
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    EXPECT_EQ(path, TL_GetLogChannelPath(ch));
    EXPECT_EQ(0, TL_GetLogChannelCap(ch));
    TL_WriteLogText(idx, "one");
    TL_WriteLogText(idx, "");
    TL_WriteLogText(idx, nullptr);
    TL_WriteLogText(31, "to a missing channel");
    TL_LogChannelWrite(ch, "BIN", 3, "txt", TL_LOG_RAW_LEVEL);
    TL_LogChannelWrite(ch, nullptr, 0, "lvl", 7);
    EXPECT_EQ("one\r\nBINtxt\r\n7: lvl\r\n", ReadWholeFile(path));

    std::string bare = dir_ + "/bare.log";
    int b = TL_AddLogChannel(0x8000000 | 0x2000000 | 0x1000000, bare.c_str());
    ASSERT_GE(b, 1);
    TL_WriteLogText(b, "a");
    TL_WriteLogText(b, "b");
    EXPECT_EQ("ab", ReadWholeFile(bare));  // kept open, flushed per line
}

TEST_F(Log, ChannelCodes) {
    EXPECT_EQ(-1, TL_OpenLog(0x330000, nullptr));
    EXPECT_EQ(-1, TL_OpenLog(0x330000, ""));
    EXPECT_EQ(-1, TL_AddLogChannel(0x310000, ""));
    EXPECT_EQ(-1, TL_AddLogChannel(0x310000, nullptr));
    EXPECT_EQ(-7, TL_SetLogLevel(-1, 1));
    EXPECT_EQ(-7, TL_SetLogLevel(32, 1));
    EXPECT_EQ(-7, TL_SetLogLevel(31, 1));
    EXPECT_EQ(-6, TL_SetLogLevel(0, 8));
    EXPECT_EQ(-6, TL_SetLogLevel(0, -8));
    EXPECT_EQ(0, TL_SetLogLevel(0, -7));
    EXPECT_EQ(-7, TL_GetLogChannelThreshold(TL_GetLogChannel(0)));
    EXPECT_EQ(nullptr, TL_GetLogChannel(-1));
    EXPECT_EQ(nullptr, TL_GetLogChannel(32));
    // A path that would overflow once stamped is refused.
    std::string longp = dir_ + "/" + std::string(230, 'n') + ".log";
    ASSERT_LT(longp.size(), 260u);
    EXPECT_EQ(-1, TL_AddLogChannel(0x310000, longp.c_str()));
    // A kept-open file that cannot be opened gives no channel.
    Touch(dir_ + "/file");
    EXPECT_EQ(-1, TL_AddLogChannel(0x1000000, (dir_ + "/file/x.log").c_str()));
}

TEST_F(Log, SizeCaps) {
    struct {
        uint32_t flags;
        int32_t cap;
    } rows[] = {{0x310000, 0x400000}, {0x310002, 0x200000}, {0x310802, 0x400000}, {0x2310002, 0}};
    for (const auto& r : rows) {
        int idx = TL_AddLogChannel(r.flags, (dir_ + "/cap.log").c_str());
        ASSERT_GE(idx, 1);
        EXPECT_EQ(r.cap, TL_GetLogChannelCap(TL_GetLogChannel(idx))) << std::hex << r.flags;
    }
}

TEST_F(Log, SizeRollGoesToTheNextFreeNumber) {
    std::string path = dir_ + "/corvane.log";
    int idx = TL_AddLogChannel(0x10000 | 1, path.c_str());  // daily, 1 MiB
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    std::string f0 = dir_ + "/corvane20250428_000.log";
    ASSERT_EQ(f0, TL_GetLogChannelPath(ch));
    // _001 exists already: the roll goes on to _002.
    Touch(dir_ + "/corvane20250428_001.log");
    std::string big(64 * 1024, 'x');
    char today[16];
    TL_TodayLogStamp(today);
    TL_RollLogChannel(ch, today);  // under the cap: nothing happens
    EXPECT_EQ(f0, TL_GetLogChannelPath(ch));
    for (int i = 0; i < 17; ++i) TL_WriteLogText(idx, big.c_str());
    TL_RollLogChannel(ch, today);
    EXPECT_EQ(dir_ + "/corvane20250428_002.log", TL_GetLogChannelPath(ch));
    EXPECT_STREQ("20250428_002", TL_GetLogChannelStamp(ch));
    TL_WriteLogText(idx, "after");
    EXPECT_EQ("after\r\n", ReadWholeFile(dir_ + "/corvane20250428_002.log"));
    EXPECT_TRUE(Exists(f0));

    // A day change restarts the numbering at _000.
    g_now = kDay2;
    TL_RollAllLogChannels();
    EXPECT_EQ(dir_ + "/corvane20250429_000.log", TL_GetLogChannelPath(ch));
    EXPECT_STREQ("20250429_000", TL_GetLogChannelStamp(ch));
    TL_WriteLogText(idx, "next day");
    EXPECT_EQ("next day\r\n", ReadWholeFile(dir_ + "/corvane20250429_000.log"));
}

TEST_F(Log, NonDailyChannelTakesTheDateOfItsSetUp) {
    std::string path = dir_ + "/x.log";
    int idx = TL_AddLogChannel(0x1, path.c_str());
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    EXPECT_EQ(path, TL_GetLogChannelPath(ch));
    ASSERT_TRUE(TL_NextLogFileName(ch));
    EXPECT_EQ(dir_ + "/x20250428_001.log", TL_GetLogChannelPath(ch));
    // No day roll for it.
    g_now = kDay2;
    TL_RollAllLogChannels();
    EXPECT_EQ(dir_ + "/x20250428_001.log", TL_GetLogChannelPath(ch));
}

TEST_F(Log, RollsDeleteFinishedFilesWithBit18) {
    std::string path = dir_ + "/del.log";
    int idx = TL_AddLogChannel(0x10000 | 0x40000 | 0x1000000 | 1, path.c_str());
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    std::string f0 = dir_ + "/del20250428_000.log";
    std::string big(1100 * 1024, 'y');
    TL_WriteLogText(idx, big.c_str());
    char today[16];
    TL_TodayLogStamp(today);
    TL_RollLogChannel(ch, today);
    EXPECT_FALSE(Exists(f0));
    EXPECT_EQ(dir_ + "/del20250428_001.log", TL_GetLogChannelPath(ch));
    TL_WriteLogText(idx, "kept");
    g_now = kDay2;
    TL_RollAllLogChannels();
    EXPECT_FALSE(Exists(dir_ + "/del20250428_001.log"));
    TL_WriteLogText(idx, "new");
    EXPECT_EQ("new\r\n", ReadWholeFile(dir_ + "/del20250429_000.log"));
}

TEST_F(Log, StampInAFolderNameGetsItsFolderOnEveryRoll) {
    // Daily: the folder of each new day is made at the day change.
    int idx = TL_AddLogChannel(0x10000 | 0x1000000 | 0x2000000, (dir_ + "/%DAY%/day.log").c_str());
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    EXPECT_EQ(dir_ + "/20250428_000/day.log", TL_GetLogChannelPath(ch));
    TL_WriteLogText(idx, "first day");
    g_now = kDay2;
    TL_RollAllLogChannels();
    EXPECT_EQ(dir_ + "/20250429_000/day.log", TL_GetLogChannelPath(ch));
    TL_WriteLogText(idx, "second day");
    EXPECT_EQ("first day\r\n", ReadWholeFile(dir_ + "/20250428_000/day.log"));
    EXPECT_EQ("second day\r\n", ReadWholeFile(dir_ + "/20250429_000/day.log"));

    // Not daily, 1 MiB: the first size roll stamps the folder, the next ones
    // number it.
    g_now = kDay1;
    int cap = TL_AddLogChannel(0x1, (dir_ + "/c%DAY%/cap.log").c_str());
    ASSERT_GE(cap, 1);
    TLLogChannel* cc = TL_GetLogChannel(cap);
    TL_WriteLogText(cap, std::string(1100 * 1024, 'c').c_str());
    char today[16];
    TL_TodayLogStamp(today);
    TL_RollLogChannel(cc, today);
    EXPECT_EQ(dir_ + "/c20250428_001/cap.log", TL_GetLogChannelPath(cc));
    TL_WriteLogText(cap, "after the roll");
    EXPECT_EQ("after the roll\r\n", ReadWholeFile(dir_ + "/c20250428_001/cap.log"));
}

TEST_F(Log, KeepNameAtDayChange) {
    std::string path = dir_ + "/same.log";
    int idx = TL_AddLogChannel(0x10000 | 0x4000000 | 0x2000000, path.c_str());
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    EXPECT_EQ(path, TL_GetLogChannelPath(ch));
    g_now = kDay2;
    TL_RollAllLogChannels();
    EXPECT_EQ(path, TL_GetLogChannelPath(ch));
    EXPECT_STREQ("20250429_000", TL_GetLogChannelStamp(ch));
}

TEST_F(Log, QueuedLinesWaitForTheRollPass) {
    std::string path = dir_ + "/queued.log";
    int idx = TL_AddLogChannel(0x80000 | 0x2000000, path.c_str());
    ASSERT_GE(idx, 1);
    TL_WriteLogText(idx, "first");
    TL_LogChannelWrite(TL_GetLogChannel(idx), "B", 1, "second", 1);
    EXPECT_FALSE(Exists(path));
    TL_RollAllLogChannels();
    EXPECT_EQ("first\r\n1: Bsecond\r\n", ReadWholeFile(path));
    TL_RollAllLogChannels();  // an empty queue writes nothing
    EXPECT_EQ("first\r\n1: Bsecond\r\n", ReadWholeFile(path));

    // A queued line keeps the time and ids of its writing, not of the flush.
    std::string stamped = dir_ + "/stamped.log";
    int s = TL_AddLogChannel(0x80000 | 0x300000 | 0x2000000, stamped.c_str());
    ASSERT_GE(s, 1);
    TL_LogChannelWrite(TL_GetLogChannel(s), nullptr, 0, "queued", 2);
    g_now = kDay1 + 3600;
    TL_RollAllLogChannels();
    std::regex re("20250428 123456  pid:[0-9]+ thread:[1-9][0-9]* 2: queued\r\n");
    const std::string text = ReadWholeFile(stamped);
    EXPECT_TRUE(std::regex_match(text, re)) << text;
}

TEST_F(Log, NoFreeNameStillFlushesTheQueue) {
    std::string path = dir_ + "/full.log";
    int idx = TL_AddLogChannel(0x10000 | 0x80000 | 1, path.c_str());
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    char name[64];
    for (int i = 1; i <= 999; ++i) {
        std::snprintf(name, sizeof name, "/full20250428_%03d.log", i);
        Touch(dir_ + name);
    }
    {
        FILE* f = std::fopen((dir_ + "/full20250428_000.log").c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::string big(1100 * 1024, 'z');
        std::fwrite(big.data(), 1, big.size(), f);
        std::fclose(f);
    }
    TL_WriteLogText(idx, "queued");
    TL_RollAllLogChannels();
    // Every number is taken: writing goes on in the last one, queue included.
    EXPECT_EQ(dir_ + "/full20250428_999.log", TL_GetLogChannelPath(ch));
    EXPECT_EQ("queued\r\n", ReadWholeFile(dir_ + "/full20250428_999.log"));
    EXPECT_FALSE(TL_NextLogFileName(ch));
}

TEST_F(Log, DebugTraceIsCutAt255Bytes) {
    testing::internal::CaptureStdout();
    TL_DebugTrace("Read Raw Total Length = %d \r\n", 42);
    TL_DebugTrace("%s", std::string(400, 'q').c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("Read Raw Total Length = 42 \r\n" + std::string(255, 'q'), out);
}

// Uses up the channel table: keep it last.
TEST_F(Log, ChannelTableLimit) {
    int last = 0;
    for (int i = 0; i < 40; ++i) {
        int r = TL_AddLogChannel(0x2000000, (dir_ + "/many.log").c_str());
        if (r < 0) {
            EXPECT_EQ(-3, r);
            break;
        }
        last = r;
    }
    EXPECT_EQ(31, last);
    EXPECT_EQ(-3, TL_AddLogChannel(0x2000000, (dir_ + "/many.log").c_str()));
    EXPECT_EQ(32, TL_GetLogChannelCount());
    // Channel 0 is still served.
    EXPECT_EQ(0, TL_SetLogLevel(0, 3));
}

}  // namespace
