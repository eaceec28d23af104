#!/usr/bin/env node
// Browser test of picking tags: runs plcsim (demo tags) and tagbridge as processes, then, in
// Debian's chromium, adds the PLC, runs "Browse Tags", ticks three tags (one of a program
// scope), presses "Add selected", starts polling and waits until all three values move.
//
//   node browse.test.js --tagbridge BIN --plcsim BIN [--work DIR] [--screenshot FILE]
//
// Exit status: 0 passed, 1 failed, 77 skipped (chromium is not installed).
'use strict';

const fs = require('fs');
const path = require('path');
const { CHROMIUM, launchChromium } = require('./chromium');
const { startPlcsim, startTagbridge, stopAll } = require('./processes');
const { SKIP, STEP_TIMEOUT_MS, parseArgs, log, runAction, selectNode, waitValueMoves, finishPage, runMain } = require('./steps');

// Tag names ticked in the browse table, and the aliases "Add selected" makes of them.
const PICKED = ['Counter', 'Ramp', 'Program:MainProgram.Step'];
const ALIASES = ['Counter', 'Ramp', 'Program_MainProgram.Step'];

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    log(`SKIP: ${CHROMIUM} is not installed`);
    return SKIP;
  }
  const args = parseArgs(process.argv, 'browse.test.js');
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
    await page.waitForSelector('#detail button[data-action="Browse Tags"]');
    await runAction(page, 'Browse Tags', { 'Filter': '' }, true);

    const hidden = await page.locator('input.browse-pick[data-name="__Trace"]').count();
    if (hidden !== 0) throw new Error('the hidden tag __Trace is offered');
    for (const name of PICKED) await page.check(`input.browse-pick[data-name="${name}"]`);
    await page.click('#browse-add');
    await page.waitForSelector('#browse-added .banner.ok, #browse-added .banner.bad', { timeout: STEP_TIMEOUT_MS });
    const added = await page.locator('#browse-added').textContent();
    if (await page.locator('#browse-added .banner.ok').count() === 0) throw new Error('Add selected failed: ' + added);
    for (const alias of ALIASES) {
      if (!added.includes(alias)) throw new Error(`alias ${alias} missing from the Add Tags result: ${added}`);
    }
    log('Add selected: ' + added);
    await page.click('#dialog-close');

    await runAction(page, 'Start Polling', { 'Interval(ms)': 100 });
    await selectNode(page, '/line1/EM Tags/Read Tags List');
    for (const alias of ALIASES) {
      const [first, second] = await waitValueMoves(page, alias);
      log(`value of ${alias} changed on the page: ${first} -> ${second}`);
    }

    return await finishPage(page, args, problems);
  } finally {
    if (browser) await browser.close();
    await stopAll();
  }
}

runMain(main, stopAll);
