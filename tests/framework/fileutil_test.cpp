#include "framework/tl_fileutil.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FileHelpers : public kvotest::TempDirTest {
protected:
    FileHelpers() : TempDirTest("kvo_fileutil") {}
    void WriteFile(const std::string& path, const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    static bool IsDir(const std::string& p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    static bool Exists(const std::string& p) { return access(p.c_str(), F_OK) == 0; }
};

TEST(FileErrorMapping, EveryRowOfTheTable) {
    struct Row {
        uint32_t code;
        std::initializer_list<uint32_t> errors;
    } rows[] = {
        {0x80020002, {2, 6, 18, 107}},
        {0x80020003, {3, 15, 17, 34, 52, 55, 70, 85, 111, 123, 124, 125, 144, 154, 161, 206, 208, 267}},
        {0x80020004, {4, 36, 68, 113}},
        {0x80020005, {5, 12, 71, 82, 170, 999}},
        {0x80020006, {11, 26, 60, 66, 114, 182, 191, 193}},
        {0x80020007, {16, 145}},
        {0x80020008, {62}},
        {0x80020009, {24, 25, 27, 30, 131, 132}},
        {0x8002000A, {20, 21, 22, 23, 57, 59, 117, 995, 996, 997}},
        {0x8002000B, {32}},
        {0x8002000C, {33, 108, 167}},
        {0x8002000D, {39, 112}},
        {0x8002000E, {38}},
        {0x8002000F, {53, 67}},
        {0x80020010, {80, 183}},
        {0x80020011, {54, 58, 64, 65, 86}},
        {0x80020012, {19, 29}},
        {0x80020013, {88}},
    };
    for (const auto& r : rows) {
        for (uint32_t e : r.errors) EXPECT_EQ(r.code, TL_FileCodeFromSystemError(e)) << e;
    }
    EXPECT_EQ(0u, TL_FileCodeFromSystemError(0));
    EXPECT_EQ(0x80020001u, TL_FileCodeFromSystemError(1));
    EXPECT_EQ(0x80020001u, TL_FileCodeFromSystemError(31));
    EXPECT_EQ(0x80020001u, TL_FileCodeFromSystemError(100000));
}

TEST(FileErrorMapping, FromErrno) {
    errno = ENOENT;
    EXPECT_EQ(TL_FILE_E_NOT_FOUND, TL_MapLastError());
    errno = EACCES;
    EXPECT_EQ(TL_FILE_E_ACCESS_DENIED, TL_MapLastError());
    errno = ENOSPC;
    EXPECT_EQ(TL_FILE_E_DISK_FULL, TL_MapLastError());
    errno = EEXIST;
    EXPECT_EQ(TL_FILE_E_EXISTS, TL_MapLastError());
    errno = EAGAIN;
    EXPECT_EQ(TL_FILE_E_LOCK, TL_MapLastError());
    errno = ENAMETOOLONG;
    EXPECT_EQ(TL_FILE_E_BAD_PATH, TL_MapLastError());
    errno = 0;
    EXPECT_EQ(0u, TL_MapLastError());
}

TEST(FileNames, FindFileNameIsMultibyteAware) {
    EXPECT_STREQ("c.log", TL_FindFileName("a\\b/c.log"));
    EXPECT_STREQ("x", TL_FindFileName("C:x"));
    EXPECT_STREQ("plain", TL_FindFileName("plain"));
    EXPECT_STREQ("", TL_FindFileName("dir/"));
    // 0x965C is a GBK character whose second byte is '\'.
    EXPECT_STREQ("\x96\x5C.txt", TL_FindFileName("d/\x96\x5C.txt"));

    char out[9];
    EXPECT_EQ(0, TL_GetFileNamePart("a/b/name.ext", out, 9));
    EXPECT_STREQ("name.ext", out);
    EXPECT_EQ(9, TL_GetFileNamePart("a/b/name.ext", nullptr, 0));
    char small[4] = "zz";
    EXPECT_EQ(9, TL_GetFileNamePart("a/b/name.ext", small, 4));
    EXPECT_STREQ("zz", small);
}

TEST_F(FileHelpers, FullPathNormalises) {
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    char out[TL_MAX_PATH];
    ASSERT_EQ(0u, TL_GetFullPath(out, "/a/./b//c/../d"));
    EXPECT_STREQ("/a/b/d", out);
    ASSERT_EQ(0u, TL_GetFullPath(out, "/a/b/"));
    EXPECT_STREQ("/a/b/", out);
    ASSERT_EQ(0u, TL_GetFullPath(out, "/../.."));
    EXPECT_STREQ("/", out);
    ASSERT_EQ(0u, TL_GetFullPath(out, ""));
    EXPECT_EQ(std::string(cwd) + (std::string(cwd) == "/" ? "" : "/"), out);
    ASSERT_EQ(0u, TL_GetFullPath(out, "x/y.log"));
    EXPECT_EQ(std::string(cwd) + "/x/y.log", out);
    std::string longp = "/" + std::string(258, 'a');
    EXPECT_EQ(0u, TL_GetFullPath(out, longp.c_str()));  // 259 bytes fit
    longp += "b";
    EXPECT_EQ(TL_FILE_E_BAD_PATH, TL_GetFullPath(out, longp.c_str()));
}

TEST_F(FileHelpers, StatusOfFilesAndFolders) {
    std::string f = dir_ + "/f.txt";
    WriteFile(f, "hello");
    TLFileStatus st{};
    st.want_size64 = 1;
    ASSERT_EQ(0u, TL_GetFileStatus(f.c_str(), &st));
    EXPECT_EQ(5, st.size);
    EXPECT_EQ(5u, st.size64);
    EXPECT_EQ(0, st.attribute);
    EXPECT_STREQ(f.c_str(), st.path);
    EXPECT_GT(st.mtime, 0);
    EXPECT_GT(st.atime, 0);
    EXPECT_GT(st.ctime, 0);

    TLFileStatus d{};
    ASSERT_EQ(0u, TL_GetFileStatus(dir_.c_str(), &d));
    EXPECT_EQ(0x10, d.attribute);
    EXPECT_EQ(0u, d.size64);  // not asked for
    TLFileStatus c{};
    ASSERT_EQ(0u, TL_GetFileStatus("/dev/null", &c));
    EXPECT_EQ(0x40, c.attribute);

    EXPECT_EQ(TL_FILE_E_NOT_FOUND, TL_GetFileStatus((dir_ + "/missing").c_str(), &st));
    EXPECT_EQ(TL_FILE_E_NOT_FOUND, TL_GetFileStatus((f + "/below").c_str(), &st));
    EXPECT_EQ(TL_FILE_E_BAD_PATH, TL_GetFileStatus("", &st));
    std::string longp(300, 'a');
    EXPECT_EQ(TL_FILE_E_BAD_PATH, TL_GetFileStatus(longp.c_str(), &st));
}

TEST_F(FileHelpers, MakeDirectoriesLeavesTheFileName) {
    std::string p = dir_ + "/a/b/c.log";
    ASSERT_EQ(0u, TL_MakeDirectories(p.c_str()));
    EXPECT_TRUE(IsDir(dir_ + "/a"));
    EXPECT_TRUE(IsDir(dir_ + "/a/b"));
    EXPECT_FALSE(Exists(p));
    EXPECT_EQ(0u, TL_MakeDirectories(p.c_str()));  // already there
    EXPECT_EQ(TL_FILE_E_BAD_PATH, TL_MakeDirectories(""));
    // Too long a path is refused rather than cut short.
    std::string longp = dir_ + "/" + std::string(300, 'q') + "/x";
    EXPECT_EQ(TL_FILE_E_BAD_PATH, TL_MakeDirectories(longp.c_str()));
    std::string edge = dir_ + "/" + std::string(259 - dir_.size() - 3, 'e') + "/x";
    ASSERT_EQ(259u, edge.size());
    EXPECT_EQ(0u, TL_MakeDirectories(edge.c_str()));
    EXPECT_TRUE(IsDir(edge.substr(0, edge.size() - 2)));
    EXPECT_EQ(TL_FILE_E_BAD_PATH, TL_MakeDirectories((edge + "y").c_str()));
    // A folder below a file cannot be made.
    WriteFile(dir_ + "/plain", "x");
    EXPECT_EQ(TL_FILE_E_MAKE_FOLDER, TL_MakeDirectories((dir_ + "/plain/sub/x.log").c_str()));
    // A GBK name whose second byte is '\' is one element.
    std::string g = dir_ + "/\x96\x5C/y.log";
    ASSERT_EQ(0u, TL_MakeDirectories(g.c_str()));
    EXPECT_TRUE(IsDir(dir_ + "/\x96\x5C"));
}

TEST_F(FileHelpers, CopyAndDelete) {
    std::string a = dir_ + "/a.bin", b = dir_ + "/b.bin";
    std::string big(200000, 'z');
    big[12345] = '\0';
    WriteFile(a, big);
    ASSERT_EQ(0u, TL_CopyFile(a.c_str(), b.c_str(), true));
    TLFileStatus sa{}, sb{};
    sa.want_size64 = sb.want_size64 = 1;
    ASSERT_EQ(0u, TL_GetFileStatus(a.c_str(), &sa));
    ASSERT_EQ(0u, TL_GetFileStatus(b.c_str(), &sb));
    EXPECT_EQ(sa.size64, sb.size64);
    EXPECT_EQ(sa.mtime, sb.mtime);
    EXPECT_EQ(TL_FILE_E_EXISTS, TL_CopyFile(a.c_str(), b.c_str(), true));
    EXPECT_EQ(0u, TL_CopyFile(a.c_str(), b.c_str(), false));
    EXPECT_EQ(TL_FILE_E_NOT_FOUND, TL_CopyFile((dir_ + "/none").c_str(), b.c_str(), false));
    // Onto itself (also through another name): refused, contents intact.
    EXPECT_EQ(TL_FILE_E_SHARING, TL_CopyFile(a.c_str(), (dir_ + "/./a.bin").c_str(), false));
    ASSERT_EQ(0u, TL_GetFileStatus(a.c_str(), &sa));
    EXPECT_EQ(200000u, sa.size64);
    EXPECT_EQ(0u, TL_DeleteFile(b.c_str()));
    EXPECT_FALSE(Exists(b));
    EXPECT_EQ(TL_FILE_E_NOT_FOUND, TL_DeleteFile(b.c_str()));
}

TEST(FileTimes, ConversionAndFallback) {
    EXPECT_EQ(1700000000, TL_FileTimeToTime(1700000000));
    // Before 1900 gives 0.
    EXPECT_EQ(0, TL_FileTimeToTime(-2300000000LL));
    int64_t t[3];
    TL_GetFileTimes(t, -2300000000LL, 1700000000, 1700000100);
    EXPECT_EQ(1700000000, t[0]);
    EXPECT_EQ(1700000000, t[1]);
    EXPECT_EQ(1700000100, t[2]);
    TL_GetFileTimes(t, 1600000000, 1700000000, LLONG_MIN);
    EXPECT_EQ(1600000000, t[0]);
    EXPECT_EQ(1700000000, t[2]);
}

}  // namespace
