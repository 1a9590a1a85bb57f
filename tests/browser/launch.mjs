// The browser every test drives: Debian's Chromium with a fresh profile in
// TMPDIR and nothing that talks to the outside world. close() also removes
// the profile.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

export async function launch(options = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'tarvelo-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update',
      '--disable-sync',
    ],
    ...options,
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}
