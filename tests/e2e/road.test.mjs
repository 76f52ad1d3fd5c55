// The real program under Wine, driven through its page: scripts/run starts VELMORANTE.exe with the
// development web view runtime (the page in Chromium) in a network namespace with VLESS servers;
// this test connects to that Chromium over its DevTools port and presses the power button.
// Run it inside the program's namespace while scripts/run runs (the port is the namespace's own):
//   ip netns exec vlm-road-<pid> node --test tests/e2e/road.test.mjs
//   VLM_DEV_RUNTIME_CDP_PORT (default 9229), VLM_E2E_SERVERS (the document's servers, space-separated;
//   default 198.18.0.1:8443; with more than one the program announces its choice),
//   VLM_SCREENSHOTS (default build/e2e-screenshots); from scripts/run's own lines:
//   VLM_E2E_PAGE and VLM_E2E_PAGE_TEXT (the page only the tunnel reaches, and its text),
//   VLM_E2E_PROFILE (the service document; its case wants VLM_DEV_PROFILE_REFRESH_SECONDS set)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, readdirSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import { execFileSync, spawn } from 'node:child_process';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from '../ui/node_modules/playwright-core/index.mjs';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '..', '..');
const cdp = `http://127.0.0.1:${process.env.VLM_DEV_RUNTIME_CDP_PORT || 9229}`;
const servers = (process.env.VLM_E2E_SERVERS || '198.18.0.1:8443').split(' ').filter(Boolean);
const shots = process.env.VLM_SCREENSHOTS || join(root, 'build', 'e2e-screenshots');
// One server is taken without a choice; from two on, the program first probes them all.
const CONNECTING = servers.length > 1 ? 'Выбираю самый быстрый сервер…' : 'Подключаюсь…';
const CONNECTED = 'Подключено. Весь ПК идёт через сервер.';
const STOPPING = 'Отключаюсь…';
const ENGINE_STOPPED = 'Туннель неожиданно остановился. ';
const RECONNECTING = 'Настройки на сервере изменились, переподключаюсь…';
const throughTunnel = process.env.VLM_E2E_PAGE;
const throughTunnelText = process.env.VLM_E2E_PAGE_TEXT;
const serviceDocument = process.env.VLM_E2E_PROFILE;
// The program's Wine prefix and loader (scripts/run's): engines found and programs started there.
const prefix = process.env.WINEPREFIX || join(root, 'build', 'wineprefix-run');
const wine = process.env.VLM_WINE || '/usr/lib/wine/wine64';

// Linux pids of the program's own engine processes (by name, in the program's prefix). A Wine
// program that starts a Linux program forks first: until the exec, the child shows its parent's
// name and arguments, so a child of a process of the same command line is not counted.
function enginePids(exe) {
  const found = [];
  for (const entry of readdirSync('/proc')) {
    if (!/^[0-9]+$/.test(entry)) continue;
    try {
      const comm = readFileSync(`/proc/${entry}/comm`, 'utf8').trim();
      const cmdline = readFileSync(`/proc/${entry}/cmdline`, 'utf8');
      const env = readFileSync(`/proc/${entry}/environ`, 'utf8').split('\0');
      const parent = Number(readFileSync(`/proc/${entry}/stat`, 'utf8').split(') ').pop().split(' ')[1]);
      const named = comm === exe || cmdline.toLowerCase().includes('\\' + exe.toLowerCase());
      if (named && env.includes(`WINEPREFIX=${prefix}`)) found.push({ pid: Number(entry), parent, cmdline });
    } catch { /* gone meanwhile */ }
  }
  return found.filter((p) => !found.some((q) => q.pid === p.parent && q.cmdline === p.cmdline)).map((p) => p.pid);
}

// What runs under that name anywhere, for a failure message.
function anyNamed(exe) {
  const found = [];
  for (const entry of readdirSync('/proc')) {
    if (!/^[0-9]+$/.test(entry)) continue;
    try {
      const cmdline = readFileSync(`/proc/${entry}/cmdline`, 'utf8').replaceAll('\0', ' ');
      if (cmdline.toLowerCase().includes(exe.toLowerCase())) {
        const env = readFileSync(`/proc/${entry}/environ`, 'utf8').split('\0').filter((v) => v.startsWith('WINEPREFIX='));
        found.push(`${entry} ${readFileSync(`/proc/${entry}/comm`, 'utf8').trim()} ${env} ${cmdline.slice(0, 120)}`);
      }
    } catch { /* gone meanwhile */ }
  }
  return found.join('; ');
}

// The page behind the server, fetched through the SOCKS inbound that the stand-in xray's v2ray
// listens on (its document in the engine folder names the port the program chose).
function fetchThroughSocks(url) {
  const document = join(prefix, 'drive_c', 'users', 'root', 'AppData', 'Local', 'Velmorante', 'engine',
    'standin-v2ray.json');
  const socks = JSON.parse(readFileSync(document, 'utf8')).inbounds.find((i) => i.protocol === 'socks');
  assert.ok(socks, `a SOCKS inbound in ${document}`);
  return execFileSync('curl', ['-sS', '--max-time', '10', '--socks5-hostname', `127.0.0.1:${socks.port}`, url],
    { encoding: 'utf8' });
}

// X windows shown on the display: the program's own (Wine's) by title, the page's (Chromium's) by class.
function shownWindows(...args) {
  try {
    return execFileSync('xdotool', ['search', '--onlyvisible', ...args], { encoding: 'utf8' }).trim().split('\n')
      .filter(Boolean);
  } catch { return []; }  // none found
}
const pageShown = () => shownWindows('--class', 'chromium').length > 0;
function windowSize(id) {
  const info = execFileSync('xwininfo', ['-id', id], { encoding: 'utf8' });
  return [/Width: (\d+)/.exec(info)[1], /Height: (\d+)/.exec(info)[1]].map(Number);
}
async function until(condition, ms, what) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > deadline) assert.fail(`${what} within ${ms} ms`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// Written beside and renamed, so that the service never reads half a document.
function writeDocument(text) {
  writeFileSync(serviceDocument + '.new', text);
  renameSync(serviceDocument + '.new', serviceDocument);
}

async function connect() {
  // From idle, whatever an earlier case left behind.
  await forget();
  await snapshot(() => true, 5000, 'any snapshot');  // the timer posts one every second
  const now = (await seen()).at(-1).phase;
  if (now !== 'idle') {
    if (now === 'running') await page.click('#power');
    await snapshot((s) => s.phase === 'idle', 60000, 'phase "idle"');
  }
  await forget();
  await page.click('#power');
  return snapshot((s) => s.phase === 'running', 60000, 'phase "running"');
}

let browser;
let page;

// Every snapshot the host posts and every text the page shows, from now on, in the page itself.
function record() {
  window.__seen = [];
  window.__shown = [];
  window.chrome.webview.addEventListener('message', (e) => window.__seen.push(e.data));
  const heading = document.getElementById('heading');
  const status = document.getElementById('status');
  new MutationObserver(() => window.__shown.push(heading.textContent + ' | ' + status.textContent))
    .observe(document.getElementById('main'), { subtree: true, childList: true, characterData: true });
}

let seenBeforeExit = [];
const seen = async () => {
  try { seenBeforeExit = await page.evaluate(() => window.__seen.slice()); } catch { /* the page is gone */ }
  return seenBeforeExit;
};
const shown = () => page.evaluate(() => window.__shown.slice());
const forget = () => page.evaluate(() => { window.__seen.length = 0; window.__shown.length = 0; });

// The first recorded snapshot for which the predicate holds, waiting at most ms.
async function snapshot(predicate, ms, what) {
  const deadline = Date.now() + ms;
  for (;;) {
    const found = (await seen()).find(predicate);
    if (found) return found;
    if (Date.now() > deadline) {
      const last = (await seen()).slice(-3);
      assert.fail(`no snapshot with ${what} within ${ms} ms; the last: ${JSON.stringify(last)}`);
    }
    await new Promise((r) => setTimeout(r, 100));
  }
}

before(async () => {
  browser = await chromium.connectOverCDP(cdp, { timeout: 30000 });
  const deadline = Date.now() + 30000;
  while (!page && Date.now() < deadline) {
    page = browser.contexts().flatMap((c) => c.pages()).find((p) => p.url().startsWith('http://127.0.0.1:'));
    if (!page) await new Promise((r) => setTimeout(r, 200));
  }
  assert.ok(page, 'the program\'s page is open in Chromium');
  await page.waitForFunction(() => window.chrome && window.chrome.webview, null, { timeout: 30000 });
  await page.evaluate(record);
  mkdirSync(shots, { recursive: true });
  // A run left connected is disconnected first: each case starts from its own phase.
  const first = await snapshot(() => true, 5000, 'any content');
  if (first.phase !== 'idle') {
    if (first.phase === 'running') await page.click('#power');
    await snapshot((s) => s.phase === 'idle', 60000, 'phase "idle"');
  }
});

// Only the connection to the DevTools port ends: Chromium and the program stay.
after(async () => { if (browser) await browser.close(); });

test('connect: the status while connecting, then the connected text with the server and a ping', async () => {
  await forget();
  await page.screenshot({ path: join(shots, 'idle.png') });
  await page.click('#power');
  const running = await snapshot((s) => s.phase === 'running', 60000, 'phase "running"');
  const during = (await seen()).filter((s) => s.phase === 'connecting').map((s) => s.status);
  assert.ok(during.includes(CONNECTING), `connecting showed ${JSON.stringify(during)}`);
  assert.ok((await shown()).some((t) => t.endsWith('| ' + CONNECTING)), 'the page showed it');
  assert.equal(running.status, CONNECTED);
  assert.equal(running.error, false);
  assert.ok(servers.includes(running.server), `server ${running.server}`);
  // The health probe runs every 2 s; its latency is -1 until the first probe has answered.
  const pinged = await snapshot((s) => s.phase === 'running' && s.ping >= 0, 15000, 'a ping');
  assert.equal(pinged.server, running.server);
  assert.equal(await page.textContent('#heading'), 'Подключено');
  assert.equal(await page.getAttribute('#power', 'class'), 'on');
  await page.screenshot({ path: join(shots, 'running.png') });
  if (throughTunnel) {
    const body = fetchThroughSocks(`http://${throughTunnel}/`);
    assert.ok(body.includes(throughTunnelText), `the page through the tunnel: ${body.slice(0, 200)}`);
  }
});

test('disconnect: "Отключаюсь…", then idle', async () => {
  await forget();
  await page.click('#power');
  const idle = await snapshot((s) => s.phase === 'idle', 60000, 'phase "idle"');
  const stopping = (await seen()).filter((s) => s.phase === 'stopping').map((s) => s.status);
  assert.ok(stopping.includes(STOPPING), `stopping showed ${JSON.stringify(stopping)}`);
  assert.equal(idle.error, false, `idle with an error: ${idle.status}`);
  assert.equal(idle.ping, -1);
  assert.equal(await page.textContent('#heading'), 'Не подключено');
  assert.equal(await page.getAttribute('#power', 'class'), 'idle');
  await until(() => enginePids('xray-core.exe').length + enginePids('sing-box.exe').length === 0, 3000,
    'no engine left');
  await page.screenshot({ path: join(shots, 'idle-again.png') });
});

// The host takes commands only as strings: the runtime must refuse the object to it.
test('an object posted instead of a JSON string changes nothing', async () => {
  await forget();
  await page.evaluate(() => window.chrome.webview.postMessage({ cmd: 'toggle' }));
  await new Promise((r) => setTimeout(r, 2500));
  const phases = (await seen()).map((s) => s.phase);
  assert.ok(phases.length >= 2, 'snapshots kept coming');
  assert.deepEqual([...new Set(phases)], ['idle']);
});

test('an engine killed from outside: the unexpected-stop text and the reason, idle', async () => {
  await connect();
  await forget();
  let pids = [];
  for (let i = 0; i < 30 && pids.length === 0; ++i) {
    pids = enginePids('sing-box.exe');
    if (pids.length === 0) await new Promise((r) => setTimeout(r, 100));
  }
  assert.equal(pids.length, 1, `one sing-box of the program runs (prefix ${prefix}; seen: ${anyNamed('sing-box.exe')})`);
  process.kill(pids[0], 'SIGKILL');
  const idle = await snapshot((s) => s.phase === 'idle', 20000, 'phase "idle"');
  assert.ok(idle.status.startsWith(ENGINE_STOPPED), `status ${idle.status}`);
  assert.equal(idle.error, true);
  assert.deepEqual(enginePids('xray-core.exe'), [], 'no engine left');
  await page.screenshot({ path: join(shots, 'engine-stopped.png') });
});

test('a listed program started while connected: the window comes forward with the alert naming it, "Понятно" dismisses it, no reconnect', async () => {
  await connect();
  // Minimized first, so that coming forward shows: Chromium's window goes with the program's.
  const [own] = shownWindows('--name', '^VELMORANTE$');
  assert.ok(own, 'the program\'s window is shown');
  const size = windowSize(own);
  await page.click('#minimize');
  await until(() => !pageShown(), 10000, 'the page hidden after "minimize"');
  await forget();
  const folder = join(shots, '..', 'e2e-programs');
  mkdirSync(folder, { recursive: true });
  const program = join(folder, 'v2rayN.exe');
  copyFileSync(join(root, 'build', 'windows', 'idle_process.exe'), program);
  const child = spawn(wine, ['Z:' + program.replaceAll('/', '\\')], {
    env: { ...process.env, WINEPREFIX: prefix, WINEDEBUG: '-all' }, stdio: 'ignore',
  });
  try {
    const cut = await snapshot((s) => s.alert !== '', 20000, 'an alert');
    assert.ok(cut.alert.includes('v2rayN'), `alert ${cut.alert}`);
    await until(pageShown, 10000, 'the page shown again with the alert');
    assert.deepEqual(windowSize(own), size, 'the program\'s window restored');
    await page.waitForSelector('#alert:not([hidden])', { timeout: 5000 });
    assert.ok((await page.textContent('#alertText')).includes('v2rayN'));
    await page.screenshot({ path: join(shots, 'alert.png') });
    await page.click('#dismiss');
    await snapshot((s) => s.alert === '', 5000, 'the alert dismissed');
    await new Promise((r) => setTimeout(r, 3000));
    assert.ok(!(await seen()).some((s) => s.phase === 'connecting'), 'no reconnect');
    assert.equal(await page.getAttribute('#alert', 'hidden'), '');
  } finally {
    child.kill('SIGKILL');
  }
});

// The program asks the service every few seconds here (VLM_DEV_PROFILE_REFRESH_SECONDS); the
// document changes to the game mode and back.
test('the service changes its document while connected: the program reconnects in the new mode', { skip: !serviceDocument }, async () => {
  await connect();
  const original = readFileSync(serviceDocument, 'utf8');
  const changed = JSON.parse(original);
  changed.config.mode = 'game';
  changed.config.apps = ['TslGame'];
  await forget();
  writeDocument(JSON.stringify(changed));
  try {
    const inGame = (s) => s.phase === 'running' && s.status.includes('PUBG');
    const game = await snapshot(inGame, 60000, 'running in the game mode');
    assert.equal(game.mode, 'game');
    // The reconnect's own status is followed at once by the connect's: the page may see either.
    const all = await seen();
    const before = all.slice(0, all.findIndex(inGame));
    assert.ok(before.some((s) => s.status === RECONNECTING || s.phase === 'stopping' || s.phase === 'connecting'),
      `reconnected: ${JSON.stringify(before.map((s) => s.status))}`);
    await page.screenshot({ path: join(shots, 'changed-document.png') });
  } finally {
    await forget();
    writeDocument(original);
  }
  await snapshot((s) => s.phase === 'running' && s.status === CONNECTED, 90000, 'running in the whole-PC mode again');
});

// Last, because it replaces the program (scripts/run with VLM_RUN_OFFER_UPDATE=1 offers the next
// version; 50-road sets both): while connected, the update disconnects first, downloads with
// progress, ends the program, and about two seconds later the new version runs and says so.
test('the update offer: the row, progress, and the new version running afterwards', { skip: !process.env.VLM_E2E_UPDATE }, async () => {
  const offered = (await snapshot((s) => s.update, 10000, 'an update offer')).update;
  assert.equal(offered.progress, -1);
  await page.waitForSelector('#update:not([hidden])', { timeout: 5000 });
  assert.ok((await page.textContent('#updateTitle')).includes(offered.version));
  await connect();
  await page.screenshot({ path: join(shots, 'update-offered.png') });
  await forget();
  const gone = new Promise((r) => browser.once('disconnected', r));
  await page.click('#updateButton');
  // Keep what the page receives until its program ends.
  const watch = setInterval(() => { seen(); }, 100);
  await Promise.race([gone, new Promise((r) => setTimeout(r, 90000))]);
  clearInterval(watch);
  assert.ok(!browser.isConnected(), 'the old program ended');
  const before = seenBeforeExit;
  assert.ok(before.some((s) => s.phase === 'stopping' || s.phase === 'idle'), 'disconnected first');
  assert.ok(before.some((s) => s.update && s.update.progress >= 0), 'progress shown');
  assert.deepEqual(enginePids('xray-core.exe'), [], 'the tunnel stopped with the old program');
  // The new version opens its own page in a new Chromium on the same port.
  const deadline = Date.now() + 60000;
  page = undefined;
  while (!page && Date.now() < deadline) {
    try {
      browser = await chromium.connectOverCDP(cdp, { timeout: 5000 });
      page = browser.contexts().flatMap((c) => c.pages()).find((p) => p.url().startsWith('http://127.0.0.1:'));
      if (!page) await browser.close();
    } catch { await new Promise((r) => setTimeout(r, 500)); }
  }
  assert.ok(page, 'the new version shows its page');
  await page.waitForFunction(() => window.chrome && window.chrome.webview, null, { timeout: 30000 });
  await page.evaluate(record);
  const fresh = await snapshot(() => true, 10000, 'a snapshot of the new version');
  assert.equal(fresh.version, offered.version);
  await page.screenshot({ path: join(shots, 'updated.png') });
});
