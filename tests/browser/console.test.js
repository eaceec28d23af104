#!/usr/bin/env node
// Browser test of the console: runs plcsim (demo tags) and tagbridge as processes, then, in
// Debian's chromium, adds the PLC through the "Add PLC" form, runs "Browse Tags", ticks three
// tags (one of a program scope), presses "Add selected", starts polling and waits until all
// three values move on the page; then adds an I/O tag by hand, listened to over UDP, until its
// "Data" changes on the page.
//
//   node console.test.js --tagbridge BIN --plcsim BIN [--work DIR] [--screenshot FILE] [--tls 1]
//
// With --tls 1 the console is served over HTTPS with a self-signed certificate made here.
// Exit status: 0 passed, 1 failed, 77 skipped (chromium, or openssl for --tls, is not installed).
'use strict';

const dgram = require('dgram');
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { CHROMIUM, launchChromium } = require('./chromium');
const { startPlcsim, startTagbridge, stopAll } = require('./processes');
const { SKIP, STEP_TIMEOUT_MS, parseArgs, log, runAction, selectNode, waitValueMoves, finishPage, runMain } = require('./steps');

// Tag names ticked in the browse table, and the aliases "Add selected" makes of them.
const PICKED = ['Counter', 'Ramp', 'Program:MainProgram.Step'];
const ALIASES = ['Counter', 'Ramp', 'Program_MainProgram.Step'];

// A self-signed certificate for 127.0.0.1 and the tagbridge options that serve it; null
// without the openssl command.
function certificateArgs(work) {
  const cert = path.join(work, 'cert.pem');
  const key = path.join(work, 'key.pem');
  try {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                             '-subj', '/CN=127.0.0.1', '-keyout', key, '-out', cert], { stdio: 'ignore' });
  } catch (error) {
    return null;
  }
  return ['--tls-cert', cert, '--tls-key', key];
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

async function waitForChange(page, child) {
  const [first, second] = await waitValueMoves(page, child);
  log(`value of ${child} changed on the page: ${first} -> ${second}`);
}

// Ticks the picked tags in the browse table and adds them; the result names every alias.
async function addBrowsedTags(page) {
  await runAction(page, 'Browse Tags', { 'Filter': '' }, true);
  if (await page.locator('input.browse-pick[data-name="__Trace"]').count() !== 0) {
    throw new Error('the hidden tag __Trace is offered');
  }
  for (const name of PICKED) await page.check(`input.browse-pick[data-name="${name}"]`);
  await page.click('#browse-add');
  await page.waitForSelector('#browse-added .banner.ok, #browse-added .banner.bad');
  const added = await page.locator('#browse-added').textContent();
  if (await page.locator('#browse-added .banner.ok').count() === 0) throw new Error('Add selected failed: ' + added);
  for (const alias of ALIASES) {
    if (!added.includes(alias)) throw new Error(`alias ${alias} missing from the Add Tags result: ${added}`);
  }
  log('Add selected: ' + added);
  await page.click('#dialog-close');
}

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    log(`SKIP: ${CHROMIUM} is not installed`);
    return SKIP;
  }
  const args = parseArgs(process.argv, 'console.test.js');
  const tlsArgs = args.tls ? certificateArgs(args.work) : [];
  if (!tlsArgs) {
    log('SKIP: no openssl command to make a test certificate');
    return SKIP;
  }
  let browser = null;
  try {
    const sim = await startPlcsim(args.plcsim, [], log);
    const link = await startTagbridge(args.tagbridge, path.join(args.work, 'data'), tlsArgs, log);
    if (args.tls && !link.url.startsWith('https://')) throw new Error(`not served over TLS: ${link.url}`);
    browser = await launchChromium(Boolean(args.tls));
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
    await addBrowsedTags(page);
    await runAction(page, 'Start Polling', { 'Interval(ms)': 100 });
    await selectNode(page, '/line1/EM Tags/Read Tags List');
    for (const alias of ALIASES) await waitForChange(page, alias);

    await selectNode(page, '/line1/IO Tags');
    await page.waitForSelector('#detail button[data-action="Add Tags"]');
    await runAction(page, 'Add Tags', { 'Tags(json)': JSON.stringify([{ 'Tag Alias': 'io1', 'Tag Name': 'Counter', 'DataLen': 4 }]) });
    await runAction(page, 'Start Listening', { 'Interval(ms)': 50, 'UDP Port': await freeUdpPort() });
    // Opened by its address, as a bookmark does (the folder was selected before it had tags).
    await page.goto(link.url + '#' + encodeURIComponent('/line1/IO Tags/io1'));
    await page.reload();
    await page.waitForSelector('#tree .tree-row.selected[data-path="/line1/IO Tags/io1"]');
    await waitForChange(page, 'Data');

    return await finishPage(page, args, problems);
  } finally {
    if (browser) await browser.close();
    await stopAll();
  }
}

runMain(main, stopAll);
