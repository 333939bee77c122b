// Example host program. It loads the library at run time, as a trading host
// does, creates an instance with its callbacks, registers a gateway address
// for both exchanges, logs in, asks the code lists and snapshots, subscribes
// to index and stock ticks, transactions and orders, prints every batch that
// arrives for a few seconds and releases the instance.
//
//   kvo_example [library.so] [gateway-host [port [user [password]]]]
//   kvo_example [library.so] --offline [folder/]
//
// With --offline it plays the offline sample files instead (examples/offline
// by default): it starts offline playback, logs in (answered at once),
// queries and subscribes as an online host does, and prints the played
// batches as they arrive, until the playback has gone quiet.
//
// Environment: KVO_EXAMPLE_SECONDS (how long to wait for data, default 5;
// with --offline the longest wait, default 60).
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

#include "include/kvoapi.h"

namespace {

// The exported functions, each resolved by name into a member of that name.
#define KVO_EXPORTED_FUNCTIONS(X) \
    X(KvoCreateInstance)          \
    X(KvoReleaseInstance)         \
    X(KvoRegisterAddr)            \
    X(KvoLogin)                   \
    X(KvoGetCodelist)             \
    X(KvoGetCodeInfo)             \
    X(KvoGetTickIndex)            \
    X(KvoGetTickStock)            \
    X(KvoGetSuperStock)           \
    X(KvoSubScribe)               \
    X(KvoSubScribeAsync)          \
    X(KvoStartOfflineDebug)       \
    X(KvoFreeMem)

struct Api {
#define KVO_API_MEMBER(name) decltype(&::name) name = nullptr;
    KVO_EXPORTED_FUNCTIONS(KVO_API_MEMBER)
#undef KVO_API_MEMBER
};

template <typename F>
bool Resolve(void* lib, const char* name, F* into) {
    *into = reinterpret_cast<F>(dlsym(lib, name));
    std::printf("  %-22s %s\n", name, *into ? "present" : "missing");
    return *into != nullptr;
}

// Callbacks print from several library threads at once. Each line is put
// together first and written with one call, so that lines never mix.
void AppendFormat(std::string* line, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormat(std::string* line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    if (n > 0) {
        const size_t at = line->size();
        line->resize(at + static_cast<size_t>(n) + 1);
        std::vsnprintf(line->data() + at, static_cast<size_t>(n) + 1, format, again);
        line->resize(at + static_cast<size_t>(n));
    }
    va_end(again);
    va_end(args);
}

void PrintLines(const std::string& lines) { std::fwrite(lines.data(), 1, lines.size(), stdout); }

// Texts from the library are GBK; this adds a line with their bytes as they
// are and, for readability, a hex dump of anything beyond ASCII.
void AppendText(std::string* line, const char* label, const char* text, size_t width) {
    const size_t n = strnlen(text, width);
    AppendFormat(line, "%s \"", label);
    bool wide = false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            line->push_back(static_cast<char>(c));
        } else {
            AppendFormat(line, "\\x%02x", c);
            wide = true;
        }
    }
    AppendFormat(line, "\"%s\n", wide ? " (GBK)" : "");
}

void PrintText(const char* label, const char* text, size_t width) {
    std::string line;
    AppendText(&line, label, text, width);
    PrintLines(line);
}

// The notification and its text go out together.
void OnNotify(void* handle, const NotifyRecord* record) {
    std::string lines;
    AppendFormat(&lines, "notify: handle %p, code %d\n", handle, record ? record->code : 0);
    if (record) AppendText(&lines, "  text", record->text, sizeof(record->text));
    PrintLines(lines);
}

void OnSubscribe(uint32_t dataclass, uint32_t op, const char* market, const char* codes, int32_t result, int32_t kind) {
    std::printf("subscribe result: class %u op %u market %s codes %s -> %d (kind %d)\n", dataclass, op,
                market ? market : "", codes ? codes : "", result, kind);
}

// ---- Batches as they arrive ---------------------------------------------------------

const char* const kClassNames[] = {"", "index", "stock", "queue", "order", "trans", "superstock"};
std::atomic<unsigned> g_classBatches[7];
std::atomic<unsigned> g_classRecords[7];
std::atomic<long long> g_lastDataMs{0};

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// HHMMSSmmm as "HH:MM:SS.mmm".
std::string TimeText(int32_t t) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t / 10000000, t / 100000 % 100, t / 1000 % 100, t % 1000);
    return text;
}

template <typename R>
double PriceOf(const R& r) {
    if constexpr (std::is_same_v<R, TickIndex> || std::is_same_v<R, TickStock> || std::is_same_v<R, SuperStock>) {
        return r.new_price;
    } else {
        return r.price;
    }
}

// The traded volume of a record; super-stock records carry only their book.
template <typename R>
long long VolumeOf(const R& r) {
    if constexpr (requires { r.volume; }) {
        return static_cast<long long>(r.volume);
    } else {
        return 0;
    }
}

// One line per batch: its class, its size, the first and last record's
// security and time, and the last one's price and volume.
template <typename R, int Class>
int32_t OnPlayed(void*, const void* records, uint32_t count, const PushTiming*) {
    ++g_classBatches[Class];
    g_classRecords[Class] += count;
    g_lastDataMs = NowMs();
    if (!records || count == 0) return 0;
    const R& first = static_cast<const R*>(records)[0];
    const R& last = static_cast<const R*>(records)[count - 1];
    std::printf("%-10s %3u records  %s %s %s .. %s %s  last price %.2f volume %lld\n", kClassNames[Class], count,
                first.market, first.code, TimeText(first.time).c_str(), last.code, TimeText(last.time).c_str(),
                PriceOf(last), VolumeOf(last));
    return 0;
}

// The order queue comes one record at a time, with its volumes after it.
int32_t OnPlayedQueue(void*, const void* records, uint32_t count, const PushTiming*) {
    ++g_classBatches[3];
    g_classRecords[3] += count;
    g_lastDataMs = NowMs();
    if (!records || count == 0) return 0;
    const OrderQueue& q = *static_cast<const OrderQueue*>(records);
    std::string line;
    AppendFormat(&line, "%-10s %s %s %s side %s price %.2f, %d orders shown:", kClassNames[3], q.market, q.code,
                 TimeText(q.time).c_str(), q.side, q.price, q.show_number);
    for (int32_t i = 0; i < q.show_number && i < 5; ++i) {
        AppendFormat(&line, " %d", KvoOrderQueueVolume(&q, static_cast<uint32_t>(i)));
    }
    line += q.show_number > 5 ? " ...\n" : "\n";
    PrintLines(line);
    return 0;
}

// One line for a book's code, time, last price and best bid and ask (a stock or a super-stock record).
template <typename Book>
void PrintBookTop(const char* what, const Book& b) {
    std::printf("%s %s %s price %.2f, bid %.2f x %lld, ask %.2f x %lld\n", what, b.code, TimeText(b.time).c_str(),
                b.new_price, b.bidorder_price[0], static_cast<long long>(b.bidorder_volume[0]), b.askorder_price[0],
                static_cast<long long>(b.askorder_volume[0]));
}

// The snapshot queries and subscriptions a host makes after its login.
void QueryAndSubscribe(const Api& api, void* h) {
    uint32_t length = 0;
    char* codes = api.KvoGetCodelist(h, "USHA", &length);
    std::printf("KvoGetCodelist(USHA) -> %s (%u bytes)\n", codes ? codes : "null", codes ? length : 0);
    if (codes) api.KvoFreeMem(codes);
    uint32_t n = 0;
    TickStock* stocks = api.KvoGetTickStock(h, "USHA", "(600000,600036)", &n);
    for (uint32_t i = 0; stocks && i < n; ++i) {
        PrintBookTop("KvoGetTickStock(USHA)", stocks[i]);
        PrintText("  codename", stocks[i].codename, sizeof(stocks[i].codename));
    }
    if (stocks) api.KvoFreeMem(stocks);
    n = 0;
    TickIndex* indexes = api.KvoGetTickIndex(h, "USHI", "()", &n);
    for (uint32_t i = 0; indexes && i < n; ++i) {
        std::printf("KvoGetTickIndex(USHI) %s %s %.2f\n", indexes[i].code, TimeText(indexes[i].time).c_str(),
                    indexes[i].new_price);
    }
    if (indexes) api.KvoFreeMem(indexes);
    n = 0;
    SuperStock* books = api.KvoGetSuperStock(h, "USHA", "(600000)", &n);
    for (uint32_t i = 0; books && i < n; ++i) PrintBookTop("KvoGetSuperStock(USHA)", books[i]);
    if (books) api.KvoFreeMem(books);

    // The host receives records only for what it subscribed.
    struct Subscription {
        uint32_t dataClass;
        const char* market;
        const char* codes;
    };
    const Subscription subscriptions[] = {{1, "USHI", "()"}, {2, "USHA", "(600000)"}, {3, "USHA", "(600036)"},
                                          {4, "USZA", "()"}, {5, "USZA", "()"},       {6, "USHA", "(600000,600036)"}};
    for (const Subscription& s : subscriptions) {
        std::printf("KvoSubScribe(%s, replace, %s, %s) -> %d\n", kClassNames[s.dataClass], s.market, s.codes,
                    api.KvoSubScribe(h, s.dataClass, 1, s.market, s.codes));
    }
    // An asynchronous subscription answers at once; its result comes through
    // the subscription callback.
    std::printf("KvoSubScribeAsync(stock, replace, USZA, (000001,000002)) -> %d\n",
                api.KvoSubScribeAsync(h, 2, 1, "USZA", "(000001,000002)"));
}

// Waits up to `seconds` for batches (or until none came for `quietMs`, when
// that is not 0), prints what each class received and returns the number of
// records.
unsigned WaitAndReport(int seconds, long long quietMs) {
    std::printf("waiting for batches...\n");
    const long long start = NowMs();
    while (NowMs() - start < seconds * 1000LL) {
        const long long last = g_lastDataMs.load();
        if (quietMs > 0 && last != 0 && NowMs() - last > quietMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    unsigned batches = 0;
    unsigned records = 0;
    for (int c = 1; c <= 6; ++c) {
        std::printf("%-10s %u batches, %u records\n", kClassNames[c], g_classBatches[c].load(),
                    g_classRecords[c].load());
        batches += g_classBatches[c];
        records += g_classRecords[c];
    }
    std::printf("received %u batches, %u records\n", batches, records);
    return records;
}

void SetCallbacks(InstanceConfig* cfg) {
    cfg->fnctickindex = &OnPlayed<TickIndex, 1>;
    cfg->fnctickstock = &OnPlayed<TickStock, 2>;
    cfg->fncorderqueue = &OnPlayedQueue;
    cfg->fncorderdata = &OnPlayed<OrderData, 4>;
    cfg->fnctransacton = &OnPlayed<Transaction, 5>;
    cfg->fncsuperstock = &OnPlayed<SuperStock, 6>;
    cfg->fncnotify = &OnNotify;
    cfg->fncsubscribe = &OnSubscribe;
}

int RunOffline(const Api& api, const char* folder) {
    const char* secondsText = std::getenv("KVO_EXAMPLE_SECONDS");
    const int seconds = secondsText ? std::atoi(secondsText) : 60;

    InstanceConfig cfg;
    cfg.SetDefaults();
    SetCallbacks(&cfg);
    void* h = api.KvoCreateInstance(&cfg);
    std::printf("KvoCreateInstance -> %p\n", h);
    if (!h) return 1;

    // Batches of 20 records, 20 ms apart, one pass over every file.
    OfflineDebugConfig off;
    std::memset(&off, 0, sizeof off);
    // The library appends the file names to the folder text as it stands.
    const size_t folderLength = std::strlen(folder);
    const bool slash = folderLength > 0 && folder[folderLength - 1] == '/';
    std::snprintf(off.path, sizeof off.path, "%s%s", folder, slash ? "" : "/");
    off.push_space = 20;
    off.push_count = 20;
    off.playback_times = 1;
    const int32_t started = api.KvoStartOfflineDebug(h, &off);
    std::printf("KvoStartOfflineDebug(%s, all files, 20 records every 20 ms) -> %d\n", off.path, started);
    if (started != 0) {
        api.KvoReleaseInstance(h);
        return 1;
    }
    LoginResult* login = api.KvoLogin(h, "demo", "demo");
    if (login) {
        std::printf("KvoLogin -> %d\n", login->nstatuscode);
        api.KvoFreeMem(login);
    }

    QueryAndSubscribe(api, h);
    // The playback thread starts within 2 to 7 seconds; it is done once
    // nothing arrived for a while.
    const unsigned records = WaitAndReport(seconds, 1500);
    std::printf("KvoReleaseInstance -> %d\n", api.KvoReleaseInstance(h));
    return records > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // "--offline [folder]" after the library, or in its place.
    int offline = 0;
    for (int i = 1; i <= 2 && i < argc; ++i) {
        if (std::strcmp(argv[i], "--offline") == 0) offline = i;
    }
    const char* offlineFolder = offline && offline + 1 < argc ? argv[offline + 1] : KVO_DEFAULT_OFFLINE_FOLDER;
    const char* path = argc > 1 && offline != 1 ? argv[1] : KVO_DEFAULT_LIBRARY;
    const char* host = argc > 2 ? argv[2] : "127.0.0.1";
    const uint16_t port = static_cast<uint16_t>(argc > 3 ? std::atoi(argv[3]) : 8000);
    const char* user = argc > 4 ? argv[4] : "demo";
    const char* password = argc > 5 ? argv[5] : "demo";
    const char* secondsText = std::getenv("KVO_EXAMPLE_SECONDS");
    const int seconds = secondsText ? std::atoi(secondsText) : 5;

    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    std::printf("loaded %s\n", path);
    Api api;
    int found = 0;
    int expected = 0;
#define KVO_API_RESOLVE(name) \
    ++expected;               \
    found += Resolve(lib, #name, &api.name);
    KVO_EXPORTED_FUNCTIONS(KVO_API_RESOLVE)
#undef KVO_API_RESOLVE
    std::printf("%d of %d exported functions present\n", found, expected);
    if (found != expected) return 1;
    if (offline) return RunOffline(api, offlineFolder);

    InstanceConfig cfg;
    cfg.SetDefaults();
    cfg.m_authtype = 1;  // the gateway checks the account itself
    SetCallbacks(&cfg);

    void* h = api.KvoCreateInstance(&cfg);
    std::printf("KvoCreateInstance -> %p\n", h);
    if (!h) return 1;

    std::printf("KvoRegisterAddr(USH, %s, %u) -> %d\n", host, port, api.KvoRegisterAddr(h, "USH", host, port));
    std::printf("KvoRegisterAddr(USZ, %s, %u) -> %d\n", host, port, api.KvoRegisterAddr(h, "USZ", host, port));

    LoginResult* login = api.KvoLogin(h, user, password);
    const int32_t status = login ? login->nstatuscode : -1;
    if (login) {
        std::printf("KvoLogin(%s) -> %d\n", user, login->nstatuscode);
        PrintText("  statusmsg", login->statusmsg, sizeof(login->statusmsg));
        PrintText("  expire_date", login->expire_date, sizeof(login->expire_date));
        api.KvoFreeMem(login);
    }
    unsigned records = 0;
    if (status == 0) {
        QueryAndSubscribe(api, h);
        records = WaitAndReport(seconds, 0);
    }
    std::printf("KvoReleaseInstance -> %d\n", api.KvoReleaseInstance(h));
    return records > 0 ? 0 : 1;
}
