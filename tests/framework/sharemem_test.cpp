// Named shared memory: block numbers handed out through the registry key,
// blocks shared between processes, the system-wide mutex that makes
// processes take numbers one at a time, and the file store over a block.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "framework/tl_fileobj.h"
#include "framework/tl_registry.h"
#include "framework/tl_sharemem.h"
#include "framework/tl_sync.h"
#include "platform/pl_shared.h"
#include "tests/support/shared_scope.h"
#include "tests/support/temp_dir.h"

using corvane::CTLFileObj;

namespace {

class ShareMemTest : public kvotest::SharedScopeTest {
protected:
    ShareMemTest() : SharedScopeTest("kvo_shm") {}

    static uint32_t Number(const char* name) {
        corvane::CTLRegistry key;
        uint32_t v = 0;
        if (key.Open(TL_KeyCurrentUser(), TL_SHAREMEM_KEY, 0) != 0 || key.GetDword(name, &v) != 0) return 0;
        return v;
    }
    // Size of block number n's mapping as the system holds it (0: none).
    static uint64_t MappingSize(uint32_t n) {
        pl::SharedMapping m;
        if (pl::OpenSharedMapping(TL_ShareMemMappingName(n).GetString(), &m) != 0) return 0;
        const uint64_t size = m.size;
        pl::CloseSharedMapping(&m);
        return size;
    }
    std::string WriteFile(const std::string& name, const std::string& content) const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
};

TEST_F(ShareMemTest, NumbersSizesAndReuseOfNamedBlocks) {
    auto* a = static_cast<uint8_t*>(TL_AllocShareMem(100, "quotes"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Number("quotes"), 1025u);
    EXPECT_EQ(Number(TL_SHAREMEM_ALLOC_VALUE), 1025u);
    EXPECT_EQ(MappingSize(1025), 4096u);
    EXPECT_EQ(TL_GetShareMemSize(a), 4084u);
    // The head: usable size, distance 12, signature.
    EXPECT_EQ(std::memcmp(a - 4, "\x0C\xFA\xFB\xFC", 4), 0);
    for (int i = 0; i < 4084; i += 97) ASSERT_EQ(a[i], 0);
    std::memcpy(a, "shared", 7);
    a[4083] = 0x5A;

    // The same name, small enough: the same block through another view.
    auto* b = static_cast<uint8_t*>(TL_AllocShareMem(4084, "quotes"));
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_STREQ(reinterpret_cast<char*>(b), "shared");
    EXPECT_EQ(b[4083], 0x5A);
    auto* any = static_cast<uint8_t*>(TL_AllocShareMem(0, "quotes"));
    ASSERT_NE(any, nullptr);
    EXPECT_EQ(TL_GetShareMemSize(any), 4084u);

    // Too small for 5000 bytes: the name moves to a new number and mapping.
    auto* c = static_cast<uint8_t*>(TL_AllocShareMem(5000, "quotes"));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Number("quotes"), 1026u);
    EXPECT_EQ(MappingSize(1026), 8192u);
    EXPECT_EQ(TL_GetShareMemSize(c), 8180u);
    EXPECT_EQ(c[0], 0);  // a new block; the old one lives on for its holders
    EXPECT_STREQ(reinterpret_cast<char*>(a), "shared");

    // Sizes of 0: a name without a number, or no name, gives nothing.
    EXPECT_EQ(TL_AllocShareMem(0, "never-asked"), nullptr);
    EXPECT_EQ(Number("never-asked"), 0u);
    EXPECT_EQ(TL_AllocShareMem(0, nullptr), nullptr);
    EXPECT_EQ(TL_AllocShareMem(0, ""), nullptr);
    // Without a name: a block of its own, no number taken.
    auto* u = static_cast<uint8_t*>(TL_AllocShareMem(100, nullptr));
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(TL_GetShareMemSize(u), 4084u);
    EXPECT_EQ(Number(TL_SHAREMEM_ALLOC_VALUE), 1026u);
    // Sizes that cannot be mapped.
    EXPECT_EQ(TL_AllocShareMem(~0ull, "huge"), nullptr);
    EXPECT_EQ(TL_AllocShareMem(~0ull - 5000, nullptr), nullptr);

    for (void* p : {static_cast<void*>(a), static_cast<void*>(b), static_cast<void*>(any), static_cast<void*>(c),
                    static_cast<void*>(u)})
        TL_FreeShareMem(p);
    EXPECT_EQ(TL_GetShareMemSize(a), 0u);  // forgotten once freed; nothing read from it
}

TEST_F(ShareMemTest, ForeignPointersAndObjectsAreRefused) {
    // Pointers this process did not get from the allocator, signed or not.
    std::vector<uint8_t> fake(64, 0);
    std::memcpy(&fake[8], "\x0C\xFA\xFB\xFC", 4);
    fake[0] = 0xFF;  // a usable size that would reach far beyond
    EXPECT_EQ(TL_GetShareMemSize(fake.data() + 12), 0u);
    TL_FreeShareMem(fake.data() + 12);  // ignored
    TL_FreeShareMem(nullptr);
    EXPECT_EQ(TL_GetShareMemSize(nullptr), 0u);

    // A mapping that already exists under the next number is not taken over.
    pl::SharedMapping squat;
    ASSERT_EQ(pl::CreateSharedMapping(TL_ShareMemMappingName(1025).GetString(), 4096, &squat), 0u);
    EXPECT_EQ(TL_AllocShareMem(100, "first"), nullptr);
    EXPECT_EQ(Number("first"), 1025u);  // the number stays taken
    auto* second = TL_AllocShareMem(100, "second");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Number("second"), 1026u);

    // The first name's number now maps the foreign object, whose head is no
    // block head: refused rather than trusted.
    EXPECT_EQ(TL_AllocShareMem(0, "first"), nullptr);
    EXPECT_EQ(TL_AllocShareMem(100, "first"), nullptr);
    pl::CloseSharedMapping(&squat);
    TL_FreeShareMem(second);
}

// The child maps the block by name and writes into it; the parent sees it.
bool ChildWrites(void* ctx) {
    auto* p = static_cast<char*>(TL_AllocShareMem(100, static_cast<const char*>(ctx)));
    if (p == nullptr || std::strcmp(p, "from parent") != 0) return false;
    std::strcpy(p, "from child");
    TL_FreeShareMem(p);
    return true;
}

TEST_F(ShareMemTest, ProcessesShareBlocksAndTakeNumbersOneAtATime) {
    auto* p = static_cast<char*>(TL_AllocShareMem(100, "both"));
    ASSERT_NE(p, nullptr);
    std::strcpy(p, "from parent");
    EXPECT_TRUE(kvotest::RunInChild(&ChildWrites, const_cast<char*>("both")));
    EXPECT_STREQ(p, "from child");
    TL_FreeShareMem(p);

    // Two processes hand out numbers at the same time.
    constexpr int kEach = 25;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    auto allocate = [&](const char* who) {
        char c;
        if (read(go[0], &c, 1) != 1) return false;
        for (int i = 0; i < kEach; ++i) {
            const std::string name = std::string(who) + std::to_string(i);
            void* b = TL_AllocShareMem(64, name.c_str());
            if (b == nullptr) return false;
            TL_FreeShareMem(b);
        }
        return true;
    };
    if (pid == 0) _exit(allocate("child") ? 0 : 1);
    ASSERT_EQ(write(go[1], "gg", 2), 2);  // both start at once
    close(go[1]);
    const bool mine = allocate("parent");
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(go[0]);
    EXPECT_TRUE(mine);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::set<uint32_t> numbers;
    for (const char* who : {"child", "parent"})
        for (int i = 0; i < kEach; ++i) numbers.insert(Number((who + std::to_string(i)).c_str()));
    EXPECT_EQ(numbers.size(), size_t(2 * kEach));
    EXPECT_EQ(*numbers.begin(), 1026u);
    EXPECT_EQ(*numbers.rbegin(), 1025u + 2 * kEach);
    EXPECT_EQ(Number(TL_SHAREMEM_ALLOC_VALUE), 1025u + 2 * kEach);
}

// Pipes between the test and its child: `go` tells the child that the
// parent holds the mutex, `ready` that the child found it held.
struct MutexChild {
    int go[2];
    int ready[2];
};

// The child makes its own mutex object of the name after the fork, as
// another program would, and must wait for the parent's unlock.
bool ChildLocks(void* ctx) {
    auto* m = static_cast<MutexChild*>(ctx);
    close(m->go[1]);
    close(m->ready[0]);
    char c;
    if (read(m->go[0], &c, 1) != 1) return false;
    corvane::CMutex mutex(0, "kvo.test.mutex");
    if (mutex.Lock(0) != 0 || mutex.Lock(30) != 0) return false;  // the parent holds it
    if (write(m->ready[1], "r", 1) != 1) return false;
    if (mutex.Lock(5000) != 1) return false;  // released by the parent meanwhile
    return mutex.Unlock() == 1;
}

TEST_F(ShareMemTest, NamedMutexExcludesOtherProcesses) {
    MutexChild m;
    ASSERT_EQ(pipe(m.go), 0);
    ASSERT_EQ(pipe(m.ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(ChildLocks(&m) ? 0 : 1);
    close(m.go[0]);
    close(m.ready[1]);
    corvane::CMutex mutex(0, "kvo.test.mutex");
    ASSERT_EQ(mutex.Lock(), 1);
    EXPECT_EQ(mutex.Lock(0), 1);  // recursive in the owning thread
    ASSERT_EQ(write(m.go[1], "g", 1), 1);
    char c = 0;
    EXPECT_EQ(read(m.ready[0], &c, 1), 1);  // 0 when the child failed and ended
    EXPECT_EQ(mutex.Unlock(), 1);
    EXPECT_EQ(mutex.Unlock(), 1);
    EXPECT_EQ(mutex.Unlock(), 0);  // not held any more
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(m.go[1]);
    close(m.ready[0]);
    EXPECT_EQ(mutex.Lock(0), 1);
    EXPECT_EQ(mutex.Unlock(), 1);
}

bool ChildReadsStore(void* ctx) {
    CTLFileObj f;
    if (f.Open(static_cast<const char*>(ctx), 0x4001) != 0) return false;
    char buf[6] = {};
    // The parent's change is in the block, not in the file the child opened.
    if (f.Seek(110, 0) != 0 || f.Read(buf, 5) != 5) return false;
    return std::memcmp(buf, "HELLO", 5) == 0;
}

TEST_F(ShareMemTest, FileStoreOverASharedBlock) {
    const std::string path = WriteFile("hundred", std::string(100, 'x'));
    CTLFileObj f;
    ASSERT_EQ(f.Open(path.c_str(), 0x4001), 0u);
    EXPECT_TRUE(f.IsMemoryMode());
    EXPECT_EQ(f.GetMode() & 0x10, 0x10u);  // a shared block is a fixed store
    EXPECT_EQ(f.GetLength(), 4084u);
    std::vector<char> all(4084);
    ASSERT_EQ(f.Read(all.data(), 5000), 4084u);
    EXPECT_EQ(std::string(all.data(), 100), std::string(100, 'x'));
    for (size_t i = 100; i < all.size(); ++i) ASSERT_EQ(all[i], 0) << i;

    ASSERT_EQ(f.Seek(100, 0), 0u);
    EXPECT_EQ(f.Write("HELLO", 5), 5u);
    EXPECT_EQ(f.GetPosition(), 105u);
    ASSERT_EQ(f.Seek(4080, 0), 0u);
    EXPECT_EQ(f.Write("12345", 5), 0x80020014u);  // blocks never grow
    EXPECT_EQ(f.Write("1234", 4), 4u);
    EXPECT_EQ(f.SetLength(10), 0x80020019u);
    EXPECT_EQ(f.Write("x", 0), 0u);

    // Pointer at the position, clamped; none past the end.
    f.Seek(4000, 0);
    uint32_t n = 500;
    EXPECT_NE(f.GetDataAt(&n), nullptr);
    EXPECT_EQ(n, 84u);
    f.Seek(5000, 0);  // no bounds on the position
    EXPECT_EQ(f.GetPosition(), 5000u);
    n = 1;
    EXPECT_EQ(f.GetDataAt(&n), nullptr);
    EXPECT_EQ(f.Read(all.data(), 10), 0u);

    // Moves within the block fill what they uncover.
    f.Seek(100, 0);
    EXPECT_EQ(f.MoveRange(10, 5, '.'), 0u);
    char moved[16] = {};
    f.Seek(100, 0);
    f.Read(moved, 15);
    EXPECT_EQ(std::string(moved, 15), std::string(".....\0\0\0\0\0HELLO", 15));
    f.Seek(100, 0);
    EXPECT_EQ(f.MoveRange(4000, 5), 0x80020024u);

    // Another process opening the same file maps the same block.
    EXPECT_TRUE(kvotest::RunInChild(&ChildReadsStore, const_cast<char*>(path.c_str())));

    // A copy of the store writes the whole block; a duplicate reads the file
    // into the same block again.
    const std::string copy = dir_ + "/copy";
    EXPECT_EQ(f.CopyTo(copy.c_str()), 0u);
    const std::string written = kvotest::ReadWholeFile(copy);
    EXPECT_EQ(written.size(), 4084u);
    EXPECT_EQ(written.substr(110, 5), "HELLO");
    f.Seek(0, 0);
    f.Write("ABC", 3);
    CTLFileObj* dup = f.Duplicate();
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(dup->GetLength(), 4084u);
    delete dup;
    f.Seek(0, 0);
    char again[3];
    f.Read(again, 3);
    EXPECT_EQ(std::string(again, 3), "xxx");  // the file was read over the block again
    f.Seek(110, 0);
    f.Read(again, 3);
    EXPECT_EQ(std::string(again, 3), "HEL");  // past the file's bytes the block keeps its own
    f.Close();

    // Files the store cannot take.
    const std::string empty = WriteFile("empty", "");
    CTLFileObj e;
    EXPECT_EQ(e.Open(empty.c_str(), 0x4001), 0x80020022u);
    EXPECT_EQ(e.Open((dir_ + "/missing").c_str(), 0x4001), 0x80020002u);
    EXPECT_FALSE(e.IsOpen());
}

}  // namespace
