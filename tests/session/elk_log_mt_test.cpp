// Telemetry lines: member order, numbers, escaping, and appends to the
// telemetry file from several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "session/elk_log.h"
#include "tests/support/temp_dir.h"

namespace {

// The line of a record stamped at a fixed time.
std::string Line(const std::string& prefix, const std::string& module, ElkFields fields) {
    CQueueLogElkItem item;
    item.m_indexPrefix = prefix;
    item.m_module = module;
    item.m_event = "tracelog";
    item.m_logTime = "2025-04-28 09:30:05.250";
    item.m_fields = std::move(fields);
    return FormatElkLine(item);
}

}  // namespace

TEST(ElkLine, MembersInOrderWithoutBlanks) {
    EXPECT_EQ(Line("client@_login", "Login",
                   {{"login_success_port", "9000"},
                    {"login_error", ""},
                    {"login_success_ip", "127.0.0.1"},
                    {"login_success_expire_date", "20251231"}}),
              "{\"index_prefix\":\"client@_login\",\"module\":\"Login\",\"event\":\"tracelog\","
              "\"logtime\":\"2025-04-28 09:30:05.250\",\"login_error\":\"\",\"login_success_expire_date\":"
              "\"20251231\",\"login_success_ip\":\"127.0.0.1\",\"login_success_port\":\"9000\"}");

    // A new record starts with the session prefix and the local time.
    CQueueLogElkItem fresh;
    EXPECT_EQ(fresh.m_indexPrefix, "client@_session");
    ASSERT_EQ(fresh.m_logTime.size(), 23u) << fresh.m_logTime;
    EXPECT_EQ(fresh.m_logTime[4], '-');
    EXPECT_EQ(fresh.m_logTime[10], ' ');
    EXPECT_EQ(fresh.m_logTime[19], '.');
}

// Only a "userid" that prints back as the same integer is a number.
TEST(ElkLine, UseridNumbers) {
    struct Row {
        const char* value;
        bool number;
    };
    const Row rows[] = {{"12345", true},
                        {"0", true},
                        {"-42", true},
                        {"012345", false},
                        {"-0", false},
                        {"", false},
                        {"12a", false},
                        {"+1", false},
                        {"9223372036854775807", true},
                        {"9223372036854775808", false},
                        {"-9223372036854775808", true},
                        {"-9223372036854775809", false},
                        {"99999999999999999999", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(ElkIsPlainInteger(row.value), row.number);
        const std::string line = Line("p", "m", {{"userid", row.value}, {"uid", row.value}});
        const std::string quoted = std::string("\"") + row.value + "\"";
        EXPECT_NE(line.find("\"userid\":" + (row.number ? std::string(row.value) + "}" : quoted + "}")),
                  std::string::npos)
            << line;
        // Other keys are strings whatever they hold.
        EXPECT_NE(line.find("\"uid\":" + quoted), std::string::npos) << line;
    }
}

// Texts from hosts and gateways cannot break the line: quotes, backslashes
// and control bytes are escaped, GBK bytes pass unchanged.
TEST(ElkLine, TextsAreEscaped) {
    const std::string gbk = "\xb4\xed\xce\xf3";
    const std::string line = Line("a\"b", "m\\n", {{"k\"ey", "x\"}\\\n\r\t\x01" + gbk}});
    EXPECT_EQ(line,
              "{\"index_prefix\":\"a\\\"b\",\"module\":\"m\\\\n\",\"event\":\"tracelog\",\"logtime\":"
              "\"2025-04-28 09:30:05.250\",\"k\\\"ey\":\"x\\\"}\\\\\\n\\r\\t\\u0001" +
                  gbk + "\"}");
}

// Lines appended from many threads arrive whole, each once; the folder is
// made when missing.
TEST(ElkFile, ConcurrentAppendsStayWhole) {
    char name[] = "/tmp/kvo_elkfile_XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const std::string path = std::string(name) + "/kvolog/kvosdk.log";
    constexpr int kThreads = 6;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string line = "{\"t\":\"" + std::to_string(t) + "\",\"i\":\"" + std::to_string(i) +
                                         "\",\"pad\":\"" + std::string(300, 'x') + "\"}\n";
                ASSERT_TRUE(AppendElkFile(path, line));
            }
        });
    }
    for (auto& th : threads) th.join();
    std::istringstream in(kvotest::ReadWholeFile(path));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const std::string& l : lines) {
        ASSERT_EQ(l.front(), '{');
        ASSERT_EQ(l.back(), '}');
        ASSERT_EQ(std::count(l.begin(), l.end(), 'x'), 300) << l;
        ASSERT_EQ(std::count(l.begin(), l.end(), '{'), 1) << l;
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(std::unique(lines.begin(), lines.end()), lines.end());
    EXPECT_FALSE(AppendElkFile("/proc/kvo-no-such-folder/x/kvosdk.log", "x\n"));
    std::filesystem::remove_all(name);
}
