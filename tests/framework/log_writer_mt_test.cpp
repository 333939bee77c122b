#include "framework/tl_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using kvotest::ReadWholeFile;

class LogThreads : public kvotest::TempDirTest {
protected:
    LogThreads() : TempDirTest("kvo_logmt") {}
};

TEST_F(LogThreads, ConcurrentWritersProduceWholeLines) {
    for (uint32_t extra : {0u, 0x1000000u}) {  // opened per line, kept open
        std::string path = dir_ + (extra ? "/kept.log" : "/each.log");
        int idx = TL_AddLogChannel(0x2000000 | extra, path.c_str());
        ASSERT_GE(idx, 1);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([idx, t] {
                for (int i = 0; i < 200; ++i) {
                    std::string line =
                        "T" + std::to_string(t) + "-" + std::to_string(i) + "-" + std::string(40 + i % 13, 'w');
                    TL_WriteLogText(idx, line.c_str());
                }
            });
        }
        for (auto& th : threads) th.join();
        std::istringstream in(ReadWholeFile(path));
        std::string line;
        std::set<std::string> seen;
        while (std::getline(in, line)) {
            ASSERT_FALSE(line.empty());
            ASSERT_EQ('\r', line.back()) << line;
            line.pop_back();
            int t = -1, i = -1;
            ASSERT_EQ(2, std::sscanf(line.c_str(), "T%d-%d-", &t, &i)) << line;
            std::string expect =
                "T" + std::to_string(t) + "-" + std::to_string(i) + "-" + std::string(40 + i % 13, 'w');
            ASSERT_EQ(expect, line);
            seen.insert(line);
        }
        EXPECT_EQ(1600u, seen.size());
    }
}

TEST_F(LogThreads, SizeRollsWhileThreadsWriteLoseNoLine) {
    // Daily names, kept open, 1 MiB cap: the files roll to _001, _002 ...
    // while four threads write; every line lands whole in exactly one file.
    std::string path = dir_ + "/roll.log";
    int idx = TL_AddLogChannel(0x10000 | 0x1000000 | 1, path.c_str());
    ASSERT_GE(idx, 1);
    TLLogChannel* ch = TL_GetLogChannel(idx);
    std::atomic<int> writers{4};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([idx, t, &writers] {
            for (int i = 0; i < 1500; ++i) {
                std::string line = "R" + std::to_string(t) + "-" + std::to_string(i) + "-" + std::string(300, 'r');
                TL_WriteLogText(idx, line.c_str());
            }
            writers.fetch_sub(1);
        });
    }
    // The day of the channel's set-up, so that no day roll mixes in.
    char today[16];
    std::snprintf(today, sizeof today, "%.8s_000", TL_GetLogChannelStamp(ch));
    int rolls = 0;
    while (writers.load() > 0) {
        TL_RollLogChannel(ch, today);
        ++rolls;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& th : threads) th.join();
    TL_RollLogChannel(ch, today);
    ASSERT_GT(rolls, 0);
    std::set<std::string> seen;
    int files = 0;
    for (int n = 0; n <= 999; ++n) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "_%03d.log", n);
        std::string name = dir_ + "/roll" + std::string(today, 8) + suffix;
        if (access(name.c_str(), F_OK) != 0) continue;
        ++files;
        std::istringstream in(ReadWholeFile(name));
        std::string line;
        while (std::getline(in, line)) {
            ASSERT_FALSE(line.empty());
            ASSERT_EQ('\r', line.back()) << name;
            line.pop_back();
            int t = -1, i = -1;
            ASSERT_EQ(2, std::sscanf(line.c_str(), "R%d-%d-", &t, &i)) << line.substr(0, 40);
            ASSERT_EQ("R" + std::to_string(t) + "-" + std::to_string(i) + "-" + std::string(300, 'r'), line);
            EXPECT_TRUE(seen.insert(line).second) << "twice: " << line.substr(0, 20);
        }
    }
    EXPECT_EQ(6000u, seen.size());
    EXPECT_GE(files, 2);  // about 1.9 MB over a 1 MiB cap
}

TEST_F(LogThreads, DefaultChannelRacesItsOpening) {
    // Threads log while the log is being opened: channel 0 is made once. Lines
    // logged before the opening go to "corvane.log" of the working folder.
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir_.c_str()));
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&go] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 100; ++i) {
                TL_WriteLogRaw("racing %d", i);
                TL_WriteLog(1, "level one %d", i);
            }
        });
    }
    go = true;
    std::string path = dir_ + "/kvolog/kvoapi.log";
    ASSERT_EQ(0, TL_OpenLog(0x330000, path.c_str()));
    EXPECT_EQ(0, TL_SetLogLevel(0, 3));
    for (auto& th : threads) th.join();
    TLLogChannel* ch = TL_GetLogChannel(0);
    const std::string day(TL_GetLogChannelStamp(ch), 8);
    EXPECT_EQ(dir_ + "/kvolog/kvoapi" + day + "_000.log", TL_GetLogChannelPath(ch));
    // Every raw line lands once, before the opening or after it.
    const std::string text =
        ReadWholeFile(dir_ + "/corvane" + day + "_000.log") + ReadWholeFile(TL_GetLogChannelPath(ch));
    std::istringstream in(text);
    std::string line;
    std::vector<int> copies(100, 0);
    while (std::getline(in, line)) {
        const size_t at = line.find("racing ");
        if (at == std::string::npos) continue;
        const int i = std::atoi(line.c_str() + at + 7);
        ASSERT_TRUE(i >= 0 && i < 100) << line;
        ++copies[i];
    }
    for (int i = 0; i < 100; ++i) EXPECT_EQ(4, copies[i]) << i;
    ASSERT_EQ(0, chdir(cwd));
}

TEST_F(LogThreads, WriterThreadFlushesQueuesAndStopsPromptly) {
    std::string path = dir_ + "/queued.log";
    int idx = TL_AddLogChannel(0x80000 | 0x2000000, path.c_str());
    ASSERT_GE(idx, 1);
    corvane::CWriteLogThread* w = TL_GetLogWriter();
    ASSERT_NE(nullptr, w);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([idx, t] {
            for (int i = 0; i < 50; ++i) TL_WriteLogText(idx, ("q" + std::to_string(t * 100 + i)).c_str());
        });
    }
    for (auto& th : threads) th.join();
    // Its first pass rolls at once; a stop rolls and flushes everything.
    for (int i = 0; i < 2000 && w->GetPasses() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(w->GetPasses(), 1u);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(1, w->Stop(2000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    std::istringstream in(ReadWholeFile(path));
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) ++lines;
    EXPECT_EQ(200, lines);
}

}  // namespace
