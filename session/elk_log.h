// Telemetry records of the feed session: one JSON line per event of a
// session's life (logins and reconnects, queries, subscriptions, push-timing
// samples, user data, cascade socket records), sent to the gateway as
// ElkMessageReq and, at log level 7, appended to "kvosdk.log".
//
// A line is one JSON object without blanks: "index_prefix", "module",
// "event" and "logtime" first, then the record's fields in ascending key
// order, every value a string except a "userid" that is a decimal integer
// printing back to the same text. Keys and values are escaped as JSON
// strings ('"', '\' and bytes below 0x20); other bytes (GBK texts) pass
// unchanged.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "framework/tl_worker.h"

// Bits of a session's ElkEventMask.
enum : uint32_t {
    kElkLogin = 0x1,       // login and reconnect records
    kElkQuery = 0x2,       // snapshot query records
    kElkSubscribe = 0x4,   // subscription records
    kElkPushSample = 0x8,  // push-timing samples
    kElkUserData = 0x20,   // user data of the host
    kElkEverything = 63,   // log level 7
};

// Option words of ElkLog.
inline constexpr char kElkOptionCpuMemory[] = "cpu_memory";
inline constexpr char kElkOptionMapParam[] = "need_mapparam";
inline constexpr char kElkOptionTextOnly[] = "elk_text";

inline constexpr char kElkFile[] = "kvosdk.log";
inline constexpr char kElkEvent[] = "tracelog";
inline constexpr char kElkDefaultPrefix[] = "client@_session";

using ElkFields = std::map<std::string, std::string>;

// One telemetry record. Its constructor stamps the local time as
// "%4d-%02d-%02d %02d:%02d:%02d.%03d" (the session clock, so tests can set
// it).
class CQueueLogElkItem : public CQueueTaskItem {
public:
    CQueueLogElkItem();
    const char* GetClassName() const override { return "QueueLogElkItem"; }

    std::string m_indexPrefix = kElkDefaultPrefix;
    std::string m_event;
    std::string m_logTime;
    std::string m_module;
    ElkFields m_fields;
};

// The JSON line of a record (no line end).
std::string FormatElkLine(const CQueueLogElkItem& item);

// Appends text to a JSON string body, escaped.
void AppendElkEscaped(std::string& out, std::string_view text);

// True when the text is a decimal integer (optional "-", digits, no leading
// zero) within 64 bits, so that it prints back to the same text.
bool ElkIsPlainInteger(std::string_view text);

// Appends one line to a file in one write, under a lock of the process:
// lines of several sessions never interleave. The file's folder is created
// when missing; a file that cannot be opened is skipped. True when written.
bool AppendElkFile(const std::string& path, std::string_view line);
