// The 13 exported functions: argument checks, result codes and log lines;
// the work is the instance's. No exception leaves a C function: whatever a
// call throws (memory, thread creation) is answered as a part of the instance
// that could not be allocated. In a child made by fork() every function but
// KvoFreeMem answers as for a null handle, at once and without a log line:
// the instances there are the parent's, their threads absent, their locks
// and connections the parent's.
#include <cstdlib>
#include <cstring>
#include <new>

#include "api/api_support.h"
#include "api/instance_util.h"
#include "session/kvo_texts.h"
#include "api/release_reaper.h"
#include "api/socket_data_manager.h"
#include "framework/tl_hostcall.h"
#include "include/kvoapi.h"
#include "platform/pl_thread.h"

using kvoapi::LogText;
using kvoapi::WriteLog;
using pl::InForkChild;

namespace {

CSocketDataMananger* Instance(void* handle) { return static_cast<CSocketDataMananger*>(handle); }

long long AsNumber(const void* p) { return static_cast<long long>(reinterpret_cast<intptr_t>(p)); }

// One exported call in flight on an instance, for the call's whole
// duration: a release waits until it has returned before it frees anything.
class InstanceCall {
public:
    explicit InstanceCall(void* handle) : m_instance(Instance(handle)) {
        if (m_instance != nullptr) m_instance->EnterCall();
    }
    ~InstanceCall() {
        if (m_instance != nullptr) m_instance->LeaveCall();
    }
    InstanceCall(const InstanceCall&) = delete;
    InstanceCall& operator=(const InstanceCall&) = delete;

private:
    CSocketDataMananger* m_instance;
};

// The rest of a release: once no call is in flight the instance is deleted
// (its destructor waits for its threads and its callbacks under way).
void FinishAndDelete(CSocketDataMananger* instance) {
    instance->FinishRelease();
    delete instance;
}

// A release past its log line: on this thread, or, inside a callback, on a
// thread of its own.
void Release(CSocketDataMananger* instance) {
    // From here on no callback of the instance begins, and the calls in
    // flight on other threads come back with their failure.
    instance->BeginRelease();
    if (corvane::InsideHostCall()) {
        // The thread runs a callback the library made: the teardown, which
        // waits for that callback and for the threads of the instance (this
        // one may be among them), goes on without it.
        try {
            if (kvoapi::RunTeardownLater([instance] { FinishAndDelete(instance); }, instance->Waits())) return;
        } catch (...) {
        }
        WriteLog(1, "KvoReleaseInstance:%lld: no thread for the teardown, the instance is left closed",
                 AsNumber(instance));
        return;
    }
    FinishAndDelete(instance);
}

template <typename F>
long long FnNumber(F fn) {
    return static_cast<long long>(reinterpret_cast<intptr_t>(fn));
}

// The record queries: their log line, argument checks and the instance's
// answer, a malloc block of records or null.
using RecordQuery = void* (CSocketDataMananger::*)(const char*, const char*, uint32_t*, const char*, bool);

template <typename Record>
Record* QueryRecords(const char* name, void* handle, const char* market, const char* codelist, uint32_t* out_count,
                     RecordQuery query) {
    if (InForkChild()) return nullptr;
    WriteLog(5, "%s:%lld  pmarket:%s  pcodelist:%s !", name, AsNumber(handle), LogText(market), LogText(codelist));
    if (!handle || !market || !out_count) return nullptr;
    InstanceCall call(handle);
    try {
        return static_cast<Record*>((Instance(handle)->*query)(market, codelist ? codelist : "", out_count, "", true));
    } catch (...) {
        return nullptr;
    }
}

// The subscription calls past their log line: argument checks and the
// instance's answer; wait tells whether the call waits for the answer.
int32_t SubScribeChecked(void* handle, uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                         const char* codelist, bool wait) {
    if (!handle) return KVO_ERR_HANDLE;
    if (!market) return KVO_ERR_MARKET;
    InstanceCall call(handle);
    try {
        return Instance(handle)->SubScribe(msg_dataclass, subop_type, market, codelist ? codelist : "", true, wait);
    } catch (...) {
        return KVO_ERR_HANDLE;
    }
}

}  // namespace

extern "C" {

KVO_API void* KvoCreateInstance(const InstanceConfig* cfg) {
    if (!cfg || InForkChild()) return nullptr;
    // The first creation keeps the library loaded and registers the exit
    // wait; once the process exits no instance is made.
    if (!kvoapi::ReadyForInstance()) return nullptr;
    CSocketDataMananger* instance = nullptr;
    try {
        instance = new CSocketDataMananger(cfg);
    } catch (...) {
        return nullptr;
    }
    // An exit that began while the instance was built no longer waits for
    // it: it is released, not handed out.
    if (kvoapi::ProcessExiting()) {
        Release(instance);
        return nullptr;
    }
    kvoapi::LogUnpinned();
    const std::string version = kvoapi::BoundedText(cfg->m_version);
    const std::string markets = kvoapi::BoundedText(cfg->m_connectmarket);
    // "%lld" for the handle writes the same text as the framework's "%I64d".
    WriteLog(5,
             "KvoCreateInstance:%lld m_version:%s m_connectmarket:%s m_loglevel:%d m_timeout:%d "
             "m_connectsubscribe:%d m_authtype:%d!fnctickindex:%lld fnctickstock:%lld "
             "fnctransacton:%lld fncorderdata:%lld fncorderqueue:%lld fncsuperstock:%lld "
             "fncnotify:%lld",
             AsNumber(instance), version.c_str(), markets.c_str(), cfg->m_loglevel, cfg->m_timeout,
             cfg->m_connectsubscribe, cfg->m_authtype, FnNumber(cfg->fnctickindex), FnNumber(cfg->fnctickstock),
             FnNumber(cfg->fnctransacton), FnNumber(cfg->fncorderdata), FnNumber(cfg->fncorderqueue),
             FnNumber(cfg->fncsuperstock), FnNumber(cfg->fncnotify));
    return instance;
}

KVO_API int32_t KvoReleaseInstance(void* handle) {
    if (!handle || InForkChild()) return 0;
    WriteLog(5, "KvoReleaseInstance:%lld!", AsNumber(handle));
    Release(Instance(handle));
    return 0;
}

KVO_API int32_t KvoRegisterAddr(void* handle, const char* market, const char* addr, uint16_t port) {
    if (InForkChild()) return KVO_ERR_HANDLE;
    WriteLog(5, "KvoRegisterAddr  pmarket:%s  paddr:%s  port:%d!", LogText(market), LogText(addr),
             static_cast<int>(port));
    if (!handle) return KVO_ERR_HANDLE;
    if (!addr) return KVO_ERR_BAD_IP;
    InstanceCall call(handle);
    try {
        return Instance(handle)->RegisterAddrByMode(market, addr, port);
    } catch (...) {
        return KVO_ERR_HANDLE;
    }
}

KVO_API LoginResult* KvoLogin(void* handle, const char* username, const char* password) {
    const bool forked = InForkChild();
    if (!forked) WriteLog(5, "KvoLogin:%lld  pusername:%s!", AsNumber(handle), LogText(username));
    LoginResult result = kvoapi::MakeLoginResult(KVO_ERR_HANDLE, kvoapi::kTextInvalidHandle, "");
    if (handle && !forked) {
        InstanceCall call(handle);
        try {
            result = Instance(handle)->LoginByMode(username ? username : "", password ? password : "");
        } catch (...) {
            result = kvoapi::MakeLoginResult(KVO_ERR_HANDLE, kvoapi::kTextInvalidHandle, "");
        }
    }
    auto* block = static_cast<LoginResult*>(std::malloc(sizeof(LoginResult)));
    if (!block) return nullptr;
    std::memset(block, 0, sizeof(LoginResult));
    block->nstatuscode = result.nstatuscode;
    kvoapi::CopyTextField(block->statusmsg, kvoapi::BoundedText(result.statusmsg));
    kvoapi::CopyTextField(block->expire_date, kvoapi::BoundedText(result.expire_date));
    return block;
}

KVO_API char* KvoGetCodelist(void* handle, const char* market, uint32_t* out_length) {
    if (InForkChild()) return nullptr;
    WriteLog(5, "KvoGetCodelist:%lld  pmarket:%s!", AsNumber(handle), LogText(market));
    if (!handle || !market || !out_length) return nullptr;
    InstanceCall call(handle);
    try {
        return Instance(handle)->GetCodelist(market, out_length, "", true);
    } catch (...) {
        return nullptr;
    }
}

KVO_API int32_t KvoGetCodeInfo(void* handle) {
    if (!handle || InForkChild()) return KVO_ERR_HANDLE;
    InstanceCall call(handle);
    return Instance(handle)->GetCodeInfo();
}

KVO_API TickIndex* KvoGetTickIndex(void* handle, const char* market, const char* codelist, uint32_t* out_count) {
    return QueryRecords<TickIndex>("KvoGetTickIndex", handle, market, codelist, out_count,
                                   &CSocketDataMananger::GetTickIndex);
}

KVO_API TickStock* KvoGetTickStock(void* handle, const char* market, const char* codelist, uint32_t* out_count) {
    return QueryRecords<TickStock>("KvoGetTickStock", handle, market, codelist, out_count,
                                   &CSocketDataMananger::GetTickStock);
}

KVO_API SuperStock* KvoGetSuperStock(void* handle, const char* market, const char* codelist, uint32_t* out_count) {
    return QueryRecords<SuperStock>("KvoGetSuperStock", handle, market, codelist, out_count,
                                    &CSocketDataMananger::GetSuperStock);
}

KVO_API int32_t KvoSubScribe(void* handle, uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                             const char* codelist) {
    if (InForkChild()) return KVO_ERR_HANDLE;
    WriteLog(5, "KvoSubScribe:%lld  msg_dataclass:%d  subop_type:%d  market:%s  codelist:%s !", AsNumber(handle),
             static_cast<int>(msg_dataclass), static_cast<int>(subop_type), LogText(market), LogText(codelist));
    return SubScribeChecked(handle, msg_dataclass, subop_type, market, codelist, true);
}

KVO_API int32_t KvoSubScribeAsync(void* handle, uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                  const char* codelist) {
    if (InForkChild()) return KVO_ERR_HANDLE;
    return SubScribeChecked(handle, msg_dataclass, subop_type, market, codelist, false);
}

KVO_API int32_t KvoStartOfflineDebug(void* handle, const OfflineDebugConfig* cfg) {
    if (!handle || InForkChild()) return KVO_ERR_NULL_HANDLE_OFFLINE;
    if (!cfg) return KVO_ERR_OFFLINE_PARAMS;
    OfflineDebugConfig copy;
    std::memcpy(&copy, cfg, sizeof(copy));
    // The host's texts may lack their terminators; the copy always has them.
    copy.path[sizeof(copy.path) - 1] = '\0';
    copy.subtype[sizeof(copy.subtype) - 1] = '\0';
    InstanceCall call(handle);
    try {
        return Instance(handle)->StartOfflineDebug(copy);
    } catch (...) {
        return KVO_ERR_HANDLE;
    }
}

KVO_API int32_t KvoFreeMem(void* block) {
    if (!block) return KVO_ERR_NULL_POINTER;
    std::free(block);
    return 0;
}

}  // extern "C"
