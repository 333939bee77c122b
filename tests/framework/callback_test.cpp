#include "framework/tl_callback.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct Pool {
    int length = 0;
    int GetQueueLength() { return length; }
    int Add(int a, int b) const { return length + a + b; }
};

int Weigh(Pool* p, const char* key, void* records, unsigned count) {
    return p->length + static_cast<int>(count) + (key[0] == 'k' ? 1000 : 0) + (records != nullptr ? 1 : 0);
}

TEST(Callback, BoundMembersAndFreeFunctionsGetTheirObjectFirst) {
    Pool pool;
    pool.length = 7;
    auto length = CTLCallback<int()>::Bind<&Pool::GetQueueLength>(&pool);
    EXPECT_FALSE(length.IsEmpty());
    EXPECT_EQ(length.GetObject(), &pool);
    EXPECT_EQ(length.Invoke(), 7);
    pool.length = 12;
    EXPECT_EQ(length(), 12);

    const Pool& constPool = pool;
    auto add = CTLCallback<int(int, int)>::Bind<&Pool::Add>(&constPool);
    EXPECT_EQ(add.Invoke(1, 2), 15);

    auto three = CTLCallback<int(const char*, void*, unsigned)>::BindFree<&Weigh>(&pool);
    EXPECT_EQ(three.Invoke3("key", &pool, 5u), 12 + 5 + 1000 + 1);
}

TEST(Callback, CopiesAreIndependentAndCompareByBothWords) {
    Pool a, b;
    a.length = 1;
    b.length = 2;
    auto source = CTLCallback<int()>::Bind<&Pool::GetQueueLength>(&a);
    CTLCallback<int()> copy(source);
    EXPECT_TRUE(copy == source);
    EXPECT_EQ(copy.Invoke(), 1);

    copy.Set(copy.GetFunction(), nullptr);  // a null value clears both words
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_TRUE(copy.IsNull());
    EXPECT_TRUE(copy.IsBoundTo(nullptr));
    EXPECT_FALSE(source.IsEmpty());
    EXPECT_EQ(source.Invoke(), 1);
    EXPECT_TRUE(copy != source);

    copy.Assign(source);
    copy.Set(source.GetFunction(), &b);
    EXPECT_EQ(copy.Invoke(), 2);
    EXPECT_FALSE(copy == source) << "same function, other object";
    EXPECT_TRUE(copy.IsBoundTo(&b));

    CTLCallback<int()> empty;
    EXPECT_TRUE(empty.IsNull());
    CTLCallback<int()> objectOnly(&a, nullptr);
    EXPECT_TRUE(objectOnly.IsEmpty());
    EXPECT_FALSE(objectOnly.IsNull());
    static_assert(sizeof(CTLCallback<int(int, int)>) == 2 * sizeof(void*));
}

}  // namespace
