#!/usr/bin/env python3
"""velmorante-tool adapters / conflicts / conflicts --clear under Wine, in network namespaces made
here: adapters of each kind the tunnel start distinguishes, listed programs started inside and
outside the engine folder, WireGuard tunnel services, and system proxy values.

Usage: conflicts_cases.py WINE WINESERVER BUILD_DIR   (as root; WINEPREFIX set by the caller)
Prints one line per case and "conflicts: N passed, M failed".
"""
import json
import os
import shutil
import subprocess
import sys
import time

import applog

WINE, WINESERVER, BUILD = sys.argv[1], sys.argv[2], os.path.abspath(sys.argv[3])
PREFIX = os.environ["WINEPREFIX"]
NS = "vlm-conflicts-%d" % os.getpid()
PEER = NS + "-peer"
TOOL = os.path.join(BUILD, "velmorante-tool.exe")
SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
LOCAL = os.path.join(PREFIX, "drive_c/users", os.environ.get("USER", "root"), "AppData/Local")
if not os.path.isdir(LOCAL):
    LOCAL = os.path.join(PREFIX, "drive_c/users/root/AppData/Local")
DATA = os.path.join(LOCAL, "Velmorante")
ENGINE = os.path.join(DATA, "engine")
FIXTURES = os.path.join(PREFIX, "drive_c/vlm-conflicts")

passed = failed = 0
started = []  # Linux pids of the Wine programs this test started


def check(what, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print("ok   " + what)
    else:
        failed += 1
        print("FAIL " + what + (": " + detail if detail else ""))


def sh(*args, check_rc=True):
    r = subprocess.run(list(args), capture_output=True, text=True, timeout=120)
    if check_rc and r.returncode != 0:
        raise RuntimeError("%s failed (exit %d): %s" % (" ".join(args), r.returncode, r.stderr.strip()))
    return r.stdout


def ip(*args):
    return sh("ip", "-n", NS, *args)


def wine(*args, check_rc=True):
    return sh("ip", "netns", "exec", NS, "timeout", "-k", "5", "60", WINE, *args, check_rc=check_rc)


def tool(*args):
    try:
        out = wine(TOOL, *args)
    except RuntimeError as e:
        # A look at the machine is read-only: one more try, and the first failure stays in the output.
        print("note: " + str(e) + "; asked again", flush=True)
        out = wine(TOOL, *args)
    return json.loads(out)


LOG = os.path.join(DATA, "app.log")


def log_size():
    return applog.log_size(LOG)


def log_since(offset):
    return applog.log_since(LOG, offset)


def start_program(path):
    """Starts a copy of the idle helper under Wine; the Linux pid is the Windows process's."""
    p = subprocess.Popen(["ip", "netns", "exec", NS, WINE, path], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    started.append(p)
    return p


def windows_path(linux_path):
    """The path as Windows programs see it: drive C for the prefix's files (the engine folder is
    compared as the program names it), Z for the rest."""
    drive_c = os.path.join(PREFIX, "drive_c")
    if linux_path.startswith(drive_c + "/"):
        return "C:" + linux_path[len(drive_c):].replace("/", "\\")
    return "Z:" + linux_path.replace("/", "\\")


def wait_until(condition, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return condition()


def adapters_cases():
    # The Internet adapter: a veth pair to a peer namespace with the default route through it. A
    # "tap"-named veth with a better default route comes first in the list and must be skipped.
    for dev, peer, net in (("vlmtap0", "p-tap0", "198.18.1"), ("vlm-eth0", "p-eth0", "198.18.0"),
                           ("vlm-lan0", "p-lan0", "198.18.2")):
        sh("ip", "link", "add", dev, "netns", NS, "type", "veth", "peer", "name", peer, "netns", PEER)
        ip("addr", "add", net + ".2/24", "dev", dev)
        ip("link", "set", dev, "up")
        sh("ip", "-n", PEER, "addr", "add", net + ".1/24", "dev", peer)
        sh("ip", "-n", PEER, "link", "set", peer, "up")
    ip("route", "add", "default", "via", "198.18.1.1", "metric", "10")
    ip("route", "add", "default", "via", "198.18.0.1", "metric", "20")
    ip("tuntap", "add", "dev", "velmorante-tun", "mode", "tun")
    ip("tuntap", "add", "dev", "wintun0", "mode", "tun")
    ip("tuntap", "add", "dev", "wireguard1", "mode", "tun")

    doc = tool("adapters")
    by_name = {a["name"]: a for a in doc["adapters"]}
    check("adapters: every interface listed in order with index",
          [a["name"] for a in doc["adapters"]] == ["lo", "vlmtap0", "vlm-eth0", "vlm-lan0", "velmorante-tun",
                                                   "wintun0", "wireguard1"], json.dumps(doc))
    check("adapters: veth with the default route is the Internet adapter",
          doc["internet"] == {"name": "vlm-eth0", "index": by_name["vlm-eth0"]["index"]}, json.dumps(doc["internet"]))
    check("adapters: a tap-named adapter with a gateway is virtual and skipped",
          by_name["vlmtap0"]["gateway"] and by_name["vlmtap0"]["virtual"] and by_name["vlmtap0"]["type"] == 6)
    check("adapters: no gateway on the other veth", not by_name["vlm-lan0"]["gateway"] and by_name["vlm-lan0"]["up"])
    check("adapters: tun names are virtual", by_name["velmorante-tun"]["virtual"] and by_name["wintun0"]["virtual"])
    check("adapters: own tunnel down", doc["tunnelUp"] is False and doc["foreignTunnel"] == "")

    ip("link", "set", "velmorante-tun", "up")
    doc = tool("adapters")
    check("adapters: own tunnel up, never foreign", doc["tunnelUp"] is True and doc["foreignTunnel"] == "",
          json.dumps(doc))
    ip("link", "set", "wireguard1", "up")
    check("adapters: foreign wireguard tun up is reported", tool("adapters")["foreignTunnel"] == "wireguard1")
    ip("link", "set", "wintun0", "up")
    check("adapters: the first foreign one in list order", tool("adapters")["foreignTunnel"] == "wintun0")
    check("conflicts: a foreign adapter is the conflict without a program", tool("conflicts")["conflict"] == "wintun0")
    ip("link", "set", "wintun0", "down")
    ip("link", "set", "wireguard1", "down")
    doc = tool("conflicts")
    check("adapters: foreign tuns down are not reported", doc["conflict"] == "" and
          tool("adapters")["foreignTunnel"] == "", json.dumps(doc))
    ip("link", "del", "vlm-eth0")
    check("adapters: no Internet adapter once the default route's veth is gone", tool("adapters")["internet"] is None)


def program_cases():
    os.makedirs(ENGINE, exist_ok=True)
    others = os.path.join(FIXTURES, "elsewhere")
    sibling = os.path.join(DATA, "engine-old")
    for d in (others, sibling):
        os.makedirs(d, exist_ok=True)
    idle = os.path.join(BUILD, "idle_process.exe")
    paths = {
        "own": os.path.join(ENGINE, "sing-box.exe"),
        "foreign": os.path.join(others, "SING-BOX.exe"),
        "sibling": os.path.join(sibling, "sing-box.exe"),
        "clash": os.path.join(others, "Clash Verge.exe"),
    }
    for p in paths.values():
        shutil.copy(idle, p)
    own = start_program(windows_path(paths["own"]))
    time.sleep(1.5)
    check("conflicts: our own engine is not a conflict", tool("conflicts")["conflict"] == "")
    clash = start_program(windows_path(paths["clash"]))
    found = wait_until(lambda: tool("conflicts")["conflict"] == "Clash Verge")
    check("conflicts: a listed program with a space is named without .exe", found)
    foreign = start_program(windows_path(paths["foreign"]))
    sib = start_program(windows_path(paths["sibling"]))
    time.sleep(1.5)
    # A log past 1 MiB: the next line starts a new one, the old becomes "app.log.1".
    filler = b"00:00:00 filler\r\n" * (1024 * 1024 // 17 + 1)
    with open(LOG, "wb") as f:
        f.write(filler)
    doc = tool("conflicts", "--clear")
    ended = wait_until(lambda: clash.poll() is not None and foreign.poll() is not None and sib.poll() is not None)
    check("clear: the listed programs outside the engine folder are ended", ended)
    check("clear: our own engine keeps running", own.poll() is None)
    check("clear: nothing left to report", doc["conflict"] == "", json.dumps(doc))
    lines = log_since(0)
    closed = sorted(l for l in lines if l.startswith("closed conflicting program: "))
    check("clear: one log line per ended program, in the table's spelling",
          closed == ["closed conflicting program: Clash Verge.exe", "closed conflicting program: sing-box.exe",
                     "closed conflicting program: sing-box.exe"], repr(lines))
    with open(LOG + ".1", "rb") as f:
        previous = f.read()
    check("log: past 1 MiB it became app.log.1, and a new app.log holds the lines since",
          previous == filler and len(lines) == 3, "%d bytes before, lines %r" % (len(previous), lines))


def service_cases():
    os.makedirs(FIXTURES, exist_ok=True)
    names = ["WireGuardTunnel$office", "wireguardtunnel$home", "VlmOtherService"]
    # One image per service: Wine runs services of one image in one process.
    for i, name in enumerate(names):
        image = os.path.join(FIXTURES, "service%d.exe" % i)
        wine("sc", "delete", name, check_rc=False)  # left over from a run that died
        shutil.copy(os.path.join(BUILD, "test_service.exe"), image)
        wine("sc", "create", name, "binpath=", windows_path(image))
        wine("sc", "start", name)
    running = lambda n: "RUNNING" in wine("sc", "query", n, check_rc=False)
    wait_until(lambda: all(running(n) for n in names))
    doc = tool("conflicts")
    check("services: both WireGuard tunnel services are listed, the other not",
          doc["wireguardServices"] == names[:2], json.dumps(doc))
    client = os.path.join(FIXTURES, "wireguard.exe")  # the services' client program, listed too
    shutil.copy(os.path.join(BUILD, "idle_process.exe"), client)
    client_process = start_program(windows_path(client))
    time.sleep(1.5)
    before = log_size()
    tool("conflicts", "--clear")
    lines = log_since(before)
    stops = [l for l in lines if l.startswith("stopped WireGuard tunnel service")]
    check("services: one stop log line naming each",
          sorted(stops) == sorted("stopped WireGuard tunnel service " + n for n in names[:2]), repr(lines))
    check("services: stopped before the programs are closed",
          wait_until(lambda: client_process.poll() is not None) and
          lines.index("closed conflicting program: wireguard.exe") > max(lines.index(l) for l in stops),
          repr(lines))
    check("services: both stopped", wait_until(lambda: not running(names[0]) and not running(names[1])))
    check("services: the other service untouched", running(names[2]))
    for name in names:
        wine("sc", "stop", name, check_rc=False)
        wine("sc", "delete", name, check_rc=False)


def proxy_cases():
    rows = [
        # enable, server, (enabled, loopback) before, enabled after
        ("1", "127.0.0.1:10809", (True, True), False),
        ("1", "http=localhost:8080;https=localhost:8080", (True, True), False),
        ("1", "198.18.7.7:3128", (True, False), True),
        ("0", "127.0.0.1:10809", (False, False), False),
        ("1", "127.0.0.10", (True, False), True),
        ("1", "localhost.example:8080", (True, False), True),
        ("1", "[::1]:8080", (True, True), False),
        ("1", "http=LOCALHOST:7890", (True, True), False),
    ]
    for enable, server, seen, after in rows:
        wine("reg", "add", SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", enable, "/f")
        wine("reg", "add", SETTINGS, "/v", "ProxyServer", "/t", "REG_SZ", "/d", server, "/f")
        doc = tool("conflicts")["proxy"]
        check("proxy %s/%s: read" % (enable, server),
              (doc["enabled"], doc["loopback"]) == seen and doc["server"] == (server if seen[0] else ""), json.dumps(doc))
        before = log_size()
        doc = tool("conflicts", "--clear")["proxy"]
        stored = wine("reg", "query", SETTINGS, "/v", "ProxyServer")
        check("proxy %s/%s: cleared only when it points here, the server text kept" % (enable, server),
              doc["enabled"] == after and server in stored, json.dumps(doc))
        # Wine's WinINet refuses the refresh option (error 12018): the switch-off is done, but a
        # WinINet failure ends the step without the log line.
        check("proxy %s/%s: no log line while WinINet fails" % (enable, server),
              "cleared the system proxy left by another client" not in log_since(before))
    wine("reg", "delete", SETTINGS, "/v", "ProxyServer", "/f", check_rc=False)
    wine("reg", "add", SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "0", "/f")


def main():
    sh("ip", "netns", "add", NS)
    sh("ip", "netns", "add", PEER)
    try:
        ip("link", "set", "lo", "up")
        for section in (adapters_cases, program_cases, service_cases, proxy_cases):
            try:
                section()
            except Exception as e:  # a broken step fails its section, the others still run
                check(section.__name__, False, str(e))
    finally:
        for p in started:
            if p.poll() is None:
                p.kill()
                p.wait(10)
        subprocess.run(["ip", "netns", "exec", NS, "timeout", "-k", "5", "30", WINESERVER, "-k"],
                       capture_output=True)
        subprocess.run(["ip", "netns", "del", PEER], capture_output=True)
        subprocess.run(["ip", "netns", "del", NS], capture_output=True)
        shutil.rmtree(FIXTURES, ignore_errors=True)
        shutil.rmtree(os.path.join(DATA, "engine-old"), ignore_errors=True)
    print("conflicts: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
