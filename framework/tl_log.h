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
#pragma once

#include <cstdarg>
#include <cstdint>

// Channel flags.
constexpr uint32_t TL_LOG_CAP_MASK = 0x7FF;           // size cap in MiB (bits 0-10)
constexpr uint32_t TL_LOG_CAP_DEFAULT = 0x800;        // bit 11: use the 4 MiB default cap
constexpr uint32_t TL_LOG_DAILY = 0x10000;            // date stamp in the name, new file each day
constexpr uint32_t TL_LOG_DELETE_ROLLED = 0x40000;    // delete a finished file when rolling
constexpr uint32_t TL_LOG_QUEUED = 0x80000;           // lines queue for the writer thread
constexpr uint32_t TL_LOG_TIME = 0x100000;            // lines carry local date and time
constexpr uint32_t TL_LOG_IDS = 0x200000;             // lines carry process and thread ids
constexpr uint32_t TL_LOG_KEEP_OPEN = 0x1000000;      // keep the file open
constexpr uint32_t TL_LOG_NO_CAP = 0x2000000;         // no size cap
constexpr uint32_t TL_LOG_KEEP_NAME = 0x4000000;      // never put a date stamp in the name
constexpr uint32_t TL_LOG_NO_LINE_END = 0x8000000;    // do not add "\r\n"
constexpr uint32_t TL_LOG_DEFAULT_FLAGS = 0x330000;   // channel 0: daily, time, ids

constexpr int TL_LOG_MAX_CHANNELS = 32;
constexpr int TL_LOG_RAW_LEVEL = -999;

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
// starts the writer thread once. 0, or -1 for a null or empty path.
int TL_OpenLog(uint32_t flags, const char* path);

// Creates the next channel (indexes from 1 upward). Its index, -3 when 32
// channels exist, -1 for a null or empty path (or a kept-open file that
// cannot be opened).
int TL_AddLogChannel(uint32_t flags, const char* path);

// Sets a channel's threshold. The index; -7 for an index outside 0-31 or a
// missing channel (channel 0 is created first), -6 for a level outside -7..7.
int TL_SetLogLevel(int channel, int level);

// The channel (channel 0 created on demand); null for an index outside 0-31
// or a missing channel.
TLLogChannel* TL_GetLogChannel(int channel);

// Formats into at most 255 bytes and prints the text to standard output.
void TL_DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
