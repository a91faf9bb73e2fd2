// Opens the pages of html_fixture (TARN_REPORTS_DIR) in Debian's Chromium, headless and offline;
// playwright-core comes from `npm ci` here.
import assert from 'node:assert/strict';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

export async function launch() {
  // playwright-core adds the headless, no-sandbox and no-background-traffic switches itself.
  const executablePath = process.env.TARN_CHROMIUM || '/usr/bin/chromium';
  const browser = await chromium.launch({ executablePath, args: ['--disable-gpu', '--disable-quic'] });
  return browser.newContext({ viewport: { width: 1280, height: 800 }, offline: true });
}

// Every request other than the report itself is recorded and refused, so the
// page cannot reach anything outside its one file.
export async function openReport(context, name, media = {}) {
  const url = pathToFileURL(join(resolve(process.env.TARN_REPORTS_DIR || 'reports'), name)).href;
  const page = await context.newPage();
  const [requests, errors] = [[], []];
  page.on('request', (request) => request.url() !== url && requests.push(request.url()));
  page.on('console', (message) => message.type() === 'error' && errors.push(message.text()));
  page.on('pageerror', (error) => errors.push(String(error)));
  await page.route('**/*', (route) => (route.request().url() === url ? route.continue() : route.abort()));
  await page.emulateMedia({ colorScheme: 'light', ...media });
  await page.goto(url, { waitUntil: 'load' });
  return { page, trouble: () => ({ requests, errors }) };
}

// Runs a session, one row a step: 'verb words => the state after it'. A verb of steps takes the
// words; otherwise each word is a key pressed.
export async function session(page, rows, steps, state) {
  for (const row of rows) {
    const [step, expected] = row.split(' => ');
    const [verb, ...words] = step.split(' ');
    for (const key of steps[verb] ? [] : [verb, ...words]) {
      await page.keyboard.press(key === 'Space' ? ' ' : key);
    }
    await steps[verb]?.(words.join(' '));
    assert.equal(await state(), expected, row);
  }
}

// Two frames: the page draws what a scroll uncovered in the frame after it.
export const settle = (page) => page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
// The model the panel shows, '-' when it shows none.
export const shown = (page) => page.evaluate(() => (getComputedStyle(document.getElementById('panel-content'))
  .display === 'none' ? '-' : document.getElementById('panel-title').textContent));
// Each drawn edge: its ends, its look, and whether it ends at the sides of its boxes as they stand.
export const drawn = (page) => page.evaluate(() => {
  const rect = (name) => document.querySelector(`.node-box[data-name="${CSS.escape(name)}"]`).getBoundingClientRect();
  const on = (x, y, r, side) => Math.abs(x - r[side]) <= 0.5 && Math.abs(y - (r.top + r.bottom) / 2) <= 1;
  return document.getElementById('edges').drawnEdges().map(({ upstream, downstream, look, points: p }) => ({ upstream, downstream,
    look, joined: on(p[0], p[1], rect(upstream), 'right') && on(p.at(-2), p.at(-1), rect(downstream), 'left') }));
});
