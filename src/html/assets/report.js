(function () {
  'use strict';

  const SVG_NS = 'http://www.w3.org/2000/svg';
  const PANEL_MIN_WIDTH = 240;
  const GRAPH_MIN_WIDTH = 300;
  // Above this many boxes and edges, fades and flowing dashes would cost more
  // per click than the highlight itself, so the style sheet drops them.
  const MANY_ELEMENTS = 400;
  // Only the part of the graph near the view is drawn and restyled: on a
  // graph of thousands of models, restyling every box and edge would take
  // seconds per click. The margin keeps finished content ready around the
  // view, so a scroll shows no stale state before the next redraw.
  const VIEW_MARGIN = 200;
  // Points taken along each curve to tell whether it crosses the view.
  const CURVE_SEGMENTS = 8;
  // Zoom limits. Below a tenth a box is a few pixels high, and a view of
  // thousands of boxes would restyle them all on every click.
  const MIN_ZOOM = 0.1;
  const MAX_ZOOM = 2;
  // How much one wheel step (100 units of deltaY) zooms.
  const WHEEL_ZOOM_RATE = 0.002;

  const data = window.TARN_DBT_PLAN_DATA || {};
  const nodes = Array.isArray(data.nodes) ? data.nodes : [];
  const edges = Array.isArray(data.edges) ? data.edges : [];

  const byName = new Map();
  const upstreamOf = new Map();
  const downstreamOf = new Map();
  for (const node of nodes) {
    byName.set(node.name, node);
  }
  for (const edge of edges) {
    listFor(upstreamOf, edge.downstream).push(edge);
    listFor(downstreamOf, edge.upstream).push(edge);
  }

  let selectedName = null;
  // name -> its first box (edges attach there), and every box with its name
  // (a plan may list one name twice, as for a versioned model).
  const nodeEls = new Map();
  let boxEls = [];
  // Measured after layout: each box's rectangle (parallel to boxEls) and each
  // edge's route, both relative to the top-left of layers; where layers
  // starts inside the scrolled content; and what the layout looked like then.
  let boxRects = [];
  let routes = [];
  let layersOrigin = { x: 0, y: 0 };
  let layoutShape = '';
  // The drawn edges: route index -> path, kept in the SVG in data order.
  const edgeEls = new Map();
  // How boxes and edges should look now; applied to what is near the view.
  let rule = { box: () => '', edge: () => '' };
  let refreshQueued = false;
  let refreshedView = null;
  // The graph's scale: boxes, edges and measurements keep their unscaled
  // sizes, and the two layers are drawn scaled from their top-left corner.
  let zoom = 1;
  // The class each element carries now, so a highlight only touches what changes.
  const shownState = new WeakMap();
  const lowerNames = new Map();

  const rootEl = document.querySelector('.viz-root');
  const layersEl = document.getElementById('layers');
  const edgesEl = document.getElementById('edges');
  const scrollEl = document.getElementById('graph-scroll');
  const mainEl = document.getElementById('main');
  const searchEl = document.getElementById('search');
  const panelEl = document.getElementById('panel');
  const handleEl = document.getElementById('panel-resize-handle');
  const panelEmptyEl = document.getElementById('panel-empty');
  const panelContentEl = document.getElementById('panel-content');
  const panelTitleEl = document.getElementById('panel-title');
  const panelLayerEl = document.getElementById('panel-layer');
  const panelWindowEl = document.getElementById('panel-window');
  const panelUpstreamEl = document.getElementById('panel-upstream');
  const panelDownstreamEl = document.getElementById('panel-downstream');
  // Read out as it changes, so a screen reader hears the count while typing.
  const searchCountEl = el('span', { id: 'search-count', 'aria-live': 'polite' });
  searchEl.parentNode.after(searchCountEl);
  const panelDaysEl = el('div', { id: 'panel-days' });
  const panelLookbackEl = el('div', { id: 'panel-lookback' });
  const panelLookaheadEl = el('div', { id: 'panel-lookahead' });
  const panelOptionsEl = el('div', { id: 'panel-dbt-options' });
  const panelOptionsTextEl = el('code');
  const panelCopyEl = el('button', { id: 'panel-copy', type: 'button' }, 'Copy');
  panelOptionsEl.append(panelOptionsTextEl, panelCopyEl);
  panelWindowEl.after(panelDaysEl, panelLookbackEl, panelLookaheadEl, panelOptionsEl);
  const fitEl = el('button', { id: 'fit', type: 'button' }, 'Fit');
  searchCountEl.after(fitEl);
  for (const side of ['upstream', 'downstream']) {
    const item = el('span', { class: 'legend-item' });
    item.append(el('span', { class: 'legend-line ' + side }), side);
    document.querySelector('.legend').appendChild(item);
  }

  function listFor(map, key) {
    let list = map.get(key);
    if (!list) {
      list = [];
      map.set(key, list);
    }
    return list;
  }

  // Layer number -> its nodes ordered by name, layers in ascending order.
  function byLayer() {
    const groups = new Map();
    for (const node of nodes) {
      listFor(groups, Number(node.layer)).push(node);
    }
    const collator = new Intl.Collator();
    const ordered = new Map();
    for (const layer of [...groups.keys()].sort((a, b) => a - b)) {
      ordered.set(layer, groups.get(layer).sort((a, b) => collator.compare(a.name, b.name)));
    }
    return ordered;
  }

  // Every text reaches the page as a text node, never as markup.
  function el(tag, attrs, text, namespace) {
    const node = namespace ? document.createElementNS(namespace, tag) : document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      node.setAttribute(key, value);
    }
    if (text !== undefined) {
      node.textContent = text;
    }
    return node;
  }

  function windowText(node) {
    return node.event_time_start + ' .. ' + node.event_time_end;
  }

  const DAY_MS = 86400000;

  // "1 day", "3 days", "1 month".
  function amountText(amount, unit) {
    return amount + ' ' + unit + (Number(amount) === 1 ? '' : 's');
  }

  function windowDays(node) {
    return (Date.parse(node.event_time_end) - Date.parse(node.event_time_start)) / DAY_MS + 1;
  }

  // dbt takes an exclusive end, the day after the window's last day. Each
  // option with its value is one piece, so a narrow panel wraps between them.
  function dbtOptions(node) {
    const end = new Date(Date.parse(node.event_time_end) + DAY_MS).toISOString().slice(0, 10);
    return ['--event-time-start ' + node.event_time_start, '--event-time-end ' + end];
  }

  // The clipboard API needs a secure context; a page opened from a file may
  // not be one, and then a selected text area is copied instead.
  function copyText(text) {
    if (navigator.clipboard && window.isSecureContext) {
      return navigator.clipboard.writeText(text);
    }
    const area = el('textarea', { readonly: '' }, text);
    document.body.appendChild(area);
    area.select();
    const copied = document.execCommand('copy');
    area.remove();
    return copied ? Promise.resolve() : Promise.reject(new Error('copy refused'));
  }

  function onCopy() {
    const text = panelOptionsTextEl.textContent;
    copyText(text).then(
      () => {
        panelCopyEl.textContent = 'Copied';
      },
      () => {
        panelCopyEl.textContent = 'Copy failed';
      },
    );
  }

  function buildLayout() {
    layersEl.textContent = '';
    nodeEls.clear();
    boxEls = [];
    const columns = document.createDocumentFragment();
    for (const [layer, members] of byLayer()) {
      const column = el('div', { class: 'layer-col' });
      for (const node of members) {
        // Focusable in document order, which is layer order. Named by its
        // own text, so what a screen reader says is what the box shows.
        const box = el('div', {
          class: 'node-box',
          'data-name': node.name,
          tabindex: '0',
          role: 'button',
          title: node.name,
        });
        box.appendChild(el('span', { class: 'node-name' }, node.name));
        box.appendChild(el('span', { class: 'node-layer' }, 'layer ' + node.layer));
        box.appendChild(el('span', { class: 'node-window' }, windowText(node)));
        box.addEventListener('click', () => selectNode(node.name));
        shownState.set(box, '');
        if (!nodeEls.has(node.name)) {
          nodeEls.set(node.name, box);
        }
        boxEls.push({ name: node.name, box });
        lowerNames.set(node.name, String(node.name).toLowerCase());
        column.appendChild(box);
      }
      columns.appendChild(column);
    }
    layersEl.appendChild(columns);
  }

  function edgePath(x1, y1, x2, y2) {
    const dx = Math.max(40, (x2 - x1) / 2);
    return ['M', x1, y1, 'C', x1 + dx, y1 + ',', x2 - dx, y2 + ',', x2, y2].join(' ');
  }

  // Column positions and sizes: a box moves only when its column does, as
  // boxes stack the same way in a column of the same width.
  function currentLayoutShape() {
    const parts = [layersEl.scrollWidth, layersEl.scrollHeight];
    for (const column of layersEl.children) {
      parts.push(column.offsetLeft, column.offsetTop, column.offsetWidth, column.offsetHeight);
    }
    return parts.join(',');
  }

  function route(edge, x1, y1, x2, y2) {
    const dx = Math.max(40, (x2 - x1) / 2);
    const points = new Float64Array(2 * (CURVE_SEGMENTS + 1));
    for (let i = 0; i <= CURVE_SEGMENTS; i++) {
      const t = i / CURVE_SEGMENTS;
      const u = 1 - t;
      const a = u * u * u;
      const b = 3 * u * u * t;
      const c = 3 * u * t * t;
      const d = t * t * t;
      points[2 * i] = a * x1 + b * (x1 + dx) + c * (x2 - dx) + d * x2;
      points[2 * i + 1] = (a + b) * y1 + (c + d) * y2;
    }
    return { edge, ends: [x1, y1, x2, y2], points };
  }

  // Every box is measured before anything is written, so the page lays out
  // once however many boxes there are.
  function measureLayout() {
    const origin = layersEl.getBoundingClientRect();
    const scroller = scrollEl.getBoundingClientRect();
    layersOrigin = {
      x: origin.left - scroller.left - scrollEl.clientLeft + scrollEl.scrollLeft,
      y: origin.top - scroller.top - scrollEl.clientTop + scrollEl.scrollTop,
    };
    const sides = new Map();
    boxRects = boxEls.map(({ name, box }) => {
      const r = box.getBoundingClientRect();
      const rect = {
        left: (r.left - origin.left) / zoom,
        right: (r.right - origin.left) / zoom,
        top: (r.top - origin.top) / zoom,
        bottom: (r.bottom - origin.top) / zoom,
        middle: (r.top + r.height / 2 - origin.top) / zoom,
      };
      if (!sides.has(name)) {
        sides.set(name, rect);
      }
      return rect;
    });
    routes = [];
    for (const edge of edges) {
      const from = sides.get(edge.upstream);
      const to = sides.get(edge.downstream);
      if (from && to) {
        routes.push(route(edge, from.right, from.middle, to.left, to.middle));
      }
    }
    layoutShape = currentLayoutShape();
  }

  // The visible part of the graph and a margin around it, relative to layers
  // and in its unscaled units.
  function viewRect(margin) {
    const left = (scrollEl.scrollLeft - layersOrigin.x) / zoom - margin;
    const top = (scrollEl.scrollTop - layersOrigin.y) / zoom - margin;
    return {
      left,
      top,
      right: left + scrollEl.clientWidth / zoom + 2 * margin,
      bottom: top + scrollEl.clientHeight / zoom + 2 * margin,
    };
  }

  function contains(outer, inner) {
    return (
      inner.left >= outer.left &&
      inner.top >= outer.top &&
      inner.right <= outer.right &&
      inner.bottom <= outer.bottom
    );
  }

  function overlaps(left, top, right, bottom, view) {
    return left <= view.right && right >= view.left && top <= view.bottom && bottom >= view.top;
  }

  // Whether the curve, taken as straight pieces between its sample points,
  // passes through the view (the margin covers the pieces' bulge).
  function crossesView({ points }, view) {
    for (let i = 2; i < points.length; i += 2) {
      const [xa, ya, xb, yb] = [points[i - 2], points[i - 1], points[i], points[i + 1]];
      if (overlaps(Math.min(xa, xb), Math.min(ya, yb), Math.max(xa, xb), Math.max(ya, yb), view)) {
        return true;
      }
    }
    return false;
  }

  function edgeElement({ edge, ends }) {
    const path = el(
      'path',
      {
        class: 'edge',
        'data-upstream': edge.upstream,
        'data-downstream': edge.downstream,
        d: edgePath(...ends),
      },
      undefined,
      SVG_NS,
    );
    shownState.set(path, '');
    return path;
  }

  // Brings what is near the view up to date: boxes get their look, edges
  // that cross it are drawn (in data order) and the others removed.
  function refreshView() {
    const view = viewRect(VIEW_MARGIN);
    refreshedView = view;
    boxEls.forEach(({ name, box }, i) => {
      const r = boxRects[i];
      if (r && overlaps(r.left, r.top, r.right, r.bottom, view)) {
        show(box, 'node-box', rule.box(name));
      }
    });
    const wanted = [];
    routes.forEach((r, i) => {
      if (crossesView(r, view)) {
        wanted.push(i);
      }
    });
    const keep = new Set(wanted);
    for (const [i, path] of edgeEls) {
      if (!keep.has(i)) {
        path.remove();
        edgeEls.delete(i);
      }
    }
    let previous = null;
    for (const i of wanted) {
      let path = edgeEls.get(i);
      if (!path) {
        path = edgeElement(routes[i]);
        edgeEls.set(i, path);
        edgesEl.insertBefore(path, previous ? previous.nextSibling : edgesEl.firstChild);
      }
      show(path, 'edge', rule.edge(routes[i].edge));
      previous = path;
    }
  }

  // A view that stays well inside what was last brought up to date needs
  // nothing new: then the browser only moves what is already drawn.
  function viewIsReady() {
    return refreshedView !== null && contains(refreshedView, viewRect(VIEW_MARGIN / 2));
  }

  function queueRefresh() {
    if (!viewIsReady() && !refreshQueued) {
      refreshQueued = true;
      requestAnimationFrame(() => {
        refreshQueued = false;
        refreshView();
      });
    }
  }

  // Sizes the SVG to layers and, when a column moved or changed size, measures
  // again and draws every edge anew. A resize or a panel drag seldom moves a
  // box, and then the drawn paths stay.
  function drawEdges() {
    const width = layersEl.scrollWidth;
    const height = layersEl.scrollHeight;
    edgesEl.setAttribute('width', width);
    edgesEl.setAttribute('height', height);
    edgesEl.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
    if (currentLayoutShape() !== layoutShape) {
      measureLayout();
      edgesEl.textContent = '';
      edgeEls.clear();
      refreshView();
    } else if (!viewIsReady()) {
      refreshView();
    }
  }

  function render() {
    buildLayout();
    rule = highlightRule();
    drawEdges();
  }

  function walk(start, links, nextName) {
    const seen = new Set();
    const queue = [start];
    for (let i = 0; i < queue.length; i++) {
      for (const edge of links.get(queue[i]) || []) {
        const next = nextName(edge);
        if (!seen.has(next)) {
          seen.add(next);
          queue.push(next);
        }
      }
    }
    return seen;
  }

  function bfsLevel(name) {
    return {
      ancestors: walk(name, upstreamOf, (edge) => edge.upstream),
      descendants: walk(name, downstreamOf, (edge) => edge.downstream),
    };
  }

  function show(element, baseClass, state) {
    if (shownState.get(element) !== state) {
      shownState.set(element, state);
      element.setAttribute('class', state ? baseClass + ' ' + state : baseClass);
    }
  }

  function matchesSearch(name, query) {
    return lowerNames.get(name).includes(query);
  }

  function searchQuery() {
    return searchEl.value.trim().toLowerCase();
  }

  function showSearchCount() {
    const query = searchQuery();
    let count = 0;
    if (query) {
      for (const { name } of boxEls) {
        if (matchesSearch(name, query)) {
          count++;
        }
      }
    }
    searchCountEl.textContent = !query
      ? ''
      : count === 0
        ? 'no matches'
        : count === 1
          ? '1 match'
          : count + ' matches';
  }

  function onSearchInput() {
    showSearchCount();
    applyHighlight();
  }

  // Enter takes the first match in the order the graph shows them.
  function onSearchKey(event) {
    if (event.key !== 'Enter') {
      return;
    }
    const query = searchQuery();
    const first = query && boxEls.find(({ name }) => matchesSearch(name, query));
    if (first) {
      event.preventDefault();
      selectNode(first.name, { reveal: true });
    }
  }

  // Scrolls the graph so that a box out of view sits in the middle of the
  // view, or as near as the edges of the graph allow; a box wholly in view
  // stays where it is. Uses the measured rectangles, so it lays nothing out.
  function reveal(name) {
    const i = boxEls.findIndex((entry) => entry.name === name);
    const r = boxRects[i];
    if (!r || contains(viewRect(0), r)) {
      return;
    }
    scrollEl.scrollTo(
      layersOrigin.x + (zoom * (r.left + r.right)) / 2 - scrollEl.clientWidth / 2,
      layersOrigin.y + (zoom * (r.top + r.bottom)) / 2 - scrollEl.clientHeight / 2,
    );
  }

  // Scales the graph about a point of the view (in pixels from its top-left
  // corner), which keeps showing the same part of the graph.
  function setZoom(wanted, atX, atY) {
    const next = Math.min(Math.max(wanted, MIN_ZOOM), MAX_ZOOM);
    if (next === zoom) {
      return;
    }
    const x = (scrollEl.scrollLeft + atX - layersOrigin.x) / zoom;
    const y = (scrollEl.scrollTop + atY - layersOrigin.y) / zoom;
    zoom = next;
    scrollEl.style.setProperty('--zoom', String(zoom));
    scrollEl.classList.toggle('zoomed', zoom !== 1);
    fitEl.textContent = zoom === 1 ? 'Fit' : '100%';
    fitEl.title = zoom === 1 ? 'Fit the graph into the view' : 'Back to actual size';
    scrollEl.scrollTo(layersOrigin.x + x * zoom - atX, layersOrigin.y + y * zoom - atY);
    // Most drawn edges may leave the view at once; emptying the SVG in one
    // step is far cheaper than removing them one by one.
    edgesEl.textContent = '';
    edgeEls.clear();
    refreshView();
  }

  function fitScale() {
    return Math.min(
      1,
      scrollEl.clientWidth / layersEl.scrollWidth,
      scrollEl.clientHeight / layersEl.scrollHeight,
    );
  }

  // Fit when at actual size, back to actual size otherwise.
  function onFit() {
    if (zoom === 1) {
      scrollEl.scrollTo(0, 0);
      setZoom(fitScale(), 0, 0);
    } else {
      setZoom(1, 0, 0);
    }
  }

  // Ctrl or Cmd with the wheel (and a trackpad pinch, which arrives as one)
  // zooms about the pointer; the plain wheel still scrolls.
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

  // From a focused box, Left or Up goes to its first parent and Right or
  // Down to its first child, when it has one.
  function arrowTarget(key, name) {
    if (key === 'ArrowLeft' || key === 'ArrowUp') {
      return (byName.get(name).depends_on || []).find((parent) => nodeEls.has(parent));
    }
    if (key === 'ArrowRight' || key === 'ArrowDown') {
      const child = (downstreamOf.get(name) || []).find((edge) => nodeEls.has(edge.downstream));
      return child && child.downstream;
    }
    return undefined;
  }

  function onBoxKey(event, name) {
    const modified = event.altKey || event.ctrlKey || event.metaKey || event.shiftKey;
    const target = modified ? undefined : arrowTarget(event.key, name);
    if (target === undefined) {
      pressSelects(event, name);
      return;
    }
    event.preventDefault();
    reveal(target);
    nodeEls.get(target).focus({ preventScroll: true });
    queueRefresh();
  }

  function highlightRule() {
    const query = searchQuery();
    if (query) {
      return {
        box: (name) => (matchesSearch(name, query) ? 'search-match' : 'dimmed'),
        edge: () => 'dimmed',
      };
    }
    if (selectedName === null) {
      return { box: () => '', edge: () => '' };
    }
    const { ancestors, descendants } = bfsLevel(selectedName);
    // Each side of the lineage takes its own colour; an edge that skips the
    // selection, from an ancestor straight to a descendant, is lit plainly.
    const side = (name) =>
      name === selectedName
        ? 'selected'
        : ancestors.has(name)
          ? 'upstream'
          : descendants.has(name)
            ? 'downstream'
            : null;
    return {
      box: (name) => {
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

  // Boxes and edges far from the view take the new look when they come near.
  function applyHighlight() {
    rule = highlightRule();
    refreshView();
  }

  function renderPanelList(list, names) {
    list.textContent = '';
    for (const name of names) {
      // A button inside the item: the list stays a list of items for a
      // screen reader, and Enter and Space press the button.
      const item = el('li');
      item.appendChild(el('button', { type: 'button' }, name));
      item.addEventListener('click', () => selectNode(name, { reveal: true }));
      list.appendChild(item);
    }
  }

  function renderPanel(name) {
    const node = byName.get(name);
    panelEmptyEl.style.display = 'none';
    panelContentEl.style.display = 'block';
    panelTitleEl.textContent = name;
    panelLayerEl.textContent = 'Layer ' + node.layer;
    panelWindowEl.textContent = windowText(node);
    panelDaysEl.textContent = amountText(windowDays(node), 'day');
    panelLookbackEl.textContent = 'lookback ' + amountText(node.lookback, node.lookback_unit);
    panelLookaheadEl.textContent = 'lookahead ' + amountText(node.lookahead, node.lookahead_unit);
    const [start, end] = dbtOptions(node);
    panelOptionsTextEl.replaceChildren(el('span', {}, start), ' ', el('span', {}, end));
    panelCopyEl.textContent = 'Copy';
    renderPanelList(panelUpstreamEl, node.depends_on || []);
    renderPanelList(
      panelDownstreamEl,
      (downstreamOf.get(name) || []).map((edge) => edge.downstream),
    );
  }

  // Enter or Space on a focused box or list item acts as a click.
  function pressSelects(event, name, how) {
    if (event.key === 'Enter' || event.key === ' ') {
      event.preventDefault();
      selectNode(name, how);
    }
  }

  // Escape takes back one thing at a time: the selection, then the search.
  function onEscape(event) {
    if (event.key !== 'Escape') {
      return;
    }
    if (selectedName !== null) {
      clearSelection();
    } else if (searchEl.value) {
      searchEl.value = '';
      onSearchInput();
    }
  }

  // With reveal, the graph scrolls to the box first, so the highlight is
  // applied to what will be in view.
  function selectNode(name, { reveal: scroll = false } = {}) {
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
    panelEmptyEl.style.display = '';
    panelContentEl.style.display = 'none';
  }

  function initPanelResize() {
    let drag = null;
    handleEl.addEventListener('mousedown', (event) => {
      drag = { x: event.clientX, width: panelEl.getBoundingClientRect().width };
      handleEl.classList.add('resizing');
      document.body.style.userSelect = 'none';
      event.preventDefault();
    });
    window.addEventListener('mousemove', (event) => {
      if (!drag) {
        return;
      }
      const widest = Math.max(PANEL_MIN_WIDTH, mainEl.getBoundingClientRect().width - GRAPH_MIN_WIDTH);
      const wanted = drag.width + (drag.x - event.clientX);
      panelEl.style.width = Math.min(Math.max(wanted, PANEL_MIN_WIDTH), widest) + 'px';
      drawEdges();
    });
    window.addEventListener('mouseup', () => {
      if (!drag) {
        return;
      }
      drag = null;
      handleEl.classList.remove('resizing');
      document.body.style.userSelect = '';
    });
  }

  searchEl.addEventListener('input', onSearchInput);
  panelCopyEl.addEventListener('click', onCopy);
  fitEl.addEventListener('click', onFit);
  scrollEl.addEventListener('wheel', onWheel, { passive: false });
  searchEl.addEventListener('keydown', onSearchKey);
  layersEl.addEventListener('keydown', (event) => {
    const box = event.target.closest('.node-box');
    if (box) {
      onBoxKey(event, box.dataset.name);
    }
  });
  document.addEventListener('keydown', onEscape);
  scrollEl.addEventListener('click', (event) => {
    if (event.target === scrollEl || event.target === layersEl || event.target === edgesEl) {
      clearSelection();
    }
  });
  scrollEl.addEventListener('scroll', queueRefresh, { passive: true });
  window.addEventListener('resize', drawEdges);
  initPanelResize();
  rootEl.classList.toggle('many', nodes.length + edges.length > MANY_ELEMENTS);
  render();
})();
