#include "framework/tl_registry.h"
#include "framework/tl_sysinfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "tests/support/temp_dir.h"

namespace {

using corvane::CTLRegistry;
using corvane::CTLString;

TEST(SystemInfo, VersionNames) {
    EXPECT_STREQ("Windows 95/98", TL_WindowsVersionNameFor(1, 4, 10));
    EXPECT_STREQ("Windows 3.1", TL_WindowsVersionNameFor(0, 3, 1));
    EXPECT_STREQ("Windows NT", TL_WindowsVersionNameFor(2, 4, 0));
    EXPECT_STREQ("Windows NT", TL_WindowsVersionNameFor(2, 3, 51));
    EXPECT_STREQ("Windows 2000", TL_WindowsVersionNameFor(2, 5, 0));
    EXPECT_STREQ("Windows XP", TL_WindowsVersionNameFor(2, 5, 1));
    EXPECT_STREQ("Windows Server 2003", TL_WindowsVersionNameFor(2, 5, 2));
    EXPECT_STREQ("Windows 2000", TL_WindowsVersionNameFor(2, 5, 3));
    EXPECT_STREQ("Windows Vista", TL_WindowsVersionNameFor(2, 6, 0));
    EXPECT_STREQ("Windows 7", TL_WindowsVersionNameFor(2, 6, 1));
    EXPECT_EQ(nullptr, TL_WindowsVersionNameFor(2, 6, 2));
    EXPECT_EQ(nullptr, TL_WindowsVersionNameFor(2, 6, 3));
    EXPECT_STREQ("Windows Unknown", TL_WindowsVersionNameFor(2, 10, 0));

    CTLString name = "before";
    EXPECT_EQ(0, TL_GetWindowsVersionName(name));
    EXPECT_EQ(0, name.Find('L'));  // "Linux ..."
}

TEST(SystemInfo, MachineAndModules) {
    EXPECT_GE(TL_GetProcessorCount(), 1);
    uint64_t a = TL_GetHighResTickMs();
    usleep(2000);
    EXPECT_GT(TL_GetHighResTickMs(), a);

    CTLString host, own;
    int n = TL_GetModuleFolder(host, nullptr);
    ASSERT_GT(n, 0);
    EXPECT_EQ(n, host.GetLength());
    EXPECT_EQ('/', host.GetAt(n - 1));
    // The test program holds the framework statically: the same folder.
    EXPECT_GT(TL_GetModuleFolder(own, TL_OwnModule()), 0);
    EXPECT_EQ(host, own);

    const auto& info = corvane::CSystemInfo::Instance();
    EXPECT_EQ(TL_GetProcessorCount(), info.m_nProcessors);
    EXPECT_EQ(0, info.m_nStatus);
    EXPECT_GT(info.m_nCurrentTime, 0);
    EXPECT_LE(info.m_nTick, TL_GetHighResTickMs());
}

class Registry : public kvotest::KeyStoreTest {
protected:
    Registry() : KeyStoreTest("kvo_registry") {}
};

TEST_F(Registry, SharedMemoryCounterRoundTrip) {
    const char* key = "Software/Tarvenick/corvane/sharememory";
    {
        CTLRegistry reg;
        EXPECT_EQ(TL_REG_E_NO_KEY, reg.Open(TL_KeyCurrentUser(), key, 0));
        EXPECT_EQ(nullptr, reg.GetKey());
        ASSERT_EQ(0u, reg.Open(TL_KeyCurrentUser(), key, TL_REG_CREATE));
        uint32_t v = 0;
        EXPECT_EQ(TL_REG_E_FAILED, reg.GetDword("__alloc_key__", &v));
        EXPECT_EQ(0u, reg.SetDword("__alloc_key__", 1024));
        EXPECT_EQ(0u, reg.SetDword("block", 0xDEADBEEF));
        EXPECT_EQ(0u, reg.Flush());
    }
    CTLRegistry reg;
    ASSERT_EQ(0u, reg.Open(TL_KeyCurrentUser(), "Software\\Tarvenick\\corvane\\sharememory", 0));
    uint32_t v = 0;
    EXPECT_EQ(0u, reg.GetDword("__alloc_key__", &v));
    EXPECT_EQ(1024u, v);
    EXPECT_EQ(0u, reg.GetDword("BLOCK", &v));
    EXPECT_EQ(0xDEADBEEFu, v);
    // A value larger than 4 bytes does not fit.
    uint64_t wide = 1;
    ASSERT_EQ(0u, pl::KeySetValue(reg.GetKey(), "wide", &wide, 8));
    EXPECT_EQ(TL_REG_E_MORE_DATA, reg.GetDword("wide", &v));
}

TEST_F(Registry, AdoptionAndOwnership) {
    CTLRegistry parent;
    ASSERT_EQ(0u, parent.Open(TL_KeyCurrentUser(), "Software", TL_REG_CREATE));
    {
        // An empty path adopts the parent without owning it.
        CTLRegistry child;
        ASSERT_EQ(0u, child.Open(parent.GetKey(), "", 0));
        EXPECT_EQ(parent.GetKey(), child.GetKey());
        EXPECT_EQ(0u, child.SetDword("x", 5));
    }
    // The parent key is still usable after the adopting object is gone.
    uint32_t v = 0;
    EXPECT_EQ(0u, parent.GetDword("x", &v));
    EXPECT_EQ(5u, v);
    // Bit 1: the key is not closed by its object; the caller closes it.
    pl::KeyHandle kept = nullptr;
    {
        CTLRegistry reg;
        ASSERT_EQ(0u, reg.Open(parent.GetKey(), "Sub", TL_REG_CREATE | TL_REG_NO_CLOSE));
        kept = reg.GetKey();
    }
    EXPECT_EQ(0u, pl::KeySetValue(kept, "y", &v, 4));
    pl::KeyClose(kept);
    // Re-opening closes the key held before.
    EXPECT_EQ(0u, parent.Open(TL_KeyCurrentUser(), "Software/Sub", 0));
    EXPECT_EQ(0u, parent.GetDword("y", &v));
    EXPECT_EQ(TL_REG_E_FAILED, parent.Open(nullptr, "x", 0));
    EXPECT_EQ(TL_REG_E_FAILED, parent.GetDword("y", &v));
}

}  // namespace
