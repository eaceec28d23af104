#!/usr/bin/env node
// Browser test of the console: runs plcsim and tagbridge as processes, then, in
// Debian's chromium, adds the PLC through the "Add PLC" form, adds a tag, starts
// polling and waits until the tag's value changes on the page.
//
//   node console.test.js --tagbridge BIN --plcsim BIN [--work DIR] [--screenshot FILE]
//
// Exit status: 0 passed, 1 failed, 77 skipped (chromium is not installed).
'use strict';

const fs = require('fs');
const path = require('path');
const { CHROMIUM, launchChromium } = require('./chromium');
const { startPlcsim, startTagbridge, stopAll } = require('./processes');
const { SKIP, STEP_TIMEOUT_MS, parseArgs, log, runAction, selectNode, waitValueMoves } = require('./steps');

const TAG = 'Counter';

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    log(`SKIP: ${CHROMIUM} is not installed`);
    return SKIP;
  }
  const args = parseArgs(process.argv, 'console.test.js');
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
    const [first, second] = await waitValueMoves(page, TAG);
    log(`value of ${TAG} changed on the page: ${first} -> ${second}`);

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
