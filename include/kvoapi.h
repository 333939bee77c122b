/*
 * kvoapi.h - the public C interface of libkvoapi.so.
 *
 * A host creates an instance from an InstanceConfig, registers gateway
 * addresses per market, logs in, subscribes and queries, and receives pushed
 * record batches through the callbacks of its InstanceConfig. Every block the
 * library returns comes from malloc and goes back through KvoFreeMem.
 *
 * All records are little-endian and byte-packed; texts are zero-terminated,
 * zero-padded and GBK (code page 936). Usable from C (C11) and C++.
 *
 * Calling order: KvoCreateInstance; KvoRegisterAddr for every market and
 * gateway address; KvoLogin; queries and subscriptions; KvoFreeMem for every
 * returned block; KvoReleaseInstance last. For offline playback:
 * KvoCreateInstance, KvoStartOfflineDebug before any online login, then
 * KvoLogin, queries and subscriptions as usual.
 */
#ifndef KVOAPI_H
#define KVOAPI_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* The seven output records (TickIndex, TickStock, SuperStock, OrderData,
 * Transaction, OrderQueue, FiveLevelTick). */
#if defined(__has_include)
#if __has_include("kvo_records.h")
#include "kvo_records.h"
#define KVOAPI_HAVE_RECORDS 1
#endif
#endif

#if defined(_WIN32)
#define KVO_API __declspec(dllexport)
#else
#define KVO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef KVOAPI_HAVE_RECORDS
/* Only pointers to the output records are used here; their layouts come
 * with kvo_records.h. */
struct TickIndex;
struct TickStock;
struct SuperStock;
typedef struct TickIndex TickIndex;
typedef struct TickStock TickStock;
typedef struct SuperStock SuperStock;
#endif

#pragma pack(push, 1)

/* Timing of one pushed batch, milliseconds since 1970-01-01 UTC. */
typedef struct PushTiming {
    uint64_t produce_time; /* when the gateway produced the data */
    uint64_t send_time;    /* when the gateway sent it */
    uint64_t receive_time; /* when the session received it; 0 when produce_time is 0 */
} PushTiming;

/* Connection event handed to fncnotify. code: 1 connection lost or ended by
 * the gateway, 2 network adapter down, 3 logged off by a login elsewhere.
 * text: the market code ("SH") directly followed by the message. */
typedef struct NotifyRecord {
    int32_t code;
    char text[52];
} NotifyRecord;

/* Answer of KvoLogin, in a 144-byte malloc block freed with KvoFreeMem. */
typedef struct LoginResult {
    int32_t nstatuscode;  /* 0 success, else a negative code */
    char statusmsg[70];   /* GBK message */
    char expire_date[70]; /* account expiry text (per market when merged) */
} LoginResult;

/* Offline playback settings for KvoStartOfflineDebug. */
typedef struct OfflineDebugConfig {
    char path[260];         /* folder of the playback files, ending in a separator */
    char subtype[100];      /* data-class names separated by ",";
                               empty: "index,stock,order,trans,superstock,queue" */
    int32_t push_space;     /* pause after each batch, ms */
    int32_t push_count;     /* records per batch */
    int32_t playback_times; /* passes over the list */
} OfflineDebugConfig;

/* Data callback: (handle, first record, record count, timing of the batch).
 * The records belong to the library and are freed when the call returns. */
typedef int32_t (*QuoteDataCallback)(void* handle, const void* records, uint32_t count, const PushTiming* timing);

/* Connection events; the record lives only during the call. */
typedef void (*NotifyCallback)(void* handle, const NotifyRecord* record);

/* Result of an asynchronous subscription (kind 1) or of a kept subscription
 * that could not be sent again after a login or reconnect (kind 2). The texts
 * live only during the call. */
typedef void (*SubscribeCallback)(uint32_t msg_dataclass, uint32_t subop_type, const char* market, const char* codelist,
                                  int32_t result, int32_t kind);

typedef struct InstanceConfig {
    char m_version[20];              /* host's version text, only logged ("2.2.5") */
    char m_logpath[200];             /* root of the "kvolog" folder; empty: the executable's folder */
    char m_connectmarket[20];        /* markets that may be registered ("USH;USZ"); empty: all */
    int32_t m_loglevel;              /* 0..6, otherwise 3; 7 also turns on full telemetry */
    int32_t m_timeout;               /* gateway answer wait, ms; <= 0 means 5000 */
    int32_t m_connectsubscribe;      /* 1: send the kept subscriptions again after a login */
    int32_t m_authtype;              /* non-zero: skip the authentication centre */
    int32_t m_altdataclass;          /* non-zero: alternative order/transaction classes */
    int32_t m_sortpush;              /* with m_altdataclass: sort order/transaction batches */
    QuoteDataCallback fnctickindex;  /* TickIndex, 133 bytes */
    QuoteDataCallback fnctickstock;  /* TickStock, 809 bytes */
    NotifyCallback fncnotify;        /* NotifyRecord */
    QuoteDataCallback fnctransacton; /* Transaction, 69 bytes */
    QuoteDataCallback fncorderdata;  /* OrderData, 71 bytes */
    QuoteDataCallback fncorderqueue; /* OrderQueue, 47 + 4 per volume */
    QuoteDataCallback fncfivelevel;  /* FiveLevelTick, 291 bytes */
    QuoteDataCallback fncsuperstock; /* SuperStock, 357 bytes */
    SubscribeCallback fncsubscribe;  /* asynchronous subscription results */
#ifdef __cplusplus
    /* The library's defaults; every field not named is zero. */
    inline void SetDefaults();
#endif
} InstanceConfig;

#pragma pack(pop)

/* Fills a config with the library's defaults (C form of SetDefaults). */
static inline void InstanceConfig_SetDefaults(InstanceConfig* cfg) {
    memset(cfg, 0, sizeof(*cfg));
    memcpy(cfg->m_version, "2.2.5", 6);
    memcpy(cfg->m_connectmarket, "USH;USZ", 8);
    cfg->m_loglevel = 3;
    cfg->m_timeout = 5000;
}

/* Result codes of the exported functions (texts in GBK). */
enum {
    KVO_OK = 0,
    KVO_ERR_NULL_HANDLE_OFFLINE = -1, /* KvoStartOfflineDebug with a null handle */
    KVO_ERR_OFFLINE_STATE = -101,     /* playback already started or an online login made */
    KVO_ERR_OFFLINE_PARAMS = -102,    /* bad playback numbers */
    KVO_ERR_OFFLINE_CHILD = -103,     /* cascade child */
    KVO_ERR_TIMEOUT = -1002,
    KVO_ERR_IP_FORBIDDEN = -1003,
    KVO_ERR_BAD_ACCOUNT = -1004,
    KVO_ERR_CONNECT = -1005,
    KVO_ERR_BAD_IP = -1006,
    KVO_ERR_MARKET = -1007, /* market refused or not registered */
    KVO_ERR_HANDLE = -1009,
    KVO_ERR_NULL_POINTER = -1010,
    KVO_ERR_DATACLASS = -1011,
    KVO_ERR_AUTH_CENTRE = -1012,
    KVO_ERR_LOGIN_REFUSED = -1013,
    KVO_ERR_CASCADE_MASTER = -1014,
    KVO_ERR_CASCADE_LAN = -1015,
    KVO_ERR_REPEATED_LOGIN = -1016,
    KVO_ERR_LOGIN_REFUSED_5 = -1017,
    KVO_ERR_LOGIN_REFUSED_7 = -1018,
    KVO_ERR_SUBSCRIBE_1 = -10001,
    KVO_ERR_SUBSCRIBE_2 = -10002,
    KVO_ERR_SUBSCRIBE_4 = -10003
};

KVO_API void* KvoCreateInstance(const InstanceConfig* cfg);
KVO_API int32_t KvoReleaseInstance(void* handle);
KVO_API int32_t KvoRegisterAddr(void* handle, const char* market, const char* addr, uint16_t port);
KVO_API LoginResult* KvoLogin(void* handle, const char* username, const char* password);
KVO_API char* KvoGetCodelist(void* handle, const char* market, uint32_t* out_length);
KVO_API int32_t KvoGetCodeInfo(void* handle);
KVO_API TickIndex* KvoGetTickIndex(void* handle, const char* market, const char* codelist, uint32_t* out_count);
KVO_API TickStock* KvoGetTickStock(void* handle, const char* market, const char* codelist, uint32_t* out_count);
KVO_API SuperStock* KvoGetSuperStock(void* handle, const char* market, const char* codelist, uint32_t* out_count);
KVO_API int32_t KvoSubScribe(void* handle, uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                             const char* codelist);
KVO_API int32_t KvoSubScribeAsync(void* handle, uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                  const char* codelist);
KVO_API int32_t KvoStartOfflineDebug(void* handle, const OfflineDebugConfig* cfg);
KVO_API int32_t KvoFreeMem(void* block);

#ifdef __cplusplus
} /* extern "C" */

inline void InstanceConfig::SetDefaults() { InstanceConfig_SetDefaults(this); }
#endif

/* The binary layout is part of the interface. */
#ifdef __cplusplus
#define KVOAPI_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define KVOAPI_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
KVOAPI_STATIC_ASSERT(sizeof(PushTiming) == 24, "PushTiming is 24 bytes");
KVOAPI_STATIC_ASSERT(offsetof(PushTiming, send_time) == 8, "PushTiming.send_time");
KVOAPI_STATIC_ASSERT(offsetof(PushTiming, receive_time) == 16, "PushTiming.receive_time");
KVOAPI_STATIC_ASSERT(sizeof(NotifyRecord) == 56, "NotifyRecord is 56 bytes");
KVOAPI_STATIC_ASSERT(offsetof(NotifyRecord, text) == 4, "NotifyRecord.text");
KVOAPI_STATIC_ASSERT(sizeof(LoginResult) == 144, "LoginResult is 144 bytes");
KVOAPI_STATIC_ASSERT(offsetof(LoginResult, statusmsg) == 4, "LoginResult.statusmsg");
KVOAPI_STATIC_ASSERT(offsetof(LoginResult, expire_date) == 74, "LoginResult.expire_date");
KVOAPI_STATIC_ASSERT(sizeof(OfflineDebugConfig) == 372, "OfflineDebugConfig is 372 bytes");
KVOAPI_STATIC_ASSERT(offsetof(OfflineDebugConfig, subtype) == 260, "OfflineDebugConfig.subtype");
KVOAPI_STATIC_ASSERT(offsetof(OfflineDebugConfig, push_space) == 360, "push_space");
KVOAPI_STATIC_ASSERT(offsetof(OfflineDebugConfig, push_count) == 364, "push_count");
KVOAPI_STATIC_ASSERT(offsetof(OfflineDebugConfig, playback_times) == 368, "playback_times");
KVOAPI_STATIC_ASSERT(sizeof(InstanceConfig) == 336, "InstanceConfig is 336 bytes");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_logpath) == 20, "m_logpath");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_connectmarket) == 220, "m_connectmarket");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_loglevel) == 240, "m_loglevel");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_timeout) == 244, "m_timeout");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_connectsubscribe) == 248, "m_connectsubscribe");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_authtype) == 252, "m_authtype");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_altdataclass) == 256, "m_altdataclass");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, m_sortpush) == 260, "m_sortpush");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fnctickindex) == 264, "fnctickindex");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fnctickstock) == 272, "fnctickstock");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fncnotify) == 280, "fncnotify");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fnctransacton) == 288, "fnctransacton");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fncorderdata) == 296, "fncorderdata");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fncorderqueue) == 304, "fncorderqueue");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fncfivelevel) == 312, "fncfivelevel");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fncsuperstock) == 320, "fncsuperstock");
KVOAPI_STATIC_ASSERT(offsetof(InstanceConfig, fncsubscribe) == 328, "fncsubscribe");

#endif /* KVOAPI_H */
