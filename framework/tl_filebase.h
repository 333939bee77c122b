// corvane::CFileBase and its stores: a disk file (CDiskFile) and a block of
// memory (CMemFileBase). corvane::CTLFileObj (tl_fileobj.h) holds one of them
// and is what the rest of the system uses. Results are 0 or 0x8002xxxx.
#pragma once

#include <algorithm>
#include <cstdint>

#include "framework/tl_fileutil.h"
#include "framework/tl_object.h"

// Open mode: bits 12-15 choose the store, the low bits are flags.
constexpr uint32_t TL_FMODE_STORE_MASK = 0xF000;
constexpr uint32_t TL_FMODE_DISK = 0x2000;
constexpr uint32_t TL_FMODE_MEMORY = 0x3000;
constexpr uint32_t TL_FMODE_SHARED = 0x4000;
constexpr uint32_t TL_FMODE_DISK2 = 0x5000;
constexpr uint32_t TL_FMODE_EXISTING = 0x0001;  // open an existing file
constexpr uint32_t TL_FMODE_CREATE = 0x0002;    // create anew (truncate)
constexpr uint32_t TL_FMODE_READONLY = 0x0004;
constexpr uint32_t TL_FMODE_NEW = 0x0008;        // create a new file
constexpr uint32_t TL_FMODE_FIXED = 0x0010;      // size may not change; memory attached in place
constexpr uint32_t TL_FMODE_LOCK = 0x0020;       // lock the byte range of each disk read and write
constexpr uint32_t TL_FMODE_KEEPBLOCK = 0x0040;  // memory: shrinking keeps the block

// The file layer's own result codes. Those it shares with the file helpers
// come from tl_fileutil.h: TL_FILE_E_GENERIC for a bad argument,
// TL_FILE_E_BAD_PATH for an empty name, TL_FILE_E_INVALID_FILE when the other
// file object is absent or not open, TL_FILE_E_DISK_FULL for a short write.
constexpr uint32_t TL_FOBJ_E_UNSUPPORTED = 0x80020014;
constexpr uint32_t TL_FOBJ_E_BAD_SIZE = 0x80020015;
constexpr uint32_t TL_FOBJ_E_ALREADY_OPEN = 0x80020016;
constexpr uint32_t TL_FOBJ_E_NOT_OPEN = 0x80020017;
constexpr uint32_t TL_FOBJ_E_READ_ONLY = 0x80020018;
constexpr uint32_t TL_FOBJ_E_FIXED = 0x80020019;
constexpr uint32_t TL_FOBJ_E_NULL_BUFFER = 0x8002001A;
constexpr uint32_t TL_FOBJ_E_NO_MEMORY = 0x8002001C;
constexpr uint32_t TL_FOBJ_E_MOVE_IO = 0x80020023;
constexpr uint32_t TL_FOBJ_E_RANGE = 0x80020024;

// Memory blocks whose size with the block head exceeds this come from an
// anonymous mapping instead of the framework heap.
constexpr uint64_t TL_FILE_MAP_THRESHOLD = 0x2800000;
// Bytes of block head counted with every memory block.
constexpr uint32_t TL_FILE_BLOCK_HEAD = 25;

namespace corvane {

// Status of a store: length and the three file times (seconds since 1970;
// 0 for memory).
struct TLFileStatusRecord {
    uint64_t length = 0;
    int64_t ctime = 0;
    int64_t mtime = 0;
    int64_t atime = 0;
};

class CFileBase : public CTLObject {
public:
    ~CFileBase() override = default;

    virtual uint32_t Open(const char* name, uint32_t mode) = 0;
    // Memory stores: reserve max(len, cap) and copy, or attach `data` in place.
    virtual uint32_t OpenMemory(const void* data, uint32_t len, uint32_t cap, bool attach);
    virtual uint32_t Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual int IsStore() const { return 1; }
    virtual uint32_t GetStatus(TLFileStatusRecord* out) = 0;
    // 32-bit forms: positions and lengths beyond 4 GB give 0x80020015.
    virtual uint32_t GetPosition();
    virtual uint32_t Seek(int32_t offset, int origin);
    virtual uint32_t SetLength(uint32_t length, uint8_t fill);
    virtual uint32_t GetLength();
    virtual uint64_t GetPosition64() = 0;
    // Positions may lie past the end (reads there give nothing); negative
    // positions give 0x80020015.
    virtual uint32_t Seek64(int64_t offset, int origin) = 0;
    virtual uint32_t SetLength64(int64_t length, uint8_t fill) = 0;
    virtual uint64_t GetLength64() = 0;
    // Bytes read (at most what remains after the position), or a code.
    virtual uint32_t Read(void* buffer, uint32_t size) = 0;
    // size x count bytes of contiguous data at the position; null data writes
    // the fill byte. Returns the bytes written or a code.
    virtual uint32_t Write(const void* data, uint32_t size, uint32_t count, uint8_t fill) = 0;
    virtual uint32_t Fill(uint32_t size, uint8_t fill) { return Write(nullptr, size, 1, fill); }
    virtual uint32_t Flush() { return 0; }
    virtual CFileBase* Duplicate() = 0;
    virtual uint8_t* GetDataBlock() { return nullptr; }
    virtual uint8_t* GetDataAt(uint32_t* length) {
        if (length) *length = 0;
        return nullptr;
    }
    virtual uint32_t CopyTo(const char* ownName, const char* newName) = 0;
    virtual uint32_t CopyFromFile(const char* ownName, const char* sourceName) = 0;
    // Moves `length` bytes from `from` to `to` (both ranges inside the file)
    // and fills the part of the old range that the new one does not cover.
    virtual uint32_t MoveBlock(uint64_t from, uint64_t to, uint64_t length, uint8_t fill) = 0;
    virtual bool IsMapped() const { return false; }
};

// Moves `length` bytes of a block of `len` bytes from offset `from` to `to`
// (overlap allowed) and fills the bytes the move uncovered with `fill`.
// 0x80020024 when either range leaves the block.
uint32_t TL_MoveBytes(uint8_t* data, uint64_t len, uint64_t from, uint64_t to, uint64_t length, uint8_t fill);

class CDiskFile : public CFileBase {
public:
    CDiskFile() = default;
    ~CDiskFile() override;
    uint32_t Open(const char* name, uint32_t mode) override;
    uint32_t Close() override;
    bool IsOpen() const override { return fd_ >= 0; }
    uint32_t GetStatus(TLFileStatusRecord* out) override;
    uint64_t GetPosition64() override;
    uint32_t Seek64(int64_t offset, int origin) override;
    uint32_t SetLength64(int64_t length, uint8_t fill) override;
    uint64_t GetLength64() override;
    uint32_t Read(void* buffer, uint32_t size) override;
    uint32_t Write(const void* data, uint32_t size, uint32_t count, uint8_t fill) override;
    uint32_t Flush() override;
    CFileBase* Duplicate() override;
    uint32_t CopyTo(const char* ownName, const char* newName) override;
    uint32_t CopyFromFile(const char* ownName, const char* sourceName) override;
    uint32_t MoveBlock(uint64_t from, uint64_t to, uint64_t length, uint8_t fill) override;

private:
    int fd_ = -1;
    uint32_t mode_ = 0;
};

class CMemFileBase : public CFileBase {
public:
    CMemFileBase() = default;
    ~CMemFileBase() override;
    // Reads the named disk file whole into the block (no name: an empty block).
    uint32_t Open(const char* name, uint32_t mode) override;
    uint32_t OpenMemory(const void* data, uint32_t len, uint32_t cap, bool attach) override;
    uint32_t Close() override;
    bool IsOpen() const override { return open_; }
    uint32_t GetStatus(TLFileStatusRecord* out) override;
    uint64_t GetPosition64() override { return pos_; }
    uint32_t Seek64(int64_t offset, int origin) override;
    uint32_t SetLength64(int64_t length, uint8_t fill) override;
    uint64_t GetLength64() override { return len_; }
    uint32_t Read(void* buffer, uint32_t size) override;
    uint32_t Write(const void* data, uint32_t size, uint32_t count, uint8_t fill) override;
    CFileBase* Duplicate() override;
    // Whoever holds the block may write anywhere within the length.
    uint8_t* GetDataBlock() override {
        if (!open_) return nullptr;
        dirty_ = std::max<uint64_t>(dirty_, len_);
        return data_;
    }
    uint8_t* GetDataAt(uint32_t* length) override;
    uint32_t CopyTo(const char* ownName, const char* newName) override;
    uint32_t CopyFromFile(const char* ownName, const char* sourceName) override;
    uint32_t MoveBlock(uint64_t from, uint64_t to, uint64_t length, uint8_t fill) override;
    bool IsMapped() const override { return mapped_ != 0; }

    // Makes the block hold at least n bytes (an attached buffer never grows).
    // The caller writes bytes [old length, filled) of the new block at once, so
    // those are not zeroed first.
    uint32_t Reserve(uint64_t n, uint64_t filled = 0);
    // Opens a block of n bytes, length n, whose bytes the caller writes whole
    // before anything reads them: they are not zero-filled.
    uint32_t OpenToFill(uint32_t n);
    void SetFlags(uint32_t mode) { mode_ = mode; }

private:
    void FreeBlock();
    uint32_t cap_ = 0;
    uint32_t len_ = 0;
    uint32_t pos_ = 0;
    uint64_t mapped_ = 0;  // bytes mapped; 0 for a heap block
    uint64_t dirty_ = 0;   // end of the bytes ever written; the rest of the block is zero
    uint8_t* data_ = nullptr;
    bool attached_ = false;
    bool open_ = false;
    uint32_t mode_ = 0;
};

}  // namespace corvane
