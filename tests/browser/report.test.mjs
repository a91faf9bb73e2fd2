import assert from 'node:assert/strict';
import { after, afterEach, before, describe, test } from 'node:test';
import { launch, nextFrame, openReport } from './harness.mjs';

const LONG_NAME = (() => {
  let name = '';
  while (name.length < 180) {
    name += 'very_long_model_name_without_any_space_';
  }
  return name + 'end';
})();
const HOSTILE_NAME = '</script><img src=x onerror="window.pwned=1"><!--&amp;';
const NO_UPSTREAM_TEXT = '"(none \u2014 an Entry Node)"';
const NO_DOWNSTREAM_TEXT = '"(none \u2014 nothing downstream is selected)"';

let browser;
let opened = [];

before(async () => {
  browser = await launch();
});
after(async () => {
  await browser?.close();
});

async function open(name, media) {
  const report = await openReport(browser.context, name, media);
  opened.push(report);
  return report.page;
}

// Every page of every test: nothing but the page itself was requested and no
// error reached the console.
afterEach(async () => {
  for (const report of opened) {
    assert.deepEqual(report.trouble(), { requests: [], errors: [] });
    await report.page.close();
  }
  opened = [];
});

function columns(page) {
  return page.$$eval('#layers > .layer-col', (cols) =>
    cols.map((col) => ({
      left: col.getBoundingClientRect().left,
      boxes: [...col.querySelectorAll('.node-box')].map((box) => ({
        dataName: box.dataset.name,
        name: box.querySelector('.node-name').textContent,
        layer: box.querySelector('.node-layer').textContent,
        window: box.querySelector('.node-window').textContent,
      })),
    })),
  );
}

function boxClasses(page) {
  return page.$$eval('.node-box', (boxes) =>
    Object.fromEntries(boxes.map((box) => [box.dataset.name, box.className])),
  );
}

function edgeClasses(page) {
  return page.$$eval('#edges path', (paths) =>
    Object.fromEntries(
      paths.map((p) => [`${p.dataset.upstream}->${p.dataset.downstream}`, p.getAttribute('class')]),
    ),
  );
}

function panel(page) {
  return page.evaluate(() => {
    const shown = (id) => getComputedStyle(document.getElementById(id)).display !== 'none';
    const items = (id) => [...document.querySelectorAll(`#${id} li`)].map((li) => li.textContent);
    const emptyText = (id) =>
      getComputedStyle(document.getElementById(id), '::before').content;
    return {
      emptyShown: shown('panel-empty'),
      contentShown: shown('panel-content'),
      title: document.getElementById('panel-title').textContent,
      layer: document.getElementById('panel-layer').textContent,
      window: document.getElementById('panel-window').textContent,
      upstream: items('panel-upstream'),
      downstream: items('panel-downstream'),
      upstreamEmptyText: emptyText('panel-upstream'),
      downstreamEmptyText: emptyText('panel-downstream'),
    };
  });
}

const box = (name) => `.node-box[data-name="${name}"]`;

function edgeGeometry(page) {
  return page.evaluate(() => {
    const layers = document.getElementById('layers');
    const origin = layers.getBoundingClientRect();
    const side = (name) => {
      const r = document
        .querySelector(`.node-box[data-name="${CSS.escape(name)}"]`)
        .getBoundingClientRect();
      return {
        left: r.left - origin.left,
        right: r.right - origin.left,
        middle: r.top + r.height / 2 - origin.top,
      };
    };
    const svg = document.getElementById('edges');
    return {
      size: [svg.getAttribute('width'), svg.getAttribute('height'), svg.getAttribute('viewBox')],
      layersSize: [layers.scrollWidth, layers.scrollHeight],
      edges: [...svg.querySelectorAll('path')].map((p) => ({
        cls: p.getAttribute('class'),
        upstream: p.dataset.upstream,
        downstream: p.dataset.downstream,
        d: p.getAttribute('d'),
        from: side(p.dataset.upstream),
        to: side(p.dataset.downstream),
      })),
    };
  });
}

// Each path runs from the middle of its parent's right side to the middle of
// its child's left side, as a cubic curve with horizontal tangents.
function assertEdgesJoinTheirBoxes(drawn) {
  for (const e of drawn.edges) {
    const [x1, y1, x2, y2] = [e.from.right, e.from.middle, e.to.left, e.to.middle];
    const dx = Math.max(40, (x2 - x1) / 2);
    assert.equal(e.d, `M ${x1} ${y1} C ${x1 + dx} ${y1}, ${x2 - dx} ${y2}, ${x2} ${y2}`);
  }
}

describe('layout', () => {
  test('one column per present layer, ascending, boxes ordered by name', async () => {
    const page = await open('basic.html');
    const cols = await columns(page);
    assert.deepEqual(
      cols.map((col) => col.boxes.map((b) => b.name)),
      [['alpha', 'Beta', 'gamma'], ['fct_orders', LONG_NAME], ['mart', 'report']],
    );
    assert.deepEqual(
      cols.map((col) => col.boxes.map((b) => b.layer)),
      [['layer 0', 'layer 0', 'layer 0'], ['layer 1', 'layer 1'], ['layer 3', 'layer 3']],
    );
    assert.ok(cols[0].left < cols[1].left && cols[1].left < cols[2].left, 'side by side');
    const fct = cols[1].boxes[0];
    assert.equal(fct.dataName, 'fct_orders');
    assert.equal(fct.window, '2026-12-01 .. 2026-12-04');
    const shownLayer = await page.$eval(box('mart'), (b) =>
      getComputedStyle(b.querySelector('.node-layer')).textTransform,
    );
    assert.equal(shownLayer, 'uppercase');
  });

  test('one edge per parent, from the right middle of the parent to the left middle of the child', async () => {
    const page = await open('basic.html');
    const drawn = await edgeGeometry(page);
    const [w, h] = drawn.layersSize;
    assert.deepEqual(drawn.size, [String(w), String(h), `0 0 ${w} ${h}`]);
    assert.deepEqual(
      drawn.edges.map((e) => `${e.upstream}->${e.downstream}`),
      [
        'alpha->fct_orders',
        'Beta->fct_orders',
        `gamma->${LONG_NAME}`,
        'fct_orders->report',
        'fct_orders->mart',
        'gamma->mart',
        'alpha->mart',
      ],
    );
    for (const e of drawn.edges) {
      assert.equal(e.cls, 'edge');
    }
    assertEdgesJoinTheirBoxes(drawn);
  });

  test('a long name is cut short in its box, whole in its tooltip, wrapped in the panel', async () => {
    const page = await open('basic.html');
    await page.click(box(LONG_NAME));
    const measured = await page.evaluate((name) => {
      const b = document.querySelector(`.node-box[data-name="${name}"]`);
      const label = b.querySelector('.node-name');
      const title = document.getElementById('panel-title');
      const lineHeight = (el) => parseFloat(getComputedStyle(el).fontSize) * 2;
      return {
        boxWidth: b.getBoundingClientRect().width,
        tooltip: b.title,
        labelCut: label.scrollWidth > label.clientWidth,
        labelOneLine: label.getBoundingClientRect().height < lineHeight(label),
        labelOverflow: getComputedStyle(label).textOverflow,
        titleWraps: title.getBoundingClientRect().height > lineHeight(title),
        titleFits: title.scrollWidth <= title.clientWidth,
        titleText: title.textContent,
        shortBoxWidth: document.querySelector('.node-box[data-name="alpha"]').getBoundingClientRect().width,
        shortLabelCut: (() => {
          const l = document.querySelector('.node-box[data-name="alpha"] .node-name');
          return l.scrollWidth > l.clientWidth;
        })(),
      };
    }, LONG_NAME);
    assert.deepEqual(measured, {
      boxWidth: 320,
      tooltip: LONG_NAME,
      labelCut: true,
      labelOneLine: true,
      labelOverflow: 'ellipsis',
      titleWraps: true,
      titleFits: true,
      titleText: LONG_NAME,
      shortBoxWidth: measured.shortBoxWidth,
      shortLabelCut: false,
    });
    assert.ok(measured.shortBoxWidth >= 160 && measured.shortBoxWidth < 320);
  });

  test('an empty plan shows no box, no edge and the empty panel', async () => {
    const page = await open('empty.html');
    assert.equal(await page.locator('.node-box').count(), 0);
    assert.equal(await page.locator('#edges path').count(), 0);
    const state = await panel(page);
    assert.ok(state.emptyShown && !state.contentShown);
  });
});

describe('selection', () => {
  test('clicking a box lights its lineage, dims the rest and fills the panel', async () => {
    const page = await open('basic.html');
    await page.click(box('report'));
    assert.deepEqual(await boxClasses(page), {
      alpha: 'node-box highlighted upstream',
      Beta: 'node-box highlighted upstream',
      gamma: 'node-box dimmed',
      fct_orders: 'node-box highlighted upstream',
      [LONG_NAME]: 'node-box dimmed',
      mart: 'node-box dimmed',
      report: 'node-box selected',
    });
    assert.deepEqual(await edgeClasses(page), {
      'alpha->fct_orders': 'edge highlighted upstream',
      'Beta->fct_orders': 'edge highlighted upstream',
      [`gamma->${LONG_NAME}`]: 'edge dimmed',
      'fct_orders->report': 'edge highlighted upstream',
      'fct_orders->mart': 'edge dimmed',
      'gamma->mart': 'edge dimmed',
      'alpha->mart': 'edge dimmed',
    });
    const state = await panel(page);
    assert.ok(!state.emptyShown && state.contentShown);
    assert.equal(state.title, 'report');
    assert.equal(state.layer, 'Layer 3');
    assert.equal(state.window, '2026-12-01 .. 2026-12-04');
    assert.deepEqual(state.upstream, ['fct_orders']);
    assert.deepEqual(state.downstream, []);
    assert.equal(state.downstreamEmptyText, NO_DOWNSTREAM_TEXT);
    assert.equal(state.upstreamEmptyText, 'none');
  });

  test('the lineage is split into an upstream and a downstream side', async () => {
    const page = await open('basic.html');
    await page.click(box('fct_orders'));
    assert.deepEqual(await boxClasses(page), {
      alpha: 'node-box highlighted upstream',
      Beta: 'node-box highlighted upstream',
      gamma: 'node-box dimmed',
      fct_orders: 'node-box selected',
      [LONG_NAME]: 'node-box dimmed',
      mart: 'node-box highlighted downstream',
      report: 'node-box highlighted downstream',
    });
    assert.deepEqual(await edgeClasses(page), {
      'alpha->fct_orders': 'edge highlighted upstream',
      'Beta->fct_orders': 'edge highlighted upstream',
      [`gamma->${LONG_NAME}`]: 'edge dimmed',
      'fct_orders->report': 'edge highlighted downstream',
      'fct_orders->mart': 'edge highlighted downstream',
      'gamma->mart': 'edge dimmed',
      // From an ancestor straight to a descendant: lit, on neither side.
      'alpha->mart': 'edge highlighted',
    });
  });

  test('an Entry Node lists no upstream and its children in edge order', async () => {
    const page = await open('basic.html');
    await page.click(box('alpha'));
    const state = await panel(page);
    assert.deepEqual(state.upstream, []);
    assert.equal(state.upstreamEmptyText, NO_UPSTREAM_TEXT);
    assert.deepEqual(state.downstream, ['fct_orders', 'mart']);
    assert.equal((await edgeClasses(page))['alpha->mart'], 'edge highlighted downstream');
    assert.equal((await edgeClasses(page))['Beta->fct_orders'], 'edge dimmed');
  });

  test('a panel list item selects its model', async () => {
    const page = await open('basic.html');
    await page.click(box('mart'));
    assert.deepEqual((await panel(page)).upstream, ['fct_orders', 'gamma', 'alpha']);
    await page.click('#panel-upstream li:has-text("gamma")');
    assert.equal((await panel(page)).title, 'gamma');
    assert.equal((await boxClasses(page)).gamma, 'node-box selected');
  });

  test('a click on empty space clears the selection, one on a column keeps it', async () => {
    const page = await open('basic.html');
    await page.click(box('fct_orders'));
    // The gap between two boxes of the first column belongs to the column.
    const gap = await page.evaluate(() => {
      const [a, b] = document.querySelectorAll('.layer-col')[0].querySelectorAll('.node-box');
      const ra = a.getBoundingClientRect();
      const rb = b.getBoundingClientRect();
      return { x: ra.left + 20, y: (ra.bottom + rb.top) / 2 };
    });
    assert.equal(
      await page.evaluate(({ x, y }) => document.elementFromPoint(x, y).className, gap),
      'layer-col',
    );
    await page.mouse.click(gap.x, gap.y);
    assert.equal((await boxClasses(page)).fct_orders, 'node-box selected');
    assert.equal((await panel(page)).title, 'fct_orders');

    // The padding of the layers area.
    const layers = await page.locator('#layers').boundingBox();
    await page.mouse.click(layers.x + 8, layers.y + 8);
    assert.ok(Object.values(await boxClasses(page)).every((c) => c === 'node-box'));
    assert.ok(Object.values(await edgeClasses(page)).every((c) => c === 'edge'));
    let state = await panel(page);
    assert.ok(state.emptyShown && !state.contentShown);

    // The scroll area below the layers.
    await page.click(box('fct_orders'));
    const scroll = await page.locator('#graph-scroll').boundingBox();
    const below = { x: scroll.x + 50, y: scroll.y + scroll.height - 10 };
    assert.equal(
      await page.evaluate(({ x, y }) => document.elementFromPoint(x, y).id, below),
      'graph-scroll',
    );
    await page.mouse.click(below.x, below.y);
    state = await panel(page);
    assert.ok(state.emptyShown && !state.contentShown);
    assert.equal((await boxClasses(page)).fct_orders, 'node-box');
  });
});

test('a name planned twice gets two boxes that light up together', async () => {
  const page = await open('versioned.html');
  await page.click(box('stg_customers'));
  const classes = await page.$$eval('.node-box', (boxes) =>
    boxes.map((b) => [b.dataset.name, b.className]),
  );
  assert.deepEqual(classes, [
    ['stg_customers', 'node-box selected'],
    ['dim_customers', 'node-box highlighted downstream'],
    ['dim_customers', 'node-box highlighted downstream'],
  ]);
  assert.deepEqual((await panel(page)).downstream, ['dim_customers', 'dim_customers']);
});

describe('keyboard', () => {
  test('boxes are buttons in layer order; Enter and Space select, Escape clears selection then search', async () => {
    const page = await open('basic.html');
    const focused = () =>
      page.evaluate(() => {
        const e = document.activeElement;
        return e.dataset.name ?? e.id;
      });
    assert.deepEqual(
      await page.$eval(box('alpha'), (b) => [b.getAttribute('role'), b.innerText]),
      ['button', 'alpha\nLAYER 0\n2026-12-04 .. 2026-12-04'],
    );
    assert.equal(await page.$eval('#search', (s) => s.getAttribute('aria-label')), 'Search models');

    await page.keyboard.press('Tab');
    assert.equal(await focused(), 'search');
    await page.keyboard.press('Tab');
    assert.equal(await focused(), 'fit');
    await page.keyboard.press('Tab');
    assert.equal(await focused(), 'alpha');
    await page.keyboard.press('Enter');
    assert.equal((await panel(page)).title, 'alpha');
    await page.keyboard.press('Tab');
    await page.keyboard.press('Tab');
    assert.equal(await focused(), 'gamma');
    await page.keyboard.press(' ');
    assert.equal((await panel(page)).title, 'gamma');
    assert.equal((await boxClasses(page)).gamma, 'node-box selected');
    assert.equal(await page.$eval('#graph-scroll', (s) => s.scrollTop), 0, 'Space did not scroll');

    for (const _ of ['Beta', 'alpha', 'fit', 'search']) {
      await page.keyboard.press('Shift+Tab');
    }
    assert.equal(await focused(), 'search');
    await page.keyboard.type('fct');
    await page.keyboard.press('Escape');
    let state = await panel(page);
    assert.ok(state.emptyShown && !state.contentShown);
    assert.equal(await page.inputValue('#search'), 'fct');
    assert.equal((await boxClasses(page)).fct_orders, 'node-box search-match');
    await page.keyboard.press('Escape');
    assert.equal(await page.inputValue('#search'), '');
    assert.ok(Object.values(await boxClasses(page)).every((c) => c === 'node-box'));
  });
});

describe('search', () => {
  test('matches a case-insensitive substring and gives the selection back when cleared', async () => {
    const page = await open('basic.html');
    await page.click(box('report'));
    await page.fill('#search', '  ORD ');
    const searched = await boxClasses(page);
    assert.equal(searched.fct_orders, 'node-box search-match');
    for (const [name, cls] of Object.entries(searched)) {
      if (name !== 'fct_orders') {
        assert.equal(cls, 'node-box dimmed', name);
      }
    }
    assert.ok(Object.values(await edgeClasses(page)).every((c) => c === 'edge dimmed'));
    assert.equal((await panel(page)).title, 'report', 'the panel keeps what it shows');

    await page.fill('#search', '');
    const restored = await boxClasses(page);
    assert.equal(restored.report, 'node-box selected');
    assert.equal(restored.fct_orders, 'node-box highlighted upstream');
    assert.equal((await edgeClasses(page))['fct_orders->report'], 'edge highlighted upstream');
  });

  test('selecting a model clears the search box', async () => {
    const page = await open('basic.html');
    await page.fill('#search', 'a');
    await page.click(box('gamma'));
    assert.equal(await page.inputValue('#search'), '');
    assert.equal((await boxClasses(page)).gamma, 'node-box selected');
  });
});

// Where a box sits in the view: how far its centre is from the view's centre,
// and whether it is wholly inside.
function placeInView(page, name) {
  return page.evaluate((n) => {
    const view = document.getElementById('graph-scroll').getBoundingClientRect();
    const r = document.querySelector(`.node-box[data-name="${CSS.escape(n)}"]`).getBoundingClientRect();
    return {
      offCentre: Math.hypot(
        (r.left + r.right) / 2 - (view.left + view.right) / 2,
        (r.top + r.bottom) / 2 - (view.top + view.bottom) / 2,
      ),
      inside: r.left >= view.left && r.right <= view.right && r.top >= view.top && r.bottom <= view.bottom,
    };
  }, name);
}

describe('finding a model', () => {
  test('the search counts matches and Enter opens the first one shown', async () => {
    const page = await open('basic.html');
    const count = () => page.textContent('#search-count');
    for (const [query, shown] of [
      ['A', '5 matches'],
      ['ord', '1 match'],
      ['zzz', 'no matches'],
      ['', ''],
    ]) {
      await page.fill('#search', query);
      assert.equal(await count(), shown, JSON.stringify(query));
    }
    await page.fill('#search', 'zzz');
    await page.press('#search', 'Enter');
    assert.ok((await panel(page)).emptyShown, 'no match selects nothing');

    // alpha, Beta and gamma share the first column; alpha is at its top.
    await page.fill('#search', 'A');
    await page.press('#search', 'Enter');
    assert.equal((await panel(page)).title, 'alpha');
    assert.equal((await boxClasses(page)).alpha, 'node-box selected');
    assert.equal(await page.inputValue('#search'), '');
    assert.equal(await count(), '');
  });

  test('a model chosen by search or from the panel is scrolled to the middle, lit', async () => {
    const page = await open('large.html');
    await page.fill('#search', 'model_l12_100');
    await page.press('#search', 'Enter');
    await nextFrame(page);
    const place = await placeInView(page, 'model_l12_100');
    assert.ok(place.offCentre < 2, `off centre by ${place.offCentre}`);
    const lit = await page.$$eval('#edges path[data-downstream="model_l12_100"]', (paths) =>
      paths.map((p) => p.getAttribute('class')),
    );
    assert.deepEqual(lit, Array(3).fill('edge highlighted upstream'));

    const parent = await page.textContent('#panel-upstream li');
    await page.click('#panel-upstream li');
    await nextFrame(page);
    assert.equal((await panel(page)).title, parent);
    assert.ok((await placeInView(page, parent)).inside, `${parent} is in view`);
  });

  test('arrow keys on a box go to its first parent and first child', async () => {
    const page = await open('basic.html');
    const focused = () => page.evaluate(() => document.activeElement.dataset.name);
    await page.focus(box('fct_orders'));
    for (const [key, lands] of [
      ['ArrowRight', 'report'],
      ['ArrowLeft', 'fct_orders'],
      ['ArrowUp', 'alpha'],
      ['ArrowUp', 'alpha'],
      ['ArrowDown', 'fct_orders'],
      ['ArrowDown', 'report'],
      ['ArrowDown', 'report'],
    ]) {
      await page.keyboard.press(key);
      assert.equal(await focused(), lands, key);
    }
    assert.ok((await panel(page)).emptyShown, 'moving selects nothing');
  });
});

describe('window details', () => {
  const shown = ['#panel-days', '#panel-lookback', '#panel-lookahead', '#panel-dbt-options code'];
  for (const [model, ...details] of [
    ['leap_day', '3 days', 'lookback 3 days', 'lookahead 1 month',
      '--event-time-start 2024-02-27 --event-time-end 2024-03-01'],
    ['year_end', '1 day', 'lookback 1 week', 'lookahead 0 days',
      '--event-time-start 2025-12-31 --event-time-end 2026-01-01'],
  ]) {
    test(`${model}: the panel shows days, lookback and lookahead, and copies dbt's exclusive end`, async () => {
      await browser.context.grantPermissions(['clipboard-read', 'clipboard-write']);
      const page = await open('windows.html');
      await page.click(box(model));
      const text = (selector) => page.textContent(selector);
      assert.deepEqual(await Promise.all(shown.map(text)), details);
      await page.click('#panel-copy');
      await page.waitForFunction(() => document.getElementById('panel-copy').textContent !== 'Copy');
      assert.equal(await text('#panel-copy'), 'Copied');
      assert.equal(await page.evaluate(() => navigator.clipboard.readText()), details[3]);
    });
  }
});

describe('zoom', () => {
  const rectOf = (page, selector) =>
    page.$eval(selector, (e) => {
      const r = e.getBoundingClientRect();
      return { left: r.left, right: r.right, top: r.top, bottom: r.bottom };
    });
  const near = (a, b) => Math.abs(a - b) < 1;

  test('Fit shrinks the whole graph into view and back; boxes stay clickable and edges stay on them', async () => {
    const page = await open('basic.html');
    await page.setViewportSize({ width: 760, height: 360 });
    const atActualSize = await rectOf(page, box('report'));
    assert.equal(await page.textContent('#fit'), 'Fit');

    await page.click('#fit');
    assert.equal(await page.textContent('#fit'), '100%');
    const fitted = await page.evaluate(() => {
      const view = document.getElementById('graph-scroll');
      const v = view.getBoundingClientRect();
      const inside = [...document.querySelectorAll('.node-box')].every((b) => {
        const r = b.getBoundingClientRect();
        return r.left >= v.left && r.right <= v.right && r.top >= v.top && r.bottom <= v.bottom;
      });
      return { inside, scrolls: view.scrollWidth > view.clientWidth || view.scrollHeight > view.clientHeight };
    });
    assert.deepEqual(fitted, { inside: true, scrolls: false });

    // An edge runs from its parent's right side to its child's left side as drawn.
    const [edge, alpha, fct] = await Promise.all([
      rectOf(page, '#edges path[data-upstream="alpha"][data-downstream="fct_orders"]'),
      rectOf(page, box('alpha')),
      rectOf(page, box('fct_orders')),
    ]);
    assert.ok(near(edge.left, alpha.right) && near(edge.right, fct.left), JSON.stringify({ edge, alpha, fct }));

    await page.click(box('report'));
    assert.equal((await panel(page)).title, 'report');
    assert.equal((await edgeClasses(page))['fct_orders->report'], 'edge highlighted upstream');

    await page.click('#fit');
    assert.equal(await page.textContent('#fit'), 'Fit');
    assert.deepEqual(await rectOf(page, box('report')), atActualSize);
  });

  test('Ctrl + wheel zooms about the pointer; the wheel alone scrolls', async () => {
    const page = await open('large.html');
    const target = await rectOf(page, box('model_l01_002'));
    const x = target.left + 20;
    const y = (target.top + target.bottom) / 2;
    const under = () =>
      page.evaluate(([px, py]) => document.elementFromPoint(px, py).closest('.node-box')?.dataset.name, [x, y]);
    await page.mouse.move(x, y);
    await page.keyboard.down('Control');
    await page.mouse.wheel(0, -200);
    await page.keyboard.up('Control');
    await nextFrame(page);
    const zoomed = await rectOf(page, box('model_l01_002'));
    assert.ok(zoomed.right - zoomed.left > 1.3 * (target.right - target.left), 'boxes grew');
    assert.equal(await under(), 'model_l01_002');
    await page.mouse.click(x, y);
    assert.equal((await panel(page)).title, 'model_l01_002');

    const top = await page.$eval('#graph-scroll', (s) => s.scrollTop);
    await page.mouse.wheel(0, 300);
    await page.waitForFunction((t) => document.getElementById('graph-scroll').scrollTop > t, top);
    assert.equal(await page.textContent('#fit'), '100%', 'the zoom is unchanged');
  });
});

describe('panel resizing', () => {
  test('dragging the handle is clamped between 240 and the width of main minus 300', async () => {
    const page = await open('basic.html');
    const handle = await page.locator('#panel-resize-handle').boundingBox();
    const mainWidth = (await page.locator('#main').boundingBox()).width;
    const panelWidth = async () => (await page.locator('#panel').boundingBox()).width;
    assert.equal(await panelWidth(), 340);

    await page.mouse.move(handle.x + 3, handle.y + 100);
    await page.mouse.down();
    assert.equal(await page.getAttribute('#panel-resize-handle', 'class'), 'resizing');
    assert.equal(await page.evaluate(() => document.body.style.userSelect), 'none');
    await page.mouse.move(handle.x + 3 - 100, handle.y + 100);
    assert.equal(await panelWidth(), 440, 'dragging to the left widens the panel');
    await page.mouse.move(0, handle.y + 100);
    assert.equal(await panelWidth(), mainWidth - 300);
    await page.mouse.move(1279, handle.y + 100);
    assert.equal(await panelWidth(), 240);
    await page.mouse.up();
    assert.equal(await page.getAttribute('#panel-resize-handle', 'class'), '');
    assert.equal(await page.evaluate(() => document.body.style.userSelect), '');
  });

  test('a narrow window keeps the panel at 240', async () => {
    const page = await open('basic.html');
    await page.setViewportSize({ width: 500, height: 600 });
    const handle = await page.locator('#panel-resize-handle').boundingBox();
    await page.mouse.move(handle.x + 3, handle.y + 50);
    await page.mouse.down();
    await page.mouse.move(0, handle.y + 50);
    await page.mouse.up();
    assert.equal((await page.locator('#panel').boundingBox()).width, 240);
  });
});

describe('redrawing edges', () => {
  // Wider boxes move every edge end, so the next redraw builds new paths.
  const moveTheBoxes = (page) => page.addStyleTag({ content: '.node-box { min-width: 220px; }' });

  test('a window resize keeps the selection highlight on the rebuilt edges', async () => {
    const page = await open('basic.html');
    await page.click(box('report'));
    const before = await edgeClasses(page);
    const firstEdge = await page.$('#edges path');
    await moveTheBoxes(page);
    await page.setViewportSize({ width: 900, height: 500 });
    await nextFrame(page);
    assert.equal(await firstEdge.evaluate((p) => p.isConnected), false, 'edges were rebuilt');
    assert.deepEqual(await edgeClasses(page), before);
    assertEdgesJoinTheirBoxes(await edgeGeometry(page));
  });

  test('a panel drag keeps the selection highlight, and a search highlight too', async () => {
    const page = await open('basic.html');
    await page.click(box('alpha'));
    const before = await edgeClasses(page);
    const firstEdge = await page.$('#edges path');
    await moveTheBoxes(page);
    const handle = await page.locator('#panel-resize-handle').boundingBox();
    await page.mouse.move(handle.x + 3, handle.y + 100);
    await page.mouse.down();
    await page.mouse.move(handle.x - 150, handle.y + 100);
    await page.mouse.up();
    assert.equal(await firstEdge.evaluate((p) => p.isConnected), false, 'edges were rebuilt');
    assert.deepEqual(await edgeClasses(page), before);
    assertEdgesJoinTheirBoxes(await edgeGeometry(page));

    await page.fill('#search', 'beta');
    await page.addStyleTag({ content: '.node-box { min-width: 240px; }' });
    await page.setViewportSize({ width: 1000, height: 700 });
    await nextFrame(page);
    assert.ok(Object.values(await edgeClasses(page)).every((c) => c === 'edge dimmed'));
    assert.equal((await boxClasses(page)).Beta, 'node-box search-match');
  });

  test('a redraw that moves nothing keeps the drawn edges', async () => {
    const page = await open('basic.html');
    await page.click(box('report'));
    const before = await edgeClasses(page);
    await page.setViewportSize({ width: 1100, height: 700 });
    await nextFrame(page);
    assert.deepEqual(await edgeClasses(page), before);
    const drawn = await edgeGeometry(page);
    const [w, h] = drawn.layersSize;
    assert.deepEqual(drawn.size, [String(w), String(h), `0 0 ${w} ${h}`]);
    assertEdgesJoinTheirBoxes(drawn);
  });
});

describe('banner', () => {
  test('a defaulted window shows the note first in the root', async () => {
    const page = await open('defaulted.html');
    const first = await page.$eval('.viz-root', (root) => ({
      id: root.firstElementChild.id,
      attributes: root.firstElementChild.getAttributeNames(),
      text: root.firstElementChild.textContent,
    }));
    assert.deepEqual(first, {
      id: 'default-yesterday-banner',
      attributes: ['id'],
      text:
        'note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node ' +
        'to yesterday (2026-12-04)',
    });
  });

  test('an explicit window has no banner element at all', async () => {
    const page = await open('basic.html');
    assert.equal(await page.locator('#default-yesterday-banner').count(), 0);
    assert.equal(await page.$eval('.viz-root', (root) => root.firstElementChild.id), 'toolbar');
  });
});

// WCAG contrast ratio of two computed colours ("rgb(r, g, b)").
function contrast(a, b) {
  const luminance = (colour) => {
    const [r, g, bl] = colour
      .match(/[\d.]+/g)
      .slice(0, 3)
      .map((c) => Number(c) / 255)
      .map((c) => (c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4));
    return 0.2126 * r + 0.7152 * g + 0.0722 * bl;
  };
  const [light, dark] = [luminance(a), luminance(b)].sort((x, y) => y - x);
  return (light + 0.05) / (dark + 0.05);
}

describe('appearance', () => {
  for (const [scheme, surface] of [
    ['light', 'rgb(252, 252, 251)'],
    ['dark', 'rgb(26, 26, 25)'],
  ]) {
    test(`${scheme} scheme: boxes on the surface, edges legible, the two sides of a lineage apart`, async () => {
      const page = await open('basic.html', { colorScheme: scheme });
      const plain = await page.evaluate(() => ({
        box: getComputedStyle(document.querySelector('.node-box')).backgroundColor,
        scheme: getComputedStyle(document.querySelector('.viz-root')).colorScheme,
        edge: getComputedStyle(document.querySelector('#edges path')).stroke,
      }));
      assert.deepEqual([plain.box, plain.scheme], [surface, scheme]);
      await page.click(box('fct_orders'));
      // Colours fade in; the flowing dashes never end.
      await page.evaluate(() =>
        Promise.all(
          document
            .getAnimations()
            .filter((a) => a.effect.getComputedTiming().iterations !== Infinity)
            .map((a) => a.finished),
        ),
      );
      const lit = await page.evaluate(() => {
        const style = (selector) => getComputedStyle(document.querySelector(selector));
        return {
          background: getComputedStyle(document.body).backgroundColor,
          upstream: style('#edges path.upstream').stroke,
          downstream: style('#edges path.downstream').stroke,
          upstreamBox: style('.node-box.upstream').borderTopColor,
          downstreamBox: style('.node-box.downstream').borderTopColor,
          selectedOutline: style('.node-box.selected').outlineStyle,
          lineageOutline: style('.node-box.highlighted').outlineStyle,
          legend: [...document.querySelectorAll('.legend-item')].map((item) => [
            item.textContent,
            getComputedStyle(item.firstElementChild).backgroundColor,
          ]),
        };
      });
      for (const edge of [plain.edge, lit.upstream, lit.downstream]) {
        const ratio = contrast(edge, lit.background);
        assert.ok(ratio >= 3, `${edge} on ${lit.background}: ${ratio.toFixed(2)}`);
      }
      assert.notEqual(lit.upstream, lit.downstream);
      assert.deepEqual([lit.upstreamBox, lit.downstreamBox], [lit.upstream, lit.downstream]);
      assert.deepEqual([lit.selectedOutline, lit.lineageOutline], ['solid', 'none']);
      assert.deepEqual(lit.legend.slice(1), [
        ['upstream', lit.upstream],
        ['downstream', lit.downstream],
      ]);
    });
  }

  test('highlighted edges flow unless the viewer prefers reduced motion', async () => {
    const page = await open('basic.html');
    await page.click(box('report'));
    const animation = () =>
      page.$eval('#edges path.highlighted', (p) => getComputedStyle(p).animationName);
    assert.equal(await animation(), 'flow');
    const lit = await page.$eval('#edges path.highlighted', (p) => [
      getComputedStyle(p).strokeDasharray,
      getComputedStyle(document.querySelector('.node-box')).transitionDuration,
    ]);
    assert.deepEqual(lit, ['7px, 5px', '0.15s, 0.15s, 0.15s']);
    // The width fades in over 0.15 s.
    await page.waitForFunction(
      () => getComputedStyle(document.querySelector('#edges path.highlighted')).strokeWidth === '2.25px',
      null,
      { timeout: 2000 },
    );
    await page.emulateMedia({ reducedMotion: 'reduce' });
    assert.equal(await animation(), 'none');
  });
});

describe('hostile names', () => {
  test('markup in a name is shown as text and injects nothing', async () => {
    const page = await open('hostile.html');
    const boxes = await columns(page);
    assert.deepEqual(
      boxes.map((col) => col.boxes.map((b) => [b.dataName, b.name])),
      [[[HOSTILE_NAME, HOSTILE_NAME]], [['child', 'child']]],
    );
    await page.click(box('child'));
    const state = await panel(page);
    assert.deepEqual(state.upstream, [HOSTILE_NAME]);
    await page.click('#panel-upstream li');
    assert.equal((await panel(page)).title, HOSTILE_NAME);
    const injected = await page.evaluate(() => ({
      images: document.querySelectorAll('img').length,
      scripts: document.querySelectorAll('script').length,
      pwned: window.pwned === undefined ? null : window.pwned,
      comments: document.createNodeIterator(document, NodeFilter.SHOW_COMMENT).nextNode(),
    }));
    assert.deepEqual(injected, { images: 0, scripts: 1, pwned: null, comments: null });
    assert.equal(await page.locator('#edges path').count(), 1);
  });
});

describe('scale', () => {
  const drawnInto = (page, name) =>
    page.$$eval(`#edges path[data-downstream="${name}"]`, (paths) =>
      paths.map((p) => p.getAttribute('class')),
    );
  const scrollTo = async (page, top) => {
    await page.$eval('#graph-scroll', (s, y) => s.scrollTo(0, y), top);
    await nextFrame(page);
    await nextFrame(page);
  };

  test('5,000 models: edges are drawn near the view, and a scroll brings the rest up to date', async () => {
    const page = await open('large.html');
    const counts = await page.evaluate(() => ({
      columns: document.querySelectorAll('.layer-col').length,
      boxes: document.querySelectorAll('.node-box').length,
    }));
    assert.deepEqual(counts, { columns: 25, boxes: 5000 });
    const drawn = await page.locator('#edges path').count();
    assert.ok(drawn > 0 && drawn < 15000, `${drawn} edges drawn`);
    assert.deepEqual(await drawnInto(page, 'model_l24_199'), []);
    assert.equal((await drawnInto(page, 'model_l01_001')).length, 3);

    // Far down the last column: its three edges appear, lit, and the top ones go.
    await page.click(box('model_l24_199'));
    await nextFrame(page);
    assert.deepEqual(await drawnInto(page, 'model_l24_199'), Array(3).fill('edge highlighted upstream'));
    assert.deepEqual(await drawnInto(page, 'model_l01_001'), []);

    // Boxes out of view when the look changed take it when they come back.
    await page.fill('#search', 'model_l00_00');
    await scrollTo(page, 0);
    const classes = await boxClasses(page);
    assert.equal(classes.model_l00_001, 'node-box search-match');
    assert.equal(classes.model_l00_010, 'node-box dimmed');
    assert.deepEqual(await drawnInto(page, 'model_l01_001'), Array(3).fill('edge dimmed'));
  });

  test('5,000 models highlight solid and without fades', async () => {
    const page = await open('large.html');
    await page.click(box('model_l12_100'));
    const state = await page.evaluate(() => {
      const lit = document.querySelector('#edges path.highlighted');
      const style = getComputedStyle(lit);
      return {
        selected: document.querySelectorAll('.node-box.selected').length,
        dash: style.strokeDasharray,
        animation: style.animationName,
        fade: getComputedStyle(document.querySelector('.node-box')).transitionDuration,
        stroke: style.stroke,
      };
    });
    assert.deepEqual(state, {
      selected: 1,
      dash: 'none',
      animation: 'none',
      fade: '0s',
      stroke: 'rgb(180, 83, 9)',
    });
  });
});
