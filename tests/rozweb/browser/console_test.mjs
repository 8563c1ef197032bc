// The browser console end to end: headless Chromium (playwright-core)
// against rozweb in front of a regd of its own, inside the loopback-only
// namespace (CTest through ./dev.sh test). Screenshots of each view go to
// $ROZWEB_SCREENSHOTS.
//
// Exits with 77 (CTest: skipped) when rozweb is not built.
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test as nodeTest } from 'node:test';
import assert from 'node:assert/strict';
import { Servers, fromEnvironment, screenshotDir, selectNode, treeRow, waitFor } from '../../../tools/rozweb/web/harness/servers.mjs';

const env = fromEnvironment();
if (!env.rozweb || !existsSync(env.rozweb)) {
  console.log(`rozweb is not built (${env.rozweb || 'no ROZWEB'}): browser tests skipped`);
  process.exit(77);
}
for (const [what, path] of [['regd', env.regd], ['the built console', join(env.webRoot, 'index.html')],
  ['playwright-core', join(env.nodeModules, 'playwright-core')], ['chromium (./dev.sh setup)', env.chromium]]) {
  if (!existsSync(path)) throw new Error(`${what} missing: ${path}`);
}
const shots = screenshotDir(process.env.ROZWEB_SCREENSHOTS || join(process.cwd(), 'screenshots'));

const c_hostile = '<img src=x onerror=alert(1)>';
const c_tree = {
  name: 'browser', flags: ['read'],
  children: [
    { name: 'settings', flags: ['read'], children: [
      { name: 'gain', type: 'Double', value: 1.5, flags: ['read', 'write'] },
      { name: 'label', type: 'String', value: 'bench', flags: ['read', 'write'] },
      { name: 'big', type: 'ULongLong', value: 18446744073709551615n, flags: ['read', 'write'] },
      { name: 'mode', type: 'Enumeration', value: 'normal', flags: ['read', 'write'],
        domain: ['normal', 'fast', 'precise'] },
    ] },
    { name: 'live', flags: ['read'], children: [
      { name: 'counter', type: 'ULongLong', value: 0, flags: ['read'],
        simulate: { period_ms: 100, generator: { kind: 'ramp', step: 1 } } },
    ] },
    { name: c_hostile, type: 'String', value: '<b id="injected">bold</b>', flags: ['read'] },
    { name: 'signals', flags: ['read'], children: [
      { name: 'scope', flags: ['read', 'signal'],
        signal: { access: 'push', element: 'double', components: ['x', 'y'], group_size: 64, block_rate_hz: 20,
          generator: { kind: 'sine', amplitude: 1.0, period: 256 } } },
      { name: 'history', flags: ['read', 'signal'],
        signal: { access: 'dod', element: 'float', components: ['temperature'], length: 5000, names_as: 'string',
          generator: { kind: 'noise', offset: 21.5, amplitude: 0.5 } } },
    ] },
    { name: 'reset', type: 'LongLong', flags: ['write', 'executable'], command: 'reset' },
  ],
};

const servers = new Servers(env);

// A test that, when it fails, leaves the servers' output in the log.
const test = (name, body) => nodeTest(name, async () => {
  try {
    await body();
  } catch (e) {
    servers.Report();
    throw e;
  }
});

const expand = (page, path) => treeRow(page, path).locator('.toggle').click();

describe('rozweb console in a browser', () => {
  before(async () => {
    const port = await servers.StartRegd(c_tree);
    await servers.StartRozweb([`test=127.0.0.1:${port}`]);
    await servers.LaunchBrowser();
  });
  after(async () => {
    await servers.Stop();
  });

  test('the tree opens lazily with badges, and the filter keeps matches and their parents', async () => {
    const page = await servers.NewPage();
    await treeRow(page, 'settings').waitFor();
    assert.equal(await page.locator('#registries .indicator[data-state=connected]').count(), 1);
    // Children are fetched on expansion only.
    assert.equal(await treeRow(page, 'settings.gain').count(), 0);
    await expand(page, 'settings');
    const gain = treeRow(page, 'settings.gain');
    await gain.waitFor();
    assert.equal(await gain.locator('.badge.type').textContent(), 'Double');
    assert.deepEqual(await gain.locator('.badge.flag').allTextContents(), ['r', 'w']);
    assert.deepEqual(await treeRow(page, 'signals').locator('.badge.flag').allTextContents(), ['r']);
    await page.screenshot({ path: join(shots, 'tree.png') });

    await page.fill('#filter', 'mod');
    assert.equal(await treeRow(page, 'settings.mode').isVisible(), true);
    assert.equal(await treeRow(page, 'settings').isVisible(), true);
    assert.equal(await gain.isVisible(), false);
    assert.equal(await treeRow(page, 'live').isVisible(), false);
    await page.fill('#filter', '');
    assert.equal(await gain.isVisible(), true);

    // Enter opens a typed path, loading the levels on the way.
    await page.fill('#filter', 'signals.history');
    await page.press('#filter', 'Enter');
    await page.locator('#detail h2').filter({ hasText: 'signals.history' }).waitFor();
    assert.equal(await treeRow(page, 'signals.history').getAttribute('class'), 'row selected');
    await page.fill('#filter', 'signals.nothing');
    await page.press('#filter', 'Enter');
    await page.locator('#filter.not-found').waitFor();
    await page.context().close();
  });

  test('a write shows old and new value, a refusal shows the allowed values in place', async () => {
    const page = await servers.NewPage();
    await selectNode(page, 'settings', 'gain');
    await page.locator('#detail-value').filter({ hasText: '1.5' }).waitFor();
    await page.fill('#write-input', '2.75');
    await page.click('#write-button');
    await page.locator('#write-result .new').filter({ hasText: '2.75' }).waitFor();
    assert.equal(await page.locator('#write-result .old').textContent(), '1.5');
    assert.equal(await page.locator('#detail-value').textContent(), '2.75');
    // The registry holds the new value, not only the page.
    const read = await servers.Request('GET', '/api/value?registry=test&path=settings.gain');
    assert.equal(read.body.value, 2.75);
    // A text that is no number is caught before it is sent.
    await page.fill('#write-input', 'abc');
    await page.click('#write-button');
    await page.locator('#write-result.error').filter({ hasText: 'not a number' }).waitFor();
    await page.screenshot({ path: join(shots, 'write.png') });

    // 64-bit integers beyond 2^53 keep every digit both ways.
    await selectNode(page, 'settings', 'big');
    await page.locator('#detail-value').filter({ hasText: '18446744073709551615' }).waitFor();
    await page.fill('#write-input', '18446744073709551613');
    await page.click('#write-button');
    await page.locator('#write-result .new').filter({ hasText: '18446744073709551613' }).waitFor();
    assert.equal(await page.locator('#write-result .old').textContent(), '18446744073709551615');

    await selectNode(page, 'settings', 'mode');
    assert.deepEqual(await page.locator('#write-select option').allTextContents(),
      ['normal', 'fast', 'precise', 'other value…']);
    await page.selectOption('#write-select', 'fast');
    await page.click('#write-button');
    await page.locator('#write-result .new').filter({ hasText: 'fast' }).waitFor();
    await page.selectOption('#write-select', { label: 'other value…' });
    await page.fill('#write-input', 'turbo');
    await page.click('#write-button');
    const refusal = page.locator('#write-result.error[role=alert]');
    await refusal.waitFor();
    const text = await refusal.textContent();
    assert.match(text, /409/);
    for (const allowed of ['normal', 'fast', 'precise']) assert.ok(text.includes(allowed), text);
    assert.equal((await servers.Request('GET', '/api/value?registry=test&path=settings.mode')).body.value, 'fast');
    await page.screenshot({ path: join(shots, 'refused.png') });
    await page.context().close();
  });

  test('a choice made before the first value arrives is kept', async () => {
    const page = await servers.NewPage();
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    await page.route(/\/api\/value\?.*path=settings\.mode(&|$)/, async (route) => { await held; await route.continue(); });
    await expand(page, 'settings');
    await treeRow(page, 'settings.mode').click();
    await page.selectOption('#write-select', 'precise');
    release();
    await waitFor(async () => (await page.locator('#detail-value').textContent()) !== '…', 'the first value');
    assert.equal(await page.inputValue('#write-select'), 'precise');
    await page.click('#write-button');
    await page.locator('#write-result .new').filter({ hasText: 'precise' }).waitFor();
    await page.context().close();
  });

  test('a first value that answers after a newer change does not put the older value back', async () => {
    const page = await servers.NewPage();
    // The first read of settings.label is answered at once by the gateway,
    // but its answer reaches the page only after a write made elsewhere has.
    let release;
    let fetched;
    let before;
    const held = new Promise((resolve) => { release = resolve; });
    const answered = new Promise((resolve) => { fetched = resolve; });
    await page.route(/\/api\/value\?.*path=settings\.label(&|$)/, async (route) => {
      const response = await route.fetch();
      before = (await response.json()).value;
      fetched();
      await held;
      await route.fulfill({ response });
    });
    await expand(page, 'settings');
    await treeRow(page, 'settings.label').click();
    await answered;
    try {
      const value = page.locator('#detail-value');
      let n = 0;
      await waitFor(async () => {
        // Written until the pane's subscription, made as the pane opens, passes it on.
        const put = await servers.Request('PUT', '/api/value',
          { registry: 'test', path: 'settings.label', value: `newer ${++n}` });
        assert.equal(put.status, 200);
        return (await value.textContent()).startsWith('newer');
      }, 'a change before the first value');
      const newer = `newer ${n}`;
      await value.filter({ hasText: new RegExp(`^${newer}$`) }).waitFor();
      release();
      // The late answer fills the write form: from the newer value.
      await waitFor(async () => (await page.inputValue('#write-input')) !== '', 'the late first value');
      assert.equal(await page.inputValue('#write-input'), newer);
      assert.equal(await value.textContent(), newer);
      assert.notEqual(before, newer);
    } finally {
      // The label as the other tests know it, whatever happened here.
      await servers.Request('PUT', '/api/value', { registry: 'test', path: 'settings.label', value: before });
    }
    await page.context().close();
  });

  test('a pinned node updates in the watch list without reload and draws its sparkline', async () => {
    const page = await servers.NewPage();
    await selectNode(page, 'live', 'counter');
    await page.click('#pin-button');
    const value = page.locator('.watch-list li[data-path="live.counter"] .value');
    await waitFor(async () => /^\d+$/.test(await value.textContent()), 'the first watched value');
    const first = Number(await value.textContent());
    await waitFor(async () => Number(await value.textContent()) >= first + 3, 'three changes of live.counter');
    // The sparkline canvas has ink on it.
    const inked = await page.locator('.watch-list li[data-path="live.counter"] canvas').evaluate((canvas) => {
      const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      return pixels.some((v, i) => i % 4 === 3 && v > 0);
    });
    assert.equal(inked, true);
    // A change made elsewhere reaches a pinned writable node as well.
    await selectNode(page, 'settings', 'label');
    await page.click('#pin-button');
    const label = page.locator('.watch-list li[data-path="settings.label"] .value');
    await label.filter({ hasText: 'bench' }).waitFor();
    const put = await servers.Request('PUT', '/api/value', { registry: 'test', path: 'settings.label', value: 'from outside' });
    assert.equal(put.status, 200);
    await label.filter({ hasText: 'from outside' }).waitFor();
    await page.screenshot({ path: join(shots, 'watch.png') });
    // The list survives a reload.
    await page.reload();
    await page.locator('.watch-list li[data-path="settings.label"] .value').filter({ hasText: 'from outside' }).waitFor();
    await page.context().close();
  });

  test('the scope draws a push stream, and pause freezes it', async () => {
    const page = await servers.NewPage();
    await selectNode(page, 'signals', 'scope');
    // A push stream offers the scope only.
    await page.locator('#range-button').waitFor({ state: 'hidden' });
    await page.click('#scope-button');
    const canvas = page.locator('#scope-plot canvas');
    const blocks = async () => Number(((await page.locator('#scope-status').textContent()).match(/^(\d+) blocks/) || [])[1] || 0);
    await waitFor(async () => (await blocks()) >= 2, 'two blocks');
    // One trace per component, named in the legend.
    assert.deepEqual((await page.locator('#scope-plot .u-legend .u-series').allTextContents()).map((n) => n.trim()),
      ['x', 'y']);
    const one = await canvas.screenshot();
    const seen = await blocks();
    await waitFor(async () => (await blocks()) >= seen + 3, 'three more blocks');
    const two = await canvas.screenshot();
    assert.notDeepEqual(one, two);
    await page.screenshot({ path: join(shots, 'scope.png') });

    await page.click('#scope-pause');
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
    const paused = await canvas.screenshot();
    const atPause = await blocks();
    await waitFor(async () => (await blocks()) >= atPause + 3, 'blocks while paused');
    assert.deepEqual(await canvas.screenshot(), paused);
    await page.context().close();
  });

  test('the range view reads a data-on-demand signal stretch by stretch', async () => {
    const page = await servers.NewPage();
    await selectNode(page, 'signals', 'history');
    await page.locator('#scope-button').waitFor({ state: 'hidden' });
    await page.click('#range-button');
    const status = page.locator('#range-status');
    await status.filter({ hasText: 'samples 0 to 999' }).waitFor();
    assert.deepEqual((await page.locator('#range-plot .u-legend .u-series').allTextContents()).map((n) => n.trim()),
      ['temperature']);
    await page.click('#range-later');
    await page.click('#range-later');
    await status.filter({ hasText: 'samples 2000 to 2999' }).waitFor();
    await page.click('#range-earlier');
    await status.filter({ hasText: 'samples 1000 to 1999' }).waitFor();
    await page.fill('#range-pos', '6000');
    await page.click('#range-read');
    await status.filter({ hasText: 'past the end' }).waitFor();
    await page.context().close();
  });

  test('a command button runs the command', async () => {
    const page = await servers.NewPage();
    const put = await servers.Request('PUT', '/api/value', { registry: 'test', path: 'settings.label', value: 'changed' });
    assert.equal(put.status, 200);
    await selectNode(page, 'reset');
    assert.equal(await page.locator('#write-input').count(), 0);
    await page.click('#exec-button');
    await page.locator('#exec-result').filter({ hasText: 'done' }).waitFor();
    assert.equal((await servers.Request('GET', '/api/value?registry=test&path=settings.label')).body.value, 'bench');
    await page.context().close();
  });

  test('the registry indicator follows the registry going and coming back, and watching goes on', async () => {
    const page = await servers.NewPage();
    await selectNode(page, 'live', 'counter');
    await page.click('#pin-button');
    const value = page.locator('.watch-list li[data-path="live.counter"] .value');
    await waitFor(async () => /^\d+$/.test(await value.textContent()), 'the watched value');
    const indicator = page.locator('#registries .indicator[data-registry=test]');
    await servers.StopRegd();
    await page.locator('#registries .indicator[data-registry=test][data-state=not_connected]').waitFor();
    assert.equal(await treeRow(page, '').getAttribute('data-state'), 'not_connected');
    assert.equal(await indicator.locator('.state-text').textContent(), 'not connected');
    await page.screenshot({ path: join(shots, 'not-connected.png') });
    const before = await value.textContent();
    await servers.StartRegd(c_tree, servers.regdPort);
    await page.locator('#registries .indicator[data-registry=test][data-state=connected]').waitFor();
    await waitFor(async () => (await value.textContent()) !== before, 'a change after the restart');
    await page.context().close();
  });

  test('a hostile node name and value show as text', async () => {
    const page = await servers.NewPage();
    const hostile = treeRow(page, c_hostile);
    await hostile.waitFor();
    assert.equal(await hostile.locator('.name').textContent(), c_hostile);
    await hostile.click();
    await page.locator('#detail-value').filter({ hasText: '<b id="injected">bold</b>' }).waitFor();
    assert.equal(await page.locator('#detail h2').textContent(), c_hostile);
    assert.equal(await page.locator('img').count(), 0);
    assert.equal(await page.locator('#injected').count(), 0);
    await page.fill('#filter', '<img');
    assert.equal(await hostile.isVisible(), true);
    await page.screenshot({ path: join(shots, 'hostile.png') });
    assert.deepEqual(page.dialogs, []);
    assert.deepEqual(page.errors, []);
    await page.context().close();
  });
});
