// Serves the update page on localhost: the page's files, the updater's WebAssembly from the build,
// and, with --simulate, the simulated device in place of Web Serial and WebUSB (their stand-ins are
// put into the page ahead of the page's own scripts). With --file, that update file is offered at /<its name>
// and the page at / opens with it.
//
//   node serve.mjs --page DIR --build DIR [--file UPDATE] [--simulate] [--port N] [--quiet]
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.wasm': 'application/wasm',
  '.png': 'image/png',
};

// The page's content security policy, as its own meta tag has it, and what only a header can say:
// no other site may frame the page.
function securityPolicy(page) {
  const html = fs.readFileSync(path.join(page, 'index.html'), 'utf8');
  const policy = /http-equiv="Content-Security-Policy"\s+content="([^"]+)"/.exec(html)?.[1] ?? "default-src 'self'";
  return `${policy}; frame-ancestors 'none'`;
}

export function startServer({ page, build, file = '', simulate = false, port = 0 }) {
  const policy = securityPolicy(page);
  const here = path.dirname(fileURLToPath(import.meta.url));
  const fileName = file ? path.basename(file) : '';
  // Each address the server answers, and the file behind it.
  const route = (pathname) => {
    if (fileName && pathname === `/${fileName}`) return file;
    if (['/updater_web.mjs', '/updater_web.wasm', '/trusted_keys.js'].includes(pathname)) return path.join(build, pathname);
    if (simulate && /^\/sim\/fake_(serial|usb)\.js$/.test(pathname)) return path.join(here, pathname.slice(5));
    if (simulate && /^\/sim\/device_sim\.(mjs|wasm)$/.test(pathname)) return path.join(build, pathname.slice(5));
    const name = pathname === '/' ? 'index.html' : pathname.slice(1);
    return /^[a-z0-9_]+\.(html|css|js)$/.test(name) ? path.join(page, name) : null;
  };
  const server = http.createServer((request, response) => {
    let url;
    try {
      url = new URL(request.url, 'http://localhost');
    } catch {
      response.writeHead(400, { 'content-type': 'text/plain' });
      return response.end('bad request\n');
    }
    if (url.pathname === '/' && fileName && !url.search) {
      response.writeHead(302, { location: `/?file=${encodeURIComponent(fileName)}` });
      return response.end();
    }
    const target = route(url.pathname);
    if (!target || !fs.existsSync(target)) {
      response.writeHead(404, { 'content-type': 'text/plain' });
      return response.end('not found\n');
    }
    let body = fs.readFileSync(target);
    if (simulate && target.endsWith('index.html')) {
      body = body.toString().replace('<link rel="stylesheet"', '<script src="sim/fake_serial.js"></script>\n<script src="sim/fake_usb.js"></script>\n<link rel="stylesheet"');
    }
    response.writeHead(200, {
      'content-type': TYPES[path.extname(target)] || 'application/octet-stream',
      'cache-control': 'no-store',
      'x-content-type-options': 'nosniff',
      'content-security-policy': policy,
    });
    response.end(body);
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => resolve(server));
  });
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const options = { page: '', build: '', file: '', simulate: false, port: 8080, quiet: false };
  const args = process.argv.slice(2);
  for (let i = 0; i < args.length; ++i) {
    const name = args[i].replace(/^--/, '');
    if (name === 'simulate' || name === 'quiet') options[name] = true;
    else if (name in options && i + 1 < args.length) options[name] = name === 'port' ? Number(args[++i]) : args[++i];
    else {
      console.error(`serve: unknown option ${args[i]}`);
      process.exit(2);
    }
  }
  for (const needed of [path.join(options.build, 'updater_web.wasm'), path.join(options.page, 'index.html')]) {
    if (!fs.existsSync(needed)) {
      console.error(`serve: ${needed} is missing (make web builds it)`);
      process.exit(2);
    }
  }
  try {
    const server = await startServer(options);
    console.log(`The update page: http://localhost:${server.address().port}/` +
      (options.simulate ? ' (the simulated device stands in for the serial port; Ctrl+C ends)' : ' (Ctrl+C ends)'));
  } catch (error) {
    console.error(`serve: cannot listen on port ${options.port}: ${error.message}`);
    process.exit(2);
  }
}
