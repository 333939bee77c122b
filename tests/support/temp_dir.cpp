#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "framework/tl_log.h"
#include "platform/pl_keystore.h"

namespace kvotest {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void TempDirTest::SetUp() {
    std::string tmpl = "/tmp/" + m_prefix + "_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buf.data()));
    dir_ = buf.data();
}

void TempDirTest::TearDown() {
    if (dir_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    ASSERT_FALSE(ec) << dir_ << ": " << ec.message();
}

DefaultLogFile::DefaultLogFile(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const int fd = mkstemp(buf.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    m_path = buf.data();
    EXPECT_EQ(TL_OpenLog(TL_LOG_TIME | TL_LOG_IDS, m_path.c_str()), 0);
}

DefaultLogFile::~DefaultLogFile() { unlink(m_path.c_str()); }

void KeyStoreTest::SetUp() {
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    pl::SetKeyStoreRoot(dir_.c_str());
}

void KeyStoreTest::TearDown() {
    pl::SetKeyStoreRoot(nullptr);
    TempDirTest::TearDown();
}

}  // namespace kvotest
