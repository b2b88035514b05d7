// What the browser tests share: the service on a free loopback port, and Debian's headless
// Chromium driven by playwright-core.
import { spawn, execFileSync } from 'node:child_process';
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

const launchOptions = {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
};

// A scratch folder, the service program named on the command line, and what runs in them.
export class Harness {
  constructor(usage) {
    this.program = process.argv[2];
    if (!this.program) {
      console.error(`usage: node ${usage} PATH/TO/velk-service`);
      process.exit(2);
    }
    this.work = mkdtempSync(join(tmpdir(), 'velk-browser-'));
    this.db = join(this.work, 'velk.sqlite');
  }

  // Runs a command of the service program (adduser, show) on the test's data file.
  run(...args) {
    return execFileSync(this.program, [...args, '--db', this.db], { encoding: 'utf8', timeout: 30000 });
  }

  // Starts the service and Chromium; resolves with the service's base URL once it listens.
  async start(...options) {
    this.server = spawn(this.program, ['serve', '--db', this.db, '--address', '127.0.0.1',
                                       '--port', '0', ...options],
                        { stdio: ['ignore', 'pipe', 'inherit'] });
    this.base = await new Promise((resolve, reject) => {
      const lines = createInterface({ input: this.server.stdout });
      lines.once('line', (line) => {
        const match = /listening on (http:\/\/127\.0\.0\.1:\d+)/.exec(line);
        if (match) resolve(match[1]); else reject(new Error(`service did not start: ${line}`));
      });
      this.server.once('exit', (code) => reject(new Error(`service exited with ${code}`)));
    });
    this.context = await chromium.launchPersistentContext(join(this.work, 'profile'), launchOptions);
    return this.base;
  }

  // A fresh browser context (own cookies, viewport, touch) in a second Chromium.
  async newContext(options) {
    this.browser ||= await chromium.launch(launchOptions);
    return this.browser.newContext(options);
  }

  async stop() {
    if (this.context) await this.context.close();
    if (this.browser) await this.browser.close();
    if (this.server && this.server.exitCode === null) {
      this.server.kill('SIGTERM');
      await new Promise((resolve) => this.server.once('exit', resolve));
    }
    rmSync(this.work, { recursive: true, force: true });
  }
}

// The width and height a PNG's header gives.
export function pngSize(bytes) {
  return [bytes.readUInt32BE(16), bytes.readUInt32BE(20)];
}
