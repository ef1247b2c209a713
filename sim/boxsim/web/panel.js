// The web front panel: what the box shows (TV, LCD, text display, LEDs), its
// hardware to plug and unplug, the status record, and a live log. Every
// control sends one action line to POST /api/action, the same line a
// scenario script would hold; a new hardware control is one entry of
// CONTROLS below.
'use strict';
// Hardware controls: one entry each. `action` is the action's name (the
// control is greyed out when the box does not know it); every button sends
// one action line, built from the control's inputs. `each` lists the ports a
// box has (from its state), one toggle per port; `now` says what the
// hardware and the system see.
const net = s => (s.devices || {}).network || {};
const ports = s => (s.devices || {}).ports || {};
const CONTROLS = [
  { action: 'cable', title: 'Ethernet cable',
    inputs: [{ key: 'speed', kind: 'select', options: ['1000', '100', '10'], label: 'speed in Mbit/s' }],
    buttons: [{ label: 'Plug', line: v => `cable plug ${v.speed}` },
              { label: 'Unplug', line: () => 'cable unplug' }],
    now: s => (net(s).cable ? `plugged, ${net(s).speed} Mbit/s` : 'unplugged') +
              ` · system: link ${s.status.eth_link ? `up, ${s.status.eth_speed} Mbit/s` : 'down'}` },
  { action: 'dhcp', title: 'DHCP server',
    inputs: [{ key: 'addr', kind: 'text', value: '192.168.1.20', label: 'address to hand out' }],
    buttons: [{ label: 'Answer', line: v => `dhcp lease ${v.addr}` },
              { label: 'Silent', line: () => 'dhcp none' }],
    now: s => (net(s).dhcp_server ? `answers ${net(s).dhcp_server}` : 'silent') +
              ` · system: ${s.status.dhcp_done ? `lease ${s.status.ip}` : 'no lease'}` },
  { action: 'usb', title: 'USB ports', none: 'no USB ports',
    each: s => Object.keys(ports(s).usb || {}),
    toggles: n => ({ label: `USB ${n}`, on: `usb ${n} on`, off: `usb ${n} off`,
                     lit: s => !!((ports(s).usb || {})[n] || {}).attached }) },
  { action: 'sata', title: 'Disks', none: 'no disk connectors',
    each: s => Object.keys(ports(s).sata || {}),
    toggles: n => ({ label: ['SATA', 'eSATA'][n] || `host ${n}`, on: `sata ${n} on`, off: `sata ${n} off`,
                     lit: s => !!(ports(s).sata || {})[n] }) },
  { action: 'hdmi', title: 'HDMI',
    inputs: [{ key: 'word', kind: 'select', label: 'HDMI state',
               options: [['1', 'working (1)'], ['0', 'not working (0)'], ['fail', 'driver fails'], ['none', 'no driver']] }],
    buttons: [{ label: 'Set', line: v => `hdmi ${v.word}` }],
    now: s => { const h = ports(s).hdmi || {};
                return (h.present ? `driver state ${h.state}` : 'no driver') + ` · system: ${s.status.hdmi ? 'HDMI OK' : 'no HDMI'}`; } },
];

// Status record fields shown in the table, in this order.
const STATUS_ROWS = [
  ['eth_link', 'Ethernet link'], ['eth_speed', 'speed (Mbit/s)'], ['dhcp_done', 'DHCP lease'], ['ip', 'address'],
  ['mac_text', 'MAC address'], ['usb', 'USB'], ['sata', 'SATA'], ['hdmi', 'HDMI'], ['model_kind', 'model kind'],
  ['mac_request', 'MAC request'],
];

const $ = id => document.getElementById(id);
let known = {};          // action name -> usage
let state = null;
let clockBase = null;    // [box ms, local ms]
let tab = 'output';
const logLines = [];     // {cls, text, kind}
const MAX_LOG = 1500;

function toast(text, bad) {
  const t = $('toast');
  t.textContent = text;
  t.className = 'toast show' + (bad ? ' bad' : '');
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => t.className = 'toast', 2500);
}

async function act(line) {
  try {
    const r = await fetch('/api/action', { method: 'POST', body: line, headers: { 'Content-Type': 'text/plain' } });
    const j = await r.json();
    if (!r.ok) { toast(j.error || r.statusText, true); return false; }
    toast(j.action);
    return true;
  } catch (e) {
    toast('boxsim does not answer: ' + e.message, true);
    return false;
  }
}

function el(tag, attrs, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'text') e.textContent = v; else e.setAttribute(k, v);
  }
  for (const k of kids) if (k) e.append(k);
  return e;
}

let controlsKey = null;
function buildControls(s) {
  // Rebuilt only when the ports the box has change.
  const key = JSON.stringify([Object.keys(known), CONTROLS.map(c => c.each && s ? c.each(s) : [])]);
  if (key === controlsKey) return;
  controlsKey = key;
  const box = $('controls');
  box.textContent = '';
  for (const c of CONTROLS) {
    const there = c.action in known;
    const values = {};
    const row = el('div', { class: 'row' });
    for (const inp of c.inputs || []) {
      let field;
      if (inp.kind === 'select') {
        field = el('select', { 'aria-label': inp.label });
        for (const o of inp.options) {
          const [value, text] = Array.isArray(o) ? o : [o, o];
          field.append(el('option', { value, text }));
        }
      } else {
        field = el('input', { 'aria-label': inp.label, size: 15 });
        field.value = inp.value || '';
      }
      field.disabled = !there;
      values[inp.key] = () => field.value.trim();
      row.append(field);
    }
    for (const b of c.buttons || []) {
      const btn = el('button', { text: b.label });
      btn.disabled = !there;
      btn.onclick = () => {
        const v = {};
        for (const k in values) v[k] = values[k]();
        act(b.line(v));
      };
      row.append(btn);
    }
    const each = c.each && s ? c.each(s) : [];
    for (const n of each) {
      const t = c.toggles(n);
      const btn = el('button', { text: t.label, 'aria-pressed': 'false', title: `${t.on} / ${t.off}` });
      btn.disabled = !there;
      btn.onclick = () => act(btn.classList.contains('on') ? t.off : t.on);
      row.append(btn);
      btn.update = s => { const lit = t.lit(s); btn.classList.toggle('on', lit); btn.setAttribute('aria-pressed', String(lit)); };
    }
    let note = there ? '' : 'not in this build';
    if (there && c.each && !each.length) note = c.none;
    const now = el('div', { class: 'now', text: note });
    now.update = c.now && there ? s => now.textContent = c.now(s) : null;
    box.append(el('div', { class: 'control' }, el('div', { class: 'name', text: c.title }), row, now));
  }
  // Actions without a control of their own: their usage, for the action line.
  const covered = new Set(CONTROLS.map(c => c.action));
  const usage = $('usage');
  usage.textContent = '';
  const list = $('actionlist');
  list.textContent = '';
  for (const [name, u] of Object.entries(known)) {
    list.append(el('option', { value: name + ' ' }));
    if (!covered.has(name)) usage.append(el('div', {}, el('code', { text: u || name })));
  }
}

function updateControls(s) {
  for (const e of $('controls').querySelectorAll('button, .now')) if (e.update) e.update(s);
}

// The text display's text and the LEDs as the front panel's driver holds
// them; the LED pattern files when no driver reports them.
function textDisplay(s) {
  const d = (s.devices || {}).display;
  return d && typeof d.text === 'string' ? d.text.replace(/\n$/, '') : '';
}

function ledValue(s, n) {
  const d = (s.devices || {}).leds;
  if (Array.isArray(d)) return d[n];
  return s.leds ? s.leds['led' + n + '_pattern'] : undefined;
}

function showState(s) {
  state = s;
  clockBase = [s.t, performance.now()];
  $('profile').textContent = `${s.box.profile} · ${s.box.model || 'no model'}`;
  const fe = s.front_end;
  $('frontend').textContent = fe.running ? `${fe.name} running` : `${fe.name} ended (status ${fe.exit_status})`;
  $('frontend').className = 'chip ' + (fe.running ? 'ok' : 'bad');
  $('vfd').textContent = textDisplay(s);
  for (const n of [0, 1]) {
    const v = ledValue(s, n);
    $('led' + n).classList.toggle('lit', v !== null && v !== undefined && Number(v) !== 0);
    $('led' + n).title = 'pattern ' + v;
  }
  const tbl = $('status');
  tbl.textContent = '';
  for (const [k, label] of STATUS_ROWS) {
    let v = s.status[k];
    if (Array.isArray(v)) v = v.join(' ');
    const yes = (k === 'eth_link' || k === 'dhcp_done') && v;
    tbl.append(el('tr', {}, el('td', { class: 'k', text: label }), el('td', { class: 'v' + (yes ? ' yes' : ''), text: String(v) })));
  }
  $('statejson').textContent = JSON.stringify(s, null, 2);
  buildControls(s);
  updateControls(s);
  if (s.pictures) for (const [name, p] of Object.entries(s.pictures)) showPicture({ name, ...p });
}

const shownVersion = {};
function showPicture(p) {
  const img = $(p.name);
  if (!img || shownVersion[p.name] === p.version) return;
  shownVersion[p.name] = p.version;
  const off = p.name === 'tv' ? $('nosignal') : $('lcdoff');
  if (!p.shown) {
    img.removeAttribute('src');
    img.dataset.version = p.version;
    if (off) off.style.display = 'flex';
    return;
  }
  // Load first, then swap: the picture never flickers.
  const next = new Image();
  next.onload = () => {
    if (shownVersion[p.name] !== p.version) return;
    img.src = next.src;
    img.dataset.version = p.version;
    if (off) off.style.display = 'none';
    if (p.name === 'lcd') scaleLcd(next.naturalWidth, next.naturalHeight);
  };
  next.src = `/api/picture/${p.name}.png?v=${p.version}`;
}

// The LCD at a whole multiple of its real size, so its pixels stay sharp.
function scaleLcd(w, h) {
  const room = $('lcd').closest('.panel').clientWidth - 60;
  const k = Math.max(1, Math.min(3, Math.floor(room / w)));
  $('lcd').style.width = w * k + 'px';
  $('lcd').style.height = h * k + 'px';
}

function logEntry(ev) {
  const t = (ev.t / 1000).toFixed(3).padStart(8);
  if (ev.op === 'stdout' || ev.op === 'stderr') {
    return { kind: 'output', cls: ev.op === 'stderr' ? 'err' : '', text: `${t}  ${ev.text}` };
  }
  const rest = Object.entries(ev).filter(([k]) => k !== 't' && k !== 'op')
    .map(([k, v]) => `${k}=${typeof v === 'string' ? v : JSON.stringify(v)}`).join(' ');
  return { kind: 'trace', cls: ev.op === 'action' ? 'act' : '', text: `${t}  ${ev.op} ${rest}` };
}

function addLog(lines, dropped) {
  if (dropped) logLines.push({ kind: 'both', cls: 'err', text: `… ${dropped} lines not shown` });
  for (const ev of lines) {
    const e = logEntry(ev);
    logLines.push(e);
    // The output tab also shows what was done to the box.
    if (ev.op === 'action') {
      const t = (ev.t / 1000).toFixed(3).padStart(8);
      logLines.push({ kind: 'output', cls: 'act', text: `${t}  → ${ev.text}  (${ev.from})` });
    }
  }
  if (logLines.length > MAX_LOG) logLines.splice(0, logLines.length - MAX_LOG);
  renderLog();
}

function renderLog() {
  const box = $('log');
  const f = $('filter').value.toLowerCase();
  const frag = document.createDocumentFragment();
  for (const e of logLines) {
    if (e.kind !== tab && e.kind !== 'both') continue;
    if (f && !e.text.toLowerCase().includes(f)) continue;
    frag.append(el('div', { class: e.cls, text: e.text }));
  }
  box.textContent = '';
  if (!frag.childNodes.length) frag.append(el('div', { class: 't', text: tab === 'output' ? 'nothing printed yet' : 'no trace yet' }));
  box.append(frag);
  if ($('follow').checked) box.scrollTop = box.scrollHeight;
}

function connect() {
  const es = new EventSource('/api/events');
  es.onopen = () => { $('conn').textContent = 'live'; $('conn').className = 'chip ok'; };
  es.onerror = () => { $('conn').textContent = 'reconnecting…'; $('conn').className = 'chip bad'; };
  es.addEventListener('state', e => showState(JSON.parse(e.data)));
  es.addEventListener('picture', e => showPicture(JSON.parse(e.data)));
  es.addEventListener('log', e => { const j = JSON.parse(e.data); addLog(j.lines, j.dropped); });
  es.addEventListener('end', () => {
    es.close();
    $('conn').textContent = 'ended';
    document.body.append(el('div', { class: 'ended', text: 'boxsim has ended this run.' }));
  });
}

async function main() {
  try {
    const list = await (await fetch('/api/actions')).json();
    for (const a of list) known[a.name] = a.usage;
  } catch (e) { toast('cannot read the actions: ' + e.message, true); }
  buildControls(null);
  try { showState(await (await fetch('/api/state')).json()); } catch (e) { /* the stream brings it */ }
  connect();

  $('actionform').onsubmit = async ev => {
    ev.preventDefault();
    if (await act($('actionline').value)) $('actionline').select();
  };
  $('snapshot').onclick = () => act('snapshot ' + $('snapname').value.trim());
  $('quit').onclick = () => { if (confirm('End this boxsim run?')) act('quit'); };
  for (const b of document.querySelectorAll('.tab')) {
    b.onclick = () => {
      tab = b.dataset.tab;
      for (const o of document.querySelectorAll('.tab')) o.classList.toggle('on', o === b);
      renderLog();
    };
  }
  $('filter').oninput = renderLog;
  setInterval(() => {
    if (!clockBase || !state || !state.front_end) return;
    const t = clockBase[0] + (performance.now() - clockBase[1]);
    $('clock').textContent = `t = ${(t / 1000).toFixed(1)} s`;
  }, 100);
}
main();
