#include "api/socket_data_manager.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "api/api_support.h"
#include "api/instance_util.h"
#include "session/builtin_hosts.h"
#include "session/kvo_texts.h"
#include "api/process_state.h"
#include "cascade/relay.h"
#include "framework/tl_thread.h"
#include "session/account_auth.h"
#include "session/dataclass.h"
#include "session/session_timers.h"

namespace kvoapi {

NetEngineUse::NetEngineUse() : m_result(AcquireNetEngine()) {}
NetEngineUse::~NetEngineUse() {
    if (m_result == 0) ReleaseNetEngine();
}

}  // namespace kvoapi

using namespace kvoapi;

CSocketDataMananger::CSocketDataMananger(const InstanceConfig* config)
    : m_gate(std::make_shared<corvane::HostCallGate>()), m_usedRelay(std::make_shared<std::atomic<bool>>(false)) {
    InitLog(config);
    if (m_netUse.StartResult() != 0) {
        WriteLog(1, "CSocketDataMananger: socket engine start failed: 0x%08x",
                 static_cast<unsigned>(m_netUse.StartResult()));
    }
    m_local = GetLocalAdapters();

    m_settings = ReadToolIni();
    m_offlineState = kOfflineNo;
    SetCallbackContext(this, config, m_gate);
    if (m_settings.mode != kStandalone) {
        WriteLog(2, "SocketStart--master:%s socket_port:%s IP:%s  IpMask:%s!", m_settings.master_text.c_str(),
                 m_settings.socket_port_text.c_str(), m_local.addresses.c_str(), m_local.masks.c_str());
    }

    if (config) {
        // A private copy with terminated texts, so that nothing later reads the
        // host's memory.
        std::memcpy(&m_hostConfig, config, sizeof(m_hostConfig));
        m_hostConfig.m_version[sizeof(m_hostConfig.m_version) - 1] = '\0';
        m_hostConfig.m_logpath[sizeof(m_hostConfig.m_logpath) - 1] = '\0';
        m_hostConfig.m_connectmarket[sizeof(m_hostConfig.m_connectmarket) - 1] = '\0';
        m_config = &m_hostConfig;
        m_connectMarket = BoundedText(config->m_connectmarket);
        if (m_settings.mode == kMaster) {
            std::memcpy(&m_relayConfig, &m_hostConfig, sizeof(m_relayConfig));
            FillRelayCallbacks(&m_relayConfig);
        }
    }

    ICascadeHost* host = this;  // a private base: converted here, where it is reachable
    m_cascade = std::make_unique<CascadeNode>(host, m_settings, m_local);
    if (m_settings.mode == kMaster || m_settings.mode == kChild) Start();
}

CSocketDataMananger::~CSocketDataMananger() {
    // A release did these already; an instance deleted directly does them
    // here: no host callback begins any more, and no call is in flight.
    BeginRelease();
    FinishRelease();
    // Threads that can reach this instance end first, then the sessions; the
    // socket engine use (m_netUse) is given back last, after every session
    // closed its connection on a running engine.
    Stop();
    std::map<std::string, std::unique_ptr<IMarketSession>> sessions;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        sessions.swap(m_sessions);
    }
    for (auto& [code, session] : sessions) session.reset();
    ClearCallbackContextIf(this);
    WaitForCallbacks();
}

void CSocketDataMananger::EnterCall() { m_calls.fetch_add(1, std::memory_order_seq_cst); }

void CSocketDataMananger::LeaveCall() {
    if (!m_releasing.load(std::memory_order_seq_cst)) {
        // Nothing of the instance is touched after the count: a release that
        // began meanwhile finds it by its next look.
        m_calls.fetch_sub(1, std::memory_order_seq_cst);
        return;
    }
    // Under the mutex, so that the release, which looks under it, deletes
    // the instance only after this thread let go of it.
    std::lock_guard<std::mutex> lock(m_callMutex);
    if (m_calls.fetch_sub(1, std::memory_order_seq_cst) == 1) m_callsDone.notify_all();
}

void CSocketDataMananger::BeginRelease() {
    m_gate->Close();
    m_releasing.store(true, std::memory_order_seq_cst);
    WakeWaits();
}

void CSocketDataMananger::WakeWaits() {
    for (IMarketSession* session : SessionsInOrder()) session->BeginStop();
    if (m_cascade) m_cascade->Abandon();
}

void CSocketDataMananger::FinishRelease() {
    // A call may begin a new wait, or build a session, just after a wake:
    // the wake is repeated until every call has returned.
    const uint32_t limit = GetSessionTimers().stopWaitMs;
    const uint64_t start = TL_GetTickCount64();
    bool logged = false;
    for (;;) {
        WakeWaits();
        {
            std::unique_lock<std::mutex> lock(m_callMutex);
            if (m_callsDone.wait_for(lock, std::chrono::milliseconds(10),
                                     [this] { return m_calls.load(std::memory_order_seq_cst) == 0; }))
                break;
        }
        if (!logged && TL_GetTickCount64() - start > limit) {
            // A call that does not return: nothing is freed under it.
            WriteLog(1, "KvoReleaseInstance: %u calls still running after %u ms, waiting", m_calls.load(), limit);
            logged = true;
        }
    }
    if (logged) {
        WriteLog(1, "KvoReleaseInstance: the calls ended after %llu ms",
                 static_cast<unsigned long long>(TL_GetTickCount64() - start));
    }
}

void CSocketDataMananger::WaitForCallbacks() {
    // The sessions' callbacks ended with their threads; what is left runs on
    // the process-wide relay thread, which outlives the instance.
    const uint32_t limit = GetSessionTimers().stopWaitMs;
    if (m_gate->WaitIdle(limit)) return;
    const uint64_t start = TL_GetTickCount64();
    WriteLog(1, "KvoReleaseInstance: a callback still running after %u ms, waiting", limit);
    while (!m_gate->WaitIdle(limit)) {
    }
    WriteLog(1, "KvoReleaseInstance: the callback ended after %llu ms",
             static_cast<unsigned long long>(TL_GetTickCount64() - start + limit));
}

void CSocketDataMananger::ProcessItem(CQueueTaskItem* item) { delete item; }

std::string CSocketDataMananger::LogPathFor(const InstanceConfig& config) { return LogFilePath(config, kLogFile); }

int CSocketDataMananger::LogLevelFor(int32_t loglevel) {
    return (loglevel >= 0 && loglevel <= 6) ? loglevel : kDefaultLogLevel;
}

void CSocketDataMananger::InitLog(const InstanceConfig* config) {
    InstanceConfig defaults;
    defaults.SetDefaults();
    const InstanceConfig& cfg = config ? *config : defaults;
    m_logPath = LogPathFor(cfg);
    m_logLevel = LogLevelFor(cfg.m_loglevel);
    // Opening the log creates its folders.
    OpenInstanceLog(m_logPath, m_logLevel);
}

std::string CSocketDataMananger::OfflineState() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_offlineState;
}

LoginAccountInfo CSocketDataMananger::Account() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_account;
}

std::vector<std::string> CSocketDataMananger::Markets() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<std::string> codes;
    for (const auto& entry : m_sessions) codes.push_back(entry.first);
    return codes;
}

IMarketSession* CSocketDataMananger::Session(const std::string& market) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_sessions.find(market);
    return it == m_sessions.end() ? nullptr : it->second.get();
}

std::string CSocketDataMananger::MasterAddress() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_masterAddress;
}

uint16_t CSocketDataMananger::MasterPort() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_masterPort;
}

std::vector<IMarketSession*> CSocketDataMananger::SessionsInOrder() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<IMarketSession*> list;
    for (const auto& entry : m_sessions) list.push_back(entry.second.get());
    return list;
}

int32_t CSocketDataMananger::RegisterAddr(const char* market, const char* addr, uint16_t port, bool front) {
    const std::string code = NormaliseMarket(market);
    if (!market || code.empty() || !m_config) return KVO_ERR_MARKET;
    if (!addr) return KVO_ERR_BAD_IP;

    if (std::strcmp(market, "auth") == 0) return RegisterAuth(addr, port);

    if (std::strcmp(market, "qsuserdata") == 0) {
        for (IMarketSession* session : SessionsInOrder()) {
            if (session->SendUserData(addr) == 0) return 0;
        }
        return KVO_ERR_NULL_POINTER;
    }

    if (std::strcmp(market, "superstocklevel") == 0) {
        const std::vector<IMarketSession*> sessions = SessionsInOrder();
        // Read as a decimal number; out-of-range texts saturate instead of
        // wrapping (the session clamps to its own range).
        const long long value = std::strtoll(addr, nullptr, 10);
        const int32_t level = static_cast<int32_t>(
            std::clamp<long long>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
        for (IMarketSession* session : sessions) session->SetSuperStockLevel(level);
        return sessions.empty() ? -1 : 0;
    }

    // A registration names a session by its own code ("ZO" and "SO" are
    // names only subscriptions take).
    if (MarketSessionCode(market) != code) return KVO_ERR_MARKET;
    if (!m_connectMarket.empty() && m_connectMarket.find(code) == std::string::npos) {
        return KVO_ERR_MARKET;
    }

    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        auto it = m_sessions.find(code);
        if (it != m_sessions.end()) return it->second->AddAddress(addr, port, front);
    }
    // A new session is built without the instance mutex: its constructor
    // starts the session's threads (and joins them again when it fails).
    MarketSessionFactory factory = GetMarketSessionFactory();
    const InstanceConfig* sessionConfig = m_settings.mode != kStandalone ? &m_relayConfig : m_config;
    std::unique_ptr<IMarketSession> made;
    if (factory) {
        try {
            made.reset(factory(sessionConfig, this, code, m_gate));
        } catch (...) {  // memory or threads: the session cannot be built
            made.reset();
        }
    }
    if (!made) {
        WriteLog(1, "RegisterAddr: no session for market %s", code.c_str());
        return KVO_ERR_HANDLE;
    }
    std::unique_ptr<IMarketSession> spare;  // one built by a racing call; freed unlocked
    int32_t result;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        auto it = m_sessions.find(code);
        if (it == m_sessions.end()) {
            it = m_sessions.emplace(code, std::move(made)).first;
        } else {
            spare = std::move(made);
        }
        result = it->second->AddAddress(addr, port, front);
    }
    return result;
}

int32_t CSocketDataMananger::RegisterAuth(const char* text, uint16_t type) {
    const std::string auth = text ? text : "";
    std::string passport;
    std::string userId;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_account.passport = auth;
        const size_t key = auth.find("userid=");
        if (key != std::string::npos) {
            const size_t begin = key + 7;
            const size_t bar = auth.find('|', begin);
            if (bar != std::string::npos) m_account.user_id = auth.substr(begin, bar - begin);
        }
        passport = m_account.passport;
        userId = m_account.user_id;
    }

    if (type == 1 || type == 2) {
        const uint16_t port = type == 2 ? kBuiltinGatewayPortType2 : kBuiltinGatewayPortType1;
        const BuiltinHosts hosts = GetBuiltinHosts();
        for (const char* market : {"USH", "USZ"}) {
            for (const std::string& address : hosts.gatewayAddresses) {
                RegisterAddr(market, address.c_str(), port, false);
            }
        }
    }

    if (passport.empty() || userId.empty() || type < 1 || type > 3) return KVO_ERR_MARKET;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_account.auth_kind = kAuthPassport;
    return 0;
}

LoginResult CSocketDataMananger::CheckLogin(const char* username, const char* password) {
    const std::string user = username ? username : "";
    const std::string pass = password ? password : "";
    LoginResult result = MakeLoginResult(0, kTextLoginOkChecked, "");
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_account.username = user;
        m_account.password = pass;
        if (!m_account.passport.empty() && (!m_account.user_id.empty() || !m_account.session_id.empty())) {
            return result;
        }
        if (IsInternalAccount(user.c_str(), user.size()) || user == kInternalAccountMarker) {
            m_account.auth_kind = kAuthInside;
            return result;
        }
        if (m_config && m_config->m_authtype != 0) {
            m_account.auth_kind = kAuthGatewayAuth;
            return result;
        }
    }
    std::string passport;
    std::string sessionId;
    const bool ok = AuthenticateAccount(user, pass, &passport, &sessionId);
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (ok) {
        m_account.passport = passport;
        m_account.session_id = sessionId;
    } else {
        result = MakeLoginResult(KVO_ERR_AUTH_CENTRE, kTextAuthCentreFailed, "");
    }
    m_account.auth_kind = kAuthFormal;
    return result;
}

bool CSocketDataMananger::AuthenticateAccount(const std::string& username, const std::string& password,
                                              std::string* passport, std::string* session_id) {
    return kvoapi::AuthenticateAccount(kAuthTimeoutMs, m_settings.auth_test, username, password, passport, session_id);
}

LoginResult CSocketDataMananger::Login(const char* username, const char* password, const std::string& local_addresses) {
    const LoginResult precheck = CheckLogin(username, password);
    if (precheck.nstatuscode < 0) return precheck;

    LoginAccountInfo account;
    std::vector<std::pair<std::string, IMarketSession*>> sessions;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_account.local_addresses = local_addresses;
        m_account.process_id = static_cast<uint32_t>(getpid());
        account = m_account;
        account.auth_key_selector = m_settings.auth_test;
        for (const auto& entry : m_sessions) sessions.emplace_back(entry.first, entry.second.get());
    }

    // The account goes from market to market: a passport one session renews
    // is the next one's, and the instance keeps it.
    std::vector<MarketLoginResult> results;
    for (const auto& [code, session] : sessions) results.emplace_back(code, session->Login(account));
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_account.passport = account.passport;
        m_account.session_id = account.session_id;
    }
    return MergeLoginResults(precheck, results);
}
