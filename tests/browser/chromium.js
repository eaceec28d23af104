// Launches Debian's chromium, headless, with a fresh profile, through playwright-core.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

const CHROMIUM = '/usr/bin/chromium';

// Resolves with a browser context (close it when done) whose pages are 1280x800.
// `acceptAnyCertificate`: for a front serving a self-signed test certificate.
async function launchChromium(acceptAnyCertificate = false) {
  const { chromium } = require('playwright-core');
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tagbridge-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1280, height: 800 },
    ignoreHTTPSErrors: acceptAnyCertificate,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const close = async () => {
    await context.close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { context, close };
}

module.exports = { CHROMIUM, launchChromium };
