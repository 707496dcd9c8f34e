// The search page, the share pages and the 404 in Debian's Chromium against a scratch service:
// rows equal to the JSON API's, type filter, pages, size order, share page and back, the copy
// button, scripts off, stale answers dropped, no console error or CSP violation, and axe-core
// finding nothing serious. Usage: node pages_test.mjs <cumulo-server>
import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import {hostileShares, launchChromium, packages, startService} from './service.mjs';

const typeWords = {album: '相册', file: '文件', folder: '文件夹'};
const key = '照片';  // 65 shares of the sample of 2000, of all three types: four pages

let origin;
const problems = [];  // console errors, page errors and policy violations, on any page
const refusedOnPurpose = new Set();  // addresses visited for their 4xx, which Chromium logs

async function gotoRefused(page, path) {
  refusedOnPurpose.add(origin + path);
  return page.goto(origin + path);
}

async function api(query) {
  const answer = await fetch(`${origin}/api/v1/?${new URLSearchParams({limit: '20', sort: 'size', ...query})}`);
  assert.equal(answer.status, 200);
  return (await answer.json()).list;
}

// A row as the page should show it, from the API's record.
function expectedRow(record) {
  const [id, uk] = record.idAuk.split('|');
  const path = /^[1-9][0-9]*$/.test(id) ? `/share/link?uk=${uk}&shareid=${id}` : `/s/${id}`;
  return {name: record.name, type: typeWords[record.type], href: path, bytes: Number(record.size)};
}

// The size text is the window's: three significant digits, truncated, 1024-based units.
function assertSizeText(text, bytes) {
  const units = {bytes: 1, KB: 2 ** 10, MB: 2 ** 20, GB: 2 ** 30, TB: 2 ** 40};
  const match = /^(\d+)(?:\.(\d+))? (bytes|KB|MB|GB|TB)$/.exec(text);
  assert.ok(match, `size text "${text}"`);
  const step = 10 ** -(match[2]?.length ?? 0);
  const shown = Number(match[1] + (match[2] ? '.' + match[2] : ''));
  const value = bytes / units[match[3]];
  assert.ok(value >= shown - 1e-9 && value < shown + step, `${bytes} bytes shown as "${text}"`);
}

async function pageRows(page) {
  return page.$$eval('#results tbody tr', (rows) => rows.map((row) => ({
    number: Number(row.cells[0].textContent),
    name: row.cells[1].textContent,
    href: row.cells[1].querySelector('a').getAttribute('href'),
    type: row.cells[2].textContent,
    size: row.cells[3].textContent,
  })));
}

async function assertRowsEqualApi(page, query, firstNumber = 1) {
  const expected = (await api(query)).map(expectedRow);
  const rows = await pageRows(page);
  assert.ok(expected.length > 0, `the API finds shares for ${JSON.stringify(query)}`);
  assert.deepEqual(rows.map(({name, type, href}) => ({name, type, href})),
                   expected.map(({name, type, href}) => ({name, type, href})), JSON.stringify(query));
  rows.forEach((row, i) => {
    assert.equal(row.number, firstNumber + i);
    assertSizeText(row.size, expected[i].bytes);
  });
  return rows;
}

// Waits until the status line has changed from `before` and the results are not loading.
async function waitForStatusChange(page, before) {
  await page.waitForFunction((old) => {
    const status = document.getElementById('result-status');
    return status.textContent !== old && !document.getElementById('results').hasAttribute('aria-busy');
  }, {timeout: 5000}, before);
}

const statusText = (page) => page.$eval('#result-status', (status) => status.textContent);
const query = (page) => page.evaluate(() => Object.fromEntries(new URLSearchParams(location.search)));

async function watch(page, name) {
  page.on('console', (message) => {
    if (refusedOnPurpose.has(message.location()?.url))
      return;
    if (message.type() === 'error' || message.type() === 'warn')
      problems.push(`${name}: console ${message.type()}: ${message.text()}`);
  });
  page.on('pageerror', (error) => problems.push(`${name}: page error: ${error.message}`));
  page.on('requestfailed', (request) => {
    if (request.failure()?.errorText !== 'net::ERR_ABORTED')  // a stale search, cancelled
      problems.push(`${name}: request failed: ${request.url()} ${request.failure()?.errorText}`);
  });
  await page.exposeFunction('reportViolation', (text) => problems.push(`${name}: CSP violation: ${text}`));
  await page.evaluateOnNewDocument(() => {
    document.addEventListener('securitypolicyviolation', (event) =>
      window.reportViolation(`${event.violatedDirective} ${event.blockedURI}`));
  });
}

const axeSource = readFileSync(packages.resolve('axe-core/axe.min.js'), 'utf8');

async function assertAccessible(page, what) {
  await page.evaluate(axeSource);
  const result = await page.evaluate(() => window.axe.run(document, {resultTypes: ['violations']}));
  const bad = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  assert.deepEqual(bad.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`), [],
                   `axe on ${what}`);
}

const checks = [];
const check = (name, body) => checks.push({name, body});

check('typing searches, and the rows equal the API\'s', async ({page}) => {
  await page.goto(origin + '/');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'key', 'the box has the caret');
  const before = await statusText(page);
  await page.type('#key', key);
  await waitForStatusChange(page, before);
  await assertRowsEqualApi(page, {key, desc: 'f'});
  assert.match(await statusText(page), /第 1 页，第 1–20 个资源/);
  assert.deepEqual(await query(page), {key, in: '', desc: 'f'}, 'the address holds the query');
  assert.equal(await page.$eval('#result-status', (s) => s.getAttribute('role')), 'status');
});

check('the type filter', async ({page}) => {
  const before = await statusText(page);
  await page.click('input[name="in"][value="folder"]');
  await waitForStatusChange(page, before);
  const rows = await assertRowsEqualApi(page, {key, in: 'folder', desc: 'f'});
  assert.ok(rows.every((row) => row.type === '文件夹'));
  assert.equal((await query(page)).in, 'folder');
  await page.goBack();
  await page.waitForFunction(() => document.querySelector('input[name="in"][value=""]').checked);
  await page.waitForFunction(() => document.querySelectorAll('#results tbody tr').length === 20);
  await assertRowsEqualApi(page, {key, desc: 'f'});
});

check('next page, previous page and Back', async ({page}) => {
  await page.click('a[rel="next"]');
  await page.waitForFunction(() => new URLSearchParams(location.search).get('page') === '2');
  await page.waitForFunction(() => document.querySelector('#results tbody td')?.textContent === '21');
  await assertRowsEqualApi(page, {key, desc: 'f', start: '20'}, 21);
  await page.click('a[rel="next"]');
  await page.waitForFunction(() => document.querySelector('#results tbody td')?.textContent === '41');
  await page.goBack();
  await page.waitForFunction(() => document.querySelector('#results tbody td')?.textContent === '21');
  await page.click('a[rel="prev"]');
  await page.waitForFunction(() => document.querySelector('#results tbody td')?.textContent === '1');
  await assertRowsEqualApi(page, {key, desc: 'f'});
});

check('size order both ways', async ({page}) => {
  let before = await statusText(page);
  await page.click('th.size a');
  await page.waitForFunction(() => document.querySelector('th.size').getAttribute('aria-sort') === 'descending');
  await assertRowsEqualApi(page, {key, desc: 't'});
  assert.equal(await page.$eval('#desc', (select) => select.value), 't', 'the form follows the order');
  await page.select('#desc', 'f');
  await page.waitForFunction(() => document.querySelector('th.size').getAttribute('aria-sort') === 'ascending');
  await assertRowsEqualApi(page, {key, desc: 'f'});
});

check('a stale answer never replaces a newer one', async ({page}) => {
  await page.setRequestInterception(true);
  let held = null;
  const handler = (request) => {
    if (!held && request.url().includes('key=2&')) held = request;  // the first search, of one letter
    else request.continue();
  };
  page.on('request', handler);
  await page.$eval('#key', (box) => { box.value = ''; });
  await page.type('#key', '2');
  await new Promise((done) => setTimeout(done, 400));  // the debounced search is sent and held
  assert.ok(held, 'the first search was sent');
  await page.type('#key', '015');
  await page.waitForFunction(() => new URLSearchParams(location.search).get('key') === '2015');
  await held.continue().catch(() => {});  // aborted by the page already, or answered late
  await new Promise((done) => setTimeout(done, 300));
  page.off('request', handler);
  await page.setRequestInterception(false);
  assert.equal(await page.$eval('#key', (box) => box.value), '2015');
  assert.equal((await query(page)).key, '2015');
  await assertRowsEqualApi(page, {key: '2015', desc: 'f'});
});

check('a share page and back', async ({page}) => {
  const [first] = await pageRows(page);
  await Promise.all([page.waitForNavigation(), page.click('#results tbody a')]);
  assert.equal(new URL(page.url()).pathname + new URL(page.url()).search, first.href);
  assert.equal(await page.$eval('h1', (h) => h.textContent), first.name);
  const facts = await page.$$eval('.facts dd', (dds) => dds.map((dd) => dd.textContent));
  assert.equal(facts[0], first.type);
  assert.ok(facts[1].startsWith(first.size) && /（[\d,]+ 字节）/.test(facts[1]), facts[1]);
  await assertAccessible(page, 'a share page');
  await Promise.all([page.waitForNavigation(), page.click('[data-back]')]);
  await page.waitForSelector('#results tbody tr');
  assert.equal((await pageRows(page))[0].name, first.name);
});

check('the copy button puts the address on the clipboard', async ({page, browser}) => {
  await browser.defaultBrowserContext().overridePermissions(origin, ['clipboard-read', 'clipboard-sanitized-write']);
  await page.goto(origin + '/s/xBad_1');
  await page.click('#copy-address');
  await page.waitForFunction(() => document.getElementById('copy-note').textContent !== '');
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), origin + '/s/xBad_1');
  assert.equal(await page.$eval('#copy-note', (note) => note.textContent), '地址已复制。');
});

check('hostile names are shown as text', async ({page}) => {
  await page.goto(`${origin}/?key=${encodeURIComponent('坏名字')}&in=&desc=f`);
  const names = (await pageRows(page)).map((row) => row.name);
  assert.deepEqual(names, hostileShares.map((share) => share.name));
  assert.equal(await page.$$eval('#results img, #results script', (found) => found.length), 0);
  await page.goto(origin + '/share/link?uk=77&shareid=7001');
  assert.equal(await page.$eval('h1', (h) => h.textContent), hostileShares[0].name);
  assert.match(await page.title(), /坏名字/);
});

check('keyboard: skip link first, "/" to the box, focus visible', async ({page}) => {
  await page.goto(`${origin}/?key=${encodeURIComponent(key)}&in=&desc=f`);
  await page.keyboard.press('Tab');
  assert.equal(await page.evaluate(() => document.activeElement.className), 'skip');
  await page.keyboard.press('Tab');
  await page.keyboard.press('Tab');
  const outline = await page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle);
  assert.notEqual(outline, 'none', 'the focused element shows an outline');
  await page.keyboard.press('/');
  assert.equal(await page.evaluate(() => document.activeElement.id), 'key');
});

check('scripts off: the form and the pages give the same rows', async ({browser}) => {
  const page = await browser.newPage();
  await watch(page, 'scripts off');
  await page.setJavaScriptEnabled(false);
  await page.goto(origin + '/');
  await page.type('#key', key);
  await page.click('input[name="in"][value="album"]');
  await Promise.all([page.waitForNavigation(), page.keyboard.press('Enter')]);
  assert.deepEqual(await query(page), {key, in: 'album', desc: 'f'});
  await assertRowsEqualApi(page, {key, in: 'album', desc: 'f'});
  await page.goto(`${origin}/?key=${encodeURIComponent(key)}&in=&desc=t&page=2`);
  await assertRowsEqualApi(page, {key, desc: 't', start: '20'}, 21);
  assert.equal(await page.$eval('#copy-address', (b) => b.hidden).catch(() => null), null, 'no copy button here');
  await page.goto(origin + '/s/xBad_1');
  assert.equal(await page.$eval('#copy-address', (button) => button.hidden), true, 'a button that cannot work is hidden');
  await page.close();
});

check('the 404 page and a refused search', async ({page}) => {
  const missing = await gotoRefused(page, '/no/such/page');
  assert.equal(missing.status(), 404);
  assert.equal(await page.$eval('h1', (h) => h.textContent), '找不到这个页面');
  await assertAccessible(page, 'the 404 page');
  const noShare = await gotoRefused(page, '/share/link?uk=1&shareid=1');
  assert.equal(noShare.status(), 404);
  const refused = await gotoRefused(page, `/?key=${encodeURIComponent(key)}&page=0`);
  assert.equal(refused.status(), 400);
  assert.match(await statusText(page), /页码/);
});

check('axe finds nothing serious on the search page and a result page, light and dark', async ({page}) => {
  for (const scheme of ['light', 'dark']) {
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: scheme}]);
    await page.goto(origin + '/');
    await assertAccessible(page, `the search page (${scheme})`);
    await page.goto(`${origin}/?key=${encodeURIComponent(key)}&in=&desc=f&page=2`);
    await assertAccessible(page, `a result page (${scheme})`);
    await page.goto(origin + '/share/link?uk=77&shareid=7001');
    await assertAccessible(page, `a share page (${scheme})`);
  }
});

check('nothing wider than the window at 360 px and at 1920 px', async ({page}) => {
  for (const width of [360, 1920]) {
    await page.setViewport({width, height: 800});
    for (const path of [`/?key=${encodeURIComponent(key)}&in=&desc=t`, '/share/link?uk=77&shareid=7001', '/s/xBad_1']) {
      await page.goto(origin + path);
      const scrollWidth = await page.evaluate(() => document.documentElement.scrollWidth);
      assert.ok(scrollWidth <= width, `${path} is ${scrollWidth} px wide in a ${width} px window`);
    }
  }
  await page.setViewport({width: 1280, height: 800});
});

check('assets are cached by name and revalidated by ETag', async () => {
  const html = await (await fetch(origin + '/')).text();
  const [, script] = /<script src="([^"]+)"/.exec(html);
  const first = await fetch(origin + script);
  assert.equal(first.headers.get('cache-control'), 'public, max-age=31536000, immutable');
  const again = await fetch(origin + script, {headers: {'If-None-Match': first.headers.get('etag')}});
  assert.equal(again.status, 304);
  const page = await fetch(origin + '/');
  assert.match(page.headers.get('content-security-policy'), /default-src 'none'.*script-src 'self'/);
});

const {origin: started, stop} = await startService(process.argv[2], 2000);
origin = started;
const {browser, close} = await launchChromium();
let failed = 0;
try {
  const page = await browser.newPage();
  await page.setViewport({width: 1280, height: 800});
  await watch(page, 'scripts on');
  for (const {name, body} of checks) {
    try {
      await body({page, browser});
      console.log(`ok: ${name}`);
    } catch (error) {
      ++failed;
      console.log(`FAILED: ${name}\n  ${error.stack.replaceAll('\n', '\n  ')}`);
    }
  }
} finally {
  await close();
  await stop();
}
for (const problem of problems) console.log(`FAILED: ${problem}`);
if (failed || problems.length) {
  console.log(`${failed} check(s) failed, ${problems.length} problem(s) on the pages`);
  process.exit(1);
}
console.log(`all ${checks.length} checks passed`);
