import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { after, afterEach, before, test } from 'node:test';
import { launch, openReport, settle } from './harness.mjs';

// The page is offline: axe comes from node_modules, injected as a file.
const AXE = createRequire(import.meta.url).resolve('axe-core/axe.min.js');
const LONG = 'very_long_model_name_without_any_space_'.repeat(5) + 'end';
const HOSTILE = '</script><img src=x onerror="window.pwned=1"><!--&amp;';
const box = (name) => `.node-box[data-name="${name}"]`;

let browser;
let opened = [];
before(async () => (browser = await launch()));
after(() => browser?.close());
// Every page of every test: nothing but the page itself was requested and no error reached the console.
afterEach(async () => {
  for (const report of opened) {
    assert.deepEqual(report.trouble(), { requests: [], errors: [] });
    await report.page.close();
  }
  opened = [];
});

async function open(name, media) {
  const report = await openReport(browser.context, name, media);
  opened.push(report);
  return report.page;
}

// The model the panel shows, '' when it shows none.
const shown = (page) => page.evaluate(() => (getComputedStyle(document.getElementById('panel-content'))
  .display === 'none' ? '' : document.getElementById('panel-title').textContent));
const drawn = (page) => page.evaluate(() => document.getElementById('edges').drawnEdges()
  .map(({ upstream, downstream, look }) => ({ upstream, downstream, look })));

// One letter per look, of each box of basic.html in plan order and of each drawn edge in data order.
const LETTER = { selected: 's', 'highlighted upstream': 'u', 'highlighted downstream': 'd',
  highlighted: 'h', 'search-match': 'm', dimmed: 'x', '': '.' };
const BASIC = ['alpha', 'Beta', 'gamma', 'fct_orders', LONG, 'mart', 'report'];
async function looks(page) {
  const boxes = Object.fromEntries(await page.$$eval('.node-box', (all) =>
    all.map((b) => [b.dataset.name, b.className.slice(9)])));
  const edges = (await drawn(page)).map(({ look }) => LETTER[look]).join('');
  return [BASIC.map((name) => LETTER[boxes[name]]).join(''), edges];
}

test('keyboard only: Tab to a box, arrows to a parent or child, Enter and Space select', async () => {
  const page = await open('basic.html');
  const focused = () => page.evaluate(() => document.activeElement.dataset.name ?? document.activeElement.id);
  for (const [key, focus, panel] of [
    ['Tab', 'search', ''],
    ['Tab', 'fit', ''],
    ['Tab', 'alpha', ''],
    ['ArrowRight', 'fct_orders', ''], // its first child
    ['Enter', 'fct_orders', 'fct_orders'],
    ['ArrowLeft', 'alpha', 'fct_orders'], // its first parent
    ['ArrowUp', 'alpha', 'fct_orders'], // none
    ['ArrowDown', 'fct_orders', 'fct_orders'],
    ['ArrowDown', 'report', 'fct_orders'],
    [' ', 'report', 'report'],
    ['ArrowUp', 'fct_orders', 'report'],
    ['Escape', 'fct_orders', ''],
  ]) {
    await page.keyboard.press(key);
    assert.deepEqual([await focused(), await shown(page)], [focus, panel], key);
  }
  assert.equal(await page.$eval('#graph-scroll', (s) => s.scrollTop), 0, 'Space did not scroll');
});

test('a selection lights its lineage by side; a search lights matches, Enter opens the first; Escape', async () => {
  const page = await open('basic.html');
  // Edges: alpha>fct_orders, Beta>fct_orders, gamma>LONG, fct_orders>report, fct_orders>mart, gamma>mart, alpha>mart.
  for (const [action, boxes, edges, count, panel] of [
    ['', '.......', '.......', '', ''],
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
    ['escape', 'mmmxmmx', 'xxxxxxx', '5 matches', ''], // the selection first
    ['escape', '.......', '.......', '', ''], // then the search
    ['click report', 'uuxuxxs', 'uuxuxxx', '', 'report'],
    ['empty space', '.......', '.......', '', ''],
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
  await page.click(box('report'));
  assert.deepEqual([await outline('.node-box.selected'), await outline('.node-box.highlighted')], ['solid', 'none']);
});

test('the panel: window, days, lookback, lookahead, dbt options with the exclusive end, lineage', async () => {
  await browser.context.grantPermissions(['clipboard-read', 'clipboard-write']);
  const page = await open('windows.html');
  const texts = () => page.evaluate(() => {
    const text = (selector) => document.querySelector(selector).textContent;
    const list = (id) => [...document.querySelectorAll(`#${id} li`)].map((li) => li.textContent).join(', ') ||
      getComputedStyle(document.getElementById(id), '::before').content;
    return [...['title', 'layer', 'window', 'days', 'lookback', 'lookahead'].map((id) => text(`#panel-${id}`)),
      text('#panel-dbt-options code'), list('panel-upstream'), list('panel-downstream')];
  });
  for (const expected of [
    ['leap_day', 'Layer 0', '2024-02-27 .. 2024-02-29', '3 days', 'lookback 3 days', 'lookahead 1 month',
      '--event-time-start 2024-02-27 --event-time-end 2024-03-01', '"(none \u2014 an Entry Node)"', 'year_end'],
    ['year_end', 'Layer 1', '2025-12-31 .. 2025-12-31', '1 day', 'lookback 1 week', 'lookahead 0 days',
      '--event-time-start 2025-12-31 --event-time-end 2026-01-01', 'leap_day',
      '"(none \u2014 nothing downstream is selected)"'],
  ]) {
    await page.click(box(expected[0]));
    assert.deepEqual(await texts(), expected);
    await page.click('#panel-copy');
    await page.waitForFunction(() => document.getElementById('panel-copy').textContent !== 'Copy');
    assert.equal(await page.textContent('#panel-copy'), 'Copied');
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), expected[6]);
  }
  await page.click('#panel-upstream li');
  assert.equal(await shown(page), 'leap_day', 'a lineage entry selects its model');
});

test('markup in a name is shown as text and injects nothing; an empty plan shows nothing', async () => {
  const page = await open('hostile.html');
  const boxes = await page.$$eval('.node-box', (all) =>
    all.map((b) => [b.dataset.name, b.querySelector('.node-name').textContent, b.title]));
  assert.deepEqual(boxes, [[HOSTILE, HOSTILE, HOSTILE], ['child', 'child', 'child']]);
  await page.click(box('child'));
  await page.click('#panel-upstream li');
  assert.equal(await shown(page), HOSTILE);
  assert.deepEqual(await page.evaluate(() => [document.querySelectorAll('img').length,
    document.querySelectorAll('script').length, window.pwned ?? null,
    document.createNodeIterator(document, NodeFilter.SHOW_COMMENT).nextNode()]), [0, 1, null, null]);
  const empty = await open('empty.html');
  assert.deepEqual([await empty.locator('.node-box').count(), await drawn(empty), await empty.isHidden('#overview')],
    [0, [], true]);
});

// WCAG contrast ratio of two computed colours ("rgb(r, g, b)").
const luminance = (colour) => colour.match(/[\d.]+/g).slice(0, 3).map((c) => Number(c) / 255)
  .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4))
  .reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
const contrast = (...c) => (Math.max(...c.map(luminance)) + 0.05) / (Math.min(...c.map(luminance)) + 0.05);

// What the canvas shows along the longest level piece of one edge: its colours, and 'gap'.
const levelPixels = (page, upstream, downstream) => page.evaluate(([up, down]) => {
  const canvas = document.getElementById('edges');
  const p = canvas.drawnEdges().find((e) => e.upstream === up && e.downstream === down).points;
  let [x0, x1, y] = [0, 0, 0];
  for (let i = 2; i < p.length; i += 2) {
    [x0, x1, y] = p[i + 1] === p[i - 1] && p[i] - p[i - 2] > x1 - x0 ? [p[i - 2], p[i], p[i + 1]] : [x0, x1, y];
  }
  const c = canvas.getBoundingClientRect();
  const d = canvas.getContext('2d').getImageData(x0 - c.left + 2, y - c.top, x1 - x0 - 4, 1).data;
  const seen = Array.from({ length: d.length / 4 }, (_, i) => (d[4 * i + 3] === 255
    ? `rgb(${d[4 * i]}, ${d[4 * i + 1]}, ${d[4 * i + 2]})` : d[4 * i + 3] ? 'blend' : 'gap'));
  return [...new Set(seen)].sort();
}, [upstream, downstream]);

async function seriousViolations(page) {
  await page.addScriptTag({ path: AXE });
  const violations = await page.evaluate(async () => (await window.axe.run(document)).violations);
  return violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
}

for (const scheme of ['light', 'dark']) {
  test(`${scheme} scheme: no serious axe finding; edges legible, upstream dashed, as the legend shows`, async () => {
    const page = await open('basic.html', { colorScheme: scheme });
    assert.deepEqual(await seriousViolations(page), [], 'on load');
    const plain = await levelPixels(page, 'gamma', 'mart');
    await page.click(box('mart'));
    const [gap, upstream] = await levelPixels(page, 'gamma', 'mart');
    assert.deepEqual(await seriousViolations(page), [], 'with a model selected');
    await page.click(box('gamma'));
    const downstream = await levelPixels(page, 'gamma', 'mart');
    assert.deepEqual([plain.length, gap, downstream.length], [1, 'gap', 1], 'upstream broken, the others solid');
    const background = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    for (const colour of [plain[0], upstream, downstream[0]]) {
      assert.ok(contrast(colour, background) >= 3, `${colour} on ${background}`);
    }
    assert.notEqual(upstream, downstream[0]);
    const legend = await page.$$eval('.legend-item', (items) => items.map((item) =>
      [item.textContent, ...['backgroundImage', 'backgroundColor'].map((k) => getComputedStyle(item.firstChild)[k])]));
    assert.deepEqual(legend.map(([text]) => text), ['model', 'upstream (dashed)', 'downstream']);
    assert.ok(legend[1][1].startsWith(`repeating-linear-gradient(90deg, ${upstream}`), legend[1][1]);
    assert.equal(legend[2][2], downstream[0]);
    await page.fill('#search', 'o');
    assert.deepEqual(await seriousViolations(page), [], 'while searching');
  });
}

// Inked canvas pixels under the boxes in view (3 pixels inside them), whether
// any are inked in the view, and how many drawn edges miss the sides of their boxes.
const layering = (page) => page.evaluate(() => {
  const canvas = document.getElementById('edges');
  const [c, v] = [canvas, document.getElementById('graph-scroll')].map((e) => e.getBoundingClientRect());
  const inked = (left, top, right, bottom) => (right <= left || bottom <= top ? 0 : canvas.getContext('2d')
    .getImageData(left - c.left, top - c.top, right - left, bottom - top).data
    .filter((a, i) => i % 4 === 3 && a).length);
  const under = [...document.querySelectorAll('.node-box')].map((b) => b.getBoundingClientRect())
    .reduce((sum, r) => sum + inked(Math.max(r.left, v.left) + 3, Math.max(r.top, v.top) + 3,
      Math.min(r.right, v.right) - 3, Math.min(r.bottom, v.bottom) - 3), 0);
  const rect = (name) => document.querySelector(`.node-box[data-name="${CSS.escape(name)}"]`).getBoundingClientRect();
  const off = (x, y, r, side) => Math.abs(x - r[side]) > 0.5 || Math.abs(y - (r.top + r.bottom) / 2) > 1;
  const loose = canvas.drawnEdges().filter(({ upstream, downstream, points: p }) =>
    off(p[0], p[1], rect(upstream), 'right') || off(p.at(-2), p.at(-1), rect(downstream), 'left')).length;
  return { under, inked: inked(v.left, v.top, v.right, v.bottom) > 0, loose };
});
const LAYERED = { under: 0, inked: true, loose: 0 };

test('edges join their boxes and never pass behind one, also after the boxes move', async () => {
  const page = await open('basic.html');
  await page.click(box('fct_orders'));
  assert.deepEqual([await layering(page), await page.isHidden('#overview')], [LAYERED, true]);
  const before = await looks(page);
  await page.addStyleTag({ content: '.node-box { min-width: 220px; }' });
  await page.setViewportSize({ width: 1000, height: 700 });
  await settle(page);
  assert.deepEqual([await layering(page), await looks(page)], [LAYERED, before], 'after a resize moved the boxes');
});

test('5,000 models: edges near the view drawn, a jump draws the rest in the current look; the map', async () => {
  const page = await open('large.html');
  const into = async (name) => (await drawn(page)).filter((e) => e.downstream === name).map((e) => e.look);
  const count = (await drawn(page)).length;
  assert.ok(count > 0 && count < 15000, `${count} edges drawn`);
  await page.fill('#search', 'model_l12_100');
  await page.press('#search', 'Enter');
  await settle(page);
  const offCentre = await page.$eval(box('model_l12_100'), (b) => {
    const [r, v] = [b, document.getElementById('graph-scroll')].map((e) => e.getBoundingClientRect());
    return Math.hypot(r.left + r.right - v.left - v.right, r.top + r.bottom - v.top - v.bottom) / 2;
  });
  assert.ok(offCentre < 2, `a chosen model is centred (off by ${offCentre})`);
  assert.deepEqual(await into('model_l12_100'), Array(3).fill('highlighted upstream'));
  assert.deepEqual(await layering(page), LAYERED);
  // Boxes out of view when the look changed take it when they come back.
  await page.fill('#search', 'model_l00_00');
  await page.$eval('#graph-scroll', (s) => s.scrollTo(0, 0));
  await settle(page);
  assert.deepEqual(await page.$$eval('.node-box', (all) => [all[1].className, all[10].className]),
    ['node-box search-match', 'node-box dimmed']);
  assert.deepEqual(await into('model_l01_001'), Array(3).fill('dimmed'));
  // The overview map shows while the graph overflows, marks the view, and a click or drag moves it: the
  // middle of the view as shares of the graph, and of its mark as shares of the map.
  const middles = () => page.evaluate(() => {
    const [s, area] = [document.getElementById('graph-scroll'), document.getElementById('edges-area')];
    const [m, v] = ['#overview canvas', '.overview-view']
      .map((q) => document.querySelector(q).getBoundingClientRect());
    return [(s.scrollLeft + s.clientWidth / 2) / area.offsetWidth,
      (s.scrollTop + s.clientHeight / 2) / area.offsetHeight,
      ((v.left + v.right) / 2 - m.left) / m.width, ((v.top + v.bottom) / 2 - m.top) / m.height];
  });
  const map = await page.locator('#overview canvas').boundingBox();
  const at = ([x, y]) => [map.x + x * map.width, map.y + y * map.height];
  for (const [press, release] of [[[0.5, 0.5]], [[0.5, 0.5], [0.3, 0.7]]]) {
    await page.mouse.move(...at(press));
    await page.mouse.down();
    if (release) {
      await page.mouse.move(...at(release), { steps: 4 });
    }
    await page.mouse.up();
    await settle(page);
    const [x, y, markX, markY] = await middles();
    const wanted = release ?? press;
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
    // A box's rectangle in the scrolled content at actual size.
    const place = () => page.$eval(box(model), (b) => {
      const [r, v] = [b, document.getElementById('graph-scroll')].map((e) => e.getBoundingClientRect());
      return [r.left - v.left, r.top - v.top, r.width, r.height];
    });
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
    await page.keyboard.down('Control');
    await page.mouse.wheel(0, -200);
    await page.keyboard.up('Control');
    await settle(page);
    assert.ok((await place())[2] > 1.3 * actual[2], 'boxes grew');
    await page.keyboard.press('Escape');
    await page.mouse.click(x, y);
    assert.equal(await shown(page), model, 'the box stayed under the pointer');
  });
}
