// Tests of local dates and times run in one fixed zone: Asia/Shanghai (UTC+8,
// no daylight saving), whatever TZ the machine or the CI sets.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace kvotest {

// Sets TZ for its lifetime and gives back the previous setting (or its
// absence) when it ends.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool m_had = false;
    std::string m_saved;
};

// Fixture of tests that read or write local times: each test runs in
// Shanghai time.
class ShanghaiTimeTest : public ::testing::Test {
protected:
    ScopedTimeZone m_zone{"Asia/Shanghai"};
};

}  // namespace kvotest
