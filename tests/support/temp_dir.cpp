#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

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
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, std::system(cmd.c_str()));
}

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
