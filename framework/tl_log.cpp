// Log channels and the log writer thread.
#include "framework/tl_log.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "framework/tl_alloc.h"
#include "framework/tl_codepage.h"
#include "framework/tl_fileutil.h"
#include "framework/tl_string.h"
#include "framework/tl_sync.h"
#include "platform/pl_never_destroyed.h"
#include "platform/pl_thread.h"
#include "platform/pl_time.h"

struct TLLogChannel {
    std::atomic<uint32_t> flags{0};
    int32_t size_cap = 0;
    FILE* file = nullptr;
    char path[TL_LOG_PATH_MAX] = {};
    char stamp[16] = {};
    int32_t stamp_offset = -1;
    std::atomic<int32_t> threshold{0};
    std::atomic<int32_t> file_counter{0};
    corvane::CCriticalSection* lock = nullptr;
    std::vector<TLLogRecord> queue;
    const char* const* level_names = nullptr;
};

namespace {

const char kDefaultPath[] = "corvane.log";
const char kDayPattern[] = "%DAY%";

// Names of levels -7 to 7: every name is empty.
const char* const kLevelNames[15] = {"", "", "", "", "", "", "", "", "", "", "", "", "", "", ""};

// Channels live until the process ends; nothing here is ever destroyed, so
// threads may log while the process exits.
std::atomic<TLLogChannel*> g_channels[TL_LOG_MAX_CHANNELS];
// Highest index in use + 1; index 0 is always reserved for the default
// channel, so channels added later start at 1.
std::atomic<int32_t> g_channel_count{1};
std::atomic<TLLogClock> g_clock{nullptr};
std::atomic<bool> g_writer_autostart{true};
std::atomic<corvane::CWriteLogThread*> g_writer{nullptr};

// Channel creation and the writer's start are serialised: threads of the
// socket engine may log while the instance opens its log.
std::recursive_mutex& CreationLock() {
    static pl::NeverDestroyed<std::recursive_mutex> m;
    return *m;
}

int64_t LogNow() {
    TLLogClock c = g_clock.load(std::memory_order_acquire);
    return c != nullptr ? c() : static_cast<int64_t>(std::time(nullptr));
}

bool FileExists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

void CloseFile(TLLogChannel* ch) {
    if (ch->file != nullptr) {
        std::fclose(ch->file);
        ch->file = nullptr;
    }
}

void ReopenIfKept(TLLogChannel* ch) {
    const uint32_t flags = ch->flags.load(std::memory_order_relaxed);
    if ((flags & TL_LOG_KEEP_OPEN) && ch->file == nullptr) ch->file = std::fopen(ch->path, "ab");
}

void FreeRecord(TLLogRecord& r) {
    TL_Free(r.text);
    TL_Free(r.data);
    r.text = nullptr;
    r.data = nullptr;
}

char* CopyBlock(const char* p, size_t n) {
    if (p == nullptr || n > 0x7FFFFFF0u) return nullptr;
    char* c = static_cast<char*>(TL_Allocate(static_cast<uint32_t>(n + 1)));
    if (c == nullptr) return nullptr;
    std::memcpy(c, p, n);
    c[n] = '\0';
    return c;
}

// The writer object outlives every thread that logs; at process exit it is
// stopped, which rolls and flushes every channel a last time. A child made
// by fork() leaves it alone: the thread is its parent's, and so are the
// lines queued in the channels.
struct WriterHolder {
    ~WriterHolder() {
        if (pl::InForkChild()) return;
        // The object itself stays allocated: late loggers may still reach it.
        corvane::CWriteLogThread* w = g_writer.load(std::memory_order_acquire);
        if (w != nullptr && w->IsStarted()) w->Stop(2000);
    }
};
WriterHolder g_writer_holder;

void StartWriterOnce() {
    if (!g_writer_autostart.load(std::memory_order_acquire)) return;
    std::lock_guard<std::recursive_mutex> g(CreationLock());
    if (g_writer.load(std::memory_order_acquire) != nullptr) return;
    pl::WatchForks();
    auto* w = new corvane::CWriteLogThread();
    if (!w->Start()) {
        delete w;
        return;
    }
    g_writer.store(w, std::memory_order_release);
}

TLLogChannel* Channel0() {
    TLLogChannel* ch = g_channels[0].load(std::memory_order_acquire);
    if (ch != nullptr) return ch;
    std::lock_guard<std::recursive_mutex> g(CreationLock());
    ch = g_channels[0].load(std::memory_order_acquire);
    if (ch == nullptr) {
        ch = TL_CreateLogChannel(TL_LOG_DEFAULT_FLAGS, kDefaultPath);
        g_channels[0].store(ch, std::memory_order_release);
    }
    return ch;
}

}  // namespace

// ---- Channels --------------------------------------------------------------

void TL_TodayLogStamp(char* out) {
    struct tm lt;
    pl::LocalTime(LogNow(), &lt);  // zeroed when the time cannot be shown
    char buf[48];
    std::snprintf(buf, sizeof buf, "%d%02d%02d_000", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    std::memcpy(out, buf, 15);
    out[15] = '\0';
}

int TL_InsertLogStamp(char* path, int size, const char* pattern, const char* stamp) {
    if (path == nullptr || stamp == nullptr || size <= 0) return -1;
    std::string p(path, strnlen(path, static_cast<size_t>(size)));
    size_t at;
    const size_t hit = (pattern != nullptr && *pattern) ? p.find(pattern) : std::string::npos;
    if (hit != std::string::npos) {
        p.replace(hit, std::strlen(pattern), stamp);
        at = hit;
    } else {
        // Only a '.' of the file name counts, never one of a folder.
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
    if (p.size() >= static_cast<size_t>(size)) return -1;
    std::memcpy(path, p.c_str(), p.size() + 1);
    return static_cast<int>(at);
}

bool TL_ConfigureLogChannel(TLLogChannel* ch, uint32_t flags, const char* path) {
    if (ch == nullptr || path == nullptr || *path == '\0') return false;
    const size_t len = std::strlen(path);
    if (len >= static_cast<size_t>(TL_LOG_PATH_MAX)) return false;
    char new_path[TL_LOG_PATH_MAX];
    std::memcpy(new_path, path, len + 1);
    char stamp[16];
    TL_TodayLogStamp(stamp);
    int32_t offset = -1;
    if ((flags & TL_LOG_DAILY) && !(flags & TL_LOG_KEEP_NAME)) {
        offset = TL_InsertLogStamp(new_path, TL_LOG_PATH_MAX, kDayPattern, stamp);
        // A path that would overflow once stamped is refused.
        if (offset < 0) return false;
    }
    ch->flags.store(flags, std::memory_order_relaxed);
    if (flags & TL_LOG_NO_CAP) {
        ch->size_cap = 0;
    } else if ((flags & TL_LOG_CAP_MASK) != 0 && !(flags & TL_LOG_CAP_DEFAULT)) {
        ch->size_cap = static_cast<int32_t>(flags & TL_LOG_CAP_MASK) << 20;
    } else {
        ch->size_cap = TL_LOG_DEFAULT_CAP;
    }
    std::memcpy(ch->path, new_path, sizeof ch->path);
    std::memcpy(ch->stamp, stamp, sizeof ch->stamp);
    ch->stamp_offset = offset;
    ch->file_counter.store(0);
    TL_MakeDirectories(ch->path);
    return true;
}

TLLogChannel* TL_CreateLogChannel(uint32_t flags, const char* path) {
    auto* ch = new TLLogChannel();
    ch->level_names = kLevelNames;
    if (!TL_ConfigureLogChannel(ch, flags, path)) {
        delete ch;
        return nullptr;
    }
    if (flags & TL_LOG_KEEP_OPEN) {
        ch->file = std::fopen(ch->path, "ab");
        if (ch->file == nullptr) {
            delete ch;
            return nullptr;
        }
    }
    ch->lock = new corvane::CCriticalSection();
    return ch;
}

int TL_WriteLogRecord(TLLogChannel* ch, const TLLogRecord* r) {
    FILE* f = ch->file != nullptr ? ch->file : std::fopen(ch->path, "ab");
    if (f == nullptr) return -1;
    // The whole line is put together first and written with one call.
    std::string line;
    if (r->time > 0) {
        struct tm lt;
        if (pl::LocalTime(r->time, &lt)) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%d%02d%02d %02d%02d%02d  ", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                          lt.tm_hour, lt.tm_min, lt.tm_sec);
            line += buf;
        }
    }
    if (r->tid != 0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "pid:%d thread:%d ", static_cast<int>(r->pid), static_cast<int>(r->tid));
        line += buf;
    }
    if (r->level >= -7 && r->level <= 7) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%d:%s ", r->level, ch->level_names[r->level + 7]);
        line += buf;
    }
    if (r->data != nullptr && r->length > 0) line.append(r->data, static_cast<size_t>(r->length));
    const char* text = r->text != nullptr ? r->text : "";
    int len = static_cast<int>(std::strlen(text));
    corvane::CTLString converted;
    // The framework's output conversion changes the text only when the
    // framework's pair names UTF-8.
    if (TL_GetFrameworkCodePage().enc == 65001) {
        text = TL_ConvertFromFrameworkText(text, &len, converted, nullptr, 0);
    }
    line.append(text, static_cast<size_t>(len));
    const uint32_t flags = ch->flags.load(std::memory_order_relaxed);
    if (!(flags & TL_LOG_NO_LINE_END) && (len == 0 || text[len - 1] != '\n')) line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), f);
    if (f == ch->file) {
        std::fflush(f);
    } else {
        std::fclose(f);
    }
    return 0;
}

void TL_LogChannelWrite(TLLogChannel* ch, const char* data, int32_t length, const char* text, int level) {
    if (ch == nullptr) return;
    TLLogRecord r = {};
    r.level = level;
    // Time and ids are taken before the lock.
    const uint32_t flags = ch->flags.load(std::memory_order_relaxed);
    if (flags & TL_LOG_TIME) r.time = LogNow();
    if (flags & TL_LOG_IDS) {
        r.pid = TL_GetCurrentProcessId();
        r.tid = TL_GetCurrentThreadId();
    }
    corvane::CTLSingleLock lock(ch->lock, 1);
    if (ch->flags.load(std::memory_order_relaxed) & TL_LOG_QUEUED) {
        r.text = CopyBlock(text != nullptr ? text : "", text != nullptr ? std::strlen(text) : 0);
        if (r.text == nullptr) return;
        if (data != nullptr && length > 0) {
            r.data = CopyBlock(data, static_cast<size_t>(length));
            r.length = r.data != nullptr ? length : 0;
        }
        ch->queue.push_back(r);
    } else {
        r.text = const_cast<char*>(text);
        r.data = const_cast<char*>(data);
        r.length = length;
        TL_WriteLogRecord(ch, &r);
    }
}

bool TL_NextLogFileName(TLLogChannel* ch) {
    if (ch->stamp_offset < 0) {
        int at = TL_InsertLogStamp(ch->path, TL_LOG_PATH_MAX, kDayPattern, ch->stamp);
        if (at < 0) return false;
        ch->stamp_offset = at;
    }
    for (;;) {
        const int32_t n = ch->file_counter.fetch_add(1) + 1;
        if (n > 999) return false;
        char digits[16];
        std::snprintf(digits, sizeof digits, "%03d", n);
        std::memcpy(ch->path + ch->stamp_offset + 9, digits, 3);
        std::memcpy(ch->stamp + 9, digits, 3);
        if (!FileExists(ch->path)) return true;
    }
}

void TL_RollLogChannel(TLLogChannel* ch, const char* today) {
    if (ch == nullptr) return;
    {
        corvane::CTLSingleLock lock(ch->lock, 1);
        const uint32_t flags = ch->flags.load(std::memory_order_relaxed);
        // 1. A new day.
        if ((flags & TL_LOG_DAILY) && std::strncmp(ch->stamp, today, 8) != 0) {
            CloseFile(ch);
            if (flags & TL_LOG_DELETE_ROLLED) std::remove(ch->path);
            if (!(flags & TL_LOG_KEEP_NAME)) {
                if (ch->stamp_offset >= 0) {
                    // The old stamp (with its file number) is replaced in place.
                    std::memcpy(ch->path + ch->stamp_offset, today, 8);
                    std::memcpy(ch->path + ch->stamp_offset + 8, "_000", 4);
                } else {
                    int at = TL_InsertLogStamp(ch->path, TL_LOG_PATH_MAX, kDayPattern, today);
                    if (at >= 0) ch->stamp_offset = at;
                }
                // A stamp inside a folder name ("logs/%DAY%/x.log") names a folder
                // that does not exist yet.
                TL_MakeDirectories(ch->path);
            }
            std::snprintf(ch->stamp, sizeof ch->stamp, "%.8s_000", today);
            ReopenIfKept(ch);
            ch->file_counter.store(0);
        }
        // 2. Past the size cap.
        if (ch->size_cap > 0) {
            TLFileStatus st{};
            st.want_size64 = 1;
            if (TL_GetFileStatus(ch->path, &st) == 0 && st.size64 > static_cast<uint64_t>(ch->size_cap)) {
                CloseFile(ch);
                if (flags & TL_LOG_DELETE_ROLLED) std::remove(ch->path);
                // With no free name the path stays on the last one and writing goes
                // on there; the queue is written either way.
                if (TL_NextLogFileName(ch)) TL_MakeDirectories(ch->path);
                ReopenIfKept(ch);
            }
        }
    }
    // 3. The queued lines.
    TL_FlushLogQueue(ch);
}

void TL_FlushLogQueue(TLLogChannel* ch) {
    if (ch == nullptr) return;
    std::vector<TLLogRecord> records;
    corvane::CTLSingleLock lock(ch->lock, 1);
    records.swap(ch->queue);
    // Written under the lock: a roll or a re-target on another thread would
    // otherwise close the kept file under the writes.
    for (auto& r : records) {
        TL_WriteLogRecord(ch, &r);
        FreeRecord(r);
    }
}

void TL_RollAllLogChannels() {
    char today[16];
    TL_TodayLogStamp(today);
    const int count = g_channel_count.load(std::memory_order_acquire);
    for (int i = 0; i < count && i < TL_LOG_MAX_CHANNELS; ++i) {
        TL_RollLogChannel(g_channels[i].load(std::memory_order_acquire), today);
    }
}

// ---- API ---------------------------------------------------------------------

TLLogChannel* TL_GetLogChannel(int channel) {
    if (channel < 0 || channel >= TL_LOG_MAX_CHANNELS) return nullptr;
    if (channel == 0) return Channel0();
    return g_channels[channel].load(std::memory_order_acquire);
}

void TL_WriteLogV(int level, const char* format, va_list args) {
    TLLogChannel* ch = Channel0();
    if (ch == nullptr || format == nullptr) return;
    if (level > ch->threshold.load(std::memory_order_relaxed)) return;
    corvane::CTLString text;
    text.FormatV(format, args);
    TL_LogChannelWrite(ch, nullptr, 0, text.GetString(), level);
}

void TL_WriteLog(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    TL_WriteLogV(level, format, args);
    va_end(args);
}

void TL_WriteLogRaw(const char* format, ...) {
    TLLogChannel* ch = Channel0();
    if (ch == nullptr || format == nullptr) return;
    corvane::CTLString text;
    va_list args;
    va_start(args, format);
    text.FormatV(format, args);
    va_end(args);
    if (text.IsEmpty()) return;
    TL_LogChannelWrite(ch, nullptr, 0, text.GetString(), TL_LOG_RAW_LEVEL);
}

void TL_WriteLogText(int channel, const char* text) {
    if (text == nullptr || *text == '\0') return;
    TLLogChannel* ch = TL_GetLogChannel(channel);
    if (ch == nullptr) return;
    TL_LogChannelWrite(ch, nullptr, 0, text, TL_LOG_RAW_LEVEL);
}

int TL_OpenLog(uint32_t flags, const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    {
        std::lock_guard<std::recursive_mutex> g(CreationLock());
        TLLogChannel* ch = g_channels[0].load(std::memory_order_acquire);
        if (ch == nullptr) {
            ch = TL_CreateLogChannel(flags, path);
            if (ch == nullptr) return -1;
            g_channels[0].store(ch, std::memory_order_release);
        } else {
            corvane::CTLSingleLock lock(ch->lock, 1);
            CloseFile(ch);
            const bool ok = TL_ConfigureLogChannel(ch, flags, path);
            ReopenIfKept(ch);
            if (!ok) return -1;
        }
    }
    StartWriterOnce();
    return 0;
}

int TL_AddLogChannel(uint32_t flags, const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    int index;
    {
        std::lock_guard<std::recursive_mutex> g(CreationLock());
        index = g_channel_count.load(std::memory_order_acquire);
        if (index >= TL_LOG_MAX_CHANNELS) return -3;
        TLLogChannel* ch = TL_CreateLogChannel(flags, path);
        if (ch == nullptr) return -1;
        g_channels[index].store(ch, std::memory_order_release);
        g_channel_count.store(index + 1, std::memory_order_release);
    }
    StartWriterOnce();
    return index;
}

int TL_SetLogLevel(int channel, int level) {
    if (channel < 0 || channel >= TL_LOG_MAX_CHANNELS) return -7;
    TLLogChannel* ch = TL_GetLogChannel(channel);
    if (ch == nullptr) return -7;
    if (level < -7 || level > 7) return -6;
    ch->threshold.store(level, std::memory_order_relaxed);
    return channel;
}

void TL_DebugTrace(const char* format, ...) {
    if (format == nullptr) return;
    char buf[256];
    va_list args;
    va_start(args, format);
    corvane::CTLString text;
    text.FormatV(format, args);
    va_end(args);
    std::snprintf(buf, sizeof buf, "%s", text.GetString());
    std::fputs(buf, stdout);
    std::fflush(stdout);
}

void TL_SetLogClock(TLLogClock clock) { g_clock.store(clock, std::memory_order_release); }

void TL_SetLogWriterAutoStart(bool start) { g_writer_autostart.store(start, std::memory_order_release); }

const char* TL_GetLogChannelPath(const TLLogChannel* ch) { return ch ? ch->path : nullptr; }
const char* TL_GetLogChannelStamp(const TLLogChannel* ch) { return ch ? ch->stamp : nullptr; }
int32_t TL_GetLogChannelCap(const TLLogChannel* ch) { return ch ? ch->size_cap : 0; }
int TL_GetLogChannelThreshold(const TLLogChannel* ch) { return ch ? ch->threshold.load() : 0; }
int TL_GetLogChannelCount() { return g_channel_count.load(std::memory_order_acquire); }

corvane::CWriteLogThread* TL_GetLogWriter() { return g_writer.load(std::memory_order_acquire); }

// ---- Writer thread -------------------------------------------------------------

namespace corvane {

CWriteLogThread::~CWriteLogThread() { Stop(2000); }

void CWriteLogThread::Run() {
    // Only every tenth 1000 ms pass rolls: the thread sleeps from one of them
    // to the next instead of waking for the nine between, which do nothing.
    constexpr uint64_t kPassesPerRoll = 10;
    uint64_t pass = 0;
    while (IsRunning()) {
        TL_RollAllLogChannels();
        pass += kPassesPerRoll;
        m_nPasses.store(pass, std::memory_order_release);
        WaitForStop(kPassesPerRoll * 1000);
    }
}

int CWriteLogThread::Stop(uint32_t ms) {
    const int ended = CTL_Thread::Stop(ms);
    TL_RollAllLogChannels();
    return ended;
}

}  // namespace corvane
