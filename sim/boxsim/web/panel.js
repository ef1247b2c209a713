// The web front panel: what the box shows (TV, LCD, text display, LEDs), its
// front-panel keys, a remote control, its hardware to plug and unplug
// (cable, ports, USB keyboard, cards, CI modules, antennas), its tuners and
// decoders, the status record, and a live log. Every control sends one
// action line to POST /api/action, the same line a scenario script would
// hold; a new hardware control is one entry of CONTROLS below. The front-end
// switch is POST /api/restart.
'use strict';
// Hardware controls: one entry each. `action` is the action's name (the
// control is greyed out when the box does not know it); every button sends
// one action line, built from the control's inputs. `each` lists the ports a
// box has (from its state), one toggle per port; `now` says what the
// hardware and the system see.
const net = s => (s.devices || {}).network || {};
const ports = s => (s.devices || {}).ports || {};
const cardsOf = s => ((s.devices || {}).cards || {});
const keyboardOf = s => ((s.devices || {}).input || []).find(d => d.role === 'keyboard');
const GOOD_ATR = '3B021450';   // starts with 3B: an answer the console takes
const WRONG_ATR = '12345678';  // a first byte no card may send
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
  { action: 'keyboard', title: 'USB keyboard',
    buttons: [{ label: 'Plug', aria: 'plug the USB keyboard', line: () => 'keyboard plug' },
              { label: 'Unplug', aria: 'unplug the USB keyboard', line: () => 'keyboard unplug' }],
    now: s => { const k = keyboardOf(s);
                return !k ? 'no keyboard' : !k.plugged ? 'unplugged' :
                  `plugged · system: ${k.clients ? 'reading it' : 'not reading it'}` + (k.overflows ? ` · ${k.overflows} overflows` : ''); } },
  { action: 'type', title: 'Type',
    inputs: [{ key: 'text', kind: 'text', value: '02:47:58:00:00:01', label: 'text to type on the USB keyboard' }],
    buttons: [{ label: 'Type', aria: 'type the text and Enter', line: v => `type ${v.text}` },
              { label: 'Scan', aria: 'scan the text and Enter, a key every 4 ms', line: v => `type --scanner ${v.text}` }],
    now: s => `typed key by key, Enter at the end · MAC entry ${s.status.mac_entry}, confirm ${s.status.mac_confirm}` },
  { action: 'card', title: 'Smart cards', none: 'no card readers',
    each: s => Object.keys(cardsOf(s).readers || {}),
    group: n => ({ label: `Reader ${n}`,
                   buttons: [{ label: 'Good', aria: `insert a card with a good answer in reader ${n}`, line: `card ${n} insert ${GOOD_ATR}` },
                             { label: 'Wrong', aria: `insert a card with a wrong answer in reader ${n}`, line: `card ${n} insert ${WRONG_ATR}` },
                             { label: 'Mute', aria: `insert a card that does not answer in reader ${n}`, line: `card ${n} insert none` },
                             { label: 'Remove', aria: `remove the card from reader ${n}`, line: `card ${n} remove` }],
                   now: s => { const r = (cardsOf(s).readers || {})[n] || {};
                               return (r.card ? `card, answer ${r.atr || 'none'}` : 'empty') +
                                      ` · system: ${s.status.sci_card[n] ? (s.status.sci_atr[n] ? 'card answered' : 'card, no answer') : 'no card'}`; } }) },
  { action: 'ci', title: 'CI slots', none: 'no CI slots',
    each: s => Object.keys(cardsOf(s).ci || {}),
    group: n => ({ label: `Slot ${n}`,
                   buttons: [{ label: 'Insert', aria: `insert a CI module in slot ${n}`, line: `ci ${n} insert` },
                             { label: 'Remove', aria: `remove the CI module from slot ${n}`, line: `ci ${n} remove` }],
                   now: s => `${((cardsOf(s).ci || {})[n] || {}).module ? 'module' : 'empty'}` +
                             ` · system: ${s.status.ci_module[n] ? 'module' : 'no module'}` }) },
];

// The front-panel keys in the order the box's front has them; boards of
// kinds 5, 7 and 8 have only POWER.
const PANEL_KEYS = ['POWER', 'MENU', 'EXIT', 'LEFT', 'RIGHT', 'UP', 'DOWN', 'OK'];
const panelKeysOf = kind => [5, 7, 8].includes(kind) ? ['POWER'] : PANEL_KEYS;

// The remote control, row by row: [key name, text on the key, accessible
// name, extra class].
const REMOTE = [
  [['POWER', 'POWER', 'power', 'power'], null, ['MUTE', 'MUTE', 'mute']],
  [['1', '1'], ['2', '2'], ['3', '3']],
  [['4', '4'], ['5', '5'], ['6', '6']],
  [['7', '7'], ['8', '8'], ['9', '9']],
  [['MENU', 'MENU', 'menu'], ['0', '0'], ['EXIT', 'EXIT', 'exit']],
  [null, ['UP', '▲', 'up'], null],
  [['LEFT', '◀', 'left'], ['OK', 'OK', 'OK'], ['RIGHT', '▶', 'right']],
  [null, ['DOWN', '▼', 'down'], null],
  [['VOLUMEUP', 'VOL+', 'volume up'], null, ['CHANNELUP', 'CH+', 'channel up']],
  [['VOLUMEDOWN', 'VOL−', 'volume down'], null, ['CHANNELDOWN', 'CH−', 'channel down']],
  [['RED', '', 'red', 'red'], ['GREEN', '', 'green', 'green'], ['YELLOW', '', 'yellow', 'yellow'], ['BLUE', '', 'blue', 'blue']],
];

// The computer's keyboard while the page has focus (not while typing into a
// field): event.key -> remote key name.
const KEYBOARD = {
  ArrowUp: 'UP', ArrowDown: 'DOWN', ArrowLeft: 'LEFT', ArrowRight: 'RIGHT', Enter: 'OK', Escape: 'EXIT',
  '+': 'VOLUMEUP', '=': 'VOLUMEUP', '-': 'VOLUMEDOWN', m: 'MUTE', M: 'MUTE',
};
for (let d = 0; d <= 9; d++) KEYBOARD[String(d)] = String(d);

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
let restarting = false;
let tab = 'output';
const logLines = [];     // {cls, text, kind, seq}
let logSeq = 0;
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

// Key presses go out one after the other, so the box gets them in the
// order they were pressed, however quickly that is.
let keyChain = Promise.resolve();
function press(line) {
  keyChain = keyChain.then(() => act(line));
  return keyChain;
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
      const btn = el('button', b.aria ? { text: b.label, 'aria-label': b.aria } : { text: b.label });
      btn.disabled = !there;
      btn.onclick = () => {
        const v = {};
        for (const k in values) v[k] = values[k]();
        act(b.line(v));
      };
      row.append(btn);
    }
    const each = c.each && s ? c.each(s) : [];
    const groups = [];
    for (const n of c.group ? each : []) {
      const g = c.group(n);
      const line = el('div', { class: 'row sub' }, el('span', { class: 'sublabel', text: g.label }));
      for (const b of g.buttons) {
        const btn = el('button', { text: b.label, 'aria-label': b.aria, title: b.line });
        btn.disabled = !there;
        btn.onclick = () => act(b.line);
        line.append(btn);
      }
      const now = el('div', { class: 'now' });
      now.update = s => now.textContent = g.now(s);
      line.append(now);
      groups.push(line);
    }
    for (const n of c.toggles ? each : []) {
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
    const ctl = el('div', { class: 'control' }, el('div', { class: 'name', text: c.title }), row, now);
    for (const g of groups) ctl.append(g);
    box.append(ctl);
  }
  // Actions without a control of their own: their usage, for the action line.
  const covered = new Set([...CONTROLS.map(c => c.action), 'key', 'panel-key', 'signal']);
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

// The front-panel keys the box's kind has, as buttons on the drawing of its
// front; rebuilt when the kind becomes known.
let panelKeysKey = null;
function buildPanelKeys(s) {
  const keys = panelKeysOf(s ? s.status.model_kind : 0);
  const k = keys.join(' ') + ('panel-key' in known);
  if (k === panelKeysKey) return;
  panelKeysKey = k;
  const box = $('fpkeys');
  box.textContent = '';
  for (const name of keys) {
    const b = el('button', { class: 'fpkey', text: name, 'aria-label': `front panel ${name}`, 'data-key': name });
    b.disabled = !('panel-key' in known);
    b.onclick = () => press(`panel-key ${name}`);
    box.append(b);
  }
}

function buildRemote() {
  const box = $('remote');
  box.textContent = '';
  const there = 'key' in known;
  for (const row of REMOTE) {
    const r = el('div', { class: 'rc-row' + (row.length === 4 ? ' four' : '') });
    for (const k of row) {
      if (!k) { r.append(el('span', { class: 'rc-gap' })); continue; }
      const [name, text, aria, cls] = k;
      const b = el('button', { class: 'rc' + (cls ? ' ' + cls : ''), text, 'aria-label': `remote ${aria || name}`,
                               'data-key': name, title: `key ${name}` });
      b.disabled = !there;
      b.onclick = () => press(`key ${name}`);
      r.append(b);
    }
    box.append(r);
  }
}

function onKeyboard(ev) {
  if (ev.ctrlKey || ev.altKey || ev.metaKey || !('key' in known)) return;
  const t = ev.target;
  if (t && (t.tagName === 'INPUT' || t.tagName === 'SELECT' || t.tagName === 'TEXTAREA')) return;
  // Enter on a focused button is a click on it, not the remote's OK.
  if (t && t.tagName === 'BUTTON' && (ev.key === 'Enter' || ev.key === ' ')) return;
  const name = KEYBOARD[ev.key];
  if (!name) return;
  ev.preventDefault();
  const b = document.querySelector(`#remote button[data-key="${name}"]`);
  if (b) { b.classList.add('down'); setTimeout(() => b.classList.remove('down'), 150); }
  press(`key ${name}`);
}

// Tuners: the signal at each tuner's input (antenna, SNR, strength) and what
// the tuner is asked for and locked to, as the simulated frontend says.
const SYSTEMS = { 0: 'none', 1: 'DVB-C', 3: 'DVB-T', 5: 'DVB-S', 6: 'DVB-S2', 16: 'DVB-T2' };
let tunersKey = null;
function buildTuners(s) {
  const list = (((s || {}).devices || {}).tuners || []).filter(t => t.present);
  const k = list.map(t => t.frontend).join(',') + ('signal' in known);
  if (k === tunersKey) return;
  tunersKey = k;
  const box = $('tuners');
  box.textContent = '';
  if (!list.length) { box.append(el('div', { class: 'now', text: 'no tuners' })); return; }
  const there = 'signal' in known;
  for (const t of list) {
    const n = t.frontend;
    const snr = el('input', { type: 'number', min: 0, max: 100, value: 80, 'aria-label': `SNR in percent, tuner ${n + 1}` });
    const str = el('input', { type: 'number', min: 0, max: 100, value: 70, 'aria-label': `signal strength in percent, tuner ${n + 1}` });
    const mk = (label, aria, line) => {
      const b = el('button', { text: label, 'aria-label': aria });
      b.disabled = !there;
      b.onclick = () => act(line());
      return b;
    };
    const info = el('div', { class: 'tinfo mono' });
    const head = el('div', { class: 'thead' }, el('strong', { text: `Tuner ${n + 1}` }), el('span', { class: 'ttype', text: t.type || '' }));
    const card = el('div', { class: 'tuner', 'data-frontend': n }, head,
      el('div', { class: 'row' },
        mk('Antenna in', `antenna in, tuner ${n + 1}`, () => `signal ${n} on`),
        mk('Antenna out', `antenna out, tuner ${n + 1}`, () => `signal ${n} off`)),
      el('div', { class: 'row' }, el('label', { text: 'SNR' }), snr, el('label', { text: 'strength' }), str,
        mk('Set', `set SNR and strength, tuner ${n + 1}`, () => `signal ${n} snr ${snr.value} strength ${str.value}`)),
      info);
    card.update = s => {
      const now = ((s.devices || {}).tuners || []).find(x => x.frontend === n);
      if (!now) return;
      card.classList.toggle('locked', !!now.locked);
      const tune = now.last_tune;
      const asked = tune ? Object.entries(tune).map(([k2, v]) => `${k2} ${v}`).join(', ') : 'not tuned';
      info.textContent = `${now.signal ? 'antenna in' : 'antenna out'} · ${now.locked ? 'LOCKED' : 'no lock'}` +
        ` · SNR ${now.snr}% · strength ${now.strength}%\nsystem ${SYSTEMS[now.system] ?? now.system}` +
        ` · ${now.voltage} · tone ${now.tone}\n${asked}\n${now.channel ? 'on ' + now.channel : 'no channel'}` +
        (now.why ? ` (${now.why})` : '');
    };
    box.append(card);
  }
}

// Decoders: what each decodes (front end or file), PIDs, stream type,
// playing, volume and mute; the DVR input's counters during file playback.
function showDecoders(s) {
  const av = (s.devices || {}).av;
  const box = $('decoders');
  box.textContent = '';
  if (!av) { box.append(el('div', { class: 'now', text: 'no decoders' })); return; }
  const rows = [];
  const feedText = f => !f ? 'nothing' :
    `${f.input === 'dvr' ? 'file (DVR input)' : f.input}, PID ${f.pid}` + (f.pcr_pid !== undefined ? `, PCR ${f.pcr_pid}` : '') +
    (f.service ? `, ${f.service}` : '') + (f.present === false ? ', PID not in stream' : '');
  const a = av.audio0 || {};
  rows.push(['audio 0', a.state, feedText(a.feed),
    `attenuation ${(a.attenuation || []).join('/')} · mute ${a.mute ? 'on' : 'off'} · system volume ${s.status.volume}, mute ${s.status.mute}`]);
  for (const name of ['video0', 'video1']) {
    const v = av[name] || {};
    rows.push([name.replace('video', 'video '), v.state, feedText(v.feed),
      `stream type ${v.stream_type === 1 ? 'H.264' : v.stream_type === 0 ? 'MPEG-2' : v.stream_type}${v.blanked ? ' · blanked' : ''}`]);
  }
  const tbl = el('table', { class: 'dec', id: 'dectable' });
  for (const [n, st, feed, more] of rows)
    tbl.append(el('tr', { 'data-decoder': n }, el('td', { class: 'k', text: n }),
      el('td', { class: 'v' + (st === 'playing' ? ' yes' : ''), text: st || '—' }), el('td', { class: 'v', text: `${feed} · ${more}` })));
  box.append(tbl);
  const d = av.dvr4 || {}, c = d.check || {};
  box.append(el('div', { class: 'now mono', id: 'dvr',
    text: `DVR input: ${d.open ? 'open' : 'closed'} · file playing ${s.status.tsfile_playing ? 'yes' : 'no'} · ` +
          `${c.bytes ?? 0} bytes, ${c.packets ?? 0} packets, lost ${c.lost_bytes ?? 0}, continuity errors ${c.cc_errors ?? 0}, ` +
          `PES ${c.pes ?? 0}, audio frames ${c.audio_frames ?? 0}` + (av.still ? ` · still ${av.still}` : '') }));
}

// The front-end switch: the other front end of the same box.
function showFrontEnd(s) {
  const fe = s.front_end;
  const other = (fe.known || []).find(n => n !== fe.name);
  $('feNow').textContent = restarting ? `restarting into ${restarting}…` :
    `${fe.name} ${fe.running ? 'running' : 'ended'}`;
  const b = $('restart');
  b.disabled = !other || !!restarting;
  b.textContent = other ? `Restart into ${other}` : 'Restart';
  b.dataset.to = other || '';
  b.setAttribute('aria-label', other ? `restart the box into the ${other} front end` : 'restart');
}

async function restart(to) {
  restarting = to;
  if (state) showFrontEnd(state);
  toast(`restarting into ${to}…`);
  try {
    const r = await fetch('/api/restart', { method: 'POST', body: to, headers: { 'Content-Type': 'text/plain' } });
    const j = await r.json();
    if (!r.ok) toast(j.error || r.statusText, true); else toast(`${j.front_end} started`);
  } catch (e) {
    toast('boxsim does not answer: ' + e.message, true);
  }
  restarting = false;
  if (state) showFrontEnd(state);
}

function showState(s) {
  state = s;
  clockBase = [s.t, performance.now()];
  // A profile given as a path is shown by its file name; the whole path on hover.
  $('profile').textContent = `${s.box.profile.split('/').pop().replace(/\.json$/, '')} · ${s.box.model || 'no model'}`;
  $('profile').title = s.box.profile;
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
  // An LCD only where the box has one.
  const lcd = (s.devices || {}).lcd || {};
  $('lcdbezel').hidden = !(lcd.xres > 0);
  if (lcd.xres > 0 && !$('lcd').style.width) scaleLcd(lcd.xres, lcd.yres);
  buildControls(s);
  updateControls(s);
  buildPanelKeys(s);
  buildTuners(s);
  for (const t of $('tuners').querySelectorAll('.tuner')) t.update(s);
  showDecoders(s);
  showFrontEnd(s);
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
    img.style.visibility = 'hidden';
    img.dataset.version = p.version;
    if (off) off.style.display = 'flex';
    return;
  }
  // Load first, then swap: the picture never flickers.
  const next = new Image();
  next.onload = () => {
    if (shownVersion[p.name] !== p.version) return;
    img.src = next.src;
    img.style.visibility = '';
    img.dataset.version = p.version;
    if (off) off.style.display = 'none';
    if (p.name === 'lcd') scaleLcd(next.naturalWidth, next.naturalHeight);
  };
  next.src = `/api/picture/${p.name}.png?v=${p.version}`;
}

// The LCD at a whole multiple of its real size, so its pixels stay sharp;
// doubled only where the text display and the keys still fit beside it.
function scaleLcd(w, h) {
  const room = $('lcd').closest('.panel').clientWidth - 40;
  const k = w < 300 && room >= 2 * w + 360 ? 2 : 1;
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
  const added = [];
  const push = e => { e.seq = ++logSeq; logLines.push(e); added.push(e); };
  if (dropped) push({ kind: 'both', cls: 'err', text: `… ${dropped} lines not shown` });
  for (const ev of lines) {
    push(logEntry(ev));
    // The output tab also shows what was done to the box.
    if (ev.op === 'action') {
      const t = (ev.t / 1000).toFixed(3).padStart(8);
      push({ kind: 'output', cls: 'act', text: `${t}  → ${ev.text}  (${ev.from})` });
    }
  }
  if (logLines.length > MAX_LOG) logLines.splice(0, logLines.length - MAX_LOG);
  // Only what changed is redrawn: lines that fell out at the top go, the
  // new ones are added below (a busy box sends many small batches).
  const box = $('log');
  const first = logLines.length ? logLines[0].seq : logSeq + 1;
  while (box.firstChild && box.firstChild.logSeq !== undefined && box.firstChild.logSeq < first) box.firstChild.remove();
  const frag = logFragment(added.filter(e => e.seq >= first));
  if (frag.childNodes.length && box.firstChild && box.firstChild.logSeq === undefined) box.textContent = '';
  box.append(frag);
  if (!box.firstChild) return renderLog();  // says that nothing is shown yet
  if ($('follow').checked) box.scrollTop = box.scrollHeight;
}

// The lines of `entries` that the tab and the filter show.
function logFragment(entries) {
  const f = $('filter').value.toLowerCase();
  const frag = document.createDocumentFragment();
  for (const e of entries) {
    if (e.kind !== tab && e.kind !== 'both') continue;
    if (f && !e.text.toLowerCase().includes(f)) continue;
    const line = el('div', { class: e.cls, text: e.text });
    line.logSeq = e.seq;
    frag.append(line);
  }
  return frag;
}

function renderLog() {
  const box = $('log');
  const frag = logFragment(logLines);
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
  buildRemote();
  buildPanelKeys(null);
  document.addEventListener('keydown', onKeyboard);
  $('restart').onclick = () => { if ($('restart').dataset.to) restart($('restart').dataset.to); };
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
    // The box's clock may run faster than the host's (boxsim --speed).
    const t = clockBase[0] + (performance.now() - clockBase[1]) * ((state.clock && state.clock.speed) || 1);
    $('clock').textContent = `t = ${(t / 1000).toFixed(1)} s`;
  }, 100);
}
main();
