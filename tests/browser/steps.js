// Steps the browser tests share: arguments, logging, selecting a tree node and running an
// action through its form.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

const SKIP = 77;
const STEP_TIMEOUT_MS = 30000;

function parseArgs(argv, usage) {
  const args = { work: fs.mkdtempSync(path.join(os.tmpdir(), 'tagbridge-browser-')) };
  for (let i = 2; i < argv.length; i += 2) args[argv[i].replace(/^--/, '')] = argv[i + 1];
  if (!args.tagbridge || !args.plcsim) throw new Error('usage: ' + usage + ' --tagbridge BIN --plcsim BIN');
  return args;
}

function log(text) { process.stdout.write('[browser] ' + text + '\n'); }

// Opens the action's form, fills it and runs it; with `keepOpen` the dialog stays open on the
// result, otherwise it is closed and a failed result throws.
async function runAction(page, actionName, fields, keepOpen) {
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
  if (!ok) throw new Error(`${actionName} failed: ${banner} (${table})`);
  log(`${actionName}: ${banner}`);
  if (!keepOpen) await page.click('#dialog-close');
}

async function selectNode(page, nodePath) {
  const row = `#tree .tree-row[data-path="${nodePath}"]`;
  await page.waitForSelector(row, { timeout: STEP_TIMEOUT_MS });
  await page.click(row);
  await page.waitForSelector(`#tree .tree-row.selected[data-path="${nodePath}"]`);
}

// Waits until the value cell of `child` (in the selected folder's table) shows a value, then
// until it shows another; resolves with both texts.
async function waitValueMoves(page, child) {
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
  return [first, await page.locator(cell).textContent()];
}

// The end of a passing run: the screenshot when asked for, and no script error on the page.
async function finishPage(page, args, problems) {
  if (args.screenshot) {
    await page.screenshot({ path: args.screenshot });
    log('screenshot: ' + args.screenshot);
  }
  if (problems.length) throw new Error('script errors on the page: ' + problems.join('; '));
  log('PASS');
  return 0;
}

// Runs a test's main and exits with its status; a failure stops the processes it started.
function runMain(main, stopAll) {
  main().then((code) => process.exit(code), (error) => {
    log('FAIL: ' + (error && error.stack ? error.stack : error));
    stopAll().finally(() => process.exit(1));
  });
}

module.exports = {
  SKIP, STEP_TIMEOUT_MS, parseArgs, log, runAction, selectNode, waitValueMoves, finishPage, runMain,
};
