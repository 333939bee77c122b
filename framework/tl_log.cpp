// Log channels. Lines are written at once under the channel's lock; the
// writer thread with its daily and size rolls and the line queue is added
// on top of this.
#include "framework/tl_log.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "framework/tl_string.h"
#include "framework/tl_sync.h"
#include "framework/tl_thread.h"

struct TLLogChannel {
  uint32_t flags = 0;
  int32_t size_cap = 0;
  FILE* file = nullptr;
  char path[260] = {};
  char stamp[16] = {};
  int32_t stamp_offset = -1;
  std::atomic<int32_t> threshold{0};
  std::atomic<int32_t> file_counter{0};
  corvane::CCriticalSection lock;
};

namespace {

constexpr size_t kPathMax = 260;
const char kDefaultPath[] = "corvane.log";

// Channels live until the process ends; nothing here is ever destroyed, so
// threads may log while the process exits.
std::atomic<TLLogChannel*> g_channels[TL_LOG_MAX_CHANNELS];
std::atomic<int32_t> g_channel_count{0};
std::mutex& CreationLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void TodayStamp(char* out, size_t size) {
  struct tm lt;
  TL_LocalTime(TL_Time(nullptr), &lt);
  char full[64];
  snprintf(full, sizeof(full), "%d%02d%02d_000", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
  snprintf(out, size, "%.12s", full);
}

// Puts stamp into path: in place of pattern when the path holds it, else
// before the last '.', else after an appended '.'. Returns the stamp's
// offset, -1 when the result would not fit.
int InsertStamp(char* path, size_t size, const char* pattern, const char* stamp) {
  std::string p(path);
  const size_t stamp_len = strlen(stamp);
  size_t at;
  const size_t hit = (pattern && *pattern) ? p.find(pattern) : std::string::npos;
  if (hit != std::string::npos) {
    p.replace(hit, strlen(pattern), stamp);
    at = hit;
  } else {
    const size_t dot = p.rfind('.');
    const size_t slash = p.find_last_of('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
      p.insert(dot, stamp);
      at = dot;
    } else {
      p += '.';
      at = p.size();
      p += stamp;
    }
  }
  if (p.size() >= size || at + stamp_len > p.size()) return -1;
  memcpy(path, p.c_str(), p.size() + 1);
  return static_cast<int>(at);
}

// Creates every missing folder of a file path.
void MakeFolders(const char* path) {
  std::string p(path);
  for (size_t i = 1; i < p.size(); ++i) {
    if (p[i] != '/') continue;
    std::string folder = p.substr(0, i);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return;
  }
}

// Applies flags and path to a channel (its lock held or not yet shared).
void Configure(TLLogChannel* ch, uint32_t flags, const char* path) {
  ch->flags = flags;
  if (flags & TL_LOG_NO_CAP)
    ch->size_cap = 0;
  else if ((flags & TL_LOG_CAP_MASK) != 0 && !(flags & TL_LOG_CAP_DEFAULT))
    ch->size_cap = static_cast<int32_t>((flags & TL_LOG_CAP_MASK) << 20);
  else
    ch->size_cap = 0x400000;
  snprintf(ch->path, sizeof(ch->path), "%s", path);
  TodayStamp(ch->stamp, sizeof(ch->stamp));
  ch->file_counter.store(0);
  ch->stamp_offset = -1;
  if ((flags & TL_LOG_DAILY) && !(flags & TL_LOG_KEEP_NAME))
    ch->stamp_offset = InsertStamp(ch->path, kPathMax, "%DAY%", ch->stamp);
  MakeFolders(ch->path);
}

TLLogChannel* CreateChannel(uint32_t flags, const char* path) {
  auto* ch = new TLLogChannel;
  Configure(ch, flags, path);
  if (flags & TL_LOG_KEEP_OPEN) {
    ch->file = fopen(ch->path, "ab");
    if (ch->file == nullptr) {
      delete ch;
      return nullptr;
    }
  }
  return ch;
}

TLLogChannel* DefaultChannel() {
  TLLogChannel* ch = g_channels[0].load(std::memory_order_acquire);
  if (ch != nullptr) return ch;
  std::lock_guard<std::mutex> guard(CreationLock());
  ch = g_channels[0].load(std::memory_order_acquire);
  if (ch == nullptr) {
    ch = CreateChannel(TL_LOG_DEFAULT_FLAGS, kDefaultPath);
    if (ch != nullptr) {
      g_channels[0].store(ch, std::memory_order_release);
      if (g_channel_count.load() == 0) g_channel_count.store(1);
    }
  }
  return ch;
}

TLLogChannel* Channel(int index) {
  if (index < 0 || index >= TL_LOG_MAX_CHANNELS) return nullptr;
  if (index == 0) return DefaultChannel();
  return g_channels[index].load(std::memory_order_acquire);
}

// Writes one line: time and ids are taken by the caller, before the lock.
void WriteLine(TLLogChannel* ch, const char* text, size_t len, int level, int64_t now, uint32_t pid,
               uint32_t tid) {
  corvane::CTLSingleLock guard(&ch->lock, 1);
  FILE* f = ch->file != nullptr ? ch->file : fopen(ch->path, "ab");
  if (f == nullptr) return;
  char head[96];
  int n = 0;
  if ((ch->flags & TL_LOG_TIME) && now > 0) {
    struct tm lt;
    TL_LocalTime(now, &lt);
    n += snprintf(head + n, sizeof(head) - n, "%d%02d%02d %02d%02d%02d  ", lt.tm_year + 1900,
                  lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
  }
  if ((ch->flags & TL_LOG_IDS) && tid != 0)
    n += snprintf(head + n, sizeof(head) - n, "pid:%u thread:%u ", pid, tid);
  if (level >= -7 && level <= 7) n += snprintf(head + n, sizeof(head) - n, "%d:%s ", level, "");
  if (n > 0) fwrite(head, 1, static_cast<size_t>(n), f);
  if (len > 0) fwrite(text, 1, len, f);
  if (!(ch->flags & TL_LOG_NO_LINE_END) && (len == 0 || text[len - 1] != '\n')) fwrite("\r\n", 1, 2, f);
  if (f == ch->file)
    fflush(f);
  else
    fclose(f);
}

void WriteText(TLLogChannel* ch, const char* text, size_t len, int level) {
  const int64_t now = (ch->flags & TL_LOG_TIME) ? TL_Time(nullptr) : 0;
  uint32_t pid = 0, tid = 0;
  if (ch->flags & TL_LOG_IDS) {
    pid = TL_GetCurrentProcessId();
    tid = TL_GetCurrentThreadId();
  }
  WriteLine(ch, text, len, level, now, pid, tid);
}

}  // namespace

void TL_WriteLogV(int level, const char* format, va_list args) {
  TLLogChannel* ch = DefaultChannel();
  if (ch == nullptr || format == nullptr) return;
  if (level > ch->threshold.load(std::memory_order_relaxed)) return;
  corvane::CTLString text;
  text.FormatV(format, args);
  WriteText(ch, text.GetString(), static_cast<size_t>(text.GetLength()), level);
}

void TL_WriteLog(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  TL_WriteLogV(level, format, args);
  va_end(args);
}

void TL_WriteLogRaw(const char* format, ...) {
  TLLogChannel* ch = DefaultChannel();
  if (ch == nullptr || format == nullptr) return;
  corvane::CTLString text;
  va_list args;
  va_start(args, format);
  text.FormatV(format, args);
  va_end(args);
  if (text.IsEmpty()) return;
  WriteText(ch, text.GetString(), static_cast<size_t>(text.GetLength()), TL_LOG_RAW_LEVEL);
}

void TL_WriteLogText(int channel, const char* text) {
  if (text == nullptr || *text == '\0') return;
  TLLogChannel* ch = Channel(channel);
  if (ch == nullptr) return;
  WriteText(ch, text, strlen(text), TL_LOG_RAW_LEVEL);
}

int TL_OpenLog(uint32_t flags, const char* path) {
  if (path == nullptr || *path == '\0') return -1;
  TLLogChannel* ch = DefaultChannel();
  if (ch == nullptr) {
    // The default file could not be kept open; make the channel on the path.
    std::lock_guard<std::mutex> guard(CreationLock());
    ch = g_channels[0].load();
    if (ch == nullptr) {
      ch = CreateChannel(flags, path);
      if (ch == nullptr) return 0;
      g_channels[0].store(ch, std::memory_order_release);
      if (g_channel_count.load() == 0) g_channel_count.store(1);
      return 0;
    }
  }
  corvane::CTLSingleLock guard(&ch->lock, 1);
  if (ch->file != nullptr) {
    fclose(ch->file);
    ch->file = nullptr;
  }
  Configure(ch, flags, path);
  if (flags & TL_LOG_KEEP_OPEN) ch->file = fopen(ch->path, "ab");
  return 0;
}

int TL_AddLogChannel(uint32_t flags, const char* path) {
  if (path == nullptr || *path == '\0') return -1;
  DefaultChannel();
  std::lock_guard<std::mutex> guard(CreationLock());
  const int32_t index = g_channel_count.load() == 0 ? 1 : g_channel_count.load();
  if (index >= TL_LOG_MAX_CHANNELS) return -3;
  TLLogChannel* ch = CreateChannel(flags, path);
  if (ch == nullptr) return -1;
  g_channels[index].store(ch, std::memory_order_release);
  g_channel_count.store(index + 1);
  return index;
}

int TL_SetLogLevel(int channel, int level) {
  if (channel < 0 || channel >= TL_LOG_MAX_CHANNELS) return -7;
  TLLogChannel* ch = Channel(channel);
  if (ch == nullptr) return -7;
  if (level < -7 || level > 7) return -6;
  ch->threshold.store(level, std::memory_order_relaxed);
  return channel;
}

TLLogChannel* TL_GetLogChannel(int channel) { return Channel(channel); }

void TL_DebugTrace(const char* format, ...) {
  if (format == nullptr) return;
  char text[256];
  va_list args;
  va_start(args, format);
  corvane::CTLString s;
  s.FormatV(format, args);
  va_end(args);
  snprintf(text, sizeof(text), "%s", s.GetString());
  fputs(text, stdout);
  fflush(stdout);
}
