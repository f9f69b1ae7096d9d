#!/usr/bin/env node
// demo-server's command: starts the demo_server binary of this platform's package with the same
// arguments and the same standard streams (inherited, so the host's pipes reach the server and
// nothing is copied in between), and ends as the binary ends. No dependency, no install script.
'use strict';

const { spawn } = require('node:child_process');
const path = require('node:path');

const packages = {
  'linux x64': 'demo-server-linux-x64',
  'linux arm64': 'demo-server-linux-arm64',
  'win32 x64': 'demo-server-win32-x64',
};

// The package that holds the binary for Node's `platform` and `arch`, or null when there is none.
function packageFor(platform, arch) {
  return packages[`${platform} ${arch}`] ?? null;
}

// The path of the binary in package `name`, or null when npm did not install it.
function binaryOf(name, platform) {
  try {
    const root = path.dirname(require.resolve(`${name}/package.json`));
    return path.join(root, 'bin', platform === 'win32' ? 'demo_server.exe' : 'demo_server');
  } catch {
    return null;
  }
}

function main() {
  const { platform, arch } = process;
  const name = packageFor(platform, arch);
  const binary = name && binaryOf(name, platform);
  if (!binary) {
    const why = name ? `its package ${name} is not installed` : 'there is no package for it';
    process.stderr.write(`demo-server: ${platform} ${arch}: ${why}; build the server from source (see the ` +
      `README) or install the .deb, the .tar.gz or the Windows zip\n`);
    process.exit(1);
  }
  const child = spawn(binary, process.argv.slice(2), { stdio: 'inherit', windowsHide: true });
  const forwarded = ['SIGTERM', 'SIGINT', 'SIGHUP'];
  for (const signal of forwarded) process.on(signal, () => child.kill(signal));
  // npx runs us under a shell, which the signal npm forwards ends without passing it on: once our
  // parent is gone (we are someone else's child), the server is ended as if we had the SIGTERM.
  const parent = process.ppid;
  if (platform !== 'win32') {
    setInterval(() => { if (process.ppid !== parent) child.kill('SIGTERM'); }, 200).unref();
  }
  child.on('error', (error) => {
    process.stderr.write(`demo-server: cannot start ${binary}: ${error.message}\n`);
    process.exit(1);
  });
  child.on('exit', (code, signal) => {
    if (signal === null) process.exit(code);
    // Ended by a signal: end the same way, so that whoever started us sees that signal. Without
    // our handlers the signal's default action applies; 128 + its number is the shell's fallback.
    for (const s of forwarded) process.removeAllListeners(s);
    process.exitCode = 128 + (require('node:os').constants.signals[signal] ?? 0);
    process.kill(process.pid, signal);
  });
}

module.exports = { packageFor };
if (require.main === module) main();
