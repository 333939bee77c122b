#include "framework/tl_inifile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/pl_codepage.h"
#include "tests/support/temp_dir.h"

namespace {

using corvane::CTLIniFile;
using corvane::CTLString;

std::string Get(const CTLIniFile& ini, const char* section, const char* key, const char* def = "<none>") {
    CTLString out;
    ini.GetValue(out, section, key, def);
    return std::string(out.GetString(), out.GetLength());
}

int Load(CTLIniFile& ini, const std::string& text) {
    return ini.LoadText(text.data(), static_cast<uint32_t>(text.size()));
}

TEST(IniParser, SectionsMergeAcrossCase) {
    CTLIniFile ini;
    EXPECT_EQ(4, Load(ini, "[tcp]\nA=1\n[TCP]\nB=2\n"));
    EXPECT_EQ("1", Get(ini, "Tcp", "a"));
    EXPECT_EQ("2", Get(ini, "Tcp", "B"));
    // The later header of the same name wins the section entry.
    const auto& idx = ini.GetIndex();
    ASSERT_EQ(1u, idx.count("TCP"));
    EXPECT_EQ(10u, idx.at("TCP").offset);
}

TEST(IniParser, ValuesAreRawTextAfterTheFirstEquals) {
    CTLIniFile ini;
    Load(ini,
         "[TCP]\n"
         "  Nonagle = 1\n"
         "a=b=c\n"
         ";x=1\n"
         "#y=2\n"
         "x=1 ;note\n"
         "empty=\n"
         "noequals\n");
    EXPECT_EQ(" 1", Get(ini, "TCP", "Nonagle"));
    EXPECT_EQ("b=c", Get(ini, "TCP", "A"));
    EXPECT_EQ("<none>", Get(ini, "TCP", "X;"));
    EXPECT_EQ("<none>", Get(ini, "TCP", ";x"));
    EXPECT_EQ("<none>", Get(ini, "TCP", "#y"));
    EXPECT_EQ("1 ;note", Get(ini, "TCP", "x"));
    EXPECT_EQ("", Get(ini, "TCP", "empty"));
    EXPECT_EQ("<none>", Get(ini, "TCP", "noequals"));
    // The lookup name is not trimmed.
    EXPECT_EQ("<none>", Get(ini, "TCP", " Nonagle"));
    EXPECT_EQ("dflt", Get(ini, "TCP", "missing", "dflt"));
    EXPECT_EQ("", Get(ini, "TCP", "missing", nullptr));
}

TEST(IniParser, LineEndsAndHeaders) {
    CTLIniFile ini;
    // CR LF and LF give the same values; the last line has no line end.
    EXPECT_EQ(3, Load(ini, "[S]\r\nk=v\r\nlast=z"));
    EXPECT_EQ("v", Get(ini, "S", "K"));
    EXPECT_EQ("z", Get(ini, "S", "last"));
    // Keys before any section; '[' after text is no header; an unfinished
    // header leaves the previous section current.
    Load(ini,
         "top=1\n"
         "x [NOT]\n"
         "[A]\n"
         "k=a\n"
         "[B\n"
         "j=b\n"
         "  \t[C] trailing\n"
         "k=c\n");
    EXPECT_EQ("1", Get(ini, "", "top"));
    EXPECT_EQ("1", Get(ini, nullptr, "TOP"));
    EXPECT_EQ("a", Get(ini, "A", "k"));
    EXPECT_EQ("b", Get(ini, "A", "j"));
    EXPECT_EQ("<none>", Get(ini, "B", "j"));
    EXPECT_EQ("c", Get(ini, "C", "k"));
    EXPECT_EQ(0u, ini.GetIndex().count("NOT"));
}

TEST(IniParser, DuplicatesAndLongKeys) {
    CTLIniFile ini;
    std::string longkey(1500, 'k');
    Load(ini, "[S]\nk=first\nK = second\n" + longkey + "=long value\n");
    EXPECT_EQ(" second", Get(ini, "S", "K"));
    // A key part of more than 1023 bytes keeps its value intact.
    EXPECT_EQ("long value", Get(ini, "S", longkey.c_str()));
}

TEST(IniParser, EncodingHeaders) {
    TL_InitFrameworkLocale(0x0804);
    CTLIniFile ini;
    // UTF-8 with a byte-order mark and a header: values come out in GBK.
    Load(ini, "\xEF\xBB\xBF#@language=zh_CN.utf-8\r\n[S]\r\nname=\xE4\xB8\xAD\xE6\x96\x87\r\n");
    EXPECT_EQ("\xD6\xD0\xCE\xC4", Get(ini, "S", "name"));
    ASSERT_NE(nullptr, ini.GetCodePage());
    EXPECT_EQ(65001u, ini.GetCodePage()->enc);
    // No header: read as GBK, unchanged.
    Load(ini, "[S]\nname=\xD6\xD0\xCE\xC4\n");
    EXPECT_EQ("\xD6\xD0\xCE\xC4", Get(ini, "S", "name"));
    EXPECT_EQ(936u, ini.GetCodePage()->cp);
    TL_InitFrameworkLocale(0);
}

TEST(IniParser, Big5FileOnAChineseSystem) {
    if (!pl::HaveChineseCharacterMapping()) GTEST_SKIP() << "built without ICU";
    TL_InitFrameworkLocale(0x0804);
    CTLIniFile ini;
    // 們說書 in Big5 is indexed as 们说书 in GBK.
    Load(ini, "#@language=zh_TW.BIG5\n[S]\nv=\xAD\xCC\xBB\xA1\xAE\xD1\n");
    EXPECT_EQ("\xC3\xC7\xCB\xB5\xCA\xE9", Get(ini, "S", "v"));
    TL_InitFrameworkLocale(0);
}

class IniFiles : public kvotest::TempDirTest {
protected:
    IniFiles() : TempDirTest("kvo_ini") {}
};

TEST_F(IniFiles, LoadFileResults) {
    CTLIniFile ini;
    EXPECT_EQ(-1, ini.LoadFile(""));
    EXPECT_EQ(-1, ini.LoadFile(nullptr));
    EXPECT_EQ(-2, ini.LoadFile((dir_ + "/missing.ini").c_str()));
    EXPECT_EQ(-1, ini.LoadFile(dir_.c_str()));  // a folder cannot be read
    std::string path = dir_ + "/tcp.ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::fputs("[TCP]\r\nThreadCount=4\r\nLogFileName=engine.log", f);
    std::fclose(f);
    EXPECT_EQ(3, ini.LoadFile(path.c_str()));
    EXPECT_EQ("4", Get(ini, "TCP", "ThreadCount"));
    EXPECT_EQ("engine.log", Get(ini, "tcp", "logfilename"));
    EXPECT_STREQ(path.c_str(), ini.GetPath().GetString());
    // An empty file has one (added) line and no keys.
    std::string empty = dir_ + "/empty.ini";
    f = std::fopen(empty.c_str(), "wb");
    std::fclose(f);
    EXPECT_EQ(1, ini.LoadFile(empty.c_str()));
    EXPECT_TRUE(ini.GetIndex().empty());
    ini.Clear();
    EXPECT_TRUE(ini.GetPath().IsEmpty());
    EXPECT_EQ(nullptr, ini.GetCodePage());
    EXPECT_EQ("<none>", Get(ini, "TCP", "ThreadCount"));
}

}  // namespace
