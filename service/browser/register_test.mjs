// Browser test of the registration page: headless Chromium registers an account, lands on its
// account page signed in, reads its key, and the image URL the page shows serves a PNG.
// Usage: node register_test.mjs PATH/TO/velk-service
import { test, after, before } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { Harness } from './harness.mjs';

const harness = new Harness('register_test.mjs');
let base;
let context;

before(async () => {
  base = await harness.start();
  context = harness.context;
});

after(() => harness.stop());

test('register, read the key, and the image URL serves a PNG', async () => {
  const page = await context.newPage();
  await page.goto(`${base}/user/register`);
  assert.equal(await page.locator('#codepage').inputValue(), '1252');
  await page.fill('#name', 'browser_user');
  await page.selectOption('#codepage', '1251');
  await page.click('#register');

  const key = (await page.locator('#key').textContent()).trim();
  assert.match(key, /^\d{20}$/);
  assert.equal((await page.locator('#user').textContent()).trim(), 'browser_user');
  assert.equal(await page.locator('#signout').count(), 1);
  const imageUrl = (await page.locator('#image-url').textContent()).trim();
  assert.equal(imageUrl, `${base}/signature/browser_user.png`);

  // The page's own preview loaded as a 400x60 image.
  await page.waitForFunction(() => document.getElementById('preview').complete);
  const size = await page.evaluate(() => {
    const img = document.getElementById('preview');
    return [img.naturalWidth, img.naturalHeight];
  });
  assert.deepEqual(size, [400, 60]);

  const image = await page.request.get(imageUrl);
  assert.equal(image.status(), 200);
  assert.equal(image.headers()['content-type'], 'image/png');
  const bytes = await image.body();
  assert.deepEqual([...bytes.subarray(0, 4)], [0x89, 0x50, 0x4e, 0x47]);

  // The key works: a report with it changes what the account shows.
  const report = await page.request.get(
    `${base}/signature/generate/?user=browser_user&key=${key}&artist=%C0&title=t&album=&year=&genre=`);
  assert.equal(report.status(), 200);
  if (process.env.VELK_SCREENSHOT_DIR) {
    await page.screenshot({ path: join(process.env.VELK_SCREENSHOT_DIR, 'registered.png'), fullPage: true });
  }
  await page.close();
});

test('a taken name is refused with a message on the form', async () => {
  const page = await context.newPage();
  await page.goto(`${base}/user/register`);
  await page.fill('#name', 'BROWSER_USER');
  await page.click('#register');
  const error = await page.locator('#error').textContent();
  assert.match(error, /taken/);
  assert.equal(await page.locator('#name').inputValue(), 'BROWSER_USER');
  if (process.env.VELK_SCREENSHOT_DIR) {
    await page.screenshot({ path: join(process.env.VELK_SCREENSHOT_DIR, 'taken.png'), fullPage: true });
  }
  await page.close();
});
