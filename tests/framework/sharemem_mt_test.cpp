// Shared memory from several threads at once: numbers handed out one at a
// time, blocks of one name shared, and views freed while others are mapped.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "framework/tl_registry.h"
#include "framework/tl_sharemem.h"
#include "tests/support/shared_scope.h"

namespace {

class ShareMemThreads : public kvotest::SharedScopeTest {
protected:
    ShareMemThreads() : SharedScopeTest("kvo_shm_mt") {}
};

TEST_F(ShareMemThreads, ConcurrentAllocationsAndFrees) {
    constexpr int kThreads = 4;
    constexpr int kEach = 8;
    std::atomic<int> failures{0};
    auto* common = static_cast<std::atomic<uint32_t>*>(TL_AllocShareMem(64, "common"));
    ASSERT_NE(common, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kEach; ++i) {
                const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
                auto* own = static_cast<uint32_t*>(TL_AllocShareMem(100, name.c_str()));
                auto* shared = static_cast<std::atomic<uint32_t>*>(TL_AllocShareMem(0, "common"));
                if (own == nullptr || shared == nullptr || TL_GetShareMemSize(own) != 4084) {
                    ++failures;
                } else {
                    *own = uint32_t(t * 100 + i);
                    shared->fetch_add(1);
                }
                TL_FreeShareMem(own);
                TL_FreeShareMem(shared);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(common->load(), uint32_t(kThreads * kEach));  // every view saw the one block
    TL_FreeShareMem(common);

    corvane::CTLRegistry key;
    ASSERT_EQ(key.Open(TL_KeyCurrentUser(), TL_SHAREMEM_KEY, 0), 0u);
    std::set<uint32_t> numbers;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i) {
            uint32_t n = 0;
            key.GetDword(("t" + std::to_string(t) + "_" + std::to_string(i)).c_str(), &n);
            numbers.insert(n);
        }
    EXPECT_EQ(numbers.size(), size_t(kThreads * kEach));
    EXPECT_EQ(*numbers.begin(), 1026u);
    uint32_t last = 0;
    key.GetDword(TL_SHAREMEM_ALLOC_VALUE, &last);
    EXPECT_EQ(last, 1025u + kThreads * kEach);
}

}  // namespace
