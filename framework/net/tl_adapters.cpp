#include "framework/net/tl_adapters.h"

#include <algorithm>
#include <mutex>

#include "framework/tl_string.h"
#include "platform/pl_never_destroyed.h"

namespace {

struct AdapterState {
    std::recursive_mutex mutex;
    std::shared_ptr<const AdapterList> list;
    std::string sysfsRoot = "/sys";
    std::function<bool(std::vector<pl::RawAdapter>&)> source;
};

// Never destroyed: a session may still log in while the process exits.
AdapterState& State() {
    static pl::NeverDestroyed<AdapterState> s;
    return *s;
}

}  // namespace

AdapterList TL_BuildAdapterList(const std::vector<pl::RawAdapter>& raw, const std::string& root) {
    AdapterList out;
    out.reserve(raw.size());
    for (const auto& r : raw) {
        AdapterEntry e;
        std::copy(r.mac, r.mac + 6, e.mac);
        e.macText = pl::MacText(r.mac);
        e.kind = pl::AdapterKindFromSysfs(root, r.name, e.medium);
        e.description = pl::AdapterDescription(root, r.name);
        out.push_back(std::move(e));
    }
    return out;
}

uint32_t TL_FormatMacAddresses(const AdapterList& list, uint32_t mask, std::string& out) {
    uint32_t n = 0;
    for (const auto& e : list) {
        if ((e.kind | e.medium) & mask) {
            out += e.macText;
            out += ';';
            ++n;
        }
    }
    return n;
}

std::shared_ptr<const AdapterList> TL_GetAdapterList() {
    AdapterState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mutex);
    if (s.list && !s.list->empty()) return s.list;
    // Filled into a local list, published once.
    std::vector<pl::RawAdapter> raw;
    bool ok = s.source ? s.source(raw) : pl::ListRawAdapters(raw);
    auto built = std::make_shared<AdapterList>();
    if (ok) *built = TL_BuildAdapterList(raw, s.sysfsRoot);
    s.list = built;
    return s.list;
}

uint32_t TL_GetMacAddresses(std::string& out, uint32_t mask) {
    auto list = TL_GetAdapterList();
    return TL_FormatMacAddresses(*list, mask, out);
}

uint32_t TL_GetAdapterKind(const char* name, uint32_t& medium) {
    std::string root;
    {
        AdapterState& s = State();
        std::lock_guard<std::recursive_mutex> g(s.mutex);
        root = s.sysfsRoot;
    }
    return pl::AdapterKindFromSysfs(root, name ? name : "", medium);
}

int TL_GetMacAddress(std::string& out) {
    auto list = TL_GetAdapterList();
    if (list->empty()) return 0;
    auto pci = std::find_if(list->begin(), list->end(),
                            [](const AdapterEntry& e) { return ((e.kind | e.medium) & pl::kAdapterPci) != 0; });
    out = (pci != list->end() ? *pci : list->front()).macText;
    return 1;
}

void TL_SetAdapterSysfsRoot(const std::string& root) {
    AdapterState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mutex);
    s.sysfsRoot = root;
    s.list.reset();
}

void TL_SetAdapterSource(std::function<bool(std::vector<pl::RawAdapter>&)> source) {
    AdapterState& s = State();
    std::lock_guard<std::recursive_mutex> g(s.mutex);
    s.source = std::move(source);
    s.list.reset();
}

uint32_t TL_GetMacAddresses(corvane::CTLString& out, uint32_t mask) {
    std::string text;
    uint32_t n = TL_GetMacAddresses(text, mask);
    if (n) out += text.c_str();
    return n;
}

int TL_GetMacAddress(corvane::CTLString& out) {
    std::string text;
    if (!TL_GetMacAddress(text)) return 0;
    out = text.c_str();
    return 1;
}
