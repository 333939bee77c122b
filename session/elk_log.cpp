#include "session/elk_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>

#include "framework/tl_fileutil.h"
#include "session/clock.h"
#include "platform/pl_never_destroyed.h"

namespace {

std::mutex& FileMutex() {
    static pl::NeverDestroyed<std::mutex> mutex;  // lives until the process ends
    return *mutex;
}

void AppendMember(std::string& out, std::string_view key, std::string_view value, bool quoted) {
    out += '"';
    AppendElkEscaped(out, key);
    out += "\":";
    if (!quoted) {
        out.append(value);
        return;
    }
    out += '"';
    AppendElkEscaped(out, value);
    out += '"';
}

}  // namespace

CQueueLogElkItem::CQueueLogElkItem() {
    const uint64_t nowMs = SessionClock::GetNowMs();
    const time_t seconds = static_cast<time_t>(nowMs / 1000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char text[64];
    std::snprintf(text, sizeof(text), "%4d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(nowMs % 1000));
    m_logTime = text;
}

void AppendElkEscaped(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        switch (b) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (b < 0x20) {
                out += "\\u00";
                out += kHex[b >> 4];
                out += kHex[b & 0xF];
            } else {
                out += c;
            }
        }
    }
}

bool ElkIsPlainInteger(std::string_view text) {
    size_t pos = 0;
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        pos = 1;
    }
    const size_t digits = text.size() - pos;
    if (digits == 0 || digits > 19) return false;
    if (text[pos] == '0' && (digits > 1 || negative)) return false;  // "007", "-0"
    uint64_t value = 0;
    for (size_t i = pos; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');  // 19 digits cannot wrap 64 bits
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return value <= limit;
}

std::string FormatElkLine(const CQueueLogElkItem& item) {
    std::string line = "{";
    AppendMember(line, "index_prefix", item.m_indexPrefix, true);
    line += ',';
    AppendMember(line, "module", item.m_module, true);
    line += ',';
    AppendMember(line, "event", item.m_event, true);
    line += ',';
    AppendMember(line, "logtime", item.m_logTime, true);
    for (const auto& [key, value] : item.m_fields) {
        line += ',';
        AppendMember(line, key, value, !(key == "userid" && ElkIsPlainInteger(value)));
    }
    line += '}';
    return line;
}

bool AppendElkFile(const std::string& path, std::string_view line) {
    std::lock_guard<std::mutex> lock(FileMutex());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        TL_MakeDirectories(path.c_str());
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (fd < 0) return false;
    // One write: O_APPEND puts the whole line at the end, also against
    // another process appending to the same file.
    const ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
    return written == static_cast<ssize_t>(line.size());
}
