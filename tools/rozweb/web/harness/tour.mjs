// The web part of `./dev.sh demo --web`: regd with the demo tree, rozweb in
// front of it and headless Chromium driven through the console (the tree,
// a write and a refused one, the watch list, the scope and the range view),
// one screenshot per view into the folder given as the first argument.
// Runs inside the loopback-only namespace (dev.sh does that); the programs
// come from the environment (see servers.mjs fromEnvironment).
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { Servers, fromEnvironment, screenshotDir, selectNode, treeRow, waitFor } from './servers.mjs';

const out = screenshotDir(process.argv[2] || join(process.cwd(), 'rozweb-demo'));
const env = fromEnvironment();
for (const [what, path] of [['rozweb', env.rozweb], ['regd', env.regd], ['chromium', env.chromium],
  ['the built console', join(env.webRoot, 'index.html')]]) {
  if (!path || !existsSync(path)) {
    console.error(`demo: ${what} missing (${path || 'not set'})`);
    process.exit(1);
  }
}
const tree = process.argv[3];
const servers = new Servers(env);
const step = (text) => console.log(`\n=== ${text}`);
const note = (text) => console.log(`    ${text}`);
let shot = 0;
async function screenshot(page, name) {
  const file = join(out, `${String(++shot).padStart(2, '0')}-${name}.png`);
  await page.screenshot({ path: file });
  note(`screenshot ${file}`);
}

try {
  step('Starting regd with the demo tree and rozweb in front of it');
  const port = await servers.StartRegd(tree);
  const url = await servers.StartRozweb([`demo=127.0.0.1:${port}`]);
  note(`regd on 127.0.0.1:${port}; the console on ${url}`);
  await servers.LaunchBrowser();
  const page = await servers.NewPage();

  step('The tree: settings and signals expanded, type and flag badges');
  await treeRow(page, 'settings').waitFor();
  for (const path of ['settings', 'signals', 'measurement']) await treeRow(page, path).locator('.toggle').click();
  await treeRow(page, 'settings.gain').waitFor();
  await treeRow(page, 'signals.scope').waitFor();
  await screenshot(page, 'tree');

  step('Writing settings.gain: the old and the new value');
  await selectNode(page, 'settings', 'gain');
  await page.fill('#write-input', '2.5');
  await page.click('#write-button');
  await page.locator('#write-result .new').waitFor();
  note(`written: ${await page.locator('#write-result').textContent()}`);
  await screenshot(page, 'write');

  step('An enumeration takes only its domain values: settings.mode = turbo');
  await selectNode(page, 'settings', 'mode');
  await page.selectOption('#write-select', { label: 'other value…' });
  await page.fill('#write-input', 'turbo');
  await page.click('#write-button');
  await page.locator('#write-result.error').waitFor();
  note(`refused: ${await page.locator('#write-result').textContent()}`);
  await screenshot(page, 'refused');

  step('The watch list: three nodes pinned, updating by themselves');
  for (const path of [['measurement', 'temperature'], ['measurement', 'uptime_s'], ['settings', 'gain']]) {
    await selectNode(page, ...path);
    await page.click('#pin-button');
  }
  const uptime = page.locator('.watch-list li[data-path="measurement.uptime_s"] .value');
  await waitFor(async () => /^\d+$/.test(await uptime.textContent()), 'measurement.uptime_s');
  const first = Number(await uptime.textContent());
  await waitFor(async () => Number(await uptime.textContent()) >= first + 3, 'three changes of measurement.uptime_s');
  note(`measurement.uptime_s went from ${first} to ${await uptime.textContent()} without a reload`);
  await screenshot(page, 'watch');

  step('The scope: signals.scope (x = sine, y = cosine) drawn live');
  await selectNode(page, 'signals', 'scope');
  await page.click('#scope-button');
  await waitFor(async () => /^([3-9]|\d\d+) blocks/.test(await page.locator('#scope-status').textContent()), 'blocks');
  await page.selectOption('#scope-division', '0.05');
  await page.waitForTimeout(1000);  // a full picture for the screenshot, not a check
  note(`scope: ${await page.locator('#scope-status').textContent()}`);
  await screenshot(page, 'scope');

  step('The range view: signals.history read on demand');
  await selectNode(page, 'signals', 'history');
  await page.click('#range-button');
  await waitFor(async () => !/reading/.test(await page.locator('#range-status').textContent()), 'the range');
  note(`range: ${await page.locator('#range-status').textContent()}`);
  await screenshot(page, 'range');

  console.log(`\nScreenshots of the console are in ${out}`);
} finally {
  await servers.Stop();
}
