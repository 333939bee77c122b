// Host callback scopes on one thread: a callback of one instance that calls
// the library, which calls the host again for another instance, leaves the
// thread inside both callbacks until each returns.
#include <gtest/gtest.h>

#include "framework/tl_hostcall.h"

namespace {

using corvane::HostCallGate;
using corvane::HostCallScope;
using corvane::InsideHostCall;
using corvane::InsideHostCallOf;

TEST(HostCallScope, NestedCallbacksAreAllSeenUntilTheyReturn) {
    HostCallGate outer, inner, closed;
    closed.Close();
    EXPECT_FALSE(InsideHostCall());
    {
        HostCallScope a(&outer);
        ASSERT_TRUE(a.Entered());
        {
            HostCallScope none(nullptr);  // a call made for no instance
            HostCallScope b(&inner);
            HostCallScope refused(&closed);  // not made: the thread is not inside it
            EXPECT_FALSE(refused.Entered());
            EXPECT_TRUE(InsideHostCallOf(&outer));
            EXPECT_TRUE(InsideHostCallOf(&inner));
            EXPECT_FALSE(InsideHostCallOf(&closed));
            EXPECT_EQ(inner.Active(), 1u);
        }
        EXPECT_TRUE(InsideHostCallOf(&outer));
        EXPECT_FALSE(InsideHostCallOf(&inner));
        EXPECT_EQ(inner.Active(), 0u);
        EXPECT_TRUE(InsideHostCall());
    }
    EXPECT_FALSE(InsideHostCallOf(&outer));
    EXPECT_FALSE(InsideHostCall());
    EXPECT_EQ(outer.Active(), 0u);
}

}  // namespace
