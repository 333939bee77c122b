// Conversions from many threads at once share the kept converters: every
// thread's results equal those of the same conversions made alone.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/pl_codepage.h"

namespace {

struct Case {
    uint32_t cp;
    std::string bytes;
};

// Texts that leave converters in every state: plain, invalid and cut-off
// sequences, four-byte characters and UTF-7 shifts.
std::vector<Case> Cases() {
    return {
        {pl::kCpGbk, "\xD6\xD0\xCE\xC4 gbk"},
        {pl::kCpGbk,
         "a\xFF"
         "b\xD6"},
        {pl::kCpBig5, "\xA4\xA4\xA4\xE5"},
        {pl::kCpUtf8,
         "\xE4\xB8\xAD"
         "a\xC0"},
        {pl::kCpGb18030, "\x81\x30\x89\x37z"},
        {pl::kCpUtf7, "A+Ti0-b"},
        {pl::kCpUtf7, "A+Ti0"},
        {pl::kCpGb2312, "\xD6\xD0"},
        {pl::kCpWindows1252, "\x80\xE9"},
    };
}

struct Result {
    std::u16string wide;
    std::string back;
};

Result Convert(const Case& c) {
    Result r;
    pl::MultiByteToUtf16(c.cp, c.bytes.data(), c.bytes.size(), r.wide);
    pl::Utf16ToMultiByte(c.cp, r.wide.data(), r.wide.size(), r.back);
    return r;
}

TEST(PlatformCodePageThreads, SharedConvertersGiveTheResultsOfLoneOnes) {
    const std::vector<Case> cases = Cases();
    std::vector<Result> expected;
    for (const Case& c : cases) expected.push_back(Convert(c));
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                // Each thread walks the cases from its own start.
                size_t i = size_t(t + round) % cases.size();
                Result r = Convert(cases[i]);
                if (r.wide != expected[i].wide || r.back != expected[i].back) ++mismatches[t];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
