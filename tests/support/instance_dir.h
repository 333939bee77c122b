// Configs and a fixture for tests that create library instances: the
// instance log goes into a folder of the test's own.
#pragma once

#include <string>

#include "include/kvoapi.h"
#include "tests/support/temp_dir.h"

namespace kvotest {

// The library's defaults, with the instance log under dir.
InstanceConfig ConfigLoggingTo(const char* dir);

// The text of every instance log file in dir/kvolog (a file's name may carry
// a date stamp), or empty.
std::string ReadInstanceLog(const std::string& dir);

// A fresh folder that is also the working folder while the test runs (an
// instance looks for tool.ini there; none is present unless the test writes
// one), and cfg_: the defaults with the log in that folder.
class InstanceDirTest : public TempDirTest {
protected:
    explicit InstanceDirTest(const char* prefix) : TempDirTest(prefix) {}
    void SetUp() override;
    void TearDown() override;

    InstanceConfig cfg_;

private:
    std::string m_oldCwd;
};

}  // namespace kvotest
