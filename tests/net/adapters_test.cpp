// Adapter kinds from a fake device tree and the MAC address texts.
#include "framework/net/tl_adapters.h"
#include "framework/tl_string.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

namespace fs = std::filesystem;

namespace {

class FakeSysfs : public kvotest::TempDirTest {
protected:
    FakeSysfs() : TempDirTest("kvo_sysfs") {}
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        root = dir_;
        fs::create_directories(root / "bus/pci");
        fs::create_directories(root / "bus/usb");
        fs::create_directories(root / "bus/pcmcia");
        fs::create_directories(root / "bus/virtio");
    }
    void TearDown() override {
        TL_SetAdapterSource(nullptr);
        TL_SetAdapterSysfsRoot("/sys");
        TempDirTest::TearDown();
    }
    // An interface with a bus device (bus empty: no device link at all).
    void AddIf(const std::string& name, const std::string& bus, const std::string& type = "1", bool wireless = false,
               const std::string& driver = "") {
        fs::path dir = root / "class/net" / name;
        fs::create_directories(dir);
        std::ofstream(dir / "type") << type << "\n";
        if (wireless) fs::create_directories(dir / "wireless");
        if (bus.empty()) return;
        fs::path dev = root / "devices" / name;
        fs::create_directories(dev);
        fs::create_symlink(root / "bus" / bus, dev / "subsystem");
        fs::create_directory_symlink(dev, dir / "device");
        if (!driver.empty()) std::ofstream(dev / "uevent") << "DEVTYPE=x\nDRIVER=" << driver << "\n";
    }
    static pl::RawAdapter Raw(const std::string& name, unsigned idx, uint8_t last) {
        pl::RawAdapter r;
        r.name = name;
        r.index = idx;
        uint8_t m[6] = {0x00, 0x1A, 0xBC, 0xde, 0xF0, last};
        std::copy(m, m + 6, r.mac);
        return r;
    }
    fs::path root;
};

TEST_F(FakeSysfs, KindsAndMediaFromTheDeviceTree) {
    AddIf("eth0", "pci", "1", false, "e1000");
    AddIf("usb0", "usb");
    AddIf("pc0", "pcmcia");
    AddIf("vio0", "virtio");
    AddIf("veth0", "");
    AddIf("wlan0", "usb", "1", true);
    uint32_t m = 99;
    EXPECT_EQ(1u, pl::AdapterKindFromSysfs(root, "eth0", m));
    EXPECT_EQ(0x10u, m);
    EXPECT_EQ(2u, pl::AdapterKindFromSysfs(root, "usb0", m));
    EXPECT_EQ(4u, pl::AdapterKindFromSysfs(root, "pc0", m));
    EXPECT_EQ(1u, pl::AdapterKindFromSysfs(root, "vio0", m));
    EXPECT_EQ(8u, pl::AdapterKindFromSysfs(root, "veth0", m));
    EXPECT_EQ(0u, m);
    EXPECT_EQ(8u, pl::AdapterKindFromSysfs(root, "missing", m));
    EXPECT_EQ(8u, pl::AdapterKindFromSysfs(root, "../../etc", m));
    EXPECT_EQ(2u, pl::AdapterKindFromSysfs(root, "wlan0", m));
    EXPECT_EQ(0x20u, m);
    EXPECT_EQ("e1000", pl::AdapterDescription(root, "eth0"));
    EXPECT_EQ("veth0", pl::AdapterDescription(root, "veth0"));
}

TEST_F(FakeSysfs, MacTextsByMask) {
    AddIf("eth0", "pci");
    AddIf("veth0", "");
    AddIf("wlan0", "usb", "1", true);
    TL_SetAdapterSysfsRoot(root);
    TL_SetAdapterSource([](std::vector<pl::RawAdapter>& v) {
        v = {Raw("veth0", 2, 0x02), Raw("eth0", 3, 0x03), Raw("wlan0", 4, 0x04), Raw("gone0", 5, 0x05)};
        return true;
    });
    std::string s = "pre:";
    EXPECT_EQ(1u, TL_GetMacAddresses(s, 1));
    EXPECT_EQ("pre:00-1a-bc-de-f0-03;", s);
    s.clear();
    // The software adapter and the one without a device entry are kind 8.
    EXPECT_EQ(2u, TL_GetMacAddresses(s, 8));
    EXPECT_EQ("00-1a-bc-de-f0-02;00-1a-bc-de-f0-05;", s);
    s.clear();
    EXPECT_EQ(1u, TL_GetMacAddresses(s, 0x20));
    EXPECT_EQ("00-1a-bc-de-f0-04;", s);
    std::string mac;
    EXPECT_EQ(1, TL_GetMacAddress(mac));
    EXPECT_EQ("00-1a-bc-de-f0-03", mac);
    corvane::CTLString text("x:");
    EXPECT_EQ(1u, TL_GetMacAddresses(text, 0x20));
    EXPECT_STREQ("x:00-1a-bc-de-f0-04;", text.GetString());
    corvane::CTLString first;
    EXPECT_EQ(1, TL_GetMacAddress(first));
    EXPECT_STREQ("00-1a-bc-de-f0-03", first.GetString());
}

TEST_F(FakeSysfs, NoAdaptersLeavesTextAndRetriesLater) {
    int calls = 0;
    bool have = false;
    TL_SetAdapterSysfsRoot(root);
    TL_SetAdapterSource([&](std::vector<pl::RawAdapter>& v) {
        ++calls;
        v.clear();
        if (have) v = {Raw("veth0", 2, 0x09)};
        return true;
    });
    std::string s = "keep";
    EXPECT_EQ(0u, TL_GetMacAddresses(s, 0xFF));
    EXPECT_EQ("keep", s);
    std::string mac = "x";
    EXPECT_EQ(0, TL_GetMacAddress(mac));
    EXPECT_EQ("x", mac);
    have = true;
    // No PCI adapter: the first adapter's address stands in.
    EXPECT_EQ(1, TL_GetMacAddress(mac));
    EXPECT_EQ("00-1a-bc-de-f0-09", mac);
    int before = calls;
    TL_GetMacAddresses(s, 1);
    EXPECT_EQ(before, calls);  // filled once, then kept
}

// The list's lock is recursive: a source that asks for an adapter kind while
// the list is being filled does not lock itself out.
TEST_F(FakeSysfs, SourceMayQueryKindsWhileTheListFills) {
    AddIf("eth0", "pci");
    TL_SetAdapterSysfsRoot(root);
    TL_SetAdapterSource([](std::vector<pl::RawAdapter>& v) {
        uint32_t medium = 0;
        if (TL_GetAdapterKind("eth0", medium) == pl::kAdapterPci) v = {Raw("eth0", 2, 0x07)};
        return true;
    });
    std::string s;
    EXPECT_EQ(1u, TL_GetMacAddresses(s, 1));
    EXPECT_EQ("00-1a-bc-de-f0-07;", s);
}

TEST(AdaptersLive, TextsHaveTheMacFormat) {
    std::string s;
    uint32_t n = TL_GetMacAddresses(s, 0xFF);
    std::regex one("([0-9a-f]{2}-){5}[0-9a-f]{2};");
    std::string rest = s;
    for (uint32_t i = 0; i < n; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(rest, m, one));
        EXPECT_EQ(0, m.position(0));
        rest = m.suffix();
    }
    EXPECT_TRUE(rest.empty());
}

}  // namespace
