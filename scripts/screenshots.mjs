// Screenshots of a report for the README: the whole page in the light and
// the dark scheme, and one with a model selected.
//
//   node scripts/screenshots.mjs REPORT.html OUT_DIR [MODEL]
import { mkdirSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

// playwright-core is installed with the browser suite.
const { chromium } = createRequire(new URL('../tests/browser/package.json', import.meta.url))('playwright-core');
const [report, outDir, model = 'fct_daily_orders'] = process.argv.slice(2);
if (!report || !outDir) {
  console.error('usage: node scripts/screenshots.mjs REPORT.html OUT_DIR [MODEL]');
  process.exit(2);
}
mkdirSync(outDir, { recursive: true });

const browser = await chromium.launch({
  executablePath: process.env.TARN_CHROMIUM || '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu'],
});
const shots = [
  { file: 'report-light.png', scheme: 'light' },
  { file: 'report-dark.png', scheme: 'dark' },
  { file: 'report-selected.png', scheme: 'light', select: model },
];
for (const shot of shots) {
  const page = await browser.newPage({ viewport: { width: 1400, height: 420 } });
  await page.emulateMedia({ colorScheme: shot.scheme });
  await page.goto(pathToFileURL(resolve(report)).href);
  await page.waitForSelector('.node-box');
  if (shot.select) {
    await page.click(`.node-box[data-name="${shot.select}"]`);
  }
  await page.waitForTimeout(300);
  await page.screenshot({ path: join(outDir, shot.file) });
  await page.close();
  console.log(`wrote ${join(outDir, shot.file)}`);
}
await browser.close();
