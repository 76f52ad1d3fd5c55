// The program's page in Debian's Chromium, with a stand-in for the host's web-message bridge.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = dirname(fileURLToPath(import.meta.url));
const root = resolve(here, '..', '..');
const pagePath = process.env.VLM_PAGE || join(root, 'resources', 'ui', 'page.html');
const shotDir = process.env.VLM_SCREENSHOTS || join(root, 'build', 'ui-screenshots');
const pageUrl = 'file://' + pagePath;

const IDLE = {
  version: '1.2.2', phase: 'idle', status: 'Готов.', error: false, alert: '',
  mode: 'game', server: 'de1.example.test:443', ping: -1, apps: [{ name: 'PUBG', running: false }],
};
const snap = (over) => ({ ...IDLE, ...over });
const DANGER = 'rgb(255, 90, 77)';
const GREEN = 'rgb(52, 224, 138)';

let browser;
before(async () => {
  browser = await chromium.launch({
    executablePath: process.env.VLM_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
           '--no-first-run', '--disable-sync'],
    timeout: 30000,
  });
  mkdirSync(shotDir, { recursive: true });
  mkdirSync(join(shotDir, '150'), { recursive: true });
});
after(async () => { if (browser) await browser.close(); });

// The stand-in records what the page posts and delivers snapshots as "message" events.
function standIn() {
  const listeners = [];
  window.__posted = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(message) { window.__posted.push(message); },
    addEventListener(type, fn) { if (type === 'message') listeners.push(fn); },
    removeEventListener(type, fn) { const i = listeners.indexOf(fn); if (i >= 0) listeners.splice(i, 1); },
  };
  window.__deliver = (data) => { for (const fn of listeners.slice()) fn(new MessageEvent('message', { data })); };
}

async function openPage({ scale = 1, reducedMotion = 'no-preference' } = {}) {
  const context = await browser.newContext({ viewport: { width: 400, height: 560 }, deviceScaleFactor: scale,
                                             reducedMotion });
  const page = await context.newPage();
  page.setDefaultTimeout(5000);
  const requests = [];
  page.on('request', (r) => requests.push(r.url()));
  const errors = [];
  page.on('pageerror', (e) => errors.push(e));
  await page.addInitScript(standIn);
  await page.goto(pageUrl);
  return { page, context, requests, errors };
}

const deliver = (page, data) => page.evaluate((d) => window.__deliver(d), data);
// Every posted message must be a string holding a JSON object.
async function posted(page) {
  const raw = await page.evaluate(() => window.__posted.slice());
  for (const m of raw) assert.equal(typeof m, 'string', 'posted as a JSON string');
  return raw.map((m) => JSON.parse(m));
}
async function clearPosted(page) { await page.evaluate(() => { window.__posted.length = 0; }); }
const text = (page, sel) => page.$eval(sel, (e) => e.textContent);
const color = (page, sel) => page.$eval(sel, (e) => getComputedStyle(e).color);
const visible = (page, sel) => page.isVisible(sel);

async function withPage(options, body) {
  const p = await openPage(options);
  try { await body(p.page, p); } finally { await p.context.close(); }
}

test('load: one "ready", nothing fetched, the idle view', () => withPage({}, async (page, { requests }) => {
  assert.deepEqual(await posted(page), [{ cmd: 'ready' }]);
  assert.deepEqual(requests, [pageUrl]);
  assert.equal(await text(page, '#heading'), 'Не подключено');
  assert.equal(await page.$eval('#power', (e) => e.className), 'idle');
  assert.equal(await text(page, '.brand'), 'VELMORANTE');
  const html = readFileSync(pagePath, 'utf8');
  assert.doesNotMatch(html, /(https?:)?\/\/[a-z]/i, 'no external address');
  assert.doesNotMatch(html, /<link|@import|src=/i, 'no external file');
}));

test('layout: title bar, buttons and ring measure as designed', () => withPage({}, async (page) => {
  const box = async (sel) => page.$eval(sel, (e) => { const r = e.getBoundingClientRect(); return [r.width, r.height]; });
  assert.deepEqual(await box('.titlebar'), [400, 44]);
  for (const [id, tip] of [['#support', 'Задать вопрос в Telegram'], ['#minimize', 'Свернуть'], ['#close', 'Закрыть']]) {
    assert.deepEqual(await box(id), [34, 28]);
    assert.equal(await page.$eval(id, (e) => e.title), tip);
  }
  assert.deepEqual(await box('#power'), [148, 148]);
  assert.deepEqual(await box('.ring'), [220, 220]);
  const brand = await page.$eval('.brand', (e) => {
    const s = getComputedStyle(e);
    return [s.fontSize, s.fontWeight, s.letterSpacing, s.color];
  });
  assert.deepEqual(brand, ['12px', '600', '2.64px', 'rgb(122, 132, 148)']);
  const body = await page.$eval('body', (e) => {
    const s = getComputedStyle(e);
    return [s.backgroundColor, s.fontSize, s.lineHeight, s.fontFamily];
  });
  assert.deepEqual(body.slice(0, 3), ['rgb(10, 12, 16)', '13px', '18.85px']);
  assert.match(body[3], /^"Segoe UI Variable Text", "Segoe UI"/);
  assert.match(await page.$eval('#heading', (e) => getComputedStyle(e).fontFamily), /^"Segoe UI Variable Display", "Segoe UI"/);
  assert.equal(await page.$eval('#status', (e) => getComputedStyle(e).fontSize), '12.5px');
}));

test('phase: class, state, label and heading', () => withPage({}, async (page) => {
  const rows = [
    // phase, class, disabled, label, heading
    ['running', 'on', false, 'Отключить', 'Подключено'],
    ['connecting', 'busy', true, 'Подключить', 'Подключение…'],
    ['stopping', 'busy', true, 'Подключить', 'Отключение…'],
    ['idle', 'idle', false, 'Подключить', 'Не подключено'],
  ];
  for (const [phase, cls, disabled, label, heading] of rows) {
    await deliver(page, snap({ phase }));
    const got = await page.$eval('#power', (e) => [e.className, e.disabled, e.getAttribute('aria-label')]);
    assert.deepEqual(got, [cls, disabled, label], phase);
    assert.equal(await text(page, '#heading'), heading);
    assert.equal((await color(page, '#heading')) === GREEN, phase === 'running', phase);
  }
}));

test('status: quiet texts, other texts and the error colour', () => withPage({}, async (page) => {
  const rows = [
    // phase, status, error, shown, danger
    ['idle', 'Готов.', false, 'Нажмите, чтобы подключить', false],
    ['idle', 'Отключено.', false, 'Нажмите, чтобы подключить', false],
    ['idle', '', false, 'Нажмите, чтобы подключить', false],
    ['running', 'Подключено. Весь ПК идёт через сервер.', false, 'Нажмите, чтобы отключить', false],
    ['running', 'Готов.', false, 'Нажмите, чтобы отключить', false],
    ['connecting', 'Выбираю самый быстрый сервер…', false, 'Выбираю самый быстрый сервер…', false],
    ['stopping', 'Отключаюсь…', false, 'Отключаюсь…', false],
    ['idle', 'Для туннеля нужны права администратора.', true, 'Для туннеля нужны права администратора.', true],
    ['idle', 'Готов.', true, 'Готов.', true],
    ['running', 'Сервер перестал отвечать', true, 'Сервер перестал отвечать', true],
  ];
  for (const [phase, status, error, shown, danger] of rows) {
    await deliver(page, snap({ phase, status, error }));
    assert.equal(await text(page, '#status'), shown, `${phase} ${status} ${error}`);
    assert.equal((await color(page, '#status')) === DANGER, danger, `${phase} ${status} ${error}`);
  }
  // Only two lines of a long text are shown.
  await deliver(page, snap({ status: 'Туннель неожиданно остановился. '.repeat(8), error: true }));
  const [height, lineHeight] = await page.$eval('#status', (e) => [e.clientHeight, parseFloat(getComputedStyle(e).lineHeight)]);
  assert.ok(height <= 2 * lineHeight + 1, `status shows at most two lines (${height})`);
  assert.equal(await text(page, '#version'), 'v1.2.2');
  // A snapshot delivered as a window message is shown the same way.
  await page.evaluate(() => window.postMessage({ version: '9.9', phase: 'running', status: '', error: false, alert: '',
    mode: 'game', server: '', ping: -1, apps: [] }, '*'));
  await page.waitForFunction(() => document.getElementById('version').textContent === 'v9.9');
  assert.equal(await text(page, '#heading'), 'Подключено');
}));

test('update row: title, notes and button', () => withPage({}, async (page) => {
  await deliver(page, snap({}));
  assert.equal(await visible(page, '#update'), false);
  const rows = [
    // offer, title, notes, button, disabled
    [{ version: '1.3.0', notes: 'Быстрее выбор сервера', mandatory: false, progress: -1 },
      'Версия 1.3.0', 'Быстрее выбор сервера', 'Обновить', false],
    [{ version: '1.3.0', notes: '', mandatory: true, progress: -1 },
      'Обязательное обновление 1.3.0', 'Скачается, проверится и перезапустится', 'Обновить', false],
    [{ version: '1.3.0', notes: '', mandatory: false, progress: 0 }, 'Версия 1.3.0',
      'Скачается, проверится и перезапустится', '0%', true],
    [{ version: '1.3.0', notes: 'x', mandatory: false, progress: 42 }, 'Версия 1.3.0', 'x', '42%', true],
    [{ version: '1.3.0', notes: 'x', mandatory: false, progress: 100 }, 'Версия 1.3.0', 'x', '100%', true],
  ];
  for (const [offer, title, notes, button, disabled] of rows) {
    await deliver(page, snap({ update: offer }));
    assert.equal(await visible(page, '#update'), true);
    assert.equal(await text(page, '#updateTitle'), title);
    assert.equal(await text(page, '#updateNotes'), notes);
    assert.equal(await text(page, '#updateButton'), button);
    assert.equal(await page.$eval('#updateButton', (e) => e.disabled), disabled);
  }
  // Long notes stay on one line with an ellipsis.
  await deliver(page, snap({ update: { version: '1.3.0', notes: 'Длинные заметки '.repeat(20), mandatory: false, progress: -1 } }));
  const notes = await page.$eval('#updateNotes', (e) => [e.scrollWidth > e.clientWidth, getComputedStyle(e).textOverflow, e.clientHeight]);
  assert.deepEqual(notes.slice(0, 2), [true, 'ellipsis']);
  await clearPosted(page);
  await page.click('#updateButton');
  assert.deepEqual(await posted(page), [{ cmd: 'update' }]);
  await deliver(page, snap({}));
  assert.equal(await visible(page, '#update'), false);
}));

test('alert sheet: opens, focuses "Понятно" 50 ms later, sends "dismiss", closes', () => withPage({}, async (page) => {
  const message = 'Вы запустили VPN-программу «WireGuard». VELMORANTE отключился: он не работает одновременно с VPN. Закройте её и подключитесь снова.';
  const focusTimes = await page.evaluate((msg) => new Promise((done) => {
    const start = performance.now();
    const button = document.getElementById('dismiss');
    button.addEventListener('focus', () => done(performance.now() - start), { once: true });
    window.__deliver({ version: '1.2.2', phase: 'idle', status: 'Отключено: запущена программа «WireGuard».',
                       error: true, alert: msg, mode: 'game', server: '', ping: -1, apps: [] });
    setTimeout(() => done(-1), 3000);
  }), message);
  assert.ok(focusTimes >= 45 && focusTimes < 2000, `focus after ${focusTimes} ms`);
  assert.equal(await visible(page, 'text=Программа отключилась'), true);
  assert.equal(await text(page, '#alertText'), message);
  assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Понятно');
  assert.equal(await page.$eval('#alertText', (e) => getComputedStyle(e).userSelect), 'text');
  await page.click('#alertText', { clickCount: 3 });
  assert.match(await page.evaluate(() => String(getSelection())), /VELMORANTE отключился/);
  // A repeated snapshot keeps the sheet as it is.
  await deliver(page, snap({ alert: message }));
  assert.equal(await visible(page, '#alert'), true);
  await clearPosted(page);
  await page.click('text=Понятно');
  assert.deepEqual(await posted(page), [{ cmd: 'dismiss' }]);
  await deliver(page, snap({ alert: '' }));
  assert.equal(await visible(page, '#alert'), false);
}));

test('commands: clicks and the title-bar drag post JSON strings', () => withPage({}, async (page) => {
  await deliver(page, snap({}));
  const rows = [
    ['#power', 'toggle'], ['#support', 'support'], ['#minimize', 'minimize'], ['#close', 'close'],
  ];
  for (const [sel, cmd] of rows) {
    await clearPosted(page);
    await page.click(sel);
    assert.deepEqual(await posted(page), [{ cmd }], sel);
  }
  // Any mouse button on the bar outside its buttons drags; on a button it does not.
  for (const button of ['left', 'right', 'middle']) {
    await clearPosted(page);
    await page.mouse.move(120, 20);
    await page.mouse.down({ button });
    await page.mouse.up({ button });
    assert.deepEqual(await posted(page), [{ cmd: 'drag' }], button);
  }
  await clearPosted(page);
  const b = await page.$eval('#minimize', (e) => { const r = e.getBoundingClientRect(); return [r.x + 5, r.y + 5]; });
  await page.mouse.move(b[0], b[1]);
  await page.mouse.down();
  await page.mouse.up();
  assert.deepEqual(await posted(page), [{ cmd: 'minimize' }]);
  // A busy button sends nothing.
  await deliver(page, snap({ phase: 'connecting', status: 'Подключаюсь…' }));
  await clearPosted(page);
  await page.click('#power', { force: true });
  assert.deepEqual(await posted(page), []);
}));

test('script errors: window.onerror and a failed render send "jserror"', () => withPage({}, async (page) => {
  await clearPosted(page);
  await page.addScriptTag({ content: '\n\nundefinedFunctionOfThePage();' });
  let got = await posted(page);
  assert.equal(got.length, 1);
  assert.equal(got[0].cmd, 'jserror');
  assert.match(got[0].text, /undefinedFunctionOfThePage is not defined @3$/);
  await clearPosted(page);
  await deliver(page, null);
  got = await posted(page);
  assert.equal(got.length, 1);
  assert.equal(got[0].cmd, 'jserror');
  assert.match(got[0].text, /^TypeError: .*\n\s+at /);
  // An exception without a stack is sent as its text.
  await clearPosted(page);
  await page.evaluate(() => window.__deliver({ get phase() { throw 'plain text'; } }));
  assert.deepEqual(await posted(page), [{ cmd: 'jserror', text: 'plain text' }]);
}));

test('keys: reload and print are suppressed, the page is never reloaded', () => withPage({}, async (page) => {
  await page.evaluate(() => {
    window.__marker = 1;
    window.__prevented = [];
    window.addEventListener('keydown', (e) => window.__prevented.push([e.key, e.defaultPrevented]));
  });
  for (const key of ['F5', 'Control+r', 'Control+R', 'Control+p', 'Control+Shift+P', 'Control+Shift+R']) {
    await page.keyboard.press(key);
  }
  const prevented = await page.evaluate(() => window.__prevented.filter((p) => !['Control', 'Shift'].includes(p[0])));
  assert.deepEqual(prevented.map((p) => p[1]), [true, true, true, true, true, true]);
  assert.equal(await page.evaluate(() => window.__marker), 1);
  assert.deepEqual(await posted(page), [{ cmd: 'ready' }]);
}));

test('selection and dragging of elements are off, the alert text excepted', () => withPage({}, async (page) => {
  assert.equal(await page.$eval('body', (e) => getComputedStyle(e).userSelect), 'none');
  assert.equal(await page.evaluate(() => {
    const e = new DragEvent('dragstart', { bubbles: true, cancelable: true });
    document.getElementById('heading').dispatchEvent(e);
    return e.defaultPrevented;
  }), true);
  await page.mouse.move(60, 300);
  await page.mouse.down();
  await page.mouse.move(340, 340);
  await page.mouse.up();
  assert.equal(await page.evaluate(() => String(getSelection())), '');
}));

test('motion: arc spins in 0.9 s while busy, halo breathes in 3.2 s while on, none when reduced', async () => {
  const durations = async (page) => page.evaluate(() => document.getAnimations()
    .filter((a) => a.effect.getComputedTiming().iterations === Infinity)
    .map((a) => a.effect.getComputedTiming().duration));
  await withPage({}, async (page) => {
    await deliver(page, snap({ phase: 'connecting' }));
    assert.deepEqual(await durations(page), [900]);
    await deliver(page, snap({ phase: 'running' }));
    assert.deepEqual(await durations(page), [3200]);
    await deliver(page, snap({ phase: 'idle' }));
    assert.deepEqual(await durations(page), []);
  });
  await withPage({ reducedMotion: 'reduce' }, async (page) => {
    const states = [snap({ phase: 'connecting' }), snap({ phase: 'running' }),
      snap({ alert: 'x', update: { version: '2', notes: '', mandatory: false, progress: 5 } }), snap({})];
    for (const s of states) {
      await deliver(page, s);
      await page.mouse.move(200, 260);
      const moving = await page.evaluate(() => {
        const found = document.getAnimations().length;
        let styled = 0;
        for (const e of [document.documentElement, ...document.querySelectorAll('*')]) {
          for (const pseudo of [null, '::before', '::after']) {
            const st = getComputedStyle(e, pseudo);
            if (st.animationName !== 'none' || st.transitionDuration.split(',').some((d) => parseFloat(d) > 0)) styled++;
          }
        }
        return [found, styled];
      });
      assert.deepEqual(moving, [0, 0], s.phase);
    }
  });
});

test('no scrolling in any state', () => withPage({}, async (page) => {
  await deliver(page, snap({ phase: 'running', status: 'x'.repeat(300), error: true,
    update: { version: '1.3.0', notes: 'n'.repeat(300), mandatory: true, progress: 50 } }));
  const overflow = await page.evaluate(() => [document.documentElement.scrollHeight, document.documentElement.scrollWidth]);
  assert.deepEqual(overflow, [560, 400]);
}));

// One screenshot per phase for review, at 100 % and 150 %.
test('screenshots', async () => {
  const offer = { version: '1.3.0', notes: 'Быстрее выбор сервера и меньше задержка', mandatory: false };
  const shots = [
    ['idle', snap({})],
    ['connecting', snap({ phase: 'connecting', status: 'Выбираю самый быстрый сервер…' })],
    ['running', snap({ phase: 'running', status: 'Подключено. PUBG идут через игровой сервер, остальное через общий.', ping: 42 })],
    ['stopping', snap({ phase: 'stopping', status: 'Отключаюсь…' })],
    ['error', snap({ status: 'Серверы не отвечают. Повторю попытку через 20 секунд.', error: true })],
    ['alert', snap({ status: 'Отключено: запущена программа «WireGuard».', error: true,
      alert: 'Вы запустили VPN-программу «WireGuard». VELMORANTE отключился: он не работает одновременно с VPN. Закройте её и подключитесь снова.' })],
    ['update-offered', snap({ update: { ...offer, progress: -1 } })],
    ['update-downloading', snap({ update: { ...offer, progress: 37 } })],
  ];
  for (const [scale, folder] of [[1, shotDir], [1.5, join(shotDir, '150')]]) {
    await withPage({ scale, reducedMotion: 'reduce' }, async (page) => {
      for (const [name, s] of shots) {
        await deliver(page, s);
        await page.mouse.move(0, 300);
        await page.waitForTimeout(80);
        await page.screenshot({ path: join(folder, `${name}.png`) });
      }
    });
  }
});
