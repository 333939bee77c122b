#include "framework/tl_filebase.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "framework/tl_alloc.h"
#include "framework/tl_fileutil.h"
#include "platform/pl_filelock.h"

namespace {

// errno through the framework's one table of file codes.
uint32_t LastCode() { return TL_MapLastError(); }

bool SameFile(const char* a, const char* b) {
    struct stat sa, sb;
    if (a == nullptr || b == nullptr || stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Writes n bytes whole, at `at` or (at < 0) at the position: 0, the mapped
// error, or a short write when the system takes nothing.
uint32_t WriteAll(int fd, const uint8_t* p, uint64_t n, int64_t at = -1) {
    while (n > 0) {
        ssize_t w = at >= 0 ? pwrite(fd, p, n, at) : write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return LastCode();
        if (w == 0) return TL_FILE_E_DISK_FULL;
        p += w;
        n -= uint64_t(w);
        if (at >= 0) at += w;
    }
    return 0;
}

// Copies the whole content of one descriptor to another from offset 0.
uint32_t CopyFd(int from, int to) {
    uint8_t buf[65536];
    int64_t at = 0;
    for (;;) {
        ssize_t r = pread(from, buf, sizeof buf, at);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return LastCode();
        if (r == 0) return 0;
        if (uint32_t rc = WriteAll(to, buf, uint64_t(r), at)) return rc;
        at += r;
    }
}

int64_t NewPosition(int64_t offset, int origin, uint64_t pos, uint64_t len) {
    int64_t base = origin == 0 ? 0 : origin == 1 ? int64_t(pos) : int64_t(len);
    if (origin < 0 || origin > 2) return -1;
    if (offset > 0 && base > INT64_MAX - offset) return -1;
    return base + offset;
}

}  // namespace

namespace corvane {

// ---- CFileBase ----

uint32_t CFileBase::OpenMemory(const void*, uint32_t, uint32_t, bool) { return TL_FOBJ_E_UNSUPPORTED; }

uint32_t CFileBase::GetPosition() {
    uint64_t p = GetPosition64();
    return p > 0xFFFFFFFFull ? TL_FOBJ_E_BAD_SIZE : uint32_t(p);
}

uint32_t CFileBase::Seek(int32_t offset, int origin) { return Seek64(offset, origin); }

uint32_t CFileBase::SetLength(uint32_t length, uint8_t fill) { return SetLength64(int64_t(length), fill); }

uint32_t CFileBase::GetLength() {
    uint64_t n = GetLength64();
    return n > 0xFFFFFFFFull ? TL_FOBJ_E_BAD_SIZE : uint32_t(n);
}

// ---- CDiskFile ----

CDiskFile::~CDiskFile() { Close(); }

uint32_t CDiskFile::Open(const char* name, uint32_t mode) {
    if (name == nullptr || *name == 0) return TL_FILE_E_BAD_PATH;
    if (fd_ >= 0) return TL_FOBJ_E_ALREADY_OPEN;
    int flags = (mode & TL_FMODE_READONLY) ? O_RDONLY : O_RDWR;
    if (mode & (TL_FMODE_EXISTING | TL_FMODE_READONLY)) {
        // Flag 0x2 still empties an existing file that may be written.
        if ((mode & TL_FMODE_CREATE) && !(mode & TL_FMODE_READONLY)) flags |= O_TRUNC;
    } else if (mode & TL_FMODE_CREATE) {
        flags |= O_CREAT | O_TRUNC;
    } else if (mode & TL_FMODE_NEW) {
        flags |= O_CREAT | O_EXCL;
    } else {
        flags |= O_CREAT;
    }
    int fd = open(name, flags | O_CLOEXEC, 0644);
    if (fd < 0) return LastCode();
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        return TL_FILE_E_ACCESS_DENIED;
    }
    fd_ = fd;
    mode_ = mode;
    return 0;
}

uint32_t CDiskFile::Close() {
    if (fd_ < 0) return 0;
    int rc = close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : LastCode();
}

uint32_t CDiskFile::GetStatus(TLFileStatusRecord* out) {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    struct stat st;
    if (fstat(fd_, &st) != 0) return LastCode();
    out->length = uint64_t(st.st_size);
    out->ctime = st.st_ctim.tv_sec;
    out->mtime = st.st_mtim.tv_sec;
    out->atime = st.st_atim.tv_sec;
    return 0;
}

uint64_t CDiskFile::GetPosition64() {
    off_t p = fd_ >= 0 ? lseek(fd_, 0, SEEK_CUR) : 0;
    return p < 0 ? 0 : uint64_t(p);
}

uint32_t CDiskFile::Seek64(int64_t offset, int origin) {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    // Only the base the origin names is asked of the system.
    const uint64_t pos = origin == 1 ? GetPosition64() : 0;
    const uint64_t len = origin == 2 ? GetLength64() : 0;
    int64_t to = NewPosition(offset, origin, pos, len);
    if (to < 0) return TL_FOBJ_E_BAD_SIZE;
    return lseek(fd_, to, SEEK_SET) < 0 ? LastCode() : 0;
}

uint32_t CDiskFile::SetLength64(int64_t length, uint8_t fill) {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    if (length < 0) return TL_FOBJ_E_BAD_SIZE;
    uint64_t cur = GetLength64();
    if (uint64_t(length) > cur && fill != 0) {
        uint8_t buf[4096];
        std::memset(buf, fill, sizeof buf);
        uint64_t at = cur;
        while (at < uint64_t(length)) {
            uint64_t n = std::min<uint64_t>(sizeof buf, uint64_t(length) - at);
            if (WriteAll(fd_, buf, n, int64_t(at)) != 0) return TL_FILE_E_DISK_FULL;
            at += n;
        }
        return 0;
    }
    return ftruncate(fd_, length) == 0 ? 0 : LastCode();
}

uint64_t CDiskFile::GetLength64() {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return 0;
    return uint64_t(st.st_size);
}

uint32_t CDiskFile::Read(void* buffer, uint32_t size) {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    const bool lock = (mode_ & TL_FMODE_LOCK) != 0 && size > 0;
    const int64_t at = int64_t(GetPosition64());
    if (lock) pl::LockFileRange(fd_, at, size, false, true);
    uint8_t* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    uint32_t rc = 0;
    while (done < size) {
        ssize_t r = read(fd_, p + done, size - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            rc = LastCode();
            break;
        }
        if (r == 0) break;
        done += uint32_t(r);
    }
    if (lock) pl::UnlockFileRange(fd_, at, size);
    return rc ? rc : done;
}

uint32_t CDiskFile::Write(const void* data, uint32_t size, uint32_t count, uint8_t fill) {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    uint64_t total = uint64_t(size) * count;
    if (total > 0xFFFFFFFFull) return TL_FOBJ_E_BAD_SIZE;
    const bool lock = (mode_ & TL_FMODE_LOCK) != 0 && total > 0;
    const int64_t at = int64_t(GetPosition64());
    if (lock) pl::LockFileRange(fd_, at, int64_t(total), true, true);
    uint32_t rc = 0;
    if (data == nullptr) {
        // Fill bytes go out in blocks of a fixed size.
        uint8_t block[4096];
        std::memset(block, fill, sizeof block);
        for (uint64_t left = total; left > 0 && rc == 0;) {
            uint64_t n = std::min<uint64_t>(left, sizeof block);
            rc = WriteAll(fd_, block, n);
            left -= n;
        }
    } else {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        for (uint32_t i = 0; i < count && rc == 0; ++i, p += size) {
            rc = WriteAll(fd_, p, size);
        }
    }
    if (lock) pl::UnlockFileRange(fd_, at, int64_t(total));
    return rc ? rc : uint32_t(total);
}

uint32_t CDiskFile::Flush() {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    return fdatasync(fd_) == 0 ? 0 : LastCode();
}

CFileBase* CDiskFile::Duplicate() {
    if (fd_ < 0) return nullptr;
    int fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    auto* d = new (std::nothrow) CDiskFile;
    if (d == nullptr) {
        close(fd);
        return nullptr;
    }
    d->fd_ = fd;
    d->mode_ = mode_;
    return d;
}

uint32_t CDiskFile::CopyTo(const char* ownName, const char* newName) {
    // A copy onto the file itself has nothing to do (the file helper refuses it).
    if (SameFile(ownName, newName)) return 0;
    return TL_CopyFile(ownName, newName, false);
}

uint32_t CDiskFile::CopyFromFile(const char* ownName, const char* sourceName) {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    if (sourceName == nullptr || *sourceName == 0) return TL_FILE_E_BAD_PATH;
    if (mode_ & TL_FMODE_READONLY) return TL_FOBJ_E_READ_ONLY;
    if (!SameFile(ownName, sourceName)) {
        int in = open(sourceName, O_RDONLY | O_CLOEXEC);
        if (in < 0) return LastCode();
        uint32_t rc = ftruncate(fd_, 0) == 0 ? CopyFd(in, fd_) : LastCode();
        close(in);
        if (rc) return rc;
    }
    return lseek(fd_, 0, SEEK_SET) < 0 ? LastCode() : 0;
}

uint32_t CDiskFile::MoveBlock(uint64_t from, uint64_t to, uint64_t length, uint8_t fill) {
    if (fd_ < 0) return TL_FOBJ_E_NOT_OPEN;
    const uint64_t len = GetLength64();
    if (from > len || length > len - from || to > len || length > len - to) return TL_FOBJ_E_RANGE;
    if (length == 0 || from == to) return 0;
    std::vector<uint8_t> buf(std::min<uint64_t>(length, 1 << 20));
    // Copy in the direction that never reads bytes already overwritten.
    uint64_t done = 0;
    while (done < length) {
        uint64_t n = std::min<uint64_t>(buf.size(), length - done);
        uint64_t off = to > from ? length - done - n : done;
        ssize_t r = pread(fd_, buf.data(), n, int64_t(from + off));
        if (r != ssize_t(n)) return TL_FOBJ_E_MOVE_IO;
        if (WriteAll(fd_, buf.data(), n, int64_t(to + off)) != 0) return TL_FOBJ_E_MOVE_IO;
        done += n;
    }
    // Fill what the moved block left uncovered.
    uint64_t fs = to > from ? from : std::max(to + length, from);
    uint64_t fe = to > from ? std::min(to, from + length) : from + length;
    if (fe > fs) {
        std::vector<uint8_t> f(fe - fs, fill);
        if (WriteAll(fd_, f.data(), f.size(), int64_t(fs)) != 0) return TL_FOBJ_E_MOVE_IO;
    }
    return 0;
}

// ---- CMemFileBase ----

CMemFileBase::~CMemFileBase() { FreeBlock(); }

void CMemFileBase::FreeBlock() {
    if (!attached_ && data_ != nullptr) {
        if (mapped_)
            munmap(data_, mapped_);
        else
            TL_Free(data_);
    }
    data_ = nullptr;
    mapped_ = 0;
    attached_ = false;
    cap_ = len_ = pos_ = 0;
    dirty_ = 0;
}

uint32_t CMemFileBase::Reserve(uint64_t n, uint64_t filled) {
    if (attached_) return n <= cap_ ? 0 : TL_FOBJ_E_FIXED;
    if (n + TL_FILE_BLOCK_HEAD > 0xFFFFFFFFull) return TL_FOBJ_E_NO_MEMORY;
    if (data_ != nullptr && n == cap_ && len_ != 0) return 0;
    const uint64_t block = n + TL_FILE_BLOCK_HEAD;
    uint8_t* p = nullptr;
    uint64_t mapped = 0;
    if (block > TL_FILE_MAP_THRESHOLD) {
        void* m = mmap(nullptr, block, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m != MAP_FAILED) {
            p = static_cast<uint8_t*>(m);  // anonymous pages read as zeros
            mapped = block;
        }
    }
    if (p == nullptr) {
        p = static_cast<uint8_t*>(TL_Allocate(uint32_t(block)));
        if (p == nullptr) return TL_FOBJ_E_NO_MEMORY;
    }
    uint32_t keep = data_ ? uint32_t(std::min<uint64_t>(n, len_)) : 0;
    if (keep) std::memcpy(p, data_, keep);
    // The rest of a heap block is zeroed (mapped pages already are), but for
    // the bytes the caller is about to write.
    const uint64_t written = std::max<uint64_t>(keep, std::min(filled, n));
    if (!mapped) std::memset(p + written, 0, block - written);
    TL_FillUnzeroed(p + keep, written - keep);
    uint32_t pos = pos_, len = keep;
    FreeBlock();
    data_ = p;
    mapped_ = mapped;
    cap_ = uint32_t(n);
    len_ = len;
    dirty_ = written;
    pos_ = std::min<uint32_t>(pos, cap_);
    return 0;
}

uint32_t CMemFileBase::Open(const char* name, uint32_t mode) {
    if (open_) return TL_FOBJ_E_ALREADY_OPEN;
    mode_ = mode;
    if (name == nullptr || *name == 0) {
        open_ = true;
        return 0;
    }
    CDiskFile disk;
    uint32_t rc = disk.Open(name, TL_FMODE_DISK | TL_FMODE_EXISTING | TL_FMODE_READONLY);
    if (rc) return rc;
    uint64_t n = disk.GetLength64();
    if (n > 0xFFFFFFFFull - TL_FILE_BLOCK_HEAD) return TL_FOBJ_E_BAD_SIZE;
    rc = Reserve(n, n);  // the read fills it
    if (rc) return rc;
    uint32_t got = disk.Read(data_, uint32_t(n));
    if (got != uint32_t(n)) {
        FreeBlock();
        return got >= 0x80000000u ? got : TL_FOBJ_E_MOVE_IO;
    }
    len_ = uint32_t(n);
    pos_ = 0;
    open_ = true;
    return 0;
}

uint32_t CMemFileBase::OpenMemory(const void* data, uint32_t len, uint32_t cap, bool attach) {
    if (open_) return TL_FOBJ_E_ALREADY_OPEN;
    if (attach) {
        if (data == nullptr && len > 0) return TL_FILE_E_GENERIC;
        data_ = static_cast<uint8_t*>(const_cast<void*>(data));
        attached_ = true;
        cap_ = std::max(len, cap);
        len_ = len;
        dirty_ = cap_;  // an outside buffer may hold anything
        pos_ = 0;
        open_ = true;
        return 0;
    }
    if (int32_t(cap) < 0) return TL_FILE_E_GENERIC;
    if (data == nullptr && len > 0) return TL_FILE_E_GENERIC;
    uint32_t rc = Reserve(std::max(len, cap), len);
    if (rc) return rc;
    if (len) std::memcpy(data_, data, len);
    len_ = len;
    pos_ = 0;
    open_ = true;
    return 0;
}

uint32_t CMemFileBase::OpenToFill(uint32_t n) {
    if (open_) return TL_FOBJ_E_ALREADY_OPEN;
    uint32_t rc = Reserve(n, n);
    if (rc) return rc;
    len_ = n;
    pos_ = 0;
    open_ = true;
    return 0;
}

uint32_t CMemFileBase::Close() {
    FreeBlock();
    open_ = false;
    return 0;
}

uint32_t CMemFileBase::GetStatus(TLFileStatusRecord* out) {
    if (!open_) return TL_FOBJ_E_NOT_OPEN;
    *out = TLFileStatusRecord{};
    out->length = len_;
    return 0;
}

uint32_t CMemFileBase::Seek64(int64_t offset, int origin) {
    if (!open_) return TL_FOBJ_E_NOT_OPEN;
    int64_t to = NewPosition(offset, origin, pos_, len_);
    if (to < 0 || to > int64_t(0xFFFFFFFF)) return TL_FOBJ_E_BAD_SIZE;
    pos_ = uint32_t(to);
    return 0;
}

uint32_t CMemFileBase::SetLength64(int64_t length, uint8_t fill) {
    if (!open_) return TL_FOBJ_E_NOT_OPEN;
    if (length < 0 || length > int64_t(0xFFFFFFFF)) return TL_FOBJ_E_BAD_SIZE;
    uint64_t n = uint64_t(length);
    if (n > cap_) {
        uint32_t rc = Reserve(n);
        if (rc) return rc;
    } else if (n < len_ && !(mode_ & TL_FMODE_KEEPBLOCK) && !attached_ && n + n < cap_) {
        // A block less than half used is given back.
        uint32_t pos = pos_;
        uint32_t rc = Reserve(n);
        if (rc) return rc;
        pos_ = std::min<uint32_t>(pos, uint32_t(n));
    }
    if (n > len_) {
        // Bytes past the highest ever written are zero already: a large block
        // grown for a stated size is not touched until data arrives.
        uint64_t end = fill != 0 ? n : std::min<uint64_t>(n, dirty_);
        if (end > len_) std::memset(data_ + len_, fill, end - len_);
        if (fill != 0) dirty_ = std::max<uint64_t>(dirty_, n);
    }
    len_ = uint32_t(n);
    return 0;
}

uint32_t CMemFileBase::Read(void* buffer, uint32_t size) {
    if (!open_) return TL_FOBJ_E_NOT_OPEN;
    if (pos_ >= len_) return 0;
    uint32_t n = std::min(size, len_ - pos_);
    if (n) std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return n;
}

uint32_t CMemFileBase::Write(const void* data, uint32_t size, uint32_t count, uint8_t fill) {
    if (!open_) return TL_FOBJ_E_NOT_OPEN;
    const uint64_t total = uint64_t(size) * count;
    const uint64_t end = uint64_t(pos_) + total;
    if (end > 0xFFFFFFFFull - TL_FILE_BLOCK_HEAD) return TL_FOBJ_E_BAD_SIZE;
    std::vector<uint8_t> own;  // the data when it lies in the block that growth replaces
    if (end > cap_) {
        if (attached_ || (mode_ & TL_FMODE_FIXED)) return TL_FOBJ_E_FIXED;
        const uint8_t* src = static_cast<const uint8_t*>(data);
        const uintptr_t s = reinterpret_cast<uintptr_t>(src), b = reinterpret_cast<uintptr_t>(data_);
        if (src != nullptr && total != 0 && data_ != nullptr && s < b + cap_ && b < s + total) {
            try {
                own.assign(src, src + total);
            } catch (const std::bad_alloc&) {
                return TL_FOBJ_E_NO_MEMORY;
            }
            data = own.data();
        }
        // Grow geometrically so that a run of small writes stays linear.
        uint64_t want =
            std::max<uint64_t>(end, std::min<uint64_t>(uint64_t(cap_) * 2, 0xFFFFFFFFull - TL_FILE_BLOCK_HEAD));
        uint32_t pos = pos_;
        uint32_t rc = Reserve(want);
        if (rc) rc = Reserve(end);
        if (rc) return rc;
        pos_ = pos;
    }
    if (pos_ > len_) std::memset(data_ + len_, fill, pos_ - len_);
    if (total) {
        if (data == nullptr) {
            std::memset(data_ + pos_, fill, total);
        } else {
            std::memmove(data_ + pos_, data, total);
        }
    }
    pos_ = uint32_t(end);
    len_ = std::max<uint32_t>(len_, uint32_t(end));
    dirty_ = std::max<uint64_t>(dirty_, end);
    return uint32_t(total);
}

CFileBase* CMemFileBase::Duplicate() {
    if (!open_) return nullptr;
    auto* d = new (std::nothrow) CMemFileBase;
    if (d == nullptr) return nullptr;
    if (d->OpenMemory(data_, len_, 0, false) != 0) {
        delete d;
        return nullptr;
    }
    d->mode_ = mode_ & ~TL_FMODE_FIXED;
    d->pos_ = std::min(pos_, len_);
    return d;
}

uint8_t* CMemFileBase::GetDataAt(uint32_t* length) {
    if (!open_) {
        if (length) *length = 0;
        return nullptr;
    }
    dirty_ = std::max<uint64_t>(dirty_, len_);
    uint32_t left = pos_ < len_ ? len_ - pos_ : 0;
    if (length) *length = std::min(*length, left);
    return data_ + std::min(pos_, len_);
}

uint32_t CMemFileBase::CopyTo(const char* ownName, const char* newName) {
    const char* name = (newName && *newName) ? newName : ownName;
    if (name == nullptr || *name == 0) return TL_FILE_E_BAD_PATH;
    CDiskFile disk;
    uint32_t rc = disk.Open(name, TL_FMODE_DISK | TL_FMODE_CREATE);
    if (rc) return rc;
    uint32_t w = len_ ? disk.Write(data_, len_, 1, 0) : 0;
    if (w != len_) return w >= 0x80000000u ? w : TL_FILE_E_DISK_FULL;
    return disk.Close();
}

uint32_t CMemFileBase::CopyFromFile(const char* ownName, const char* sourceName) {
    const char* name = (sourceName && *sourceName) ? sourceName : ownName;
    if (name == nullptr || *name == 0) return TL_FILE_E_BAD_PATH;
    uint32_t mode = mode_;
    CMemFileBase fresh;
    uint32_t rc = fresh.Open(name, mode);
    if (rc) return rc;
    if (attached_) {
        if (fresh.len_ > cap_) return TL_FOBJ_E_FIXED;
        std::memcpy(data_, fresh.data_, fresh.len_);
        len_ = fresh.len_;
        pos_ = 0;
        return 0;
    }
    FreeBlock();
    std::swap(data_, fresh.data_);
    std::swap(mapped_, fresh.mapped_);
    cap_ = fresh.cap_;
    len_ = fresh.len_;
    dirty_ = fresh.dirty_;
    pos_ = 0;
    open_ = true;
    return 0;
}

uint32_t CMemFileBase::MoveBlock(uint64_t from, uint64_t to, uint64_t length, uint8_t fill) {
    if (!open_) return TL_FOBJ_E_NOT_OPEN;
    dirty_ = std::max<uint64_t>(dirty_, len_);
    return TL_MoveBytes(data_, len_, from, to, length, fill);
}

uint32_t TL_MoveBytes(uint8_t* data, uint64_t len, uint64_t from, uint64_t to, uint64_t length, uint8_t fill) {
    if (from > len || length > len - from || to > len || length > len - to) return TL_FOBJ_E_RANGE;
    if (length == 0 || from == to) return 0;
    std::memmove(data + to, data + from, length);
    uint64_t fs = to > from ? from : std::max(to + length, from);
    uint64_t fe = to > from ? std::min(to, from + length) : from + length;
    if (fe > fs) std::memset(data + fs, fill, fe - fs);
    return 0;
}

}  // namespace corvane
