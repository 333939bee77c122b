// Hostile host input to the exported functions, the login merge and the
// tool.ini reader. The input is cut at zero bytes into texts: market,
// address, user, password, code list, then a tool.ini body; the first bytes
// also give the port, data class and operation, and script the answers of
// the market sessions. The sessions are scripted stand-ins: the fuzzer never
// waits on a network.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cascade/cascade_settings.h"
#include "api/instance_util.h"
#include "framework/tl_log.h"
#include "include/kvoapi.h"
#include "session/market_session.h"
#include "tests/support/instance_dir.h"

namespace {

// What the stand-in sessions answer to the current input.
struct Script {
  int32_t loginCode = 0;
  std::string statusmsg;
  std::string expire;
  int32_t subscribeResult = 0;
  uint32_t records = 0;  // records of a query answer (0: null)
};
Script g_script;

// A market session that answers from the script at once.
class ScriptedSession : public kvoapi::IMarketSession {
 public:
  int32_t AddAddress(const char* host, uint16_t, bool) override {
    if (host && addresses_ < 64) ++addresses_;
    return 0;
  }
  void SetSuperStockLevel(int32_t) override {}
  int32_t SendUserData(const char* text) override { return text && *text ? 0 : -1010; }
  LoginResult Login(const kvoapi::LoginAccountInfo&) override {
    return kvoapi::MakeLoginResult(g_script.loginCode, g_script.statusmsg, g_script.expire);
  }
  int32_t SubScribe(uint32_t, uint32_t, const char*, const char*, bool) override {
    return g_script.subscribeResult;
  }
  char* GetCodelist(const char*, uint32_t* out_length) override {
    if (g_script.records == 0) return nullptr;
    char* text = static_cast<char*>(std::malloc(8));
    if (text) {
      std::memcpy(text, "600000,", 8);
      *out_length = 7;
    }
    return text;
  }
  void* GetTickIndex(const char*, const char*, uint32_t* n) override { return Records(133, n); }
  void* GetTickStock(const char*, const char*, uint32_t* n) override { return Records(809, n); }
  void* GetSuperStock(const char*, const char*, uint32_t* n) override { return Records(357, n); }

 private:
  static void* Records(size_t size, uint32_t* count) {
    if (g_script.records == 0) return nullptr;
    void* block = std::calloc(g_script.records, size);
    if (block) *count = g_script.records;
    return block;
  }
  int addresses_ = 0;
};

kvoapi::IMarketSession* MakeScripted(const InstanceConfig*, CSocketDataMananger*, const std::string&) {
  return new ScriptedSession;
}

// The process's instance, logging into a folder of its own. At exit the
// instance is released, the log writer stopped (it writes the last lines and
// could otherwise make the folder again at a day change), then the folder,
// with the tool.ini written into it, is removed.
struct FuzzHome {
  FuzzHome() {
    char tmpl[] = "/tmp/kvo_fuzz_XXXXXX";
    if (mkdtemp(tmpl)) dir = tmpl;
    InstanceConfig cfg = kvotest::ConfigLoggingTo(dir.c_str());
    cfg.m_authtype = 1;
    cfg.m_connectmarket[0] = '\0';
    kvoapi::SetMarketSessionFactory(&MakeScripted);
    handle = KvoCreateInstance(&cfg);
  }
  ~FuzzHome() {
    KvoReleaseInstance(handle);
    if (corvane::CWriteLogThread* writer = TL_GetLogWriter()) writer->Stop();
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  void* handle = nullptr;
};

// Made after everything the instance's creation made, so it is destroyed
// before those.
FuzzHome& Home() {
  static FuzzHome home;
  return home;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts;
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 5) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  parts.push_back(cur);
  while (parts.size() < 6) parts.emplace_back();
  const uint16_t port = size >= 2 ? static_cast<uint16_t>(data[0] | (data[1] << 8)) : 0;
  const uint32_t cls = size >= 3 ? data[2] % 9 : 0;
  const uint32_t op = size >= 4 ? data[3] % 10 : 0;
  // A text given as "-" stands for a null pointer.
  auto text = [&](size_t i) -> const char* { return parts[i] == "-" ? nullptr : parts[i].c_str(); };

  g_script.loginCode = size >= 5 ? static_cast<int8_t>(data[4]) * 10 : 0;
  g_script.subscribeResult = size >= 6 ? static_cast<int8_t>(data[5]) : 0;
  g_script.records = size >= 7 ? data[6] % 4 : 0;
  g_script.statusmsg = parts[1];
  g_script.expire = parts[4];

  void* h = Home().handle;
  if (!h) return 0;
  KvoRegisterAddr(h, text(0), text(1), port);
  KvoFreeMem(KvoLogin(h, text(2), text(3)));
  uint32_t n = 0;
  KvoFreeMem(KvoGetCodelist(h, text(0), &n));
  KvoFreeMem(KvoGetTickIndex(h, text(0), text(4), &n));
  KvoFreeMem(KvoGetTickStock(h, text(0), text(4), &n));
  KvoFreeMem(KvoGetSuperStock(h, text(0), text(4), &n));
  KvoSubScribe(h, cls, op, text(0), text(4));
  KvoSubScribeAsync(h, cls, op, text(0), text(4));
  OfflineDebugConfig off;
  std::memset(&off, 0, sizeof(off));
  std::memcpy(&off, parts[5].data(), std::min(parts[5].size(), sizeof(off)));
  KvoStartOfflineDebug(h, &off);

  // The merge of long and odd per-market texts always fits its fields.
  const LoginResult a = kvoapi::MakeLoginResult(-static_cast<int>(port), parts[2], parts[3]);
  const LoginResult b = kvoapi::MakeLoginResult(static_cast<int>(cls), parts[4], parts[1]);
  const LoginResult m = kvoapi::MergeLoginResults(a, {{"SH", a}, {"SZ", b}, {"OO", a}});
  if (std::strlen(m.statusmsg) >= sizeof(m.statusmsg)) abort();
  if (std::strlen(m.expire_date) >= sizeof(m.expire_date)) abort();

  // tool.ini with arbitrary bytes.
  if (Home().dir.empty()) return 0;
  const std::string ini = Home().dir + "/tool.ini";
  if (FILE* f = std::fopen(ini.c_str(), "wb")) {
    std::fwrite(parts[5].data(), 1, parts[5].size(), f);
    std::fclose(f);
    const kvoapi::ToolSettings s = kvoapi::ReadToolIni(ini);
    if (s.mode != kvoapi::kStandalone && s.mode != kvoapi::kMaster && s.mode != kvoapi::kChild) abort();
  }
  return 0;
}
