import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { after, afterEach, before, test } from 'node:test';
import { launch, openReport } from './harness.mjs';

// The page is offline: axe comes from node_modules, injected as a file.
const AXE = createRequire(import.meta.url).resolve('axe-core/axe.min.js');
const LONG = 'very_long_model_name_without_any_space_'.repeat(5) + 'end';
const HOSTILE = '</script><img src=x onerror="window.pwned=1"><!--&amp;';
const box = (name) => `.node-box[data-name="${name}"]`;

let [browser, opened] = [null, []];
before(async () => (browser = await launch()));
after(() => browser?.close());
// Every page of every test: nothing but the page itself was requested and no error reached the console.
afterEach(async () => {
  for (const report of opened.splice(0)) {
    assert.deepEqual(report.trouble(), { requests: [], errors: [] });
    await report.page.close();
  }
});
const open = async (name, media) => opened[opened.push(await openReport(browser.context, name, media)) - 1].page;
// Two frames: the page draws what a scroll uncovered in the frame after it.
const settle = (page) => page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))));

// The model the panel shows, '-' when it shows none.
const shown = (page) => page.evaluate(() => (getComputedStyle(document.getElementById('panel-content'))
  .display === 'none' ? '-' : document.getElementById('panel-title').textContent));
const drawn = (page) => page.evaluate(() => document.getElementById('edges').drawnEdges()
  .map(({ upstream, downstream, look }) => ({ upstream, downstream, look })));

// One letter per look, of each box of basic.html in plan order and of each drawn edge in data order.
const LETTER = { selected: 's', 'highlighted upstream': 'u', 'highlighted downstream': 'd',
  highlighted: 'h', 'search-match': 'm', dimmed: 'x', '': '.' };
const BASIC = ['alpha', 'Beta', 'gamma', 'fct_orders', LONG, 'mart', 'report'];
async function looks(page) {
  const boxes = Object.fromEntries(await page.$$eval('.node-box', (all) => all.map((b) => [b.dataset.name, b.className.slice(9)])));
  return [BASIC.map((name) => LETTER[boxes[name]]).join(''), (await drawn(page)).map(({ look }) => LETTER[look]).join('')];
}

// Inked canvas pixels under the boxes in view (3 pixels inside them), whether any are inked in the view,
// and how many drawn edges miss the sides of their boxes.
const layering = (page) => page.evaluate(() => {
  const canvas = document.getElementById('edges');
  const [c, v] = [canvas, document.getElementById('graph-scroll')].map((e) => e.getBoundingClientRect());
  const inked = (left, top, right, bottom) => (right <= left || bottom <= top ? 0 : canvas.getContext('2d')
    .getImageData(left - c.left, top - c.top, right - left, bottom - top).data.filter((a, i) => i % 4 === 3 && a).length);
  const under = [...document.querySelectorAll('.node-box')].map((b) => b.getBoundingClientRect()).reduce((sum, r) =>
    sum + inked(Math.max(r.left, v.left) + 3, Math.max(r.top, v.top) + 3, Math.min(r.right, v.right) - 3, Math.min(r.bottom, v.bottom) - 3), 0);
  const rect = (name) => document.querySelector(`.node-box[data-name="${CSS.escape(name)}"]`).getBoundingClientRect();
  const off = (x, y, r, side) => Math.abs(x - r[side]) > 0.5 || Math.abs(y - (r.top + r.bottom) / 2) > 1;
  const loose = canvas.drawnEdges().filter(({ upstream, downstream, points: p }) =>
    off(p[0], p[1], rect(upstream), 'right') || off(p.at(-2), p.at(-1), rect(downstream), 'left')).length;
  return { under, inked: inked(v.left, v.top, v.right, v.bottom) > 0, loose };
});
const LAYERED = { under: 0, inked: true, loose: 0 };

test('keyboard only: Tab to a box, arrows to the first parent or child, Enter and Space select, Escape', async () => {
  const page = await open('basic.html');
  const focused = () => page.evaluate(() => document.activeElement.dataset.name ?? document.activeElement.id);
  // Each row: the key, then the focus and the model shown.
  for (const row of ['Tab search -', 'Tab fit -', 'Tab alpha -', 'ArrowRight fct_orders -', 'Enter fct_orders fct_orders',
    'ArrowLeft alpha fct_orders', 'ArrowUp alpha fct_orders', 'ArrowDown fct_orders fct_orders',
    'ArrowDown report fct_orders', 'Space report report', 'ArrowUp fct_orders report', 'Escape fct_orders -']) {
    const [key, ...expected] = row.split(' ');
    await page.keyboard.press(key === 'Space' ? ' ' : key);
    assert.deepEqual([await focused(), await shown(page)], expected, row);
  }
  assert.equal(await page.$eval('#graph-scroll', (s) => s.scrollTop), 0, 'Space did not scroll');
});

test('a selection lights its lineage by side, a search its matches; Enter opens the first, Escape; edges join boxes', async () => {
  const page = await open('basic.html');
  // Edges: alpha>fct_orders, Beta>fct_orders, gamma>LONG, fct_orders>report, fct_orders>mart, gamma>mart, alpha>mart.
  for (const [action, boxes, edges, count, panel] of [
    ['', '.......', '.......', '', '-'],
    ['click report', 'uuxuxxs', 'uuxuxxx', '', 'report'],
    ['click fct_orders', 'uuxsxdd', 'uuxddxh', '', 'fct_orders'], // alpha>mart skips it: on neither side
    ['click alpha', 'sxxdxdd', 'dxxddxd', '', 'alpha'],
    ['search  ORD ', 'xxxmxxx', 'xxxxxxx', '1 match', 'alpha'],
    ['search ', 'sxxdxdd', 'dxxddxd', '', 'alpha'],
    ['search zzz', 'xxxxxxx', 'xxxxxxx', 'no matches', 'alpha'],
    ['enter', 'xxxxxxx', 'xxxxxxx', 'no matches', 'alpha'],
    ['search ma', 'xxmxxmx', 'xxxxxxx', '2 matches', 'alpha'],
    ['enter', 'xxsxddx', 'xxdxxdx', '', 'gamma'], // the first in column order
    ['search A', 'mmmxmmx', 'xxxxxxx', '5 matches', 'gamma'],
    ['escape', 'mmmxmmx', 'xxxxxxx', '5 matches', '-'], // the selection first
    ['escape', '.......', '.......', '', '-'], // then the search
    ['click report', 'uuxuxxs', 'uuxuxxx', '', 'report'],
    ['empty space', '.......', '.......', '', '-'],
    ['click fct_orders', 'uuxsxdd', 'uuxddxh', '', 'fct_orders'],
  ]) {
    const [verb, ...rest] = action.split(' ');
    const layers = await page.locator('#layers').boundingBox();
    await { click: () => page.click(box(rest[0])), search: () => page.fill('#search', rest.join(' ')),
      enter: () => page.press('#search', 'Enter'), empty: () => page.mouse.click(layers.x + 8, layers.y + 8),
      escape: () => page.keyboard.press('Escape'), '': () => {} }[verb]();
    const found = [...(await looks(page)), await page.textContent('#search-count'), await shown(page)];
    assert.deepEqual(found, [boxes, edges, count, panel], action);
  }
  const outline = (selector) => page.$eval(selector, (b) => getComputedStyle(b).outlineStyle);
  assert.deepEqual([await outline('.node-box.selected'), await outline('.node-box.highlighted'), await layering(page),
    await page.isHidden('#overview')], ['solid', 'none', LAYERED, true]);
  await page.addStyleTag({ content: '.node-box { min-width: 220px; }' });
  await page.setViewportSize({ width: 1000, height: 700 });
  await settle(page);
  assert.deepEqual([await layering(page), await looks(page)], [LAYERED, ['uuxsxdd', 'uuxddxh']], 'after the boxes moved');
});

test('the panel: window, days, lookback, lookahead, dbt options with the exclusive end, copy, lineage', async () => {
  await browser.context.grantPermissions(['clipboard-read', 'clipboard-write']);
  const page = await open('windows.html');
  const texts = () => page.evaluate(() => [...['title', 'layer', 'window', 'days', 'lookback', 'lookahead', 'dbt-options code',
    'upstream', 'downstream'].map((id) => document.querySelector(`#panel-${id}`)).map((e) => (e.tagName === 'UL'
    ? [...e.children].map((li) => li.textContent).join(', ') || getComputedStyle(e, '::before').content : e.textContent))]);
  for (const expected of [
    ['leap_day', 'Layer 0', '2024-02-27 .. 2024-02-29', '3 days', 'lookback 3 days', 'lookahead 1 month',
      '--event-time-start 2024-02-27 --event-time-end 2024-03-01', '"(none \u2014 an Entry Node)"', 'year_end'],
    ['year_end', 'Layer 1', '2025-12-31 .. 2025-12-31', '1 day', 'lookback 1 week', 'lookahead 0 days',
      '--event-time-start 2025-12-31 --event-time-end 2026-01-01', 'leap_day', '"(none \u2014 nothing downstream is selected)"'],
  ]) {
    await page.click(box(expected[0]));
    assert.deepEqual(await texts(), expected);
    await page.click('#panel-copy');
    await page.waitForFunction(() => document.getElementById('panel-copy').textContent !== 'Copy');
    assert.deepEqual([await page.textContent('#panel-copy'), await page.evaluate(() => navigator.clipboard.readText())],
      ['Copied', expected[6]]);
  }
  await page.click('#panel-upstream li');
  assert.equal(await shown(page), 'leap_day', 'a lineage entry selects its model');
});

test('markup in a name is shown as text and runs nothing; an empty plan shows nothing', async () => {
  const page = await open('hostile.html');
  assert.deepEqual(await page.$$eval('.node-box', (all) => all.map((b) => [b.dataset.name, b.querySelector('.node-name').textContent,
    b.title])), [[HOSTILE, HOSTILE, HOSTILE], ['child', 'child', 'child']]);
  await page.click(box('child'));
  await page.click('#panel-upstream li');
  assert.deepEqual([await shown(page), await page.evaluate(() => [document.querySelectorAll('img').length, window.pwned ?? null])],
    [HOSTILE, [0, null]]);
  const empty = await open('empty.html');
  assert.deepEqual([await empty.locator('.node-box').count(), await drawn(empty), await empty.isHidden('#overview')], [0, [], true]);
});

// WCAG contrast ratio of two computed colours ("rgb(r, g, b)").
const luminance = (colour) => colour.match(/[\d.]+/g).slice(0, 3).map((c) => Number(c) / 255)
  .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4)).reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
const contrast = (...c) => (Math.max(...c.map(luminance)) + 0.05) / (Math.min(...c.map(luminance)) + 0.05);
// What the canvas shows along the longest level piece of the edge gamma>mart: its colours, and 'gap'.
const levelPixels = (page) => page.evaluate(() => {
  const canvas = document.getElementById('edges');
  const p = canvas.drawnEdges().find((e) => e.upstream === 'gamma' && e.downstream === 'mart').points;
  let [x0, x1, y] = [0, 0, 0];
  for (let i = 2; i < p.length; i += 2) {
    [x0, x1, y] = p[i + 1] === p[i - 1] && p[i] - p[i - 2] > x1 - x0 ? [p[i - 2], p[i], p[i + 1]] : [x0, x1, y];
  }
  const c = canvas.getBoundingClientRect();
  const d = canvas.getContext('2d').getImageData(x0 - c.left + 2, y - c.top, x1 - x0 - 4, 1).data;
  return [...new Set(Array.from({ length: d.length / 4 }, (_, i) => (d[4 * i + 3] === 255
    ? `rgb(${d[4 * i]}, ${d[4 * i + 1]}, ${d[4 * i + 2]})` : d[4 * i + 3] ? 'blend' : 'gap')))].sort();
});

for (const scheme of ['light', 'dark']) {
  test(`${scheme} scheme: no serious axe finding; edges legible, upstream dashed, as the legend shows`, async () => {
    const page = await open('basic.html', { colorScheme: scheme });
    await page.addScriptTag({ path: AXE });
    const serious = (when) => page.evaluate(async () => (await window.axe.run(document)).violations).then((found) =>
      assert.deepEqual(found.filter((v) => ['serious', 'critical'].includes(v.impact)).map((v) => v.id), [], when));
    await serious('on load');
    const plain = await levelPixels(page);
    await page.click(box('mart'));
    const [gap, upstream] = await levelPixels(page);
    await serious('with a model selected');
    await page.click(box('gamma'));
    const downstream = await levelPixels(page);
    assert.deepEqual([plain.length, gap, downstream.length], [1, 'gap', 1], 'upstream broken, the others solid');
    const background = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    const legend = await page.$$eval('.legend-item', (items) => items.map((item) =>
      [item.textContent, getComputedStyle(item.firstChild).backgroundImage, getComputedStyle(item.firstChild).backgroundColor]));
    assert.deepEqual([legend.map(([text]) => text), legend[1][1].startsWith(`repeating-linear-gradient(90deg, ${upstream}`),
      legend[2][2], [plain[0], upstream, downstream[0]].map((colour) => contrast(colour, background) >= 3), upstream === downstream[0]],
    [['model', 'upstream (dashed)', 'downstream'], true, downstream[0], [true, true, true], false], `${upstream} ${legend[1][1]}`);
    await page.fill('#search', 'o');
    await serious('while searching');
  });
}

test('5,000 models: edges near the view drawn, a jump draws the rest in the current look; the map moves the view', async () => {
  const page = await open('large.html');
  const into = async (name) => (await drawn(page)).filter((e) => e.downstream === name).map((e) => e.look);
  const count = (await drawn(page)).length;
  assert.ok(count > 0 && count < 15000, `${count} edges drawn`);
  await page.fill('#search', 'model_l12_100').then(() => page.press('#search', 'Enter')).then(() => settle(page));
  const offCentre = await page.$eval(box('model_l12_100'), (b) => [b, document.getElementById('graph-scroll')]
    .map((e) => e.getBoundingClientRect()).reduce((r, v) => Math.hypot(r.x + r.right - v.x - v.right, r.y + r.bottom - v.y - v.bottom) / 2));
  assert.ok(offCentre < 2, `a chosen model is centred (off by ${offCentre})`);
  assert.deepEqual([await into('model_l12_100'), await layering(page)], [Array(3).fill('highlighted upstream'), LAYERED]);
  // Boxes out of view when the look changed take it when they come back.
  await page.fill('#search', 'model_l00_00').then(() => page.$eval('#graph-scroll', (s) => s.scrollTo(0, 0))).then(() => settle(page));
  assert.deepEqual([await page.$$eval('.node-box', (all) => [all[1].className, all[10].className]), await into('model_l01_001')],
    [['node-box search-match', 'node-box dimmed'], Array(3).fill('dimmed')]);
  // A click, then a drag, on the map: the middle of the view as shares of the graph, and of its mark as shares of the map.
  const map = await page.locator('#overview canvas').boundingBox();
  const at = ([x, y]) => [map.x + x * map.width, map.y + y * map.height];
  for (const [press, release] of [[[0.5, 0.5]], [[0.5, 0.5], [0.3, 0.7]]]) {
    await page.mouse.move(...at(press)).then(() => page.mouse.down());
    await (release && page.mouse.move(...at(release), { steps: 4 }));
    await page.mouse.up().then(() => settle(page));
    const wanted = release ?? press;
    const [x, y, markX, markY] = await page.evaluate(() => {
      const [s, area] = [document.getElementById('graph-scroll'), document.getElementById('edges-area')];
      const [m, v] = ['#overview canvas', '.overview-view'].map((q) => document.querySelector(q).getBoundingClientRect());
      return [(s.scrollLeft + s.clientWidth / 2) / area.offsetWidth, (s.scrollTop + s.clientHeight / 2) / area.offsetHeight,
        ((v.left + v.right) / 2 - m.left) / m.width, ((v.top + v.bottom) / 2 - m.top) / m.height];
    });
    assert.ok([[x, wanted[0]], [y, wanted[1]], [markX, x], [markY, y]].every(([a, b]) => Math.abs(a - b) < 0.02),
      `${[x, y, markX, markY]} against ${wanted}`);
  }
});

for (const [file, viewport, model] of [
  ['basic.html', { width: 760, height: 360 }, 'fct_orders'],
  ['large.html', null, 'model_l00_001'], // drawn in the canvas at a tenth
]) {
  test(`${file}: Fit scales the graph into view (to a tenth at least) and back; Ctrl + wheel zooms`, async () => {
    const page = await open(file);
    await (viewport && page.setViewportSize(viewport));
    // A box's rectangle in the scrolled content.
    const place = () => page.$eval(box(model), (b) => [b, document.getElementById('graph-scroll')]
      .map((e) => e.getBoundingClientRect()).reduce((r, v) => [r.left - v.left, r.top - v.top, r.width, r.height]));
    const actual = await place();
    await page.click('#fit');
    const [zoom, fit, label] = await page.evaluate(() => {
      const [s, layers] = [document.getElementById('graph-scroll'), document.getElementById('layers')];
      return [document.getElementById('edges-area').offsetWidth / layers.offsetWidth,
        Math.max(0.1, Math.min(s.clientWidth / layers.offsetWidth, s.clientHeight / layers.offsetHeight)),
        document.getElementById('fit').textContent];
    });
    assert.ok(Math.abs(zoom - fit) < 0.01 && label === '100%', `${zoom} against ${fit}, ${label}`);
    const view = await page.locator('#graph-scroll').boundingBox();
    await page.mouse.click(view.x + (actual[0] + actual[2] / 2) * zoom, view.y + (actual[1] + actual[3] / 2) * zoom);
    assert.equal(await shown(page), model, 'what is drawn there is clicked');
    await page.click('#fit');
    assert.deepEqual([await place(), await page.textContent('#fit')], [actual, 'Fit']);
    const [x, y] = [view.x + actual[0] + 20, view.y + actual[1] + actual[3] / 2];
    await page.mouse.move(x, y);
    await page.keyboard.down('Control').then(() => page.mouse.wheel(0, -200)).then(() => page.keyboard.up('Control'));
    await settle(page);
    assert.ok((await place())[2] > 1.3 * actual[2], 'boxes grew');
    await page.keyboard.press('Escape');
    await page.mouse.click(x, y);
    assert.equal(await shown(page), model, 'the box stayed under the pointer');
  });
}
