#include "tests/support/cascade_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "include/kvo_records.h"
#include "session/subscription_registry.h"

namespace kvotest {

namespace {

class ScriptedSession : public kvoapi::IMarketSession {
public:
    int32_t AddAddress(const char*, uint16_t, bool) override { return 0; }
    void SetSuperStockLevel(int32_t) override {}
    int32_t SendUserData(const char*) override { return -1; }
    LoginResult Login(kvoapi::LoginAccountInfo&) override {
        LoginResult r{};
        std::strcpy(r.expire_date, "20991231");
        return r;
    }
    int32_t SubScribe(uint32_t cls, uint32_t op, const char* market, const char* codes, bool wait) override {
        ScriptedMarket& m = Market();
        std::unique_lock<std::mutex> lock(m.mutex);
        m.subscriptions.push_back(std::to_string(cls) + "|" + std::to_string(op) + "|" + market + "|" + codes);
        m.changed.notify_all();
        const uint32_t ms = wait ? m.waitingSubscribeMs : 0;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return 0;
    }
    char* GetCodelist(const char*, uint32_t* n) override {
        ScriptedMarket& m = Market();
        std::lock_guard<std::mutex> lock(m.mutex);
        return static_cast<char*>(Copy(m.codelist, 1, n, true));
    }
    void* GetTickIndex(const char*, const char*, uint32_t* n) override {
        return Records(&ScriptedMarket::indexRecords, KVO_TICKINDEX_SIZE, n);
    }
    void* GetTickStock(const char*, const char*, uint32_t* n) override {
        return Records(&ScriptedMarket::stockRecords, KVO_TICKSTOCK_SIZE, n);
    }
    void* GetSuperStock(const char*, const char*, uint32_t* n) override {
        return Records(&ScriptedMarket::superStockRecords, KVO_SUPERSTOCK_SIZE, n);
    }
    std::string ElkLog(const std::string& prefix, const std::string& name,
                       const std::map<std::string, std::string>& fields, const std::string& option) override {
        ScriptedMarket& m = Market();
        std::lock_guard<std::mutex> lock(m.mutex);
        m.telemetry.push_back({prefix, name, fields, option});
        m.changed.notify_all();
        return std::string();
    }

private:
    static void* Copy(const std::string& bytes, size_t size, uint32_t* n, bool text) {
        if (bytes.empty()) return nullptr;
        char* p = static_cast<char*>(std::malloc(bytes.size() + (text ? 1 : 0)));
        std::memcpy(p, bytes.data(), bytes.size());
        if (text) p[bytes.size()] = '\0';
        *n = static_cast<uint32_t>(bytes.size() / size);
        return p;
    }
    static void* Records(std::string ScriptedMarket::*field, size_t size, uint32_t* n) {
        ScriptedMarket& m = Market();
        std::lock_guard<std::mutex> lock(m.mutex);
        return Copy(m.*field, size, n, false);
    }
};

int32_t Capture(int dataClass, void* handle, const void* records, uint32_t count, const PushTiming* timing) {
    CapturedBatch b;
    b.dataClass = dataClass;
    b.count = count;
    b.handle = handle;
    size_t size = 0;
    switch (dataClass) {
    case 1:
        size = KVO_TICKINDEX_SIZE * size_t(count);
        break;
    case 2:
        size = KVO_TICKSTOCK_SIZE * size_t(count);
        break;
    case 3: {
        int32_t n = 0;
        std::memcpy(&n, static_cast<const char*>(records) + KVO_ORDERQUEUE_HEAD_SIZE - 4, sizeof n);
        size = KvoOrderQueueSize(uint32_t(n));
        break;
    }
    case 4:
        size = KVO_ORDERDATA_SIZE * size_t(count);
        break;
    case 5:
        size = KVO_TRANSACTION_SIZE * size_t(count);
        break;
    case 6:
        size = KVO_SUPERSTOCK_SIZE * size_t(count);
        break;
    default:
        break;
    }
    b.records.assign(static_cast<const char*>(records), size);
    if (timing) b.timing = *timing;
    CallbackCapture::Get().Add(std::move(b));
    return 0;
}

template <int C>
int32_t CaptureClass(void* h, const void* r, uint32_t n, const PushTiming* t) {
    return Capture(C, h, r, n, t);
}

}  // namespace

std::vector<SessionCall> ScriptedMarket::Subscriptions() {
    std::lock_guard<std::mutex> lock(mutex);
    return subscriptions;
}

std::vector<TelemetryCall> ScriptedMarket::Telemetry() {
    std::lock_guard<std::mutex> lock(mutex);
    return telemetry;
}

bool ScriptedMarket::WaitTelemetry(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return telemetry.size() >= n; });
}

bool ScriptedMarket::WaitSubscriptions(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return subscriptions.size() >= n; });
}

int32_t ScriptedMarket::Push(int dataClass, const std::string& records, uint32_t count, const PushTiming& timing) {
    const InstanceConfig* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        c = config;
    }
    if (c == nullptr) return -1;
    QuoteDataCallback fn = nullptr;
    switch (dataClass) {
    case 1:
        fn = c->fnctickindex;
        break;
    case 2:
        fn = c->fnctickstock;
        break;
    case 3:
        fn = c->fncorderqueue;
        break;
    case 4:
        fn = c->fncorderdata;
        break;
    case 5:
        fn = c->fnctransacton;
        break;
    case 6:
        fn = c->fncsuperstock;
        break;
    default:
        break;
    }
    return fn ? fn(nullptr, records.data(), count, &timing) : -1;
}

ScriptedMarket& Market() {
    static ScriptedMarket* m = new ScriptedMarket;
    return *m;
}

kvoapi::IMarketSession* MakeScriptedSession(const InstanceConfig* config, CSocketDataMananger*, const std::string&,
                                            std::shared_ptr<corvane::HostCallGate>) {
    std::lock_guard<std::mutex> lock(Market().mutex);
    Market().config = config;
    return new ScriptedSession;
}

CallbackCapture& CallbackCapture::Get() {
    static CallbackCapture* c = new CallbackCapture;
    return *c;
}

void CallbackCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_batches.clear();
}

std::vector<CapturedBatch> CallbackCapture::Batches() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_batches;
}

bool CallbackCapture::WaitBatches(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_batches.size() >= n; });
}

void CallbackCapture::Add(CapturedBatch batch) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_batches.push_back(std::move(batch));
    m_changed.notify_all();
}

void CallbackCapture::Install(InstanceConfig* config) {
    config->fnctickindex = &CaptureClass<1>;
    config->fnctickstock = &CaptureClass<2>;
    config->fncorderqueue = &CaptureClass<3>;
    config->fncorderdata = &CaptureClass<4>;
    config->fnctransacton = &CaptureClass<5>;
    config->fncsuperstock = &CaptureClass<6>;
}

std::vector<std::string> RecordCodes(const std::string& records, size_t size) {
    std::vector<std::string> codes;
    for (size_t at = 0; size > 21 && at + size <= records.size(); at += size)
        codes.emplace_back(records.c_str() + at + 5, strnlen(records.c_str() + at + 5, 16));
    return codes;
}

void ExpectUnmatchableSubscriptionsRefused(void* instance) {
    for (auto* call : {&KvoSubScribe, &KvoSubScribeAsync}) {
        EXPECT_EQ(call(instance, 7, 3, "USHA", "(600000)"), KVO_ERR_DATACLASS);
        EXPECT_EQ(call(instance, 9, 1, "UXXA", "(600000)"), KVO_ERR_MARKET);
    }
    SubscriberSet holders;
    for (const char* key : {"7|USHA:(600000)", "9|UXXA:(600000)"})
        EXPECT_FALSE(SubscriptionRegistry::Global().FindSubscribers(key, &holders)) << key;
}

void CascadeInstanceTest::SetUp() {
    InstanceDirTest::SetUp();
    if (HasFatalFailure()) return;
    m_previousFactory = kvoapi::SetMarketSessionFactory(&MakeScriptedSession);
    {
        std::lock_guard<std::mutex> lock(Market().mutex);
        Market().subscriptions.clear();
        Market().waitingSubscribeMs = 0;
        Market().telemetry.clear();
        Market().config = nullptr;
    }
    CallbackCapture::Get().Clear();
    SetAdapters({{"lo", "127.0.0.1", "255.0.0.0", true}, {"eth0", "192.168.1.77", "255.255.255.0", false}});
    timers_.loginWaitMs = 600;
    timers_.queryWaitMs = 400;
    timers_.frameTimeoutMs = 300;
    timers_.sendTimeoutMs = 2000;
    timers_.masterIdleMs = 20;
    timers_.acceptWaitMs = 20;
    m_previousTimers = SetCascadeTimers(timers_);
    CallbackCapture::Install(&cfg_);
    cfg_.m_authtype = 1;  // the sessions' own login, no authentication centre
}

void CascadeInstanceTest::TearDown() {
    SetCascadeTimers(m_previousTimers);
    pl::SetIPv4EntrySource(nullptr);
    kvoapi::SetMarketSessionFactory(m_previousFactory);
    InstanceDirTest::TearDown();
}

void CascadeInstanceTest::WriteToolIni(const std::string& text) { std::ofstream(dir_ + "/tool.ini") << text; }

void CascadeInstanceTest::SetAdapters(std::vector<pl::IPv4Entry> entries) {
    pl::SetIPv4EntrySource([entries](std::vector<pl::IPv4Entry>& out) {
        out = entries;
        return true;
    });
}

}  // namespace kvotest
