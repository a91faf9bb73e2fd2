(function () {
  'use strict';

  const [PANEL_MIN_WIDTH, GRAPH_MIN_WIDTH] = [240, 300];
  // Above this many boxes and edges the style sheet drops the fades, which cost more than the highlight.
  const MANY_ELEMENTS = 400;
  // The canvas covers the view and this margin (screen pixels), so a short scroll only moves it.
  const VIEW_MARGIN = 200;
  const [MIN_ZOOM, MAX_ZOOM, WHEEL_ZOOM_RATE] = [0.1, 2, 0.002];
  // Below this scale a large graph's boxes are drawn in the canvas and moved far out of view, where
  // none is painted (hiding them any other way repaints or restyles every box); a click finds its box
  // by the measured rectangles.
  const OVERVIEW_ZOOM = 0.5;
  const OUT_OF_VIEW = 'translateX(-100000px)';
  // Edges and outlines never get thinner on screen than this share of their width.
  const MIN_LINE_SCALE = 0.5;
  const [MAP_WIDTH, MAP_HEIGHT, MAP_INSET] = [160, 320, 24];

  // Each look of an edge, in drawing order. A line one pixel wide costs a fifth of a wider one, so lit
  // edges are wider only while few are in view. The upstream side is dashed by cutting a checkerboard
  // out of a canvas of its own: the canvas's own dashes cost several times as much.
  const EDGE_LOOKS = [
    { look: 'dimmed', colour: '--edge-line', alpha: 0.18 },
    { look: '', colour: '--edge-line' },
    { look: 'highlighted', colour: '--series-model', lit: true },
    { look: 'highlighted downstream', colour: '--series-model', lit: true },
    { look: 'highlighted upstream', colour: '--series-upstream', lit: true, dashed: true },
  ];
  const [LIT_WIDTH, MANY_LIT_PIECES] = [2, 400];
  // The side of one checkerboard square, in screen pixels.
  const DASH = 4;
  // How the canvases draw a box in each state: zoomed out in the view, and on the map.
  const PLAIN_BOX = { stroke: '--edge-line', width: 1, map: '--edge-line' };
  const LIT_BOX = { stroke: '--series-model', width: 2, map: '--series-model' };
  const BOX_LOOKS = {
    '': PLAIN_BOX,
    dimmed: { ...PLAIN_BOX, alpha: 0.28, map: '--gridline' },
    selected: { fill: '--series-model', stroke: '--series-model', width: 2, map: '--text-primary' },
    'search-match': LIT_BOX,
    'highlighted downstream': LIT_BOX,
    'highlighted upstream': { stroke: '--series-upstream', width: 2, map: '--series-upstream' },
  };
  // The map's colours in drawing order, the selection on top.
  const MAP_COLOURS = ['--gridline', '--edge-line', '--series-model', '--series-upstream', '--text-primary'];
  const PALETTE = ['--surface-1', ...MAP_COLOURS];
  // The pieces of a route: straight, a curve with level ends, the turns into and out of a lane, a run.
  const [LINE, CURVE, INTO_LANE, OUT_OF_LANE, RUN] = [0, 1, 2, 3, 4];
  // Lanes in each 64-pixel channel between columns, from 20 pixels in, 4 apart.
  const [LANES, LANE_INSET, LANE_SPACING, TURN_RADIUS] = [7, 20, 4, 12];
  const DAY_MS = 86400000;

  const data = window.TARN_DBT_PLAN_DATA || {};
  const nodes = Array.isArray(data.nodes) ? data.nodes : [];
  const edges = Array.isArray(data.edges) ? data.edges : [];

  const byName = new Map(nodes.map((node) => [node.name, node]));
  const [upstreamOf, downstreamOf] = [new Map(), new Map()];
  for (const edge of edges) {
    entryFor(upstreamOf, edge.downstream).push(edge);
    entryFor(downstreamOf, edge.upstream).push(edge);
  }

  let selectedName = null;
  // Every box with its name, column and class now (a plan may list a name twice, as for a versioned model).
  const boxEls = [];
  // Measured after layout, in unscaled pixels from the top-left corner of layers: each box's rectangle
  // (parallel to boxEls), each edge's route, the size of layers, and the layout they were measured in.
  let boxRects = [];
  let routes = [];
  let graphSize = { width: 0, height: 0 };
  let layoutShape = '';
  // How boxes and edges should look now.
  let rule = { box: () => '', edge: () => '' };
  // The part of the scrolled content the canvas covers (screen pixels), and the routes drawn there.
  let [drawnRegion, drawnRoutes] = [null, []];
  let frameQueued = false;
  let [mapStale, mapDrawnScale] = [true, 0];
  let [palette, dashPattern] = [{}, null];
  let zoom = 1;
  // The scale the boxes are drawn at: the zoom, or 1 while moved out of view.
  let layersScale = 1;

  const byId = (id) => document.getElementById(id);
  const rootEl = document.querySelector('.viz-root');
  const layersEl = byId('layers');
  const scrollEl = byId('graph-scroll');
  const searchEl = byId('search');
  const panelEl = byId('panel');
  const panelContentEl = byId('panel-content');
  // An area as large as the scaled graph clips the canvas, which must not widen the scroll range.
  const edgesEl = el('canvas', { id: 'edges' });
  const edgesAreaEl = el('div', { id: 'edges-area' }, edgesEl);
  byId('edges').replaceWith(edgesAreaEl);
  const edgesCtx = edgesEl.getContext('2d');
  const dashCtx = el('canvas').getContext('2d');
  // The map floats over the view in a box that does not scroll; a screen reader is spared it.
  const graphAreaEl = el('div', { id: 'graph-area' });
  scrollEl.replaceWith(graphAreaEl);
  const mapCanvasEl = el('canvas');
  const mapViewEl = el('div', { class: 'overview-view' });
  const mapEl = el('div', { id: 'overview', 'aria-hidden': 'true' }, mapCanvasEl, mapViewEl);
  mapEl.title = 'Overview: click or drag to move the view';
  mapEl.hidden = true;
  graphAreaEl.append(scrollEl, mapEl);
  // Read out as it changes, so a screen reader hears the count while typing.
  const searchCountEl = el('span', { id: 'search-count', 'aria-live': 'polite' });
  const fitEl = el('button', { id: 'fit', type: 'button' }, 'Fit');
  searchEl.parentNode.after(searchCountEl, fitEl);
  const panelOptionsTextEl = el('code');
  const panelCopyEl = el('button', { id: 'panel-copy', type: 'button' }, 'Copy');
  const panelFields = ['days', 'lookback', 'lookahead'].map((field) => el('div', { id: 'panel-' + field }));
  const panelOptionsEl = el('div', { id: 'panel-dbt-options' }, panelOptionsTextEl, panelCopyEl);
  byId('panel-window').after(...panelFields, panelOptionsEl);
  for (const [side, text] of [['upstream', 'upstream (dashed)'], ['downstream', 'downstream']]) {
    const line = el('span', { class: 'legend-line ' + side });
    document.querySelector('.legend').appendChild(el('span', { class: 'legend-item' }, line, text));
  }

  function entryFor(map, key, make = () => []) {
    if (!map.has(key)) {
      map.set(key, make());
    }
    return map.get(key);
  }

  // Every text reaches the page as a text node, never as markup.
  function el(tag, attrs = {}, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs)) {
      node.setAttribute(key, value);
    }
    node.append(...children);
    return node;
  }

  const windowText = (node) => node.event_time_start + ' .. ' + node.event_time_end;

  // "1 day", "3 days", "1 month".
  const amountText = (amount, unit) => amount + ' ' + unit + (Number(amount) === 1 ? '' : 's');

  // The clipboard API needs a secure context, which a page opened from a
  // file may not be; then a selected text area is copied instead.
  function onCopy() {
    const text = panelOptionsTextEl.textContent;
    let copied;
    if (navigator.clipboard && window.isSecureContext) {
      copied = navigator.clipboard.writeText(text);
    } else {
      const area = el('textarea', { readonly: '' }, text);
      document.body.appendChild(area);
      area.select();
      copied = document.execCommand('copy') ? Promise.resolve() : Promise.reject(new Error('copy refused'));
      area.remove();
    }
    const show = (text) => () => (panelCopyEl.textContent = text);
    copied.then(show('Copied'), show('Copy failed'));
  }

  // A column per layer in ascending order, its boxes ordered by name.
  function buildLayout() {
    const collator = new Intl.Collator();
    const layers = new Map();
    for (const node of nodes) {
      entryFor(layers, Number(node.layer)).push(node);
    }
    const columns = document.createDocumentFragment();
    for (const layer of [...layers.keys()].sort((a, b) => a - b)) {
      const column = columns.appendChild(el('div', { class: 'layer-col' }));
      for (const node of layers.get(layer).sort((a, b) => collator.compare(a.name, b.name))) {
        // Focusable in layer order; named by its own text, so a screen reader says what it shows.
        const box = el(
          'div',
          { class: 'node-box', 'data-name': node.name, tabindex: '0', role: 'button', title: node.name },
          el('span', { class: 'node-name' }, node.name),
          el('span', { class: 'node-layer' }, 'layer ' + node.layer),
          el('span', { class: 'node-window' }, windowText(node)),
        );
        box.addEventListener('click', () => selectNode(node.name));
        const lower = String(node.name).toLowerCase();
        boxEls.push({ name: node.name, lower, box, column: columns.childElementCount - 1, shown: '' });
        column.appendChild(box);
      }
    }
    layersEl.appendChild(columns);
  }

  // Column positions and sizes: a box moves only when its column does.
  function currentLayoutShape() {
    const parts = [layersEl.offsetWidth, layersEl.offsetHeight];
    for (const column of layersEl.children) {
      parts.push(column.offsetLeft, column.offsetTop, column.offsetWidth, column.offsetHeight);
    }
    return parts.join(',');
  }

  const pixelMiddle = (v) => Math.floor(v) + 0.5;

  // Where an edge may cross a column: the middle of the gap between boxes nearest to the wanted height,
  // or anywhere below the last box (the list ends there). Edges sharing a gap are spread a little.
  function crossingAt(gaps, wanted, spread) {
    if (wanted >= gaps[gaps.length - 1]) {
      return wanted;
    }
    let low = 0;
    let high = gaps.length - 1;
    while (low < high) {
      const mid = (low + high) >> 1;
      if (gaps[mid] < wanted) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    if (low > 0 && wanted - gaps[low - 1] < gaps[low] - wanted) {
      low--;
    }
    return gaps[low] + spread;
  }

  // An edge runs level to the end of its parent's column, crosses each column between through a gap,
  // and in the channel before its child runs along a lane (by the child's row): no edge passes behind a
  // box, and thousands of runs overlap on few lanes, drawn once each. A route is its start and then, per
  // piece, its kind and end. Level lines and lanes lie on pixel middles, drawn in their full colour.
  function route(edge, index, from, to, columns) {
    const [start, end] = [pixelMiddle(from.middle), pixelMiddle(to.middle)];
    const points = [from.right, start];
    let [x, y, top, bottom] = [from.right, start, start, start];
    const add = (kind, nextX, nextY) => {
      points.push(kind, nextX, nextY);
      [x, y] = [nextX, nextY];
      top = Math.min(top, nextY);
      bottom = Math.max(bottom, nextY);
    };
    add(LINE, columns[from.column].right, start);
    for (let k = from.column + 1; k < to.column; k++) {
      const column = columns[k];
      const crossing = pixelMiddle(crossingAt(column.gaps, from.middle, ((index % 5) - 2) * 2));
      add(CURVE, column.left, crossing);
      add(LINE, column.right, crossing);
    }
    const rise = end - y;
    const radius = Math.min(TURN_RADIUS, Math.abs(rise) / 2);
    if (radius < 1) {
      add(CURVE, to.left, end);
    } else {
      const lane = pixelMiddle(x + LANE_INSET + (to.row % LANES) * LANE_SPACING);
      const sign = Math.sign(rise);
      add(LINE, lane - radius, y);
      add(INTO_LANE, lane, y + sign * radius);
      add(RUN, lane, end - sign * radius);
      add(OUT_OF_LANE, lane + radius, end);
      add(LINE, to.left, end);
    }
    return { edge, points, left: from.right, right: to.left, top, bottom };
  }

  // Everything is measured before anything is written, so the page lays out once.
  function measureLayout() {
    const origin = layersEl.getBoundingClientRect();
    const relative = (r) => ({
      left: (r.left - origin.left) / layersScale,
      right: (r.right - origin.left) / layersScale,
      top: (r.top - origin.top) / layersScale,
      bottom: (r.bottom - origin.top) / layersScale,
    });
    const columns = [...layersEl.children].map((column) => ({
      ...relative(column.getBoundingClientRect()),
      gaps: [],
    }));
    // Edges attach to the first box of a name.
    const sides = new Map();
    let [row, above] = [0, 0];
    // Boxes are listed column by column, top to bottom; a gap is 20 pixels.
    boxRects = boxEls.map(({ name, box, column }, i) => {
      const rect = relative(box.getBoundingClientRect());
      const first = i === 0 || boxEls[i - 1].column !== column;
      row = first ? 0 : row + 1;
      Object.assign(rect, { middle: (rect.top + rect.bottom) / 2, column, row });
      const gaps = columns[column].gaps;
      gaps.push(first ? rect.top - 10 : (above + rect.top) / 2);
      if (i === boxEls.length - 1 || boxEls[i + 1].column !== column) {
        gaps.push(rect.bottom + 10);
      }
      above = rect.bottom;
      entryFor(sides, name, () => rect);
      return rect;
    });
    routes = [];
    edges.forEach((edge, index) => {
      const from = sides.get(edge.upstream);
      const to = sides.get(edge.downstream);
      if (from && to && from.column < to.column) {
        routes.push(route(edge, index, from, to, columns));
      }
    });
    graphSize = { width: layersEl.offsetWidth, height: layersEl.offsetHeight };
    layoutShape = currentLayoutShape();
    mapStale = true;
  }

  // The style sheet's colours, and the checkerboard that cuts the dashes.
  function readPalette() {
    const style = getComputedStyle(rootEl);
    const value = (name) => style.getPropertyValue(name).trim();
    palette = Object.fromEntries(PALETTE.map((name) => [name, value(name)]));
    const side = Math.round(DASH * devicePixelRatio);
    const tile = el('canvas', { width: 2 * side, height: 2 * side });
    const ctx = tile.getContext('2d');
    ctx.fillRect(side, 0, side, side);
    ctx.fillRect(0, side, side, side);
    dashPattern = dashCtx.createPattern(tile, 'repeat');
  }

  // A region of the scrolled content (screen pixels) in unscaled pixels of the graph.
  function graphRect(region) {
    return {
      left: region.left / zoom,
      top: region.top / zoom,
      right: (region.left + region.width) / zoom,
      bottom: (region.top + region.height) / zoom,
    };
  }

  // The part of the graph in view and a margin of screen pixels around it.
  function viewRect(margin = 0) {
    return graphRect({
      left: scrollEl.scrollLeft - margin,
      top: scrollEl.scrollTop - margin,
      width: scrollEl.clientWidth + 2 * margin,
      height: scrollEl.clientHeight + 2 * margin,
    });
  }

  const contains = (outer, inner) =>
    inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
    inner.bottom <= outer.bottom;

  const overlaps = (left, top, right, bottom, view) =>
    left <= view.right && right >= view.left && top <= view.bottom && bottom >= view.top;

  // The canvas covers the view and its margin in steps of a few hundred
  // pixels, so that a panel drag seldom sizes it anew.
  function sizeCanvas() {
    const step = (size) => Math.ceil((size + 2 * VIEW_MARGIN) / 256) * 256 * devicePixelRatio;
    const width = step(scrollEl.clientWidth);
    const height = step(scrollEl.clientHeight);
    if (edgesEl.width !== width || edgesEl.height !== height) {
      edgesEl.width = dashCtx.canvas.width = width;
      edgesEl.height = dashCtx.canvas.height = height;
      edgesEl.style.width = width / devicePixelRatio + 'px';
      edgesEl.style.height = height / devicePixelRatio + 'px';
      drawnRegion = null;
    }
  }

  // Adds the pieces of a route that cross the area to a path, and its run along a lane, cut to the
  // area, to the runs. Zoomed out, curves are drawn straight.
  function traceRoute(path, runs, { points }, area, straight) {
    let open = false;
    for (let i = 2; i < points.length; i += 3) {
      const xa = points[i - 2];
      const ya = points[i - 1];
      const kind = points[i];
      const xb = points[i + 1];
      const yb = points[i + 2];
      if (!overlaps(xa, Math.min(ya, yb), xb, Math.max(ya, yb), area)) {
        open = false;
      } else if (kind === RUN) {
        runs.push(xa, Math.max(Math.min(ya, yb), area.top), Math.min(Math.max(ya, yb), area.bottom));
        open = false;
      } else {
        if (!open) {
          path.moveTo(xa, ya);
          open = true;
        }
        if (kind === LINE || straight) {
          path.lineTo(xb, yb);
        } else if (kind === CURVE) {
          const xm = (xa + xb) / 2;
          path.bezierCurveTo(xm, ya, xm, yb, xb, yb);
        } else if (kind === INTO_LANE) {
          path.quadraticCurveTo(xb, ya, xb, yb);
        } else {
          path.quadraticCurveTo(xa, yb, xb, yb);
        }
      }
    }
  }

  // Adds the runs (lane, top, bottom, ...) to a path, those that overlap on one lane as one line.
  function traceRuns(path, runs) {
    const order = Array.from({ length: runs.length / 3 }, (_, k) => 3 * k);
    order.sort((a, b) => runs[a] - runs[b] || runs[a + 1] - runs[b + 1]);
    let [lane, top, bottom] = [NaN, 0, 0];
    const flush = () => {
      if (!Number.isNaN(lane)) {
        path.moveTo(lane, top);
        path.lineTo(lane, bottom);
      }
    };
    for (const i of order) {
      if (runs[i] === lane && runs[i + 1] <= bottom) {
        bottom = Math.max(bottom, runs[i + 2]);
      } else {
        flush();
        [lane, top, bottom] = [runs[i], runs[i + 1], runs[i + 2]];
      }
    }
    flush();
  }

  const overview = () => zoom < OVERVIEW_ZOOM && rootEl.classList.contains('many');

  // The box drawn at a point of the view, while zoomed out.
  function boxAt(clientX, clientY) {
    const view = scrollEl.getBoundingClientRect();
    const x = (clientX - view.left - scrollEl.clientLeft + scrollEl.scrollLeft) / zoom;
    const y = (clientY - view.top - scrollEl.clientTop + scrollEl.scrollTop) / zoom;
    const i = boxRects.findIndex((r) => x >= r.left && x <= r.right && y >= r.top && y <= r.bottom);
    return i < 0 ? null : boxEls[i].name;
  }

  // Zoomed out, the boxes in the area as rectangles, with a ring round the focused one.
  function drawBoxes(ctx, area, lineScale) {
    const looks = new Map();
    let focused = null;
    boxEls.forEach((entry, i) => {
      const r = boxRects[i];
      if (overlaps(r.left, r.top, r.right, r.bottom, area)) {
        const path = entryFor(looks, rule.box(entry), () => new Path2D());
        path.rect(r.left, r.top, r.right - r.left, r.bottom - r.top);
        focused = entry.box === document.activeElement ? r : focused;
      }
    });
    for (const [state, path] of looks) {
      const look = BOX_LOOKS[state];
      ctx.globalAlpha = look.alpha || 1;
      ctx.fillStyle = palette[look.fill || '--surface-1'];
      ctx.fill(path);
      ctx.strokeStyle = palette[look.stroke];
      ctx.lineWidth = look.width * lineScale;
      ctx.stroke(path);
    }
    ctx.globalAlpha = 1;
    if (focused) {
      const gap = 6 * lineScale;
      ctx.strokeStyle = palette['--text-primary'];
      ctx.lineWidth = 3 * lineScale;
      ctx.strokeRect(focused.left - gap, focused.top - gap, focused.right - focused.left + 2 * gap,
        focused.bottom - focused.top + 2 * gap);
    }
  }

  // The edges that cross the area, one path per look: which were drawn, how many lit pieces, any dashed.
  function traceEdges(area, zoomedOut) {
    const paths = new Map(EDGE_LOOKS.map(({ look }) => [look, new Path2D()]));
    const runs = new Map(EDGE_LOOKS.map(({ look }) => [look, []]));
    const traced = { paths, routes: [], litPieces: 0, dashed: false };
    routes.forEach((r, i) => {
      const look = overlaps(r.left, r.top, r.right, r.bottom, area) ? rule.edge(r.edge) : null;
      // Zoomed out, thousands of faint lines would only grey the view.
      if (look === null || (zoomedOut && look === 'dimmed')) {
        return;
      }
      traced.litPieces += look === 'dimmed' || look === '' ? 0 : (r.points.length - 2) / 3;
      traced.dashed ||= look === 'highlighted upstream';
      traceRoute(paths.get(look), runs.get(look), r, area, zoomedOut);
      traced.routes.push(i);
    });
    for (const [look, path] of paths) {
      traceRuns(path, runs.get(look));
    }
    return traced;
  }

  // Strokes the traced edges, the dashed look through the second canvas.
  function strokeEdges({ paths, litPieces, dashed }, toRegion, region, lineScale) {
    const litWidth = litPieces > MANY_LIT_PIECES ? 1 : LIT_WIDTH;
    for (const c of [edgesCtx, dashCtx]) {
      c.setTransform(1, 0, 0, 1, 0, 0);
      c.clearRect(0, 0, edgesEl.width, edgesEl.height);
      c.setTransform(...toRegion);
    }
    for (const look of EDGE_LOOKS) {
      const c = look.dashed ? dashCtx : edgesCtx;
      c.globalAlpha = look.alpha || 1;
      c.strokeStyle = palette[look.colour];
      c.lineWidth = (look.lit ? litWidth : 1) * lineScale;
      c.stroke(paths.get(look.look));
    }
    edgesCtx.globalAlpha = 1;
    if (!dashed) {
      return;
    }
    // The squares keep to the scrolled content, so dashes stay put when the canvas is drawn elsewhere.
    const period = 2 * Math.round(DASH * devicePixelRatio);
    const shift = (v) => -((v * devicePixelRatio) % period);
    dashPattern.setTransform(new DOMMatrix([1, 0, 0, 1, shift(region.left), shift(region.top)]));
    dashCtx.setTransform(1, 0, 0, 1, 0, 0);
    dashCtx.globalCompositeOperation = 'destination-out';
    dashCtx.fillStyle = dashPattern;
    dashCtx.fillRect(0, 0, edgesEl.width, edgesEl.height);
    dashCtx.globalCompositeOperation = 'source-over';
    edgesCtx.setTransform(1, 0, 0, 1, 0, 0);
    edgesCtx.drawImage(dashCtx.canvas, 0, 0);
    edgesCtx.setTransform(...toRegion);
  }

  // Draws the edges (and, zoomed out, the boxes) of the view and its margin, and restyles the boxes there.
  function drawView() {
    const region = {
      left: scrollEl.scrollLeft - VIEW_MARGIN,
      top: scrollEl.scrollTop - VIEW_MARGIN,
      width: edgesEl.width / devicePixelRatio,
      height: edgesEl.height / devicePixelRatio,
    };
    const area = graphRect(region);
    drawnRegion = region;
    const zoomedOut = overview();
    if (!zoomedOut) {
      boxEls.forEach((entry, i) => {
        const r = boxRects[i];
        if (overlaps(r.left, r.top, r.right, r.bottom, area)) {
          showBox(entry, rule.box(entry));
        }
      });
    }
    const traced = traceEdges(area, zoomedOut);
    drawnRoutes = traced.routes;
    const scale = devicePixelRatio * zoom;
    const toRegion = [scale, 0, 0, scale, -region.left * devicePixelRatio, -region.top * devicePixelRatio];
    // Line widths are in the graph's pixels, so zoomed out they would thin away.
    const lineScale = Math.max(zoom, MIN_LINE_SCALE) / zoom;
    strokeEdges(traced, toRegion, region, lineScale);
    if (zoomedOut) {
      drawBoxes(edgesCtx, area, lineScale);
    }
    edgesEl.style.transform = 'translate(' + region.left + 'px, ' + region.top + 'px)';
  }

  // A view well inside what was last drawn needs nothing new.
  function drawViewIfStale() {
    if (drawnRegion === null || !contains(graphRect(drawnRegion), viewRect(VIEW_MARGIN / 2))) {
      drawView();
    }
  }

  function queueFrame() {
    if (!frameQueued) {
      frameQueued = true;
      requestAnimationFrame(() => {
        frameQueued = false;
        drawViewIfStale();
        updateMap();
      });
    }
  }

  // The map, shown while the graph overflows the view: every box as a dot, and the view's rectangle.
  function mapScale() {
    const height = Math.min(MAP_HEIGHT, scrollEl.clientHeight - 2 * MAP_INSET);
    return Math.min(MAP_WIDTH / graphSize.width, Math.max(height, 40) / graphSize.height);
  }

  function drawMap() {
    const s = mapScale();
    mapStale = false;
    mapDrawnScale = s;
    const width = Math.max(1, Math.ceil(graphSize.width * s));
    const height = Math.max(1, Math.ceil(graphSize.height * s));
    mapCanvasEl.width = width * devicePixelRatio;
    mapCanvasEl.height = height * devicePixelRatio;
    Object.assign(mapCanvasEl.style, { width: width + 'px', height: height + 'px' });
    const ctx = mapCanvasEl.getContext('2d');
    ctx.setTransform(devicePixelRatio, 0, 0, devicePixelRatio, 0, 0);
    const paths = new Map(MAP_COLOURS.map((colour) => [colour, new Path2D()]));
    boxEls.forEach((entry, i) => {
      const r = boxRects[i];
      const colour = BOX_LOOKS[rule.box(entry)].map;
      // The selection is drawn larger, so that it shows on a graph of thousands.
      const grow = colour === '--text-primary' ? 2 : 0;
      const width = Math.max(1, (r.right - r.left) * s) + 2 * grow;
      const height = Math.max(1, (r.bottom - r.top) * s) + 2 * grow;
      paths.get(colour).rect(r.left * s - grow, r.top * s - grow, width, height);
    });
    for (const [colour, path] of paths) {
      ctx.fillStyle = palette[colour];
      ctx.fill(path);
    }
  }

  function updateMap() {
    const fits =
      graphSize.width * zoom <= scrollEl.clientWidth && graphSize.height * zoom <= scrollEl.clientHeight;
    mapEl.hidden = fits || graphSize.width === 0;
    if (mapEl.hidden) {
      return;
    }
    if (mapStale || mapScale() !== mapDrawnScale) {
      drawMap();
    }
    // The view, cut to the graph.
    const s = mapScale();
    const view = viewRect();
    const left = Math.max(0, view.left) * s;
    const top = Math.max(0, view.top) * s;
    const style = mapViewEl.style;
    style.transform = 'translate(' + left + 'px, ' + top + 'px)';
    style.width = Math.max(4, Math.min(view.right, graphSize.width) * s - left) + 'px';
    style.height = Math.max(4, Math.min(view.bottom, graphSize.height) * s - top) + 'px';
  }

  // A press or a drag on the map centres the view on that point.
  function centreOnMapPoint(event) {
    const r = mapCanvasEl.getBoundingClientRect();
    const s = mapScale();
    centreOn((event.clientX - r.left) / s, (event.clientY - r.top) / s);
  }

  function sizeEdgesArea() {
    edgesAreaEl.style.width = graphSize.width * zoom + 'px';
    edgesAreaEl.style.height = graphSize.height * zoom + 'px';
  }

  // Measures again only when a column moved or changed size, which a resize seldom does.
  function drawEdges() {
    sizeCanvas();
    if (currentLayoutShape() !== layoutShape) {
      measureLayout();
      drawnRegion = null;
    }
    sizeEdgesArea();
    drawViewIfStale();
    queueFrame();
  }

  // The names reached from start through links, taking each edge's end (a set's iteration also
  // visits the names added while it runs).
  function walk(start, links, end) {
    const seen = new Set();
    const visit = (name) => (links.get(name) || []).forEach((edge) => seen.add(edge[end]));
    visit(start);
    seen.forEach(visit);
    return seen;
  }

  // Only a box whose look changes is touched.
  function showBox(entry, state) {
    if (entry.shown !== state) {
      entry.shown = state;
      entry.box.setAttribute('class', state ? 'node-box ' + state : 'node-box');
    }
  }

  const searchQuery = () => searchEl.value.trim().toLowerCase();

  function showSearchCount() {
    const query = searchQuery();
    const count = query ? boxEls.filter(({ lower }) => lower.includes(query)).length : 0;
    searchCountEl.textContent = !query ? '' : count === 1 ? '1 match' : (count || 'no') + ' matches';
  }

  function onSearchInput() {
    showSearchCount();
    applyHighlight();
  }

  // Enter takes the first match in the order the graph shows them.
  function onSearchKey(event) {
    const query = searchQuery();
    const first = event.key === 'Enter' && query && boxEls.find(({ lower }) => lower.includes(query));
    if (first) {
      event.preventDefault();
      selectNode(first.name, true);
    }
  }

  // Centres a box that is not wholly in view, by its measured rectangle.
  function reveal(name) {
    const r = boxRects[boxEls.findIndex((entry) => entry.name === name)];
    if (r && !contains(viewRect(), r)) {
      centreOn((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    }
  }

  // Scrolls a point of the graph (unscaled pixels) to the middle of the view, as far as it goes.
  function centreOn(x, y) {
    scrollEl.scrollTo(x * zoom - scrollEl.clientWidth / 2, y * zoom - scrollEl.clientHeight / 2);
  }

  // Scales the graph about a point of the view (pixels from its top-left corner). Only the transform of
  // layers changes (it always has one: a first transform would repaint every box).
  function setZoom(wanted, atX, atY) {
    const next = Math.min(Math.max(wanted, MIN_ZOOM), MAX_ZOOM);
    if (next === zoom) {
      return;
    }
    const x = (scrollEl.scrollLeft + atX) / zoom;
    const y = (scrollEl.scrollTop + atY) / zoom;
    zoom = next;
    layersScale = overview() ? 1 : zoom;
    layersEl.style.transform = overview() ? OUT_OF_VIEW : 'scale(' + zoom + ')';
    sizeEdgesArea();
    fitEl.textContent = zoom === 1 ? 'Fit' : '100%';
    fitEl.title = zoom === 1 ? 'Fit the graph into the view' : 'Back to actual size';
    scrollEl.scrollTo(x * zoom - atX, y * zoom - atY);
    drawView();
    queueFrame();
  }

  function onFit() {
    if (zoom === 1) {
      scrollEl.scrollTo(0, 0);
      const { clientWidth, clientHeight } = scrollEl;
      setZoom(Math.min(1, clientWidth / graphSize.width, clientHeight / graphSize.height), 0, 0);
    } else {
      setZoom(1, 0, 0);
    }
  }

  // Ctrl or Cmd with the wheel (or a trackpad pinch) zooms about the pointer; the plain wheel scrolls.
  function onWheel(event) {
    if (!event.ctrlKey && !event.metaKey) {
      return;
    }
    event.preventDefault();
    const view = scrollEl.getBoundingClientRect();
    setZoom(
      zoom * Math.exp(-event.deltaY * WHEEL_ZOOM_RATE),
      event.clientX - view.left - scrollEl.clientLeft,
      event.clientY - view.top - scrollEl.clientTop,
    );
  }

  // From a focused box, Left or Up goes to its first parent and Right or Down to its first child.
  function arrowTarget(key, name) {
    if (key === 'ArrowLeft' || key === 'ArrowUp') {
      return (byName.get(name).depends_on || []).find((parent) => byName.has(parent));
    }
    if (key === 'ArrowRight' || key === 'ArrowDown') {
      return (downstreamOf.get(name) || []).find((edge) => byName.has(edge.downstream))?.downstream;
    }
    return undefined;
  }

  // Arrows move the focus along the lineage; Enter or Space selects.
  function onBoxKey(event, name) {
    const modified = event.altKey || event.ctrlKey || event.metaKey || event.shiftKey;
    const target = modified ? undefined : arrowTarget(event.key, name);
    if (target !== undefined) {
      reveal(target);
      boxEls.find((entry) => entry.name === target).box.focus({ preventScroll: true });
      queueFrame();
    } else if (event.key === 'Enter' || event.key === ' ') {
      selectNode(name);
    } else {
      return;
    }
    event.preventDefault();
  }

  function highlightRule() {
    const query = searchQuery();
    if (query) {
      const box = ({ lower }) => (lower.includes(query) ? 'search-match' : 'dimmed');
      return { box, edge: () => 'dimmed' };
    }
    if (selectedName === null) {
      return { box: () => '', edge: () => '' };
    }
    // Each side of the lineage takes its own look; an edge that skips the selection, from an ancestor
    // straight to a descendant, is lit plainly.
    const ancestors = walk(selectedName, upstreamOf, 'upstream');
    const descendants = walk(selectedName, downstreamOf, 'downstream');
    const side = (name) =>
      name === selectedName
        ? 'selected'
        : ancestors.has(name)
          ? 'upstream'
          : descendants.has(name)
            ? 'downstream'
            : null;
    return {
      box: ({ name }) => {
        const at = side(name);
        return at === null ? 'dimmed' : at === 'selected' ? at : 'highlighted ' + at;
      },
      edge: (edge) => {
        const ends = [side(edge.upstream), side(edge.downstream)];
        if (ends.includes(null)) {
          return 'dimmed';
        }
        if (!ends.includes('downstream')) {
          return 'highlighted upstream';
        }
        return ends.includes('upstream') ? 'highlighted' : 'highlighted downstream';
      },
    };
  }

  function applyHighlight() {
    rule = highlightRule();
    mapStale = true;
    drawView();
    queueFrame();
  }

  // A button in each item: a list for a screen reader, and Enter and Space press it.
  function renderPanelList(id, names) {
    byId(id).replaceChildren(
      ...names.map((name) => {
        const item = el('li', {}, el('button', { type: 'button' }, name));
        item.addEventListener('click', () => selectNode(name, true));
        return item;
      }),
    );
  }

  function showPanel(shown) {
    byId('panel-empty').style.display = shown ? 'none' : '';
    panelContentEl.style.display = shown ? 'block' : 'none';
  }

  // dbt takes an exclusive end, the day after the window's last day. A narrow panel wraps between options.
  function renderPanel(name) {
    const node = byName.get(name);
    const [start, end] = [Date.parse(node.event_time_start), Date.parse(node.event_time_end)];
    showPanel(true);
    byId('panel-title').textContent = name;
    byId('panel-layer').textContent = 'Layer ' + node.layer;
    byId('panel-window').textContent = windowText(node);
    const [days, lookback, lookahead] = panelFields;
    days.textContent = amountText((end - start) / DAY_MS + 1, 'day');
    lookback.textContent = 'lookback ' + amountText(node.lookback, node.lookback_unit);
    lookahead.textContent = 'lookahead ' + amountText(node.lookahead, node.lookahead_unit);
    const exclusiveEnd = new Date(end + DAY_MS).toISOString().slice(0, 10);
    panelOptionsTextEl.replaceChildren(
      el('span', {}, '--event-time-start ' + node.event_time_start),
      ' ',
      el('span', {}, '--event-time-end ' + exclusiveEnd),
    );
    panelCopyEl.textContent = 'Copy';
    renderPanelList('panel-upstream', node.depends_on || []);
    renderPanelList('panel-downstream', (downstreamOf.get(name) || []).map((edge) => edge.downstream));
  }

  // Escape takes back one thing at a time: the selection, then the search.
  function onEscape(event) {
    if (event.key === 'Escape' && selectedName !== null) {
      clearSelection();
    } else if (event.key === 'Escape' && searchEl.value) {
      searchEl.value = '';
      onSearchInput();
    }
  }

  // With scroll, the graph scrolls first, so the highlight is applied to what will be in view.
  function selectNode(name, scroll = false) {
    if (!byName.has(name)) {
      return;
    }
    if (scroll) {
      reveal(name);
    }
    selectedName = name;
    searchEl.value = '';
    showSearchCount();
    applyHighlight();
    renderPanel(name);
  }

  function clearSelection() {
    selectedName = null;
    applyHighlight();
    showPanel(false);
  }

  function initPanelResize() {
    const handleEl = byId('panel-resize-handle');
    let drag = null;
    handleEl.addEventListener('mousedown', (event) => {
      drag = { x: event.clientX, width: panelEl.getBoundingClientRect().width };
      handleEl.classList.add('resizing');
      document.body.style.userSelect = 'none';
      event.preventDefault();
    });
    window.addEventListener('mousemove', (event) => {
      if (drag) {
        const main = byId('main').getBoundingClientRect();
        const widest = Math.max(PANEL_MIN_WIDTH, main.width - GRAPH_MIN_WIDTH);
        const wanted = drag.width + (drag.x - event.clientX);
        panelEl.style.width = Math.min(Math.max(wanted, PANEL_MIN_WIDTH), widest) + 'px';
        drawEdges();
      }
    });
    window.addEventListener('mouseup', () => {
      if (drag) {
        drag = null;
        handleEl.classList.remove('resizing');
        document.body.style.userSelect = '';
      }
    });
  }

  searchEl.addEventListener('input', onSearchInput);
  searchEl.addEventListener('keydown', onSearchKey);
  panelCopyEl.addEventListener('click', onCopy);
  fitEl.addEventListener('click', onFit);
  scrollEl.addEventListener('wheel', onWheel, { passive: false });
  layersEl.addEventListener('keydown', (event) => {
    const box = event.target.closest('.node-box');
    if (box) {
      onBoxKey(event, box.dataset.name);
    }
  });
  // Zoomed out, the ring round the focused box is drawn in the canvas.
  for (const type of ['focusin', 'focusout']) {
    layersEl.addEventListener(type, () => {
      if (overview()) {
        drawnRegion = null;
        queueFrame();
      }
    });
  }
  document.addEventListener('keydown', onEscape);
  scrollEl.addEventListener('click', (event) => {
    const name = overview() ? boxAt(event.clientX, event.clientY) : null;
    if (name !== null) {
      selectNode(name);
    } else if (event.target === scrollEl || event.target === layersEl) {
      clearSelection();
    }
  });
  scrollEl.addEventListener('scroll', queueFrame, { passive: true });
  window.addEventListener('resize', drawEdges);
  matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
    readPalette();
    applyHighlight();
  });
  // For tests: the edges drawn last, their look, and in page coordinates where each piece ends (x, y, ...).
  edgesEl.drawnEdges = () => {
    const view = scrollEl.getBoundingClientRect();
    const left = view.left + scrollEl.clientLeft - scrollEl.scrollLeft;
    const top = view.top + scrollEl.clientTop - scrollEl.scrollTop;
    return drawnRoutes.map((i) => ({
      upstream: routes[i].edge.upstream,
      downstream: routes[i].edge.downstream,
      look: rule.edge(routes[i].edge),
      points: routes[i].points
        .filter((_, k) => k < 2 || (k - 2) % 3 !== 0)
        .map((v, k) => (k % 2 ? top : left) + v * zoom),
    }));
  };
  mapEl.addEventListener('pointerdown', (event) => {
    mapEl.setPointerCapture(event.pointerId);
    centreOnMapPoint(event);
    event.preventDefault();
  });
  mapEl.addEventListener('pointermove', (event) => {
    if (mapEl.hasPointerCapture(event.pointerId)) {
      centreOnMapPoint(event);
    }
  });
  initPanelResize();
  rootEl.classList.toggle('many', nodes.length + edges.length > MANY_ELEMENTS);
  readPalette();
  buildLayout();
  rule = highlightRule();
  drawEdges();
})();
