// Browser test of the account page: sign in, change template and theme with the preview
// following, save and fetch the image at its new size, take a new key (the old one is refused),
// delete the account; saves screenshots of the page and of every template in both themes.
// Usage: node account_test.mjs PATH/TO/velk-service
import { test, after, before } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { Harness, pngSize } from './harness.mjs';

const artifacts = process.env.VELK_ARTIFACTS_DIR ||
  resolve(dirname(fileURLToPath(import.meta.url)), '../../build/service/artifacts');
const harness = new Harness('account_test.mjs');
// One account per script, with tags in its code page as the plug-in sends them.
const accounts = [
  { name: 'latin', key: '1111', codepage: '1252', label: 'Latin',
    tags: 'artist=Salt%20%26%20Sand&title=Wave%20(Live)&album=Tides&year=2001&genre=Rock' },
  { name: 'cyrillic', key: '2222', codepage: '1251', label: 'Cyrillic',
    tags: 'artist=%CA%E8%ED%EE&title=%C3%F0%F3%EF%EF%E0%20%EA%F0%EE%E2%E8&album=%C7%E2%E5%E7%E4%E0' +
          '%20%EF%EE%20%E8%EC%E5%ED%E8%20%D1%EE%EB%ED%F6%E5&year=1988&genre=Rock' },
  { name: 'japanese', key: '3333', codepage: '932', label: 'Japanese',
    tags: 'artist=%89F%91%BD%93c%83q%83J%83%8B&title=First%20Love&album=First%20Love&year=1999' +
          '&genre=J-Pop' },
];
let base;
let page;

const report = (name, key, tags) =>
  page.request.get(`${base}/signature/generate/?user=${name}&key=${key}&${tags}`);

async function signIn(name, key) {
  await page.goto(`${base}/account`);
  await page.fill('#name', name);
  await page.fill('#key', key);
  await page.click('#signin');
  await page.waitForSelector('#user');
  assert.equal((await page.locator('#user').textContent()).trim(), name);
}

// The preview's URL and size once it has loaded.
async function preview() {
  await page.waitForFunction(() => {
    const img = document.getElementById('preview');
    return img.complete && img.naturalWidth > 0;
  });
  return page.evaluate(() => {
    const img = document.getElementById('preview');
    return { src: img.src, size: [img.naturalWidth, img.naturalHeight] };
  });
}

async function previewChangesTo(click, width) {
  const before = (await preview()).src;
  await page.click(click);
  await page.waitForFunction((old) => document.getElementById('preview').src !== old, before);
  const after = await preview();
  assert.equal(after.size[0], width);
  return after;
}

// Every template in both themes for the signed-in account, as data URLs, by template and theme.
async function gallery(account, into) {
  for (const layout of ['card', 'banner', 'userbar']) {
    for (const theme of ['dark', 'light']) {
      const answer = await page.request.get(`${base}/account/preview.png?template=${layout}` +
        `&theme=${theme}&accent_mode=theme&accent=%23000000&album=1&year=1&genre=1` +
        `&codepage=${account.codepage}`);
      assert.equal(answer.status(), 200);
      const bytes = await answer.body();
      const key = `${layout}-${theme}`;
      (into[key] ||= []).push({ label: account.label, size: pngSize(bytes), bytes: bytes.length,
                                url: `data:image/png;base64,${bytes.toString('base64')}` });
    }
  }
}

before(async () => {
  for (const account of accounts) {
    harness.run('adduser', account.name, '--codepage', account.codepage, '--key', account.key);
  }
  base = await harness.start('--report-interval-ms', '0');
  page = await harness.context.newPage();
  mkdirSync(artifacts, { recursive: true });
  for (const account of accounts) {
    assert.equal((await report(account.name, account.key, account.tags)).status(), 200);
  }
});

after(() => harness.stop());

test('the account page: look, preview, save, new key, deletion', async () => {
  const [latin] = accounts;
  await signIn(latin.name, latin.key);
  assert.deepEqual((await preview()).size, [400, 60]);
  await page.screenshot({ path: join(artifacts, 'account-page.png'), fullPage: true });

  // The preview follows each choice before anything is saved.
  assert.equal(await page.locator('#unsaved').isHidden(), true);
  await previewChangesTo('#template-banner', 468);
  const light = await previewChangesTo('#theme-light', 468);
  assert.match(light.src, /template=banner&theme=light/);
  assert.equal(await page.locator('#unsaved').isVisible(), true);
  assert.deepEqual(pngSize(await (await page.request.get(`${base}/signature/latin.png`)).body()),
                   [400, 60]);

  await page.click('#save');
  await page.waitForSelector('#notice');
  assert.match(await page.locator('#notice').textContent(), /Saved/);
  const saved = await page.request.get(`${base}/signature/latin.png`);
  assert.equal(saved.status(), 200);
  assert.deepEqual(pngSize(await saved.body()), [468, 60]);
  assert.match(await page.locator('#snippet-html').inputValue(), /width="468" height="60"/);
  assert.deepEqual(pngSize(await (await page.request.get(`${base}/signature/latin/userbar.png`))
    .body()), [350, 19]);

  // A new key: shown once, the old one refused from now on, the new one accepted.
  await page.click('#new-key');
  await page.waitForSelector('#key');
  const key = (await page.locator('#key').textContent()).trim();
  assert.match(key, /^\d{20}$/);
  assert.equal((await report(latin.name, latin.key, latin.tags)).status(), 403);
  assert.equal((await report(latin.name, key, latin.tags)).status(), 200);

  const shots = {};
  await gallery(latin, shots);
  for (const account of accounts.slice(1)) {
    await page.click('#signout');
    await page.waitForSelector('#signin');
    await signIn(account.name, account.key);
    await gallery(account, shots);
  }
  for (const [name, images] of Object.entries(shots)) {
    await page.setContent(`<body style="margin:0"><div id="gallery" style="display:inline-block;
        padding:16px 16px 4px;background:#d9dde3;font:13px 'Noto Sans',sans-serif;color:#1b2230">
        ${images.map((image) =>
      `<div style="margin:0 0 12px"><div style="margin:0 0 4px">${image.label}, ` +
      `${image.size.join('x')}, ${image.bytes} bytes</div><img src="${image.url}"></div>`).join('')}
      </div></body>`);
    await page.waitForFunction(() => [...document.images].every((img) => img.complete));
    await page.locator('#gallery').screenshot({ path: join(artifacts, `template-${name}.png`) });
    for (const image of images) assert.ok(image.bytes < 30 * 1024, `${name} ${image.label}`);
  }
  assert.deepEqual(shots['userbar-light'][0].size, [350, 19]);

  // Deleting the japanese account: a wrong confirmation keeps it, its name deletes it.
  await page.goto(`${base}/account`);
  await page.fill('#confirm', 'latin');
  await page.click('#delete');
  await page.waitForSelector('#notice');
  assert.equal((await page.request.get(`${base}/signature/japanese.json`)).status(), 200);
  await page.fill('#confirm', 'japanese');
  await page.click('#delete');
  await page.waitForSelector('#deleted');
  assert.equal((await page.request.get(`${base}/signature/japanese.json`)).status(), 404);
  assert.equal((await report('japanese', '3333', accounts[2].tags)).status(), 403);
  await page.goto(`${base}/account`);
  assert.equal(await page.locator('#signin').count(), 1);
  await page.goto(`${base}/user/register`);
  await page.fill('#name', 'japanese');
  await page.click('#register');
  await page.waitForSelector('#key');
});
