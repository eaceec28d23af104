#!/usr/bin/env node
// GET /metrics read by an independent parser of the Prometheus text format: runs plcsim
// and tagbridge (with a token file), adds the PLC and a tag over the JSON API, starts
// polling and checks that the parsed families follow the naming conventions and that
// the PLC's counters move between scrapes.
//
//   node metrics.test.js --tagbridge BIN --plcsim BIN
//
// Exit status: 0 passed, 1 failed.
'use strict';

const fs = require('fs');
const path = require('path');
const parsePrometheusTextFormat = require('parse-prometheus-text-format');
const { startPlcsim, startTagbridge, stopAll } = require('../browser/processes');
const { parseArgs, runMain } = require('../browser/steps');

const TOKEN = 'metrics-test-token';
const STEP_TIMEOUT_MS = 30000;

function log(text) { process.stdout.write('[metrics] ' + text + '\n'); }

function check(condition, what) {
  if (!condition) throw new Error(what);
}

async function request(url, options = {}) {
  const headers = { Authorization: `Bearer ${TOKEN}`, ...(options.headers || {}) };
  return fetch(url, { ...options, headers });
}

async function invoke(base, nodePath, params) {
  const response = await request(`${base}api/invoke?path=${encodeURIComponent(nodePath)}`, {
    method: 'POST', body: JSON.stringify(params), headers: { 'Content-Type': 'application/json' },
  });
  const text = await response.text();
  check(response.status === 200, `${nodePath}: ${response.status} ${text}`);
  log(`${nodePath}: ${text}`);
}

// The families by name; each sample's labels and value as numbers.
async function scrape(base) {
  const response = await request(`${base}metrics`);
  check(response.status === 200, `/metrics answered ${response.status}`);
  const families = parsePrometheusTextFormat(await response.text());
  return new Map(families.map((family) => [family.name, family]));
}

function plcValue(families, name, plc) {
  const family = families.get(name);
  check(family, `no family ${name}`);
  const metric = family.metrics.find((m) => m.labels && m.labels.plc === plc);
  check(metric, `${name} has no sample for plc="${plc}"`);
  return Number(metric.value);
}

function checkConventions(families) {
  for (const [name, family] of families) {
    check(name.startsWith('tagbridge_'), `${name} lacks the tagbridge_ prefix`);
    check(/^[a-z_][a-z0-9_]*$/.test(name), `${name} is not snake case`);
    check((family.type === 'COUNTER') === name.endsWith('_total'), `${name}: _total iff counter`);
    check(family.help && family.help.length > 0, `${name} has no help`);
  }
  for (const name of ['tagbridge_process_uptime_seconds', 'tagbridge_process_resident_memory_bytes',
                      'tagbridge_process_open_fds', 'tagbridge_http_event_streams']) {
    check(families.has(name), `no family ${name}`);
  }
  check(Number(families.get('tagbridge_process_resident_memory_bytes').metrics[0].value) > 0,
        'resident memory is 0');
}

// Retries the condition, a failed check included, until it holds or the time is up.
async function waitFor(what, condition) {
  const deadline = Date.now() + STEP_TIMEOUT_MS;
  for (;;) {
    let value = false;
    let why = '';
    try {
      value = await condition();
    } catch (error) {
      why = `: ${error.message}`;
    }
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}${why}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

async function main() {
  const args = parseArgs(process.argv, 'metrics.test.js');
  const work = args.work;
  try {
    fs.writeFileSync(path.join(work, 'token'), TOKEN + '\n');
    const sim = await startPlcsim(args.plcsim, [], log);
    const link = await startTagbridge(args.tagbridge, path.join(work, 'data'),
                                      ['--token-file', path.join(work, 'token')], log);
    const refused = await fetch(`${link.url}metrics`);
    check(refused.status === 401, `/metrics without the token answered ${refused.status}`);

    await invoke(link.url, '/addplc', { 'Alias': 'line1', 'Host': '127.0.0.1', 'Port': sim.port,
                                        'Protocol Family': 'CIP/EIP' });
    await invoke(link.url, '/line1/EM Tags/Add Tags',
                 { 'Tags(json)': JSON.stringify([{ 'Tag Alias': 'Counter', 'Tag Name': 'Counter' }]) });
    await invoke(link.url, '/line1/EM Tags/Start Polling', { 'Interval(ms)': 100 });

    const first = await waitFor('a published value', async () => {
      const families = await scrape(link.url);
      return plcValue(families, 'tagbridge_plc_values_published_total', 'line1') > 0 && families;
    });
    checkConventions(first);
    check(plcValue(first, 'tagbridge_plc_connected', 'line1') === 1, 'the PLC is not connected');
    const counters = ['tagbridge_plc_requests_total', 'tagbridge_plc_values_published_total'];
    const before = counters.map((name) => plcValue(first, name, 'line1'));
    const later = await waitFor('the counters to move', async () => {
      const families = await scrape(link.url);
      const moved = counters.every((name, i) => plcValue(families, name, 'line1') > before[i]);
      return moved && families;
    });
    check(plcValue(later, 'tagbridge_plc_mean_cycle_seconds', 'line1') > 0, 'no cycle time');
    log(`requests ${before[0]} -> ${plcValue(later, counters[0], 'line1')}, values ${before[1]} -> ` +
        `${plcValue(later, counters[1], 'line1')}`);
    log('PASS');
    return 0;
  } finally {
    await stopAll();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

runMain(main, stopAll);
