#!/usr/bin/env python3
"""velmorante-tool connect under seeded random actions, in the namespace of tests/system/road.sh
with three VLESS servers: toggle, connect, disconnect, an engine killed from outside, a server
stopped and started again, a changed document, the client closed and started again. Each action is
followed by its check; a sampler watches throughout that no two engine sets and no two clients run.
An action sent "hurried" is followed by the next one after a short pause, so that commands overlap
the work of earlier ones; its outcome is judged with the next action's.
Run by scripts/test.d/46-chaos (the environment of client_cases.py plus ROAD_SRV). VLM_CHAOS_SEED
replays a run, VLM_CHAOS_ACTIONS sets the number of actions (default 80)."""
import os
import queue
import random
import signal
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the tree from the import below
import client_cases as cc  # noqa: E402
from client_cases import Client, check, document, write_json  # noqa: E402

SRV = os.environ["ROAD_SRV"]
SEED = int(os.environ.get("VLM_CHAOS_SEED") or random.SystemRandom().randrange(1, 10**9))
ACTIONS = int(os.environ.get("VLM_CHAOS_ACTIONS") or 80)
ENGINE_FOLDER = os.path.join(cc.DATA, "engine")
# The unpacked engines and their marker; "standin-*" files are the stand-in engines' own.
ENGINE_FILES = {"xray-core.exe", "sing-box.exe", "wintun.dll", ".build"}
NS_INODE = os.stat("/run/netns/" + cc.NS).st_ino
PROFILE_CHANGED = "Настройки на сервере изменились, переподключаюсь…"
SETTLE_S = 45      # a connect with every server probed and the engines started, on a loaded machine
QUIET_S = 0.7      # a phase unchanged this long after a command counts as settled
LEAVE_S = 15       # an engine's end is seen within a pass and the conflict scan's 2 s


def namespace_processes():
    """(pid, name, args) of the live processes in the client namespace. A Wine program that starts
    a Linux program forks first: until the exec, the child shows its parent's name and arguments,
    so a child of a process of the same name is not counted."""
    found = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            if os.stat("/proc/%s/ns/net" % d).st_ino != NS_INODE:
                continue
            with open("/proc/%s/stat" % d) as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % d, "rb") as f:
                args = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        fields = stat.rsplit(")", 1)[1].split()
        if fields[0] != "Z":
            found.append((int(d), stat[stat.find("(") + 1:stat.rfind(")")], args, int(fields[1])))
    same = {(p, a) for p, _, a, _ in found}
    return [(p, n, a) for p, n, a, parent in found if (parent, a) not in same]


def census():
    """What runs in the namespace: engine pids by name, clients, the client's v2ray, the adapter."""
    procs = namespace_processes()
    pick = lambda text: [(p, a[:160]) for p, _, a in procs if text in a.lower()]
    tun = subprocess.run(["ip", "-n", cc.NS, "link", "show", "velmorante-tun"], capture_output=True).returncode == 0
    return {"xray-core.exe": pick("xray-core.exe"), "sing-box.exe": pick("sing-box.exe"),
            "clients": pick("velmorante-tool.exe"),
            "v2ray": [(p, a[:160]) for p, n, a in procs if n == "v2ray" and "standin-v2ray" in a], "tun": tun}


def leftovers(seconds):
    """What is still there after seconds at most, or None when nothing is."""
    deadline = time.time() + seconds
    while True:
        c = census()
        left = {k: c[k] for k in ("xray-core.exe", "sing-box.exe", "v2ray", "tun") if c[k]}
        if not left:
            return None
        if time.time() >= deadline:
            return repr(left)
        time.sleep(0.25)


class Sampler(threading.Thread):
    """Never two engine sets, never two clients: sampled every 0.2 s, each breach kept once per action.
    A breach counts when the same processes are seen in two samples in a row: Wine starts a program
    through a fork of its starter (a double fork), which shows the starter's command line for a moment."""

    def __init__(self):
        super().__init__(daemon=True)
        self.action = 0
        self.breaches = {}
        self.stop = False

    def run(self):
        before = {}
        while not self.stop:
            c = census()
            for key in ("xray-core.exe", "sing-box.exe", "clients"):
                if len(c[key]) > 1 and c[key] == before.get(key):
                    self.breaches.setdefault((self.action, key), c[key])
            before = c
            time.sleep(0.2)

    def take(self, action):
        return sorted((k, n) for (a, k), n in self.breaches.items() if a == action)


class Driven:
    """A client under test: its state lines pumped into `last`, its standard error drained."""

    def __init__(self, doc_path):
        self.c = Client("Z:" + doc_path.replace("/", "\\"))
        self.last = {"phase": "starting"}  # until its first line: never settled
        self.changed = time.time()
        self.errors = []
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for raw in self.c.proc.stderr:
            self.errors.append(raw.decode("utf-8", "replace").rstrip())

    def send(self, line):
        try:
            self.c.proc.stdin.write((line + "\n").encode())
            self.c.proc.stdin.flush()
            return True
        except OSError:
            return False

    def pump(self, seconds):
        """Takes every line that arrives within seconds; returns them."""
        taken = []
        deadline = time.time() + seconds
        while True:
            try:
                line = self.c.lines.get(timeout=max(0.0, deadline - time.time()))
            except queue.Empty:
                return taken
            if line.get("phase") != self.last.get("phase"):
                self.changed = time.time()
            self.last = line
            taken.append(line)

    def wait(self, predicate, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            for line in self.pump(min(0.2, max(0.0, deadline - time.time()))):
                if predicate(line):
                    return line
        return None

    def settle(self, since, seconds=SETTLE_S):
        """The state once idle or running for QUIET_S since `since`, or None within seconds."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            self.pump(0.1)
            if self.last.get("phase") in ("idle", "running") and time.time() - max(self.changed, since) >= QUIET_S:
                return self.last
            if self.c.proc.poll() is not None:
                return None
        return None


def short(line):
    if not line:
        return "none"
    return "%s%s %s" % (line.get("phase"), "!" if line.get("error") else "", line.get("server") or "")


class Chaos:
    def __init__(self):
        self.rng = random.Random(SEED)
        self.links = list(cc.LINKS)
        self.doc = {"links": list(self.links), "mode": "system"}
        self.doc_offered = 0.0
        self.doc_path = os.path.join(cc.WORK, "chaos-doc.json")
        self.server_pids = {i: p for i, p in enumerate(cc.SERVER_PIDS)}
        self.down = set()
        self.servers_started = []
        self.hurried = False
        self.sampler = Sampler()
        self.write_doc()
        self.client = Driven(self.doc_path)

    # The document file and what a running tunnel must show for it.
    def write_doc(self):
        apps = ["TslGame"] if self.doc["mode"] == "game" else []
        write_json(self.doc_path, document(self.doc["links"], mode=self.doc["mode"], apps=apps))

    def matches_doc(self, line):
        if line.get("phase") != "running" or time.time() - self.doc_offered < 2:
            return True
        return ("PUBG" in line.get("status", "")) == (self.doc["mode"] == "game")

    def fail(self, n, what, detail):
        check("%d %s" % (n, what), False, detail)

    def ok(self, n, what, good, detail):
        """A passed check is counted silently: the action's line says what happened."""
        if good:
            cc.passed += 1
        else:
            self.fail(n, what, detail)
        return good

    # Outcomes shared by several actions.
    def connected_or_failed(self, n, what, since):
        line = self.client.settle(since)
        good = line is not None and (line["phase"] == "running" or line.get("error"))
        self.ok(n, what + ": running or a failure", good, short(line) + " " + (line or {}).get("status", ""))
        if line is not None and line["phase"] == "running":
            self.ok(n, what + ": the running tunnel follows the latest document", self.matches_doc(line),
                    "mode %s, status %s" % (self.doc["mode"], line.get("status")))
        return line

    def disconnected(self, n, what, since):
        line = self.client.settle(since)
        self.ok(n, what + ": idle", line is not None and line["phase"] == "idle", short(line))
        left = leftovers(6)
        self.ok(n, what + ": nothing of the tunnel remains", left is None, str(left))
        return line

    # The actions: each returns a short note of its outcome.
    def act_toggle(self, n, pre):
        since = time.time()
        self.client.send("toggle")
        if self.hurried:
            return "hurried"
        if pre == "running":
            return short(self.disconnected(n, "toggle from running", since))
        if pre == "idle":
            return short(self.connected_or_failed(n, "toggle from idle", since))
        return short(self.client.settle(since))

    def act_connect(self, n, pre):
        since = time.time()
        self.client.send("connect")
        return "hurried" if self.hurried else short(self.connected_or_failed(n, "connect from " + pre, since))

    def act_disconnect(self, n, pre):
        since = time.time()
        self.client.send("disconnect")
        return "hurried" if self.hurried else short(self.disconnected(n, "disconnect", since))

    def act_kill_engine(self, n, pre):
        c = census()
        targets = [(name, pid) for name in ("xray-core.exe", "sing-box.exe") for pid, _ in c[name]]
        if not targets:
            return "no engine runs"
        name, pid = self.rng.choice(targets)
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            return "gone already"
        if pre == "running" and not self.hurried:
            line = self.client.wait(lambda l: l.get("phase") != "running", LEAVE_S)
            self.ok(n, "%s killed: the state leaves running" % name, line is not None, short(self.client.last))
            return name + " -> " + short(line)
        return name + " killed"

    def act_stop_server(self, n, pre):
        up = [i for i in range(len(self.links)) if i not in self.down]
        if not up:
            return self.act_start_server(n, pre)
        i = self.rng.choice(up)
        pid = self.server_pids[i]
        os.kill(pid, signal.SIGTERM)
        deadline = time.time() + 5
        while time.time() < deadline and self._alive(pid):
            time.sleep(0.05)
        self.down.add(i)
        return "server %d stopped" % (i + 1)

    @staticmethod
    def _alive(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False

    def act_start_server(self, n, pre):
        if not self.down:
            return self.act_stop_server(n, pre)
        i = self.rng.choice(sorted(self.down))
        p = subprocess.Popen(["ip", "netns", "exec", SRV, "v2ray", "-config",
                              os.path.join(cc.WORK, "server-%d.json" % (i + 1))],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.servers_started.append(p)
        self.server_pids[i] = p.pid
        address = self.links[i].split("@")[1].split(":")[0]
        r = subprocess.run(["ip", "netns", "exec", SRV, "timeout", "5", "bash", "-c",
                            "until (exec 3<>/dev/tcp/%s/8443) 2>/dev/null; do sleep 0.05; done" % address])
        self.ok(n, "server %d started again" % (i + 1), r.returncode == 0, "no answer on %s:8443" % address)
        self.down.discard(i)
        return "server %d started" % (i + 1)

    def act_document(self, n, pre):
        links = list(self.links)
        self.rng.shuffle(links)
        self.doc = {"links": links, "mode": self.rng.choice(["system", "game"])}
        self.write_doc()
        since = time.time()
        self.doc_offered = since
        self.client.send("document Z:" + self.doc_path.replace("/", "\\"))
        note = "%s %s" % (self.doc["mode"], "".join(l[-1] for l in links))
        if self.hurried:
            return note + " hurried"
        line = self.client.settle(since)
        self.ok(n, "document: settles", line is not None, short(self.client.last))
        alive = census()
        if line is not None and line["phase"] == "running" and alive["xray-core.exe"] and alive["sing-box.exe"]:
            # The take is within a monitor pass; a reconnect, if any, is done once settled. With an
            # engine killed by a hurried action before, the monitor is still reacting to its end
            # (up to 2 s of conflict scans) and the state line is stale: the next check judges it.
            self.ok(n, "document: the running tunnel follows it",
                    ("PUBG" in line.get("status", "")) == (self.doc["mode"] == "game"),
                    "mode %s, status %s" % (self.doc["mode"], line.get("status")))
        return note + " -> " + short(line)

    def act_restart(self, n, pre):
        how = self.rng.choice(["quit", "end of input"])
        if how == "quit":
            self.client.send("quit")
        else:
            self.client.c.proc.stdin.close()
        try:
            code = self.client.c.proc.wait(60)
        except subprocess.TimeoutExpired:
            code = None
        self.ok(n, "restart (%s): the client exits with 0 or 1" % how, code in (0, 1), "exit %s" % code)
        if code is None:
            self.client.c.proc.kill()
            self.client.c.proc.wait(10)
        left = leftovers(8)
        self.ok(n, "restart: nothing of the tunnel remains after the exit", left is None, str(left))
        since = time.time()
        self.client = Driven(self.doc_path)
        return how + "; new client " + short(self.connected_or_failed(n, "restart", since))

    def run(self):
        table = [("toggle", self.act_toggle, 4), ("connect", self.act_connect, 2), ("disconnect", self.act_disconnect, 2),
                 ("kill-engine", self.act_kill_engine, 2), ("stop-server", self.act_stop_server, 1),
                 ("start-server", self.act_start_server, 1), ("document", self.act_document, 2),
                 ("restart", self.act_restart, 1)]
        names = [t[0] for t in table]
        weights = [t[2] for t in table]
        self.sampler.start()
        begun = time.time()
        print("    0 start      %s" % short(self.connected_or_failed(0, "start", begun)), flush=True)
        for n in range(1, ACTIONS + 1):
            self.sampler.action = n
            if self.client.c.proc.poll() is not None:
                self.fail(n, "the client still runs", "it exited with %s; stderr: %s" %
                          (self.client.c.proc.returncode, " | ".join(self.client.errors[-3:])))
                self.client = Driven(self.doc_path)
            self.client.pump(0.05)
            pre = self.client.last.get("phase")
            name = self.rng.choices(names, weights)[0]
            self.hurried = name in ("toggle", "connect", "disconnect", "document", "kill-engine") and \
                self.rng.random() < 0.25
            pause = self.rng.uniform(0.0, 1.2)
            t0 = time.time()
            note = table[names.index(name)][1](n, pre)
            print("  %3d %-12s %-10s %s (%.1f s)" % (n, name, pre, note, time.time() - t0), flush=True)
            if self.hurried:
                time.sleep(pause)
            for key, count in self.sampler.take(n):
                self.fail(n, "never two at once: " + key, repr(count))
        # The end: the last state settles, the client quits, nothing remains.
        line = self.client.settle(time.time())
        check("end: the state settles", line is not None, short(self.client.last))
        check("end: one client at most", len(census()["clients"]) <= 1, str(census()["clients"]))
        self.client.send("quit")
        try:
            code = self.client.c.proc.wait(60)
        except subprocess.TimeoutExpired:
            code = None
        check("end: the client exits with 0 or 1", code in (0, 1), str(code))
        self.sampler.stop = True
        left = leftovers(8)
        check("end: no engine, adapter or engine v2ray remains", left is None, str(left))
        stray = sorted(f for f in os.listdir(ENGINE_FOLDER) if f not in ENGINE_FILES and not f.startswith("standin-"))
        check("end: only the engines and their marker in the engine folder", not stray, repr(stray))
        check("end: no client remains", not census()["clients"], str(census()["clients"]))
        print("chaos: %d actions in %.0f s" % (ACTIONS, time.time() - begun))


def main():
    print("chaos: seed %d, %d actions (replay: VLM_CHAOS_SEED=%d VLM_CHAOS_ACTIONS=%d)" % (SEED, ACTIONS, SEED, ACTIONS),
          flush=True)
    chaos = None
    try:
        chaos = Chaos()
        chaos.run()
    except Exception as e:
        check("chaos", False, repr(e))
    finally:
        for p in cc.started + (chaos.servers_started if chaos else []):
            if p.poll() is None:
                p.kill()
                p.wait(10)
    if cc.failed:
        print("chaos: replay with VLM_CHAOS_SEED=%d VLM_CHAOS_ACTIONS=%d" % (SEED, ACTIONS))
    print("chaos: %d passed, %d failed" % (cc.passed, cc.failed))
    return 0 if cc.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
