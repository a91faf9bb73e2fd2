// Opens generated reports in Debian's Chromium, headless and offline, and
// records every request, console error and page error of each page.
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const { chromium } = await import('playwright-core').catch((error) => {
  throw new Error(`playwright-core is not installed: run "npm ci" in tests/browser (${error.message})`);
});

const reportsDir = () => resolve(process.env.TARN_REPORTS_DIR || 'reports');

export async function launch() {
  const userDataDir = mkdtempSync(join(tmpdir(), 'tarn-chromium-'));
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: process.env.TARN_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 800 },
    offline: true,
  });
  return {
    context,
    userDataDir,
    async close() {
      await context.close();
      rmSync(userDataDir, { recursive: true, force: true });
    },
  };
}

// Every request other than the report itself is recorded and refused, so
// the page cannot reach anything outside its one file.
export async function openReport(context, name, media = {}) {
  const file = join(reportsDir(), name);
  if (!existsSync(file)) {
    throw new Error(`${file} is missing: run html_fixture ${reportsDir()} first`);
  }
  const url = pathToFileURL(file).href;
  const page = await context.newPage();
  const requests = [];
  const errors = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('console', (message) => message.type() === 'error' && errors.push(message.text()));
  page.on('pageerror', (error) => errors.push(String(error)));
  await page.route('**/*', (route) => (route.request().url() === url ? route.continue() : route.abort()));
  await page.emulateMedia({ colorScheme: 'light', ...media });
  await page.goto(url, { waitUntil: 'load' });
  // Requests made other than loading the page, and errors reported.
  return { page, trouble: () => ({ requests: requests.filter((r) => r !== url), errors }) };
}

// Two frames: the page draws what a scroll uncovered in the frame after it.
export async function settle(page) {
  await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));
}
