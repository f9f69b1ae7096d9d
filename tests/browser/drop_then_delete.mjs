// demo_server from a real browser: page.html, served from a loopback origin of its own that the
// server is told to allow, drops a session's GET stream and sends DELETE at once, TRIES times (20
// by default), in the system's Chromium driven through playwright-core. Passes when every DELETE
// got 200: a browser that sends its DELETE twice sees the second one's 404.
//
// node drop_then_delete.mjs SERVER   (CHROMIUM names the browser, /usr/bin/chromium by default;
// NETLOG=FILE keeps Chromium's network log of the run, with every byte, in FILE)
import { createServer } from 'node:http';
import { spawn } from 'node:child_process';
import { readFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const server = process.argv[2];
const tries = Number(process.env.TRIES || 20);
const browserPath = process.env.CHROMIUM || '/usr/bin/chromium';
if (!server) {
  console.error('usage: node drop_then_delete.mjs SERVER');
  process.exit(2);
}

// The page's own origin, on a port of its own: the server sees a cross-origin page, as it would
// see a web client's.
const page_html = readFileSync(new URL('page.html', import.meta.url));
const pages = createServer((req, res) => {
  if (req.url !== '/') {
    res.writeHead(404).end();
    return;
  }
  res.writeHead(200, {'Content-Type': 'text/html; charset=utf-8', 'Cache-Control': 'no-store'}).end(page_html);
});
await new Promise((resolve) => pages.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${pages.address().port}`;

// The server on any free port, once its standard error has said the URL.
const child = spawn(server, ['--http', '0', '--allow-origin', origin], {stdio: ['ignore', 'ignore', 'pipe']});
let stderr = '';
child.stderr.on('data', (chunk) => { stderr += chunk; });
child.on('error', (e) => { stderr += `${e.message}\n`; });
const exited = new Promise((resolve) => child.on('close', resolve));
for (let i = 0; i < 250 && !/\/mcp\n/.test(stderr); ++i) await new Promise((r) => setTimeout(r, 20));
const mcp = stderr.split('\n').find((line) => /^http:\/\/127\.0\.0\.1:\d+\/mcp$/.test(line));

const profile = mkdtempSync(join(tmpdir(), 'demo-browser-'));
let context;
let code = 1;
const deadline = setTimeout(() => {
  console.error(`browser: no result after 120 s`);
  child.kill();
  process.exit(1);
}, 120_000);
try {
  if (!mcp) throw new Error(`the server did not say its URL; its standard error:\n${stderr}`);
  context = await chromium.launchPersistentContext(profile, {
    executablePath: browserPath,
    headless: true,
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
      ...(process.env.NETLOG ? [`--log-net-log=${process.env.NETLOG}`, '--net-log-capture-mode=Everything'] : []),
    ],
  });
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(`${origin}/`);
  const statuses = await page.evaluate(([url, n]) => dropThenDelete(url, n), [mcp, tries]);
  const ok = statuses.filter((s) => s === 200).length;
  console.log(`${browserPath} (${context.browser()?.version() ?? 'persistent context'}), ${server}`);
  console.log(`DELETE statuses: ${statuses.join(' ')}`);
  console.log(`browser: ${ok} passed, ${tries - ok} failed`);
  code = ok === tries ? 0 : 1;
} catch (e) {
  console.error(`browser: ${e.stack || e}`);
} finally {
  clearTimeout(deadline);
  if (context) await context.close();
  rmSync(profile, {recursive: true, force: true});
  child.kill('SIGTERM');
  await exited;
  pages.close();
}
process.exit(code);
