// Times the HTML report at scale (5,000 models, 15,000 edges) in Chromium:
// first render, and the work behind each interaction. Not a test: it prints
// the figures. Usage: node bench.mjs [reports-dir] (after html_fixture).
import { launch, openReport } from './harness.mjs';

const SAMPLES = 25;

function summary(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const pick = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
  return `median ${pick(0.5).toFixed(1)} ms, p90 ${pick(0.9).toFixed(1)} ms, max ${sorted.at(-1).toFixed(1)} ms`;
}

if (process.argv[2]) {
  process.env.TARN_REPORTS_DIR = process.argv[2];
}

const loadAverage = (await import('node:os')).loadavg().map((l) => l.toFixed(2)).join(' ');
const browser = await launch();
try {
  const cpuAtLaunch = browser.cpuMs();
  const started = performance.now();
  const report = await openReport(browser.context, 'large.html');
  const { page } = report;
  // Until the first frame after the page's own script has laid out the graph.
  const firstFrame = await page.evaluate(
    () => new Promise((done) => requestAnimationFrame(() => setTimeout(() => done(performance.now()), 0))),
  );
  const wall = performance.now() - started;
  const loadCpu = browser.cpuMs() - cpuAtLaunch;
  const counts = await page.evaluate(() => ({
    boxes: document.querySelectorAll('.node-box').length,
    edges: document.querySelectorAll('#edges path').length,
    bytes: document.documentElement.outerHTML.length,
  }));

  // Each interaction is timed from the event to the end of the style and
  // layout work it causes, and separately to the next painted frame.
  const timed = async (action) => {
    const cpuBefore = browser.cpuMs();
    const result = await page.evaluate(
      (code) =>
        new Promise((done) => {
          const t0 = performance.now();
          new Function(code)();
          void document.body.offsetHeight;
          const t1 = performance.now();
          requestAnimationFrame(() =>
            setTimeout(() => done({ work: t1 - t0, frame: performance.now() - t0 }), 0),
          );
        }),
      action,
    );
    return { ...result, cpu: browser.cpuMs() - cpuBefore };
  };

  const record = (into, r) => {
    into.work.push(r.work);
    into.frame.push(r.frame);
    into.cpu.push(r.cpu);
  };
  // The first click after loading changes every box and edge; later ones
  // change only what differs between two lineages.
  const firstClick = { work: [], frame: [], cpu: [] };
  record(
    firstClick,
    await timed(`document.querySelector('.node-box[data-name="model_l12_050"]').click()`),
  );
  const click = { work: [], frame: [], cpu: [] };
  for (let i = 0; i < SAMPLES; i++) {
    const layer = String(i % 25).padStart(2, '0');
    const index = String((i * 37) % 200).padStart(3, '0');
    const r = await timed(
      `document.querySelector('.node-box[data-name="model_l${layer}_${index}"]').click()`,
    );
    record(click, r);
  }

  const search = { work: [], frame: [], cpu: [] };
  for (const text of ['m', 'model_l1', 'l07_1', '', 'zzz', '']) {
    const r = await timed(
      `const s = document.getElementById('search'); s.value = ${JSON.stringify(text)};` +
        `s.dispatchEvent(new Event('input'));`,
    );
    record(search, r);
  }

  await timed(`document.querySelector('.node-box[data-name="model_l12_100"]').click()`);
  const resize = { work: [], frame: [], cpu: [] };
  for (let i = 0; i < 5; i++) {
    const r = await timed(`window.dispatchEvent(new Event('resize'))`);
    record(resize, r);
  }

  const handle = await page.locator('#panel-resize-handle').boundingBox();
  await page.mouse.move(handle.x + 3, handle.y + 100);
  await page.mouse.down();
  const drag = { work: [], frame: [], cpu: [] };
  for (let i = 1; i <= 5; i++) {
    const x = handle.x + 3 - 10 * i;
    const r = await timed(
      `window.dispatchEvent(new MouseEvent('mousemove', { clientX: ${x}, clientY: ${handle.y + 100} }))`,
    );
    record(drag, r);
  }
  await page.mouse.up();

  const { requests, errors } = report.trouble();
  console.log(`chromium ${browser.context.browser()?.version() ?? ''}`.trim());
  console.log(`load average at start: ${loadAverage}`);
  console.log(`page: ${counts.boxes} boxes, ${counts.edges} edges, ${counts.bytes} bytes of markup`);
  console.log(`first render: ${firstFrame.toFixed(0)} ms after navigation start (${wall.toFixed(0)} ms wall, launch excluded; ${loadCpu.toFixed(0)} ms Chromium CPU)`);
  for (const [name, t] of Object.entries({ 'first click': firstClick, 'later clicks': click, search, resize, drag })) {
    console.log(`${name}:`);
    console.log(`  event to styled and laid out: ${summary(t.work)}`);
    console.log(`  event to next frame:          ${summary(t.frame)}`);
    console.log(`  Chromium CPU to next frame:   ${summary(t.cpu)}`);
  }
  if (requests.length || errors.length) {
    console.log('trouble:', { requests, errors });
    process.exitCode = 1;
  }
} finally {
  await browser.close();
}
