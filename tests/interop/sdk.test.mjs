// demo_server driven by the official MCP TypeScript SDK client, through its own API only: every
// reply passes the SDK's schema checks, so a reply it rejects fails here. The same session runs over
// standard input and output, over Streamable HTTP, and over the older HTTP+SSE.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { inflateSync } from 'node:zlib';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';
import { SSEClientTransport } from '@modelcontextprotocol/sdk/client/sse.js';
import { spawn } from 'node:child_process';
import {
  ErrorCode,
  ListRootsRequestSchema,
  LoggingMessageNotificationSchema,
  McpError,
  EmptyResultSchema,
} from '@modelcontextprotocol/sdk/types.js';

const server = process.env.DEMO_SERVER;
assert.ok(server, 'DEMO_SERVER must name the demo_server binary');
// What goes before the server's own arguments, a JSON array: DEMO_SERVER=npx DEMO_SERVER_ARGS='["demo-server"]'.
const serverArgs = JSON.parse(process.env.DEMO_SERVER_ARGS ?? '[]');

const roots = [
  { uri: 'file:///work/project', name: 'project' },
  { uri: 'file:///work/other', name: 'other' },
];

const ready = 'demo MCP server (Tarn) ready\n';

// A server started with --http on any free port, once it has said its URL on standard error.
async function startHttp() {
  const child = spawn(server, [...serverArgs, '--http', '0'], { stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  for (let i = 0; i < 250 && !/\/mcp\n/.test(stderr); ++i) await new Promise((r) => setTimeout(r, 20));
  const url = stderr.split('\n')[1];
  assert.match(url, /^http:\/\/127\.0\.0\.1:\d+\/mcp$/);
  return { child, url, stderr: () => stderr };
}

// A connected client over `kind` ('stdio', 'http' or 'sse') that answers roots/list, keeps every log
// notification and every raw message the server sent, and the server's standard error.
async function connect(kind = 'stdio') {
  let http;
  let transport;
  if (kind === 'http') {
    http = await startHttp();
    transport = new StreamableHTTPClientTransport(new URL(http.url));
  } else if (kind === 'sse') {
    http = await startHttp();
    transport = new SSEClientTransport(new URL(http.url.replace(/\/mcp$/, '/sse')));
  } else {
    transport = new StdioClientTransport({ command: server, args: serverArgs, stderr: 'pipe' });
  }
  const seen = [];
  let deliver;
  Object.defineProperty(transport, 'onmessage', {
    set(fn) { deliver = fn; },
    get() { return deliver && ((message, extra) => { seen.push(message); deliver(message, extra); }); },
  });
  let stderr = '';
  if (!http) transport.stderr.on('data', (chunk) => { stderr += chunk; });
  const client = new Client({ name: 'interop-test', version: '1.0.0' }, { capabilities: { roots: { listChanged: false } } });
  const logs = [];
  client.setNotificationHandler(LoggingMessageNotificationSchema, (n) => { logs.push(n.params); });
  client.setRequestHandler(ListRootsRequestSchema, async () => ({ roots }));
  await client.connect(transport);
  // Standard error is a pipe of its own: its line may arrive after the first reply.
  const stderrWhenReady = async () => {
    if (http) return http.stderr().slice(0, ready.length);
    for (let i = 0; i < 100 && !stderr.includes('\n'); ++i) await new Promise((r) => setTimeout(r, 20));
    return stderr;
  };
  const close = async () => {
    await client.close();
    if (http) http.child.kill();
  };
  return { client, transport, http, seen, logs, stderr: () => stderr, stderrWhenReady, close };
}

async function rejects(promise, code, message) {
  await assert.rejects(promise, (e) => {
    assert.ok(e instanceof McpError, `expected an McpError, got ${e}`);
    assert.equal(e.code, code);
    assert.match(e.message, new RegExp(message.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')));
    return true;
  });
}

// Decodes our 32×32 RGB PNG (one stored zlib stream in IDAT) into scanlines of bytes.
function decodePng(base64) {
  const png = Buffer.from(base64, 'base64');
  assert.deepEqual([...png.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  let at = 8;
  let header;
  const idat = [];
  while (at < png.length) {
    const length = png.readUInt32BE(at);
    const type = png.toString('latin1', at + 4, at + 8);
    const data = png.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') header = data;
    if (type === 'IDAT') idat.push(data);
    at += 12 + length;
  }
  assert.equal(header.readUInt32BE(0), 32);
  assert.equal(header.readUInt32BE(4), 32);
  assert.deepEqual([...header.subarray(8)], [8, 2, 0, 0, 0]);
  return inflateSync(Buffer.concat(idat));
}

for (const kind of ['stdio', 'http', 'sse']) describe(`demo_server through the SDK client over ${kind}`, () => {
  let c;
  before(async () => { c = await connect(kind); });
  after(async () => { await c.close(); });

  test('initialize: version, server info, capabilities, instructions', async () => {
    const init = c.seen.find((m) => m.id === 0);
    assert.equal(init.result.protocolVersion, '2025-11-25');
    assert.deepEqual(c.client.getServerVersion(), { name: 'marlo-demo-tarn', title: '示例服务端（Tarn）', version: '1.0.0' });
    assert.deepEqual(c.client.getServerCapabilities(), {
      tools: { listChanged: false }, resources: {}, prompts: {}, logging: {},
    });
    assert.equal(c.client.getInstructions(), 'A demo server written in Tarn: try echo, image, notify and ask_client.');
    assert.equal(await c.stderrWhenReady(), ready);
  });

  test('ping and setLoggingLevel', async () => {
    assert.deepEqual(await c.client.ping(), {});
    assert.deepEqual(await c.client.setLoggingLevel('debug'), {});
  });

  test('listTools walks every page once', async () => {
    const names = [];
    let cursor;
    let pages = 0;
    do {
      const page = await c.client.listTools(cursor === undefined ? {} : { cursor });
      names.push(...page.tools.map((t) => t.name));
      for (const t of page.tools) assert.equal(t.inputSchema.type, 'object');
      cursor = page.nextCursor;
      pages += 1;
    } while (cursor !== undefined);
    assert.equal(pages, 3);
    assert.deepEqual(names, ['echo', 'add', 'image', 'fail', 'slow', 'notify', 'ask_client', 'crash']);
  });

  test('echo and add', async () => {
    const echo = await c.client.callTool({ name: 'echo', arguments: { text: 'hi', times: 3 } });
    assert.deepEqual(echo, { content: [{ type: 'text', text: 'hi hi hi' }], isError: false });
    const add = await c.client.callTool({ name: 'add', arguments: { a: 0.1, b: 0.2 } });
    assert.deepEqual(add.content, [{ type: 'text', text: '0.30000000000000004' }]);
  });

  test('image: a 32×32 gradient in each colour', async () => {
    for (const [channel, color] of ['red', 'green', 'blue'].entries()) {
      const result = await c.client.callTool({ name: 'image', arguments: { color } });
      assert.equal(result.content.length, 2);
      const [picture, caption] = result.content;
      assert.equal(picture.type, 'image');
      assert.equal(picture.mimeType, 'image/png');
      assert.deepEqual(caption, { type: 'text', text: `32×32 ${color} gradient` });
      const raw = decodePng(picture.data);
      assert.equal(raw.length, 32 * 97);
      for (let y = 0; y < 32; y++) {
        assert.equal(raw[y * 97], 0);
        for (let x = 0; x < 32; x++) {
          const pixel = [...raw.subarray(y * 97 + 1 + x * 3, y * 97 + 4 + x * 3)];
          const expected = [40, 40, 40];
          expected[channel] = 60 + 6 * x;
          assert.deepEqual(pixel, expected);
        }
      }
    }
  });

  test('fail reports a tool error inside the result', async () => {
    const result = await c.client.callTool({ name: 'fail', arguments: {} });
    assert.deepEqual(result, { content: [{ type: 'text', text: 'This tool always fails (on purpose).' }], isError: true });
  });

  test('slow: a client time-out shorter than the sleep, and one longer', async () => {
    await rejects(c.client.callTool({ name: 'slow', arguments: { seconds: 1 } }, undefined, { timeout: 200 }),
      ErrorCode.RequestTimeout, 'Request timed out');
    const result = await c.client.callTool({ name: 'slow', arguments: { seconds: 0.25 } }, undefined, { timeout: 5000 });
    assert.deepEqual(result.content, [{ type: 'text', text: 'slept 0.25 s' }]);
  });

  test('notify: log and progress notifications reach their handlers', async () => {
    c.logs.length = 0;
    const progress = [];
    const result = await c.client.callTool({ name: 'notify', arguments: { steps: 3 } }, undefined,
      { onprogress: (p) => progress.push(p) });
    assert.deepEqual(result.content, [{ type: 'text', text: 'done after 3 steps' }]);
    assert.deepEqual(c.logs, [1, 2, 3].map((i) => ({ level: 'info', logger: 'demo', data: `step ${i}/3` })));
    assert.deepEqual(progress, [1, 2, 3].map((i) => ({ progress: i, total: 3 })));
  });

  test('ask_client: the server asks for roots and reports the answer', async () => {
    const result = await c.client.callTool({ name: 'ask_client', arguments: {} });
    assert.equal(result.isError, false);
    const text = result.content[0].text;
    assert.ok(text.startsWith('client answered: '), text);
    const answer = JSON.parse(text.slice('client answered: '.length));
    assert.equal(answer.id, 1001);
    assert.deepEqual(answer.result, { roots });
  });

  test('resources and templates', async () => {
    assert.deepEqual(await c.client.listResources(), {
      resources: [{ uri: 'demo://readme', name: 'readme', title: '说明', mimeType: 'text/markdown' }],
    });
    assert.deepEqual(await c.client.listResourceTemplates(), {
      resourceTemplates: [{ uriTemplate: 'demo://notes/{name}', name: 'note', title: '笔记', mimeType: 'text/plain' }],
    });
    assert.deepEqual(await c.client.readResource({ uri: 'demo://readme' }), {
      contents: [{ uri: 'demo://readme', mimeType: 'text/markdown', text: '# 示例服务端\n\n用来试用 MCP 调试台。' }],
    });
    assert.deepEqual(await c.client.readResource({ uri: 'demo://notes/a "b"' }), {
      contents: [{ uri: 'demo://notes/a "b"', mimeType: 'text/plain', text: '笔记：a "b"' }],
    });
  });

  test('prompts', async () => {
    const list = await c.client.listPrompts();
    assert.deepEqual(list.prompts.map((p) => p.name), ['review']);
    assert.deepEqual(list.prompts[0].arguments, [
      { name: 'code', description: '要审查的代码', required: true },
      { name: 'language', description: '语言', required: false },
    ]);
    const withLanguage = await c.client.getPrompt({ name: 'review', arguments: { code: 'SELECT 1', language: 'SQL' } });
    assert.deepEqual(withLanguage, {
      description: 'Code review',
      messages: [{ role: 'user', content: { type: 'text', text: '请审查这段SQL代码：\nSELECT 1' } }],
    });
    const without = await c.client.getPrompt({ name: 'review', arguments: { code: 'SELECT 1' } });
    assert.equal(without.messages[0].content.text, '请审查这段代码：\nSELECT 1');
  });

  test('errors surface as McpError with our codes and messages', async () => {
    await rejects(c.client.listTools({ cursor: '9' }), ErrorCode.InvalidParams, 'Invalid cursor');
    await rejects(c.client.readResource({ uri: 'demo://nowhere' }), -32002, 'Resource not found: demo://nowhere');
    await rejects(c.client.getPrompt({ name: 'nope' }), ErrorCode.InvalidParams, 'Unknown prompt: nope');
    await rejects(c.client.getPrompt({ name: 'review' }), ErrorCode.InvalidParams, 'missing argument: code');
    await rejects(c.client.request({ method: 'no/such/method' }, EmptyResultSchema), ErrorCode.MethodNotFound,
      'Method not found: no/such/method');
    await rejects(c.client.callTool({ name: 'echo', arguments: { times: 2 } }), ErrorCode.InvalidParams,
      'Invalid arguments: text is missing');
    await rejects(c.client.callTool({ name: 'image', arguments: { color: 'Red' } }), ErrorCode.InvalidParams,
      'Invalid arguments: unknown color: Red');
    await rejects(c.client.callTool({ name: 'nope', arguments: {} }), ErrorCode.InvalidParams, 'Unknown tool: nope');
  });
});

test('crash: the client sees the transport close, the server exits 3', async () => {
  const c = await connect();
  const exited = new Promise((resolve) => c.transport._process.once('exit', (code) => resolve(code)));
  const closed = new Promise((resolve) => { c.client.onclose = resolve; });
  await rejects(c.client.callTool({ name: 'crash', arguments: {} }), ErrorCode.ConnectionClosed, 'Connection closed');
  assert.equal(await exited, 3);
  await closed;
  assert.match(c.stderr(), /crashing on purpose\n$/);
});

// Over Streamable HTTP the call itself fails. Over the older transport the POST was already
// answered 202; the client reports the lost stream to its error handler, and the call waits out
// its timeout.
for (const kind of ['http', 'sse']) {
  test(`crash over ${kind}: the client sees an error, the server exits 3`, async () => {
    const c = await connect(kind);
    const exited = new Promise((resolve) => c.http.child.once('exit', (code) => resolve(code)));
    const errors = [];
    c.client.onerror = (error) => errors.push(error);
    await assert.rejects(c.client.callTool({ name: 'crash', arguments: {} }, undefined, { timeout: 1000 }),
      (error) => kind === 'sse' || error.code !== ErrorCode.RequestTimeout);
    assert.equal(await exited, 3);
    if (kind === 'sse') assert.ok(errors.length > 0, 'no error reported');
    await c.client.close();
  });
}
