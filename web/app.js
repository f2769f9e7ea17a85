// The chassis page of ktzmon-redfish: logs in through the Redfish session
// service, reads the chassis, Thermal, PowerSubsystem and the chassis log,
// and follows the server-sent event stream. Every event makes the page read
// the resources again at once; between events it reads them every
// REFRESH_MS, since readings that change without a change of health send no
// event. Everything shown comes from the service and is put into the page as
// text (textContent), never as markup.
'use strict';

(() => {
  const ROOT = '/redfish/v1';
  const SSE_URI = ROOT + '/EventService/SSE';
  const REFRESH_MS = 2000;
  const HISTORY_POINTS = 1800; // an hour of readings at REFRESH_MS
  const MAX_EVENTS_SHOWN = 200;
  const STREAM_RETRY_FIRST_MS = 1000;
  const STREAM_RETRY_MAX_MS = 15000;
  // The service writes a comment after 30 quiet seconds; a stream silent
  // for longer than this is taken as lost.
  const STREAM_SILENCE_MS = 75000;
  const MAX_FRAME_CHARS = 1 << 20;

  const $ = (id) => document.getElementById(id);
  const SVG_NS = 'http://www.w3.org/2000/svg';

  // Session and page state. `generation` grows at every login and logout:
  // work started for an earlier session stops when it sees a newer one.
  let token = '';
  let sessionUri = '';
  let generation = 0;
  let chassisUri = '';
  let lastEventId = '';
  let streamState = '';
  let reachable = true;
  let daemonConnected = true;
  let monitoring = true;
  let refreshing = false;
  let refreshAgain = false;
  let refreshTimer = 0;
  let pollTimer = 0;
  let streamAbort = null;
  const history = new Map(); // sensor key -> [reading, ...]

  class SessionEnded extends Error {}

  // ---- requests ------------------------------------------------------------------

  async function api(path, init = {}) {
    const headers = Object.assign({ Accept: 'application/json', 'X-Requested-With': 'XMLHttpRequest' }, init.headers || {});
    if (token) headers['X-Auth-Token'] = token;
    const res = await fetch(path, Object.assign({}, init, { headers, cache: 'no-store', credentials: 'same-origin' }));
    if (res.status === 401 && token) throw new SessionEnded();
    return res;
  }

  async function getJson(path) {
    const res = await api(path);
    if (!res.ok) throw new Error(path + ': HTTP ' + res.status);
    return res.json();
  }

  // The Message of a Redfish error body, or the status line.
  async function errorText(res) {
    try {
      const body = await res.json();
      const info = body.error && body.error['@Message.ExtendedInfo'];
      if (info && info[0] && info[0].Message) return info[0].Message;
      if (body.error && body.error.message) return body.error.message;
    } catch (e) { /* not JSON */ }
    return 'HTTP ' + res.status;
  }

  // ---- login and logout --------------------------------------------------------

  async function login(event) {
    event.preventDefault();
    const user = $('login-user').value.trim();
    const password = $('login-password').value;
    const error = $('login-error');
    error.textContent = '';
    if (!user || !password) {
      error.textContent = 'Enter a user name and a password.';
      return;
    }
    $('login-submit').disabled = true;
    try {
      const res = await fetch(ROOT + '/SessionService/Sessions', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', Accept: 'application/json', 'X-Requested-With': 'XMLHttpRequest' },
        body: JSON.stringify({ UserName: user, Password: password }),
        cache: 'no-store',
        credentials: 'same-origin',
      });
      if (res.status !== 201) {
        const why = res.status === 401 ? 'Wrong user name or password' : await errorText(res);
        error.textContent = 'Log-in failed: ' + why + '.';
        return;
      }
      token = res.headers.get('X-Auth-Token') || '';
      sessionUri = res.headers.get('Location') || '';
      if (!token) {
        error.textContent = 'Log-in failed: the service sent no session token.';
        return;
      }
      $('login-password').value = '';
      sessionStorage.setItem('ktzmon-session', JSON.stringify({ token, sessionUri, user }));
      await start(user);
    } catch (e) {
      error.textContent = 'Log-in failed: the service cannot be reached.';
    } finally {
      $('login-submit').disabled = false;
    }
  }

  async function logout() {
    const uri = sessionUri;
    const hadToken = token;
    stop('');
    if (hadToken && uri) {
      try {
        await fetch(uri, { method: 'DELETE', headers: { 'X-Auth-Token': hadToken, 'X-Requested-With': 'XMLHttpRequest' }, cache: 'no-store' });
      } catch (e) { /* the session idles out on the service */ }
    }
  }

  // Back to the login form; `why` is shown there.
  function stop(why) {
    generation++;
    token = '';
    sessionUri = '';
    chassisUri = '';
    lastEventId = '';
    clearTimeout(refreshTimer);
    clearInterval(pollTimer);
    if (streamAbort) streamAbort.abort();
    streamAbort = null;
    sessionStorage.removeItem('ktzmon-session');
    history.clear();
    for (const id of ['fans', 'temps', 'psus', 'events']) $(id).replaceChildren();
    $('dashboard').hidden = true;
    $('who').hidden = true;
    $('login').hidden = false;
    $('chassis-name').textContent = '';
    $('login-error').textContent = why;
    $('login-user').focus();
  }

  async function start(user) {
    const gen = ++generation;
    $('user-name').textContent = user;
    const chassis = await getJson(ROOT + '/Chassis');
    if (gen !== generation) return;
    if (!chassis.Members || !chassis.Members.length) throw new Error('no chassis');
    chassisUri = chassis.Members[0]['@odata.id'];
    $('login').hidden = true;
    $('dashboard').hidden = false;
    $('who').hidden = false;
    $('main').focus();
    await refresh(gen);
    pollTimer = setInterval(() => scheduleRefresh(0), REFRESH_MS);
    followStream(gen);
  }

  function sessionLost(gen) {
    if (gen === generation) stop('Your session has ended: log in again.');
  }

  // ---- reading the resources -----------------------------------------------------

  function scheduleRefresh(delayMs) {
    const gen = generation;
    clearTimeout(refreshTimer);
    refreshTimer = setTimeout(() => refresh(gen), delayMs);
  }

  async function refresh(gen) {
    if (refreshing) {
      refreshAgain = true; // once this one is done: an event came meanwhile
      return;
    }
    refreshing = true;
    try {
      const [chassis, thermal, power, supplies, log] = await Promise.all([
        getJson(chassisUri),
        getJson(chassisUri + '/Thermal'),
        getJson(chassisUri + '/PowerSubsystem'),
        readSupplies(),
        getJson(chassisUri + '/LogServices/Log/Entries'),
      ]);
      if (gen !== generation) return;
      reachable = true;
      showChassis(chassis);
      const live = daemonConnected && monitoring;
      if (live) {
        showFans(thermal.Fans || []);
        showTemperatures(thermal.Temperatures || []);
        showSupplies(supplies, power);
      }
      showEvents(log.Members || []);
    } catch (e) {
      if (e instanceof SessionEnded) {
        sessionLost(gen);
        return;
      }
      if (gen === generation) reachable = false;
    } finally {
      refreshing = false;
      if (gen === generation) showStale();
    }
    if (refreshAgain && gen === generation) {
      refreshAgain = false;
      scheduleRefresh(0);
    }
  }

  async function readSupplies() {
    const list = await getJson(chassisUri + '/PowerSubsystem/PowerSupplies');
    return Promise.all((list.Members || []).map((m) => getJson(m['@odata.id'])));
  }

  // ---- showing them ------------------------------------------------------------

  const healthOf = (status) => (status && status.Health) || '';
  const healthText = (h) => h || 'Unknown';

  function setBadge(el, health, text) {
    el.dataset.health = health;
    el.textContent = text;
  }

  function showChassis(c) {
    const oem = (c.Oem && c.Oem.KtzMonitor) || {};
    daemonConnected = oem.DaemonConnected !== false;
    monitoring = oem.MonitoringEnabled !== false;
    $('chassis-name').textContent = (c.Name || '') + ' (' + (c.Id || '') + ')';
    const state = (c.Status && c.Status.State) || '';
    const rollup = (c.Status && (c.Status.HealthRollup || c.Status.Health)) || '';
    setBadge($('chassis-health'), rollup, daemonConnected ? healthText(rollup) : 'Unknown');
    $('chassis-state').textContent = state;
    $('monitoring').textContent =
      oem.MonitoringEnabled === true ? 'On (KTZ ' + oem.KtzSetting + ')'
        : oem.MonitoringEnabled === false ? 'Off (KTZ ' + oem.KtzSetting + ')' : 'Not known';
    const d = $('daemon');
    d.dataset.connected = daemonConnected ? 'yes' : 'no';
    d.textContent = daemonConnected ? 'Connected' : 'Disconnected';
  }

  function showStale() {
    const notes = [];
    if (!reachable) notes.push('The service does not answer: the data shown may be stale.');
    else if (!daemonConnected) notes.push('ktzmon-redfish is not connected to ktzmond: the readings shown are the last ones seen and may be stale.');
    else if (!monitoring) notes.push('Monitoring is switched off by the KTZ setting: the readings shown are the last ones seen.');
    if (streamState !== 'live') notes.push('Live updates are interrupted (reconnecting): the data shown may be stale.');
    const el = $('stale');
    el.textContent = notes.join(' ');
    el.hidden = notes.length === 0;
    $('dashboard').classList.toggle('stale', notes.length > 0 && !(reachable && daemonConnected && monitoring) );
  }

  // The list item of `key` in `list`, made by `make` when new; items of keys
  // not in `keep` are removed afterwards by prune().
  function item(list, key, make) {
    for (const li of list.children) if (li.dataset.sensor === key) return li;
    const li = make();
    li.dataset.sensor = key;
    list.append(li);
    return li;
  }

  function prune(list, keep) {
    for (const li of [...list.children]) if (!keep.has(li.dataset.sensor)) li.remove();
  }

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function record(key, value) {
    if (typeof value !== 'number') return [];
    let h = history.get(key);
    if (!h) history.set(key, (h = []));
    h.push(value);
    if (h.length > HISTORY_POINTS) h.splice(0, h.length - HISTORY_POINTS);
    return h;
  }

  // A sparkline of `values` scaled between lo and hi, with a dashed line at
  // `mark` (a critical threshold) when given.
  function drawSpark(svg, values, lo, hi, mark, unit) {
    const w = 200;
    const h = 40;
    const span = hi - lo || 1;
    const y = (v) => (h - 2 - ((v - lo) / span) * (h - 4)).toFixed(1);
    const n = values.length;
    const pts = values.map((v, i) => ((n === 1 ? w : (i / (n - 1)) * w).toFixed(1)) + ',' + y(v));
    const line = svg.querySelector('polyline');
    line.setAttribute('points', (n === 1 ? '0,' + y(values[0]) + ' ' : '') + pts.join(' '));
    const m = svg.querySelector('line');
    if (mark !== undefined && mark >= lo && mark <= hi) {
      m.setAttribute('x1', '0');
      m.setAttribute('x2', String(w));
      m.setAttribute('y1', y(mark));
      m.setAttribute('y2', y(mark));
      m.setAttribute('visibility', 'visible');
    } else {
      m.setAttribute('visibility', 'hidden');
    }
    const min = Math.min(...values);
    const max = Math.max(...values);
    svg.setAttribute('aria-label', 'History since the page opened: ' + n + ' readings, lowest ' + min + ' ' + unit + ', highest ' + max + ' ' + unit);
  }

  function makeSpark() {
    const svg = document.createElementNS(SVG_NS, 'svg');
    svg.setAttribute('class', 'spark');
    svg.setAttribute('viewBox', '0 0 200 40');
    svg.setAttribute('preserveAspectRatio', 'none');
    svg.setAttribute('role', 'img');
    svg.append(document.createElementNS(SVG_NS, 'line'), document.createElementNS(SVG_NS, 'polyline'));
    return svg;
  }

  function makeSensor(withBar) {
    const li = el('li', 'sensor');
    const value = el('span', 'value');
    value.append(el('span', 'reading'), el('span', 'badge health'));
    li.append(el('span', 'name'), value);
    if (withBar) {
      const bar = el('div', 'bar');
      bar.setAttribute('role', 'meter');
      bar.append(el('div', 'fill'), el('div', 'mark caution'), el('div', 'mark critical'));
      li.append(bar);
    }
    li.append(makeSpark());
    return li;
  }

  function fillSensor(li, name, reading, unit, health) {
    li.dataset.health = health;
    li.querySelector('.name').textContent = name;
    const r = li.querySelector('.reading');
    r.textContent = (typeof reading === 'number' ? reading : '–') + ' ' + unit;
    r.dataset.value = String(reading);
    setBadge(li.querySelector('.health'), health, healthText(health));
  }

  function showFans(fans) {
    const list = $('fans');
    const keep = new Set();
    // One scale for every fan, so bars compare: a quarter above the
    // highest reading or caution threshold.
    let top = 1;
    for (const f of fans) top = Math.max(top, f.Reading || 0, f.LowerThresholdNonCritical || 0);
    top *= 1.25;
    const pct = (v) => Math.max(0, Math.min(100, (v / top) * 100)) + '%';
    let worst = '';
    for (const f of fans) {
      const key = 'fan:' + f.Name;
      keep.add(key);
      const li = item(list, key, () => makeSensor(true));
      const health = healthOf(f.Status);
      worst = worse(worst, health);
      fillSensor(li, f.Name, f.Reading, 'RPM', health);
      const bar = li.querySelector('.bar');
      bar.setAttribute('aria-label', f.Name + ' speed');
      bar.setAttribute('aria-valuemin', '0');
      bar.setAttribute('aria-valuemax', String(Math.round(top)));
      bar.setAttribute('aria-valuenow', String(f.Reading));
      bar.setAttribute('aria-valuetext', f.Reading + ' RPM, ' + healthText(health) +
        (typeof f.LowerThresholdCritical === 'number' ? ', critical below ' + f.LowerThresholdCritical + ' RPM' : ''));
      li.querySelector('.fill').style.width = pct(f.Reading || 0);
      for (const [cls, v] of [['caution', f.LowerThresholdNonCritical], ['critical', f.LowerThresholdCritical]]) {
        const m = li.querySelector('.mark.' + cls);
        m.hidden = typeof v !== 'number';
        if (typeof v === 'number') m.style.left = pct(v);
      }
      const h = record(key, f.Reading);
      if (h.length) drawSpark(li.querySelector('.spark'), h, 0, Math.max(...h, f.LowerThresholdNonCritical || 0) * 1.1, f.LowerThresholdCritical, 'RPM');
    }
    prune(list, keep);
    setBadge($('fans-health'), worst, fans.length ? healthText(worst) : '');
  }

  function showTemperatures(temps) {
    const list = $('temps');
    const keep = new Set();
    for (const t of temps) {
      const key = 'temp:' + t.Name;
      keep.add(key);
      const li = item(list, key, () => makeSensor(false));
      fillSensor(li, t.Name, t.ReadingCelsius, '°C', healthOf(t.Status));
      const h = record(key, t.ReadingCelsius);
      if (h.length) drawSpark(li.querySelector('.spark'), h, Math.min(...h) - 2, Math.max(...h) + 2, undefined, '°C');
    }
    prune(list, keep);
  }

  function showSupplies(supplies, subsystem) {
    const list = $('psus');
    const keep = new Set();
    let worst = '';
    for (const s of supplies) {
      const key = 'psu:' + s.Id;
      keep.add(key);
      const li = item(list, key, () => {
        const e = el('li', 'supply');
        const head = el('div', 'head');
        head.append(el('span', 'name'), el('span', 'badge health'));
        e.append(head, el('dl'));
        return e;
      });
      const state = (s.Status && s.Status.State) || '';
      const health = healthOf(s.Status);
      worst = worse(worst, health);
      li.dataset.health = health;
      li.dataset.state = state;
      const bay = s.Location && s.Location.PartLocation && s.Location.PartLocation.ServiceLabel;
      li.querySelector('.name').textContent = s.Name + (bay ? ' · ' + bay : '');
      setBadge(li.querySelector('.health'), health, state === 'Absent' ? 'Absent' : healthText(health));
      const dl = li.querySelector('dl');
      dl.replaceChildren();
      const rows = [['Manufacturer', s.Manufacturer], ['Model', s.Model], ['Part number', s.PartNumber],
        ['Serial number', s.SerialNumber], ['Input', s.LineInputStatus], ['FRU', s.Description]];
      for (const [label, value] of rows) {
        if (value === undefined || value === null || value === '') continue;
        dl.append(el('dt', '', label), el('dd', label === 'Serial number' ? 'serial' : '', String(value)));
      }
    }
    prune(list, keep);
    setBadge($('psus-health'), worst, supplies.length ? healthText(worst) : '');
    const red = $('redundancy');
    const groups = subsystem.PowerSupplyRedundancy || [];
    red.replaceChildren();
    for (const g of groups) {
      const health = healthOf(g.Status);
      const badge = el('span', 'badge', healthText(health));
      badge.dataset.health = health;
      red.append('Redundancy (' + (g.RedundancyType || '') + ', ' + ((g.RedundancyGroup || []).length) +
        ' supplies in the group, ' + ((g.Status && g.Status.State) || '') + '): ', badge);
    }
  }

  const RANK = { '': 0, OK: 1, Warning: 2, Critical: 3 };
  const worse = (a, b) => ((RANK[b] || 0) > (RANK[a] || 0) ? b : a);

  function showEvents(entries) {
    const list = $('events');
    const newest = entries.slice(-MAX_EVENTS_SHOWN).reverse();
    const seen = new Set(newest.map((e) => String(e.Id)));
    prune(list, seen);
    let before = list.firstChild;
    for (const e of newest) {
      const key = String(e.Id);
      let li = null;
      for (const c of list.children) if (c.dataset.sensor === key) { li = c; break; }
      if (!li) {
        li = el('li');
        li.dataset.sensor = key;
        const time = el('time', '', formatTime(e.Created));
        time.dateTime = e.Created || '';
        const sev = el('span', 'badge sev', e.Severity || '');
        sev.dataset.health = e.Severity || '';
        li.append(time, sev, el('span', 'msg', e.Message || e.MessageId || ''));
        li.dataset.messageId = e.MessageId || '';
        list.insertBefore(li, before);
      }
      before = li.nextSibling;
    }
    $('no-events').hidden = entries.length > 0;
  }

  function formatTime(iso) {
    const d = new Date(iso);
    return isNaN(d) ? String(iso || '') : d.toLocaleString();
  }

  // ---- the event stream ----------------------------------------------------------

  function setStream(state) {
    streamState = state;
    const s = $('stream');
    s.dataset.stream = state;
    s.textContent = state === 'live' ? 'Live' : state === 'lost' ? 'Lost' : 'Reconnecting';
    showStale();
  }

  const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

  // Reads the stream with fetch (so that it carries the session token and,
  // after a loss, Last-Event-ID), reconnecting with a growing delay. Events
  // missed while away come first when it is back; the resources are read
  // again at every (re)connection too.
  async function followStream(gen) {
    let delay = STREAM_RETRY_FIRST_MS;
    setStream('reconnecting');
    while (gen === generation) {
      const ctrl = new AbortController();
      streamAbort = ctrl;
      let watchdog = 0;
      const feed = () => {
        clearTimeout(watchdog);
        watchdog = setTimeout(() => ctrl.abort(), STREAM_SILENCE_MS);
      };
      try {
        const headers = { Accept: 'text/event-stream', 'X-Auth-Token': token, 'X-Requested-With': 'XMLHttpRequest' };
        if (lastEventId) headers['Last-Event-ID'] = lastEventId;
        feed();
        const res = await fetch(SSE_URI, { headers, signal: ctrl.signal, cache: 'no-store' });
        if (res.status === 401) {
          sessionLost(gen);
          return;
        }
        if (!res.ok || !res.body) throw new Error('HTTP ' + res.status);
        setStream('live');
        delay = STREAM_RETRY_FIRST_MS;
        scheduleRefresh(0);
        const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
        let buf = '';
        for (;;) {
          const { value, done } = await reader.read();
          if (done || gen !== generation) break;
          feed();
          buf += value.replace(/\r\n?/g, '\n');
          let end;
          while ((end = buf.indexOf('\n\n')) >= 0) {
            frame(buf.slice(0, end));
            buf = buf.slice(end + 2);
          }
          if (buf.length > MAX_FRAME_CHARS) throw new Error('an event larger than ' + MAX_FRAME_CHARS);
        }
      } catch (e) {
        /* lost: below */
      } finally {
        clearTimeout(watchdog);
      }
      if (gen !== generation) return;
      setStream('lost');
      await sleep(delay);
      delay = Math.min(delay * 2, STREAM_RETRY_MAX_MS);
      if (gen !== generation) return;
      setStream('reconnecting');
    }
  }

  function frame(text) {
    let id = null;
    let data = '';
    for (const line of text.split('\n')) {
      if (line.startsWith('id:')) id = line.slice(3).trim();
      else if (line.startsWith('data:')) data += line.slice(5).replace(/^ /, '');
    }
    if (id !== null) lastEventId = id;
    if (data) scheduleRefresh(50); // a burst of events: one read
  }

  // ---- start ---------------------------------------------------------------------

  document.addEventListener('DOMContentLoaded', () => {
    $('login-form').addEventListener('submit', login);
    $('logout').addEventListener('click', logout);
    const kept = sessionStorage.getItem('ktzmon-session');
    if (kept) {
      try {
        const s = JSON.parse(kept);
        token = s.token;
        sessionUri = s.sessionUri;
        start(s.user).catch((e) => stop(e instanceof SessionEnded ? 'Your session has ended: log in again.' : ''));
        return;
      } catch (e) { /* log in anew */ }
    }
    $('login-user').focus();
  });
})();
