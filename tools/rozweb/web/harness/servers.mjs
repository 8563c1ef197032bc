// Starting regd, rozweb and headless Chromium for the browser tests and the
// web demo, and stopping them again. Every program started here must run
// inside the loopback-only network namespace (./dev.sh test, ./dev.sh demo
// --web): the servers listen on 127.0.0.1 ports of the kernel's choice,
// read back from their port files.
//
// Node.js, one thread. A Servers object owns its child processes and the
// browser; Stop ends them (SIGTERM, SIGKILL after a grace period), and the
// children get SIGKILL should this process die first (they are killed on
// 'exit').
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync, mkdirSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const c_startDeadlineMs = 60000;  // generous: the 32-bit and sanitizer builds are slow
const c_stopGraceMs = 10000;
// Chromium on a machine with no network: no background connections, no
// sandbox (root), a fresh profile.
const c_chromiumArgs = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-default-apps', '--disable-extensions', '--mute-audio'];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until test() returns a truthy value, polling every 50 ms; throws
// Error(what) after deadlineMs.
export async function waitFor(test, what, deadlineMs = c_startDeadlineMs) {
  const end = Date.now() + deadlineMs;
  for (;;) {
    const result = await test();
    if (result) return result;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

export class Servers {
  // env: {regd, rozweb, nodeModules, chromium, webRoot}; paths of the programs
  // and folders (see fromEnvironment).
  constructor(env) {
    this.env = env;
    this.dir = mkdtempSync(join(tmpdir(), 'rozweb-browser-'));
    this.children = [];
    this.browser = null;
    this.onExit = () => { for (const c of this.children) if (c.exitCode === null) c.kill('SIGKILL'); };
    process.on('exit', this.onExit);
  }

  // Starts a program whose port appears in portFile; returns the port.
  async StartWithPortFile(name, program, args, portFile) {
    const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    let output = '';
    child.stdout.on('data', (d) => { output += d; });
    child.stderr.on('data', (d) => { output += d; });
    child.output = () => output;
    child.name = name;
    this.children.push(child);
    const port = await waitFor(() => {
      if (child.exitCode !== null || child.signalCode !== null) {
        throw new Error(`${name} ended (${child.exitCode ?? child.signalCode}) before reporting its port:\n${output}`);
      }
      const text = existsSync(portFile) ? readFileSync(portFile, 'utf8').trim() : '';
      return /^\d+$/.test(text) ? Number(text) : null;
    }, `${name} to report its port`);
    return port;
  }

  // regd with the tree (a JSON object or the name of a tree file) on
  // `port` (0: the kernel's choice); returns the port.
  async StartRegd(tree, port = 0) {
    let treeFile = tree;
    if (typeof tree !== 'string') {
      treeFile = join(this.dir, 'tree.json');
      // BigInts as bare integers (64-bit values beyond 2^53).
      writeFileSync(treeFile, JSON.stringify(tree, (k, v) => (typeof v === 'bigint' ? `\u0000${v}\u0000` : v), 2)
        .replace(/"\\u0000(-?\d+)\\u0000"/g, '$1'));
    }
    const portFile = join(this.dir, 'regd.port');
    rmSync(portFile, { force: true });
    this.regdPort = await this.StartWithPortFile('regd', this.env.regd,
      ['--tree', treeFile, '--port', String(port), '--port-file', portFile, '--log', join(this.dir, 'regd.log')],
      portFile);
    return this.regdPort;
  }

  // Ends the regd started last (SIGTERM) and waits for its end.
  async StopRegd() {
    const regd = this.children.findLast((c) => c.name === 'regd');
    if (regd) await this.End(regd);
  }

  async End(child) {
    if (child.exitCode !== null || child.signalCode !== null) return;
    const ended = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), c_stopGraceMs);
    await ended;
    clearTimeout(timer);
  }

  // rozweb in front of the registries ("NAME=127.0.0.1:PORT"), serving the
  // built console; extra: further options. Returns the console's URL.
  async StartRozweb(registries, extra = []) {
    const portFile = join(this.dir, 'rozweb.port');
    const args = [];
    for (const r of registries) args.push('--registry', r);
    args.push('--listen', '127.0.0.1:0', '--port-file', portFile, '--web-root', this.env.webRoot, ...extra);
    const port = await this.StartWithPortFile('rozweb', this.env.rozweb, args, portFile);
    this.url = `http://127.0.0.1:${port}/`;
    return this.url;
  }

  // Headless Chromium through playwright-core; returns the Browser.
  async LaunchBrowser() {
    const require = createRequire(join(this.env.nodeModules, 'noop.js'));
    const { chromium } = require('playwright-core');
    this.browser = await chromium.launch({
      executablePath: this.env.chromium, headless: true, args: c_chromiumArgs,
    });
    return this.browser;
  }

  // A new page (own context: own storage) at the console, 1400 x 900.
  async NewPage() {
    const context = await this.browser.newContext({ viewport: { width: 1400, height: 900 } });
    const page = await context.newPage();
    page.dialogs = [];
    page.on('dialog', (dialog) => { page.dialogs.push(dialog.message()); dialog.dismiss().catch(() => {}); });
    page.errors = [];
    page.on('pageerror', (e) => page.errors.push(e.message));
    await page.goto(this.url);
    return page;
  }

  // A JSON request to rozweb: {status, body}.
  async Request(method, path, body) {
    const response = await fetch(new URL(path, this.url), {
      method, body: body === undefined ? undefined : JSON.stringify(body),
      headers: body === undefined ? {} : { 'Content-Type': 'application/json' },
    });
    return { status: response.status, body: await response.json() };
  }

  // Prints the end of every child's output and of regd's log to stderr
  // (what a failed test leaves for the reader of the CI log).
  Report(lines = 40) {
    const tail = (text) => text.split('\n').slice(-lines).join('\n');
    for (const c of this.children) {
      const state = c.exitCode === null && c.signalCode === null ? 'running' : `ended (${c.exitCode ?? c.signalCode})`;
      console.error(`--- ${c.name} (pid ${c.pid}, ${state}), last output:\n${tail(c.output())}`);
    }
    const log = join(this.dir, 'regd.log');
    if (existsSync(log)) console.error(`--- regd log:\n${tail(readFileSync(log, 'utf8'))}`);
  }

  async Stop() {
    if (this.browser) await this.browser.close().catch(() => {});
    this.browser = null;
    for (const child of this.children.reverse()) await this.End(child);
    this.children = [];
    rmSync(this.dir, { recursive: true, force: true });
    process.off('exit', this.onExit);
  }
}

// The programs and folders from the environment that CMake sets for the
// tests and dev.sh for the demo: REGD, ROZWEB, ROZWEB_WEB (the built
// console), ROZWEB_NODE_MODULES, CHROMIUM (default /usr/bin/chromium).
export function fromEnvironment() {
  const path = (name, fallback = '') => (process.env[name] ? resolve(process.env[name]) : fallback);
  return {
    regd: path('REGD'),
    rozweb: path('ROZWEB'),
    webRoot: path('ROZWEB_WEB'),
    nodeModules: path('ROZWEB_NODE_MODULES'),
    chromium: path('CHROMIUM', '/usr/bin/chromium'),
  };
}

// The row of a node in the console's tree (a Playwright locator).
export function treeRow(page, path) {
  return page.locator(`#tree .row[data-path="${path.replace(/["\\]/g, '\\$&')}"]`);
}

// Expands the tree down to a node (given by its path elements), selects it
// and waits until its detail pane is complete: the node's information (or
// the refusal to give it) and, for a readable node, its first value.
export async function selectNode(page, ...elements) {
  for (let i = 1; i < elements.length; i++) {
    const toggle = treeRow(page, elements.slice(0, i).join('.')).locator('.toggle');
    if ((await toggle.textContent()) === '▸') await toggle.click();
  }
  const path = elements.join('.');
  await treeRow(page, path).click();
  await waitFor(() => page.evaluate((shown) => {
    const detail = document.getElementById('detail');
    const title = detail.querySelector('h2');
    const value = document.getElementById('detail-value');
    return title !== null && title.textContent === shown && detail.querySelector('table.info, p.error') !== null
      && (value === null || value.textContent !== '…');
  }, path), `the detail pane of ${path}`);
}

// Makes a folder for screenshots (and returns it).
export function screenshotDir(dir) {
  mkdirSync(dir, { recursive: true });
  return dir;
}
