// demo_server driven by the official SDK's v2 client in the modern era (MCP 2026-07-28), through its
// own API only, over standard input and output and over Streamable HTTP: pinned to 2026-07-28, and in
// 'auto' mode, which must now choose the modern era. Every reply passes the client's schema checks, so
// a reply it rejects fails here.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { Client, StreamableHTTPClientTransport } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';

const server = process.env.DEMO_SERVER;
assert.ok(server, 'DEMO_SERVER must name the demo_server binary');

const modern = '2026-07-28';
const roots = [{ uri: 'file:///work/project', name: 'project' }];

// A server started with --http on any free port, once it has said its URL on standard error.
async function startHttp() {
  const child = spawn(server, ['--http', '0'], { stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  for (let i = 0; i < 250 && !/\/mcp\n/.test(stderr); ++i) await new Promise((r) => setTimeout(r, 20));
  const url = stderr.split('\n')[1];
  assert.match(url, /^http:\/\/127\.0\.0\.1:\d+\/mcp$/);
  return { child, url };
}

// A connected client over `kind` ('stdio' or 'http'), in `mode`, that answers roots/list and keeps
// every message the server sent, every error the client reported and, over HTTP, the status and
// headers of every answer. `server` is the server's process.
async function connect(kind, mode = { pin: modern }) {
  let http;
  let transport;
  const answers = [];
  if (kind === 'http') {
    http = await startHttp();
    const recording = async (url, init) => {
      const response = await fetch(url, init);
      const header = (name) => response.headers.get(name);
      answers.push({ method: init.body ? JSON.parse(init.body).method : init.method, status: response.status, type: header('content-type'),
        buffering: header('x-accel-buffering'), session: header('mcp-session-id') });
      return response;
    };
    transport = new StreamableHTTPClientTransport(new URL(http.url), { fetch: recording });
  } else {
    transport = new StdioClientTransport({ command: server, args: [], stderr: 'pipe' });
  }
  const seen = [];
  let deliver;
  Object.defineProperty(transport, 'onmessage', {
    set(fn) { deliver = fn; },
    get() { return deliver && ((message, extra) => { seen.push(message); deliver(message, extra); }); },
  });
  const client = new Client({ name: 'interop-v2', version: '1.0.0' },
    { capabilities: { roots: {} }, versionNegotiation: { mode } });
  const logs = [];
  const errors = [];
  client.onerror = (e) => errors.push(e);
  client.setNotificationHandler('notifications/message', (n) => { logs.push(n.params); });
  client.setRequestHandler('roots/list', async () => ({ roots }));
  await client.connect(transport);
  const process = http ? http.child : transport._process;
  const exited = new Promise((resolve) => process.once('exit', (code) => resolve(code)));
  const close = async () => {
    await client.close();
    if (http) http.child.kill();
  };
  return { client, transport, process, exited, url: http?.url, seen, logs, errors, answers, close };
}

async function rejects(promise, code, message) {
  await assert.rejects(promise, (e) => {
    assert.equal(e.code, code, `${e}`);
    assert.ok(e.message.includes(message), e.message);
    return true;
  });
}

const text = (result) => result.content.map((c) => c.text).join('');

const sessions = ['stdio', 'http'].flatMap((kind) => [{ pin: modern }, 'auto'].map((mode) => [kind, mode]));
for (const [kind, mode] of sessions) describe(`the v2 client, ${JSON.stringify(mode)}, over ${kind}`, () => {
  let c;
  before(async () => { c = await connect(kind, mode); });
  after(async () => { await c.close(); });

  test('server/discover: the modern era, its identity, capabilities and instructions', async () => {
    assert.ok(!c.seen.some((m) => m.result?.protocolVersion), 'no initialize was answered');
    const discovered = await c.client.discover();
    assert.deepEqual(discovered.supportedVersions, [modern]);
    assert.deepEqual(discovered.capabilities, { tools: { listChanged: false }, resources: {}, prompts: {}, logging: {} });
    assert.equal(discovered.instructions, 'A demo server written in Tarn: try echo, image, notify and ask_client.');
    const last = c.seen.at(-1).result;
    assert.equal(last.resultType, 'complete');
    assert.deepEqual([last.ttlMs, last.cacheScope], [3600000, 'public']);
    assert.deepEqual(last._meta['io.modelcontextprotocol/serverInfo'],
      { name: 'marlo-demo-tarn', title: '示例服务端（Tarn）', version: '1.0.0' });
  });

  test('tools/list walks every page once, each with caching hints', async () => {
    const names = [];
    let cursor;
    do {
      const page = await c.client.listTools(cursor === undefined ? {} : { cursor }, { cacheMode: 'bypass' });
      names.push(...page.tools.map((t) => t.name));
      assert.equal(c.seen.at(-1).result.cacheScope, 'public');
      cursor = page.nextCursor;
    } while (cursor !== undefined);
    assert.deepEqual(names, ['echo', 'add', 'image', 'fail', 'slow', 'notify', 'ask_client', 'crash']);
  });

  test('the tools that answer at once', async () => {
    assert.equal(text(await c.client.callTool({ name: 'echo', arguments: { text: 'hi', times: 3 } })), 'hi hi hi');
    assert.equal(text(await c.client.callTool({ name: 'add', arguments: { a: 0.1, b: 0.2 } })), '0.30000000000000004');
    const image = await c.client.callTool({ name: 'image', arguments: { color: 'blue' } });
    assert.deepEqual(image.content.map((x) => x.type), ['image', 'text']);
    const fail = await c.client.callTool({ name: 'fail', arguments: {} });
    assert.deepEqual([fail.isError, text(fail)], [true, 'This tool always fails (on purpose).']);
    const slow = await c.client.callTool({ name: 'slow', arguments: { seconds: 0.05 } });
    assert.equal(text(slow), 'slept 0.05 s');
  });

  test('ask_client: answered through the roots handler by a retry', async () => {
    const result = await c.client.callTool({ name: 'ask_client', arguments: {} });
    assert.equal(text(result), `client answered: ${JSON.stringify({ roots })}`);
    const asked = c.seen.find((m) => m.result?.resultType === 'input_required');
    assert.deepEqual(asked.result.inputRequests, { roots: { method: 'roots/list', params: {} } });
    assert.ok(!c.seen.some((m) => m.method === 'roots/list'), 'no request was sent to the client');
  });

  test('notify: log lines only at the level the request names; progress as ever', async () => {
    c.logs.length = 0;
    const progress = [];
    const quiet = await c.client.callTool({ name: 'notify', arguments: { steps: 2 } }, { onprogress: (p) => progress.push(p) });
    assert.equal(text(quiet), 'done after 2 steps');
    assert.deepEqual(c.logs, []);
    assert.deepEqual(progress, [1, 2].map((i) => ({ progress: i, total: 2 })));
    const meta = (level) => ({ 'io.modelcontextprotocol/logLevel': level });
    await c.client.callTool({ name: 'notify', arguments: { steps: 2 }, _meta: meta('info') });
    assert.deepEqual(c.logs, [1, 2].map((i) => ({ level: 'info', logger: 'demo', data: `step ${i}/2` })));
    c.logs.length = 0;
    await c.client.callTool({ name: 'notify', arguments: { steps: 1 }, _meta: meta('warning') });
    assert.deepEqual(c.logs, []);
  });

  test('slow, cancelled: nothing more is written for it', async () => {
    const abort = new AbortController();
    const call = c.client.callTool({ name: 'slow', arguments: { seconds: 1 } }, { signal: abort.signal });
    await new Promise((r) => setTimeout(r, 100));
    abort.abort('enough');
    await assert.rejects(call);
    const id = c.seen.length;
    await new Promise((r) => setTimeout(r, 1200));
    assert.deepEqual(c.seen.slice(id), []);
  });

  test('resources and the prompt', async () => {
    const readme = await c.client.readResource({ uri: 'demo://readme' });
    assert.deepEqual(readme.contents, [{ uri: 'demo://readme', mimeType: 'text/markdown', text: '# 示例服务端\n\n用来试用 MCP 调试台。' }]);
    assert.deepEqual((await c.client.listResources()).resources.map((r) => r.uri), ['demo://readme']);
    assert.deepEqual((await c.client.listResourceTemplates()).resourceTemplates.map((r) => r.uriTemplate), ['demo://notes/{name}']);
    assert.deepEqual((await c.client.listPrompts()).prompts.map((p) => p.name), ['review']);
    const prompt = await c.client.getPrompt({ name: 'review', arguments: { code: 'SELECT 1', language: 'SQL' } });
    assert.equal(prompt.messages[0].content.text, '请审查这段SQL代码：\nSELECT 1');
  });

  test('errors: the modern codes, today\'s texts', async () => {
    await rejects(c.client.readResource({ uri: 'demo://nowhere' }), -32602, 'Resource not found: demo://nowhere');
    await rejects(c.client.callTool({ name: 'nope', arguments: {} }), -32602, 'Unknown tool: nope');
    await rejects(c.client.listTools({ cursor: '9' }, { cacheMode: 'bypass' }), -32602, 'Invalid cursor');
    const bad = await c.client.callTool({ name: 'echo', arguments: { times: 2 } });
    assert.deepEqual([bad.isError, text(bad)], [true, 'Invalid arguments: text is missing']);
    assert.deepEqual(c.errors, []);
  });

  if (kind === 'http') test('over HTTP: no session; what may wait answers with unbuffered events, the rest JSON', () => {
    assert.deepEqual(c.answers.filter((a) => a.session !== null || a.status === 202), []);
    const streams = c.answers.filter((a) => a.type === 'text/event-stream');
    assert.deepEqual(new Set(streams.map((a) => a.buffering)), new Set(['no']));
    assert.ok(streams.length > 0 && streams.length < c.answers.length);
    assert.deepEqual(new Set(c.answers.filter((a) => a.method !== 'tools/call').map((a) => a.type)),
      new Set(['application/json']));
  });

  // What the SDK client never sends: a call that needs a capability the request does not declare.
  if (kind === 'http') test('over HTTP: ask_client without the roots capability is a 400 with -32021', async () => {
    const headers = { 'content-type': 'application/json', accept: 'application/json, text/event-stream',
      'mcp-protocol-version': modern, 'mcp-method': 'tools/call', 'mcp-name': 'ask_client' };
    const _meta = { 'io.modelcontextprotocol/protocolVersion': modern, 'io.modelcontextprotocol/clientCapabilities': {} };
    const body = JSON.stringify({ jsonrpc: '2.0', id: 7, method: 'tools/call', params: { name: 'ask_client', arguments: {}, _meta } });
    const response = await fetch(c.url, { method: 'POST', headers, body });
    assert.equal(response.status, 400);
    assert.deepEqual((await response.json()).error,
      { code: -32021, message: 'Missing required client capability: roots', data: { requiredCapabilities: { roots: {} } } });
  });

  test('subscriptions/listen: acknowledged, then closed by the client', async () => {
    const sub = await c.client.listen({ toolsListChanged: true });
    assert.deepEqual(sub.honoredFilter, {});
    await sub.close();
    assert.equal(await sub.closed, 'local');
  });
});

// The server sends the listen's completion result, then notifications/cancelled for it (MCP
// 2026-07-28, basic/patterns/subscriptions and cancellation), on either transport: the client ends
// the subscription gracefully on the first and takes the second without complaint. (The other order
// has it report the result as an answer to no request.) The HTTP server is ended by SIGINT, which
// reaches the Windows build under wine too, as Ctrl+C.
const endings = { stdio: (c) => c.transport._process.stdin.end(), http: (c) => c.process.kill('SIGINT') };
for (const [kind, end] of Object.entries(endings)) {
  test(`subscriptions/listen over ${kind}: ended quietly by the server as it exits`, async () => {
    const c = await connect(kind);
    const sub = await c.client.listen({ resourcesListChanged: true });
    end(c);
    assert.equal(await c.exited, 0);
    assert.equal(await sub.closed, 'graceful');
    const ids = c.seen.filter((m) => m.method === 'notifications/cancelled' || 'result' in m).map((m) => m.method ?? 'result');
    assert.deepEqual(ids.slice(-2), ['result', 'notifications/cancelled']);
    await new Promise((r) => setTimeout(r, 50));
    assert.deepEqual(c.errors, []);
    await c.client.close();
  });
}

for (const kind of ['stdio', 'http']) {
  test(`crash over ${kind}, last: the client's call fails, the server exits 3`, async () => {
    const c = await connect(kind);
    await assert.rejects(c.client.callTool({ name: 'crash', arguments: {} }, { timeout: 5000 }));
    assert.equal(await c.exited, 3);
    await c.client.close();
  });
}
