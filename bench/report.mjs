// Times the HTML report at scale in Chromium: 5,000 models (15,000 edges) and
// 20,000 models (60,000 edges), first render and each interaction, and prints
// a table of medians. Usage: node bench/report.mjs REPORTS_DIR (written by
// html_fixture; see docs/performance.md).
import { readFileSync, readdirSync } from 'node:fs';
import { loadavg } from 'node:os';
import { launch, openReport } from '../tests/browser/harness.mjs';

const SAMPLES = 9;
const REPORTS = [
  { file: 'large.html', perLayer: 200 },
  { file: 'huge.html', perLayer: 800 },
];

if (process.argv[2]) {
  process.env.TARN_REPORTS_DIR = process.argv[2];
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const boxOf = (layer, index) =>
  `document.querySelector('.node-box[data-name="model_l${String(layer).padStart(2, '0')}_${String(index).padStart(3, '0')}"]')`;

// Runs the code in the page and waits for the frame that shows its effect:
// two animation frames, so that work the page defers to the next frame (the
// edge redraw after a scroll) is counted as well.
async function timed(browser, page, code) {
  const cpuBefore = browser.cpuMs();
  const wall = await page.evaluate(
    (source) =>
      new Promise((done) => {
        const t0 = performance.now();
        new Function(source)();
        requestAnimationFrame(() =>
          requestAnimationFrame(() => setTimeout(() => done(performance.now() - t0), 0)),
        );
      }),
    code,
  );
  return { wall, cpu: browser.cpuMs() - cpuBefore };
}

// Each sample is the code to time, or [untimed setup, code to time].
async function repeat(browser, page, samples) {
  const runs = [];
  for (const sample of samples) {
    const [setup, code] = Array.isArray(sample) ? sample : [null, sample];
    if (setup) {
      await page.evaluate((source) => new Function(source)(), setup);
    }
    runs.push(await timed(browser, page, code));
  }
  return { wall: median(runs.map((r) => r.wall)), cpu: median(runs.map((r) => r.cpu)) };
}

const range = (n) => [...Array(n).keys()];

async function measure(browser, { file, perLayer }) {
  const cpuAtStart = browser.cpuMs();
  const report = await openReport(browser.context, file);
  const { page } = report;
  const firstFrame = await page.evaluate(
    () => new Promise((done) => requestAnimationFrame(() => setTimeout(() => done(performance.now()), 0))),
  );
  const rows = { 'first render': { wall: firstFrame, cpu: browser.cpuMs() - cpuAtStart } };
  const counts = await page.evaluate(() => ({
    boxes: document.querySelectorAll('.node-box').length,
    edges: window.TARN_DBT_PLAN_DATA.edges.length,
    drawn: document.getElementById('edges').drawnEdges().length,
  }));

  rows['first click'] = await timed(browser, page, `${boxOf(1, 5)}.click()`);
  rows['later click'] = await repeat(
    browser,
    page,
    range(SAMPLES).map((i) => `${boxOf(i % 4, (i * 37) % perLayer)}.click()`),
  );
  rows['clear selection'] = await repeat(
    browser,
    page,
    range(SAMPLES).map((i) => [
      `${boxOf(i % 4, (i * 53) % perLayer)}.click()`,
      `document.getElementById('layers').click()`,
    ]),
  );
  rows['search keystroke'] = await repeat(
    browser,
    page,
    ['m', 'mo', 'mod', 'model_l1', 'model_l12', 'model_l12_1', 'l07', 'zzz', ''].map(
      (text) =>
        `const s = document.getElementById('search'); s.value = ${JSON.stringify(text)};` +
        `s.dispatchEvent(new Event('input'));`,
    ),
  );
  await timed(browser, page, `${boxOf(12, 100)}.click()`);
  rows['panel entry click'] = await repeat(
    browser,
    page,
    range(SAMPLES).map(
      () =>
        `(document.querySelector('#panel-upstream li') || document.querySelector('#panel-downstream li')).click()`,
    ),
  );
  rows['search Enter'] = await repeat(
    browser,
    page,
    range(SAMPLES).map((i) => [
      `const s = document.getElementById('search'); s.value = 'model_l${String(4 + 2 * i).padStart(2, '0')}_0';` +
        `s.dispatchEvent(new Event('input'));`,
      `document.getElementById('search').dispatchEvent(new KeyboardEvent('keydown', { key: 'Enter' }))`,
    ]),
  );
  // Fit scales the graph down by up to ten times, so the view shows up to a
  // hundred times as many boxes and edges.
  const fit = `document.getElementById('fit').click()`;
  // The button toggles: each sample after the first toggles back untimed.
  const toggles = range(SAMPLES).map((i) => (i ? [fit, fit] : fit));
  rows['fit'] = await repeat(browser, page, toggles);
  rows['back to 100%'] = await repeat(browser, page, toggles);
  // The scroll rows start from the top-left corner, wherever the clicks
  // above left the view.
  await page.evaluate(() => document.getElementById('graph-scroll').scrollTo(0, 0));
  rows['scroll by 100 px'] = await repeat(
    browser,
    page,
    range(SAMPLES).map(() => `document.getElementById('graph-scroll').scrollTop += 100`),
  );
  rows['scroll by 1,500 px'] = await repeat(
    browser,
    page,
    range(SAMPLES).map(
      (i) => `const s = document.getElementById('graph-scroll'); s.scrollTop = ${(i + 1) * 1500}; s.scrollLeft = ${i * 150};`,
    ),
  );

  const handle = await page.locator('#panel-resize-handle').boundingBox();
  const y = handle.y + 100;
  await page.mouse.move(handle.x + 3, y);
  await page.mouse.down();
  rows['panel drag step'] = await repeat(
    browser,
    page,
    range(SAMPLES).map(
      (i) => `window.dispatchEvent(new MouseEvent('mousemove', { clientX: ${handle.x + 3 - 10 * (i + 1)}, clientY: ${y} }))`,
    ),
  );
  await page.mouse.up();

  const trouble = report.trouble();
  await page.close();
  return { counts, rows, trouble };
}

// CPU time (user + system) spent so far by the Chromium processes, which are
// all descendants of this one: unlike wall time it does not grow when other
// work shares the machine. A process that has ended keeps its last reading.
const cpuByPid = new Map();
function chromiumCpuMs() {
  const tick = 100; // USER_HZ on Linux
  for (const pid of readdirSync('/proc').filter((entry) => /^\d+$/.test(entry))) {
    try {
      if (isDescendant(pid)) {
        const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
        cpuByPid.set(pid, ((Number(fields[11]) + Number(fields[12])) * 1000) / tick);
      }
    } catch {
      // The process ended while being read.
    }
  }
  return [...cpuByPid.values()].reduce((sum, ms) => sum + ms, 0);
}

function isDescendant(pid) {
  for (let current = pid, depth = 0; current > 1 && depth < 8; depth++) {
    current = Number(readFileSync(`/proc/${current}/stat`, 'utf8').split(') ')[1].split(' ')[1]);
    if (current === process.pid) {
      return true;
    }
  }
  return false;
}

const loadAtStart = loadavg().map((l) => l.toFixed(2)).join(' ');
const context = await launch();
const browser = { context, cpuMs: chromiumCpuMs, close: () => context.browser().close() };
try {
  const results = [];
  for (const report of REPORTS) {
    results.push(await measure(browser, report));
  }
  console.log(`chromium ${browser.context.browser()?.version() ?? ''}`.trim());
  console.log(`load average at start: ${loadAtStart}, at end: ${loadavg().map((l) => l.toFixed(2)).join(' ')}`);
  console.log('medians; wall ms from the event to the second frame after it (Chromium CPU ms)');
  console.log('');
  const header = results.map(
    ({ counts }) => `${counts.boxes} models, ${counts.edges} edges (${counts.drawn} drawn)`,
  );
  console.log(`| interaction | ${header.join(' | ')} |`);
  console.log(`|---|${header.map(() => '---:').join('|')}|`);
  for (const name of Object.keys(results[0].rows)) {
    const cells = results.map(({ rows }) => `${rows[name].wall.toFixed(0)} (${rows[name].cpu.toFixed(0)})`);
    console.log(`| ${name} | ${cells.join(' | ')} |`);
  }
  for (const { trouble } of results) {
    if (trouble.requests.length || trouble.errors.length) {
      console.log('trouble:', trouble);
      process.exitCode = 1;
    }
  }
} finally {
  await browser.close();
}
