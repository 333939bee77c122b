#include "framework/tl_sysinfo.h"

#include <ctime>
#include <string>

#include "platform/pl_sysinfo.h"

int TL_GetWindowsVersionName(corvane::CTLString& out) {
    std::string name;
    if (pl::GetOsName(name)) out = name.c_str();
    return 0;
}

const char* TL_WindowsVersionNameFor(uint32_t platform_id, uint32_t major, uint32_t minor) {
    if (platform_id != 2) return platform_id == 1 ? "Windows 95/98" : "Windows 3.1";
    if (major <= 4) return "Windows NT";
    if (major == 5) {
        if (minor == 1) return "Windows XP";
        if (minor == 2) return "Windows Server 2003";
        return "Windows 2000";
    }
    if (major == 6) {
        if (minor == 0) return "Windows Vista";
        if (minor == 1) return "Windows 7";
        return nullptr;
    }
    return "Windows Unknown";
}

int TL_GetProcessorCount() { return pl::GetProcessorCount(); }

uint64_t TL_GetHighResTickMs() { return pl::GetHighResTickMs(); }

const void* TL_OwnModule() { return reinterpret_cast<const void*>(&TL_GetModuleFolder); }

int TL_GetModuleFolder(corvane::CTLString& out, const void* module) {
    std::string path;
    bool ok = module == nullptr ? pl::GetExecutablePath(path) : pl::GetModulePathOf(module, path);
    size_t cut = ok ? path.rfind('/') : std::string::npos;
    if (cut == std::string::npos) {
        out.Empty();
        return 0;
    }
    out = corvane::CTLString(path.data(), static_cast<int>(cut + 1));
    return out.GetLength();
}

namespace corvane {

CSystemInfo::CSystemInfo() {
    m_nProcessors = pl::GetProcessorCount();
    m_nCurrentTime = static_cast<int64_t>(std::time(nullptr));
    m_nTick = pl::GetHighResTickMs();
    m_nStatus = pl::GetProcessorTimes(&m_nIdleTime, &m_nTotalTime) ? 0 : -1;
}

namespace {
// Sampled by a static initialiser while the library loads.
const CSystemInfo g_systemInfo;
}  // namespace

const CSystemInfo& CSystemInfo::Instance() { return g_systemInfo; }

}  // namespace corvane
