// File objects over disk files and memory blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "framework/tl_fileobj.h"
#include "tests/support/temp_dir.h"

using corvane::CTLFileObj;

namespace {

class FileObjTest : public kvotest::TempDirTest {
protected:
    FileObjTest() : TempDirTest("kvo_fileobj") {}
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static void Spit(const std::string& path, const std::string& s) {
        std::ofstream f(path, std::ios::binary);
        f << s;
    }
};

TEST_F(FileObjTest, ModesAndRefusals) {
    CTLFileObj f;
    EXPECT_EQ(f.Open(Path("a").c_str(), 0x1000), 0x80020014u);
    EXPECT_EQ(f.Open(Path("a").c_str(), 0x4002), 0x80020002u);  // the shared store reads an existing file
    char buf[4];
    EXPECT_EQ(f.Read(buf, 4), 0x80020017u);
    EXPECT_EQ(f.Write("x", 1), 0x80020017u);
    EXPECT_EQ(f.SetLength(3), 0x80020017u);
    EXPECT_EQ(f.Flush(), 0x80020017u);
    EXPECT_EQ(f.Open(Path("missing").c_str(), 0x2001), 0x80020002u);
    ASSERT_EQ(f.Open(Path("a").c_str(), 0x2002), 0u);
    EXPECT_EQ(f.Open(Path("a").c_str(), 0x2002), 0x80020016u);
    EXPECT_EQ(f.Read(nullptr, 4), 0x8002001Au);
    EXPECT_EQ(f.GetFullPath(), Path("a"));
    f.Close();
    CTLFileObj n;
    EXPECT_EQ(n.Open(Path("a").c_str(), 0x2008), 0x80020010u);  // create new over an existing file
    EXPECT_EQ(n.Open(Path("sub/../b").c_str(), 0x2008), 0u);
    EXPECT_EQ(n.GetFullPath(), Path("b"));
    n.Close();
    CTLFileObj ro;
    ASSERT_EQ(ro.Open(Path("a").c_str(), 0x2004), 0u);
    EXPECT_EQ(ro.Write("x", 1), 0x80020018u);
    EXPECT_EQ(ro.SetLength(5), 0x80020018u);
    EXPECT_EQ(ro.Flush(), 0x80020018u);
    EXPECT_EQ(ro.Insert("x", 1), 0x80020018u);
    // Open existing together with create anew: the file must exist, and is emptied.
    Spit(Path("full"), "content");
    CTLFileObj both;
    EXPECT_EQ(both.Open(Path("gone").c_str(), 0x2003), 0x80020002u);
    ASSERT_EQ(both.Open(Path("full").c_str(), 0x2003), 0u);
    EXPECT_EQ(both.GetLength(), 0u);
    both.Close();
    CTLFileObj longName;
    EXPECT_EQ(longName.Open(Path(std::string(300, 'n')).c_str(), 0x2002), 0x80020003u);
    EXPECT_EQ(longName.Reopen(), 0x80020003u);
}

TEST_F(FileObjTest, DiskReadWriteSeekAndLength) {
    CTLFileObj f;
    ASSERT_EQ(f.Open(Path("d").c_str(), 0x2002), 0u);
    EXPECT_EQ(f.Write("hello world", 11), 11u);
    EXPECT_EQ(f.Write("abcdef", 2, 3), 6u);  // contiguous: count x size bytes of data
    EXPECT_EQ(kvotest::ReadWholeFile(Path("d")).substr(0, 13), "hello worldab");
    EXPECT_EQ(kvotest::ReadWholeFile(Path("d")).substr(11), "abcdef");
    EXPECT_EQ(f.GetLength(), 17u);
    EXPECT_EQ(f.Seek(6, 0), 0u);
    char buf[32] = {};
    EXPECT_EQ(f.Read(buf, 5), 5u);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f.Seek64(-3, 2), 0u);
    EXPECT_EQ(f.GetPosition(), 14u);
    EXPECT_EQ(f.Seek64(-100, 1), 0x80020015u);
    EXPECT_EQ(f.Seek64(100, 0), 0u);
    EXPECT_EQ(f.Read(buf, 5), 0u);  // past the end: nothing
    EXPECT_EQ(f.SetLength(20, '*'), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(Path("d")).substr(17), "***");
    EXPECT_EQ(f.SetLength64(5), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(Path("d")), "hello");
    EXPECT_EQ(f.SetLength64(-1), 0x80020015u);
    f.Seek(0, 2);
    EXPECT_EQ(f.Write(nullptr, 5000, 2, 'z'), 10000u);  // null data writes the fill byte
    EXPECT_EQ(kvotest::ReadWholeFile(Path("d")), "hello" + std::string(10000, 'z'));
    EXPECT_EQ(f.Reopen(), 0u);  // with 0x2002 again: truncated
    EXPECT_EQ(f.GetLength64(), 0u);
    corvane::TLFileStatusRecord st;
    EXPECT_EQ(f.GetStatus(&st), 0u);
    EXPECT_GT(st.mtime, 0);
}

TEST_F(FileObjTest, InsertAndMoveRangeOnDiskAndInMemory) {
    for (uint32_t mode : {0x2002u, 0x3000u}) {
        CTLFileObj f;
        ASSERT_EQ(mode == 0x3000 ? f.OpenMemory("", 0, 0) : f.Open(Path("i").c_str(), mode), 0u);
        f.Write("0123456789", 10);
        f.Seek(3, 0);
        EXPECT_EQ(f.Insert("ab", 2), 0u);
        std::string s(12, 0);
        f.SeekToBegin();
        f.Read(s.data(), 12);
        EXPECT_EQ(s, "012ab3456789") << mode;
        f.Seek(2, 0);
        EXPECT_EQ(f.Insert(nullptr, -3), 0u);
        EXPECT_EQ(f.GetLength(), 9u);
        f.SeekToBegin();
        s.assign(9, 0);
        f.Read(s.data(), 9);
        EXPECT_EQ(s, "013456789") << mode;
        f.Seek(7, 0);
        EXPECT_EQ(f.Insert(nullptr, -3), 0x80020024u);  // more than remains
        f.Seek(1, 0);
        EXPECT_EQ(f.MoveRange(4, 3, '.'), 0u);  // "134" to 5..7
        f.SeekToBegin();
        f.Read(s.data(), 9);
        EXPECT_EQ(s, "0...51349") << mode;
        f.Seek(6, 0);
        EXPECT_EQ(f.MoveRange(1, 3, '.'), 0x80020024u);
        EXPECT_EQ(f.MoveRange(-7, 3, '.'), 0x80020024u);
        EXPECT_EQ(f.MoveRange(INT64_MAX, 1), 0x80020024u);  // no wrap to a small target
        EXPECT_EQ(f.MoveRange(INT64_MIN, 1), 0x80020024u);
    }
}

TEST_F(FileObjTest, CopiesBetweenFiles) {
    std::string big(3 * 1024 * 1024 + 17, 0);
    for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i % 23);
    Spit(Path("src"), big);
    CTLFileObj src, dst;
    ASSERT_EQ(src.Open(Path("src").c_str(), 0x2001), 0u);
    ASSERT_EQ(dst.Open(Path("dst").c_str(), 0x2002), 0u);
    dst.Write("old content", 11);
    EXPECT_EQ(dst.CopyFrom(&src), uint32_t(big.size()));  // crosses the 1 MB chunks
    EXPECT_EQ(kvotest::ReadWholeFile(Path("dst")), big);
    CTLFileObj closed;
    EXPECT_EQ(dst.CopyFrom(&closed), 0x80020006u);
    EXPECT_EQ(src.CopyTo(Path("copy").c_str()), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(Path("copy")), big);
    // Onto itself: nothing copied, nothing lost.
    EXPECT_EQ(src.CopyTo(Path("src").c_str()), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(Path("src")), big);
    EXPECT_EQ(src.CopyFromFile(Path("src").c_str()), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(Path("src")), big);
    Spit(Path("small"), "tiny");
    EXPECT_EQ(dst.CopyFromFile(Path("small").c_str()), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(Path("dst")), "tiny");
    EXPECT_EQ(dst.GetPosition(), 0u);
    // Memory: written to a new disk file, read back from one.
    CTLFileObj m;
    ASSERT_EQ(m.OpenMemory("memory!", 7, 0), 0u);
    EXPECT_EQ(m.CopyTo(""), 0x80020003u);
    EXPECT_EQ(m.CopyTo(Path("fromMem").c_str()), 0u);
    EXPECT_EQ(kvotest::ReadWholeFile(Path("fromMem")), "memory!");
    EXPECT_EQ(m.CopyFromFile(Path("small").c_str()), 0u);
    EXPECT_EQ(m.GetLength(), 4u);
    EXPECT_EQ(std::memcmp(m.GetBuffer(), "tiny", 4), 0);
    // A memory file opened by name reads the disk file whole.
    CTLFileObj byName;
    ASSERT_EQ(byName.Open(Path("small").c_str(), 0x3000), 0u);
    EXPECT_EQ(byName.GetLength(), 4u);
    EXPECT_TRUE(byName.IsMemoryMode());
}

// A file object whose reads fail once its first read is through.
class FailingReads : public CTLFileObj {
public:
    uint32_t Read(void* buffer, uint32_t size) override {
        return reads_++ > 0 ? 0x8002000Au : CTLFileObj::Read(buffer, size);
    }
    int reads_ = 0;
};

TEST_F(FileObjTest, ReadFailureWhileCopyingIsReported) {
    Spit(Path("src"), std::string(3 * 1024 * 1024, 'q'));
    FailingReads src;
    ASSERT_EQ(src.Open(Path("src").c_str(), 0x2001), 0u);
    src.Seek(5, 0);
    CTLFileObj mem;
    EXPECT_EQ(mem.OpenMemory(&src, 0, 0xFFFFFFFE), 0x8002000Au);  // not a silently cut copy
    EXPECT_FALSE(mem.IsOpen());
    EXPECT_EQ(src.GetPosition(), 5u);
    src.reads_ = 0;
    CTLFileObj dst;
    ASSERT_EQ(dst.OpenMemory("", 0, 0), 0u);
    EXPECT_EQ(dst.CopyFrom(&src), 0x8002000Au);
    EXPECT_EQ(src.GetPosition(), 5u);
}

TEST_F(FileObjTest, MemoryCapacities) {
    char caller[8] = "abcdefg";
    {
        CTLFileObj copy;
        ASSERT_EQ(copy.OpenMemory(caller, 7, 0), 0u);
        caller[0] = 'X';
        EXPECT_EQ(copy.GetBuffer()[0], 'a');           // capacity 0 copies
        EXPECT_EQ(copy.Write("1234567890", 10), 10u);  // grows
        EXPECT_EQ(copy.GetLength(), 10u);
        EXPECT_EQ(copy.OpenMemory(caller, 7, 0), 0x80020016u);
    }
    {
        CTLFileObj attached;
        ASSERT_EQ(attached.OpenMemory(caller, 7, 0xFFFFFFFD), 0u);
        EXPECT_EQ(attached.GetBuffer(), reinterpret_cast<uint8_t*>(caller));
        attached.Seek(1, 0);
        EXPECT_EQ(attached.Write("yz", 2), 2u);
        EXPECT_EQ(std::string(caller, 7), "Xyzdefg");  // the caller sees writes
        EXPECT_EQ(attached.SetLength(3), 0x80020019u);
        attached.Seek(6, 0);
        EXPECT_EQ(attached.Write("12", 2), 0x80020019u);  // would pass the caller's buffer
        EXPECT_EQ(attached.Insert("1", 1), 0x80020019u);
    }
    {
        CTLFileObj fixed;
        ASSERT_EQ(fixed.OpenMemory(caller, 7, 0xFFFFFFFC), 0u);
        EXPECT_NE(fixed.GetBuffer(), reinterpret_cast<uint8_t*>(caller));
        EXPECT_EQ(fixed.SetLength(9), 0x80020019u);
        CTLFileObj other;
        ASSERT_EQ(other.OpenMemory(&fixed, 0, 0xFFFFFFFE), 0u);  // copies another file object
        EXPECT_EQ(other.GetLength(), 7u);
        EXPECT_EQ(std::memcmp(other.GetBuffer(), caller, 7), 0);
        CTLFileObj* clone = fixed.Clone();
        ASSERT_NE(clone, nullptr);
        EXPECT_EQ(clone->GetLength(), 7u);
        EXPECT_NE(clone->GetBuffer(), fixed.GetBuffer());
        delete clone;
        CTLFileObj* dup = fixed.Duplicate();
        ASSERT_NE(dup, nullptr);
        EXPECT_EQ(std::memcmp(dup->GetBuffer(), caller, 7), 0);
        delete dup;
    }
    CTLFileObj reserve;
    ASSERT_EQ(reserve.OpenMemory(caller, 3, 100), 0u);
    EXPECT_EQ(reserve.GetLength(), 3u);
    uint32_t want = 10;
    reserve.Seek(1, 0);
    EXPECT_NE(reserve.GetDataAt(&want), nullptr);
    EXPECT_EQ(want, 2u);  // clamped to what remains
    CTLFileObj null;
    EXPECT_NE(null.OpenMemory(nullptr, 5, 0), 0u);
    EXPECT_FALSE(null.IsOpen());
}

TEST_F(FileObjTest, LargeBlocksAreMappedSmallOnesOnTheHeap) {
    CTLFileObj big, small;
    ASSERT_EQ(big.OpenMemory("", 0, 50u << 20), 0u);
    EXPECT_TRUE(big.IsMapped());
    ASSERT_EQ(small.OpenMemory("", 0, 1u << 20), 0u);
    EXPECT_FALSE(small.IsMapped());
    big.Seek((50 << 20) - 4, 0);
    EXPECT_EQ(big.Write("tail", 4), 4u);
    EXPECT_EQ(big.GetLength(), uint32_t(50u << 20));
}

TEST_F(FileObjTest, GrowthReadsZeroWhateverWasThereBefore) {
    CTLFileObj m;
    ASSERT_EQ(m.OpenMemory("", 0, 0x40), 0u);
    m.Write("0123456789", 10);
    EXPECT_EQ(m.SetLength(100), 0u);
    m.Seek(0, 0);
    EXPECT_EQ(m.MoveRange(50, 10), 0u);  // bytes written past the old data
    uint8_t* raw = m.GetBuffer();
    raw[80] = 'r';  // and through the block itself
    EXPECT_EQ(m.SetLength(5), 0u);
    EXPECT_EQ(m.SetLength(100), 0u);
    std::vector<uint8_t> back(100);
    m.SeekToBegin();
    ASSERT_EQ(m.Read(back.data(), 100), 100u);
    for (size_t i = 5; i < 100; ++i) ASSERT_EQ(back[i], 0) << i;
    EXPECT_EQ(m.SetLength(120, '#'), 0u);
    EXPECT_EQ(m.SetLength(110), 0u);
    EXPECT_EQ(m.SetLength(120), 0u);
    m.Seek(110, 0);
    ASSERT_EQ(m.Read(back.data(), 10), 10u);
    for (size_t i = 0; i < 10; ++i) ASSERT_EQ(back[i], 0) << i;
    // Bytes copied in when the store opens count as written: cut off and
    // grown back, they read as zero too.
    CTLFileObj c;
    ASSERT_EQ(c.OpenMemory("abcdefgh", 8, 0), 0u);
    EXPECT_EQ(c.SetLength(6), 0u);
    EXPECT_EQ(c.SetLength(8), 0u);
    c.SeekToBegin();
    ASSERT_EQ(c.Read(back.data(), 8), 8u);
    EXPECT_EQ(std::string(back.begin(), back.begin() + 8), std::string("abcdef\0\0", 8));
}

TEST_F(FileObjTest, WritingFromTheOwnBlockSurvivesGrowth) {
    // The source lies in the block that the growth replaces: it must be read
    // before the old block goes.
    CTLFileObj m;
    ASSERT_EQ(m.OpenMemory("abcdefgh", 8, 0), 0u);
    m.Seek(0, 2);
    EXPECT_EQ(m.Write(m.GetBuffer(), 8), 8u);
    m.Seek(0, 2);
    EXPECT_EQ(m.Write(m.GetBuffer() + 4, 12), 12u);
    std::string back(28, 0);
    m.SeekToBegin();
    ASSERT_EQ(m.Read(back.data(), 28), 28u);
    EXPECT_EQ(back,
              "abcdefghabcdefgh"
              "efghabcdefgh");
}

TEST_F(FileObjTest, BoundsNearTheLimits) {
    CTLFileObj m;
    ASSERT_EQ(m.OpenMemory("abc", 3, 0), 0u);
    EXPECT_EQ(m.Seek64(int64_t(0xFFFFFFF0), 0), 0u);
    char buf[4];
    EXPECT_EQ(m.Read(buf, 4), 0u);
    EXPECT_EQ(m.Write("abcdefghijklmnopqrstuvwxyz", 26), 0x80020015u);  // end past 32 bits
    EXPECT_EQ(m.Seek64(int64_t(1) << 33, 0), 0x80020015u);
    EXPECT_EQ(m.SetLength64(int64_t(1) << 33), 0x80020015u);
    EXPECT_EQ(m.Insert(nullptr, 0x7FFFFFFF, 2), 0x80020015u);
    // A capacity whose block head would wrap 32 bits is refused, not wrapped.
    EXPECT_EQ(m.SetLength64(int64_t(0xFFFFFFF0)), 0x8002001Cu);
    EXPECT_EQ(m.GetLength(), 3u);
}

}  // namespace

// The store's 32-bit forms go through the 64-bit ones; the fill form writes
// fill bytes; only the memory store opens over memory.
TEST_F(FileObjTest, StoreThirtyTwoBitFormsAndFill) {
    corvane::CDiskFile disk;
    ASSERT_EQ(disk.Open(Path("s").c_str(), TL_FMODE_CREATE), 0u);
    EXPECT_EQ(disk.IsStore(), 1);
    const char data[] = "0123456789";
    EXPECT_EQ(disk.OpenMemory(data, 10, 0, false), TL_FOBJ_E_UNSUPPORTED);
    EXPECT_EQ(disk.Write(data, 10, 1, 0), 10u);
    EXPECT_EQ(disk.GetPosition(), 10u);
    EXPECT_EQ(disk.Seek(-4, 2), 0u);
    EXPECT_EQ(disk.GetPosition(), 6u);
    EXPECT_EQ(disk.Seek(-7, 1), TL_FOBJ_E_BAD_SIZE);
    EXPECT_EQ(disk.Fill(3, '#'), 3u);
    EXPECT_EQ(disk.SetLength(12, '*'), 0u);
    EXPECT_EQ(disk.GetLength(), 12u);
    char back[12];
    ASSERT_EQ(disk.Seek(0, 0), 0u);
    ASSERT_EQ(disk.Read(back, sizeof back), 12u);
    EXPECT_EQ(std::string(back, 12), "012345###9**");
    EXPECT_EQ(disk.SetLength(4, 0), 0u);
    EXPECT_EQ(disk.GetLength(), 4u);
    disk.Close();

    corvane::CMemFileBase mem;
    ASSERT_EQ(mem.OpenMemory(data, 10, 16, false), 0u);
    EXPECT_EQ(mem.GetLength(), 10u);
    EXPECT_EQ(mem.Seek(2, 0), 0u);
    EXPECT_EQ(mem.Fill(2, '-'), 2u);
    EXPECT_EQ(mem.GetPosition(), 4u);
    ASSERT_NE(mem.GetDataBlock(), nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(mem.GetDataBlock()), 10), "01--456789");
}
