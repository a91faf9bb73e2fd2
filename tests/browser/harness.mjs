// Opens generated reports in Debian's Chromium, headless and offline, and
// records every request, console error and page error of each page.
// playwright-core comes from `npm ci` here; the pages from html_fixture (TARN_REPORTS_DIR).
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

export async function launch() {
  const userDataDir = mkdtempSync(join(tmpdir(), 'tarn-chromium-'));
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: process.env.TARN_CHROMIUM || '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    headless: true, viewport: { width: 1280, height: 800 }, offline: true,
  });
  const close = () => context.close().then(() => rmSync(userDataDir, { recursive: true, force: true }));
  return { context, userDataDir, close };
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
