// Browser test of the account pages as people meet them, on a phone (390x844, touch) and on a
// desktop (1280x800): register, the new account's page and its sample preview, a faint accent,
// save, sign out, a failed and a good sign-in, a new key, deletion. Every page must fit the
// viewport with touch-sized controls, a reload must never repeat an action, a failed sign-in
// must not change the public state, a copy button must say it copied, and the pages'
// Content-Security-Policy must refuse nothing on them. Saves screenshots of each page and of
// every template in both themes to build/service/artifacts (or $VELK_ARTIFACTS_DIR). The
// listening history: its preview and snippets follow the choices, the download gives the listens,
// keeping can be switched off, and deleting leaves nothing.
// Usage: node account_test.mjs PATH/TO/velk-service
import { test, after, before } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { Harness, pngSize } from './harness.mjs';

const artifacts = process.env.VELK_ARTIFACTS_DIR ||
  resolve(dirname(fileURLToPath(import.meta.url)), '../../build/service/artifacts');
const harness = new Harness('account_test.mjs');
// One account per script, and one with long tags, as the plug-in sends them, for the gallery.
const accounts = [
  { name: 'latin', key: '1111', codepage: '1252', label: 'Latin',
    tags: 'artist=Salt%20%26%20Sand&title=Wave%20(Live)&album=Tides&year=2001&genre=Rock' },
  { name: 'cyrillic', key: '2222', codepage: '1251', label: 'Cyrillic',
    tags: 'artist=%CA%E8%ED%EE&title=%C3%F0%F3%EF%EF%E0%20%EA%F0%EE%E2%E8&album=%C7%E2%E5%E7%E4%E0' +
          '%20%EF%EE%20%E8%EC%E5%ED%E8%20%D1%EE%EB%ED%F6%E5&year=1988&genre=Rock' },
  { name: 'japanese', key: '3333', codepage: '932', label: 'Japanese',
    tags: 'artist=%89F%91%BD%93c%83q%83J%83%8B&title=First%20Love&album=First%20Love&year=1999' +
          '&genre=J-Pop' },
  { name: 'longtags', key: '4444', codepage: '1252', label: 'Long tags',
    tags: 'artist=Red%20Hot%20Chili%20Peppers%20featuring%20The%20Philharmonic%20Orchestra' +
          '&title=Under%20the%20Bridge%20(Live%20at%20the%20Hollywood%20Bowl%2C%20Remastered)' +
          '&album=The%20Complete%20Recordings%20of%20a%20Very%20Prolific%20Decade%2C%20Disc%20Four' +
          '&year=1992&genre=Alternative%20Rock' },
];
const viewports = [
  { label: '390', viewport: { width: 390, height: 844 }, hasTouch: true, isMobile: true },
  { label: '1280', viewport: { width: 1280, height: 800 } },
];
let base;
let listenerToken;

const report = (page, name, key, tags) =>
  page.request.get(`${base}/signature/generate/?user=${name}&key=${key}&${tags}`);
const publicState = async (page, name) =>
  (await page.request.get(`${base}/signature/${name}.json`)).text();

// The page fits its viewport, nothing sticks out of its section, and every control a finger
// uses is at least 44 px high.
async function checkLayout(page, where) {
  const found = await page.evaluate(() => {
    const visible = (e) => e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden';
    const describe = (e) => `${e.tagName.toLowerCase()}#${e.id || e.textContent.trim().slice(0, 24)}`;
    const outside = [];
    for (const section of document.querySelectorAll('section, header')) {
      const box = section.getBoundingClientRect();
      for (const e of section.querySelectorAll('*')) {
        const r = e.getBoundingClientRect();
        if (visible(e) && r.width > 0 && (r.right > box.right + 1 || r.left < box.left - 1)) {
          outside.push(describe(e));
        }
      }
    }
    const controls = 'button, select, textarea, summary, input:not([type=hidden]):not([type=radio])' +
      ':not([type=checkbox]), label:has(> input[type=radio]), label:has(> input[type=checkbox])';
    const small = [...document.querySelectorAll(controls)]
      .filter((e) => visible(e) && e.getBoundingClientRect().height < 44).map(describe);
    return { scrollWidth: document.documentElement.scrollWidth, width: innerWidth, outside, small };
  });
  assert.ok(found.scrollWidth <= found.width, `${where}: ${found.scrollWidth} px wide in ${found.width}`);
  assert.deepEqual(found.outside, [], `${where}: sticks out of its box`);
  assert.deepEqual(found.small, [], `${where}: under 44 px`);
}

async function shot(page, name) {
  await page.screenshot({ path: join(artifacts, `${name}.png`), fullPage: true });
}

// The preview's URL and size once it has loaded.
async function preview(page) {
  await page.waitForFunction(() => {
    const img = document.getElementById('preview');
    return img.complete && img.naturalWidth > 0;
  });
  return page.evaluate(() => {
    const img = document.getElementById('preview');
    return { src: img.src, size: [img.naturalWidth, img.naturalHeight] };
  });
}

async function choose(page, selector, touch) {
  const before = (await preview(page)).src;
  await (touch ? page.tap(selector) : page.click(selector));
  await page.waitForFunction((old) => document.getElementById('preview').src !== old, before);
  return preview(page);
}

// The snippet boxes that do not show their whole text.
const clipped = (page) => page.$$eval('.snippet textarea',
  (boxes) => boxes.filter((box) => box.scrollHeight > box.clientHeight + 1).map((box) => box.id));

const path = (page) => new URL(page.url()).pathname + new URL(page.url()).search;

// Every template in both themes for the signed-in account, as data URLs, by template and theme.
async function gallery(page, account, into) {
  for (const layout of ['card', 'banner', 'userbar']) {
    for (const theme of ['dark', 'light']) {
      const answer = await page.request.get(`${base}/account/preview.png?template=${layout}` +
        `&theme=${theme}&accent_mode=theme&accent=%23000000&album=1&year=1&genre=1` +
        `&codepage=${account.codepage}`);
      assert.equal(answer.status(), 200);
      const bytes = await answer.body();
      (into[`${layout}-${theme}`] ||= []).push({
        label: account.label, size: pngSize(bytes), bytes: bytes.length,
        url: `data:image/png;base64,${bytes.toString('base64')}` });
    }
  }
}

before(async () => {
  for (const account of accounts) {
    harness.run('adduser', account.name, '--codepage', account.codepage, '--key', account.key);
  }
  harness.run('adduser', 'listener', '--key', '5555');
  listenerToken = harness.run('token', 'listener').trim();
  base = await harness.start('--report-interval-ms', '0');
  mkdirSync(artifacts, { recursive: true });
  for (const account of accounts) {
    assert.equal((await report(harness.context, account.name, account.key, account.tags)).status(),
                 200);
  }
});

after(() => harness.stop());

for (const { label, ...options } of viewports) {
  test(`register, look, sign out and in, new key, delete at ${label} px`, async () => {
    const context = await harness.newContext(options);
    const page = await context.newPage();
    // The pages' policy refuses inline style and script: any left would show up here.
    const refused = [];
    page.on('console', (message) => {
      if (/Content Security Policy/.test(message.text())) refused.push(message.text());
    });
    const touch = Boolean(options.hasTouch);
    const name = `Walker${label}`;

    await page.goto(`${base}/user/register`);
    await checkLayout(page, 'register');
    await shot(page, `register-${label}`);
    assert.match(await page.locator('#history-note').textContent(), /keeps your listening history/);
    await page.fill('#name', name);
    await page.selectOption('#codepage', '1251');
    await page.click('#register');
    await page.waitForSelector('#key');
    assert.equal(path(page), '/account');
    const firstKey = (await page.locator('#key').textContent()).trim();
    assert.match(firstKey, /^\d{20}$/);
    assert.equal(await page.locator('#keep-history').isChecked(), true);
    // No report yet: the preview shows a sample track in the chosen look.
    assert.equal(await page.locator('#sample').isVisible(), true);
    assert.deepEqual((await preview(page)).size, [400, 60]);
    await checkLayout(page, 'new account');
    await shot(page, `account-new-${label}`);
    await page.reload();
    assert.equal(await page.locator('#key').count(), 0, 'a reload shows the key again');
    assert.equal(await page.locator('#error').count(), 0, 'a reload registers again');
    assert.equal((await page.locator('#user').textContent()).trim(), name);
    const fresh = await publicState(page, name);
    assert.match(fresh, /"playback":"none".*"wrong_key":false/);

    // The preview follows each choice; a yellow accent on the light theme is explained.
    assert.equal(await page.locator('#unsaved').isHidden(), true);
    assert.equal((await choose(page, '#template-banner', touch)).size[0], 468);
    await choose(page, '#theme-light', touch);
    await page.locator('#accent').fill('#ffeb3b');
    await page.waitForFunction(() => /accent=%23ffeb3b/.test(document.getElementById('preview').src));
    assert.equal(await page.locator('#accent-own').isChecked(), true);
    assert.match(await page.locator('#contrast').textContent(), /contrast of 1\.\d:1.*darker shade/);
    assert.equal(await page.locator('#unsaved').isVisible(), true);
    await preview(page);
    await checkLayout(page, 'account with a faint accent');
    await shot(page, `account-accent-${label}`);
    await page.click('#save');
    await page.waitForSelector('#notice');
    assert.equal(path(page), '/account?saved=1');
    assert.match(await page.locator('#notice').textContent(), /Saved/);
    assert.match(await page.locator('#snippet-html').inputValue(), /width="468" height="60"/);
    assert.deepEqual(pngSize(await (await page.request.get(`${base}/signature/${name}.png`))
      .body()), [468, 60]);
    // Each snippet shows its whole text, and the URL hint breaks between its parts only.
    assert.deepEqual(await clipped(page), []);
    await page.click('[data-copy="snippet-forum"]');
    await page.waitForFunction(
      () => document.querySelector('[data-copy="snippet-forum"]').textContent === 'Copied');

    await (touch ? page.tap('#signout') : page.click('#signout'));
    await page.waitForSelector('#signin');
    await checkLayout(page, 'sign-in');
    await shot(page, `signin-${label}`);
    // A failed sign-in is no player's report: the public state stays as it was.
    await page.fill('#name', name);
    await page.fill('#key', '12345678901234567890');
    await page.click('#signin');
    await page.waitForSelector('#error');
    await checkLayout(page, 'failed sign-in');
    assert.equal(await publicState(page, name), fresh);
    await page.fill('#key', firstKey);
    await page.click('#signin');
    await page.waitForSelector('#user');
    assert.equal(path(page), '/account');

    // A new key asks first and says that the player must be updated.
    await (touch ? page.tap('#new-key-open') : page.click('#new-key-open'));
    assert.match(await page.locator('#new-key-box .warning').textContent(),
                 /player stops reporting.*Enter the new key in the player's Velk settings/s);
    await checkLayout(page, 'new key asked');
    await shot(page, `account-new-key-asked-${label}`);
    await (touch ? page.tap('#new-key') : page.click('#new-key'));
    await page.waitForSelector('#key');
    assert.equal(path(page), '/account');
    const key = (await page.locator('#key').textContent()).trim();
    assert.notEqual(key, firstKey);
    await page.reload();
    assert.equal(await page.locator('#key').count(), 0);
    // The reload made no other key: the one shown works, the first is refused.
    const tags = accounts[1].tags;
    assert.equal((await report(page, name, firstKey, tags)).status(), 403);
    assert.equal((await report(page, name, key, tags)).status(), 200);
    await page.reload();
    assert.equal(await page.locator('#sample').count(), 0);
    assert.deepEqual((await preview(page)).size, [468, 60]);
    await shot(page, `account-reported-${label}`);

    // Deletion: a wrong confirmation keeps the account, its name deletes it, once.
    await page.fill('#confirm', 'someone-else');
    await page.click('#delete');
    await page.waitForSelector('#notice');
    assert.equal((await page.request.get(`${base}/signature/${name}.json`)).status(), 200);
    await page.fill('#confirm', name);
    await page.click('#delete');
    await page.waitForSelector('#deleted');
    assert.equal(path(page), '/account');
    await checkLayout(page, 'deleted');
    await shot(page, `deleted-${label}`);
    await page.reload();
    assert.equal(await page.locator('#signin').count(), 1);
    assert.equal((await page.request.get(`${base}/signature/${name}.json`)).status(), 404);
    assert.deepEqual(refused, []);
    await context.close();
  });
}

test('every template in both themes, for every script and long tags', async () => {
  const page = await harness.context.newPage();
  const shots = {};
  for (const account of accounts) {
    await page.goto(`${base}/account`);
    await page.fill('#name', account.name);
    await page.fill('#key', account.key);
    await page.click('#signin');
    await page.waitForSelector('#user');
    await gallery(page, account, shots);
    await page.click('#signout');
    await page.waitForSelector('#signin');
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
  await page.close();
});

test('listening history: preview, snippets, download, keeping off, deletion', async () => {
  // Three listens of the last days, brought by a ListenBrainz import with the player token.
  const now = Math.floor(Date.now() / 1000);
  const sent = [['Salt & Sand', 'Wave'], ['Кино', 'Группа крови'], ['Salt & Sand', 'Tides']]
    .map(([artist_name, track_name], i) =>
      ({ listened_at: now - 86400 * (i + 1), track_metadata: { artist_name, track_name } }));
  const context = await harness.newContext({ viewport: { width: 1280, height: 800 } });
  const importListens = async (payload) => {
    const answer = await context.request.post(`${base}/1/submit-listens`, {
      headers: { Authorization: `Token ${listenerToken}` }, data: { listen_type: 'import', payload } });
    assert.equal(answer.status(), 200, await answer.text());
  };
  await importListens(sent);
  const recent = async () =>
    (await (await context.request.get(`${base}/signature/listener/recent.json?count=10`)).json())
      .listens.map((listen) => listen.title);
  assert.deepEqual(await recent(), ['Wave', 'Группа крови', 'Tides']);

  const page = await context.newPage();
  await page.goto(`${base}/account`);
  await page.fill('#name', 'listener');
  await page.fill('#key', '5555');
  await page.click('#signin');
  await page.waitForSelector('#history-look');
  const historyPreview = () => page.evaluate(() => {
    const img = document.getElementById('history-preview');
    return img.complete && img.naturalWidth > 0 && { src: img.src, width: img.naturalWidth };
  });
  await page.waitForFunction(() => document.getElementById('history-preview').naturalWidth > 0);
  assert.match((await historyPreview()).src, /\/signature\/listener\/recent\.png\?count=5$/);

  // Top artists over 30 days as SVG: the preview and the three snippets name the same image.
  await page.selectOption('#history-kind', 'top-artists');
  assert.equal(await page.locator('#history-count').isHidden(), true);
  await page.selectOption('#history-period', '30d');
  await page.selectOption('#history-format', 'svg');
  await page.waitForFunction(() => /\.svg\?period=30d$/.test(
    document.getElementById('history-preview').src));
  await page.waitForFunction(() => document.getElementById('history-preview').complete);
  const shown = await historyPreview();
  assert.equal(shown.src, `${base}/signature/listener/top-artists.svg?period=30d`);
  assert.equal(shown.width, 500);
  const snippets = async () => Promise.all(['forum', 'html', 'markdown']
    .map((kind) => page.inputValue(`#history-${kind}`)));
  const alt = "listener's music on Velk";
  const expected = [`[img]${shown.src}[/img]`,
    `<img src="${shown.src}" width="500" height="150" alt="${alt}">`, `![${alt}](${shown.src})`];
  assert.deepEqual(await snippets(), expected);
  const chart = await (await context.request.get(`${base}/signature/listener/top-artists.json` +
    '?period=30d')).json();
  assert.deepEqual(chart.rows[0], { artist: 'Salt & Sand', plays: 2 });
  assert.deepEqual(await clipped(page), []);
  await checkLayout(page, 'history chosen');
  await page.locator('#history').screenshot({ path: join(artifacts, 'account-history.png') });
  // Back restores the choices, and the preview and snippets with them.
  await page.goto(`${base}/signature/listener.json`);
  await page.goBack();
  await page.waitForSelector('#history-look');
  assert.equal((await historyPreview()).src, shown.src);
  assert.deepEqual(await snippets(), expected);

  // The download is a file of the listens as ListenBrainz writes them.
  const [download] = await Promise.all([page.waitForEvent('download'),
                                        page.click('#download-history')]);
  assert.equal(download.suggestedFilename(), 'listener-listens.json');
  const listens = JSON.parse(await readFile(await download.path(), 'utf8'));
  assert.deepEqual(listens.map(({ listened_at, track_metadata }) =>
    ({ listened_at, track_metadata: { artist_name: track_metadata.artist_name,
                                      track_name: track_metadata.track_name } })), sent);

  // Keeping switched off stays off after a reload; a new import is then not kept.
  await page.uncheck('#keep-history');
  await page.click('#save-history');
  await page.locator('#notice', { hasText: 'Nothing new is kept' }).waitFor();
  await page.reload();
  assert.equal(await page.locator('#keep-history').isChecked(), false);
  await importListens([{ ...sent[0], listened_at: now - 60 }]);
  assert.deepEqual(await recent(), ['Wave', 'Группа крови', 'Tides']);

  // Deleting asks first, then leaves no listen and no chart.
  await page.click('#delete-history-open');
  await page.click('#delete-history');
  await page.locator('#notice', { hasText: 'history is deleted' }).waitFor();
  assert.deepEqual(await recent(), []);
  assert.deepEqual((await (await context.request.get(
    `${base}/signature/listener/top-artists.json?period=all`)).json()).rows, []);
  await context.close();
});
