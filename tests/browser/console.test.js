#!/usr/bin/env node
// Browser test of the console: runs plcsim and tagbridge as processes, then, in
// Debian's chromium, adds the PLC through the "Add PLC" form, adds a tag, starts
// polling and waits until the tag's value changes on the page; then the same tag as
// an I/O tag, listened to over UDP, until its "Data" changes on the page.
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

const TAG = 'Counter';

// A self-signed certificate for 127.0.0.1; the tagbridge options that serve it.
function makeCertificate(work) {
  const cert = path.join(work, 'cert.pem');
  const key = path.join(work, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                           '-subj', '/CN=127.0.0.1', '-keyout', key, '-out', cert], { stdio: 'ignore' });
  return ['--tls-cert', cert, '--tls-key', key];
}

function haveOpenssl() {
  try {
    execFileSync('openssl', ['version'], { stdio: 'ignore' });
    return true;
  } catch (error) {
    return false;
  }
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

// Waits until the value of `child` in the selected node's table changes; logs both texts.
async function waitForChange(page, child) {
  const [first, second] = await waitValueMoves(page, child);
  log(`value of ${child} changed on the page: ${first} -> ${second}`);
}

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    log(`SKIP: ${CHROMIUM} is not installed`);
    return SKIP;
  }
  const args = parseArgs(process.argv, 'console.test.js');
  if (args.tls && !haveOpenssl()) {
    log('SKIP: no openssl command to make a test certificate');
    return SKIP;
  }
  let browser = null;
  try {
    const sim = await startPlcsim(args.plcsim, [], log);
    const tlsArgs = args.tls ? makeCertificate(args.work) : [];
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

    return await finishPage(page, args, problems);
  } finally {
    if (browser) await browser.close();
    await stopAll();
  }
}

runMain(main, stopAll);
