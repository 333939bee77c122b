#include "framework/tl_registry.h"

#include <cstring>
#include <string>

namespace corvane {

CTLRegistry::~CTLRegistry() { Close(); }

void CTLRegistry::Close() {
    if (m_hKey != nullptr && m_bOwned) pl::KeyClose(m_hKey);
    m_hKey = nullptr;
    m_bOwned = false;
}

uint32_t CTLRegistry::Open(TLKeyHandle parent, const char* path, uint32_t flags) {
    Close();
    if (parent == nullptr) return TL_REG_E_FAILED;
    if (path == nullptr || *path == '\0') {
        m_hKey = parent;
        m_bOwned = false;
        return 0;
    }
    std::string sub = path;
    for (char& c : sub) {
        if (c == '/') c = '\\';
    }
    TLKeyHandle key = nullptr;
    uint32_t r = pl::KeyOpen(parent, sub.c_str(), (flags & TL_REG_CREATE) != 0, &key);
    if (r == pl::kKeyNotFound && !(flags & TL_REG_CREATE)) return TL_REG_E_NO_KEY;
    if (r != pl::kKeyOk) return TL_REG_E_FAILED;
    m_hKey = key;
    m_bOwned = (flags & TL_REG_NO_CLOSE) == 0;
    return 0;
}

uint32_t CTLRegistry::GetDword(const char* name, uint32_t* value) {
    if (m_hKey == nullptr || value == nullptr) return TL_REG_E_FAILED;
    unsigned char buf[4] = {0, 0, 0, 0};
    uint32_t size = sizeof buf;
    uint32_t r = pl::KeyGetValue(m_hKey, name, buf, &size);
    if (r == pl::kKeyMoreData) return TL_REG_E_MORE_DATA;
    if (r != pl::kKeyOk) return TL_REG_E_FAILED;
    *value = static_cast<uint32_t>(buf[0]) | (static_cast<uint32_t>(buf[1]) << 8) |
             (static_cast<uint32_t>(buf[2]) << 16) | (static_cast<uint32_t>(buf[3]) << 24);
    return 0;
}

uint32_t CTLRegistry::SetDword(const char* name, uint32_t value) {
    if (m_hKey == nullptr) return TL_REG_E_FAILED;
    unsigned char buf[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    return pl::KeySetValue(m_hKey, name, buf, sizeof buf) == pl::kKeyOk ? 0 : TL_REG_E_FAILED;
}

uint32_t CTLRegistry::Flush() {
    if (m_hKey == nullptr) return TL_REG_E_FAILED;
    return pl::KeyFlush(m_hKey) == pl::kKeyOk ? 0 : TL_REG_E_FAILED;
}

}  // namespace corvane
