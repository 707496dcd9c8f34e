// Screenshots of a result page and a share page for docs/ and the README, at a laptop's and
// a phone's size, light and dark. After browser.pages has installed the packages:
//   CUMULO_NODE_PACKAGES=build/tests/browser/npm node tests/browser/take_screenshots.mjs \
//       build/bin/cumulo-server docs/screenshots
import {join} from 'node:path';
import {launchChromium, startService} from './service.mjs';

const [serverPath, outDir] = process.argv.slice(2);
const sizes = [{name: '1280x800', width: 1280, height: 800, deviceScaleFactor: 1},
               {name: '390x844', width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true}];
const {origin, stop} = await startService(serverPath, 10000);
const {browser, close} = await launchChromium();
try {
  const page = await browser.newPage();
  for (const scheme of ['light', 'dark']) {
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: scheme}]);
    for (const {name, ...viewport} of sizes) {
      await page.setViewport(viewport);
      await page.goto(`${origin}/?key=${encodeURIComponent('三体')}&in=&desc=t`);
      await page.screenshot({path: join(outDir, `search-${name}-${scheme}.png`)});
      await page.click('#results tbody a');
      await page.waitForSelector('article.share');
      await page.screenshot({path: join(outDir, `share-${name}-${scheme}.png`)});
    }
  }
} finally {
  await close();
  await stop();
}
