#include "platform/pl_keystore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/pl_never_destroyed.h"
#include "platform/pl_sysinfo.h"

namespace pl {

struct KeyStoreKey {
    std::string rel;  // folder relative to the store root, "" for none
    bool predefined;
};

namespace {

// The root keys and the root's override, never destroyed: a thread still
// running as the process exits (a teardown the exit gave up waiting for)
// may still read the store.
struct Roots {
    KeyStoreKey currentUser{"HKCU", true};
    KeyStoreKey localMachine{"HKLM", true};
    std::recursive_mutex mutex;  // the override
    std::string rootOverride;
};

Roots& TheRoots() {
    static NeverDestroyed<Roots> roots;
    return *roots;
}

// ASCII lower case, stepping over the second byte of a GBK character (which
// may be an ASCII letter).
std::string FoldName(const std::string& s) {
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x81 && c <= 0xFE && i + 1 < s.size()) {
            r.push_back(s[i]);
            r.push_back(s[++i]);
            continue;
        }
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        r.push_back(static_cast<char>(c));
    }
    return r;
}

// A value name as a file name: '%' and '/' are escaped, and a '=' prefix keeps
// values apart from sub-key folders.
std::string ValueFileName(const char* name) {
    std::string folded = FoldName(name ? name : "");
    std::string r = "=";
    for (char c : folded) {
        if (c == '%' || c == '/' || c == '\0') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            r += hex;
        } else {
            r.push_back(c);
        }
    }
    return r;
}

bool MakeFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Makes every folder of the path, looking at each from the file system's
// root down.
bool MakeFoldersFromRoot(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == '/' && !MakeFolder(path.substr(0, i))) return false;
    }
    return MakeFolder(path);
}

bool MakeFolders(const std::string& path) {
    // A key's folder mostly exists already, or lacks its last levels only:
    // the missing folders are made below the deepest one that exists, not
    // looked at one by one from the file system's root.
    std::vector<size_t> ends{path.size()};
    while (!MakeFolder(path.substr(0, ends.back()))) {
        const size_t slash = errno == ENOENT ? path.rfind('/', ends.back() - 1) : std::string::npos;
        if (slash == std::string::npos || slash == 0) return MakeFoldersFromRoot(path);
        ends.push_back(slash);
    }
    for (ends.pop_back(); !ends.empty(); ends.pop_back()) {
        if (!MakeFolder(path.substr(0, ends.back()))) return MakeFoldersFromRoot(path);
    }
    return true;
}

std::string KeyFolder(const KeyStoreKey* key) { return KeyStoreRoot() + "/" + key->rel; }

}  // namespace

KeyHandle KeyStoreCurrentUser() { return &TheRoots().currentUser; }
KeyHandle KeyStoreLocalMachine() { return &TheRoots().localMachine; }

void SetKeyStoreRoot(const char* dir) {
    Roots& roots = TheRoots();
    std::lock_guard<std::recursive_mutex> g(roots.mutex);
    roots.rootOverride = dir ? dir : "";
}

std::string KeyStoreRoot() {
    {
        Roots& roots = TheRoots();
        std::lock_guard<std::recursive_mutex> g(roots.mutex);
        if (!roots.rootOverride.empty()) return roots.rootOverride;
    }
    const char* v = std::getenv("KVO_KEYSTORE_DIR");
    if (v && *v) return v;
    v = std::getenv("XDG_CONFIG_HOME");
    if (v && *v) return std::string(v) + "/corvane/registry";
    v = std::getenv("HOME");
    if (v && *v) return std::string(v) + "/.config/corvane/registry";
    return "/tmp/corvane-registry-" + std::to_string(getuid());
}

uint32_t KeyOpen(KeyHandle parent, const char* path, bool create, KeyHandle* out) {
    if (parent == nullptr || out == nullptr) return kKeyBadName;
    std::string rel = parent->rel;
    const char* p = path ? path : "";
    std::string elem;
    auto add = [&](void) -> bool {
        if (elem.empty()) return true;
        if (elem == "." || elem == "..") return false;
        rel += "/" + FoldName(elem);
        elem.clear();
        return true;
    };
    for (; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x81 && c <= 0xFE && p[1] != '\0') {
            elem.push_back(*p);
            elem.push_back(*++p);
            continue;
        }
        if (c == '\\' || c == '/') {
            if (!add()) return kKeyBadName;
        } else {
            elem.push_back(*p);
        }
    }
    if (!add()) return kKeyBadName;
    std::string folder = KeyStoreRoot() + "/" + rel;
    if (create) {
        if (!MakeFolders(folder)) return SystemErrorFromErrno(errno ? errno : EACCES);
    } else {
        struct stat st;
        if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kKeyNotFound;
    }
    *out = new KeyStoreKey{rel, false};
    return kKeyOk;
}

void KeyClose(KeyHandle key) {
    if (key != nullptr && !key->predefined) delete key;
}

uint32_t KeyGetValue(KeyHandle key, const char* name, void* buf, uint32_t* size) {
    if (key == nullptr || size == nullptr) return kKeyBadName;
    std::string file = KeyFolder(key) + "/" + ValueFileName(name);
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? kKeyNotFound : SystemErrorFromErrno(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 0x7FFFFFFF) {
        close(fd);
        return kKeyAccessDenied;
    }
    uint64_t len = static_cast<uint64_t>(st.st_size);
    uint32_t cap = *size;
    *size = static_cast<uint32_t>(len);
    if (len > cap || (len > 0 && buf == nullptr)) {
        close(fd);
        return buf == nullptr ? kKeyOk : kKeyMoreData;
    }
    uint64_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, static_cast<char*>(buf) + got, len - got);
        if (n <= 0) {
            close(fd);
            return n == 0 ? kKeyAccessDenied : SystemErrorFromErrno(errno);
        }
        got += static_cast<uint64_t>(n);
    }
    close(fd);
    return kKeyOk;
}

uint32_t KeySetValue(KeyHandle key, const char* name, const void* data, uint32_t size) {
    if (key == nullptr || (data == nullptr && size > 0)) return kKeyBadName;
    std::string folder = KeyFolder(key);
    if (!MakeFolders(folder)) return SystemErrorFromErrno(errno ? errno : EACCES);
    std::string file = folder + "/" + ValueFileName(name);
    std::string tmp = file + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(gettid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return SystemErrorFromErrno(errno);
    uint32_t put = 0;
    while (put < size) {
        ssize_t n = write(fd, static_cast<const char*>(data) + put, size - put);
        if (n < 0) {
            uint32_t e = SystemErrorFromErrno(errno);
            close(fd);
            unlink(tmp.c_str());
            return e;
        }
        put += static_cast<uint32_t>(n);
    }
    fdatasync(fd);
    close(fd);
    if (rename(tmp.c_str(), file.c_str()) != 0) {
        uint32_t e = SystemErrorFromErrno(errno);
        unlink(tmp.c_str());
        return e;
    }
    return kKeyOk;
}

uint32_t KeyFlush(KeyHandle key) {
    if (key == nullptr) return kKeyBadName;
    std::string folder = KeyFolder(key);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? kKeyOk : SystemErrorFromErrno(errno);
    uint32_t r = fsync(fd) == 0 ? kKeyOk : SystemErrorFromErrno(errno);
    close(fd);
    return r;
}

}  // namespace pl
