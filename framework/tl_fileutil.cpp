#include "framework/tl_fileutil.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/pl_never_destroyed.h"
#include "platform/pl_sysinfo.h"

namespace {

// Lead byte of a GBK double-byte character.
inline bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

struct ErrorRow {
    uint32_t code;
    std::vector<uint32_t> errors;
};

const std::vector<ErrorRow>& ErrorTable() {
    // Never destroyed: threads may still report file errors while the
    // process exits.
    static const pl::NeverDestroyed<std::vector<ErrorRow>> table(std::vector<ErrorRow>{
        {TL_FILE_E_NOT_FOUND, {2, 6, 18, 107}},
        {TL_FILE_E_BAD_PATH, {3, 15, 17, 34, 52, 55, 70, 85, 111, 123, 124, 125, 144, 154, 161, 206, 208, 267}},
        {TL_FILE_E_TOO_MANY_OPEN, {4, 36, 68, 113}},
        {TL_FILE_E_ACCESS_DENIED, {5, 12, 71, 82, 170, 999}},
        {TL_FILE_E_INVALID_FILE, {11, 26, 60, 66, 114, 182, 191, 193}},
        {TL_FILE_E_CURRENT_FOLDER, {16, 145}},
        {TL_FILE_E_FOLDER_FULL, {62}},
        {TL_FILE_E_BAD_SEEK, {24, 25, 27, 30, 131, 132}},
        {TL_FILE_E_HARD_IO, {20, 21, 22, 23, 57, 59, 117, 995, 996, 997}},
        {TL_FILE_E_SHARING, {32}},
        {TL_FILE_E_LOCK, {33, 108, 167}},
        {TL_FILE_E_DISK_FULL, {39, 112}},
        {TL_FILE_E_END_OF_FILE, {38}},
        {TL_FILE_E_NETWORK_PATH, {53, 67}},
        {TL_FILE_E_EXISTS, {80, 183}},
        {TL_FILE_E_NETWORK, {54, 58, 64, 65, 86}},
        {TL_FILE_E_WRITE_PROTECTED, {19, 29}},
        {TL_FILE_E_NETWORK_WRITE, {88}},
    });
    return *table;
}

}  // namespace

uint32_t TL_FileCodeFromSystemError(uint32_t error) {
    if (error == 0) return 0;
    for (const auto& row : ErrorTable()) {
        for (uint32_t e : row.errors) {
            if (e == error) return row.code;
        }
    }
    return TL_FILE_E_GENERIC;
}

uint32_t TL_MapLastError() { return TL_FileCodeFromSystemError(pl::LastSystemError()); }

uint32_t TL_CopyFile(const char* source, const char* target, bool fail_if_exists) {
    if (source == nullptr || target == nullptr || *source == '\0' || *target == '\0') {
        return TL_FILE_E_BAD_PATH;
    }
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) return TL_MapLastError();
    struct stat st;
    if (fstat(in, &st) != 0) {
        uint32_t e = TL_MapLastError();
        close(in);
        return e;
    }
    if (S_ISDIR(st.st_mode)) {
        close(in);
        return TL_FILE_E_ACCESS_DENIED;
    }
    // Copying a file onto itself would truncate it before it is read.
    struct stat dst;
    if (stat(target, &dst) == 0 && dst.st_dev == st.st_dev && dst.st_ino == st.st_ino) {
        close(in);
        return fail_if_exists ? TL_FILE_E_EXISTS : TL_FILE_E_SHARING;
    }
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (fail_if_exists ? O_EXCL : 0);
    int out = open(target, flags, st.st_mode & 07777);
    if (out < 0) {
        uint32_t e = TL_MapLastError();
        close(in);
        return e;
    }
    char buf[65536];
    uint32_t result = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            result = TL_MapLastError();
            break;
        }
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                result = TL_MapLastError();
                break;
            }
            done += w;
        }
        if (result != 0) break;
    }
    if (result == 0) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
    }
    if (close(out) != 0 && result == 0) result = TL_MapLastError();
    close(in);
    if (result != 0) unlink(target);
    return result;
}

uint32_t TL_DeleteFile(const char* path) {
    if (path == nullptr || *path == '\0') return TL_FILE_E_BAD_PATH;
    return unlink(path) == 0 ? 0 : TL_MapLastError();
}

const char* TL_FindFileName(const char* path) {
    if (path == nullptr) return nullptr;
    const char* name = path;
    for (const char* p = path; *p; ++p) {
        if (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0') {
            ++p;
            continue;
        }
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    }
    return name;
}

int TL_GetFileNamePart(const char* path, char* out, int size) {
    const char* name = TL_FindFileName(path ? path : "");
    size_t len = std::strlen(name);
    if (len >= INT_MAX) return INT_MAX;
    if (out == nullptr || size < 0 || static_cast<size_t>(size) < len + 1) {
        return static_cast<int>(len + 1);
    }
    std::memcpy(out, name, len + 1);
    return 0;
}

uint32_t TL_GetFullPath(char out[TL_MAX_PATH], const char* path) {
    if (out == nullptr) return TL_FILE_E_BAD_PATH;
    std::string in = (path == nullptr || *path == '\0') ? "./" : path;
    std::string full;
    if (in[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return TL_MapLastError();
        full = cwd;
        full += '/';
    }
    full += in;
    const bool trailing = in.back() == '/';
    // Lexical normalisation: drop empty elements and ".", resolve "..".
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos) j = full.size();
        std::string elem = full.substr(i, j - i);
        if (elem == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!elem.empty() && elem != ".") {
            parts.push_back(elem);
        }
        i = j + 1;
    }
    std::string result;
    for (const auto& p : parts) result += "/" + p;
    if (result.empty()) {
        result = "/";
    } else if (trailing) {
        result += '/';
    }
    if (result.size() >= static_cast<size_t>(TL_MAX_PATH)) return TL_FILE_E_BAD_PATH;
    std::memcpy(out, result.c_str(), result.size() + 1);
    return 0;
}

uint32_t TL_GetFileStatus(const char* path, TLFileStatus* out) {
    if (path == nullptr || *path == '\0' || std::strlen(path) >= TL_MAX_PATH || out == nullptr) {
        return TL_FILE_E_BAD_PATH;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return TL_FILE_E_NOT_FOUND;
        return TL_MapLastError();
    }
    uint32_t r = TL_GetFullPath(out->path, path);
    if (r != 0) return r;
    int64_t times[3];
    TL_GetFileTimes(times, st.st_ctime, st.st_mtime, st.st_atime);
    out->ctime = times[0];
    out->mtime = times[1];
    out->atime = times[2];
    uint64_t size = st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
    out->size = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(size);
    out->attribute = 0;
    if (S_ISDIR(st.st_mode)) out->attribute |= 0x10;
    if (S_ISCHR(st.st_mode)) out->attribute |= 0x40;
    if (out->want_size64) out->size64 = size;
    return 0;
}

uint32_t TL_MakeDirectories(const char* path) {
    if (path == nullptr || *path == '\0') return TL_FILE_E_BAD_PATH;
    size_t len = std::strlen(path);
    // A longer path would be cut short and a wrong folder created.
    if (len >= TL_MAX_PATH) return TL_FILE_E_BAD_PATH;
    char buf[TL_MAX_PATH + 1];
    std::memcpy(buf, path, len + 1);
    for (size_t i = 1; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        if (IsLeadByte(c) && buf[i + 1] != '\0') {
            ++i;
            continue;
        }
        if (c != '/') continue;
        buf[i] = '\0';
        if (access(buf, F_OK) != 0) {
            if (mkdir(buf, 0755) != 0 && errno != EEXIST) {
                return TL_FILE_E_MAKE_FOLDER;
            }
        }
        buf[i] = '/';
    }
    return 0;
}

int64_t TL_FileTimeToTime(int64_t file_time) {
    time_t t = static_cast<time_t>(file_time);
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return 0;
    if (tm.tm_year < 0) return 0;
    return file_time;
}

void TL_GetFileTimes(int64_t out[3], int64_t creation, int64_t modification, int64_t access) {
    out[1] = TL_FileTimeToTime(modification);
    out[0] = TL_FileTimeToTime(creation);
    out[2] = TL_FileTimeToTime(access);
    if (out[0] == 0) out[0] = out[1];
    if (out[2] == 0) out[2] = out[1];
}
