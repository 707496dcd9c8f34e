// What the browser test, the screenshots and the measures share: a scratch cumulo-server on a
// free loopback port, and Debian's Chromium started headless through puppeteer-core.
import {spawn} from 'node:child_process';
import {mkdtempSync, rmSync, writeFileSync} from 'node:fs';
import {createRequire} from 'node:module';
import {tmpdir} from 'node:os';
import {join, resolve} from 'node:path';

// The npm packages live where `npm ci` put them (the build tree), not beside this file.
export const packages = createRequire(resolve(process.env.CUMULO_NODE_PACKAGES || '.', 'node_modules') + '/');

// Shares whose names are hostile markup: the pages must show them as text.
export const hostileShares = [
  {name: '<img src=x onerror="document.title=1">坏名字.jpg', type: 'file', size: 4_812_345, uk: 77, shareid: 7001},
  {name: '</td></tr><script>alert(1)</script>坏名字 & "引号"', type: 'folder', size: 52_428_800, uk: 77, code: 'xBad_1'},
];

// Starts the service with the sample of `sampleSize` shares plus hostileShares; resolves to
// {origin, stop()} once it listens.
export async function startService(serverPath, sampleSize) {
  const dir = mkdtempSync(join(tmpdir(), 'cumulo-pages-'));
  const importFile = join(dir, 'hostile.jsonl');
  writeFileSync(importFile, hostileShares.map((share) => JSON.stringify(share)).join('\n') + '\n');
  const child = spawn(serverPath, ['--db', join(dir, 'catalogue.sqlite'), '--sample', String(sampleSize),
                                   '--import', importFile, '--listen', '127.0.0.1:0'],
                      {stdio: ['ignore', 'pipe', 'inherit']});
  const stop = async () => {
    if (child.exitCode === null) {
      child.kill('SIGTERM');
      await new Promise((done) => child.once('exit', done));
    }
    rmSync(dir, {recursive: true, force: true});
  };
  try {
    const origin = await new Promise((resolve, reject) => {
      let said = '';
      const timer = setTimeout(() => reject(new Error('cumulo-server did not start within 30 s')), 30_000);
      child.stdout.on('data', (chunk) => {
        said += chunk;
        const match = /listening on (\S+)/.exec(said);
        if (match) {
          clearTimeout(timer);
          resolve('http://' + match[1]);
        }
      });
      child.once('exit', (code) => reject(new Error(`cumulo-server ended with ${code} before listening`)));
    });
    return {origin, stop};
  } catch (error) {
    await stop();
    throw error;
  }
}

export const chromiumPath = process.env.CHROME_PATH || '/usr/bin/chromium';

// Flags for a quiet, reproducible headless Chromium that asks nothing of the network (the
// profile, a fresh --user-data-dir, is given by each caller).
export const chromiumFlags = ['--no-sandbox', '--disable-background-networking', '--disable-component-update',
                              '--disable-sync', '--no-first-run', '--disable-gpu', '--disable-quic',
                              '--disable-default-apps', '--disable-dev-shm-usage'];

export async function launchChromium() {
  const puppeteer = packages('puppeteer-core');
  const profile = mkdtempSync(join(tmpdir(), 'cumulo-chromium-'));
  const browser = await puppeteer.launch({executablePath: chromiumPath, headless: true, userDataDir: profile,
                                          args: chromiumFlags});
  const close = async () => {
    await browser.close();
    rmSync(profile, {recursive: true, force: true});
  };
  return {browser, close};
}
