#include "tests/support/instance_dir.h"

#include <unistd.h>

#include <cstring>

namespace kvotest {

InstanceConfig ConfigLoggingTo(const char* dir) {
    InstanceConfig cfg;
    cfg.SetDefaults();
    std::strncpy(cfg.m_logpath, dir, sizeof(cfg.m_logpath) - 1);
    return cfg;
}

void InstanceDirTest::SetUp() {
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    char cwd[4096];
    ASSERT_EQ(cwd, getcwd(cwd, sizeof cwd));
    m_oldCwd = cwd;
    ASSERT_EQ(0, chdir(dir_.c_str()));
    cfg_ = ConfigLoggingTo(dir_.c_str());
}

void InstanceDirTest::TearDown() {
    if (!m_oldCwd.empty()) {
        ASSERT_EQ(0, chdir(m_oldCwd.c_str()));
    }
    TempDirTest::TearDown();
}

}  // namespace kvotest
