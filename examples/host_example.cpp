// Example host program. It loads the library at run time, as a trading host
// does, creates an instance with its callbacks, registers a gateway address,
// logs in, subscribes, prints what arrives for a few seconds and releases
// the instance.
//
//   kvo_example [library.so] [gateway-host [port [user [password]]]]
//
// Environment: KVO_EXAMPLE_SECONDS (how long to wait for data, default 2).
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "include/kvoapi.h"

namespace {

// The exported functions, each resolved by name into a member of that name.
#define KVO_EXPORTED_FUNCTIONS(X)                                                             \
  X(KvoCreateInstance) X(KvoReleaseInstance) X(KvoRegisterAddr) X(KvoLogin) X(KvoGetCodelist) \
  X(KvoGetCodeInfo) X(KvoGetTickIndex) X(KvoGetTickStock) X(KvoGetSuperStock) X(KvoSubScribe) \
  X(KvoSubScribeAsync) X(KvoStartOfflineDebug) X(KvoFreeMem)

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

std::atomic<unsigned> g_batches{0};
std::atomic<unsigned> g_records{0};

// Texts from the library are GBK; this prints their bytes as they are and,
// for readability, a hex dump of anything beyond ASCII.
void PrintText(const char* label, const char* text, size_t width) {
  const size_t n = strnlen(text, width);
  std::printf("%s \"", label);
  bool wide = false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      std::putchar(c);
    } else {
      std::printf("\\x%02x", c);
      wide = true;
    }
  }
  std::printf("\"%s\n", wide ? " (GBK)" : "");
}

int32_t OnData(void* handle, const void*, uint32_t count, const PushTiming* timing) {
  ++g_batches;
  g_records += count;
  std::printf("data: handle %p, %u records, produced %llu ms\n", handle, count,
              timing ? static_cast<unsigned long long>(timing->produce_time) : 0ULL);
  return 0;
}

void OnNotify(void* handle, const NotifyRecord* record) {
  std::printf("notify: handle %p, code %d\n", handle, record ? record->code : 0);
  if (record) PrintText("  text", record->text, sizeof(record->text));
}

void OnSubscribe(uint32_t dataclass, uint32_t op, const char* market, const char* codes,
                 int32_t result, int32_t kind) {
  std::printf("subscribe result: class %u op %u market %s codes %s -> %d (kind %d)\n", dataclass,
              op, market ? market : "", codes ? codes : "", result, kind);
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : KVO_DEFAULT_LIBRARY;
  const char* host = argc > 2 ? argv[2] : "127.0.0.1";
  const uint16_t port = static_cast<uint16_t>(argc > 3 ? std::atoi(argv[3]) : 8000);
  const char* user = argc > 4 ? argv[4] : "demo";
  const char* password = argc > 5 ? argv[5] : "demo";
  const char* secondsText = std::getenv("KVO_EXAMPLE_SECONDS");
  const int seconds = secondsText ? std::atoi(secondsText) : 2;

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
  ++expected;                 \
  found += Resolve(lib, #name, &api.name);
  KVO_EXPORTED_FUNCTIONS(KVO_API_RESOLVE)
#undef KVO_API_RESOLVE
  std::printf("%d of %d exported functions present\n", found, expected);
  if (found != expected) return 1;

  InstanceConfig cfg;
  cfg.SetDefaults();
  cfg.m_authtype = 1;  // the gateway checks the account itself
  cfg.fnctickindex = &OnData;
  cfg.fnctickstock = &OnData;
  cfg.fnctransacton = &OnData;
  cfg.fncorderdata = &OnData;
  cfg.fncorderqueue = &OnData;
  cfg.fncfivelevel = &OnData;
  cfg.fncsuperstock = &OnData;
  cfg.fncnotify = &OnNotify;
  cfg.fncsubscribe = &OnSubscribe;

  void* h = api.KvoCreateInstance(&cfg);
  std::printf("KvoCreateInstance -> %p\n", h);
  if (!h) return 1;

  std::printf("KvoRegisterAddr(USH, %s, %u) -> %d\n", host, port,
              api.KvoRegisterAddr(h, "USH", host, port));
  std::printf("KvoRegisterAddr(USZ, %s, %u) -> %d\n", host, port,
              api.KvoRegisterAddr(h, "USZ", host, port));

  LoginResult* login = api.KvoLogin(h, user, password);
  if (login) {
    std::printf("KvoLogin(%s) -> %d\n", user, login->nstatuscode);
    PrintText("  statusmsg", login->statusmsg, sizeof(login->statusmsg));
    PrintText("  expire_date", login->expire_date, sizeof(login->expire_date));
    api.KvoFreeMem(login);
  }

  uint32_t length = 0;
  char* codes = api.KvoGetCodelist(h, "USH", &length);
  std::printf("KvoGetCodelist(USH) -> %s (%u bytes)\n", codes ? "text" : "null", codes ? length : 0);
  if (codes) api.KvoFreeMem(codes);
  uint32_t count = 0;
  TickStock* stocks = api.KvoGetTickStock(h, "USH", "600000", &count);
  std::printf("KvoGetTickStock(USH, 600000) -> %s (%u records)\n", stocks ? "records" : "null",
              stocks ? count : 0);
  if (stocks) api.KvoFreeMem(stocks);

  std::printf("KvoSubScribe(stock, add, USH, 600000) -> %d\n",
              api.KvoSubScribe(h, 2, 1, "USH", "600000"));
  std::printf("KvoSubScribeAsync(index, add, USH, 000001) -> %d\n",
              api.KvoSubScribeAsync(h, 1, 1, "USH", "000001"));

  for (int i = 0; i < seconds * 10; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::printf("received %u batches, %u records\n", g_batches.load(), g_records.load());

  std::printf("KvoReleaseInstance -> %d\n", api.KvoReleaseInstance(h));
  return 0;
}
