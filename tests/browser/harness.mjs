// Opens generated reports in Debian's Chromium, headless and offline, and
// records every request, console error and page error of each page.
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const { chromium } = await import('playwright-core').catch((error) => {
  throw new Error(`playwright-core is not installed: run "npm ci" in tests/browser (${error.message})`);
});

export const CHROMIUM = process.env.TARN_CHROMIUM || '/usr/bin/chromium';
export const reportsDir = () => resolve(process.env.TARN_REPORTS_DIR || 'reports');

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
  const file = join(reportsDir(), name);
  if (!existsSync(file)) {
    throw new Error(`${file} is missing: run html_fixture ${reportsDir()} first`);
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
    cpuMs: () => chromiumCpuMs(userDataDir),
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

// CPU time (user + system) spent so far by the Chromium processes of one
// launch, found by their user-data directory: unlike wall time it does not
// grow when other work shares the machine.
function chromiumCpuMs(userDataDir) {
  const tick = 100; // USER_HZ on Linux
  let total = 0;
  for (const pid of readdirSync('/proc').filter((entry) => /^\d+$/.test(entry))) {
    try {
      const cmdline = readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      if (!cmdline.includes(userDataDir) && !cmdline.includes('--type=')) {
        continue;
      }
      if (!cmdline.includes(userDataDir) && !isDescendantOf(pid, userDataDir)) {
        continue;
      }
      const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
      total += ((Number(fields[11]) + Number(fields[12])) * 1000) / tick;
    } catch {
      // The process ended while being read.
    }
  }
  return total;
}

function isDescendantOf(pid, userDataDir) {
  for (let current = pid, depth = 0; current > 1 && depth < 8; depth++) {
    const stat = readFileSync(`/proc/${current}/stat`, 'utf8');
    current = stat.split(') ')[1].split(' ')[1];
    try {
      if (readFileSync(`/proc/${current}/cmdline`, 'utf8').includes(userDataDir)) {
        return true;
      }
    } catch {
      return false;
    }
  }
  return false;
}
