// Browser test of the registration page: headless Chromium registers an account, reads its key,
// and the image URL the page shows serves a PNG. Usage: node register_test.mjs PATH/TO/velk-service
import { test, after, before } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

const require = createRequire(import.meta.url);
let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch {
  console.error('playwright-core is missing: run scripts/bootstrap (npm ci in service/browser)');
  process.exit(1);
}

const service = process.argv[2];
if (!service) {
  console.error('usage: node register_test.mjs PATH/TO/velk-service');
  process.exit(2);
}

const work = mkdtempSync(join(tmpdir(), 'velk-browser-'));
let server;
let base;
let context;

// Starts the service on a free port and resolves with its base URL once it listens.
function startService() {
  server = spawn(service, ['serve', '--db', join(work, 'velk.sqlite'), '--address', '127.0.0.1',
                           '--port', '0'], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    const lines = createInterface({ input: server.stdout });
    lines.once('line', (line) => {
      const match = /listening on (http:\/\/127\.0\.0\.1:\d+)/.exec(line);
      if (match) resolve(match[1]); else reject(new Error(`service did not start: ${line}`));
    });
    server.once('exit', (code) => reject(new Error(`service exited with ${code}`)));
  });
}

before(async () => {
  base = await startService();
  context = await chromium.launchPersistentContext(join(work, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (context) await context.close();
  if (server) {
    server.kill('SIGTERM');
    await new Promise((resolve) => (server.exitCode !== null ? resolve() : server.once('exit', resolve)));
  }
  rmSync(work, { recursive: true, force: true });
});

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
  const imageUrl = (await page.locator('#image-url').textContent()).trim();
  assert.equal(imageUrl, `${base}/signature/browser_user.png`);

  // The page's own preview loaded as a 400x60 image.
  await page.waitForFunction(() => document.getElementById('signature').complete);
  const size = await page.evaluate(() => {
    const img = document.getElementById('signature');
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
