// Opens generated reports in Debian's Chromium, headless and offline, and
// records every request, console error and page error of each page.
import { mkdtempSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

export const CHROMIUM = process.env.TARN_CHROMIUM || '/usr/bin/chromium';
export const REPORTS_DIR = resolve(process.env.TARN_REPORTS_DIR || 'reports');

const CHROMIUM_ARGS = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

export function reportUrl(name) {
  const file = join(REPORTS_DIR, name);
  if (!existsSync(file)) {
    throw new Error(`${file} is missing: run html_fixture ${REPORTS_DIR} first`);
  }
  return pathToFileURL(file).href;
}

export async function launch() {
  const userDataDir = mkdtempSync(join(tmpdir(), 'tarn-chromium-'));
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
    viewport: { width: 1280, height: 800 },
    offline: true,
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(userDataDir, { recursive: true, force: true });
    },
  };
}

// Every request other than the report itself is recorded and refused, so
// the page cannot reach anything outside its one file.
export async function openReport(context, name, media = {}) {
  const url = reportUrl(name);
  const page = await context.newPage();
  const requests = [];
  const errors = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('console', (message) => {
    if (message.type() === 'error') {
      errors.push(message.text());
    }
  });
  page.on('pageerror', (error) => errors.push(String(error)));
  await page.route('**/*', (route) =>
    route.request().url() === url ? route.continue() : route.abort(),
  );
  await page.emulateMedia({ colorScheme: 'light', reducedMotion: 'no-preference', ...media });
  await page.goto(url, { waitUntil: 'load' });
  return {
    page,
    url,
    // Requests made other than loading the page, and errors reported.
    trouble: () => ({ requests: requests.filter((r) => r !== url), errors }),
  };
}

export function nextFrame(page) {
  return page.evaluate(() => new Promise((done) => requestAnimationFrame(() => done())));
}
