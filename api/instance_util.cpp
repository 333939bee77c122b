#include "api/instance_util.h"

#include <cstring>

#include "api/kvo_texts.h"

namespace kvoapi {

std::string NormaliseMarket(const char* market) {
  if (!market) return std::string();
  std::string text(market);
  if (text.size() >= 3) return text.substr(1, 2);
  return text;
}

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

LoginResult MakeLoginResult(int code, std::string_view statusmsg, std::string_view expire_date) {
  LoginResult r;
  std::memset(&r, 0, sizeof(r));
  r.nstatuscode = code;
  CopyTextField(r.statusmsg, statusmsg);
  CopyTextField(r.expire_date, expire_date);
  return r;
}

bool IsInternalAccount(const char* name, size_t length) {
  const size_t marker = sizeof(kInternalAccountMarker) - 1;
  if (!name || length < 8) return false;
  return std::strncmp(name, kInternalAccountMarker, marker) == 0;
}

LoginResult MergeLoginResults(const LoginResult& precheck,
                              const std::vector<MarketLoginResult>& markets) {
  if (markets.empty()) return precheck;
  LoginResult merged = precheck;
  bool failed = false;
  std::string status;
  std::string expiry;
  for (const auto& [code, result] : markets) {
    if (result.nstatuscode < 0) {
      merged = result;
      failed = true;
    } else if (result.nstatuscode > 0) {
      if (!failed) merged = result;
    } else {
      std::memcpy(merged.expire_date, result.expire_date, sizeof(merged.expire_date));
    }
    status += code + ":\"" + BoundedText(result.statusmsg) + "\" ";
    expiry += code + ":\"" + BoundedText(result.expire_date) + "\" ";
  }
  CopyTextField(merged.statusmsg, "(" + status + ")");
  CopyTextField(merged.expire_date, "(" + expiry + ")");
  return merged;
}

}  // namespace kvoapi
