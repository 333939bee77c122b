// Example host program. It loads the library at run time, as a trading host
// does, and looks up the library's exported functions.
//
//   kvo_example [path/to/libkvoapi.so]
#include <dlfcn.h>

#include <cstdio>

namespace {
const char* const kFunctions[] = {
    "KvoCreateInstance", "KvoReleaseInstance", "KvoRegisterAddr", "KvoLogin",
    "KvoGetCodelist",    "KvoGetCodeInfo",     "KvoGetTickIndex", "KvoGetTickStock",
    "KvoGetSuperStock",  "KvoSubScribe",       "KvoSubScribeAsync",
    "KvoStartOfflineDebug", "KvoFreeMem",
};
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : KVO_DEFAULT_LIBRARY;
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
    return 1;
  }
  std::printf("loaded %s\n", path);
  int found = 0;
  for (const char* name : kFunctions) {
    void* fn = dlsym(lib, name);
    std::printf("  %-22s %s\n", name, fn ? "present" : "missing");
    if (fn) ++found;
  }
  std::printf("%d of 13 exported functions present\n", found);
  dlclose(lib);
  return 0;
}
