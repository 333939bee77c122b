// Loads the built libkvoapi.so the way a host does and drives it through the
// symbols it resolves.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "include/kvoapi.h"
#include "tests/support/instance_dir.h"

namespace {

const char* const kExports[] = {
    "KvoCreateInstance", "KvoReleaseInstance", "KvoRegisterAddr",   "KvoLogin",
    "KvoGetCodelist",    "KvoGetCodeInfo",     "KvoGetTickIndex",   "KvoGetTickStock",
    "KvoGetSuperStock",  "KvoSubScribe",       "KvoSubScribeAsync", "KvoStartOfflineDebug",
    "KvoFreeMem",
};

// The library beside the test programs: <build>/api/libkvoapi.so, or the
// file named by KVO_LIBRARY.
std::string LibraryPath() {
  if (const char* env = getenv("KVO_LIBRARY")) return env;
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return "libkvoapi.so";
  std::string dir(exe, static_cast<size_t>(n));
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/../api/libkvoapi.so";
}

// The names of the symbols the library defines in its dynamic symbol table,
// read from the file itself. Empty when the file is no 64-bit ELF object.
std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::set<std::string> names;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return names;
  std::vector<char> file(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  if (!in.read(file.data(), static_cast<std::streamsize>(file.size()))) return names;
  if (file.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr eh;
  std::memcpy(&eh, file.data(), sizeof(eh));
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_shentsize != sizeof(Elf64_Shdr)) {
    return names;
  }
  auto section = [&](size_t i, Elf64_Shdr* out) {
    const uint64_t at = eh.e_shoff + i * sizeof(Elf64_Shdr);
    if (i >= eh.e_shnum || at + sizeof(Elf64_Shdr) > file.size()) return false;
    std::memcpy(out, file.data() + at, sizeof(*out));
    return out->sh_offset + out->sh_size <= file.size();
  };
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh, strings;
    if (!section(i, &sh) || sh.sh_type != SHT_DYNSYM || !section(sh.sh_link, &strings)) continue;
    for (uint64_t at = sh.sh_offset; at + sizeof(Elf64_Sym) <= sh.sh_offset + sh.sh_size;
         at += sizeof(Elf64_Sym)) {
      Elf64_Sym sym;
      std::memcpy(&sym, file.data() + at, sizeof(sym));
      const int bind = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
      if (sym.st_name >= strings.sh_size) continue;
      const char* name = file.data() + strings.sh_offset + sym.st_name;
      names.insert(std::string(name, strnlen(name, strings.sh_size - sym.st_name)));
    }
  }
  return names;
}

// The library stays loaded, as in a host: its process-wide state lives until
// the process ends.
class DlopenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
  }
  template <typename F>
  F Get(const char* name) {
    return reinterpret_cast<F>(dlsym(lib_, name));
  }
  void* lib_ = nullptr;
};

}  // namespace

TEST_F(DlopenTest, AllThirteenFunctionsResolve) {
  for (const char* name : kExports) EXPECT_NE(dlsym(lib_, name), nullptr) << name;
  // Nothing internal leaks out.
  EXPECT_EQ(dlsym(lib_, "_ZN6kvoapi8WriteLogEiPKcz"), nullptr);
  EXPECT_EQ(dlsym(lib_, "kvoapi_c_header_check"), nullptr);
}

TEST(Exports, ExactlyTheThirteenFunctionsAreExported) {
  const std::set<std::string> expected(std::begin(kExports), std::end(kExports));
  EXPECT_EQ(DefinedDynamicSymbols(LibraryPath()), expected);
}

TEST_F(DlopenTest, HostRoundTrip) {
  auto create = Get<void* (*)(const InstanceConfig*)>("KvoCreateInstance");
  auto release = Get<int32_t (*)(void*)>("KvoReleaseInstance");
  auto login = Get<LoginResult* (*)(void*, const char*, const char*)>("KvoLogin");
  auto freemem = Get<int32_t (*)(void*)>("KvoFreeMem");
  auto reg = Get<int32_t (*)(void*, const char*, const char*, uint16_t)>("KvoRegisterAddr");
  auto offline = Get<int32_t (*)(void*, const OfflineDebugConfig*)>("KvoStartOfflineDebug");
  ASSERT_TRUE(create && release && login && freemem && reg && offline);

  LoginResult* r = login(nullptr, "u", "p");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->nstatuscode, -1009);
  EXPECT_STREQ(r->statusmsg, "\xce\xde\xd0\xa7\x68\x61\x6e\x64\x6c\x65");
  EXPECT_EQ(freemem(r), 0);
  EXPECT_EQ(freemem(nullptr), -1010);
  EXPECT_EQ(offline(nullptr, nullptr), -1);
  EXPECT_EQ(reg(nullptr, "USH", "1.2.3.4", 1), -1009);

  char tmpl[] = "/tmp/kvo_dlopen_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  InstanceConfig cfg = kvotest::ConfigLoggingTo(tmpl);
  cfg.m_loglevel = 5;
  for (int i = 0; i < 3; ++i) {
    void* h = create(&cfg);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reg(h, "USH", nullptr, 1), -1006);
    EXPECT_EQ(release(h), 0);
  }
  // The instance log holds the level-5 lines of the calls.
  std::string cmd = std::string("grep -q 'KvoCreateInstance:' ") + tmpl + "/kvolog/kvoapi*.log";
  EXPECT_EQ(system(cmd.c_str()), 0);
  cmd = std::string("grep -q 'KvoRegisterAddr  pmarket:USH  paddr:(null)  port:1!' ") + tmpl +
        "/kvolog/kvoapi*.log";
  EXPECT_EQ(system(cmd.c_str()), 0);
  cmd = std::string("rm -rf '") + tmpl + "'";
  EXPECT_EQ(system(cmd.c_str()), 0);
}
