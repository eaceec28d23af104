// Tagbridge console trends: the recent values of tags (GET /api/history), kept moving by the
// event stream and drawn with uPlot (served by the link like this file). Loaded before app.js,
// which calls trendCard, folderTrendCard, trendHeads, trendCells, trendValue and pruneTrends.
'use strict';

const TREND_COLORS = ['#1f6feb', '#d9480f', '#0e9f6e', '#9c36b5', '#e3a008', '#0b7285', '#c2255c'];
const TREND_HEIGHT = 220;
const SPARK_SIZE = { width: 120, height: 26 };
const RECENT_LIST_LENGTH = 20;
// The event stream may replace a value not yet sent by a newer one; this often the charts
// fetch what the link's history holds since the last point it confirmed.
const TREND_SYNC_MS = 2000;

const trends = {
  points: new Map(),   // path -> [[ts, value], ...] oldest first, at most `limit`
  limit: 1000,         // the link's history length, learnt from its first answer
  views: [],           // live views: { root, paths, source (tag or folder asked), redraw(), destroy() }
  ticked: new Map(),   // folder path -> Set of child paths drawn together
  changed: new Set(),  // paths with points not yet drawn
  synced: new Map(),   // path -> time of the newest point the history confirmed
  framePending: false,
};

function chartsAvailable() { return typeof uPlot === 'function'; }

// Numbers and booleans are drawn; anything else is listed.
function isDrawable(value) { return typeof value === 'number' || typeof value === 'boolean'; }

function drawableType(type) {
  return [1, 2, 5, 9].includes(type) || ['number', 'int', 'bool', 'enum'].includes(String(type));
}

function plotValue(value) {
  if (typeof value === 'boolean') return value ? 1 : 0;
  return typeof value === 'number' ? value : null;
}

// Loads the points of `path` (its own, or each child's for a folder), all of them or those after
// `since`, and keeps them: the history's points replace what the stream brought up to its newest.
async function loadHistory(path, since) {
  const after = since === undefined ? '' : '&since=' + since;
  const answer = await api('GET', '/api/history?path=' + encodeURIComponent(path) + after);
  if (answer.historyPoints) trends.limit = answer.historyPoints;
  for (const series of answer.series || []) {
    const local = trends.points.get(series.path) || [];
    const points = series.points;
    const last = points.length ? points[points.length - 1][0] : (since === undefined ? -Infinity : since);
    const kept = since === undefined ? [] : local.filter((point) => point[0] <= since);
    trends.points.set(series.path, kept.concat(points, local.filter((point) => point[0] > last)).slice(-trends.limit));
    if (points.length) trends.synced.set(series.path, last);
    trends.changed.add(series.path);
  }
  scheduleTrendFrame();
  return answer;
}

// Each source (a tag, or a folder for its children) shown on the page, from its views' oldest
// confirmed point.
function syncTrends() {
  const sources = new Map();
  for (const view of trends.views) {
    const since = Math.min(...view.paths.map((path) => trends.synced.get(path) ?? -Infinity));
    sources.set(view.source, Math.min(sources.get(view.source) ?? Infinity, since));
  }
  for (const [source, since] of sources) {
    loadHistory(source, Number.isFinite(since) ? since : undefined).catch(() => {});
  }
}
setInterval(syncTrends, TREND_SYNC_MS);

// A value from the event stream: kept for any path already loaded, views redrawn once a frame.
function trendValue(path, value, ts) {
  const points = trends.points.get(path);
  if (!points) return;
  // An event may repeat the last point the history already answered.
  const last = points[points.length - 1];
  if (last && (ts < last[0] || (ts === last[0] && JSON.stringify(value) === JSON.stringify(last[1])))) return;
  points.push([ts, value]);
  if (points.length > trends.limit) points.splice(0, points.length - trends.limit);
  trends.changed.add(path);
  scheduleTrendFrame();
}

function scheduleTrendFrame() {
  if (trends.framePending) return;
  trends.framePending = true;
  requestAnimationFrame(() => {
    trends.framePending = false;
    for (const view of trends.views) {
      if (view.paths.some((viewed) => trends.changed.has(viewed))) view.redraw();
    }
    trends.changed.clear();
  });
}

// Views whose element left the page release their charts.
function pruneTrends() {
  trends.views = trends.views.filter((view) => {
    if (view.root.isConnected) return true;
    view.destroy();
    return false;
  });
}

function addView(view) {
  trends.views.push(view);
  return view;
}

// One table of rows aligned on time: [times, values of path 1, values of path 2, ...].
function alignedData(paths) {
  const tables = paths.map((path) => {
    const points = trends.points.get(path) || [];
    return [points.map((point) => point[0]), points.map((point) => plotValue(point[1]))];
  });
  if (tables.length === 1) return tables[0];
  return uPlot.join(tables);
}

function shortName(path) { return readableName(path.slice(path.lastIndexOf('/') + 1)); }

function seriesOptions(path, index) {
  const points = trends.points.get(path) || [];
  const stepped = points.length && typeof points[points.length - 1][1] === 'boolean';
  return {
    label: shortName(path),
    stroke: TREND_COLORS[index % TREND_COLORS.length],
    width: 1.5,
    spanGaps: true,
    points: { show: (count) => count < 60 },
    paths: stepped ? uPlot.paths.stepped({ align: 1 }) : undefined,
  };
}

// ---------------------------------------------------------------- chart with controls

function csvField(text) { return /[",\r\n]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text; }

// The plotted points as CSV: the time stamp (ISO 8601, UTC) and one column per tag.
function chartCsv(plot, paths) {
  const [times, ...columns] = plot.data;
  const lines = [['time', ...paths].map(csvField).join(',')];
  times.forEach((time, row) => {
    const values = columns.map((column) => (column[row] === null || column[row] === undefined ? '' : String(column[row])));
    lines.push([new Date(time).toISOString(), ...values].join(','));
  });
  return lines.join('\r\n') + '\r\n';
}

function download(name, text) {
  const url = URL.createObjectURL(new Blob([text], { type: 'text/csv;charset=utf-8' }));
  const link = el('a', { href: url, download: name });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

// A live chart of `paths` with pause, zoom (drag across it; double-click or the button resets)
// and CSV export; returns the element that holds it.
function trendChart(paths, source) {
  const box = el('div', { class: 'trend-plot', 'data-paths': paths.join('\n') });
  const pause = el('button', { class: 'btn small', type: 'button', 'data-trend': 'pause', text: 'Pause' });
  const unzoom = el('button', { class: 'btn small', type: 'button', 'data-trend': 'unzoom', text: 'Reset zoom', disabled: true });
  const csv = el('button', { class: 'btn small', type: 'button', 'data-trend': 'csv', text: 'Download CSV' });
  const root = el('div', { class: 'trend' }, el('div', { class: 'trend-tools' }, pause, unzoom, csv,
                  el('span', { class: 'muted hint', text: 'drag across the chart to zoom' })), box);
  const view = { root, paths, source, paused: false, zoomed: false, plot: null };
  const setZoomed = (zoomed) => { view.zoomed = zoomed; unzoom.disabled = !zoomed; };
  view.redraw = () => {
    if (!view.plot || view.paused) return;
    view.plot.setData(alignedData(paths), !view.zoomed);
  };
  view.destroy = () => { if (view.plot) view.plot.destroy(); view.plot = null; };
  pause.addEventListener('click', () => {
    view.paused = !view.paused;
    pause.textContent = view.paused ? 'Resume' : 'Pause';
    pause.classList.toggle('primary', view.paused);
    view.redraw();
  });
  unzoom.addEventListener('click', () => { setZoomed(false); view.plot.setData(view.plot.data, true); });
  csv.addEventListener('click', () => download('trend.csv', chartCsv(view.plot, paths)));
  requestAnimationFrame(() => {
    if (!root.isConnected) return;
    const options = {
      width: Math.max(box.clientWidth, 300),
      height: TREND_HEIGHT,
      ms: 1,
      scales: { x: { time: true } },
      series: [{ label: 'time' }, ...paths.map(seriesOptions)],
      cursor: { drag: { x: true, y: false } },
      hooks: { setSelect: [(plot) => { if (plot.select.width > 0) setZoomed(true); }] },
    };
    view.plot = new uPlot(options, alignedData(paths), box);
    box.trendPlot = view.plot;
    view.plot.over.addEventListener('dblclick', () => setZoomed(false));
  });
  addView(view);
  return root;
}

// ---------------------------------------------------------------- recent values as a list

function recentList(path) {
  const list = el('ol', { class: 'recent', 'data-path': path });
  const view = { root: list, paths: [path], source: path, destroy() {} };
  view.redraw = () => {
    const points = (trends.points.get(path) || []).slice(-RECENT_LIST_LENGTH).reverse();
    list.replaceChildren(...points.map(([ts, value]) => el('li', {},
      el('span', { class: 'muted', text: formatTime(ts) }), el('span', { class: 'mono', text: formatValue(value) }))));
  };
  addView(view).redraw();
  return list;
}

// ---------------------------------------------------------------- cards

function trendCardShell(title, body) {
  return el('div', { class: 'card wide trend-card' }, el('div', { class: 'card-head' }, title), el('div', { class: 'card-body' }, body));
}

function chartsMissing() {
  return el('div', { class: 'muted', text: 'Charts need uPlot in the console: run scripts/setup.sh and rebuild the link.' });
}

// Under a tag's value: a chart of its recent values, or the list of them for text and structures.
function trendCard(path, node) {
  if (!hasValue(node)) return null;
  const body = el('div', { class: 'trend-body' }, el('div', { class: 'muted', text: 'Loading recent values\u2026' }));
  const card = trendCardShell('Recent values', body);
  loadHistory(path).then((answer) => {
    const points = trends.points.get(path) || [];
    const drawable = points.length ? isDrawable(points[points.length - 1][1]) : drawableType(node.valueType);
    if (!answer.historyPoints) body.replaceChildren(el('div', { class: 'muted', text: 'The link keeps no history (--history-points 0).' }));
    else if (!drawable) body.replaceChildren(recentList(path));
    else body.replaceChildren(chartsAvailable() ? trendChart([path], path) : chartsMissing());
  }, (error) => body.replaceChildren(el('div', { class: 'banner bad', text: error.message })));
  return card;
}

// A folder's ticked children drawn on one chart with a legend.
function folderTrendCard(path) {
  const ticked = [...(trends.ticked.get(path) || [])];
  const holder = el('div', { class: 'folder-trend', 'data-folder': path });
  const render = async () => {
    const paths = [...(trends.ticked.get(path) || [])];
    if (paths.length) {
      try {
        await loadFolderOnce(path);
      } catch (error) {
        holder.replaceChildren(el('div', { class: 'banner bad', text: error.message }));
        return;
      }
    }
    holder.replaceChildren(paths.length
      ? trendCardShell('Trend of ' + paths.length + (paths.length === 1 ? ' tag' : ' tags'), trendChart(paths, path))
      : '');
    pruneTrends();
  };
  holder.trendRender = render;
  if (ticked.length) render();
  return holder;
}

function toggleTicked(folder, childPath, on) {
  const set = trends.ticked.get(folder) || new Set();
  if (on) set.add(childPath); else set.delete(childPath);
  trends.ticked.set(folder, set);
  const holder = document.querySelector('.folder-trend[data-folder="' + CSS.escape(folder) + '"]');
  if (holder) holder.trendRender();
}

// ---------------------------------------------------------------- children table

function trendHeads() {
  return [el('th', { text: 'Trend', title: 'Tick to draw on one chart' }), el('th', { text: 'Recent' })];
}

function sparkline(folder, childPath) {
  const box = el('div', { class: 'spark', 'data-path': childPath });
  const view = { root: box, paths: [childPath], source: folder, plot: null };
  view.redraw = () => { if (view.plot) view.plot.setData(alignedData([childPath])); };
  view.destroy = () => { if (view.plot) view.plot.destroy(); view.plot = null; };
  view.start = () => {
    if (!box.isConnected || view.plot) return;
    view.plot = new uPlot({
      ...SPARK_SIZE, ms: 1, legend: { show: false }, cursor: { show: false },
      scales: { x: { time: false } }, axes: [{ show: false }, { show: false }],
      series: [{}, { stroke: TREND_COLORS[0], width: 1, spanGaps: true, points: { show: false } }],
    }, alignedData([childPath]), box);
  };
  addView(view);
  return { box, view };
}

// The tick box and sparkline cells of one child row; the folder's history fills every
// sparkline with one request.
function trendCells(folder, childPath, child) {
  const drawable = isDrawable(child.value) || drawableType(child.valueType);
  if (!drawable || !chartsAvailable()) return [el('td'), el('td')];
  const tick = el('input', { type: 'checkbox', class: 'trend-pick', 'data-path': childPath, title: 'Draw on the chart',
                             checked: (trends.ticked.get(folder) || new Set()).has(childPath) });
  tick.addEventListener('click', (event) => event.stopPropagation());
  tick.addEventListener('change', () => toggleTicked(folder, childPath, tick.checked));
  const { box, view } = sparkline(folder, childPath);
  loadFolderOnce(folder).then(() => requestAnimationFrame(view.start), () => {});
  return [el('td', { onclick: (event) => event.stopPropagation() }, tick), el('td', { class: 'spark-cell' }, box)];
}

// One folder request per children table, however many rows ask.
const folderLoads = new Map();
function loadFolderOnce(folder) {
  if (!folderLoads.has(folder)) {
    const load = loadHistory(folder);
    folderLoads.set(folder, load);
    const forget = () => folderLoads.delete(folder);
    load.then(() => setTimeout(forget, 0), forget);
  }
  return folderLoads.get(folder);
}
