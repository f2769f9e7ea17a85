// The browser half of the web view's test (web_test.cpp starts it with a
// JSON file: the page's URL, an account, what ktzmon-watch shows, where
// Chromium and puppeteer-core are). It prints "STEP name" when the chassis
// should change and waits for SIGUSR1 before it checks what the page made of
// the change. Every wait has a deadline; any failure ends it with status 1
// and the reason. Chromium runs on a pipe (--remote-debugging-pipe), so it
// ends when this process does, however that happens.
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';

const config = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const require = createRequire(config.modules + '/');
const puppeteer = require('puppeteer-core');

const WAIT_MS = 15000; // for anything the page should show "within a few seconds"
const STEP_MS = 40000; // for the test to change the chassis

function step(name) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no go for step ${name}`)), STEP_MS);
    process.once('SIGUSR1', () => {
      clearTimeout(timer);
      resolve();
    });
    console.log(`STEP ${name}`);
  });
}

function check(ok, what) {
  if (!ok) throw new Error(what);
}

async function waitUntil(page, what, fn, ...args) {
  try {
    await page.waitForFunction(fn, { timeout: WAIT_MS, polling: 100 }, ...args);
  } catch (e) {
    throw new Error(`${what}: not within ${WAIT_MS} ms`);
  }
}

// The page's sensors as shown: key -> { value, health, text }.
function shown(page) {
  return page.evaluate(() => {
    const out = {};
    for (const li of document.querySelectorAll('[data-sensor]')) {
      const r = li.querySelector('.reading');
      out[li.dataset.sensor] = {
        value: r ? Number(r.dataset.value) : null,
        health: li.dataset.health || '',
        state: li.dataset.state || '',
        text: li.textContent,
      };
    }
    return out;
  });
}

// Between the browser and the service, a TCP relay whose connections can
// be cut (and new ones refused) to take the event stream away.
function relay(port) {
  const open = new Set();
  let refusing = false;
  const server = net.createServer((client) => {
    if (refusing) {
      client.destroy();
      return;
    }
    const upstream = net.connect(port, '127.0.0.1');
    const end = () => {
      for (const s of [client, upstream]) {
        s.destroy();
        open.delete(s);
      }
    };
    for (const s of [client, upstream]) {
      open.add(s);
      s.on('error', end);
      s.on('close', end);
    }
    client.pipe(upstream);
    upstream.pipe(client);
  });
  return {
    listen: () => new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port))),
    cut(on) {
      refusing = on;
      if (on) for (const s of [...open]) s.destroy();
    },
    close() {
      this.cut(true);
      server.close();
    },
  };
}

const proxy = relay(Number(new URL(config.url).port));
const url = `https://127.0.0.1:${await proxy.listen()}/`;
const errors = [];
const browser = await puppeteer.launch({
  executablePath: config.chromium,
  headless: true,
  pipe: true,
  protocolTimeout: WAIT_MS, // no DevTools call waits longer
  acceptInsecureCerts: true, // the service's own self-signed certificate
  userDataDir: config.profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run', '--disable-extensions'],
});
let failed = false;
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  page.on('pageerror', (e) => errors.push(`page error: ${e.message}`));
  page.on('console', (m) => {
    // A refused login is a 401 the browser reports, and a cut connection a
    // network error; anything else (a script error, a policy violation) is a
    // fault of the page.
    if (m.type() === 'error' && !/status of 401|net::ERR_/.test(m.text())) errors.push(`console: ${m.text()}`);
  });
  const res = await page.goto(url, { waitUntil: 'domcontentloaded', timeout: WAIT_MS });
  check(res.status() === 200, `the page: HTTP ${res.status()}`);
  check(/default-src 'none'/.test(res.headers()['content-security-policy'] || ''), 'no Content-Security-Policy');

  // A wrong password: an error, and no data.
  await page.type('#login-user', config.user);
  await page.type('#login-password', 'not-the-password');
  await page.click('#login-submit');
  await waitUntil(page, 'the login error', () => document.getElementById('login-error').textContent !== '');
  const error = await page.$eval('#login-error', (e) => e.textContent);
  check(/Wrong user name or password/.test(error), `login error: ${error}`);
  check(await page.$eval('#dashboard', (e) => e.hidden), 'the dashboard shows after a failed login');
  check(Object.keys(await shown(page)).length === 0, 'sensors shown after a failed login');

  // The right one, by keyboard: every fan, temperature and supply that
  // ktzmon-watch shows, with its reading.
  await page.$eval('#login-password', (e) => { e.value = ''; });
  await page.type('#login-password', config.password);
  await page.keyboard.press('Enter');
  const fans = Object.keys(config.watch.fan);
  await waitUntil(page, 'every fan', (n) => document.querySelectorAll('#fans [data-sensor]').length === n, fans.length);
  await page.evaluate(() => { window.ktzNotReloaded = true; });
  let s = await shown(page);
  for (const [kind, prefix] of [['fan', 'fan:'], ['temperature', 'temp:']]) {
    for (const [name, f] of Object.entries(config.watch[kind])) {
      check(s[prefix + name], `${kind} ${name} is not shown`);
      check(s[prefix + name].value === f.reading, `${name}: ${s[prefix + name].value}, ktzmon-watch ${f.reading}`);
      check(s[prefix + name].health === 'OK', `${name}: ${s[prefix + name].health}`);
    }
  }
  check(Object.keys(s).filter((k) => k.startsWith('temp:')).length === Object.keys(config.watch.temperature).length,
    'another number of temperatures');
  const supplies = Object.entries(s).filter(([k]) => k.startsWith('psu:'));
  check(supplies.length === Object.keys(config.watch['power-supply']).length, 'another number of supplies');
  for (const [name, f] of Object.entries(config.watch['power-supply'])) {
    const row = supplies.find(([, v]) => v.text.startsWith(name));
    check(row, `supply ${name} is not shown`);
    check((row[1].state === 'Absent') === (f.presence !== 1), `supply ${name}: ${row[1].state}, presence ${f.presence}`);
  }
  check(supplies.some(([, v]) => /SN-0001/.test(v.text) && /KTZ Power/.test(v.text)), 'the FRU details of PS-1');
  check(/Redundancy/.test(await page.$eval('#redundancy', (e) => e.textContent)), 'no redundancy');
  const facts = await page.evaluate(() => ({
    daemon: document.getElementById('daemon').dataset.connected,
    monitoring: document.getElementById('monitoring').textContent,
    health: document.getElementById('chassis-health').dataset.health,
  }));
  check(facts.daemon === 'yes' && /^On/.test(facts.monitoring) && facts.health === 'OK', JSON.stringify(facts));
  await waitUntil(page, 'the live stream', () => document.getElementById('stream').dataset.stream === 'live');

  // A fan turns critical and an event is logged: both show without a reload.
  await step('set-fan');
  const t0 = Date.now();
  await waitUntil(page, 'Fan2A critical',
    () => document.querySelector('[data-sensor="fan:Fan2A"]')?.dataset.health === 'Critical');
  const critical = Date.now() - t0;
  await waitUntil(page, 'the FAN0004 event', () => [...document.querySelectorAll('#events li')]
    .some((li) => li.textContent.includes('Fan Fan2A is running below its lower threshold of 2000 RPM.')));
  check(await page.evaluate(() => window.ktzNotReloaded === true), 'the page was reloaded');
  s = await shown(page);
  check(s['fan:Fan2A'].value === 500, `Fan2A reads ${s['fan:Fan2A'].value}`);
  check(s['fan:Fan1A'].health === 'OK', 'Fan1A changed too');
  console.log(`Fan2A critical on the page ${critical} ms after the change`);

  // The connections are cut and new ones refused for a while: the page says
  // its data may be stale, and then reopens the stream with the ID of the
  // last event it had.
  const streams = [];
  page.on('request', (r) => {
    if (r.url().endsWith('/EventService/SSE')) streams.push(r.headers()['last-event-id'] || '');
  });
  proxy.cut(true);
  await waitUntil(page, 'the lost stream', () => document.getElementById('stream').dataset.stream !== 'live' &&
    /Live updates are interrupted/.test(document.getElementById('stale').textContent));

  // ktzmond goes: the page says so; it comes back: the page catches up.
  await step('stop-daemon');
  proxy.cut(false);
  await waitUntil(page, 'the stream back', () => document.getElementById('stream').dataset.stream === 'live');
  check(streams.length > 0 && streams.every((id) => /^[0-9]+$/.test(id)), `stream reopened with Last-Event-ID ${JSON.stringify(streams)}`);
  await waitUntil(page, 'disconnected', () => document.getElementById('daemon').dataset.connected === 'no' &&
    /not connected to ktzmond/.test(document.getElementById('stale').textContent));
  check(!(await page.$eval('#stale', (e) => e.hidden)), 'the stale notice is hidden');
  await step('start-daemon');
  await waitUntil(page, 'connected again', () => document.getElementById('daemon').dataset.connected === 'yes' &&
    document.getElementById('stale').hidden &&
    document.querySelector('[data-sensor="fan:Fan2A"]')?.dataset.health === 'OK');
  s = await shown(page);
  check(s['fan:Fan2A'].value === config.watch.fan.Fan2A.reading, `Fan2A reads ${s['fan:Fan2A'].value} after the restart`);
  // The dip stays in the fan's history after it has passed.
  const history = await page.$eval('[data-sensor="fan:Fan2A"] .spark', (e) => e.getAttribute('aria-label'));
  check(/lowest 500 RPM/.test(history), `Fan2A's history: ${history}`);
  check(await page.evaluate(() => window.ktzNotReloaded === true), 'the page was reloaded');

  await page.screenshot({ path: config.screenshot, fullPage: true });
  console.log(`screenshot ${config.screenshot}`);

  // Narrow screen: one column, nothing wider than the window.
  await page.setViewport({ width: 360, height: 740 });
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  check(overflow <= 0, `the page is ${overflow} px wider than a 360 px window`);
  await page.screenshot({ path: config.screenshot.replace(/\.png$/, '-narrow.png'), fullPage: true });
  await page.setViewport({ width: 1280, height: 900 });

  // Logging out ends the session on the service too.
  const kept = JSON.parse(await page.evaluate(() => sessionStorage.getItem('ktzmon-session')));
  await page.click('#logout');
  await waitUntil(page, 'the login form', () => !document.getElementById('login').hidden);
  const after = await page.evaluate(async (token) =>
    (await fetch('/redfish/v1/Chassis', { headers: { 'X-Auth-Token': token, 'X-Requested-With': 'XMLHttpRequest' } })).status,
  kept.token);
  check(after === 401, `the session's token after logout: HTTP ${after}`);
  check(Object.keys(await shown(page)).length === 0, 'sensors still shown after logout');
  check(errors.length === 0, errors.join('\n'));
  console.log('PASS');
} catch (e) {
  failed = true;
  console.log(`FAIL: ${e.message}`);
  if (errors.length) console.log(errors.join('\n'));
} finally {
  await browser.close();
  proxy.close();
}
process.exit(failed ? 1 : 0);
