// The web front panel as a person uses it, on two boxes at once, each in a
// page of its own. On the first: open the page, let the DHCP server answer,
// plug the cable, and watch the box show its address on the TV, the LCD and
// the text display. On the second: switch the box into the console from the
// page, press the front-panel keys, a remote key and type a MAC address
// twice, save all that as a test and replay it, and look at the page at two
// window sizes. The rescue display scrolls the address two seconds a step:
// the console's part runs while the first box scrolls.
// Usage: node front_panel.mjs RESCUE_URL CONSOLE_URL WORKDIR SCREENSHOT BOXSIM
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { mkdtempSync, readFileSync } from 'node:fs';
import { join } from 'node:path';

const [rescueUrl, consoleUrl, work, shot, boxsim] = process.argv.slice(2);
assert.ok(rescueUrl && consoleUrl && work && shot && boxsim,
          'usage: node front_panel.mjs RESCUE_URL CONSOLE_URL WORKDIR SCREENSHOT BOXSIM');

const ADDRESS = '192.168.1.20';
const ADDRESS_TEXT = '   http___192_168_1_20_';  // what the text display scrolls

async function until(what, check, ms) {
  const deadline = Date.now() + ms;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last) return last;
    } catch (e) {
      last = e.message;
    }
    if (Date.now() > deadline) throw new Error(`timed out after ${ms} ms waiting for ${what} (last: ${last})`);
    await new Promise(r => setTimeout(r, 100));
  }
}

const started = Date.now();
const step = text => console.log(`browser: ${((Date.now() - started) / 1000).toFixed(1)} s: ${text}`);

const context = await chromium.launchPersistentContext(mkdtempSync(join(work, 'chromium-')), {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  viewport: { width: 1440, height: 1150 },
});

const problems = [];
const api = context.request;

// A page of the box at `url`, with what the test reads of it.
async function openBox(url, page) {
  page.on('pageerror', e => problems.push(`page error: ${e.message}`));
  page.on('console', m => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
  return {
    url, page,
    state: async () => (await api.get(url + 'api/state')).json(),
    pictureHash: async name => {
      const r = await api.get(`${url}api/picture/${name}.png`);
      return r.ok() ? createHash('sha256').update(await r.body()).digest('hex') : null;
    },
    shownVersion: sel => page.$eval(sel, img => img.complete && img.naturalWidth > 0 ? Number(img.dataset.version) : 0),
  };
}

// The rescue front end: cable and DHCP from the page, the address on the
// TV, the LCD and the text display.
async function rescue({ url, page, state, pictureHash, shownVersion }) {
  await page.goto(url);
  await until('the page to go live', async () => (await page.textContent('#conn')) === 'live', 10000);
  step('page is live');

  // Both hardware controls this test needs are there and usable.
  const dhcp = page.locator('.control', { hasText: 'DHCP server' });
  const cable = page.locator('.control', { hasText: 'Ethernet cable' });
  assert.ok(await cable.getByRole('button', { name: 'Plug', exact: true }).isEnabled(), 'the cable control is greyed out');
  assert.ok(await dhcp.getByRole('button', { name: 'Answer', exact: true }).isEnabled(), 'the DHCP control is greyed out');

  // The rescue display comes up unplugged: TV and LCD show their first frames.
  await until('the TV and the LCD on the page', async () => (await shownVersion('#tv')) > 0 && (await shownVersion('#lcd')) > 0, 20000);
  const tvNatural = await page.$eval('#tv', img => [img.naturalWidth, img.naturalHeight]);
  assert.deepEqual(tvNatural, [1280, 720]);
  const before = await state();
  assert.equal(before.status.dhcp_done, 0);
  const tvBefore = await pictureHash('tv');
  const lcdBefore = await pictureHash('lcd');
  assert.ok(tvBefore && lcdBefore, 'no TV or LCD picture before the cable');
  step(`unplugged: TV v${await shownVersion('#tv')}, LCD v${await shownVersion('#lcd')}`);

  // The DHCP server answers with the address; then the cable goes in.
  await dhcp.getByLabel('address to hand out').fill(ADDRESS);
  await dhcp.getByRole('button', { name: 'Answer', exact: true }).click();
  await cable.getByLabel('speed in Mbit/s').selectOption('1000');
  await cable.getByRole('button', { name: 'Plug', exact: true }).click();
  step('DHCP answering, cable plugged');

  const leased = await until('the system to hold the lease', async () => {
    const s = await state();
    return s.status.eth_link === 1 && s.status.dhcp_done === 1 && s.status.ip === ADDRESS ? s : null;
  }, 30000);
  step(`lease held at t=${leased.t} ms`);

  // The pictures change once the rescue display draws the address, and the
  // page follows them.
  await until('a new LCD picture', async () => (await pictureHash('lcd')) !== lcdBefore, 10000);
  await until('a new TV picture', async () => (await pictureHash('tv')) !== tvBefore, 10000);
  const now = await until('the page to show the newest pictures', async () => {
    const s = await state();
    const tv = await shownVersion('#tv'), lcd = await shownVersion('#lcd');
    return tv === s.pictures.tv.version && lcd === s.pictures.lcd.version ? s : null;
  }, 5000);
  step(`page shows TV v${now.pictures.tv.version}, LCD v${now.pictures.lcd.version}`);

  await until('the status table to show the address', async () => (await page.textContent('#status')).includes(ADDRESS), 5000);
  // The controls say what the hardware does and what the system sees.
  await until('the controls to show cable and lease', async () =>
    /^plugged, 1000 Mbit\/s · system: link up, 1000 Mbit\/s$/.test(await cable.locator('.now').textContent()) &&
    (await dhcp.locator('.now').textContent()) === `answers ${ADDRESS} · system: lease ${ADDRESS}`, 5000);
  assert.ok((await page.locator('.led.lit').count()) >= 1, 'no LED lit: the LEDs blink with at least one on');

  // The live log has the system's output and the actions.
  await page.getByRole('button', { name: 'Trace' }).click();
  await until('the trace to show the actions', async () => {
    const log = await page.textContent('#log');
    return /action .*text=cable plug 1000/.test(log) && new RegExp(`action .*text=dhcp lease ${ADDRESS}`).test(log);
  }, 5000);
  await page.getByRole('button', { name: 'System output' }).click();

  // The text display scrolls the address, four characters at a time.
  const window = await until('the text display to scroll the address', async () => {
    const t = await page.textContent('#vfd');
    return t && /[0-9]/.test(t) && ADDRESS_TEXT.includes(t) ? t : null;
  }, 40000);
  step(`text display shows '${window}'`);

  await page.screenshot({ path: shot, fullPage: true });
  step(`screenshot ${shot}`);
}

// The console, reached from the page's front-end switch.
async function console_({ url, page, state }) {
  await page.goto(url);
  await until('the console box\'s page to go live', async () => (await page.textContent('#conn')) === 'live', 10000);
  // Restarted once the rescue front end holds its lease, as the first box
  // is by the time its text display shows the address: its port monitor is
  // between passes then, so the restart's length in the saved test's replay
  // (the old front end's tasks ending) is not left to chance.
  const leased = await until('the rescue front end to hold its lease', async () => {
    const s = await state();
    return s.front_end.name === 'rescue' && s.front_end.running && s.status.dhcp_done === 1 ? s : null;
  }, 30000);
  // And right after a pass of its display (the LEDs step at each): the
  // replay's passes fall when the box's clock says, this box's a little
  // later by the system's own work, so a restart early in a pass's two
  // seconds comes before the next pass in both.
  await until('a pass of the rescue display', async () =>
    JSON.stringify((await state()).devices.leds) !== JSON.stringify(leased.devices.leds), 10000);
  await page.evaluate(() => { window.sameDocument = true; });
  await page.getByRole('button', { name: 'restart the box into the console front end' }).click();
  const consoleUp = await until('the console to run', async () => {
    const s = await state();
    return s.front_end.name === 'console' && s.front_end.running && s.front_end.starts === 2 ? s : null;
  }, 15000);
  await until('the page to follow the switch', async () => (await page.textContent('#frontend')) === 'console running', 5000);
  assert.equal(await page.evaluate(() => window.sameDocument), true, 'the page was reloaded');
  step(`console running at t=${consoleUp.t} ms`);

  // The eight front-panel keys, by mouse, once the console reads the panel:
  // a key pressed before that reaches no reader, as on a box. And, as a
  // person would, once the console has drawn its screen a few times: the
  // saved test's replay restarts at the time recorded, and the old front
  // end's tasks may take up to a pass of the rescue display (2 s) longer to
  // end there than they did here.
  const blitsAtStart = consoleUp.devices.tv.blits;
  await until('the console to read the front panel and draw a few times', async () => {
    const s = await state();
    return s.devices.input[0].clients >= 1 && s.devices.tv.blits >= blitsAtStart + 3;
  }, 10000);
  for (const key of ['POWER', 'MENU', 'EXIT', 'LEFT', 'RIGHT', 'UP', 'DOWN', 'OK'])
    await page.getByRole('button', { name: `front panel ${key}`, exact: true }).click();
  await until('the text display to show 88:88', async () => (await page.textContent('#vfd')) === '88:88', 10000);
  // Every pixel of the LCD picture the page shows is white.
  const lcdWhite = () => page.$eval('#lcd', img => {
    if (!img.complete || !img.naturalWidth) return false;
    const c = document.createElement('canvas');
    c.width = img.naturalWidth; c.height = img.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    const d = g.getImageData(0, 0, c.width, c.height).data;
    for (let i = 0; i < d.length; i += 4) if (d[i] < 250 || d[i + 1] < 250 || d[i + 2] < 250) return false;
    return true;
  });
  await until('the LCD to turn white', lcdWhite, 10000);
  assert.equal((await state()).status.buttons_seen, 255);
  step('button test complete: LCD white, 88:88');

  // Remote key 1: tuner 1 on its test channel, locked, and decoded.
  await page.getByRole('button', { name: 'remote 1', exact: true }).click();
  const tvPixel = (x, y) => page.$eval('#tv', (img, [px, py]) => {
    const c = document.createElement('canvas');
    c.width = img.naturalWidth; c.height = img.naturalHeight;
    const g = c.getContext('2d');
    g.drawImage(img, 0, 0);
    return Array.from(g.getImageData(px, py, 1, 1).data.slice(0, 3));
  }, [x, y]);
  // The tuner row's first box (x 60, y 500, 150 x 40), at its edge where no text is.
  await until('the tuner box to turn green on the TV', async () =>
    JSON.stringify(await tvPixel(64, 503)) === JSON.stringify([0, 255, 0]), 20000);
  const playing = await until('the state to show the decoder playing', async () => {
    const s = await state();
    const t = (s.devices.tuners || []).find(x => x.frontend === 0);
    return t && t.locked && s.devices.av.video0.state === 'playing' ? s : null;
  }, 10000);
  await until('the page to show the lock and the decoder', async () =>
    (await page.locator('.tuner.locked').count()) >= 1 &&
    /playing/.test(await page.locator('#dectable tr[data-decoder="video 0"]').textContent()), 5000);
  step(`tuner 1 locked on ${playing.devices.tuners[0].channel}, video 0 playing`);

  // The computer's keyboard works as the remote while the page has focus.
  await page.locator('h1').click();
  await page.keyboard.press('ArrowUp');
  await page.keyboard.press('m');
  await until('the keyboard keys to reach the box', async () => {
    const log = (await (await api.get(url + 'api/script')).text()).split('\n');
    const i = log.findIndex(l => /ms key UP$/.test(l));
    return i >= 0 && log.slice(i + 1).some(l => /ms key MUTE$/.test(l));
  }, 5000);

  // A MAC address typed twice on the USB keyboard is programmed into flash.
  const flashBefore = (await state()).flash_mac_record;
  const mac = '02:47:58:00:00:01';
  const typing = page.locator('.control', { hasText: 'Type' });
  await typing.getByLabel('text to type on the USB keyboard').fill(mac);
  await typing.getByRole('button', { name: 'type the text and Enter' }).click();
  await typing.getByRole('button', { name: 'type the text and Enter' }).click();
  const flashed = await until('the flash MAC record to change', async () => {
    const s = await state();
    return s.flash_mac_record !== flashBefore && s.flash_mac_record.includes('024758000001') ? s : null;
  }, 15000);
  assert.ok(flashed.status.mac_entry.startsWith('024758000001'), `mac_entry ${flashed.status.mac_entry}`);
  step('MAC address programmed');

  // Save as test: the archive replays with boxsim test, and passes.
  const [download] = await Promise.all([page.waitForEvent('download'),
    page.getByRole('link', { name: 'Save as test' }).click()]);
  const tarFile = join(work, 'saved-test.tar');
  await download.saveAs(tarFile);
  execFileSync('tar', ['xf', tarFile, '-C', work]);
  const saved = readFileSync(join(work, 'boxsim-test', 'boxsim-test.box'), 'utf8');
  assert.match(saved, /^box profile\.json$/m);
  assert.match(saved, /ms restart console$/m);
  assert.match(saved, /expect tuner0: state devices\.tuners\.0\.locked == true within 3s$/m);
  assert.match(saved, /expect lcd: picture lcd boxsim-test-lcd\.png tolerance 1 within 3s$/m);
  const replay = spawnSync(boxsim, ['test', '--out', join(work, 'replay'), join(work, 'boxsim-test')],
                           { encoding: 'utf8', timeout: 60000 });
  assert.equal(replay.status, 0, `the saved test did not pass:\n${replay.stdout}${replay.stderr}`);
  step(`saved as test (${saved.split('\n').filter(l => / expect /.test(l)).length} expectations); its replay passed`);

  // The page at two window sizes: no horizontal scroll bar, no two controls
  // on top of each other, every control named.
  for (const [w, h] of [[1440, 900], [1024, 768]]) {
    await page.setViewportSize({ width: w, height: h });
    await page.waitForFunction(() => document.documentElement.scrollWidth <= document.documentElement.clientWidth, null, { timeout: 5000 })
      .catch(() => {});
    const layout = await page.evaluate(() => {
      const wide = document.documentElement.scrollWidth - document.documentElement.clientWidth;
      const boxes = [...document.querySelectorAll('button, input, select, a.button, img, #vfd')]
        .filter(e => e.offsetParent !== null)
        .map(e => ({ e, r: e.getBoundingClientRect() }))
        .filter(b => b.r.width > 0 && b.r.height > 0);
      const overlaps = [];
      for (let i = 0; i < boxes.length; i++)
        for (let j = i + 1; j < boxes.length; j++) {
          const a = boxes[i].r, b = boxes[j].r;
          if (a.left < b.right - 1 && b.left < a.right - 1 && a.top < b.bottom - 1 && b.top < a.bottom - 1)
            overlaps.push(`${boxes[i].e.getAttribute('aria-label') || boxes[i].e.textContent || boxes[i].e.id} / ` +
                          `${boxes[j].e.getAttribute('aria-label') || boxes[j].e.textContent || boxes[j].e.id}`);
        }
      return { wide, overlaps, count: boxes.length };
    });
    assert.equal(layout.wide, 0, `${w}x${h}: the page is ${layout.wide} px wider than the window`);
    assert.deepEqual(layout.overlaps, [], `${w}x${h}: controls overlap`);
    const tree = await page.locator('body').ariaSnapshot();
    const unnamed = tree.split('\n').filter(l => /^\s*- (button|textbox|combobox|spinbutton|checkbox)\s*(\[[^\]]*\])?\s*(:|$)/.test(l));
    assert.deepEqual(unnamed, [], `${w}x${h}: controls without a name`);
    const named = (tree.match(/- button "/g) || []).length;
    assert.ok(named >= 40, `${w}x${h}: only ${named} named buttons in the accessibility tree`);
    const file = shot.replace(/\.png$/, `-console-${w}x${h}.png`);
    await page.screenshot({ path: file, fullPage: true });
    step(`${w}x${h}: ${layout.count} controls, none overlapping, all named; screenshot ${file}`);
  }
}

try {
  const first = context.pages()[0] ?? await context.newPage();
  const second = await context.newPage();
  // Both parts run to their end, so that a failure of one does not leave the
  // other running into a closed browser; the first failure is reported.
  const results = await Promise.allSettled([rescue(await openBox(rescueUrl, first)),
                                            console_(await openBox(consoleUrl, second))]);
  for (const r of results)
    if (r.status === 'rejected')
      throw r.reason;
  assert.deepEqual(problems, []);
  console.log('browser: front panel test passed');
} catch (e) {
  console.error(`browser: FAILED: ${e.message}`);
  try { await context.pages()[0]?.screenshot({ path: shot, fullPage: true }); } catch { /* nothing to show */ }
  process.exitCode = 1;
} finally {
  await context.close();
}
