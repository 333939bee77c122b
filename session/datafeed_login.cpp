// Connect and login of a market session: the walk over the gateway
// addresses, one connect-and-login attempt per address, the login exchange
// on "ReceieveThread", the passport renewal and the operating-system text.
//
// Every attempt is tied to the generation of the connection it opens. The
// thread in Connect arms the login holder for that generation; the exchange,
// its result, a failed connect and the switch of the receive routing act only
// while the holder still waits for their generation. An attempt that Connect
// gave up (a silent gateway) can therefore neither fail nor succeed the next
// address's attempt, and its waiting request is aborted so that the next
// exchange does not queue behind it. An attempt that fails closes its
// connection before Connect returns, so a market that is not logged in has
// none that could still answer.
#include <new>

#include "framework/net/tl_adapters.h"
#include "framework/tl_log.h"
#include "framework/tl_thread.h"
#include "platform/pl_sysinfo.h"
#include "protocol/kvo_message.h"
#include "session/account_auth.h"
#include "session/auth.h"
#include "session/datafeed_manager.h"
#include "session/kvo_texts.h"
#include "session/session_timers.h"
#include "session/session_util.h"

namespace {

constexpr char kLoginVersion[] = "2.2.5";
constexpr char kZipVersion[] = "hq6.0;";
constexpr char kOsTextUnknown[] = "LimitsOfAuthority";
constexpr size_t kOsTextMax = 127;
constexpr char kSignValidMarker[] = "signvalid";

}  // namespace

int32_t CDatafeedSDKManager::MapLoginStatus(int32_t statuscode) {
    if (statuscode >= 0) return statuscode;
    switch (statuscode) {
    case -1:
        return KVO_ERR_AUTH_CENTRE;
    case -4:
        return KVO_ERR_IP_FORBIDDEN;
    case -5:
        return KVO_ERR_LOGIN_REFUSED_5;
    case -6:
        return KVO_ERR_REPEATED_LOGIN;
    case -7:
        return KVO_ERR_LOGIN_REFUSED_7;
    default:  // -3, -2 and every other refusal
        return KVO_ERR_LOGIN_REFUSED;
    }
}

std::string CDatafeedSDKManager::GetOsText() {
    std::string text;
    if (!pl::GetOsName(text)) return kOsTextUnknown;
    if (text.size() > kOsTextMax) text.resize(kOsTextMax);
    return text;
}

// ---- login over the addresses ----

LoginResult CDatafeedSDKManager::Login(kvoapi::LoginAccountInfo& account) {
    if (IsLoggedIn()) return kvoapi::MakeLoginResult(0, kvoapi::kTextAlreadyLoggedIn, "");
    if (IsKicked()) return kvoapi::MakeLoginResult(KVO_ERR_REPEATED_LOGIN, kvoapi::kTextRepeatedLogin, "");
    SetReconnectOnDisconnect(false);
    {
        corvane::CTLSingleLock lock(&m_accountMutex, 1);
        const std::string host = m_account.connected_host;
        const uint32_t port = m_account.connected_port;
        m_account = account;
        m_account.connected_host = host;
        m_account.connected_port = port;
    }
    if (RefreshPassport()) {
        corvane::CTLSingleLock lock(&m_accountMutex, 1);
        account.passport = m_account.passport;
        account.session_id = m_account.session_id;
    }
    if (MacText().empty()) BuildLoginInfo();

    LoginResult result = kvoapi::MakeLoginResult(KVO_ERR_BAD_IP, kvoapi::kTextBadIp, "");
    std::string errorText;
    const uint32_t wait = GetSessionTimers().loginWaitMs;
    for (const auto& [host, port] : Addresses()) {
        result = Connect(host.c_str(), port, wait);
        const std::string statusmsg = kvoapi::BoundedText(result.statusmsg);
        const std::string expire = kvoapi::BoundedText(result.expire_date);
        if (result.nstatuscode >= 0) {
            TL_WriteLog(2,
                        "Type:%s-Login[], connect to ip:%s port:%d success  --loginMsg.nstatuscode:%d  "
                        "loginMsg.statusmsg:%s,loginMsg.expire_date:%s !",
                        m_marketCode.c_str(), host.c_str(), static_cast<int>(port), result.nstatuscode,
                        statusmsg.c_str(), expire.c_str());
            if (m_config.m_connectsubscribe == 1) ReSubAfterLogin();
            if ((ElkEventMask() & kElkLogin) != 0) {
                ElkLog("client@_login", "Login",
                       {{"login_success_ip", host},
                        {"login_success_port", std::to_string(port)},
                        {"login_success_expire_date", expire},
                        {"login_error", errorText}},
                       "");
            }
            return result;
        }
        errorText += host + ":" + std::to_string(port) + "[code:" + std::to_string(result.nstatuscode) +
                     "statusmsg:" + statusmsg + "]   ";
        TL_WriteLog(2,
                    "Type:%s-Login[], connect to ip:%s port:%d fail! Ret:%d  loginMsg.statusmsg:%s,"
                    "loginMsg.expire_date:%s",
                    m_marketCode.c_str(), host.c_str(), static_cast<int>(port), result.nstatuscode, statusmsg.c_str(),
                    expire.c_str());
    }
    SetReconnectOnDisconnect(true);
    return result;
}

bool CDatafeedSDKManager::RefreshPassport() {
    const kvoapi::LoginAccountInfo account = Account();
    if (account.passport.empty() || (account.user_id.empty() && account.session_id.empty())) return false;
    if (account.auth_kind != kvoapi::kAuthFormal) return false;
    // "signvalid", one separator, then the validity date YYYYMMDD. A
    // passport without the marker, or too short to hold the date, counts as
    // not valid today.
    const size_t mark = account.passport.find(kSignValidMarker);
    const size_t date = mark + sizeof(kSignValidMarker);  // marker and separator
    if (mark != std::string::npos && account.passport.size() >= date + 8 &&
        account.passport.compare(date, 8, GetTodayText()) == 0) {
        return false;
    }
    std::string passport;
    std::string sessionId;
    // A session that begins to stop ends the renewal's running request at
    // once instead of waiting out the service.
    const kvoapi::AuthAbortScope stopWithSession(&m_stopping);
    if (!kvoapi::AuthenticateAccount(kvoapi::kAuthTimeoutMs, account.auth_key_selector, account.username,
                                     account.password, &passport, &sessionId)) {
        TL_WriteLog(3, "Type:%s-RefreshPassport[],passport not renewed", m_marketCode.c_str());
        return false;
    }
    corvane::CTLSingleLock lock(&m_accountMutex, 1);
    m_account.passport = passport;
    m_account.session_id = sessionId;
    return true;
}

// ---- one attempt ----

LoginResult CDatafeedSDKManager::Connect(const char* host, uint16_t port, uint32_t timeoutMs) {
    corvane::CTLSingleLock attempt(&m_attemptMutex, 1);
    DisconnectConnection();
    if (!Level7()) m_elkEventMask.store(0, std::memory_order_release);
    {
        corvane::CTLSingleLock lock(&m_accountMutex, 1);
        m_account.connected_host = host ? host : "";
        m_account.connected_port = port;
    }
    // Armed before the connection exists: its connect callback may come at
    // once. Attempts are serialised, so the connection opened next gets the
    // generation after the current one.
    const uint32_t generation = ConnectionId() + 1;
    {
        corvane::CTLSingleLock lock(&m_loginHolder.lock, 1);
        m_loginHolder.generation = generation;
        m_loginHolder.instid = 0;
        m_loginHolder.done = false;
        m_loginHolder.code = 0;
        m_loginHolder.statusmsg.clear();
        m_loginHolder.expire_date.clear();
        m_loginHolder.event.ResetEvent();
    }
    const int32_t opened = host != nullptr ? OpenConnection(host, port) : -1;
    if (opened == 0 && ConnectionId() == generation) {
        const uint64_t deadline = TL_GetTickCount64() + timeoutMs;
        for (;;) {
            {
                corvane::CTLSingleLock lock(&m_loginHolder.lock, 1);
                if (m_loginHolder.done) break;
            }
            const uint64_t now = TL_GetTickCount64();
            if (IsStopping() || now >= deadline) break;
            m_loginHolder.event.Lock(static_cast<uint32_t>(deadline - now));
        }
    }

    LoginResult result{};
    uint32_t abandoned = 0;
    {
        corvane::CTLSingleLock lock(&m_loginHolder.lock, 1);
        if (opened != 0) {
            result = kvoapi::MakeLoginResult(KVO_ERR_CONNECT, kvoapi::kTextCannotConnect, "");
        } else if (m_loginHolder.done) {
            result = kvoapi::MakeLoginResult(m_loginHolder.code, m_loginHolder.statusmsg, m_loginHolder.expire_date);
        } else {
            result = kvoapi::MakeLoginResult(KVO_ERR_TIMEOUT, kvoapi::kTextTimeout, "");
            abandoned = m_loginHolder.instid;
        }
        m_loginHolder.generation = 0;
        m_loginHolder.instid = 0;
    }
    // The exchange of the abandoned attempt stops waiting now.
    if (abandoned != 0) {
        if (auto request = m_pending.Remove(abandoned)) request->Abort();
    }
    // A failed attempt keeps no connection. One left open would still answer
    // queries and subscriptions (answers are matched by request id) while
    // its pushes, routed only after a login, went nowhere. The holder has
    // let go of this generation, so no exchange can log it in any more: once
    // it is closed, a late login answer finds nothing, and the market is
    // logged out as on any other failure.
    if (result.nstatuscode < 0) DisconnectConnection();
    SetLoggedIn(result.nstatuscode >= 0);
    return result;
}

int32_t CDatafeedSDKManager::Login2Datafeed(CClientSession* connection, uint32_t connectionId) {
    const uint32_t instid = NextInstid();
    const kvoapi::LoginAccountInfo account = Account();
    datapacket::LoginReq req;
    req.set_username(account.username);
    if (m_config.m_authtype != 0) req.set_password(account.password);
    req.set_passport(account.passport);
    req.set_mac(MacText());
    req.set_userid(account.user_id);
    req.set_instid(instid);
    req.set_zip_version(kZipVersion);
    req.set_exchange_type(m_marketKind);
    req.set_token(Token());
    if (!account.session_id.empty()) req.set_session_id(account.session_id);
    req.set_usertype(account.auth_kind == kvoapi::kAuthPassport ? kvoapi::kAuthPassport : kvoapi::kAuthFormal);
    req.set_version(std::string(kLoginVersion) + "@@" + GetOsText());
    const std::string body = req.SerializeAsString();
    corvane::CTLSmartBuffer frame;
    std::shared_ptr<SyncRequest> request;
    try {
        request = std::make_shared<SyncRequest>();
    } catch (const std::bad_alloc&) {
        // Not ready: the exchange fails as one without an answer.
    }
    const bool ready = request && BuildKvoFrame(KVO_PACKET_LOGIN_REQ, body.data(), static_cast<uint32_t>(body.size()),
                                                frame) == KVO_FRAME_OK;
    bool entered = false;
    {
        // The request is entered while the holder is held: a Connect that
        // gives up after this finds it and aborts it, so the exchange ends
        // with its attempt and the next attempt's never queues behind it.
        corvane::CTLSingleLock lock(&m_loginHolder.lock, 1);
        if (connectionId == 0 || m_loginHolder.generation != connectionId || m_loginHolder.done ||
            m_loginHolder.instid != 0) {
            return 0;
        }
        m_loginHolder.instid = instid;
        entered = ready && m_pending.Insert(instid, request);
    }

    corvane::CTLSmartBuffer answer;
    datapacket::LoginRsp rsp;
    if (!entered || AwaitAnswer(connection, instid, frame, request, &answer) == 0 ||
        KvoParseBody(answer.GetData(), answer.GetLength(), rsp) != KVO_FRAME_OK) {
        TL_WriteLog(1, "Type:%s-Login2Datafeed[],server verify timeout! ", m_marketCode.c_str());
        SetLoginResult(connectionId, KVO_ERR_TIMEOUT, kvoapi::kTextTimeout, "");
        return 0;
    }

    corvane::CTLSingleLock lock(&m_loginHolder.lock, 1);
    if (m_loginHolder.generation != connectionId || m_loginHolder.done) return 0;
    {
        corvane::CTLSingleLock accountLock(&m_accountMutex, 1);
        m_token = rsp.token();
    }
    const std::string statusmsg = kvoapi::GatewayTextToGbk(rsp.statusmsg());
    if (rsp.statuscode() < 0) {
        SetLoginResult(connectionId, MapLoginStatus(rsp.statuscode()), statusmsg, "");
        return 0;
    }
    // Logged in: everything the session needs is in place before the thread
    // in Connect wakes and the login's telemetry reads the mask.
    EnterSessionReceive(connectionId);
    SetLoopbackSampling(rsp.loopback_sample() != 0);
    m_lastHeartbeatAnswer.store(GetNowMs() / 1000, std::memory_order_release);
    StartHeartbeat();
    if (!Level7()) m_elkEventMask.store(static_cast<uint32_t>(rsp.stats_rate()), std::memory_order_release);
    SetLoginResult(connectionId, rsp.statuscode(), statusmsg, kvoapi::GatewayTextToGbk(rsp.expire_date()));
    return 0;
}

bool CDatafeedSDKManager::SetLoginResult(uint32_t generation, int32_t code, const std::string& statusmsg,
                                         const std::string& expire_date) {
    corvane::CTLSingleLock lock(&m_loginHolder.lock, 1);
    if (generation == 0 || m_loginHolder.generation != generation || m_loginHolder.done) return false;
    m_loginHolder.code = code;
    m_loginHolder.statusmsg = statusmsg;
    m_loginHolder.expire_date = expire_date;
    m_loginHolder.done = true;
    m_loginHolder.event.SetEvent();
    return true;
}

void CDatafeedSDKManager::OnConnectFailed(uint32_t generation) {
    if (SetLoginResult(generation, KVO_ERR_CONNECT, kvoapi::kTextCannotConnect, "")) {
        TL_WriteLog(2, "Type:%s-OnDatafeedDisconnect[],connect failed", m_marketCode.c_str());
    }
}

void CDatafeedSDKManager::StartHeartbeat() {
    // One item circulates for the worker's life: later logins post none.
    if (m_heartbeatStarted.exchange(true, std::memory_order_acq_rel)) return;
    auto* item = new (std::nothrow) HeartBitThreadInfo(GetSessionTimers().heartbeatMs);
    if (item == nullptr || !PostHeartBitItem(kHeartbitThread, item)) {
        delete item;
        m_heartbeatStarted.store(false, std::memory_order_release);
    }
}

// ---- state ----

std::string CDatafeedSDKManager::Token() const {
    corvane::CTLSingleLock lock(&m_accountMutex, 1);
    return m_token;
}

kvoapi::LoginAccountInfo CDatafeedSDKManager::Account() const {
    corvane::CTLSingleLock lock(&m_accountMutex, 1);
    return m_account;
}
