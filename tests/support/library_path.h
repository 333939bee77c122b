// Where the test programs that reach the library only through dlopen find
// it: <build>/api/libkvoapi.so beside them, or the file named by
// KVO_LIBRARY. Header-only, so that such a program links nothing of the
// library's.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kvotest {

inline std::string LibraryPath() {
    if (const char* env = std::getenv("KVO_LIBRARY")) return env;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return "libkvoapi.so";
    const std::string path(exe, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/')) + "/../api/libkvoapi.so";
}

}  // namespace kvotest
