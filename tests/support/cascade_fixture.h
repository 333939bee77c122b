// Set-up shared by the cascade tests: a stand-in market session whose
// subscriptions are recorded and whose queries answer from a script, a
// capture of the host's data callbacks, and a fixture that runs an instance
// in a folder of its own with tool.ini, chosen local adapters and short
// cascade timers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cascade/cascade_timers.h"
#include "include/kvoapi.h"
#include "platform/pl_adapters.h"
#include "session/market_session.h"
#include "tests/support/instance_dir.h"

namespace kvotest {

// One subscription a session was asked for: "class|op|market|codelist".
using SessionCall = std::string;

// One telemetry record a session was asked to send.
struct TelemetryCall {
    std::string prefix;
    std::string name;
    std::map<std::string, std::string> fields;
    std::string option;
};

// The state every stand-in session of the process shares with the test.
struct ScriptedMarket {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SessionCall> subscriptions;
    std::string codelist = "600000,600001,600002";
    // Records answered to stock, index and super-stock queries; an empty
    // string answers null.
    std::string stockRecords;
    std::string indexRecords;
    std::string superStockRecords;
    // How long a waiting subscription takes (a gateway slow to answer).
    uint32_t waitingSubscribeMs = 0;
    // The configuration the sessions were built with (the master's relay
    // copy): its data callbacks are where a session delivers pushes.
    const InstanceConfig* config = nullptr;

    std::vector<TelemetryCall> telemetry;

    std::vector<SessionCall> Subscriptions();
    std::vector<TelemetryCall> Telemetry();
    // Waits until at least n telemetry records were asked for.
    bool WaitTelemetry(size_t n, int timeoutMs);
    // Waits until at least n subscriptions were asked for.
    bool WaitSubscriptions(size_t n, int timeoutMs);
    // A push of records of a host data class, as a session delivers it.
    int32_t Push(int dataClass, const std::string& records, uint32_t count, const PushTiming& timing);
};

ScriptedMarket& Market();
// The factory that makes stand-in sessions over Market().
kvoapi::IMarketSession* MakeScriptedSession(const InstanceConfig* config, CSocketDataMananger* owner,
                                            const std::string& market);

// What the host's data callbacks received: per call the class, the count
// and the record bytes.
struct CapturedBatch {
    int dataClass = 0;
    uint32_t count = 0;
    std::string records;
    PushTiming timing{};
    void* handle = nullptr;
};
class CallbackCapture {
public:
    static CallbackCapture& Get();
    void Clear();
    std::vector<CapturedBatch> Batches();
    bool WaitBatches(size_t n, int timeoutMs);
    // Sets the six data callbacks of a configuration to the capture.
    static void Install(InstanceConfig* config);
    void Add(CapturedBatch batch);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CapturedBatch> m_batches;
};

// The code texts of a block of records of one size (code at byte 5).
std::vector<std::string> RecordCodes(const std::string& records, size_t size);

// Both subscription calls of instance with a class outside 1..6 (-1011) and
// a market that names none (-1007, looked at first); nothing may be kept in
// the process's registry.
void ExpectUnmatchableSubscriptionsRefused(void* instance);

// An instance fixture for the cascade roles: a fresh working folder with the
// given tool.ini, the stand-in session factory, the local adapters replaced
// by eth0 192.168.1.77/255.255.255.0 (and the loopback), short cascade
// timers, and the capture installed as the host's callbacks. Everything is
// put back in TearDown.
class CascadeInstanceTest : public InstanceDirTest {
protected:
    explicit CascadeInstanceTest(const char* prefix) : InstanceDirTest(prefix) {}
    void SetUp() override;
    void TearDown() override;

    void WriteToolIni(const std::string& text);
    // The adapters the instance will list (set before it is created).
    void SetAdapters(std::vector<pl::IPv4Entry> entries);

    CascadeTimers timers_;

private:
    kvoapi::MarketSessionFactory m_previousFactory = nullptr;
    CascadeTimers m_previousTimers;
};

}  // namespace kvotest
