// The decisions about adapters and conflicting programs, over records a test writes: adapters of
// kinds this machine cannot make (Wi-Fi, a Hyper-V switch) included.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "conflicts/adapters.h"
#include "conflicts/conflicts.h"

namespace {

AdapterInfo adapter(const std::string& description, const std::string& name, uint32_t type, bool up,
                    bool gateway, uint32_t index = 1) {
    AdapterInfo a;
    a.index = index;
    a.description = description;
    a.friendlyName = name;
    a.type = type;
    a.up = up;
    a.hasGateway = gateway;
    return a;
}

TEST(Adapters, InternetAdapterIsTheFirstUpPhysicalOneWithAGateway) {
    struct Row {
        const char* what;
        std::vector<AdapterInfo> list;
        const char* expected;  // friendly name, or null for none
    };
    const Row rows[] = {
        {"empty list", {}, nullptr},
        {"wi-fi with gateway", {adapter("Intel Wireless-AC 9560", "Wi-Fi", 71, true, true)}, "Wi-Fi"},
        {"hyper-v switch skipped",
         {adapter("Hyper-V Virtual Ethernet Adapter", "vEthernet (Default Switch)", 6, true, true, 1),
          adapter("Realtek PCIe GbE", "Ethernet", 6, true, true, 2)},
         "Ethernet"},
        {"user-named tunnel skipped",
         {adapter("Realtek PCIe GbE", "my tunnel", 6, true, true, 1),
          adapter("Realtek PCIe GbE #2", "Ethernet 2", 6, true, true, 2)},
         "Ethernet 2"},
        {"no gateway never", {adapter("Realtek PCIe GbE", "Ethernet", 6, true, false)}, nullptr},
        {"down never", {adapter("Realtek PCIe GbE", "Ethernet", 6, false, true)}, nullptr},
        {"pppoe link", {adapter("WAN Miniport (PPPOE)", "Ростелеком", 23, true, true)}, "Ростелеком"},
        {"mobile broadband", {adapter("Generic Mobile Broadband Adapter", "Cellular", 243, true, true)}, "Cellular"},
        {"mobile broadband, cdma", {adapter("Mobile Broadband Adapter", "Cellular 2", 244, true, true)}, "Cellular 2"},
        {"ppp without gateway never", {adapter("WAN Miniport (PPPOE)", "Dial-up", 23, true, false)}, nullptr},
        {"other type never", {adapter("Some tunnel", "Tunnel", 131, true, true)}, nullptr},
        {"first of two wins",
         {adapter("Realtek", "Ethernet", 6, true, true, 7), adapter("Intel", "Wi-Fi", 71, true, true, 3)},
         "Ethernet"},
        {"cyrillic name kept", {adapter("Realtek PCIe GbE", "Подключение по локальной сети", 6, true, true)},
         "Подключение по локальной сети"},
        {"words in any case", {adapter("VMware Network Adapter", "VMnet8", 6, true, true)}, nullptr},
        {"loopback", {adapter("Software Loopback Interface 1", "Loopback", 24, true, true)}, nullptr},
    };
    for (const Row& row : rows) {
        const AdapterInfo* found = findInternetAdapterIn(row.list);
        if (!row.expected) {
            EXPECT_EQ(found, nullptr) << row.what;
        } else {
            ASSERT_NE(found, nullptr) << row.what;
            EXPECT_EQ(found->friendlyName, row.expected) << row.what;
        }
    }
}

TEST(Adapters, ForeignTunnelAndOwnTunnel) {
    struct Row {
        const char* what;
        std::vector<AdapterInfo> list;
        const char* foreign;
        bool ownUp;
    };
    const Row rows[] = {
        {"empty", {}, "", false},
        {"ours up, described as wintun", {adapter("Wintun Userspace Tunnel", "velmorante-tun", 53, true, false)}, "",
         true},
        {"ours in capitals", {adapter("Wintun Userspace Tunnel", "VELMORANTE-TUN", 53, true, false)}, "", true},
        {"ours not yet up", {adapter("Wintun Userspace Tunnel", "velmorante-tun", 53, false, false)}, "", false},
        {"wireguard up", {adapter("WireGuard Tunnel", "office", 53, true, false)}, "office", false},
        {"wireguard down", {adapter("WireGuard Tunnel", "office", 53, false, false)}, "", false},
        {"sing-tun by name", {adapter("Some adapter", "sing-tun", 53, true, false)}, "sing-tun", false},
        {"tap-windows", {adapter("TAP-Windows Adapter V9", "Ethernet 3", 6, true, false)}, "Ethernet 3", false},
        {"plain tun is not foreign", {adapter("tun0", "tun0", 1, true, false)}, "", false},
        {"first of two",
         {adapter("wintun", "first", 53, true, false), adapter("WireGuard Tunnel", "second", 53, true, false)},
         "first", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(findForeignTunnelAdapterIn(row.list), row.foreign) << row.what;
        EXPECT_EQ(isTunnelAdapterUpIn(row.list), row.ownUp) << row.what;
    }
}

TEST(Conflicts, ProgramNamesServicesAndProxyText) {
    ASSERT_EQ(kConflictingProgramCount, 28u);
    EXPECT_STREQ(conflictingProgramEntry("CLASH VERGE.EXE"), "Clash Verge.exe");
    EXPECT_STREQ(conflictingProgramEntry("V2RAYN.exe"), "v2rayN.exe");
    EXPECT_STREQ(conflictingProgramEntry("amneziawg.exe"), "amneziawg.exe");
    EXPECT_EQ(conflictingProgramEntry("clash verge"), nullptr);
    EXPECT_EQ(conflictingProgramEntry("xray-core.exe"), nullptr);
    EXPECT_EQ(conflictingProgramEntry(""), nullptr);

    EXPECT_EQ(conflictDisplayName("Clash Verge.exe"), "Clash Verge");
    EXPECT_EQ(conflictDisplayName("HAPP.EXE"), "HAPP");
    EXPECT_EQ(conflictDisplayName(".exe"), ".exe");  // nothing before the suffix
    EXPECT_EQ(conflictDisplayName("x.exe"), "x");
    EXPECT_EQ(conflictDisplayName("wintun0"), "wintun0");

    EXPECT_TRUE(isWireGuardTunnelService("WireGuardTunnel$office"));
    EXPECT_TRUE(isWireGuardTunnelService("wireguardtunnel$"));
    EXPECT_FALSE(isWireGuardTunnelService("WireGuardManager"));
    EXPECT_FALSE(isWireGuardTunnelService("WireGuardTunnel"));

}

// Which processes closeProgramsByName ends: the walk's record first, then the process it opened.
TEST(Conflicts, OnlyTheUsersOwnListedProcessIsEndedAfterALookAtTheOpenedProcess) {
    const uint32_t self = 500, ours = 1;
    struct Row {
        const char* what;
        uint32_t pid, walkSession;
        const char* walkName;
        bool sessionKnown;
        uint32_t openedSession;
        const char* image;
        bool inEngineFolder;
        bool ended;
    };
    const Row rows[] = {
        {"listed, own session", 40, ours, "sing-box.exe", true, ours, "C:\\Tools\\sing-box.exe", false, true},
        {"name in another case", 40, ours, "SING-BOX.EXE", true, ours, "C:\\Tools\\Sing-Box.exe", false, true},
        {"this process", self, ours, "sing-box.exe", true, ours, "C:\\Tools\\sing-box.exe", false, false},
        {"another name", 40, ours, "sing-box-old.exe", true, ours, "C:\\Tools\\sing-box-old.exe", false, false},
        {"another session in the walk", 40, 2, "sing-box.exe", true, 2, "C:\\Tools\\sing-box.exe", false, false},
        {"services' session", 40, 0, "sing-box.exe", true, 0, "C:\\Services\\sing-box.exe", false, false},
        {"id reused by another session", 40, ours, "sing-box.exe", true, 2, "C:\\Tools\\sing-box.exe", false, false},
        {"session unknown", 40, ours, "sing-box.exe", false, 0, "C:\\Tools\\sing-box.exe", false, false},
        {"id reused by another program", 40, ours, "sing-box.exe", true, ours, "C:\\Windows\\notepad.exe", false, false},
        {"image name only ends alike", 40, ours, "sing-box.exe", true, ours, "C:\\Tools\\my-sing-box.exe", false, false},
        {"path unreadable", 40, ours, "sing-box.exe", true, ours, "", false, false},
        {"our own engine", 40, ours, "sing-box.exe", true, ours, "C:\\Data\\engine\\sing-box.exe", true, false},
        {"forward slashes", 40, ours, "sing-box.exe", true, ours, "Z:/opt/sing-box.exe", false, true},
    };
    for (const Row& row : rows) {
        ProcessRecord walked;
        walked.pid = row.pid;
        walked.sessionId = row.walkSession;
        walked.exeName = row.walkName;
        const std::string wanted = "sing-box.exe";
        OpenedProcess opened;
        opened.sessionKnown = row.sessionKnown;
        opened.sessionId = row.openedSession;
        opened.imagePath = row.image;
        opened.inEngineFolder = row.inEngineFolder;
        const bool ended =
            isCloseCandidate(walked, wanted, self, ours) && mayEndOpenedProcess(opened, wanted, ours);
        EXPECT_EQ(ended, row.ended) << row.what;
    }
}

TEST(Conflicts, ProxyTextIsOursOnlyWhenEveryEntryIsLoopback) {
    const struct { const char* text; bool ours; } rows[] = {
        {"127.0.0.1:10809", true},
        {"http=localhost:8080;https=localhost:8080", true},
        {"LOCALHOST:8080", true},
        {"http=LOCALHOST:7890", true},
        {"[::1]:8080", true},
        {"127.0.0.10:7890", true},
        {"http=127.1.2.3:7890; https=127.1.2.3:7890;socks=127.1.2.3:7891;", true},
        {"http=http://127.0.0.1:7890", true},
        {"127.0.0.10", false},  // no port: not what a client leaves behind
        {"localhost.example:8080", false},
        {"127.0.0.1.example:8080", false},
        {"127.0.0.256:8080", false},
        {"127.0.0:8080", false},
        {"localhost:0", false},
        {"localhost:65536", false},
        {"http=127.0.0.1:7890;https=proxy.corp:3128", false},  // the user's own proxy in the list
        {"proxy.corp:3128", false},
        {"[::2]:8080", false},
        {"", false},
        {" ; ", false},
    };
    for (const auto& row : rows) EXPECT_EQ(proxyPointsAtLoopback(row.text), row.ours) << row.text;
}

TEST(Conflicts, GrowingListIsReadOnceMoreAtItsNewSize) {
    struct Row {
        const char* what;
        std::vector<uint32_t> sizes;  // the size the list has at each read
        bool ok;
        int reads;
    };
    const Row rows[] = {
        {"steady list", {40, 40}, true, 2},
        {"grew between the calls", {40, 64, 64}, true, 3},
        {"grew twice", {40, 64, 96}, false, 3},
        {"empty list", {0}, true, 1},
    };
    for (const Row& row : rows) {
        int reads = 0;
        std::vector<unsigned char> out;
        const bool ok = readGrowingList(
            [&](std::vector<unsigned char>& buffer, uint32_t& needed) {
                const uint32_t size = row.sizes[std::min<size_t>(reads++, row.sizes.size() - 1)];
                if (buffer.size() >= size) return true;
                needed = size;
                return false;
            },
            out);
        EXPECT_EQ(ok, row.ok) << row.what;
        EXPECT_EQ(reads, row.reads) << row.what;
    }
}

}  // namespace
