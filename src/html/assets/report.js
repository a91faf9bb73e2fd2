(function () {
  'use strict';

  const SVG_NS = 'http://www.w3.org/2000/svg';
  const PANEL_MIN_WIDTH = 240;
  const GRAPH_MIN_WIDTH = 300;
  // Above this many boxes and edges, fades and flowing dashes would cost more
  // per click than the highlight itself, so the style sheet drops them.
  const MANY_ELEMENTS = 2000;

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
  // name -> its first box (edges attach there), every box with its name (a
  // plan may list one name twice, as for a versioned model), and the drawn
  // edges as { edge, path, d } in data order.
  const nodeEls = new Map();
  let boxEls = [];
  let edgeEls = [];
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

  function buildLayout() {
    layersEl.textContent = '';
    nodeEls.clear();
    boxEls = [];
    const columns = document.createDocumentFragment();
    for (const [layer, members] of byLayer()) {
      const column = el('div', { class: 'layer-col' });
      for (const node of members) {
        const box = el('div', { class: 'node-box', 'data-name': node.name });
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

  // Where each edge runs now: every box is measured before anything is
  // written, so the page lays out once however many edges there are.
  function measureEdges() {
    const origin = layersEl.getBoundingClientRect();
    const sides = new Map();
    for (const [name, box] of nodeEls) {
      const r = box.getBoundingClientRect();
      const middle = r.top + r.height / 2 - origin.top;
      sides.set(name, { left: r.left - origin.left, right: r.right - origin.left, middle });
    }
    const routes = [];
    for (const edge of edges) {
      const from = sides.get(edge.upstream);
      const to = sides.get(edge.downstream);
      if (from && to) {
        routes.push({ edge, d: edgePath(from.right, from.middle, to.left, to.middle) });
      }
    }
    return routes;
  }

  function sameAsDrawn(routes) {
    return routes.length === edgeEls.length && routes.every((route, i) => route.d === edgeEls[i].d);
  }

  function drawEdges() {
    const width = layersEl.scrollWidth;
    const height = layersEl.scrollHeight;
    const routes = measureEdges();
    edgesEl.setAttribute('width', width);
    edgesEl.setAttribute('height', height);
    edgesEl.setAttribute('viewBox', '0 0 ' + width + ' ' + height);
    // A resize or a panel drag seldom moves a box; rebuilding thousands of
    // identical paths would only make it stutter.
    if (edgeEls.length > 0 && sameAsDrawn(routes)) {
      return;
    }
    edgesEl.textContent = '';
    const paths = document.createDocumentFragment();
    edgeEls = [];
    for (const { edge, d } of routes) {
      const path = el(
        'path',
        { class: 'edge', 'data-upstream': edge.upstream, 'data-downstream': edge.downstream, d },
        undefined,
        SVG_NS,
      );
      shownState.set(path, '');
      edgeEls.push({ edge, path, d });
      paths.appendChild(path);
    }
    edgesEl.appendChild(paths);
  }

  // Fresh edges carry no highlight; put back what the user selected or searched.
  function redrawEdges() {
    drawEdges();
    applyHighlight();
  }

  function render() {
    buildLayout();
    drawEdges();
    applyHighlight();
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

  function highlightRule() {
    const query = searchEl.value.trim().toLowerCase();
    if (query) {
      return {
        box: (name) => (lowerNames.get(name).includes(query) ? 'search-match' : 'dimmed'),
        edge: () => 'dimmed',
      };
    }
    if (selectedName === null) {
      return { box: () => '', edge: () => '' };
    }
    const { ancestors, descendants } = bfsLevel(selectedName);
    const related = new Set([selectedName, ...ancestors, ...descendants]);
    return {
      box: (name) =>
        name === selectedName ? 'selected' : related.has(name) ? 'highlighted' : 'dimmed',
      edge: (edge) =>
        related.has(edge.upstream) && related.has(edge.downstream) ? 'highlighted' : 'dimmed',
    };
  }

  function applyHighlight() {
    const rule = highlightRule();
    for (const { name, box } of boxEls) {
      show(box, 'node-box', rule.box(name));
    }
    for (const { edge, path } of edgeEls) {
      show(path, 'edge', rule.edge(edge));
    }
  }

  function renderPanelList(list, names) {
    list.textContent = '';
    for (const name of names) {
      const item = el('li', {}, name);
      item.addEventListener('click', () => selectNode(name));
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
    renderPanelList(panelUpstreamEl, node.depends_on || []);
    renderPanelList(
      panelDownstreamEl,
      (downstreamOf.get(name) || []).map((edge) => edge.downstream),
    );
  }

  function selectNode(name) {
    if (!byName.has(name)) {
      return;
    }
    selectedName = name;
    searchEl.value = '';
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
      redrawEdges();
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

  searchEl.addEventListener('input', applyHighlight);
  scrollEl.addEventListener('click', (event) => {
    if (event.target === scrollEl || event.target === layersEl || event.target === edgesEl) {
      clearSelection();
    }
  });
  window.addEventListener('resize', redrawEdges);
  initPanelResize();
  rootEl.classList.toggle('many', nodes.length + edges.length > MANY_ELEMENTS);
  render();
})();
