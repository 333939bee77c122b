// Allocation pair, framework objects and class records, and the default log
// channel the allocator reports large blocks to.
#include "framework/tl_alloc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

#include "framework/tl_log.h"
#include "framework/tl_object.h"
#include "tests/support/temp_dir.h"

namespace {

uint64_t Header(void* p) {
    uint64_t h;
    std::memcpy(&h, static_cast<char*>(p) - 8, sizeof(h));
    return h;
}

using kvotest::ReadWholeFile;

}  // namespace

TEST(Allocation, HeaderHoldsSizeAndFreeAcceptsNull) {
    TL_Free(nullptr, 0);
    TL_Delete(nullptr);
    TL_Deallocate(nullptr, nullptr, 0);
    void* p = TL_Allocate(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Header(p), 100u);
    std::memset(p, 0xAB, 100);  // all 100 bytes are usable (ASan checks)
    TL_Free(p, 100);
    void* z = TL_Allocate(0);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(Header(z), 0u);
    TL_Free(z);
}

TEST(Allocation, ReallocateKeepsBytesAndOldHeader) {
    auto* p = static_cast<char*>(TL_Allocate(16));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "0123456789abcdef", 16);
    auto* q = static_cast<char*>(TL_Reallocate(p, 4096));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::memcmp(q, "0123456789abcdef", 16), 0);
    EXPECT_EQ(Header(q), 16u);  // the header travels unchanged
    q[4095] = 'x';
    TL_Free(q);
    void* r = TL_Reallocate(nullptr, 8);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Header(r), 8u);
    TL_Free(r);
}

TEST(Allocation, LargeBlockWritesOneRawLine) {
    kvotest::DefaultLogFile log("kvo_alloc_log");
    void* at_limit = TL_Allocate(0x1F400000u);
    ASSERT_NE(at_limit, nullptr);
    TL_Free(at_limit);
    EXPECT_EQ(log.Text(), "");

    void* above = TL_Allocate(0x1F400001u);
    ASSERT_NE(above, nullptr);  // the report does not stop the allocation
    TL_Free(above);
    const std::string text = log.Text();
    // Raw line: time and ids, no level field, the text's own line feed only.
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{8} \d{6}  pid:\d+ thread:\d+ TL_Allocate 524288001\n)")))
        << text;
}

TEST(Allocation, LimitIsFiveHundredMiB) { EXPECT_EQ(g_TLLargeBlockLimit, 0x1F400000u); }

// ---- default log channel ----

TEST(DefaultLog, SilentUntilLevelSetAndLineFormat) {
    kvotest::DefaultLogFile log("kvo_alloc_log");
    TL_WriteLog(1, "hidden %d", 1);
    EXPECT_EQ(log.Text(), "");
    TL_WriteLogRaw("%s", "");  // empty raw text: nothing
    EXPECT_EQ(log.Text(), "");
    EXPECT_EQ(TL_SetLogLevel(0, 3), 0);
    TL_WriteLog(4, "too detailed");
    TL_WriteLog(3, "value %lld", 1234567890123LL);
    TL_WriteLog(2, "ends with newline\n");
    const std::string text = log.Text();
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{8} \d{6}  pid:\d+ thread:\d+ 3: value 1234567890123\r\n)"
                                                  R"(\d{8} \d{6}  pid:\d+ thread:\d+ 2: ends with newline\n)")))
        << text;
}

TEST(DefaultLog, LevelAndChannelChecks) {
    EXPECT_EQ(TL_SetLogLevel(32, 3), -7);
    EXPECT_EQ(TL_SetLogLevel(-1, 3), -7);
    EXPECT_EQ(TL_SetLogLevel(5, 3), -7);  // no such channel
    EXPECT_EQ(TL_SetLogLevel(0, 8), -6);
    EXPECT_EQ(TL_SetLogLevel(0, -7), 0);
    EXPECT_NE(TL_GetLogChannel(0), nullptr);
    EXPECT_EQ(TL_GetLogChannel(32), nullptr);
    EXPECT_EQ(TL_OpenLog(0, ""), -1);
    EXPECT_EQ(TL_OpenLog(0, nullptr), -1);
    EXPECT_EQ(TL_AddLogChannel(0, ""), -1);
}

class DefaultLogFolder : public kvotest::TempDirTest {
protected:
    DefaultLogFolder() : TempDirTest("kvo_logdir") {}
};

TEST_F(DefaultLogFolder, DailyNameCarriesStamp) {
    const std::string base = dir_ + "/sub/kvoapi.log";
    ASSERT_EQ(TL_OpenLog(TL_LOG_DEFAULT_FLAGS, base.c_str()), 0);
    TL_SetLogLevel(0, 5);
    TL_WriteLog(5, "hello");
    struct tm lt;
    time_t now = time(nullptr);
    localtime_r(&now, &lt);
    char name[64];
    snprintf(name, sizeof(name), "/sub/kvoapi%d%02d%02d_000.log", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    EXPECT_NE(ReadWholeFile(dir_ + name).find("5: hello\r\n"), std::string::npos);
}

// ---- objects and class records ----

namespace {

int g_serialized = 0;

class CSample : public corvane::CTLObject {
public:
    TLRuntimeClass* GetRuntimeClass() const override { return &classCSample; }
    void Serialize(HugeDataArchive&) override { ++g_serialized; }
    static corvane::CTLObject* Create() { return new CSample; }
    static void Hook(corvane::CTLObject* o, HugeDataArchive* a) { TL_CallSerialize(o, a); }
    static TLRuntimeClass classCSample;
    char payload[40] = {};
};

TLRuntimeClass CSample::classCSample = {"CSample",      static_cast<int32_t>(sizeof(CSample)), &CSample::Create,
                                        &CSample::Hook, &corvane::CTLObject::classCTLObject,   nullptr};
TLClassRegistrar g_sample_reg(&CSample::classCSample);

}  // namespace

TEST(ClassRecords, RootRecordAndCreation) {
    corvane::CTLObject root;
    TLRuntimeClass* rc = root.GetRuntimeClass();
    EXPECT_STREQ(rc->m_lpszClassName, "CTLObject");
    EXPECT_EQ(rc->m_nObjectSize, 8);
    EXPECT_EQ(TL_CreateObject(rc), nullptr);
    EXPECT_EQ(TL_CreateObject(nullptr), nullptr);

    // Registered at load, found in the list.
    bool found = false;
    for (TLRuntimeClass* c = TL_GetFirstRuntimeClass(); c != nullptr; c = c->m_pNextClass)
        found = found || c == &CSample::classCSample;
    EXPECT_TRUE(found);

    corvane::CTLObject* obj = TL_CreateObject(&CSample::classCSample);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->GetRuntimeClass(), &CSample::classCSample);
    EXPECT_EQ(obj->GetRuntimeClass()->m_pBaseClass, &corvane::CTLObject::classCTLObject);
    // Framework objects come from TL_Allocate: the size header sits in front.
    EXPECT_EQ(Header(obj), sizeof(CSample));
    alignas(8) char fake_archive[8];
    CSample::classCSample.m_pfnCallHook(obj, reinterpret_cast<HugeDataArchive*>(fake_archive));
    EXPECT_EQ(g_serialized, 1);
    delete obj;  // back through TL_Free (ASan reports a mismatch otherwise)
}

TEST(ClassRecords, RegisterPushesAtHead) {
    static TLRuntimeClass a = {"A", 8, nullptr, nullptr, &corvane::CTLObject::classCTLObject, nullptr};
    TLRuntimeClass* before = TL_GetFirstRuntimeClass();
    TL_RegisterRuntimeClass(&a);
    EXPECT_EQ(TL_GetFirstRuntimeClass(), &a);
    EXPECT_EQ(a.m_pNextClass, before);
    // Registering a record again leaves the list finite and unchanged.
    static TLRuntimeClass b = {"B", 8, nullptr, nullptr, &corvane::CTLObject::classCTLObject, nullptr};
    TL_RegisterRuntimeClass(&b);
    TL_RegisterRuntimeClass(&b);
    TL_RegisterRuntimeClass(&a);
    EXPECT_EQ(TL_GetFirstRuntimeClass(), &b);
    EXPECT_EQ(b.m_pNextClass, &a);
    EXPECT_EQ(a.m_pNextClass, before);
    int count = 0;
    for (TLRuntimeClass* c = TL_GetFirstRuntimeClass(); c != nullptr && count < 1000; c = c->m_pNextClass) ++count;
    EXPECT_LT(count, 1000);
}
