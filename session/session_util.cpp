#include "session/session_util.h"

#include <cstring>

#include "platform/pl_codepage.h"
#include "platform/pl_sysinfo.h"
#include "session/kvo_texts.h"

namespace kvoapi {

std::string BoundedText(const char* field, size_t width) {
    if (!field) return std::string();
    return std::string(field, strnlen(field, width));
}

size_t GbkPrefixLength(std::string_view text, size_t max) {
    size_t pos = 0;
    while (pos < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[pos]);
        // 0x81..0xFE lead a two-byte character; everything else is one byte.
        size_t width = (lead >= 0x81 && lead <= 0xFE && pos + 1 < text.size()) ? 2 : 1;
        if (pos + width > max) break;
        pos += width;
    }
    return pos;
}

void CopyTextField(char* field, size_t width, std::string_view text) {
    if (!field || width == 0) return;
    std::memset(field, 0, width);
    const size_t n = GbkPrefixLength(text, width - 1);
    std::memcpy(field, text.data(), n);
}

std::string GatewayTextToGbk(std::string_view text) {
    std::string gbk;
    if (pl::ConvertExact(pl::kCpUtf8, pl::kCpGbk, text.data(), text.size(), gbk) != 0) return std::string(text);
    return gbk;
}

std::string NormaliseMarket(const char* market) {
    if (!market) return std::string();
    std::string text(market);
    if (text.size() >= 3) return text.substr(1, 2);
    return text;
}

LoginResult MakeLoginResult(int code, std::string_view statusmsg, std::string_view expire_date) {
    LoginResult r;
    std::memset(&r, 0, sizeof(r));
    r.nstatuscode = code;
    CopyTextField(r.statusmsg, statusmsg);
    CopyTextField(r.expire_date, expire_date);
    return r;
}

std::string ExecutableFolder() {
    std::string path;
    if (!pl::GetExecutablePath(path)) return ".";
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string LogFilePath(const InstanceConfig& config, const char* file) {
    std::string root = BoundedText(config.m_logpath);
    for (char& c : root) {
        if (c == '\\') c = '/';
    }
    if (root.empty()) root = ExecutableFolder();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();
    return root + "/" + kLogFolder + "/" + (file ? file : "");
}

}  // namespace kvoapi
