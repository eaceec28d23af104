#!/usr/bin/env node
// Browser test of the console: runs plcsim and tagbridge as processes, then, in
// Debian's chromium, adds the PLC through the "Add PLC" form, adds a tag, starts
// polling and waits until the tag's value changes on the page; then the same tag as
// an I/O tag, listened to over UDP, until its "Data" changes on the page.
//
//   node console.test.js --tagbridge BIN --plcsim BIN [--work DIR] [--screenshot FILE]
//
// Exit status: 0 passed, 1 failed, 77 skipped (chromium is not installed).
'use strict';

const dgram = require('dgram');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { CHROMIUM, launchChromium } = require('./chromium');
const { startPlcsim, startTagbridge, stopAll } = require('./processes');

const SKIP = 77;
const STEP_TIMEOUT_MS = 30000;
const TAG = 'Counter';

function parseArgs(argv) {
  const args = { work: fs.mkdtempSync(path.join(os.tmpdir(), 'tagbridge-browser-')) };
  for (let i = 2; i < argv.length; i += 2) args[argv[i].replace(/^--/, '')] = argv[i + 1];
  if (!args.tagbridge || !args.plcsim) throw new Error('usage: console.test.js --tagbridge BIN --plcsim BIN');
  return args;
}

function log(text) { process.stdout.write('[browser] ' + text + '\n'); }

async function runAction(page, actionName, fields) {
  await page.click(`#detail button[data-action="${actionName}"]`);
  await page.waitForSelector('#dialog-backdrop:not([hidden]) #action-run');
  for (const [name, value] of Object.entries(fields)) {
    const field = page.locator(`#action-form [name="${name}"]`);
    const tag = await field.evaluate((node) => node.tagName);
    if (tag === 'SELECT') await field.selectOption(String(value));
    else await field.fill(String(value));
  }
  await page.click('#action-run');
  await page.waitForSelector('#action-result .banner.ok, #action-result .banner.bad', { timeout: STEP_TIMEOUT_MS });
  const banner = await page.locator('#action-result .banner').first().textContent();
  const ok = await page.locator('#action-result .banner.ok').count() > 0;
  const table = await page.locator('#action-result').textContent();
  await page.click('#dialog-close');
  if (!ok) throw new Error(`${actionName} failed: ${banner} (${table})`);
  log(`${actionName}: ${banner}`);
}

// A UDP port free on every local address at the time of asking.
function freeUdpPort() {
  return new Promise((resolve, reject) => {
    const socket = dgram.createSocket('udp4');
    socket.on('error', reject);
    socket.bind(0, () => {
      const { port } = socket.address();
      socket.close(() => resolve(port));
    });
  });
}

// Waits until the value cell of a child row of the detail table shows a value, then
// until it changes; logs both.
async function waitForChange(page, child) {
  const cell = `#detail tr[data-child="${child}"] .cell-value`;
  await page.waitForSelector(cell);
  await page.waitForFunction((selector) => {
    const text = document.querySelector(selector)?.textContent || '';
    return text !== '' && text !== '\u2014';
  }, cell, { timeout: STEP_TIMEOUT_MS });
  const first = await page.locator(cell).textContent();
  await page.waitForFunction(([selector, before]) => {
    const text = document.querySelector(selector)?.textContent;
    return text && text !== before;
  }, [cell, first], { timeout: STEP_TIMEOUT_MS });
  const second = await page.locator(cell).textContent();
  log(`value of ${child} changed on the page: ${first} -> ${second}`);
}

async function selectNode(page, nodePath) {
  const row = `#tree .tree-row[data-path="${nodePath}"]`;
  await page.waitForSelector(row, { timeout: STEP_TIMEOUT_MS });
  await page.click(row);
  await page.waitForSelector(`#tree .tree-row.selected[data-path="${nodePath}"]`);
}

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    log(`SKIP: ${CHROMIUM} is not installed`);
    return SKIP;
  }
  const args = parseArgs(process.argv);
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
    await page.waitForSelector('#detail button[data-action="Add Tags"]');
    await runAction(page, 'Add Tags', { 'Tags(json)': JSON.stringify([{ 'Tag Alias': TAG, 'Tag Name': TAG }]) });
    await runAction(page, 'Start Polling', { 'Interval(ms)': 100 });

    await selectNode(page, '/line1/EM Tags/Read Tags List');
    await waitForChange(page, TAG);

    await selectNode(page, '/line1/IO Tags');
    await page.waitForSelector('#detail button[data-action="Add Tags"]');
    await runAction(page, 'Add Tags', { 'Tags(json)': JSON.stringify([{ 'Tag Alias': 'io1', 'Tag Name': TAG, 'DataLen': 4 }]) });
    await runAction(page, 'Start Listening', { 'Interval(ms)': 50, 'UDP Port': await freeUdpPort() });
    // Opened by its address, as a bookmark does (the folder was selected before it had tags).
    await page.goto(link.url + '#' + encodeURIComponent('/line1/IO Tags/io1'));
    await page.reload();
    await page.waitForSelector('#tree .tree-row.selected[data-path="/line1/IO Tags/io1"]');
    await waitForChange(page, 'Data');

    if (args.screenshot) {
      await page.screenshot({ path: args.screenshot });
      log('screenshot: ' + args.screenshot);
    }
    if (problems.length) throw new Error('script errors on the page: ' + problems.join('; '));
    log('PASS');
    return 0;
  } finally {
    if (browser) await browser.close();
    await stopAll();
  }
}

main().then((code) => process.exit(code), (error) => {
  log('FAIL: ' + (error && error.stack ? error.stack : error));
  stopAll().finally(() => process.exit(1));
});
