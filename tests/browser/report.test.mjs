import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { after, afterEach, before, test } from 'node:test';
import { drawn, launch, openReport, session, settle, shown } from './harness.mjs';

// The page is offline: axe comes from node_modules, injected as a file.
const AXE = createRequire(import.meta.url).resolve('axe-core/axe.min.js');
const LONG = 'very_long_model_name_without_any_space_'.repeat(5) + 'end';
const HOSTILE = '</script><img src=x onerror="window.pwned=1"><!--&amp;';
const box = (name) => `.node-box[data-name="${name}"]`;
// 'joined' when every drawn edge ends at the sides of its boxes as they stand, else how many do not.
const joins = (edges) => edges.filter((e) => !e.joined).length || 'joined';

let [context, troubles] = [null, []];
before(async () => (context = await launch()));
after(() => context?.browser().close());
// Every page of every test: nothing but the page itself was requested and no error reached the console.
afterEach(() => assert.deepEqual(troubles.splice(0).map((t) => t()).filter((t) => t.requests.length + t.errors.length), []));
const open = (name, media) => openReport(context, name, media).then((r) => troubles.push(r.trouble) && r.page);

// Fit scales the graph into view, to a tenth at least, where a click hits what is drawn; Fit again
// restores it; Ctrl + wheel zooms about the pointer.
async function fitAndZoom(page, model) {
  await page.$eval('#graph-scroll', (s) => s.scrollTo(0, 0)).then(() => page.keyboard.press('Escape'));
  // The box's rectangle in the scrolled content.
  const place = () => page.$eval(box(model), (b) => [b, document.getElementById('graph-scroll')]
    .map((e) => e.getBoundingClientRect()).reduce((r, v) => [r.left - v.left, r.top - v.top, r.width, r.height]));
  const [left, top, width, height] = await place();
  await page.click('#fit');
  const [zoom, fit] = await page.evaluate(() => {
    const [s, layers] = [document.getElementById('graph-scroll'), document.getElementById('layers')];
    return [document.getElementById('edges-area').offsetWidth / layers.offsetWidth,
      Math.max(0.1, Math.min(s.clientWidth / layers.offsetWidth, s.clientHeight / layers.offsetHeight))];
  });
  const view = await page.locator('#graph-scroll').boundingBox();
  await page.mouse.click(view.x + (left + width / 2) * zoom, view.y + (top + height / 2) * zoom);
  assert.ok(Math.abs(zoom - fit) < 0.01 && (await shown(page)) === model, `${zoom} against ${fit}; what is drawn there is clicked`);
  await page.click('#fit');
  assert.deepEqual(await place(), [left, top, width, height], 'back to actual size');
  const [x, y] = [view.x + left + 20, view.y + top + height / 2];
  await page.keyboard.press('Escape').then(() => page.mouse.move(x, y)).then(() => page.keyboard.down('Control'));
  await page.mouse.wheel(0, -200).then(() => page.keyboard.up('Control')).then(() => settle(page));
  const grown = (await place())[2] / width;
  await page.mouse.click(x, y);
  assert.ok(grown > 1.3 && (await shown(page)) === model, `grown ${grown} about the pointer`);
}

// WCAG contrast ratio of two computed colours ("rgb(r, g, b)").
const luminance = (colour) => colour.match(/[\d.]+/g).slice(0, 3).map((c) => Number(c) / 255)
  .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4)).reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
const contrast = (...c) => (Math.max(...c.map(luminance)) + 0.05) / (Math.min(...c.map(luminance)) + 0.05);
// How the canvas draws the edge gamma>mart across the middle column: in the colour of the legend's upstream or
// downstream line or neither ('plain'), '-dashed' when broken; else what it shows ('faint' or colours, 'gap').
async function ink(page) {
  const [pixels, swatches, background] = await page.evaluate(() => {
    const canvas = document.getElementById('edges');
    const [x0, y, x1] = canvas.drawnEdges().find((e) => e.upstream === 'gamma' && e.downstream === 'mart').points.slice(4, 7);
    const c = canvas.getBoundingClientRect();
    const d = canvas.getContext('2d').getImageData(x0 - c.left + 2, y - c.top, x1 - x0 - 4, 1).data;
    return [[...new Set(Array.from({ length: d.length / 4 }, (_, i) => (d[4 * i + 3] === 255
      ? `rgb(${d[4 * i]}, ${d[4 * i + 1]}, ${d[4 * i + 2]})` : d[4 * i + 3] ? 'faint' : 'gap')))].sort(),
    [...document.querySelectorAll('.legend-line')].map((line, i) => (i ? getComputedStyle(line).backgroundColor
      : getComputedStyle(line).backgroundImage.match(/^repeating-linear-gradient\(90deg, (rgb\([^)]*\))/)?.[1])),
    getComputedStyle(document.body).backgroundColor];
  });
  const colours = pixels.filter((p) => p.startsWith('rgb'));
  return colours.length !== 1 || contrast(colours[0], background) < 3 ? pixels.join('+')
    : (['upstream', 'downstream'][swatches.indexOf(colours[0])] ?? 'plain') + (pixels.includes('gap') ? '-dashed' : '');
}

// One letter per look, of each box of basic.html in plan order and of each drawn edge in data order.
const LETTER = { selected: 's', 'highlighted upstream': 'u', 'highlighted downstream': 'd',
  highlighted: 'h', 'search-match': 'm', dimmed: 'x', '': '.' };
const BASIC = ['alpha', 'Beta', 'gamma', 'fct_orders', LONG, 'mart', 'report'];

for (const scheme of ['light', 'dark']) test(`basic.html, ${scheme}: keyboard, mouse, lineage, search, Escape, axe, resize, Fit, zoom`, async () => {
  const page = await open('basic.html', { colorScheme: scheme });
  await page.addScriptTag({ path: AXE });
  // The focus, the looks of the boxes and edges, the search count, the model shown, the edges' ends, an edge's ink.
  const state = async () => {
    const [focus, boxes, count] = await page.evaluate(() => [document.activeElement.dataset.name ?? document.activeElement.id,
      Object.fromEntries([...document.querySelectorAll('.node-box')].map((b) => [b.dataset.name, b.className.slice(9)])),
      document.getElementById('search-count').textContent.replaceAll(' ', '_') || '-']);
    const edges = await drawn(page);
    return [focus || 'body', BASIC.map((name) => LETTER[boxes[name]]).join(''), edges.map(({ look }) => LETTER[look]).join(''),
      count, await shown(page), joins(edges), await ink(page)].join(' ');
  };
  const layers = await page.locator('#layers').boundingBox();
  assert.ok(await page.isHidden('#overview'), 'no map while the graph fits');
  const steps = { click: (name) => page.click(box(name)), search: (text) => page.fill('#search', text),
    empty: () => page.mouse.click(layers.x + 8, layers.y + 8), axe: () => page.evaluate(async () => (await window.axe.run(document))
      .violations.filter((v) => ['serious', 'critical'].includes(v.impact)).map((v) => v.id)).then((found) => assert.deepEqual(found, [])),
    resize: () => page.addStyleTag({ content: '.node-box { min-width: 220px; }' })
      .then(() => page.setViewportSize({ width: 1000, height: 700 })).then(() => settle(page)) };
  // Edges: alpha>fct_orders, Beta>fct_orders, gamma>LONG, fct_orders>report, fct_orders>mart, gamma>mart, alpha>mart.
  await session(page, [
    'axe => body ....... ....... - - joined plain', // on load
    'Tab Tab Tab => alpha ....... ....... - - joined plain', // past the search and Fit
    'ArrowRight => fct_orders ....... ....... - - joined plain', // the first child
    'Enter => fct_orders uuxsxdd uuxddxh - fct_orders joined faint', // alpha>mart skips it: on neither side
    'ArrowLeft => alpha uuxsxdd uuxddxh - fct_orders joined faint', // the first parent
    'ArrowUp => alpha uuxsxdd uuxddxh - fct_orders joined faint', // none
    'ArrowDown ArrowDown => report uuxsxdd uuxddxh - fct_orders joined faint',
    'Space => report uuxuxxs uuxuxxx - report joined faint',
    'ArrowUp => fct_orders uuxuxxs uuxuxxx - report joined faint',
    'Escape => fct_orders ....... ....... - - joined plain',
    'click mart => mart uuuuxsx uuxxuuu - mart joined upstream-dashed',
    'axe => mart uuuuxsx uuxxuuu - mart joined upstream-dashed', // with a model selected
    'empty => body ....... ....... - - joined plain',
    'click alpha => alpha sxxdxdd dxxddxd - alpha joined faint',
    'search  bETA  => search xmxxxxx xxxxxxx 1_match alpha joined faint', // trimmed, in any case
    'search  => search sxxdxdd dxxddxd - alpha joined faint',
    'search zzz => search xxxxxxx xxxxxxx no_matches alpha joined faint',
    'Enter => search xxxxxxx xxxxxxx no_matches alpha joined faint',
    'search ma => search xxmxxmx xxxxxxx 2_matches alpha joined faint',
    'Enter => search xxsxddx xxdxxdx - gamma joined downstream', // the first in column order
    'search A => search mmmxmmx xxxxxxx 5_matches gamma joined faint',
    'axe => search mmmxmmx xxxxxxx 5_matches gamma joined faint', // while searching
    'Escape => search mmmxmmx xxxxxxx 5_matches - joined faint', // the selection first
    'Escape => search ....... ....... - - joined plain', // then the search
    'resize => search ....... ....... - - joined plain', // the boxes moved
  ], steps, state);
  await page.setViewportSize({ width: 760, height: 360 }).then(() => fitAndZoom(page, 'fct_orders'));
});

test('the panel: window, days, lookback, lookahead, dbt options with the exclusive end, lineage', async () => {
  const page = await open('windows.html');
  for (const expected of [
    ['leap_day', 'Layer 0', '2024-02-27 .. 2024-02-29', '3 days', 'lookback 3 days', 'lookahead 1 month',
      '--event-time-start 2024-02-27 --event-time-end 2024-03-01', '"(none \u2014 an Entry Node)"', 'year_end'],
    ['year_end', 'Layer 1', '2025-12-31 .. 2025-12-31', '1 day', 'lookback 1 week', 'lookahead 0 days',
      '--event-time-start 2025-12-31 --event-time-end 2026-01-01', 'leap_day', '"(none \u2014 nothing downstream is selected)"'],
  ]) {
    await page.click(box(expected[0]));
    assert.deepEqual(await page.$$eval('#panel-content > [id]:not(#panel-dbt-options), #panel-dbt-options code', (all) => all.map((e) =>
      (e.tagName === 'UL' ? [...e.children].map((li) => li.textContent).join(', ') || getComputedStyle(e, '::before').content
        : e.textContent))), expected);
  }
});

test('markup in a name is shown as text and runs nothing; an empty plan opens without error', async () => {
  const page = await open('hostile.html');
  assert.deepEqual(await page.$$eval('.node-box', (all) => all.map((b) => [b.dataset.name, b.querySelector('.node-name').textContent,
    b.title])), [[HOSTILE, HOSTILE, HOSTILE], ['child', 'child', 'child']]);
  await page.click(box('child')).then(() => page.click('#panel-upstream li'));
  assert.equal(await shown(page), HOSTILE);
  await open('empty.html');
});

test('5,000 models: edges near the view drawn, a jump draws the rest in the current look; the map, Fit, zoom', async () => {
  const page = await open('large.html');
  const into = async (name) => (await drawn(page)).filter((e) => e.downstream === name).map((e) => e.look);
  const count = (await drawn(page)).length;
  assert.ok(count > 0 && count < 15000, `${count} edges drawn`);
  await page.fill('#search', 'model_l12_100').then(() => page.press('#search', 'Enter')).then(() => settle(page));
  assert.deepEqual([await into('model_l12_100'), joins(await drawn(page))], [Array(3).fill('highlighted upstream'), 'joined']);
  // Boxes out of view when the look changed take it when they come back.
  await page.fill('#search', 'model_l00_00').then(() => page.$eval('#graph-scroll', (s) => s.scrollTo(0, 0))).then(() => settle(page));
  assert.deepEqual([await page.$$eval('.node-box', (all) => [all[1].className, all[10].className]), await into('model_l01_001')],
    [['node-box search-match', 'node-box dimmed'], Array(3).fill('dimmed')]);
  // A press, then a drag, on the map: the middle of the view as shares of the graph, and of its mark as shares of the map.
  const map = await page.locator('#overview canvas').boundingBox();
  const at = (xy, steps) => page.mouse.move(...xy.split(' ').map((v, i) => [map.x, map.y][i] + v * [map.width, map.height][i]), { steps });
  await session(page, ['press 0.5 0.5 => 0.5 0.5 0.5 0.5', 'drag 0.3 0.7 => 0.3 0.7 0.3 0.7'], {
    press: (xy) => at(xy).then(() => page.mouse.down()).then(() => page.mouse.up()).then(() => settle(page)),
    drag: (xy) => page.mouse.down().then(() => at(xy, 4)).then(() => page.mouse.up()).then(() => settle(page)),
  }, () => page.evaluate(() => {
    const [s, area] = [document.getElementById('graph-scroll'), document.getElementById('edges-area')];
    const [m, v] = ['#overview canvas', '.overview-view'].map((q) => document.querySelector(q).getBoundingClientRect());
    return [(s.scrollLeft + s.clientWidth / 2) / area.offsetWidth, (s.scrollTop + s.clientHeight / 2) / area.offsetHeight,
      ((v.left + v.right) / 2 - m.left) / m.width, ((v.top + v.bottom) / 2 - m.top) / m.height].map((v) => v.toFixed(1)).join(' ');
  }));
  await fitAndZoom(page, 'model_l00_001'); // drawn in the canvas at a tenth
});
