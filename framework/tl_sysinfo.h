// System information: the operating-system name, the processor count, a
// millisecond clock, the folder of a module, and the process-wide sample of
// system figures taken at load (corvane::CSystemInfo).
#pragma once

#include <cstdint>

#include "framework/tl_string.h"

// Writes the name of the running operating system ("Linux <release>
// <machine>" here) into out. Always 0; out is left as it was when the system
// cannot be asked.
int TL_GetWindowsVersionName(corvane::CTLString& out);

// The Windows version name of a version record: platform id (1 = Windows
// 9x, 2 = NT), major and minor version. Null when nothing is to be written
// (NT 6.2 and the later minors of 6).
const char* TL_WindowsVersionNameFor(uint32_t platform_id, uint32_t major, uint32_t minor);

// Number of processors of the machine (at least 1).
int TL_GetProcessorCount();

// Milliseconds of the high-resolution monotonic clock.
uint64_t TL_GetHighResTickMs();

// The folder of a module's file, with its final '/': module is any address
// inside the module (a function or object of it), null for the host program.
// Returns the length written; out is empty when the name holds no '/'.
int TL_GetModuleFolder(corvane::CTLString& out, const void* module);

// An address inside this library, for TL_GetModuleFolder.
const void* TL_OwnModule();

namespace corvane {

// Figures of the system sampled once while the library loads: the first
// sample of a processor-load measurement. Nothing reads it back today.
class CSystemInfo {
public:
    CSystemInfo();

    int32_t m_nProcessors = 0;   // basic information: processors online
    uint64_t m_nIdleTime = 0;    // processor idle time (clock ticks)
    uint64_t m_nTotalTime = 0;   // all processor time (clock ticks)
    int64_t m_nCurrentTime = 0;  // calendar time of the sample
    int32_t m_nStatus = -1;      // 0 when the figures were read
    uint64_t m_nTick = 0;        // monotonic ms of the sample

    // The process-wide sample.
    static const CSystemInfo& Instance();
};

}  // namespace corvane
