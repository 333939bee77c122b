// The framework's log: up to 32 channels, each a file with its own flags,
// level threshold and lock. TL_WriteLog writes to channel 0, the default
// channel, which is created on first use as "corvane.log".
//
// Levels: 1 error, 2 status, 3 warning, 4 information, 5 debug. A line is
// written when its level does not exceed the channel's threshold, which is 0
// until TL_SetLogLevel sets it. Raw lines (level -999) are never filtered and
// carry no level field.
//
// A line reads "YYYYMMDD HHMMSS  pid:%d thread:%d %d: text\r\n".
//
// One process-wide writer thread (corvane::CWriteLogThread), started by the
// first TL_OpenLog or TL_AddLogChannel, rolls the files about every 10 s (a
// new dated file when the day changes, the next numbered file when a file
// passes its size cap) and writes the lines of queueing channels.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "framework/tl_thread.h"

// Channel flags.
constexpr uint32_t TL_LOG_CAP_MASK = 0x7FF;          // size cap in MiB (bits 0-10)
constexpr uint32_t TL_LOG_CAP_DEFAULT = 0x800;       // bit 11: use the 4 MiB default cap
constexpr uint32_t TL_LOG_DAILY = 0x10000;           // date stamp in the name, new file each day
constexpr uint32_t TL_LOG_DELETE_ROLLED = 0x40000;   // delete a finished file when rolling
constexpr uint32_t TL_LOG_QUEUED = 0x80000;          // lines queue for the writer thread
constexpr uint32_t TL_LOG_TIME = 0x100000;           // lines carry local date and time
constexpr uint32_t TL_LOG_IDS = 0x200000;            // lines carry process and thread ids
constexpr uint32_t TL_LOG_KEEP_OPEN = 0x1000000;     // keep the file open
constexpr uint32_t TL_LOG_NO_CAP = 0x2000000;        // no size cap
constexpr uint32_t TL_LOG_KEEP_NAME = 0x4000000;     // never put a date stamp in the name
constexpr uint32_t TL_LOG_NO_LINE_END = 0x8000000;   // do not add "\r\n"
constexpr uint32_t TL_LOG_DEFAULT_FLAGS = 0x330000;  // channel 0: daily, time, ids

constexpr int TL_LOG_MAX_CHANNELS = 32;
constexpr int TL_LOG_RAW_LEVEL = -999;
constexpr int TL_LOG_PATH_MAX = 260;              // path bytes, terminator included
constexpr int32_t TL_LOG_DEFAULT_CAP = 0x400000;  // 4 MiB

// One line waiting in a channel's queue.
struct TLLogRecord {
    char* data;      // binary block written before the text (TL_Allocate), or null
    int32_t length;  // its length
    char* text;      // private copy of the text (TL_Allocate)
    int64_t time;    // calendar time, 0 = none
    uint32_t pid;
    uint32_t tid;  // 0 = no ids
    int32_t level;
};

// One log channel (owned by the log; never freed).
struct TLLogChannel;

// Formats and writes a line to channel 0 at level. A level above the
// channel's threshold is dropped before formatting.
void TL_WriteLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void TL_WriteLogV(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Formats and writes a raw line (level -999) to channel 0; an empty result is
// not written.
void TL_WriteLogRaw(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes a ready text to a channel at level -999. A null or empty text, or a
// missing channel, is ignored.
void TL_WriteLogText(int channel, const char* text);

// Re-targets channel 0 to path with flags (creating it when absent) and
// starts the writer thread once. 0; -1 for a null or empty path, a path that
// does not fit once stamped, or a channel that cannot be created.
int TL_OpenLog(uint32_t flags, const char* path);

// Creates the next channel (indexes from 1 upward). Its index, -3 when 32
// channels exist, -1 for a null or empty path (or a path that does not fit,
// or a kept-open file that cannot be opened).
int TL_AddLogChannel(uint32_t flags, const char* path);

// Sets a channel's threshold. The index; -7 for an index outside 0-31 or a
// missing channel (channel 0 is created first), -6 for a level outside -7..7.
int TL_SetLogLevel(int channel, int level);

// The channel (channel 0 created on demand); null for an index outside 0-31
// or a missing channel.
TLLogChannel* TL_GetLogChannel(int channel);

// Formats into at most 255 bytes and prints the text to standard output.
void TL_DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Internals (also used by the tests) ---------------------------------

// A new channel on path with flags; null when the path does not fit or a
// kept-open file cannot be opened.
TLLogChannel* TL_CreateLogChannel(uint32_t flags, const char* path);

// Applies flags and path to a channel (cap, path, today's stamp, stamp in the
// name for daily files, missing folders created). False, with the channel
// unchanged, when the path does not fit.
bool TL_ConfigureLogChannel(TLLogChannel* channel, uint32_t flags, const char* path);

// Puts stamp into the path (a buffer of size bytes): in place of pattern
// when the path holds it, else before the last '.' of the file name, else
// after an appended '.'. Returns the stamp's offset; -1 (path unchanged)
// when the result would not fit.
int TL_InsertLogStamp(char* path, int size, const char* pattern, const char* stamp);

// Writes (or queues, with TL_LOG_QUEUED) one line.
void TL_LogChannelWrite(TLLogChannel* channel, const char* data, int32_t length, const char* text, int level);

// Writes one record to the channel's file. 0, or -1 when the file cannot be
// opened (the line is lost).
int TL_WriteLogRecord(TLLogChannel* channel, const TLLogRecord* record);

// Rolls one channel for today's stamp ("YYYYMMDD_000"): a new dated file at
// a day change, the next numbered file past the size cap; then writes its
// queued lines.
void TL_RollLogChannel(TLLogChannel* channel, const char* today);

// Moves the channel's path to the next free numbered name. False when no
// number up to 999 is free (or the stamp does not fit the path).
bool TL_NextLogFileName(TLLogChannel* channel);

// Writes the queued lines of a channel.
void TL_FlushLogQueue(TLLogChannel* channel);

// One pass of the writer: today's stamp, then every channel rolled and
// flushed.
void TL_RollAllLogChannels();

// Today's stamp "YYYYMMDD_000" (by the log clock) into out (16 bytes).
void TL_TodayLogStamp(char* out);

// The log's clock (calendar seconds). Null restores the system clock. Tests
// set it to roll days without waiting for midnight.
using TLLogClock = int64_t (*)();
void TL_SetLogClock(TLLogClock clock);

// Whether TL_OpenLog / TL_AddLogChannel start the writer thread (default
// true). Tests that drive the passes themselves turn it off.
void TL_SetLogWriterAutoStart(bool start);

// Read-only views of a channel (tests and diagnostics).
const char* TL_GetLogChannelPath(const TLLogChannel* channel);
const char* TL_GetLogChannelStamp(const TLLogChannel* channel);
int32_t TL_GetLogChannelCap(const TLLogChannel* channel);
int TL_GetLogChannelThreshold(const TLLogChannel* channel);
int TL_GetLogChannelCount();

namespace corvane {

// The writer thread: rolls every channel on its first pass and every tenth
// pass after it, one pass a second; it wakes only for the passes that roll.
class CWriteLogThread : public CTL_Thread {
public:
    CWriteLogThread() = default;
    // Stops with a 2000 ms wait.
    ~CWriteLogThread() override;

    void Run() override;
    // Stops the thread as CTL_Thread does, then rolls and flushes every
    // channel once more on the calling thread.
    int Stop(uint32_t ms = 2000) override;

    // Passes made so far (ten more at each roll).
    uint64_t GetPasses() const { return m_nPasses.load(std::memory_order_acquire); }

private:
    std::atomic<uint64_t> m_nPasses{0};
};

}  // namespace corvane

// The writer thread, null until started.
corvane::CWriteLogThread* TL_GetLogWriter();
