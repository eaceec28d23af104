// Tagbridge console: browses the node tree, shows live values and runs actions.
// Plain JavaScript against the link's own HTTP API; no build step, no other host.
'use strict';

const VALUE_TYPES = {
  0: 'dynamic', 1: 'number', 2: 'int', 4: 'string', 5: 'bool', 6: 'map', 7: 'array', 9: 'enum',
};
const TREE_REFRESH_DELAY_MS = 150;
// What the "$$$isit" marker of a node says it is, in words.
const MARKERS = {
  plc: 'PLC', emtags: 'explicit-message tags', iotags: 'I/O tags', tag: 'tag', subtag: 'subtag',
};

const state = {
  selected: '/',
  expanded: new Set(['/']),
  nodes: new Map(),        // path -> last node description fetched
  live: new Map(),         // path -> { value, ts } from the event stream
  valueViews: new Map(),   // path -> [{ el, render }] elements showing that path's value
  pendingValues: new Set(),
  dirtyParents: new Set(),
  eventsThisSecond: 0,
};

// ---------------------------------------------------------------- helpers

function $(id) { return document.getElementById(id); }

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value === true ? '' : value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function joinPath(parent, name) { return parent === '/' ? '/' + name : parent + '/' + name; }

function parentOf(path) {
  const cut = path.lastIndexOf('/');
  return cut <= 0 ? '/' : path.slice(0, cut);
}

function ancestorsOf(path) {
  const list = ['/'];
  let current = '';
  for (const part of path.split('/').filter(Boolean)) {
    current += '/' + part;
    list.push(current);
  }
  return list;
}

function isBelow(path, prefix) {
  return path === prefix || prefix === '/' || path.startsWith(prefix + '/');
}

// Names arrive escaped (%2F and kin); people read them unescaped.
function readableName(name) {
  try { return decodeURIComponent(name); } catch (e) { return name; }
}

function typeName(type) {
  if (type === null || type === undefined) return '';
  return VALUE_TYPES[type] !== undefined ? VALUE_TYPES[type] : String(type);
}

function isTypeCode(type, code, ...names) {
  return type === code || names.includes(String(type).toLowerCase());
}

// Integers beyond 2^53 (LINT, ULINT) would lose their last digits as JavaScript numbers: the
// JSON readers below turn every integer of 16 digits or more into a BigInt, and the writer puts
// them back as plain digits.
const BIG_INTEGER_OR_STRING = /"(?:[^"\\]|\\.)*"|(?<![\d.eE+-])-?\d{16,}(?![.eE\d])/g;
const BIG_MARK = '\u0000big:';

function parseExactJson(text) {
  return JSON.parse(text.replace(BIG_INTEGER_OR_STRING,
                                 (m) => (m[0] === '"' ? m : JSON.stringify(BIG_MARK + m))),
                    (key, v) => (typeof v === 'string' && v.startsWith(BIG_MARK)
                      ? BigInt(v.slice(BIG_MARK.length)) : v));
}

function stringifyExact(value, space) {
  const text = JSON.stringify(value, (key, v) => (typeof v === 'bigint' ? BIG_MARK + v : v), space);
  return text === undefined ? text
    : text.replace(/"\\u0000big:(-?\d+)"/g, '$1');
}

function formatValue(value) {
  if (value === null || value === undefined) return '\u2014';
  if (typeof value === 'bigint') return String(value);
  if (typeof value === 'number') {
    return Number.isInteger(value) ? String(value) : String(Number(value.toPrecision(7)));
  }
  if (typeof value === 'string') return value;
  return stringifyExact(value);
}

function formatTime(ts) {
  if (!ts) return '';
  const date = new Date(typeof ts === 'number' ? ts : Date.parse(ts));
  if (isNaN(date)) return String(ts);
  return date.toLocaleTimeString([], { hour12: false }) + '.' + String(date.getMilliseconds()).padStart(3, '0');
}

function markerOf(node) {
  const configs = node.configs || {};
  return typeof configs['$$$isit'] === 'string' ? configs['$$$isit'] : '';
}

function hasValue(node) {
  return (node.value !== null && node.value !== undefined) ||
         (node.valueType !== null && node.valueType !== undefined);
}

// ---------------------------------------------------------------- API

class ApiError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

async function api(method, url, body) {
  const options = { method, credentials: 'same-origin', headers: {} };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(url, options);
  } catch (e) {
    throw new ApiError(0, 'The link does not answer (' + e.message + ')');
  }
  let data = null;
  try { data = parseExactJson(await response.text()); } catch (e) { data = null; }
  if (!response.ok) {
    const reason = data && data.error ? data.error : response.status + ' ' + response.statusText;
    throw new ApiError(response.status, reason);
  }
  return data;
}

async function fetchNode(path) {
  const node = await api('GET', '/api/node?path=' + encodeURIComponent(path));
  state.nodes.set(path, node);
  if (hasValue(node)) rememberValue(path, node.value, null);
  for (const child of node.childNodes || []) {
    if (hasValue(child)) rememberValue(joinPath(path, child.name), child.value, null);
  }
  return node;
}

function rememberValue(path, value, ts) {
  const known = state.live.get(path);
  if (known && known.ts && !ts) return;  // the stream is fresher than a snapshot
  state.live.set(path, { value, ts });
}

// ---------------------------------------------------------------- live values

function registerValueView(path, element, render) {
  const views = state.valueViews.get(path) || [];
  views.push({ el: element, render });
  state.valueViews.set(path, views);
  render(element, state.live.get(path) || { value: null, ts: null }, false);
}

function pruneValueViews() {
  for (const [path, views] of state.valueViews) {
    const alive = views.filter((view) => view.el.isConnected);
    if (alive.length) state.valueViews.set(path, alive);
    else state.valueViews.delete(path);
  }
}

function renderPlainValue(element, entry, changed) {
  element.textContent = formatValue(entry.value);
  element.title = entry.ts ? 'updated ' + formatTime(entry.ts) : '';
  if (changed) flash(element);
}

function renderTimestamp(element, entry) {
  element.textContent = entry.ts ? formatTime(entry.ts) : '';
}

function flash(element) {
  element.classList.add('flash');
  requestAnimationFrame(() => requestAnimationFrame(() => element.classList.remove('flash')));
}

let valueFrameScheduled = false;
function scheduleValueFrame() {
  if (valueFrameScheduled) return;
  valueFrameScheduled = true;
  requestAnimationFrame(() => {
    valueFrameScheduled = false;
    for (const path of state.pendingValues) {
      const entry = state.live.get(path);
      for (const view of state.valueViews.get(path) || []) {
        if (view.el.isConnected) view.render(view.el, entry, true);
      }
    }
    state.pendingValues.clear();
  });
}

function onValueEvent(message) {
  let event;
  try { event = parseExactJson(message.data); } catch (e) { return; }
  state.live.set(event.path, { value: event.value, ts: event.ts });
  state.eventsThisSecond++;
  trendValue(event.path, event.value, event.ts);
  if (state.valueViews.has(event.path)) {
    state.pendingValues.add(event.path);
    scheduleValueFrame();
  }
}

// ---------------------------------------------------------------- tree changes

let treeRefreshTimer = null;
function onTreeEvent(message) {
  let event;
  try { event = JSON.parse(message.data); } catch (e) { return; }
  if (event.op === 'removed') {
    state.live.delete(event.path);
    if (isBelow(state.selected, event.path)) state.selected = parentOf(event.path);
  }
  state.dirtyParents.add(parentOf(event.path));
  if (event.op !== 'removed') state.dirtyParents.add(event.path);
  if (!treeRefreshTimer) treeRefreshTimer = setTimeout(flushTreeChanges, TREE_REFRESH_DELAY_MS);
}

async function flushTreeChanges() {
  treeRefreshTimer = null;
  const dirty = [...state.dirtyParents];
  state.dirtyParents.clear();
  const selectedTouched = dirty.some((path) => path === state.selected ||
                                              parentOf(path) === state.selected);
  for (const path of dirty) {
    if (state.expanded.has(path) && treeItem(path)) await renderTreeChildren(path);
  }
  if (selectedTouched || !state.nodes.has(state.selected)) await showDetail(state.selected, false);
  markSelection();
}

// ---------------------------------------------------------------- tree

function treeItem(path) {
  return document.querySelector('li[data-path="' + CSS.escape(path) + '"]');
}

function iconClass(summary, path) {
  if (path === '/') return 'root';
  const marker = markerOf(summary);
  if (marker === 'plc') return 'plc';
  if (hasValue(summary)) return 'value';
  return 'folder';
}

function makeTreeItem(path, summary) {
  const expandable = path === '/' || summary.hasChildren;
  const caret = el('span', { class: 'caret' + (expandable ? '' : ' leaf') }, '\u25b6');
  const label = el('span', { class: 'tree-label', text: path === '/' ? 'Tagbridge' : (summary.displayName || readableName(summary.name)) });
  const row = el('div', { class: 'tree-row', role: 'treeitem', tabindex: '0', 'data-path': path },
                 caret, el('span', { class: 'node-icon ' + iconClass(summary, path) }), label);
  if (path !== '/' && hasValue(summary)) {
    const valueEl = el('span', { class: 'tree-value' });
    row.append(valueEl);
    registerValueView(path, valueEl, renderPlainValue);
  }
  const item = el('li', { 'data-path': path }, row);
  caret.addEventListener('click', (event) => { event.stopPropagation(); toggle(path); });
  row.addEventListener('click', () => select(path, true));
  row.addEventListener('dblclick', () => toggle(path));
  row.addEventListener('keydown', (event) => onTreeKey(event, path));
  return item;
}

function onTreeKey(event, path) {
  if (event.key === 'Enter') select(path, true);
  else if (event.key === 'ArrowRight' && !state.expanded.has(path)) toggle(path);
  else if (event.key === 'ArrowLeft' && state.expanded.has(path)) toggle(path);
  else return;
  event.preventDefault();
}

async function renderTreeChildren(path) {
  const item = treeItem(path);
  if (!item) return;
  let node;
  try {
    node = await fetchNode(path);
  } catch (e) {
    if (e.status === 404 && path !== '/') { item.remove(); return; }
    replaceChildList(item, el('div', { class: 'tree-note', text: e.message }));
    return;
  }
  const browsable = (node.childNodes || []).filter((child) => !child.action);
  const list = el('ul', { role: 'group' });
  for (const child of browsable) {
    const childPath = joinPath(path, child.name);
    const childItem = makeTreeItem(childPath, child);
    list.append(childItem);
    if (state.expanded.has(childPath)) {
      childItem.querySelector('.caret').classList.add('open');
    }
  }
  replaceChildList(item, list);
  item.querySelector('.caret').classList.toggle('leaf', browsable.length === 0 && path !== '/');
  await Promise.all([...list.children]
    .map((child) => child.dataset.path)
    .filter((childPath) => state.expanded.has(childPath))
    .map((childPath) => renderTreeChildren(childPath)));
  pruneValueViews();
  markSelection();
}

function replaceChildList(item, replacement) {
  for (const old of item.querySelectorAll(':scope > ul, :scope > .tree-note')) old.remove();
  item.append(replacement);
}

async function toggle(path) {
  const item = treeItem(path);
  if (!item) return;
  const caret = item.querySelector('.caret');
  if (state.expanded.has(path)) {
    state.expanded.delete(path);
    caret.classList.remove('open');
    replaceChildList(item, el('ul'));
    pruneValueViews();
  } else {
    state.expanded.add(path);
    caret.classList.add('open');
    await renderTreeChildren(path);
  }
}

async function expandTo(path) {
  for (const ancestor of ancestorsOf(path)) {
    if (ancestor === path) break;
    if (!state.expanded.has(ancestor)) {
      state.expanded.add(ancestor);
      const item = treeItem(ancestor);
      if (item) {
        item.querySelector('.caret').classList.add('open');
        await renderTreeChildren(ancestor);
      }
    }
  }
}

function markSelection() {
  for (const row of document.querySelectorAll('.tree-row.selected')) row.classList.remove('selected');
  const item = treeItem(state.selected);
  if (item) item.querySelector('.tree-row').classList.add('selected');
}

async function select(path, expand) {
  state.selected = path;
  if (location.hash !== '#' + encodeURIComponent(path)) {
    history.replaceState(null, '', '#' + encodeURIComponent(path));
  }
  markSelection();
  await showDetail(path, true);
  if (expand && !state.expanded.has(path)) {
    const node = state.nodes.get(path);
    if (node && (node.childNodes || []).some((child) => !child.action)) await toggle(path);
  }
}

// ---------------------------------------------------------------- detail pane

async function showDetail(path, fetchFresh) {
  const pane = $('detail');
  let node = state.nodes.get(path);
  if (fetchFresh || !node) {
    try {
      node = await fetchNode(path);
    } catch (e) {
      if (e.status === 404 && path !== '/') { await select(parentOf(path), false); return; }
      pane.replaceChildren(el('div', { class: 'banner bad', text: e.message }));
      return;
    }
  }
  if (state.selected !== path) return;  // the user moved on while we waited
  const parts = [
    breadcrumbs(path),
    titleRow(path, node),
    actionBar(path, node),
    el('div', { class: 'cards' }, valueCard(path, node), configCard(node)),
    trendCard(path, node),
    folderTrendCard(path),
    childrenCard(path, node),
  ];
  pane.replaceChildren(...parts.filter(Boolean));
  pruneValueViews();
  pruneTrends();
}

function breadcrumbs(path) {
  const crumbs = el('div', { class: 'crumbs' });
  const chain = ancestorsOf(path);
  chain.forEach((ancestor, index) => {
    const text = ancestor === '/' ? 'root' : readableName(ancestor.slice(ancestor.lastIndexOf('/') + 1));
    if (index > 0) crumbs.append(' / ');
    if (index === chain.length - 1) crumbs.append(text);
    else crumbs.append(el('a', { onclick: () => { expandTo(ancestor); select(ancestor, false); }, text }));
  });
  return crumbs;
}

function titleRow(path, node) {
  const row = el('div', { class: 'title-row' },
                 el('h1', { text: path === '/' ? 'Tagbridge' : (node.displayName || readableName(node.name)) }));
  const marker = markerOf(node);
  if (marker) row.append(el('span', { class: 'badge', text: MARKERS[marker] || marker }));
  else if (node.kind) row.append(el('span', { class: 'badge', text: node.kind }));
  const status = (node.configs || {})['$status'];
  if (typeof status === 'string') {
    row.append(el('span', { class: 'badge ' + (status === 'OK' ? 'ok' : 'bad'), text: status }));
  }
  return row;
}

function actionBar(path, node) {
  const actions = (node.childNodes || []).filter((child) => child.action);
  if (!actions.length) return el('div');
  const destructive = (action) => /^remove/i.test(action.displayName || action.name);
  return el('div', { class: 'actions' }, actions.map((action) => el('button', {
    class: destructive(action) ? 'btn danger' : 'btn', type: 'button', 'data-action': action.name,
    onclick: () => openAction(joinPath(path, action.name), path),
    text: action.displayName || readableName(action.name),
  })));
}

function valueCard(path, node) {
  if (!hasValue(node)) return null;
  const big = el('div', { class: 'value-big', 'data-value-of': path });
  const updated = el('span');
  registerValueView(path, big, renderPlainValue);
  registerValueView(path, updated, (element, entry) => {
    element.textContent = entry.ts ? 'updated ' + formatTime(entry.ts) : 'no value yet';
  });
  return el('div', { class: 'card' },
            el('div', { class: 'card-head' }, 'Value'),
            el('div', { class: 'card-body' }, big,
               el('div', { class: 'value-meta' }, el('span', { text: 'type ' + (typeName(node.valueType) || 'none') }), updated)));
}

function configCard(node) {
  const entries = Object.entries(node.configs || {}).filter(([key]) => !key.startsWith('$$$'));
  if (!entries.length) return null;
  const rows = entries.map(([key, value]) => el('tr', {},
    el('td', { class: 'key', text: key.replace(/^\$+/, '') }),
    el('td', { class: 'mono', text: formatValue(value) })));
  return el('div', { class: 'card' },
            el('div', { class: 'card-head' }, 'Configuration'),
            el('table', { class: 'grid' }, el('tbody', {}, rows)));
}

function childrenCard(path, node) {
  const children = (node.childNodes || []).filter((child) => !child.action);
  if (!children.length) return null;
  const withStatus = children.some((child) => child.configs && typeof child.configs['$status'] === 'string');
  const withValues = children.some(hasValue);
  const head = el('tr', {}, el('th', { text: 'Name' }),
                  withValues ? [el('th', { text: 'Value' }), el('th', { text: 'Type' }), el('th', { text: 'Updated' }), ...trendHeads()] : [],
                  withStatus ? el('th', { text: 'Status' }) : null);
  const rows = children.map((child) => {
    const childPath = joinPath(path, child.name);
    const row = el('tr', { class: 'clickable', 'data-child': child.name,
                           onclick: () => { expandTo(childPath); select(childPath, false); } },
                   el('td', { text: child.displayName || readableName(child.name) }));
    if (withValues) {
      const value = el('td', { class: 'cell-value' });
      const updated = el('td', { class: 'muted' });
      row.append(value, el('td', { class: 'muted', text: typeName(child.valueType) }), updated,
                 ...(hasValue(child) ? trendCells(path, childPath, child) : [el('td'), el('td')]));
      if (hasValue(child)) {
        registerValueView(childPath, value, renderPlainValue);
        registerValueView(childPath, updated, renderTimestamp);
      }
    }
    if (withStatus) {
      const status = child.configs ? child.configs['$status'] : '';
      row.append(el('td', { class: status === 'OK' ? 'cell-ok' : 'cell-bad', text: status || '' }));
    }
    return row;
  });
  return el('div', { class: 'card wide' },
            el('div', { class: 'card-head' }, 'Children', el('span', { class: 'count', text: String(children.length) })),
            el('table', { class: 'grid' }, el('thead', {}, head), el('tbody', {}, rows)));
}

// ---------------------------------------------------------------- actions

function isEnumeration(param) {
  return isTypeCode(param.type, 9, 'enum', 'enumeration') || choicesOf(param).length > 0;
}

function choicesOf(param) {
  if (Array.isArray(param.choices)) return param.choices.map(String);
  if (typeof param.choices === 'string' && param.choices) return param.choices.split(',');
  return [];
}

function isMultiline(spec) {
  return typeof spec.editor === 'string' && spec.editor.toLowerCase() === 'textarea';
}

function isNumeric(param) { return isTypeCode(param.type, 1, 'number') || isTypeCode(param.type, 2, 'int'); }
function isBoolean(param) { return isTypeCode(param.type, 5, 'bool', 'boolean'); }

function placeholderFor(param) {
  if (/tags\(json\)/i.test(param.name)) {
    return '[\n  {"Tag Alias": "Level", "Tag Name": "Level"},\n  {"Tag Alias": "Speed", "Tag Name": "Program:Main.Speed"}\n]';
  }
  return '';
}

function fieldFor(param, index) {
  const id = 'param-' + index;
  const hasDefault = param.default !== null && param.default !== undefined;
  let input;
  if (isEnumeration(param)) {
    input = el('select', { id, name: param.name },
               choicesOf(param).map((choice) => el('option', { value: choice, selected: hasDefault && String(param.default) === choice, text: choice })));
  } else if (isBoolean(param)) {
    input = el('select', { id, name: param.name },
               el('option', { value: 'true', selected: param.default === true, text: 'true' }),
               el('option', { value: 'false', selected: param.default !== true, text: 'false' }));
  } else if (isMultiline(param)) {
    input = el('textarea', { id, name: param.name, spellcheck: 'false', placeholder: placeholderFor(param) });
    if (hasDefault) input.value = String(param.default);
  } else {
    input = el('input', { id, name: param.name, type: isNumeric(param) ? 'number' : 'text', step: isNumeric(param) ? 'any' : null });
    if (hasDefault) input.value = String(param.default);
  }
  const hint = typeName(param.type) + (hasDefault ? ', default ' + formatValue(param.default) : '');
  return el('div', { class: 'field' },
            el('label', { for: id }, param.name, el('span', { class: 'hint', text: hint })), input);
}

function collectParams(form, params) {
  const values = {};
  params.forEach((param) => {
    const input = form.elements.namedItem(param.name);
    if (!input) return;
    const raw = input.value;
    if (isBoolean(param)) values[param.name] = raw === 'true';
    else if (isNumeric(param) && !isEnumeration(param)) {
      if (raw.trim() !== '') values[param.name] = Number(raw);  // empty: the handler's own default
    } else values[param.name] = raw;
  });
  return values;
}

// An action may have changed the nodes below path: redraw them shortly.
function refreshTreeSoon(path) {
  state.dirtyParents.add(path);
  if (!treeRefreshTimer) treeRefreshTimer = setTimeout(flushTreeChanges, TREE_REFRESH_DELAY_MS);
}

async function openAction(actionPath, ownerPath) {
  let node;
  try {
    node = await fetchNode(actionPath);
  } catch (e) {
    showDialog('Action', ownerPath);
    $('action-result').replaceChildren(el('div', { class: 'banner bad', text: e.message }));
    return;
  }
  const action = node.action || { params: [], columns: [] };
  const params = action.params || [];
  const title = node.displayName || readableName(node.name);
  showDialog(title, ownerPath);
  const form = $('action-form');
  const runButton = el('button', { class: 'btn primary', type: 'submit', id: 'action-run', text: 'Run' });
  form.replaceChildren(
    ...(params.length ? params.map(fieldFor) : [el('div', { class: 'no-params', text: 'This action takes no parameters.' })]),
    el('div', { class: 'form-buttons' },
       el('button', { class: 'btn', type: 'button', onclick: closeDialog, text: 'Close' }), runButton));
  form.onsubmit = async (event) => {
    event.preventDefault();
    runButton.disabled = true;
    runButton.textContent = 'Running\u2026';
    $('action-result').replaceChildren(el('div', { class: 'banner info', text: 'Running ' + title + '\u2026' }));
    try {
      const result = await api('POST', '/api/invoke?path=' + encodeURIComponent(actionPath), collectParams(form, params));
      const rendered = isBrowseResult(actionPath, result) ? renderBrowseResult(result, ownerPath) : renderResult(result, action);
      $('action-result').replaceChildren(...rendered);
    } catch (e) {
      $('action-result').replaceChildren(el('div', { class: 'banner bad', text: e.message }));
    } finally {
      runButton.disabled = false;
      runButton.textContent = 'Run';
    }
    refreshTreeSoon(ownerPath);
  };
  const first = form.querySelector('input, select, textarea');
  (first || runButton).focus();
}

function cellClass(value) {
  if (value === true || value === 'success!') return 'cell-ok';
  if (value === false || value === 'fail!') return 'cell-bad';
  return '';
}

// JSON text reads better indented; anything else is shown as it is.
function readableText(value) {
  const text = formatValue(value);
  try { return stringifyExact(parseExactJson(text), 2); } catch (e) { return text; }
}

function cellContent(value, column) {
  if (column && isMultiline(column)) return el('pre', { class: 'multiline', text: formatValue(value) });
  return formatValue(value);
}

// A single row whose first column is a "Success" flag reads best as a verdict plus details.
function renderResult(result, action) {
  const columns = result.columns || [];
  const rows = result.rows || [];
  const declared = new Map((action.columns || []).map((column) => [column.name, column]));
  const spec = (column) => Object.assign({}, declared.get(column.name) || {}, column);
  if (!rows.length) return [el('div', { class: 'banner ok', text: 'Done.' })];
  const verdict = rows.length === 1 && typeof rows[0][0] === 'boolean';
  if (verdict) {
    const ok = rows[0][0];
    const parts = [];
    const details = [];
    columns.slice(1).forEach((column, index) => {
      const value = rows[0][index + 1];
      if (isMultiline(spec(column))) {
        details.push(el('div', { class: 'result-label', text: column.name }),
                     el('pre', { class: 'multiline result-text', text: readableText(value) }));
      } else parts.push(formatValue(value));
    });
    const banner = el('div', { class: 'banner ' + (ok ? 'ok' : 'bad'), text: (ok ? 'Succeeded' : 'Failed') + (parts.length ? ': ' + parts.join(' ') : '') });
    return [banner, ...details];
  }
  const failed = rows.filter((row) => row.some((value) => cellClass(value) === 'cell-bad') ||
                                     (row.length > 1 && typeof row[row.length - 1] === 'string' && row[row.length - 1] !== 'success!')).length;
  const summary = failed ? failed + ' of ' + rows.length + ' rows report a problem' : rows.length + (rows.length === 1 ? ' row' : ' rows') + ', all succeeded';
  return [
    el('div', { class: 'banner ' + (failed ? 'bad' : 'ok'), text: summary }),
    el('div', { class: 'result-table' },
       el('table', { class: 'grid', id: 'result-grid' },
          el('thead', {}, el('tr', {}, columns.map((column) => el('th', { text: column.name })))),
          el('tbody', {}, rows.map((row) => el('tr', {}, row.map((value, index) =>
            el('td', { class: cellClass(value) || 'mono' }, cellContent(value, columns[index] && spec(columns[index]))))))))),
  ];
}

// ---------------------------------------------------------------- browse table

// "Browse Tags" answers the controller's tags; its rows can be ticked and added to the folder.
function isBrowseResult(actionPath, result) {
  const columns = (result.columns || []).map((column) => column.name);
  return /\/Browse Tags$/.test(actionPath) && columns[0] === 'Name' && columns.includes('Readable');
}

// An alias from a tag name: characters a node name would have to escape become '_'.
function aliasFromName(name) {
  return name.replace(/[\/%\\?*:|<>"\u0000-\u001f]/g, '_').replace(/^[.$]/, '_');
}

function uniqueAlias(name, taken) {
  const base = aliasFromName(name);
  let alias = base;
  for (let n = 2; taken.has(alias); n += 1) alias = base + '_' + n;
  taken.add(alias);
  return alias;
}

async function existingAliases(folderPath) {
  try {
    const list = await api('GET', '/api/node?path=' + encodeURIComponent(joinPath(folderPath, 'Read Tags List')));
    return new Set((list.children || []).map((name) => readableName(name)));
  } catch (e) {
    return new Set();
  }
}

async function addSelected(folderPath, names, output) {
  const taken = await existingAliases(folderPath);
  const tags = names.map((name) => ({ 'Tag Alias': uniqueAlias(name, taken), 'Tag Name': name }));
  output.replaceChildren(el('div', { class: 'banner info', text: 'Adding ' + tags.length + ' tags\u2026' }));
  const addPath = joinPath(folderPath, 'Add Tags');
  try {
    const result = await api('POST', '/api/invoke?path=' + encodeURIComponent(addPath), { 'Tags(json)': JSON.stringify(tags) });
    output.replaceChildren(...renderResult(result, {}));
  } catch (e) {
    const text = e.status === 404 ? 'Add Tags is offered while polling is stopped: stop polling first.' : e.message;
    output.replaceChildren(el('div', { class: 'banner bad', text }));
  }
  refreshTreeSoon(folderPath);
}

function renderBrowseResult(result, folderPath) {
  const columns = result.columns || [];
  const rows = result.rows || [];
  if (rows.length === 1 && rows[0][0] === 'fail!') {
    return [el('div', { class: 'banner bad', text: 'Failed: ' + formatValue(rows[0][1]) })];
  }
  const readable = columns.findIndex((column) => column.name === 'Readable');
  const output = el('div', { id: 'browse-added' });
  const addButton = el('button', { class: 'btn primary', type: 'button', id: 'browse-add', text: 'Add selected', disabled: true });
  const boxes = rows.map((row) => el('input', { type: 'checkbox', class: 'browse-pick', 'data-name': String(row[0]), disabled: row[readable] !== true }));
  const picked = () => boxes.filter((box) => box.checked).map((box) => box.dataset.name);
  const all = el('input', { type: 'checkbox', id: 'browse-all', title: 'Select every readable tag' });
  const refresh = () => {
    const count = picked().length;
    addButton.disabled = count === 0;
    addButton.textContent = count ? 'Add selected (' + count + ')' : 'Add selected';
  };
  boxes.forEach((box) => box.addEventListener('change', refresh));
  all.addEventListener('change', () => { boxes.forEach((box) => { if (!box.disabled) box.checked = all.checked; }); refresh(); });
  addButton.addEventListener('click', () => addSelected(folderPath, picked(), output));
  return [
    el('div', { class: 'banner ok', text: rows.length + (rows.length === 1 ? ' tag' : ' tags') + ' on the controller' }),
    el('div', { class: 'form-buttons' }, addButton),
    el('div', { class: 'result-table' },
       el('table', { class: 'grid', id: 'result-grid' },
          el('thead', {}, el('tr', {}, el('th', {}, all), columns.map((column) => el('th', { text: column.name })))),
          el('tbody', {}, rows.map((row, index) => el('tr', {}, el('td', {}, boxes[index]),
            row.map((value) => el('td', { class: typeof value === 'boolean' ? cellClass(value) : 'mono' }, formatValue(value)))))))),
    output,
  ];
}

function showDialog(title, ownerPath) {
  $('dialog-title').textContent = title;
  $('dialog-path').textContent = 'on ' + ownerPath;
  $('action-form').replaceChildren();
  $('action-result').replaceChildren();
  $('dialog-backdrop').hidden = false;
}

function closeDialog() {
  $('dialog-backdrop').hidden = true;
}

// ---------------------------------------------------------------- event stream

function setLive(text, cls) {
  const badge = $('live');
  badge.textContent = text;
  badge.className = 'live ' + cls;
}

function connectEvents() {
  const source = new EventSource('/api/events?path=%2F');
  let everOpened = false;
  source.addEventListener('open', () => {
    setLive('Live', 'live-on');
    if (everOpened) reloadAll();  // changes may have been missed while away
    everOpened = true;
  });
  source.addEventListener('error', () => {
    setLive(source.readyState === EventSource.CLOSED ? 'Disconnected' : 'Reconnecting', 'live-bad');
    if (source.readyState === EventSource.CLOSED) setTimeout(connectEvents, 3000);
  });
  source.addEventListener('value', onValueEvent);
  source.addEventListener('tree', onTreeEvent);
}

function tickEventRate() {
  const count = state.eventsThisSecond;
  state.eventsThisSecond = 0;
  $('event-rate').textContent = count ? count + ' changes/s' : '';
}

async function reloadAll() {
  await renderTreeChildren('/');
  await showDetail(state.selected, true);
}

// ---------------------------------------------------------------- start

async function start() {
  const tree = $('tree');
  tree.replaceChildren(makeTreeItem('/', { name: '', hasChildren: true }));
  treeItem('/').querySelector('.caret').classList.add('open');
  $('refresh-tree').addEventListener('click', reloadAll);
  $('dialog-close').addEventListener('click', closeDialog);
  $('dialog-backdrop').addEventListener('click', (event) => { if (event.target === $('dialog-backdrop')) closeDialog(); });
  document.addEventListener('keydown', (event) => { if (event.key === 'Escape') closeDialog(); });
  setInterval(tickEventRate, 1000);
  connectEvents();
  const wanted = location.hash.length > 1 ? decodeURIComponent(location.hash.slice(1)) : '/';
  await renderTreeChildren('/');
  await expandTo(wanted);
  await select(wanted, false);
}

start();
