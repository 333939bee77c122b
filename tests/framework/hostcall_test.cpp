// Host callback scopes on one thread: a callback of one instance that calls
// the library, which calls the host again for another instance, leaves the
// thread inside both callbacks until each returns.
#include <gtest/gtest.h>

#include "framework/tl_hostcall.h"

namespace {

using corvane::HostCallGate;
using corvane::HostCallScope;
using corvane::InsideHostCallOf;

TEST(HostCallScope, NestedCallbacksAreAllSeenUntilTheyReturn) {
    HostCallGate outer, inner;
    {
        HostCallScope a(&outer);
        {
            HostCallScope b(&inner);
            EXPECT_TRUE(InsideHostCallOf(&outer));
            EXPECT_TRUE(InsideHostCallOf(&inner));
        }
        EXPECT_TRUE(InsideHostCallOf(&outer));
        EXPECT_FALSE(InsideHostCallOf(&inner));
    }
    EXPECT_FALSE(InsideHostCallOf(&outer));
}

}  // namespace
