// corvane::CTLRegistry: a registry key wrapper over the platform's key store
// (a small file-backed store of our own, see platform/pl_keystore.h).
#pragma once

#include <cstdint>

#include "framework/tl_object.h"
#include "platform/pl_keystore.h"

// Registry result codes.
constexpr uint32_t TL_REG_E_FAILED = 0x80010001;     // any platform failure
constexpr uint32_t TL_REG_E_MORE_DATA = 0x80010002;  // the value does not fit the buffer
constexpr uint32_t TL_REG_E_NO_KEY = 0x80010003;     // the key to open does not exist

// Open flags.
constexpr uint32_t TL_REG_CREATE = 0x1;    // create the key when missing
constexpr uint32_t TL_REG_NO_CLOSE = 0x2;  // the key is not closed by this object

using TLKeyHandle = pl::KeyHandle;

// The root keys.
inline TLKeyHandle TL_KeyCurrentUser() { return pl::KeyStoreCurrentUser(); }
inline TLKeyHandle TL_KeyLocalMachine() { return pl::KeyStoreLocalMachine(); }

namespace corvane {

class CTLRegistry : public CTLObject {
public:
    CTLRegistry() = default;
    ~CTLRegistry() override;
    CTLRegistry(const CTLRegistry&) = delete;
    CTLRegistry& operator=(const CTLRegistry&) = delete;

    // Closes the key held (unless not owned), then: an empty path adopts the
    // parent itself without owning it; otherwise creates (flag bit 0) or
    // opens the sub-key, '/' read as '\'. Flag bit 1 marks the new key as not
    // to be closed. 0 or a registry code.
    uint32_t Open(TLKeyHandle parent, const char* path, uint32_t flags);

    // Reads a 32-bit value. 0 or a registry code.
    uint32_t GetDword(const char* name, uint32_t* value);

    // Writes a 32-bit value. 0 or a registry code.
    uint32_t SetDword(const char* name, uint32_t value);

    // Flushes the key to storage.
    uint32_t Flush();

    // Closes the key when owned; forgets it either way.
    void Close();

    TLKeyHandle GetKey() const { return m_hKey; }

private:
    TLKeyHandle m_hKey = nullptr;
    bool m_bOwned = false;
};

}  // namespace corvane
