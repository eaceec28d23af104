#!/usr/bin/env node
// Browser test of the console's trends: polls the demo PLC's Counter and Ramp, opens Counter and
// checks that its chart plots the points GET /api/history answers and grows while polling goes
// on; then ticks both tags in their folder, sees both in the chart's legend, pauses it and
// downloads its CSV, which must hold the plotted points.
//
//   node trend.test.js --tagbridge BIN --plcsim BIN [--work DIR] [--screenshot FILE]
//
// Exit status: 0 passed, 1 failed, 77 skipped (chromium is not installed).
'use strict';

const fs = require('fs');
const path = require('path');
const { CHROMIUM, launchChromium } = require('./chromium');
const { startPlcsim, startTagbridge, stopAll } = require('./processes');
const { SKIP, STEP_TIMEOUT_MS, parseArgs, log, runAction, selectNode, finishPage, runMain } = require('./steps');

const FOLDER = '/line1/EM Tags/Read Tags List';
const COUNTER = FOLDER + '/Counter';
const RAMP = FOLDER + '/Ramp';

// The data of the chart of `paths` on the page: [times, values of each path].
function plotted(page, paths) {
  return page.evaluate((key) => {
    const box = [...document.querySelectorAll('#detail .trend-plot')].find((node) => node.dataset.paths === key);
    return box && box.trendPlot ? box.trendPlot.data.map((column) => [...column]) : null;
  }, paths.join('\n'));
}

async function waitPlotted(page, paths, morethan) {
  await page.waitForFunction(([key, count]) => {
    const box = [...document.querySelectorAll('#detail .trend-plot')].find((node) => node.dataset.paths === key);
    return box && box.trendPlot && box.trendPlot.data[0].length > count;
  }, [paths.join('\n'), morethan], { timeout: STEP_TIMEOUT_MS });
}

async function historyOf(url, nodePath) {
  const response = await fetch(url + 'api/history?path=' + encodeURIComponent(nodePath));
  if (!response.ok) throw new Error(`GET /api/history answered ${response.status}`);
  return (await response.json()).series[0].points;
}

// Waits until the chart of `nodePath` plots more than `count` points, every one of them the
// history's and none of the history's up to its last missing (the stream may skip a value that
// the chart then fetches from the history); resolves with the plotted data.
async function waitSamePoints(page, url, nodePath, count) {
  for (let waited = 0; ; waited += 200) {
    const data = await plotted(page, [nodePath]);
    const drawn = data ? data[0].map((ts, i) => [ts, data[1][i]]) : [];
    const last = drawn.length ? drawn[drawn.length - 1][0] : -Infinity;
    const expected = (await historyOf(url, nodePath)).filter(([ts]) => ts <= last);
    const same = JSON.stringify(drawn) === JSON.stringify(expected);
    if (same && drawn.length > count) return data;
    if (waited > STEP_TIMEOUT_MS) {
      throw new Error(`the chart plots ${JSON.stringify(drawn)}, the history holds ${JSON.stringify(expected)}`);
    }
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
}

async function checkCsv(page, paths) {
  await page.click('.folder-trend button[data-trend="pause"]');
  const data = await plotted(page, paths);
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('.folder-trend button[data-trend="csv"]')]);
  const lines = fs.readFileSync(await download.path(), 'utf8').trim().split('\r\n');
  if (lines[0] !== ['time', ...paths].join(',')) throw new Error('CSV header: ' + lines[0]);
  const rows = lines.slice(1).map((line) => line.split(','));
  const expected = data[0].map((ts, i) => [new Date(ts).toISOString(), ...data.slice(1).map((column) => column[i] === null ? '' : String(column[i]))]);
  if (JSON.stringify(rows) !== JSON.stringify(expected)) throw new Error(`CSV ${JSON.stringify(rows)} is not the plotted ${JSON.stringify(expected)}`);
  log(`CSV holds the ${rows.length} plotted rows`);
}

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    log(`SKIP: ${CHROMIUM} is not installed`);
    return SKIP;
  }
  const args = parseArgs(process.argv, 'trend.test.js');
  let browser = null;
  try {
    const sim = await startPlcsim(args.plcsim, [], log);
    const link = await startTagbridge(args.tagbridge, path.join(args.work, 'data'), [], log);
    browser = await launchChromium();
    const page = await browser.context.newPage();
    page.setDefaultTimeout(STEP_TIMEOUT_MS);
    const problems = [];
    page.on('pageerror', (error) => problems.push(error.message));
    await page.goto(link.url);
    await page.waitForSelector('#live.live-on');
    await selectNode(page, '/');
    await runAction(page, 'addplc', { 'Alias': 'line1', 'Host': '127.0.0.1', 'Port': sim.port, 'Protocol Family': 'CIP/EIP' });
    await selectNode(page, '/line1');
    await selectNode(page, '/line1/EM Tags');
    await runAction(page, 'Add Tags', { 'Tags(json)': JSON.stringify([{ 'Tag Alias': 'Counter', 'Tag Name': 'Counter' }, { 'Tag Alias': 'Ramp', 'Tag Name': 'Ramp' }]) });
    await runAction(page, 'Start Polling', { 'Interval(ms)': 100 });

    await page.goto(link.url + '#' + encodeURIComponent(COUNTER));
    await page.reload();
    const first = await waitSamePoints(page, link.url, COUNTER, 2);
    const grown = await waitSamePoints(page, link.url, COUNTER, first[0].length + 3);
    log(`Counter's chart grew from ${first[0].length} to ${grown[0].length} points, all of them its history's`);

    await selectNode(page, FOLDER);
    for (const tag of [COUNTER, RAMP]) await page.check(`input.trend-pick[data-path="${tag}"]`);
    await waitPlotted(page, [COUNTER, RAMP], 2);
    const legend = await page.locator('.folder-trend .u-legend').textContent();
    if (!legend.includes('Counter') || !legend.includes('Ramp')) throw new Error('legend: ' + legend);
    await checkCsv(page, [COUNTER, RAMP]);
    return await finishPage(page, args, problems);
  } finally {
    if (browser) await browser.close();
    await stopAll();
  }
}

runMain(main, stopAll);
