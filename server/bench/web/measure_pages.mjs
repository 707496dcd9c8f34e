// Lighthouse's four scores for the search page and a share page, and the time to a result
// page's first paint from cumulo-server beside the same bytes served by Debian's nginx.
// Usage: node measure_pages.mjs <cumulo-server>   (measure_pages.sh installs the packages)
import {execFileSync, spawn} from 'node:child_process';
import {chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {createServer} from 'node:net';
import {tmpdir} from 'node:os';
import {dirname, join} from 'node:path';
import {chromiumFlags, chromiumPath, launchChromium, packages, startService} from '../../../tests/browser/service.mjs';

const rounds = Number(process.env.ROUNDS || 40);
const resultPath = `/?key=${encodeURIComponent('考研英语')}&in=&desc=f`;

function lighthouseScores(url) {
  const profile = mkdtempSync(join(tmpdir(), 'cumulo-lighthouse-'));
  try {
    const cli = packages.resolve('lighthouse/cli/index.js');
    const flags = [...chromiumFlags, '--headless=new', `--user-data-dir=${profile}`].join(' ');
    const report = JSON.parse(execFileSync(process.execPath, [cli, url, '--output=json', '--quiet',
      '--only-categories=performance,accessibility,best-practices,seo', `--chrome-flags=${flags}`],
      {env: {...process.env, CHROME_PATH: chromiumPath}, maxBuffer: 64 << 20}));
    return Object.fromEntries(Object.values(report.categories).map((c) => [c.id, Math.round(c.score * 100)]));
  } finally {
    rmSync(profile, {recursive: true, force: true});
  }
}

async function freePort() {
  const server = createServer();
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  const {port} = server.address();
  await new Promise((done) => server.close(done));
  return port;
}

// nginx serving `files` ({path: bytes}) from a scratch root, each with the content type the
// service gives it; resolves to {origin, stop()}.
async function startNginx(files) {
  const root = mkdtempSync(join(tmpdir(), 'cumulo-nginx-'));
  chmodSync(root, 0o755);  // nginx's workers run as nobody
  for (const [path, body] of Object.entries(files)) {
    const file = join(root, 'www', path === '/' ? 'index.html' : path);
    mkdirSync(dirname(file), {recursive: true, mode: 0o755});
    writeFileSync(file, body);
  }
  const port = await freePort();
  writeFileSync(join(root, 'nginx.conf'), `
worker_processes 1;
pid ${root}/nginx.pid;
error_log ${root}/error.log;
events { worker_connections 64; }
http {
  access_log off;
  include /etc/nginx/mime.types;
  charset utf-8;
  charset_types text/css application/javascript;
  server {
    listen 127.0.0.1:${port};
    root ${root}/www;
    location = / { try_files /index.html =404; }
  }
}`);
  const child = spawn('/usr/sbin/nginx', ['-p', root, '-c', join(root, 'nginx.conf'), '-g', 'daemon off;'],
                      {stdio: 'inherit'});
  await new Promise((done) => setTimeout(done, 500));
  if (child.exitCode !== null) throw new Error('nginx did not start');
  return {origin: `http://127.0.0.1:${port}`, stop: async () => {
    child.kill('SIGQUIT');
    await new Promise((done) => child.once('exit', done));
    rmSync(root, {recursive: true, force: true});
  }};
}

// Milliseconds from navigation to first contentful paint, for a fresh page without a cache.
async function firstPaint(browser, url) {
  const page = await browser.newPage();
  await page.setCacheEnabled(false);
  await page.goto(url, {waitUntil: 'load'});
  const paint = await page.evaluate(() => new Promise((done) => {
    new PerformanceObserver((list, observer) => {
      const entry = list.getEntriesByName('first-contentful-paint')[0];
      if (entry) { observer.disconnect(); done(entry.startTime); }
    }).observe({type: 'paint', buffered: true});
  }));
  await page.close();
  return paint;
}

const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(values.length * p))];

const service = await startService(process.argv[2], 10000);
let nginx;
try {
  // The share page of the result page's first row.
  const resultPage = await (await fetch(service.origin + resultPath)).text();
  const sharePath = /<td class="name"><a href="([^"]+)"/.exec(resultPage)[1].replaceAll('&amp;', '&');

  console.log('Lighthouse 12.2.3 (mobile, simulated throttling), Debian Chromium:');
  console.log('page                  performance  accessibility  best-practices  seo');
  for (const [name, path] of [['search page /', '/'], ['share page', sharePath]]) {
    const s = lighthouseScores(service.origin + path);
    console.log(`${name.padEnd(22)}${String(s.performance).padStart(11)}${String(s.accessibility).padStart(15)}` +
                `${String(s['best-practices']).padStart(16)}${String(s.seo).padStart(5)}`);
  }

  // The same bytes for nginx: the result page and the assets it names.
  const files = {'/': resultPage};
  for (const [, path] of resultPage.matchAll(/(?:href|src)="(\/static\/[^"]+)"/g))
    files[path.slice(1)] = Buffer.from(await (await fetch(service.origin + path)).arrayBuffer());
  nginx = await startNginx(files);
  assert(await (await fetch(nginx.origin + '/')).text() === resultPage, 'nginx serves the same bytes');

  const {browser, close} = await launchChromium();
  try {
    const times = {cumulo: [], nginx: []};
    await firstPaint(browser, service.origin + resultPath);  // warm both before timing
    await firstPaint(browser, nginx.origin + '/');
    for (let round = 0; round < rounds; ++round) {
      times.cumulo.push(await firstPaint(browser, service.origin + resultPath));
      times.nginx.push(await firstPaint(browser, nginx.origin + '/'));
    }
    console.log(`\nFirst contentful paint of a result page (${Buffer.byteLength(resultPage)} bytes of HTML, ` +
                `${rounds} loads each, alternating, no cache):`);
    console.log('server                 median ms   p90 ms');
    for (const [name, values] of Object.entries(times))
      console.log(`${name.padEnd(22)}${percentile(values, 0.5).toFixed(1).padStart(10)}${percentile(values, 0.9).toFixed(1).padStart(9)}`);
    console.log(`ratio cumulo/nginx (median): ${(percentile(times.cumulo, 0.5) / percentile(times.nginx, 0.5)).toFixed(2)}x`);
  } finally {
    await close();
  }
} finally {
  await nginx?.stop();
  await service.stop();
}

function assert(condition, what) {
  if (!condition) throw new Error(what);
}
