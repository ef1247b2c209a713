// The web front panel as a person uses it: open the page, let the DHCP
// server answer, plug the cable, and watch the box show its address on the
// TV, the LCD and the text display.
// Usage: node front_panel.mjs URL WORKDIR SCREENSHOT
import { chromium } from 'playwright-core';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { mkdtempSync } from 'node:fs';
import { join } from 'node:path';

const [url, work, shot] = process.argv.slice(2);
assert.ok(url && work && shot, 'usage: node front_panel.mjs URL WORKDIR SCREENSHOT');

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

const step = text => console.log(`browser: ${text}`);

const context = await chromium.launchPersistentContext(mkdtempSync(join(work, 'chromium-')), {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  viewport: { width: 1440, height: 1150 },
});

try {
  const page = context.pages()[0] ?? await context.newPage();
  const problems = [];
  page.on('pageerror', e => problems.push(`page error: ${e.message}`));
  page.on('console', m => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });

  const api = context.request;
  const state = async () => (await api.get(url + 'api/state')).json();
  const pictureHash = async name => {
    const r = await api.get(`${url}api/picture/${name}.png`);
    return r.ok() ? createHash('sha256').update(await r.body()).digest('hex') : null;
  };
  const shownVersion = sel => page.$eval(sel, img => img.complete && img.naturalWidth > 0 ? Number(img.dataset.version) : 0);

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

  // The text display scrolls the address, four characters at a time.
  const window = await until('the text display to scroll the address', async () => {
    const t = await page.textContent('#vfd');
    return t && /[0-9]/.test(t) && ADDRESS_TEXT.includes(t) ? t : null;
  }, 40000);
  step(`text display shows '${window}'`);

  // The live log has the system's output and the actions.
  await page.getByRole('button', { name: 'Trace' }).click();
  await until('the trace to show the actions', async () => {
    const log = await page.textContent('#log');
    return /action .*text=cable plug 1000/.test(log) && new RegExp(`action .*text=dhcp lease ${ADDRESS}`).test(log);
  }, 5000);
  await page.getByRole('button', { name: 'System output' }).click();

  await page.screenshot({ path: shot, fullPage: true });
  step(`screenshot ${shot}`);
  assert.deepEqual(problems, []);
  console.log('browser: front panel test passed');
} catch (e) {
  console.error(`browser: FAILED: ${e.message}`);
  try { await context.pages()[0]?.screenshot({ path: shot, fullPage: true }); } catch { /* nothing to show */ }
  process.exitCode = 1;
} finally {
  await context.close();
}
