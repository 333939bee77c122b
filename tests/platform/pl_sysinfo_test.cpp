#include "platform/pl_keystore.h"
#include "platform/pl_sysinfo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/temp_dir.h"

namespace {

TEST(PlatformSysInfo, MachineFacts) {
    std::string os;
    ASSERT_TRUE(pl::GetOsName(os));
    EXPECT_EQ(0u, os.rfind("Linux ", 0));
    EXPECT_GE(pl::GetProcessorCount(), 1);
    uint64_t a = pl::GetHighResTickMs();
    usleep(3000);
    uint64_t b = pl::GetHighResTickMs();
    EXPECT_GE(b, a + 2);

    std::string exe, mod;
    ASSERT_TRUE(pl::GetExecutablePath(exe));
    EXPECT_EQ('/', exe[0]);
    // A function of this program lies in the program itself.
    ASSERT_TRUE(pl::GetModulePathOf(reinterpret_cast<const void*>(&pl::GetOsName), mod));
    EXPECT_EQ(exe, mod);
    EXPECT_FALSE(pl::GetModulePathOf(nullptr, mod));

    uint64_t idle = 0, total = 0;
    ASSERT_TRUE(pl::GetProcessorTimes(&idle, &total));
    EXPECT_LE(idle, total);
    EXPECT_GT(total, 0u);
}

TEST(PlatformSysInfo, ErrnoToSystemErrors) {
    EXPECT_EQ(0u, pl::SystemErrorFromErrno(0));
    EXPECT_EQ(2u, pl::SystemErrorFromErrno(ENOENT));
    EXPECT_EQ(3u, pl::SystemErrorFromErrno(ENOTDIR));
    EXPECT_EQ(5u, pl::SystemErrorFromErrno(EACCES));
    EXPECT_EQ(80u, pl::SystemErrorFromErrno(EEXIST));
    EXPECT_EQ(112u, pl::SystemErrorFromErrno(ENOSPC));
    EXPECT_EQ(31u, pl::SystemErrorFromErrno(EPROTO));
    errno = EROFS;
    EXPECT_EQ(19u, pl::LastSystemError());
}

class KeyStore : public kvotest::KeyStoreTest {
protected:
    KeyStore() : KeyStoreTest("kvo_keystore") {}
};

TEST_F(KeyStore, CreateOpenReadWrite) {
    pl::KeyHandle k = nullptr;
    EXPECT_EQ(pl::kKeyNotFound, pl::KeyOpen(pl::KeyStoreCurrentUser(), "Software\\A\\B", false, &k));
    ASSERT_EQ(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "Software/A\\B", true, &k));
    uint32_t v = 1024;
    EXPECT_EQ(0u, pl::KeySetValue(k, "__alloc_key__", &v, 4));
    EXPECT_EQ(0u, pl::KeyFlush(k));
    pl::KeyClose(k);

    // Names compare without case; both separators are accepted.
    ASSERT_EQ(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "software\\a/b", false, &k));
    uint32_t got = 0, size = 4;
    EXPECT_EQ(0u, pl::KeyGetValue(k, "__ALLOC_KEY__", &got, &size));
    EXPECT_EQ(1024u, got);
    EXPECT_EQ(4u, size);
    // Too small a buffer, a missing value, a size query.
    uint16_t small = 0;
    size = 2;
    EXPECT_EQ(pl::kKeyMoreData, pl::KeyGetValue(k, "__alloc_key__", &small, &size));
    EXPECT_EQ(4u, size);
    size = 4;
    EXPECT_EQ(pl::kKeyNotFound, pl::KeyGetValue(k, "missing", &got, &size));
    size = 0;
    EXPECT_EQ(0u, pl::KeyGetValue(k, "__alloc_key__", nullptr, &size));
    EXPECT_EQ(4u, size);
    // Value names with separators stay values.
    v = 7;
    EXPECT_EQ(0u, pl::KeySetValue(k, "a/b%c", &v, 4));
    size = 4;
    EXPECT_EQ(0u, pl::KeyGetValue(k, "A/B%C", &got, &size));
    EXPECT_EQ(7u, got);
    pl::KeyClose(k);

    // The two roots are separate.
    EXPECT_EQ(pl::kKeyNotFound, pl::KeyOpen(pl::KeyStoreLocalMachine(), "Software\\A", false, &k));
    // Escaping the store is refused.
    EXPECT_EQ(pl::kKeyBadName, pl::KeyOpen(pl::KeyStoreCurrentUser(), "..\\x", true, &k));
    // Closing a root is ignored: the root still opens its keys.
    pl::KeyClose(pl::KeyStoreCurrentUser());
    ASSERT_EQ(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "Software\\A\\B", false, &k));
    size = 4;
    EXPECT_EQ(0u, pl::KeyGetValue(k, "__alloc_key__", &got, &size));
    EXPECT_EQ(1024u, got);
    pl::KeyClose(k);
}

// A key's folders are made below the deepest folder that exists, however
// many levels are missing (the store's root itself among them); a file
// standing where a folder must go fails the key and makes nothing past it.
TEST_F(KeyStore, FoldersAreMadeBelowTheDeepestOneThatExists) {
    const std::string root = dir_ + "/not/yet/there";
    pl::SetKeyStoreRoot(root.c_str());
    pl::KeyHandle k = nullptr;
    ASSERT_EQ(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "Software\\Deep\\Er", true, &k));
    const uint32_t v = 7;
    EXPECT_EQ(0u, pl::KeySetValue(k, "n", &v, 4));
    pl::KeyClose(k);
    ASSERT_EQ(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "software\\deep\\er", false, &k));
    uint32_t got = 0;
    uint32_t size = 4;
    EXPECT_EQ(0u, pl::KeyGetValue(k, "n", &got, &size));
    EXPECT_EQ(7u, got);
    pl::KeyClose(k);
    // A sibling below folders that exist, and the same key again.
    EXPECT_EQ(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "Software\\Deep\\Other\\More", true, &k));
    pl::KeyClose(k);
    EXPECT_EQ(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "Software\\Deep\\Er", true, &k));
    pl::KeyClose(k);

    const std::string blocked = dir_ + "/file";
    FILE* f = std::fopen(blocked.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    const std::string underFile = blocked + "/root";
    pl::SetKeyStoreRoot(underFile.c_str());
    EXPECT_NE(0u, pl::KeyOpen(pl::KeyStoreCurrentUser(), "Software\\X", true, &k));
    struct stat st;
    EXPECT_EQ(0, stat(blocked.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    pl::SetKeyStoreRoot(dir_.c_str());
}

}  // namespace
