#include "platform/pl_adapters.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/pl_replaceable.h"
#include "platform/pl_never_destroyed.h"

namespace pl {

bool ListRawAdapters(std::vector<RawAdapter>& out) {
    out.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_PACKET || !p->ifa_name) continue;
        if (p->ifa_flags & IFF_LOOPBACK) continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
        if (ll->sll_halen != 6) continue;
        RawAdapter a;
        a.name = p->ifa_name;
        a.index = static_cast<unsigned>(ll->sll_ifindex);
        std::copy(ll->sll_addr, ll->sll_addr + 6, a.mac);
        out.push_back(a);
    }
    ::freeifaddrs(list);
    std::stable_sort(out.begin(), out.end(),
                     [](const RawAdapter& x, const RawAdapter& y) { return x.index < y.index; });
    return true;
}

namespace {

bool SafeName(const std::string& n) { return !n.empty() && n.find('/') == std::string::npos && n != "." && n != ".."; }

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    if (f) std::getline(f, line);
    return line;
}

}  // namespace

uint32_t AdapterKindFromSysfs(const std::string& root, const std::string& name, uint32_t& medium) {
    medium = 0;
    if (!SafeName(name)) return kAdapterRoot;
    const std::string dir = root + "/class/net/" + name;
    const std::string dev = dir + "/device";
    if (Exists(dir + "/wireless") || Exists(dir + "/phy80211")) medium = kMediumSubtype2;
    if (!Exists(dev)) return kAdapterRoot;  // veth, bridge, tun: no bus device

    uint32_t kind = kAdapterPci;  // any bus not named below counts as PCI
    char target[PATH_MAX];
    ssize_t n = ::readlink((dev + "/subsystem").c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = 0;
        std::string t(target);
        std::string bus = t.substr(t.find_last_of('/') + 1);
        if (bus == "usb") {
            kind = kAdapterUsb;
        } else if (bus == "pcmcia") {
            kind = kAdapterPcmcia;
        }
    }
    if (medium == 0 && ReadFirstLine(dir + "/type") == "1") medium = kMediumSubtype1;
    return kind;
}

std::string AdapterDescription(const std::string& root, const std::string& name) {
    if (SafeName(name)) {
        std::ifstream f(root + "/class/net/" + name + "/device/uevent");
        std::string line;
        while (std::getline(f, line)) {
            if (line.rfind("DRIVER=", 0) == 0 && line.size() > 7) return line.substr(7);
        }
    }
    return name;
}

namespace {

ReplaceableSlot<IPv4EntrySource>& Source() {
    static pl::NeverDestroyed<ReplaceableSlot<IPv4EntrySource>> slot{
        IPv4EntrySource()};  // lives until the process ends
    return *slot;
}

std::string DottedText(const sockaddr* a) {
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    if (a && a->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
    return text;
}

bool SystemIPv4Entries(std::vector<IPv4Entry>& out) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
        IPv4Entry e;
        e.name = p->ifa_name ? p->ifa_name : "";
        e.address = DottedText(p->ifa_addr);
        e.mask = DottedText(p->ifa_netmask);
        e.loopback = (p->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(std::move(e));
    }
    ::freeifaddrs(list);
    return true;
}

}  // namespace

bool ListIPv4Entries(std::vector<IPv4Entry>& out) {
    out.clear();
    const IPv4EntrySource source = Source().Get();
    return source ? source(out) : SystemIPv4Entries(out);
}

IPv4EntrySource SetIPv4EntrySource(IPv4EntrySource source) { return Source().Exchange(std::move(source)); }

std::string MacText(const uint8_t m[6]) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

}  // namespace pl
