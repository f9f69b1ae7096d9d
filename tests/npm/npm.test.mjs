// The npm packages and the MCP Bundle of the npm preset's build, as hosts get them: installed from
// the tarballs alone and started through `npx demo-server`, or unpacked from the bundle and started
// by the command its manifest resolves to. run.sh installs the packages and runs this file with
// DEMO_NPM_BUILD (the build folder) and DEMO_NPM_INSTALLED (the folder npm installed into).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { connect } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const build = process.env.DEMO_NPM_BUILD;
const installed = process.env.DEMO_NPM_INSTALLED;
assert.ok(build && installed, 'DEMO_NPM_BUILD and DEMO_NPM_INSTALLED must name the build and install folders');
const source = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const version = readFileSync(path.join(source, 'CMakeLists.txt'), 'utf8').match(/project\(demo_server VERSION (\S+)/)[1];
const session = readFileSync(path.join(source, 'examples/session.jsonl'));
const expected = readFileSync(path.join(source, 'examples/session.expected.jsonl'), 'utf8');
const ready = 'demo MCP server (Tarn) ready\n';
const launcher = path.join(installed, 'node_modules/demo-server/bin/demo-server.js');
const scratch = mkdtempSync(path.join(tmpdir(), 'demo-npm-'));
process.on('exit', () => rmSync(scratch, { recursive: true, force: true }));

// Runs a command to its end (at most 30 s) in the install folder.
function run(command, args, input = '') {
  const r = spawnSync(command, args, { cwd: installed, input, timeout: 30000, encoding: 'utf8' });
  assert.equal(r.error, undefined, `${command} ${args.join(' ')}: ${r.error}`);
  return r;
}

// The tarballs of the build: the command's package first, then one per platform.
const tarballs = readdirSync(build).filter((f) => f.endsWith(`-${version}.tgz`)).sort();
const packageJson = (tarball) => JSON.parse(run('tar', ['-xzOf', path.join(build, tarball), 'package/package.json']).stdout);
const manifests = tarballs.map(packageJson);
const main = manifests.find((m) => m.name === 'demo-server');
const platforms = manifests.filter((m) => m !== main);

const crashSession = `${session.toString().split('\n').slice(0, 2).join('\n')}
{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"crash","arguments":{}}}
`;

test('npx demo-server: what a host sees on its pipes and in the exit status', () => {
  const cases = [
    { what: '--version', args: ['--version'], input: '', status: 0, stdout: `demo_server ${version}\n`, stderr: '' },
    { what: 'the example session', args: [], input: session, status: 0, stdout: expected, stderr: ready },
    { what: 'end of input at once', args: [], input: '', status: 0, stdout: '', stderr: ready },
    { what: 'crash', args: [], input: crashSession, status: 3, stderr: /crashing on purpose\n$/ },
  ];
  for (const c of cases) {
    const r = run('npx', ['demo-server', ...c.args], c.input);
    assert.equal(r.status, c.status, `${c.what}: ${r.stderr}`);
    if (c.stdout !== undefined) assert.equal(r.stdout, c.stdout, c.what);
    if (typeof c.stderr === 'string') assert.equal(r.stderr, c.stderr, c.what);
    else assert.match(r.stderr, c.stderr, c.what);
  }
});

// Starts `command` with `--http 0`, sends `signal` once the server has said its URL, and resolves
// with how the command ended once the server's port refuses connections too: the server is gone.
async function endBySignal(command, args, signal) {
  const child = spawn(command, [...args, '--http', '0'], { cwd: installed, stdio: ['ignore', 'ignore', 'pipe'] });
  const exited = new Promise((resolve) => child.once('exit', (code, sig) => resolve({ code, sig })));
  let stderr = '';
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  for (let i = 0; i < 500 && !/\/mcp\n/.test(stderr); ++i) await sleep(20);
  const port = Number(stderr.match(/:(\d+)\/mcp\n/)?.[1]);
  assert.ok(port, `${command}: no URL on stderr: ${stderr}`);
  child.kill(signal);
  const end = await exited;
  for (let i = 0; i < 50 && await accepts(port); ++i) await sleep(100);
  assert.equal(await accepts(port), false, `${command} ${signal}: the server still listens on ${port}`);
  return end;
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const accepts = (port) => new Promise((resolve) => {
  const socket = connect(port, '127.0.0.1');
  socket.once('connect', () => { socket.destroy(); resolve(true); });
  socket.once('error', () => resolve(false));
});

// Over HTTP the server ends in order on SIGTERM and SIGINT, with status 0, and the launcher ends
// with that status; a signal the server does not take (SIGHUP) ends it, and the launcher re-raises it.
test('signals: forwarded to the server, which they end; the launcher then ends as the server did', async () => {
  const cases = [
    { command: 'npx', args: ['demo-server'], signal: 'SIGTERM', end: { code: null, sig: 'SIGTERM' } },
    { command: process.execPath, args: [launcher], signal: 'SIGTERM', end: { code: 0, sig: null } },
    { command: process.execPath, args: [launcher], signal: 'SIGINT', end: { code: 0, sig: null } },
    { command: process.execPath, args: [launcher], signal: 'SIGHUP', end: { code: null, sig: 'SIGHUP' } },
  ];
  for (const c of cases) {
    assert.deepEqual(await endBySignal(c.command, c.args, c.signal), c.end, `${c.command} ${c.signal}`);
  }
});

test('the launcher picks the package whose os and cpu match, for every platform and architecture', () => {
  const { packageFor } = createRequire(import.meta.url)(launcher);
  const nodePlatforms = ['aix', 'android', 'cygwin', 'darwin', 'freebsd', 'linux', 'netbsd', 'openbsd', 'sunos', 'win32'];
  const nodeArches = ['arm', 'arm64', 'ia32', 'loong64', 'mips', 'mipsel', 'ppc', 'ppc64', 'riscv64', 's390', 's390x', 'x64'];
  const chosen = new Set();
  for (const platform of nodePlatforms) {
    for (const arch of nodeArches) {
      const fits = platforms.find((m) => m.os.includes(platform) && m.cpu.includes(arch));
      assert.equal(packageFor(platform, arch), fits?.name ?? null, `${platform} ${arch}`);
      if (fits) chosen.add(fits.name);
    }
  }
  assert.equal(chosen.size, platforms.length, 'a platform package the launcher never picks');
  assert.deepEqual(main.optionalDependencies, Object.fromEntries(platforms.map((m) => [m.name, version])));
});

test('no package for this machine: exit 1 and one line naming the platform and the other ways', () => {
  const preload = path.join(scratch, 'macos.cjs');
  writeFileSync(preload, "Object.defineProperty(process, 'platform', { value: 'darwin' });\n" +
    "Object.defineProperty(process, 'arch', { value: 'arm64' });\n");
  const alone = path.join(scratch, 'demo-server.js');  // beside no node_modules
  copyFileSync(launcher, alone);
  const cases = [
    { args: ['--require', preload, launcher], line: /^demo-server: darwin arm64: there is no package for it; / },
    { args: [alone], line: new RegExp(`^demo-server: ${process.platform} ${process.arch}: its package \\S+ is not installed; `) },
  ];
  for (const c of cases) {
    const r = run(process.execPath, c.args);
    assert.equal(r.status, 1);
    assert.equal(r.stdout, '');
    assert.match(r.stderr, c.line);
    assert.match(r.stderr, /README.*\.deb.*\.tar\.gz.*Windows zip\n$/);
    assert.equal(r.stderr.split('\n').length, 2, r.stderr);
  }
});

test('npm publish --dry-run passes each package, which carries its licence, repository and README', (t) => {
  for (const [i, tarball] of tarballs.entries()) {
    const r = run('npm', ['publish', '--dry-run', '--json', path.join(build, tarball)]);
    assert.equal(r.status, 0, `${tarball}: ${r.stderr}`);
    assert.doesNotMatch(r.stderr, /auto-corrected|npm error/, tarball);
    const { size, unpackedSize, files } = JSON.parse(r.stdout)[manifests[i].name];
    assert.ok(['README.md', 'LICENSE'].every((f) => files.some((e) => e.path === f)), tarball);
    assert.equal(manifests[i].license, 'MIT');
    assert.match(manifests[i].repository.url, /^git\+https:\/\//);
    t.diagnostic(`${tarball}: ${size} bytes packed, ${unpackedSize} unpacked`);
  }
});

test('the aarch64 package runs the example session under qemu', () => {
  const arm = path.join(scratch, 'arm64');
  run('mkdir', ['-p', arm]);
  run('tar', ['-xzf', path.join(build, `demo-server-linux-arm64-${version}.tgz`), '-C', arm]);
  const r = spawnSync('qemu-aarch64', [path.join(arm, 'package/bin/demo_server')], { input: session, timeout: 30000, encoding: 'utf8' });
  assert.equal(r.error, undefined, `qemu-aarch64 (apt-get install qemu-user): ${r.error}`);
  assert.equal(r.status, 0, r.stderr);
  assert.equal(r.stdout, expected);
});

test('the MCP Bundle: unpacked and started the way a host does, it runs the example session', async () => {
  const cli = path.join(build, 'mcpb-cli/node_modules/@anthropic-ai/mcpb/dist');
  const { getMcpConfigForManifest, replaceVariables } = await import(pathToFileURL(path.join(cli, 'index.js')));
  const bundle = path.join(scratch, 'bundle');
  const unpack = run(process.execPath, [path.join(cli, 'cli/cli.js'), 'unpack', path.join(build, `demo-server-${version}.mcpb`), bundle]);
  assert.equal(unpack.status, 0, unpack.stderr);
  const manifest = JSON.parse(readFileSync(path.join(bundle, 'manifest.json'), 'utf8'));
  assert.equal(manifest.version, version);
  assert.equal(manifest.server.type, 'binary');
  const config = await getMcpConfigForManifest({ manifest, extensionPath: bundle, systemDirs: {}, pathSeparator: path.sep });
  const r = spawnSync(config.command, config.args, { input: session, timeout: 30000, encoding: 'utf8' });
  assert.equal(r.error, undefined, String(r.error));
  assert.equal(r.stdout, expected);
  assert.equal(r.stderr, ready);
  // Every platform the bundle claims has its command in the bundle.
  const { mcp_config } = manifest.server;
  for (const platform of manifest.compatibility.platforms) {
    const command = replaceVariables(mcp_config.platform_overrides?.[platform]?.command ?? mcp_config.command, { __dirname: bundle });
    assert.ok(existsSync(command), `${platform}: ${command}`);
  }
});
