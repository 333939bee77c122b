// A small hierarchical key/value store kept in files: the stand-in for the
// system registry. A key is a folder, a value is a file holding the value's
// bytes. Key and value names compare without regard to ASCII case, as
// registry names do. The store lives under $KVO_KEYSTORE_DIR, else
// $XDG_CONFIG_HOME/corvane/registry, else $HOME/.config/corvane/registry;
// SetKeyStoreRoot overrides that (tests).
//
// Results are Windows error numbers: 0 success, 2 key or value not found,
// 87 bad name, 234 the value does not fit the buffer, 5 and others for
// failures of the file system.
#pragma once

#include <cstdint>
#include <string>

namespace pl {

struct KeyStoreKey;
typedef KeyStoreKey* KeyHandle;

// The two root keys (never closed).
KeyHandle KeyStoreCurrentUser();
KeyHandle KeyStoreLocalMachine();

enum : uint32_t {
    kKeyOk = 0,
    kKeyNotFound = 2,
    kKeyAccessDenied = 5,
    kKeyBadName = 87,
    kKeyMoreData = 234,
};

// Opens (create false) or creates (create true) the sub-key `path` of
// `parent`; '\' and '/' both separate path elements. An empty path opens the
// parent itself again.
uint32_t KeyOpen(KeyHandle parent, const char* path, bool create, KeyHandle* out);

// Releases a key opened by KeyOpen; the root keys are ignored.
void KeyClose(KeyHandle key);

// Reads a value: on entry *size is the buffer size; on return the value's
// size. kKeyMoreData when the buffer is too small (nothing copied).
uint32_t KeyGetValue(KeyHandle key, const char* name, void* buf, uint32_t* size);

// Writes a value (replaced atomically).
uint32_t KeySetValue(KeyHandle key, const char* name, const void* data, uint32_t size);

// Makes the key's values durable (fsync of the key's folder).
uint32_t KeyFlush(KeyHandle key);

// Redirects the store to another folder (empty or null: the default again).
void SetKeyStoreRoot(const char* dir);

// The folder the store uses now.
std::string KeyStoreRoot();

}  // namespace pl
