#!/usr/bin/env python3
"""velmorante-tool connect (the headless client) end to end under Wine, in the namespace of
tests/system/road.sh: server selection, failover when the chosen server goes silent or its path
carries no traffic, an engine
killed from outside, a conflicting program started while connected, and the development service's
documents (changed and unchanged). Run by scripts/test.d/43-client, which sets the environment:
ROAD_NS, ROAD_LINKS (space-separated), ROAD_SERVER_PIDS, ROAD_UUID, ROAD_PAGE, ROAD_TEXT, ROAD_WORK,
VLM_WINE, WINEPREFIX, BUILD. Prints one line per check and "client: N passed, M failed"."""
import json
import os
import queue
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import applog

NS = os.environ["ROAD_NS"]
LINKS = os.environ["ROAD_LINKS"].split()
SERVER_PIDS = [int(p) for p in os.environ["ROAD_SERVER_PIDS"].split()]
UUID = os.environ["ROAD_UUID"]
WORK = os.environ["ROAD_WORK"]
WINE = os.environ["VLM_WINE"]
BUILD = os.path.abspath(os.environ["BUILD"])
PREFIX = os.environ["WINEPREFIX"]
DATA = os.path.join(PREFIX, "drive_c/users/root/AppData/Local/Velmorante")
TOOL = os.path.join(BUILD, "velmorante-tool.exe")
DOWN = "vless://%s@198.18.0.9:8443?type=tcp#down" % UUID

passed = failed = 0
started = []


def check(what, ok, detail=""):
    global passed, failed
    passed += bool(ok)
    failed += not ok
    print(("ok   " if ok else "FAIL ") + what + ("" if ok or not detail else ": " + detail), flush=True)


def document(links, mode="system", apps=()):
    return {"config": {"mode": mode, "apps": list(apps),
                       "servers": {"apps_list": [{"link": l} for l in links], "rest": ""}}}


def write_json(path, value):
    with open(path + ".tmp", "w") as f:
        json.dump(value, f)
    os.replace(path + ".tmp", path)


LOG = os.path.join(DATA, "app.log")


class Client:
    """The tool under Wine with a pipe on its standard input; its state lines in a queue."""

    def __init__(self, *args):
        self.lines = queue.Queue()
        self.seen = []
        self.proc = subprocess.Popen(["ip", "netns", "exec", NS, WINE, TOOL, "connect", *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        started.append(self.proc)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            try:
                self.lines.put(json.loads(raw))
            except ValueError:
                self.lines.put({"bad": raw.decode("utf-8", "replace")})

    def wait(self, predicate, seconds):
        """The first state line from now on for which predicate holds, or None."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                line = self.lines.get(timeout=max(0.05, deadline - time.time()))
            except queue.Empty:
                break
            self.seen.append(line)
            if predicate(line):
                return line
        return None

    def send(self, command):
        self.proc.stdin.write(command.encode() + b"\n")
        self.proc.stdin.flush()

    def quiet_for(self, predicate, seconds):
        return self.wait(predicate, seconds) is None

    def finish(self):
        self.proc.stdin.close()
        try:
            code = self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = None
        while True:
            try:
                self.seen.append(self.lines.get(timeout=0.5))
            except queue.Empty:
                break
        return code


def running(line):
    return line.get("phase") == "running"


def fetch(port):
    r = subprocess.run(["ip", "netns", "exec", NS, "curl", "-sS", "--max-time", "8", "--socks5-hostname",
                        "127.0.0.1:%d" % port, "http://%s/" % os.environ["ROAD_PAGE"]],
                       capture_output=True, text=True)
    return r.stdout


def engine_pids(name):
    """The engines of this prefix (another prefix's tests may run meanwhile)."""
    r = subprocess.run(["pgrep", "-f", name], capture_output=True, text=True)
    pids = []
    for p in r.stdout.split():
        try:
            with open("/proc/%s/environ" % p, "rb") as f:
                if ("WINEPREFIX=" + PREFIX).encode() in f.read().split(b"\0"):
                    pids.append(int(p))
        except OSError:
            pass
    return pids


def selection_failover_and_engine_death():
    doc = os.path.join(WORK, "three.json")
    write_json(doc, document([DOWN, LINKS[0], LINKS[1]]))
    before = applog.log_size(LOG)
    c = Client("Z:" + doc.replace("/", "\\"))
    line = c.wait(running, 40)
    check("select: the second server is chosen when the first does not answer",
          line is not None and line["server"] == "198.18.0.1:8443", json.dumps(line or c.seen[-3:]))
    servers = [l for l in applog.log_since(LOG, before) if l.startswith("server ")]
    check("select: one log line per server", len(servers) == 3 and servers[0] == "server 198.18.0.9: unreachable",
          repr(servers))
    if line:
        check("select: a page comes through the route's SOCKS port",
              os.environ["ROAD_TEXT"] in fetch(line["routes"][0]["socksPort"]))
    # The chosen server goes silent: the health probe fails and after 7 s the monitor switches.
    os.kill(SERVER_PIDS[0], signal.SIGTERM)
    t0 = time.time()
    switching = c.wait(lambda l: l.get("status") == "Сервер перестал отвечать, переключаюсь на другой…", 20)
    took = time.time() - t0
    check("failover: the switch comes after a little over 7 s of silence",
          switching is not None and 7.0 <= took <= 12.0, "after %.1f s" % took)
    line = c.wait(running, 40)
    check("failover: the third server runs", line is not None and line["server"] == "198.18.0.3:8443",
          json.dumps(line or c.seen[-3:]))
    # An engine killed from outside ends the tunnel with the log's reason.
    for pid in engine_pids(r"sing-box\.exe"):
        os.kill(pid, signal.SIGKILL)
    line = c.wait(lambda l: l.get("phase") == "idle", 15)
    check("engine killed: idle with the unexpected-stop text",
          line is not None and line["status"].startswith("Туннель неожиданно остановился. ") and line["error"],
          json.dumps(line))
    check("engine killed: no reconnect follows", c.quiet_for(lambda l: l.get("phase") == "connecting", 3))
    code = c.finish()
    check("exit: 0 after the tunnel ran", code == 0, str(code))


def selection_of_ten():
    """Ten servers, three on addresses nobody answers (their packets go nowhere), timed at once."""
    silent = ["vless://%s@198.18.0.%d:8443?type=tcp#silent-%d" % (UUID, 9 + i, i) for i in range(3)]
    links = [silent[0], LINKS[0], LINKS[1], silent[1], LINKS[2], LINKS[0] + "b", silent[2], LINKS[1] + "b",
             LINKS[2] + "b", LINKS[0] + "c"]
    doc = os.path.join(WORK, "ten.json")
    write_json(doc, document(links))
    r = subprocess.run(["ip", "netns", "exec", NS, WINE, TOOL, "servers", "Z:" + doc.replace("/", "\\")],
                       capture_output=True, text=True, timeout=60)
    out = [l.rstrip("\r") for l in r.stdout.splitlines()]
    lines = [l for l in out if l.startswith("server ")]
    want = [("server %s: unreachable" % host) if "silent" in link else "server %s: " % host
            for link in links for host in [link.split("@")[1].split(":")[0]]]
    in_order = len(lines) == 10 and all(l == w if w.endswith("unreachable") else
                                        (l.startswith(w) and l.endswith(" ms")) for l, w in zip(lines, want))
    check("select of ten: a line per server in the profile's order, the three silent ones unreachable",
          in_order, repr(out))
    check("select of ten: an answering server is chosen", r.returncode == 0 and out and out[-1] in links and
          "silent" not in out[-1], repr(out[-1:]))


def conflicting_program():
    doc = os.path.join(WORK, "one.json")
    write_json(doc, document([LINKS[1]]))
    c = Client("Z:" + doc.replace("/", "\\"))
    check("conflict: connected", c.wait(running, 40) is not None, json.dumps(c.seen[-3:]))
    program = os.path.join(WORK, "v2rayN.exe")
    shutil.copy(os.path.join(BUILD, "idle_process.exe"), program)
    p = subprocess.Popen(["ip", "netns", "exec", NS, WINE, "Z:" + program.replace("/", "\\")],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started.append(p)
    line = c.wait(lambda l: l.get("alert"), 15)
    check("conflict: the alert names the program", line is not None and "v2rayN" in line["alert"], json.dumps(line))
    check("conflict: idle afterwards, no retry", c.quiet_for(lambda l: l.get("phase") == "connecting", 4))
    p.kill()
    p.wait(10)
    c.finish()


def service_documents():
    profile = os.environ["VLM_DEV_PROFILE"]
    write_json(profile, document([LINKS[1]]))
    c = Client("--refresh", "2")
    line = c.wait(running, 60)
    check("service: connected with the service's document", line is not None and line["server"] == "198.18.0.3:8443",
          json.dumps(line or c.seen[-3:]))
    check("service: an unchanged document does not reconnect",
          c.quiet_for(lambda l: l.get("phase") in ("stopping", "connecting"), 6))
    write_json(profile, document([LINKS[1]], mode="game", apps=["TslGame"]))
    line = c.wait(lambda l: l.get("status") == "Настройки на сервере изменились, переподключаюсь…", 15)
    check("service: a changed document reconnects", line is not None, json.dumps(c.seen[-3:]))
    line = c.wait(running, 40)
    check("service: running again in the new mode", line is not None and "PUBG" in line["status"],
          json.dumps(line or c.seen[-3:]))
    c.finish()


def freeze(address, on):
    """The server at address stops sending on each connection past 20 000 bytes; new connections
    still open, so the health probe stays green: a path that connects but carries nothing."""
    srv = NS + "-srv"
    if not on:
        subprocess.run(["ip", "netns", "exec", srv, "nft", "delete", "table", "inet", "vlm_freeze"])
        return
    rules = ("table inet vlm_freeze {\n chain out {\n  type filter hook output priority 0; policy accept;\n"
             "  ip saddr %s tcp sport 8443 ct reply bytes > 20000 drop\n }\n}\n" % address)
    subprocess.run(["ip", "netns", "exec", srv, "nft", "-f", "-"], input=rules, text=True, check=True)


def frozen_path():
    """Connects to two servers and freezes the chosen one's path once the check has passed: right
    after that check (the slowest moment), or after a random part of its 15 s pause when
    VLM_FROZEN_RANDOM is set (the benchmark's case)."""
    doc = os.path.join(WORK, "frozen.json")
    write_json(doc, document([LINKS[1], LINKS[2]]))
    before = applog.log_size(LOG)
    c = Client("Z:" + doc.replace("/", "\\"))
    line = c.wait(lambda l: running(l) and l.get("liveness") == "ok", 40)
    check("frozen path: connected, the check through the tunnel passes", line is not None, json.dumps(c.seen[-3:]))
    if not line:
        c.finish()
        return
    frozen = line["server"]
    if os.environ.get("VLM_FROZEN_RANDOM"):
        time.sleep(random.uniform(0, 15))
    freeze(frozen.split(":")[0], True)
    try:
        t0 = time.time()
        switching = c.wait(lambda l: l.get("status") == "Сервер перестал отвечать, переключаюсь на другой…", 45)
        took = time.time() - t0
        logs = applog.log_since(LOG, before)
        check("frozen path: the client leaves the server within 35 s", switching is not None and took <= 35,
              "after %.1f s" % took)
        check("frozen path: the log says it carries no traffic, the probe stayed green",
              "server %s carries no traffic, switching" % frozen in logs and
              not any(l.endswith("stopped answering, switching") for l in logs),
              repr([l for l in logs if "switching" in l or "liveness" in l]))
        line = c.wait(running, 40)
        print("bench: frozen path: left the server after %.1f s, running on the other one after %.1f s"
              % (took, time.time() - t0), flush=True)
        check("frozen path: running on the other server", line is not None and line["server"] != frozen,
              json.dumps(line or c.seen[-3:]))
        if line:
            check("frozen path: a page comes through the tunnel again",
                  os.environ["ROAD_TEXT"] in fetch(line["routes"][0]["socksPort"]))
    finally:
        freeze(None, False)
    # Healthy again, it is still passed over by a new connect within its 5 minutes.
    before = applog.log_size(LOG)
    c.send("disconnect")
    idle = c.wait(lambda l: l.get("phase") == "idle", 30)
    c.send("connect")
    line = idle and c.wait(running, 40)
    host = frozen.split(":")[0]
    check("frozen path: a new connect within 5 minutes passes the server over",
          line is not None and line["server"] != frozen and
          any("server %s passed over" % host in l for l in applog.log_since(LOG, before)),
          json.dumps(line or c.seen[-3:]))
    c.finish()


def main():
    try:
        # VLM_CLIENT_CASES (names, space-separated) runs only those sections.
        only = os.environ.get("VLM_CLIENT_CASES", "").split()
        for section in (selection_of_ten, selection_failover_and_engine_death, conflicting_program, service_documents,
                        frozen_path):
            if only and section.__name__ not in only:
                continue
            try:
                section()
            except Exception as e:
                check(section.__name__, False, repr(e))
    finally:
        for p in started:
            if p.poll() is None:
                p.kill()
                p.wait(10)
    print("client: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
