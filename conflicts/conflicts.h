// Other VPN and proxy clients: the programs closed before a tunnel starts and watched for while it
// runs, WireGuard tunnel services, and a system proxy left pointing at this machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/process.h"

// Executable names compared case-insensitively with each running process's file name.
inline constexpr const char* kConflictingPrograms[] = {
    "Happ.exe",          "v2rayN.exe",          "nekoray.exe",       "nekobox.exe",
    "Throne.exe",        "Hiddify.exe",         "HiddifyCli.exe",    "Clash for Windows.exe",
    "clash-verge.exe",   "Clash Verge.exe",     "InvisibleMan-XRay.exe", "Furious.exe",
    "AmneziaVPN.exe",    "openvpn-gui.exe",     "wireguard.exe",     "Outline.exe",
    "sing-box.exe",      "xray.exe",            "v2ray.exe",         "tun2proxy-bin.exe",
    "tun2socks.exe",     "hiddify-core.exe",    "clash.exe",         "mihomo.exe",
    "verge-mihomo.exe",  "clash-meta.exe",      "openvpn.exe",       "amneziawg.exe",
};
inline constexpr size_t kConflictingProgramCount = sizeof kConflictingPrograms / sizeof kConflictingPrograms[0];

inline constexpr const char* kWireGuardServicePrefix = "WireGuardTunnel$";

// The table's spelling of a listed executable name (UTF-8, any letter case), or null.
const char* conflictingProgramEntry(const std::string& exeName);
// The name shown for a conflicting program: ".exe" dropped (any case) when something precedes it.
std::string conflictDisplayName(const std::string& exeName);
// A service name that starts with "WireGuardTunnel$", ignoring case.
bool isWireGuardTunnelService(const std::string& serviceName);
// A proxy setting that points at this machine: its entries ("host:port" or "scheme=host:port",
// separated by ';') are all of that form with a loopback host: 127.0.0.0/8, "[::1]" or "localhost"
// in any case. A setting naming any other host, or an entry without a port, is the user's own.
bool proxyPointsAtLoopback(const std::string& proxyServer);

// What closeProgramsByName learns of a process once it holds it open. While the handle is open the
// id cannot pass to another process, so these describe the very process the handle would end.
struct OpenedProcess {
    bool sessionKnown = false;
    uint32_t sessionId = 0;
    std::string imagePath;        // its full image path (UTF-8); empty when it could not be read
    bool inEngineFolder = false;  // the image lies in the engine folder: one of our own engines
};
// The walk's record is worth opening: not this process, the executable name exeName (ASCII letters
// in any case), and the user's own session (ownSession, this process's).
bool isCloseCandidate(const ProcessRecord& walked, const std::string& exeName, uint32_t selfPid, uint32_t ownSession);
// The opened process may be ended: in the user's own session, its image path readable and naming
// exeName (a reused id that now names another program is left alone), and not one of our engines.
bool mayEndOpenedProcess(const OpenedProcess& opened, const std::string& exeName, uint32_t ownSession);

// Reads a list that may grow between asking for its size and reading it (the service list):
// read(buffer) fills the buffer and returns true, or returns false with needed set to the size it
// asks for. One read with an empty buffer, then one at the asked size, then once more at the
// newly asked size when the list grew meanwhile. False when no read succeeded.
bool readGrowingList(const std::function<bool(std::vector<unsigned char>& buffer, uint32_t& needed)>& read,
                     std::vector<unsigned char>& out);
// The conflicts group of the seams: the tunnel start clears them, the monitor watches for them.
// The program fills it with clearConflicts and detectConflict; each default finds nothing and
// does nothing.
struct ConflictOps {
    // The name of a conflicting program or foreign tunnel adapter, or empty.
    std::function<std::string()> detect = [] { return std::string(); };
    std::function<void()> clear = [] {};
};

// The Windows edge (conflicts_win.cpp). Everything here is best effort and silent; only actions
// that succeeded are logged.
// WireGuard tunnel services are asked to stop first (their processes run in another session and
// are never ended), then the listed programs are closed, then a loopback proxy is cleared.
void clearConflicts();
// Ends the processes of the user's own session with that executable name, except this process and
// our own engines, each checked again once opened (isCloseCandidate, mayEndOpenedProcess).
void closeProgramsByName(const std::wstring& exeName);
// The same over a walk the caller took.
void closeListedProcesses(const ProcessList& walk, const std::wstring& exeName);
void stopWireGuardServices();
void clearLoopbackProxy();
std::wstring findRunningConflictProgram();
std::string detectConflict();

// For diagnostics: the running WireGuard tunnel services (the ones stopWireGuardServices asks to
// stop), and the proxy setting as clearLoopbackProxy reads it.
std::vector<std::string> runningWireGuardServices();
struct SystemProxy {
    bool enabled = false;  // "ProxyEnable" read as a DWORD and not 0
    std::string server;    // "ProxyServer", read only when enabled
};
SystemProxy readSystemProxy();
