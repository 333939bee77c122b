// File-system helpers under the framework's file objects and log: file
// status, full paths, folder creation, copy and delete, and the mapping of
// the platform's last error onto the framework's file codes (0x8002xxxx).
//
// Paths are GBK bytes passed to the file system unchanged. Scans for
// separators step over the second byte of a double-byte character, which may
// be 0x5C ('\\').
#pragma once

#include <cstdint>

// Framework file codes.
constexpr uint32_t TL_FILE_E_GENERIC = 0x80020001;
constexpr uint32_t TL_FILE_E_NOT_FOUND = 0x80020002;
constexpr uint32_t TL_FILE_E_BAD_PATH = 0x80020003;
constexpr uint32_t TL_FILE_E_TOO_MANY_OPEN = 0x80020004;
constexpr uint32_t TL_FILE_E_ACCESS_DENIED = 0x80020005;
constexpr uint32_t TL_FILE_E_INVALID_FILE = 0x80020006;
constexpr uint32_t TL_FILE_E_CURRENT_FOLDER = 0x80020007;
constexpr uint32_t TL_FILE_E_FOLDER_FULL = 0x80020008;
constexpr uint32_t TL_FILE_E_BAD_SEEK = 0x80020009;
constexpr uint32_t TL_FILE_E_HARD_IO = 0x8002000A;
constexpr uint32_t TL_FILE_E_SHARING = 0x8002000B;
constexpr uint32_t TL_FILE_E_LOCK = 0x8002000C;
constexpr uint32_t TL_FILE_E_DISK_FULL = 0x8002000D;
constexpr uint32_t TL_FILE_E_END_OF_FILE = 0x8002000E;
constexpr uint32_t TL_FILE_E_NETWORK_PATH = 0x8002000F;
constexpr uint32_t TL_FILE_E_EXISTS = 0x80020010;
constexpr uint32_t TL_FILE_E_NETWORK = 0x80020011;
constexpr uint32_t TL_FILE_E_WRITE_PROTECTED = 0x80020012;
constexpr uint32_t TL_FILE_E_NETWORK_WRITE = 0x80020013;
constexpr uint32_t TL_FILE_E_MAKE_FOLDER = 0x8002001B;

// Longest path (with its terminating zero) the helpers accept.
constexpr int TL_MAX_PATH = 260;

// File status record filled by TL_GetFileStatus.
struct TLFileStatus {
    int64_t mtime;        // modification time (calendar seconds)
    int64_t ctime;        // change (creation) time
    int64_t atime;        // access time
    int32_t size;         // size in bytes, 0x7FFFFFFF for larger files
    uint8_t attribute;    // 0x10 directory, 0x40 character device
    uint8_t want_size64;  // set by the caller to have size64 filled
    char path[TL_MAX_PATH];
    uint64_t size64;
};

// File code of a platform (Windows-numbered) error: the table of the
// framework's file codes; 0 for 0, TL_FILE_E_GENERIC for unlisted errors.
uint32_t TL_FileCodeFromSystemError(uint32_t error);

// File code of the calling thread's last platform error (errno).
uint32_t TL_MapLastError();

// Copies a file (contents, permissions and times). 0 or a file code.
uint32_t TL_CopyFile(const char* source, const char* target, bool fail_if_exists);

// Deletes a file. 0 or a file code.
uint32_t TL_DeleteFile(const char* path);

// The character after the last '\', '/' or ':' of the path (the path itself
// when there is none).
const char* TL_FindFileName(const char* path);

// Copies the file-name part into out. Returns 0, or the size needed (length
// + 1) when out is null or size is too small.
int TL_GetFileNamePart(const char* path, char* out, int size);

// The absolute, normalised form of path ("." and ".." resolved; an empty path
// is the current folder with a final '/'). 0, TL_FILE_E_BAD_PATH when the
// result needs TL_MAX_PATH bytes or more, or the mapped platform error.
uint32_t TL_GetFullPath(char out[TL_MAX_PATH], const char* path);

// Fills the status of a file or folder. 0; TL_FILE_E_BAD_PATH for an empty
// path or one of TL_MAX_PATH characters or more; TL_FILE_E_NOT_FOUND when
// it does not exist; or a code of TL_GetFullPath / the platform.
uint32_t TL_GetFileStatus(const char* path, TLFileStatus* out);

// Creates every missing folder of path; the last element is a file name and
// is not created. 0; TL_FILE_E_BAD_PATH for an empty path or one of
// TL_MAX_PATH characters or more; TL_FILE_E_MAKE_FOLDER when a folder
// cannot be made.
uint32_t TL_MakeDirectories(const char* path);

// Local calendar time of a platform file time (seconds since 1970); 0 when it
// cannot be converted or lies before 1900.
int64_t TL_FileTimeToTime(int64_t file_time);

// Converts three platform file times (creation, modification, access); the
// first and the third fall back to the second when they convert to 0.
void TL_GetFileTimes(int64_t out[3], int64_t creation, int64_t modification, int64_t access);
