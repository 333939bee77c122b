// Facts about the machine and the process: operating-system name, processor
// count, a millisecond clock, file names of the program and of loaded
// modules, processor idle time, and the translation of errno values into the
// Windows error numbers that the framework's file codes are defined over.
#pragma once

#include <cstdint>
#include <string>

namespace pl {

// "<sysname> <release> <machine>" from uname(), e.g. "Linux 6.1.0-18-amd64
// x86_64". False (out unchanged) when uname fails.
bool GetOsName(std::string& out);

// Number of processors online; at least 1.
int GetProcessorCount();

// Milliseconds of the monotonic high-resolution clock.
uint64_t GetHighResTickMs();

// Full file name of the running program (/proc/self/exe). False when unknown.
bool GetExecutablePath(std::string& out);

// Full file name of the loaded module (shared object or program) that holds
// `address`. False when the address lies in no module.
bool GetModulePathOf(const void* address, std::string& out);

// Idle and total processor time in clock ticks since boot (/proc/stat).
// False when unavailable.
bool GetProcessorTimes(uint64_t* idle, uint64_t* total);

// The Windows error number that stands for an errno value (0 for 0). Values
// without a counterpart give 31 (ERROR_GEN_FAILURE).
uint32_t SystemErrorFromErrno(int err);

// SystemErrorFromErrno(errno).
uint32_t LastSystemError();

}  // namespace pl
