#!/usr/bin/env node
// Takes a screenshot of the console in Debian's chromium.
//   node scripts/console-screenshot.js URL OUTPUT.png [NODE_PATH] [ACTION_NAME] [run]
// NODE_PATH is selected (as #path in the URL); ACTION_NAME opens that action's form,
// "run" also runs it with the form as it is and waits for the result.
'use strict';

const { launchChromium } = require('../tests/browser/chromium');

async function main() {
  const [url, output, nodePath, action, run] = process.argv.slice(2);
  const browser = await launchChromium();
  try {
    const page = await browser.context.newPage();
    page.on('pageerror', (error) => console.error('page error: ' + error.message));
    await page.goto(url + (nodePath ? '#' + encodeURIComponent(nodePath) : ''));
    await page.waitForSelector('#live.live-on', { timeout: 20000 });
    if (nodePath) {
      await page.waitForSelector('#detail h1', { timeout: 20000 });
      const row = page.locator(`#tree .tree-row[data-path="${nodePath}"]`);
      if (await row.count()) await row.click();  // opens its children in the tree too
    }
    if (action) {
      await page.click(`#detail button[data-action="${action}"]`);
      await page.waitForSelector('#dialog-backdrop:not([hidden]) #action-run');
      if (run === 'run') {
        await page.click('#action-run');
        await page.waitForSelector('#action-result .banner.ok, #action-result .banner.bad', { timeout: 60000 });
      }
    }
    await page.waitForTimeout(1500);  // let a few value changes arrive
    await page.screenshot({ path: output });
  } finally {
    await browser.close();
  }
}

main().catch((error) => { console.error(error); process.exit(1); });
