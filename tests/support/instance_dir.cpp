#include "tests/support/instance_dir.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>

namespace kvotest {

InstanceConfig ConfigLoggingTo(const char* dir) {
    InstanceConfig cfg;
    cfg.SetDefaults();
    std::strncpy(cfg.m_logpath, dir, sizeof(cfg.m_logpath) - 1);
    return cfg;
}

std::string ReadInstanceLog(const std::string& dir) {
    const std::string folder = dir + "/kvolog";
    std::string text;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind("kvoapi", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
                text += ReadWholeFile(folder + "/" + name);
        }
        closedir(d);
    }
    return text;
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
