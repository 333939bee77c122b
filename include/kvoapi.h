/*
 * kvoapi.h - the public C interface of libkvoapi.so.
 *
 * A host creates an instance from an InstanceConfig, registers gateway
 * addresses per market, logs in, subscribes and queries, and receives pushed
 * record batches through the callbacks of its InstanceConfig. Usable from C
 * (C11) and C++.
 *
 * Records and texts. The layouts of the output records (TickIndex,
 * TickStock, SuperStock, OrderData, Transaction, OrderQueue, FiveLevelTick)
 * are in kvo_records.h, installed beside this header and included by it
 * when found.
 * All records are little-endian and byte-packed; texts are zero-terminated,
 * zero-padded and GBK (code page 936), the library's own messages included.
 *
 * Memory. Every block a function returns (the LoginResult of KvoLogin, the
 * code list, the record arrays of the snapshot queries) comes from malloc,
 * belongs to the host and goes back through KvoFreeMem. What a callback
 * receives belongs to the library and lives only during the call.
 *
 * Handles. The only check made on a handle is against null (the code each
 * function gives for it is named there). A released handle, or any pointer
 * KvoCreateInstance did not return, is not detected and must never be
 * passed.
 *
 * Calling order: KvoCreateInstance; KvoRegisterAddr for every market and
 * gateway address; KvoLogin; queries and subscriptions; KvoFreeMem for every
 * returned block; KvoReleaseInstance last. For offline playback:
 * KvoCreateInstance, KvoStartOfflineDebug before any online login, then
 * KvoLogin, queries and subscriptions as usual. Host threads may call the
 * functions at the same time.
 *
 * Waiting. KvoLogin, the snapshot queries and KvoSubScribe block the calling
 * thread until the gateway answers: a query or subscription at most
 * m_timeout ms (5000 when not positive), a login attempt at most m_timeout
 * or 5000 ms, whichever is less, per gateway address. Nothing checks first
 * that the market is logged in: a query or waiting subscription made before
 * the login, or while the market is logged out, waits the whole m_timeout
 * and then gives -1002 (or null). Queries do not wait for one another: two
 * queries, of one kind and market too, go to the gateway at once and each
 * waits for its own answer.
 *
 * Threads. Callbacks come on library threads (named at each callback type
 * below) and may run while host threads are inside any function. No lock of
 * the library is held while it calls the host, and a callback may call any
 * function, KvoReleaseInstance of its own instance included (see there). A
 * waiting call made inside a callback holds that callback's thread for its
 * wait (a data callback's kind and market get no data meanwhile).
 *
 * Fork. A child made by fork() after the process's first KvoCreateInstance
 * holds only the thread that forked, none of the library's: it may do
 * nothing with the library, and ends with _exit or an exec (a child forked
 * inside a callback: before that callback returns). Ending it with exit()
 * or a return from main does no harm either: the library's part of that
 * exit waits for nothing. A call it makes anyway returns at once and
 * touches nothing its parent owns (no thread waited for, no connection shut
 * down, no log line): KvoCreateInstance null; KvoReleaseInstance 0, the
 * inherited instance left as it is; KvoRegisterAddr, KvoGetCodeInfo,
 * KvoSubScribe and KvoSubScribeAsync -1009; KvoLogin a block holding -1009
 * with the null handle's text; the queries null, the out value untouched;
 * KvoStartOfflineDebug -1; KvoFreeMem frees the block as usual. A host
 * built with LeakSanitizer gets, at a child's exit(), reports of the blocks
 * that only the parent's threads held: end the child with _exit, or turn
 * the check off in it. A child forked before the first KvoCreateInstance is
 * an ordinary process and may use the library.
 *
 * Log. A process has one log, which all its instances write. Each
 * KvoCreateInstance points it at m_logpath/kvolog (the folder is made then)
 * and sets its level from m_loglevel: from then on the lines of every
 * instance go there at that level, so a later instance's folder receives the
 * earlier instances' later lines. Nothing is moved: lines already written
 * stay in the file they were written to. The file is named with the date and
 * a file number, "kvoapi20261208_000.log", and each folder the log is
 * pointed at starts with "_000" again. It appears with the first line
 * written (lines above the level are not). Each line is appended to the
 * file, whatever it holds already, so a second process writing to the same
 * folder on the same day appends to the same file. One log writer thread, started by the
 * first creation, rolls the file about every 10 s: on a new day to that
 * day's "_000", and when the file is larger than 4 MiB to the next file
 * number not yet taken. The size is checked only then, so a file grows past
 * 4 MiB by all that is written until the next roll. The thread stays after
 * the last release, until the process ends, and is never started twice.
 * At m_loglevel 7 each market also appends its telemetry records, one line
 * each, to "kvosdk.log" in the instance's own m_logpath/kvolog; that file is
 * never rolled. Below level 7 only the record of a reconnect that found no
 * gateway goes there, and only when the gateway asked for login telemetry.
 *
 * Connection loss. A logged-in market sends a heartbeat every 2 s. After the
 * first successful KvoLogin a dropped TCP connection is noticed only when no
 * heartbeat answer came for 14 s: until then the host gets no data and no
 * notification (up to about 16 s after the drop). The market then
 * reconnects: it tries every registered address in order, for 3 rounds
 * without a pause (each attempt waits as a login attempt does, see Waiting;
 * a refused connection fails at once).
 *  - A reconnect that succeeds sends every kept subscription again and is
 *    not reported to the host. From then on a dropped connection reconnects
 *    at once.
 *  - A reconnect does not bring back what was pushed while the connection
 *    was down: a push cut off by the drop (a connection reset in the middle
 *    of it) and every push until the reconnect are lost; the data resume
 *    with the next push after it, and nothing tells the host.
 *  - When every attempt fails, fncnotify gets code 1 (code 2 when the
 *    machine has no working network adapter) and the market stays logged
 *    out: nothing retries, no data come, queries and waiting subscriptions
 *    wait their m_timeout and fail. The host must call KvoLogin again; that
 *    login sends the kept subscriptions again only with m_connectsubscribe
 *    1 (otherwise the host subscribes again itself).
 *  - A gateway may also ask for a reconnect (treated as above), or end the
 *    market: fncnotify code 3, or code 1 followed by the gateway's own text.
 *    Every later KvoLogin of that market then gives -1016: release the
 *    instance and create another.
 *
 * Subscriptions. msg_dataclass: 1 index ticks, 2 stock ticks, 3 order
 * queues, 4 orders, 5 transactions, 6 super-stock ticks. market: the
 * market's text as the records carry it ("USHA", "USZA", "USHI"). codelist:
 * the codes as the gateway takes them, "(600000,600036)", with "()" for the
 * whole market. subop_type, for one data class of one market:
 *   1 replaces the class's codes for that market with the list;
 *   2 drops the class for that market;
 *   3 adds the codes;
 *   4 removes the codes;
 *   8 clears the market's kept list (nothing is sent, the result is 0);
 *   any other value is sent to the gateway as -1, and kept.
 * Each market keeps every other call of data class 1 to 6 that reaches its
 * session, in call order and whatever its result; the whole list is sent
 * again after every successful reconnect and after a KvoLogin with
 * m_connectsubscribe 1. Only subop_type 8 empties it.
 *
 * Roles. "tool.ini" in the process's working folder, read at creation, makes
 * an instance a cascade master ("master=true", serving child instances on
 * port "socket_port=N") or a child ("master=false": it logs in, queries and
 * subscribes through its master); without it the instance is standalone.
 * A child listens on socket_port as a master does, to serve children of its
 * own. A port already in use (a child and its master on one machine with
 * the same socket_port, or a second master or child in one process) is
 * reported only in the log ("cannot listen on port N (errno 98)"): the
 * instance is created all the same and serves no children.
 * A child's markets are its master's: it may query and subscribe markets it
 * never registered (see KvoRegisterAddr). A child is never told that its
 * master has gone (released, ended, or the connection broken): no fncnotify
 * comes, the data simply stop, queries give null, subscriptions give -1014
 * once the child saw the connection close (see KvoSubScribe), and KvoLogin
 * gives -1014 until a master listens at that address again.
 * A master sends to each child from a queue of its own and never waits for
 * one: a child that stops reading (its process stopped or hung, its network
 * gone) delays no other child. A slow child is dropped as if it had left
 * (its codes are given up upstream unless another subscriber holds them)
 * for one of two reasons only: bytes waited for it and it took none of them
 * for 10 s, or its backlog would pass 64 MiB. A child that keeps reading,
 * however slowly, is never dropped for time: its backlog grows instead, up
 * to that bound.
 * Until a connection's login was accepted, a master (and a child serving
 * children) reads from it only frames of up to 8 KiB, room for a login
 * whose user name, password and adapter lists (32 bytes an adapter) fit
 * together; a connection announcing a larger frame before its login is
 * closed at its header. A child whose host blocks inside a data callback
 * keeps reading its master: what arrives meanwhile waits in the child's own
 * memory, without bound, until the callbacks return.
 * A master's host has no such room: its data callbacks run on the one relay
 * thread that also builds every child's records, so a master host that
 * blocks in a data callback delays every child's data, of every class, by
 * as long. A master passes its children's subscription changes, and the
 * removal of a leaving child's codes, to its gateways without waiting for
 * the answers, which only its log gets (neither the child nor the master's
 * host is told): a gateway that does not answer holds up no child and no
 * other market. The master host's own KvoSubScribe still waits.
 * The cascade relay, the playback thread and the handle their data callbacks
 * get are process-wide: one cascade or playback instance per process, and in
 * those roles the data callbacks are those of the instance created last (of
 * any role, a standalone one included). Releasing that instance leaves the
 * relay without data callbacks until the next KvoCreateInstance: a master,
 * or a playback, still running in the process then delivers its data to no
 * one, and the next instance created (of any role) gets it. Releasing an
 * instance never stops the relay for another one still running: that one's
 * children keep their data, and the subscriptions made through the masters
 * and playbacks of the process stay until its last master, child or
 * playback instance is released.
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

/* Connection event handed to fncnotify. code: 1 connection lost (no
 * gateway found by the reconnect) or the session ended by the gateway, 2
 * network adapter down, 3 logged off by a login elsewhere. text: the market
 * code ("SH") directly followed by the message. */
typedef struct NotifyRecord {
    int32_t code;
    char text[52];
} NotifyRecord;

/* Answer of KvoLogin, in a 144-byte malloc block freed with KvoFreeMem.
 * In the standalone and master roles, once the authentication step passed
 * and a market is registered, both texts hold one entry per market, in the
 * order OO, SH, SZ, between parentheses, a single market's too:
 * (SH:"..." SZ:"..." ), or (SH:"..." ) with one. Every other answer has
 * plain texts: a child's, one during playback, one with no market
 * registered, a refusal of the authentication centre (-1012), and a null
 * handle's. */
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
 * The records lie back to back in the layout of their kind (kvo_records.h);
 * they belong to the library and are freed when the call returns; the
 * result is ignored. The handle is the instance that received the data (in
 * the master role and during playback: the process's last created
 * instance, and no call at all once that one was released; see Roles).
 * Threads: each market has one push worker per kind, so the calls of one
 * kind and market never overlap, while kinds and markets run in parallel.
 * Index and five-level ticks share one worker (five-level ticks, which the
 * gateway pushes on its own, arrive only once index ticks of that market
 * were subscribed); index ticks, five-level ticks and order queues come
 * push by push (an order queue as one record per call); stock ticks,
 * orders, transactions and super-stock ticks come as one batch of all that
 * arrived meanwhile. In the master role and during playback the data
 * callbacks (fncfivelevel excepted) run on the process's one relay thread;
 * in the master role that thread also builds every child's records, so a
 * data callback that blocks delays every child's data of every class by as
 * long. */
typedef int32_t (*QuoteDataCallback)(void* handle, const void* records, uint32_t count, const PushTiming* timing);

/* Connection events; the record lives only during the call. Codes 1 and 2
 * after a failed reconnect come on the market's reconnect thread. Code 3,
 * and code 1 with the gateway's own text, come on the socket thread that
 * read the gateway's notification: that connection is not read until the
 * callback returns, so make no waiting call on that market inside it. */
typedef void (*NotifyCallback)(void* handle, const NotifyRecord* record);

/* Result of an asynchronous subscription (kind 1) or of a kept subscription
 * that could not be sent again after a login or reconnect (kind 2), with the
 * call's class, operation, market and code list. The texts live only during
 * the call.
 * Kind 1 comes on the market's subscription-check thread (it looks once a
 * second): result is the gateway's status as KvoSubScribe gives it, or -1002
 * once no answer came for more than m_timeout in whole seconds (rounded
 * down, and counted on the clock's whole seconds): between that many
 * seconds and 2 s more after the call (m_timeout 2500: 2 to 4 s). The first
 * asynchronous call of a market starts the thread, and its -1002 comes
 * after m_timeout and up to a second more.
 * Kind 2 comes on the thread that sends the kept list again: the host's
 * thread inside KvoLogin, or the market's reconnect thread. A refused entry
 * is reported and the next ones are still sent; an entry still unanswered
 * after a second try is reported and ends the re-sending.
 * No instance handle comes with the report: a host whose instances share one
 * function cannot tell whose report it is (give each instance a function of
 * its own). */
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

/* Fills a config with the library's defaults (C form of SetDefaults):
 * version "2.2.5", markets "USH;USZ", log level 3, m_timeout 5000, every
 * other field zero (no callback). */
static inline void InstanceConfig_SetDefaults(InstanceConfig* cfg) {
    memset(cfg, 0, sizeof(*cfg));
    memcpy(cfg->m_version, "2.2.5", 6);
    memcpy(cfg->m_connectmarket, "USH;USZ", 8);
    cfg->m_loglevel = 3;
    cfg->m_timeout = 5000;
}

/* Result codes of the exported functions and of LoginResult (its texts
 * are GBK). Each function's comment names the codes it can give. */
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

/* Creates an instance from cfg. The record is copied (texts read within
 * their fields, callbacks included): it may be freed at once, and changing
 * it later changes nothing. Moves the process's log into m_logpath/kvolog
 * (see Log) and reads "tool.ini" (see Roles); it does not wait for any
 * gateway. Result: the handle, or null for a null cfg, when the instance
 * cannot be built, once the process is exiting (see KvoReleaseInstance), or
 * in a child made by fork() (see Fork).
 * The first call keeps the library loaded until the process ends: dlclose
 * then only gives back the host's reference, whatever instances live.
 * Should that fail (the log says so at level 1: "the library cannot be kept
 * loaded"), dlclose may unload the library, and the end of the process
 * waits for no teardown (see KvoReleaseInstance). */
KVO_API void* KvoCreateInstance(const InstanceConfig* cfg);

/* Releases the instance; the result is always 0, a null handle is ignored.
 * It may be called from any thread, inside any callback of this or another
 * instance included, in every role and during offline playback. Blocks
 * returned earlier stay the host's. The release of the process's last
 * instance prints "SocketLink ThreadCheckFunc exit." on a line of standard
 * output.
 * - From the moment it is called no callback of the instance begins (one
 *   already running on another thread runs to its end).
 * - Calls other threads are making on the same instance return promptly
 *   with their usual failure (null for queries, -1002 for waiting
 *   subscriptions, a failed LoginResult), and nothing they use is freed
 *   before they have returned. One is not cut short: a KvoLogin whose
 *   account is being checked at the authentication centre returns when
 *   that check ends (each of its three requests gives up after 2000 ms in
 *   which nothing arrives), and the release waits for it.
 * - Called outside a callback, it returns once the instance is torn down:
 *   its threads (a playback it started included) ended, its connections
 *   closed, its memory freed. A callback that does not return on another
 *   thread keeps it waiting (logged after 3000 ms).
 * - Called inside a callback, it returns 0 at once without waiting for its
 *   own thread: the teardown goes on on a thread of the library and
 *   completes as soon as that callback returns.
 * - Ending the process (main returning, or exit on any thread) waits for
 *   every such teardown under way or begun while the process exits, for
 *   2000 ms at most in all; then it writes one log line and the exit goes
 *   on without the teardowns still running. The wait comes before every
 *   exit handler and static destructor registered before the process's
 *   first KvoCreateInstance, and from its start KvoCreateInstance gives
 *   null (one under way on another thread as it begins releases the
 *   instance it built and gives null too). Two exits do not wait for the
 *   teardown, which waits for the exiting thread itself: an exit on a
 *   thread that is inside a callback of the released instance (the
 *   callback that made the release, say), and an exit inside a data
 *   callback on the relay thread when the released instance ever was a
 *   master, a child or played back (its teardown stops that thread). An
 *   instance never released is not torn down at exit: its threads, and its
 *   callbacks, go on during the wait and until the process ends, and
 *   nothing they use is freed before.
 * - dlclose, at any time after the first KvoCreateInstance, only gives back
 *   the host's reference: the library stays loaded, under the threads of
 *   live instances and of teardowns alike, until the process ends.
 * Release comes last: a call on the handle that begins after the release
 * began (from the releasing callback too), or any later use of the handle,
 * is not allowed (only a null handle is checked). */
KVO_API int32_t KvoReleaseInstance(void* handle);

/* Registers a gateway address (a host name or an IPv4 text) and port for a
 * market: "USH" (also "USHA", "USHI"...: the 2nd and 3rd letters name the
 * market, SH, SZ or OO), which m_connectmarket must contain unless it is
 * empty. The first registration of a market creates its session and
 * threads; an address registered later is tried before the earlier ones.
 * Special market texts: "auth" (address: the authentication text, port: the
 * auth type 1 to 3), "superstocklevel" (address: the depth, a decimal
 * number read from the start of the text, so that a text that is not a
 * number, "abc", reads as 0; kept within 10..1000, so such a text sets 10),
 * "qsuserdata" (user data for the telemetry, taken by the first market
 * whose telemetry records it: every market at
 * m_loglevel 7, below that only one whose gateway asked for it at its last
 * login; -1010 otherwise, so always below level 7 before a login; the
 * record goes to the gateway while logged in, and at level 7 to
 * "kvosdk.log", see Log).
 * "auth" of type 1 or 2 first registers the three built-in gateway
 * addresses for "USH" and "USZ" (those m_connectmarket allows), on port 8503
 * (type 1) or 8603 (type 2), tried after every address the host registers;
 * type 3 registers none. Only then is the text checked: an empty text, one
 * without a user id ("userid=" followed by the id and "|"), or a type
 * outside 1..3 gives -1007, and the addresses stay registered: those markets
 * then have sessions, KvoLogin tries those hosts, and queries and
 * subscriptions on them wait (see Waiting) instead of failing at once.
 * Every "auth" text, refused or not, becomes the account's passport, and
 * the user id it holds, if any, the account's user id; the login skips the
 * authentication centre when the account has both. So a text refused for
 * lacking a user id (an empty one included) is no "auth" registration: with
 * m_authtype 0 the login goes to the authentication centre. A text with a
 * user id refused only for its type still spares the login the centre, and
 * the gateways get it as the passport of an ordinary account.
 * Does not wait. Result: 0; -1009 null handle, or the session cannot be
 * built; -1006 null address; -1007 null, unknown or refused market, or a bad
 * "auth" text; -1010 "qsuserdata" that no market takes; -1 a
 * "superstocklevel" before any market. In the child role every other
 * market text, null included and m_connectmarket unchecked, sets the
 * master's address and port (0, the last one counts): the child's queries
 * and subscriptions go there for any market, the master's markets being
 * what counts. During playback nothing is registered (0). */
KVO_API int32_t KvoRegisterAddr(void* handle, const char* market, const char* addr, uint16_t port);

/* Logs the account in on every registered market, one market after the
 * other, each trying its addresses in order until one logs in; then, with
 * m_connectsubscribe 1, sends each market's kept subscriptions again (kind 2
 * reports on fncsubscribe come on this thread). An account needing the
 * authentication centre (m_authtype 0, no "auth" registration) is first
 * checked there (three requests, each given up after 2000 ms in which
 * nothing arrives; a release of the instance waits for the check). Waits:
 * up to m_timeout or 5000 ms, whichever is less, per address tried (5000
 * when m_timeout is not positive), plus up to m_timeout per re-sent
 * subscription (one unanswered twice ends the re-sending). A market already
 * logged in answers 0 without traffic.
 * A null username or password is taken as an empty text. In the standalone
 * and master roles, with no market registered (none was, or every
 * registration failed) no gateway is asked: the result is the
 * authentication step's alone, 0 with an empty expire_date, or -1012. There
 * every KvoLogin made outside playback counts as an online login, whatever
 * its result (no market, -1012 and refusals included): a later
 * KvoStartOfflineDebug gives -101.
 * Result: a LoginResult block the host frees with KvoFreeMem (null only when
 * its 144 bytes cannot be allocated). nstatuscode: 0 (or the gateway's
 * positive status) logged in; -1009 null handle; -1012 authentication
 * centre or gateway refused the account; -1002 no login answer in time;
 * -1005 no TCP connection; -1006 a market without addresses; -1003, -1013,
 * -1017, -1018 gateway refusals with the gateway's text; -1016 a market the
 * gateway ended (see Connection loss). An address that fails keeps no
 * connection: a login answer that comes after the wait changes nothing, and
 * a market that no address logged in stays logged out (its queries and
 * waiting subscriptions wait their whole m_timeout and fail, see Waiting)
 * until a later KvoLogin logs it in. With several markets the last failing
 * market's code wins. Child role: 0 with an empty expire_date; -1014
 * master not reachable (5000 ms connect), also after the master has gone,
 * until a master listens there again (the child is not told that it went,
 * see Roles), and at once when the master closes the connection without
 * an answer (it closes a login frame above 8 KiB at its header, see
 * Roles); -1002 no answer within 6000 ms (the connection stays open,
 * see KvoGetCodelist); -1004 user name or password differ from those of the
 * master's own last KvoLogin; -1015, or the master's code. Every KvoLogin
 * of a child first drops its connection to the master, if it has one, and
 * with it every subscription the child made (the master is told to remove
 * them); it then connects anew. A second KvoLogin therefore answers 0 while
 * the child's subscriptions are gone: a host that calls KvoLogin again, to
 * find out whether its master is back say, must subscribe again after it.
 * After KvoStartOfflineDebug: 0 at once. */
KVO_API LoginResult* KvoLogin(void* handle, const char* username, const char* password);

/* Asks the market's gateway for its code list. Result: a malloc'ed,
 * zero-terminated text with its length in bytes (without the zero) in
 * *out_length; for "USHI" the codes are the public ones, each followed by
 * ",". Null, with *out_length untouched: null handle, market or out_length,
 * a market not registered, or no answer within m_timeout (before the login:
 * after the whole m_timeout). During playback: "codelist.ini" of the
 * playback folder.
 * Child role: asked of the master, for any market the master registered
 * (the child's own registrations do not count), waiting up to 3000 ms; null
 * at once while the child has no connection to a master (before its login,
 * or once the master has gone). A login that gave -1002 (no answer in time)
 * leaves its connection open: the child's queries then wait the whole
 * 3000 ms before they give null, unless the master answers them. The master
 * answers only with data: a query that finds nothing there (no records, no
 * code list, a market it lacks, no gateway answer) gets no answer at all,
 * so the child waits the whole 3000 ms and then gives null with the out
 * value untouched. An answer that takes the master longer than 3000 ms is
 * dropped when it comes. */
KVO_API char* KvoGetCodelist(void* handle, const char* market, uint32_t* out_length);

/* Does nothing: 0, or -1009 for a null handle. */
KVO_API int32_t KvoGetCodeInfo(void* handle);

/* Index snapshot (the stock and super-stock snapshots below work alike):
 * the latest record of each code of codelist, written as for subscriptions,
 * "(600000,600036)". "()", an empty text or a null codelist ask for the
 * whole market: a record for every code the gateway holds for it (during
 * playback, every code of the market in the file). Result: a malloc'ed
 * array of TickIndex records (133 bytes each), their count in *out_count.
 * Null: null handle, market or out_count, a market not registered, no
 * answer within m_timeout (before the login: after the whole m_timeout), or
 * an answer without records. On null the
 * index and stock queries leave *out_count untouched; the super-stock query
 * sets it to 0 when the gateway answered. Child role: as KvoGetCodelist (a
 * query matching no records waits the whole 3000 ms, and every null, the
 * super-stock query's included, leaves *out_count untouched); codelist
 * reaches the master's gateway as written, so a child gets the records the
 * master's own host would get for the same list: write it in parentheses,
 * "(600000,600036)" ("()" or "" for the whole market). During
 * playback: "index.csv", "stock.csv" and "superstock.csv" of the playback
 * folder. Queries run side by side, of one kind on one market too: each is
 * sent at once and waits for its own answer; only the conversion of the
 * answers into records takes turns. */
KVO_API TickIndex* KvoGetTickIndex(void* handle, const char* market, const char* codelist, uint32_t* out_count);

/* Stock snapshot: TickStock records (809 bytes each), as KvoGetTickIndex. */
KVO_API TickStock* KvoGetTickStock(void* handle, const char* market, const char* codelist, uint32_t* out_count);

/* Super-stock snapshot: SuperStock records (357 bytes each), as
 * KvoGetTickIndex, with the depth of the "superstocklevel" registration
 * (10 when none) plus 10. */
KVO_API SuperStock* KvoGetSuperStock(void* handle, const char* market, const char* codelist, uint32_t* out_count);

/* Changes a subscription (see Subscriptions) and waits up to m_timeout for
 * the gateway's answer. A null codelist is taken as an empty text.
 * Refusals, checked first and in this order in every role: -1009 null
 * handle; -1007 null market, or a market text that names no market (its
 * 2nd and 3rd letters are none of SH, SZ, OO, nor ZO or SO, which are taken
 * as OO; "UXXA" names none); -1011 msg_dataclass outside 1..6. A refused
 * call is not kept, sent or forwarded anywhere. subop_type 8 is the
 * exception: past the null handle and market it does what its role says
 * below, whatever the class.
 * Standalone role: -1007 also for a market not registered, before the
 * class is looked at; otherwise the gateway's answer: 0; -1002 no answer
 * in time (before the login: after the whole m_timeout); -10001, -10002,
 * -10003 the gateway's status 1, 2, 4; any other gateway status as it
 * stands. The call is kept even when the gateway refuses it (see
 * Subscriptions). Data begin on the class's push worker.
 * Master role, child role and playback: the change goes to the process's
 * subscription registry, and the result is the registry's, 0, whatever
 * happens to the change further on; an empty codelist is the whole market,
 * "()", there. Master role: the codes no other subscriber holds are passed
 * to the market's session, waiting for the gateway's answer; a refusal
 * there (-1007 for a market not registered included) is written to the
 * log, not returned, and the change stays in the registry. subop_type 8
 * goes to the market's session as in the standalone role (-1007 without
 * one, as during a playback). During playback nothing goes to a gateway.
 * Child role: the codes no other subscriber of the process holds are sent
 * to the master, without waiting for it; subop_type 8 does nothing (0). The
 * child's subscriptions belong to its connection to the master and end
 * with it. Without one (before the first KvoLogin, after a login that could
 * not connect, or once the child saw the connection close) subop_type 1 to
 * 4 give -1014: nothing is kept, nor sent at a later login; subscribe again
 * once KvoLogin gave 0. A master gone while the connection still looks open
 * is not noticed: the result stays 0 though the change is not sent ("not
 * sent to the master" in the log). */
KVO_API int32_t KvoSubScribe(void* handle, uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                             const char* codelist);

/* As KvoSubScribe, without waiting: the refusals are those of KvoSubScribe
 * (-1009, -1007, -1011, in that order, in every role). Standalone role:
 * the result is 0 once the request is sent (-1007 for a market not
 * registered, -1002 when the request cannot be sent), and the gateway's
 * answer, or -1002 once none came for more than m_timeout, comes later
 * through fncsubscribe (kind 1, see SubscribeCallback for when). Before the
 * login, or after a login or reconnect that failed, the result is 0 too,
 * though nothing is sent (there is no connection): the call is kept (see
 * Subscriptions), and fncsubscribe reports -1002. Master role, child role
 * and playback: as KvoSubScribe, with no fncsubscribe report (a master
 * still waits for the gateway for the codes it passes on). */
KVO_API int32_t KvoSubScribeAsync(void* handle, uint32_t msg_dataclass, uint32_t subop_type, const char* market,
                                  const char* codelist);

/* Starts offline playback of the CSV files in cfg->path (see
 * OfflineDebugConfig; the record is copied). From then on KvoLogin answers 0
 * at once, KvoRegisterAddr registers nothing, queries read the folder and
 * subscriptions only choose the played records the data callbacks get, on
 * the relay thread, with a zero timing block. The playback thread takes the
 * start within 5 s, pauses 2 s, plays, and ends 3 s after the last file.
 * path is a prefix: each file name is appended to it as it stands, so a
 * folder needs its trailing "/".
 * Pace: a pause of push_space ms after each batch of push_count records
 * (after each record of "queue.csv"), but never ahead of the host: before
 * each batch the playback waits while more than 4 MiB of its earlier
 * batches wait for the relay thread or are being delivered. A host slower
 * than push_space (push_space 0 included) thus sets the pace, and the
 * playback holds about 4 MiB and one batch besides the file it reads. Every
 * record still arrives once, in the order of the file.
 * subtype: each piece between "," is tested, case-sensitively and as it
 * stands (nothing is trimmed), for the names "index", "stock" (outside
 * "superstock"), "queue", "order", "trans" and "superstock", and plays the
 * file of each name it contains: " stock" and "stock.csv" play "stock.csv",
 * "indexstock" plays two files, a piece naming none plays nothing, and a
 * name given twice plays its file twice in each pass.
 * Files: the first line names the columns (in any order; others are
 * ignored, and a column missing leaves its field zero); each further line is
 * a row, read as UTF-8 (the records get GBK) and cut at every "," (no
 * quoting). A row with fewer fields than the header has names (one fewer in
 * "queue.csv") is skipped without a word; fields past those are ignored,
 * but in "queue.csv" the fields from "volume" on are the volumes
 * (show_number of them, kept within 0..101 and the fields there are). A
 * number is read up to the first character that does not belong to it (no
 * digits: 0); a whole number beyond its field's type takes the nearest
 * limit, a real number beyond a double's range reads as infinity. Texts are
 * cut to their field (market 4 bytes, code 15, codename 20, status 8, an
 * order's side 5, one-byte fields 1). A line of 5,000 characters or more
 * (its line end not counted) ends the reading of its file as if the file
 * ended there: the rows after it are not played, and each playing of that
 * file writes one log line "OfflineDebug:line longer than 4999 characters
 * after row N,path:...". The queries read the files by the same rules,
 * without the log line.
 * Every row is played whatever its market text, but a subscription to a
 * market text that names no market is refused (-1007, see KvoSubScribe):
 * a row carrying one ("UXXA") reaches no data callback. A folder used only
 * for its queries ("codelist.ini" and the snapshot files) still needs one
 * file that subtype names and that opens, or the start is refused (-102).
 * Does not wait. Result: 0; the refusals, in the order they are checked:
 * -1 null handle; -102 null cfg; -101 playback already started on this
 * instance, an online KvoLogin already made, or another instance's playback
 * still running; -102 playback_times below 1, push_space negative or
 * push_count below 1; -103 child role; -102 none of the files subtype names
 * opens for reading under path (a folder that does not exist, one given
 * without its "/"), or subtype names no file at all; -1009 the playback
 * thread cannot start. A refused start changes nothing: the host can start
 * again, with the right path for instance. */
KVO_API int32_t KvoStartOfflineDebug(void* handle, const OfflineDebugConfig* cfg);

/* Frees a block the library returned (with free). Result: 0; -1010 for a
 * null pointer. Any other pointer is not detected and must not be passed. */
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
