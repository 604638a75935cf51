// Serves files on 127.0.0.1 (a free port) to headless Chromium, which it
// starts on a page; the page and its workers post their results to /report.
// Exits 0 when every expected report has come and says no failure, 1 on a
// failure or when the time runs out; Chromium is stopped either way.
//
// Usage: node server.mjs --chromium PATH --page /PATH --expect a,b,c
//                        --timeout SECONDS [--screenshot FILE] URL=DIR...
import { createServer } from 'node:http';
import { spawn } from 'node:child_process';
import { createReadStream, mkdtempSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { extname, join, normalize, resolve } from 'node:path';

const args = process.argv.slice(2);
const take = (name, fallback) => {
  const at = args.indexOf(name);
  if (at < 0) return fallback;
  const [value] = args.splice(at, 2).slice(1);
  return value;
};
const chromium = take('--chromium', 'chromium');
const page = take('--page', '/');
const expected = take('--expect', '').split(',').filter(Boolean);
const timeout = Number(take('--timeout', '120'));
const results = take('--results', null);
const screenshot = take('--screenshot', null); // FILE:/PATH, taken once every report passed
const roots = args.map((arg) => {
  const at = arg.indexOf('=');
  return { prefix: arg.slice(0, at), dir: resolve(arg.slice(at + 1)) };
});

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript',
  '.mjs': 'text/javascript',
  '.json': 'application/json',
  '.wasm': 'application/wasm',
  '.txt': 'text/plain; charset=utf-8',
  '.png': 'image/png',
  '.css': 'text/css',
};

const reports = new Map();
let browser = null;
let profile = null;

// Stops Chromium (its own process group, which it was started in) and waits
// for it before removing its profile.
let finishing = false;
function finish(code, message) {
  if (finishing) return;
  finishing = true;
  if (message) console.log(message);
  if (results) writeFileSync(results, JSON.stringify(Object.fromEntries(reports), null, 1));
  server.close();
  const done = () => {
    try {
      if (profile) rmSync(profile, { recursive: true, force: true, maxRetries: 5 });
    } catch (error) {
      console.log(`could not remove ${profile}: ${error.message}`);
    }
    process.exit(code);
  };
  const running = browser;
  browser = null;
  if (running === null || running.exitCode !== null || running.signalCode !== null) return done();
  running.once('exit', done);
  setTimeout(done, 5000).unref();
  try {
    process.kill(-running.pid, 'SIGKILL');
  } catch {
    running.kill('SIGKILL');
  }
}

function serveFile(request, response) {
  const path = decodeURIComponent(new URL(request.url, 'http://127.0.0.1').pathname);
  for (const { prefix, dir } of roots) {
    if (!path.startsWith(prefix)) continue;
    const file = normalize(join(dir, path.slice(prefix.length)));
    if (!file.startsWith(dir)) break;
    try {
      if (!statSync(file).isFile()) break;
    } catch {
      break;
    }
    response.writeHead(200, {
      'content-type': TYPES[extname(file)] ?? 'application/octet-stream',
      'cache-control': 'no-store',
    });
    createReadStream(file).pipe(response);
    return;
  }
  response.writeHead(404, { 'content-type': 'text/plain' });
  response.end(`not found: ${path}\n`);
}

const server = createServer((request, response) => {
  if (request.method === 'POST' && request.url === '/report') {
    let body = '';
    request.setEncoding('utf8');
    request.on('data', (chunk) => (body += chunk));
    request.on('end', () => {
      response.writeHead(204);
      response.end();
      let report;
      try {
        report = JSON.parse(body);
      } catch {
        finish(1, `a report that is not JSON: ${body.slice(0, 200)}`);
        return;
      }
      reports.set(report.label, report);
      const { failures = [], ...summary } = report;
      console.log(`${report.label}: ${JSON.stringify(summary)}`);
      for (const failure of failures) console.log(`  ${failure}`);
      if (report.failed !== 0 || report.error) {
        finish(1, `${report.label}: failed`);
      } else if (expected.every((label) => reports.has(label))) {
        console.log(`every report passed: ${expected.join(', ')}`);
        if (screenshot) takeScreenshot().then(() => finish(0), (error) => finish(1, error.message));
        else finish(0);
      }
    });
    return;
  }
  serveFile(request, response);
});

const chromiumFlags = (dir) => [
  '--headless',
  '--no-sandbox', // as root, Chromium refuses to start with its sandbox
  '--disable-gpu',
  '--disable-dev-shm-usage',
  '--no-first-run',
  '--no-default-browser-check',
  '--hide-scrollbars',
  `--user-data-dir=${dir}`,
];

// A second, short Chromium run that saves the page as a PNG.
function takeScreenshot() {
  const at = screenshot.indexOf(':/');
  const file = resolve(screenshot.slice(0, at));
  const url = `http://127.0.0.1:${server.address().port}${screenshot.slice(at + 1)}`;
  const dir = mkdtempSync(join(tmpdir(), 'lighting-chromium-'));
  return new Promise((done, failed) => {
    const shot = spawn(chromium, [...chromiumFlags(dir), `--screenshot=${file}`, '--window-size=1000,620',
      '--virtual-time-budget=10000', url], { stdio: 'ignore', detached: true });
    const timer = setTimeout(() => {
      try { process.kill(-shot.pid, 'SIGKILL'); } catch { /* gone */ }
      failed(new Error('the screenshot took too long'));
    }, 60000);
    shot.on('exit', () => {
      clearTimeout(timer);
      rmSync(dir, { recursive: true, force: true, maxRetries: 5 });
      try {
        statSync(file);
        console.log(`screenshot: ${file}`);
        done();
      } catch {
        failed(new Error(`no screenshot written to ${file}`));
      }
    });
  });
}

server.listen(0, '127.0.0.1', () => {
  const { port } = server.address();
  const url = `http://127.0.0.1:${port}${page}`;
  console.log(`serving on ${url}`);
  profile = mkdtempSync(join(tmpdir(), 'lighting-chromium-'));
  browser = spawn(
    chromium,
    [...chromiumFlags(profile), url],
    { stdio: ['ignore', 'ignore', 'pipe'], detached: true },
  );
  let errors = '';
  browser.stderr.on('data', (chunk) => (errors = (errors + chunk).slice(-4000)));
  browser.on('exit', (code) => {
    if (!finishing) finish(1, `chromium exited (${code}) before every report came:\n${errors}`);
  });
  browser.on('error', (error) => finish(1, `could not start ${chromium}: ${error.message}`));
});
setTimeout(() => finish(1, `no complete set of reports after ${timeout} s (have: ${[...reports.keys()].join(', ') || 'none'})`), timeout * 1000).unref();
