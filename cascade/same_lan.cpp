#include "cascade/same_lan.h"

#include <cstring>

#include "framework/tl_textutil.h"

std::vector<std::string> SplitText(std::string_view list) {
    std::vector<std::string> pieces;
    TL_SplitString(list, "&", TLStringAdder{&pieces, true});
    if (!pieces.empty() && pieces.back().empty()) pieces.pop_back();
    return pieces;
}

bool IsSameLan(const std::string& a, const std::string& mask, const std::string& b) {
    size_t n = 0;
    for (size_t at = mask.find("255."); at != std::string::npos; at = mask.find("255.", at + 4)) ++n;
    size_t p = a.size();
    if (n > 0) {
        size_t dots = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i] == '.' && ++dots == n) {
                p = i;
                break;
            }
        }
    }
    if (p == 0) return false;
    return std::strncmp(a.c_str(), b.c_str(), p) == 0;
}

bool CheckSameLan(std::string_view childIps, std::string_view childMasks, const std::string& peer,
                  std::string_view ownIps, std::string_view ownMasks) {
    const std::vector<std::string> ips = SplitText(childIps);
    const std::vector<std::string> masks = SplitText(childMasks);
    if (ips.size() != masks.size()) return false;
    const std::vector<std::string> own = SplitText(ownIps);
    const std::vector<std::string> ownMask = SplitText(ownMasks);
    if (own.size() != ownMask.size()) return false;
    for (size_t i = 0; i < ips.size(); ++i) {
        if (!peer.empty() && peer != ips[i]) continue;
        for (size_t j = 0; j < own.size(); ++j) {
            if (ownMask[j] == masks[i] && IsSameLan(ips[i], masks[i], own[j])) return true;
        }
    }
    return false;
}
