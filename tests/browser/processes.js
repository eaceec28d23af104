// Starts plcsim and tagbridge as child processes and finds the ports they chose.
'use strict';

const { spawn } = require('child_process');

const START_TIMEOUT_MS = 60000;
const children = [];

// Runs `bin` and resolves with the first match of `pattern` in its output.
function startAndWatch(bin, args, pattern, name, log) {
  return new Promise((resolve, reject) => {
    const child = spawn(bin, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    children.push(child);
    let output = '';
    let settled = false;
    const timer = setTimeout(() => {
      if (!settled) reject(new Error(`${name} did not report its address within ${START_TIMEOUT_MS} ms:\n${output}`));
    }, START_TIMEOUT_MS);
    const watch = (chunk) => {
      const text = chunk.toString();
      output += text;
      for (const line of text.split('\n')) if (line.trim() && process.env.TB_VERBOSE) log(`${name}: ${line}`);
      const match = pattern.exec(output);
      if (match && !settled) {
        settled = true;
        clearTimeout(timer);
        resolve({ match, child, output: () => output });
      }
    };
    child.stdout.on('data', watch);
    child.stderr.on('data', watch);
    child.on('error', (error) => { if (!settled) { settled = true; clearTimeout(timer); reject(error); } });
    child.on('exit', (code, signal) => {
      if (!settled) {
        settled = true;
        clearTimeout(timer);
        reject(new Error(`${name} exited (${code === null ? signal : code}) before it was ready:\n${output}`));
      }
    });
  });
}

// Extra plcsim arguments give the tags; the encapsulation port is always ephemeral.
async function startPlcsim(bin, extraArgs, log) {
  const { match, child } = await startAndWatch(bin, ['--port', '0', ...extraArgs],
                                               /listening on [\d.]+:(\d+)/, 'plcsim', log);
  const port = Number(match[1]);
  log(`plcsim listening on 127.0.0.1:${port}`);
  return { port, child };
}

async function startTagbridge(bin, dataDir, extraArgs, log) {
  const { match, child, output } = await startAndWatch(
    bin, ['--listen', '127.0.0.1:0', '--data-dir', dataDir, ...extraArgs],
    /HTTP front listening on (https?:\/\/[^\s]+)/, 'tagbridge', log);
  log(`tagbridge console at ${match[1]}`);
  return { url: match[1] + '/', child, output };
}

function waitExit(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(true);
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), ms);
    child.once('exit', () => { clearTimeout(timer); resolve(true); });
  });
}

// SIGINT first (both programs stop cleanly on it), SIGKILL if one hangs.
async function stopAll() {
  const running = children.splice(0);
  for (const child of running) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGINT');
  }
  for (const child of running) {
    if (!(await waitExit(child, 15000))) {
      child.kill('SIGKILL');
      await waitExit(child, 5000);
    }
  }
}

module.exports = { startPlcsim, startTagbridge, stopAll };
