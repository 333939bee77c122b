#include "api/api_support.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace kvoapi {
namespace {

struct LogState {
  std::recursive_mutex mutex;
  std::string path;
  int level = 0;
};

LogState& Log() {
  static LogState* state = new LogState;  // lives until the process ends
  return *state;
}

// Creates every missing folder of a file path.
void MakeParentFolders(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    std::string folder = path.substr(0, pos);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return;
  }
}

// "%I64d"/"%I64u"/"%I64x" are the 64-bit conversions of the log's format
// texts; glibc knows them as "%lld" and so on.
std::string RewriteFormat(const char* format) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      out += "ll";
      p += 2;
    } else {
      out += *p;
    }
  }
  return out;
}

struct NetState {
  std::mutex mutex;
  int users = 0;
};

NetState& Net() {
  static NetState* state = new NetState;
  return *state;
}

}  // namespace

void OpenInstanceLog(const std::string& path, int level) {
  std::lock_guard<std::recursive_mutex> lock(Log().mutex);
  Log().path = path;
  Log().level = level;
  MakeParentFolders(path);
}

void WriteLog(int level, const char* format, ...) {
  if (!format) return;
  std::lock_guard<std::recursive_mutex> lock(Log().mutex);
  if (level > Log().level || Log().path.empty()) return;
  const std::string fmt = RewriteFormat(format);
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt.c_str(), copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt.c_str(), args);
  va_end(args);

  FILE* f = std::fopen(Log().path.c_str(), "ab");
  if (!f) return;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::fprintf(f, "%d%02d%02d %02d%02d%02d  pid:%d thread:%d %d: %s\r\n", tm.tm_year + 1900,
               tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
               static_cast<int>(getpid()), static_cast<int>(syscall(SYS_gettid)), level,
               text.c_str());
  std::fclose(f);
}

int AcquireNetEngine() {
  std::lock_guard<std::mutex> lock(Net().mutex);
  ++Net().users;
  return 0;
}

void ReleaseNetEngine() {
  std::lock_guard<std::mutex> lock(Net().mutex);
  if (Net().users > 0) --Net().users;
}

int NetEngineUsers() {
  std::lock_guard<std::mutex> lock(Net().mutex);
  return Net().users;
}

}  // namespace kvoapi
