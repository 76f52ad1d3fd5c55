#!/usr/bin/env node
// The development service: a real HTTPS service on loopback for development and tests.
//
//   node server.js --certs DIR --listen ADDR:PORT[:CERT[:silent]] [--listen ...]
//                  [--record FILE] [--ready FILE] [--files DIR] [--installer NAME]
//                  [--profile FILE] [--key PEM]
//
// CERT is a name in DIR (CERT.pem and CERT-key.pem, made by make-certs.sh; default "service").
// A "silent" listener accepts connections and requests and never answers. A "plain" listener
// (no TLS, CERT ignored) only records each TCP connection made to it and closes it: tests use it
// to show that nothing was sent. A "mute" listener records each connection and keeps it open
// without a word, not even the TLS handshake. An "http" listener answers like the others without
// TLS (CERT ignored): the liveness check reaches /api/v1/ping on port 80 through the tunnel.
//
// Answers (every JSON answer is signed: Base64 of r||s in "X-VLM-Signature"):
//   POST /api/v1/prereq    {"nonce": <echo>, "webview2": {"url", "sha256"}}
//   POST /api/v1/profile   the service document (--profile) with the nonce echoed
//   GET  /data/N           N bytes of a fixed pattern (0 <= N <= 64 MiB)
//   GET  /files/NAME       a file from --files
//   GET  /support          a small page
//   GET  /api/v1/ping      64 KiB of random bytes, fresh for every request, never cached
// Switches in the query string make it misbehave, for tests:
//   nosig=1 no signature · badsig=1 signed with another key · siglen=N signature cut or padded to
//   N bytes · alter=1 one body byte changed after signing · replay=1 the previous request's nonce
//   instead of this one's · notjson=1 a signed body that is not JSON · upperdigest=1 the announced
//   digest in upper case · bodysize=N a JSON answer of exactly N bytes (padded) · status=N that
//   status code · truncate=N announce the full length but send
//   only N bytes · nolength=1 no Content-Length · silent=1 never answer
//   only=ADDR  apply the switches only to connections that arrived at local address ADDR
// Every request is appended to --record as one JSON line, so tests can see who was asked what.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const http = require('http');
const https = require('https');
const net = require('net');
const path = require('path');

const kMaxDataBytes = 64 * 1024 * 1024;
const kMaxRequestBytes = 1024 * 1024;
const kPingBytes = 64 * 1024;

function parseArgs(argv) {
  const opts = { listen: [], certs: null, record: null, ready: null, files: null, installer: null,
                 profile: path.join(__dirname, '..', '..', 'resources', 'example-service.json'),
                 key: path.join(__dirname, 'dev-signing-key.pem') };
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, '');
    const value = argv[i + 1];
    if (value === undefined || !(name in opts)) fail(`bad argument: ${argv[i]}`);
    if (name === 'listen') opts.listen.push(value); else opts[name] = value;
  }
  if (!opts.certs || opts.listen.length === 0) fail('need --certs DIR and at least one --listen');
  return opts;
}

function fail(message) {
  process.stderr.write(`dev-service: ${message}\n`);
  process.exit(2);
}

const opts = parseArgs(process.argv.slice(2));
const signingKey = crypto.createPrivateKey(fs.readFileSync(opts.key));
// Signs "wrong" answers: a valid signature, but not by the service's key.
const otherKey = crypto.generateKeyPairSync('ec', { namedCurve: 'P-256' }).privateKey;
let previousNonce = 'f'.repeat(32);
let sequence = 0;

function record(entry) {
  if (!opts.record) return;
  fs.appendFileSync(opts.record, JSON.stringify(entry) + '\n');
}

function pattern(length) {
  const bytes = Buffer.alloc(length);
  for (let i = 0; i < length; i++) bytes[i] = (i * 7 + (i >> 8)) & 0xff;
  return bytes;
}

function sha256Hex(bytes) {
  return crypto.createHash('sha256').update(bytes).digest('hex');
}

function installerOffer(host, sw) {
  let url;
  let bytes;
  if (opts.installer && opts.files) {
    url = `https://${host}/files/${encodeURIComponent(opts.installer)}`;
    bytes = fs.readFileSync(path.join(opts.files, path.basename(opts.installer)));
  } else {
    url = `https://${host}/data/200000`;
    bytes = pattern(200000);
  }
  const digest = sha256Hex(bytes);
  return { url, sha256: sw.upperdigest ? digest.toUpperCase() : digest };
}

// Sends a JSON answer the way the client checks it, or broken in the way the switches ask for.
function sendSigned(res, status, text, sw) {
  let body = Buffer.from(text, 'utf8');
  let signature = crypto.sign('sha256', body, { key: sw.badsig ? otherKey : signingKey,
                                                dsaEncoding: 'ieee-p1363' });
  if (sw.siglen !== undefined) {
    const n = Math.max(0, Math.min(1024, Number(sw.siglen) | 0));
    signature = Buffer.concat([signature, Buffer.alloc(Math.max(0, n - signature.length), 0x5a)]).subarray(0, n);
  }
  if (sw.alter) {
    body = Buffer.from(body);
    const at = body.indexOf('signed');
    body[at >= 0 ? at + 5 : body.length - 2] ^= 0x01;  // "signed" -> "signee": still JSON
  }
  const headers = { 'Content-Type': 'application/json', 'Content-Length': body.length };
  if (!sw.nosig) headers['X-VLM-Signature'] = signature.toString('base64');
  res.writeHead(status, headers);
  res.end(body);
}

function answerPost(req, res, url, sw, requestBody, entry) {
  let request = {};
  try { request = JSON.parse(requestBody.toString('utf8')); } catch (e) { request = {}; }
  const nonce = (request && typeof request.nonce === 'string') ? request.nonce : '';
  entry.nonce = nonce;
  const echoed = sw.replay ? previousNonce : nonce;
  if (nonce) previousNonce = nonce;
  const status = sw.status ? Number(sw.status) : 200;
  if (sw.notjson) return sendSigned(res, status, 'this answer is not JSON', sw);

  let answer;
  if (url.pathname === '/api/v1/prereq') {
    answer = { nonce: echoed, webview2: installerOffer(req.headers.host || 'api.velmorante.test', sw) };
  } else if (url.pathname === '/api/v1/profile') {
    answer = JSON.parse(fs.readFileSync(opts.profile, 'utf8'));
    answer.nonce = echoed;
  } else {
    return sendSigned(res, sw.status ? status : 404, JSON.stringify({ error: 'not found', note: 'signed' }), sw);
  }
  answer.note = 'signed';
  answer.served = { local: req.socket.localAddress, seq: entry.seq };
  let text = JSON.stringify(answer);
  if (sw.bodysize !== undefined) {
    const wanted = Math.min(kMaxDataBytes, Number(sw.bodysize) | 0);
    const padding = wanted - text.length - ',"pad":""'.length;
    if (padding >= 0) text = text.slice(0, -1) + ',"pad":"' + 'x'.repeat(padding) + '"}';
  }
  sendSigned(res, status, text, sw);
}

function answerGet(req, res, url, sw) {
  let bytes = null;
  let type = 'application/octet-stream';
  const headers = {};
  const data = /^\/data\/(\d+)$/.exec(url.pathname);
  const file = /^\/files\/([^/]+)$/.exec(url.pathname);
  if (data && Number(data[1]) <= kMaxDataBytes) {
    bytes = pattern(Number(data[1]));
  } else if (file && opts.files) {
    const name = path.basename(decodeURIComponent(file[1]));
    try { bytes = fs.readFileSync(path.join(opts.files, name)); } catch (e) { bytes = null; }
  } else if (url.pathname === '/api/v1/ping') {
    // Fresh bytes each time, so that no cache or compressor on the way can answer for the server.
    bytes = crypto.randomBytes(kPingBytes);
    headers['Cache-Control'] = 'no-store';
  } else if (url.pathname === '/support') {
    bytes = Buffer.from('<!doctype html><meta charset="utf-8"><title>VELMORANTE</title>' +
                        '<p>VELMORANTE development service: support page.</p>\n');
    type = 'text/html; charset=utf-8';
  }
  if (!bytes) {
    res.writeHead(404, { 'Content-Type': 'text/plain' });
    return res.end('not found\n');
  }
  const status = sw.status ? Number(sw.status) : 200;
  if (sw.nolength) {
    res.writeHead(status, { ...headers, 'Content-Type': type });  // chunked: no Content-Length
    return res.end(bytes);
  }
  res.writeHead(status, { ...headers, 'Content-Type': type, 'Content-Length': bytes.length });
  if (sw.truncate !== undefined) {
    const n = Math.max(0, Math.min(bytes.length, Number(sw.truncate) | 0));
    res.write(bytes.subarray(0, n), () => setTimeout(() => req.socket.destroy(), 50));
    return;
  }
  res.end(bytes);
}

function handle(listener, req, res) {
  const url = new URL(req.url, 'https://service.invalid');
  const all = Object.fromEntries(url.searchParams.entries());
  const local = req.socket.localAddress;
  const applies = !all.only || all.only === local;
  const sw = applies ? all : {};
  const entry = { seq: ++sequence, local, port: req.socket.localPort, method: req.method,
                  path: req.url, host: req.headers.host || '', agent: req.headers['user-agent'] || '',
                  contentType: req.headers['content-type'] || '', servername: req.socket.servername || '' };
  const chunks = [];
  let size = 0;
  req.on('data', (c) => {
    size += c.length;
    if (size <= kMaxRequestBytes) chunks.push(c);
  });
  req.on('end', () => {
    record(entry);
    if (listener.silent || sw.silent) return;  // never answers; the client's time-outs end it
    if (req.method === 'POST') return answerPost(req, res, url, sw, Buffer.concat(chunks), entry);
    if (req.method === 'GET') return answerGet(req, res, url, sw);
    res.writeHead(405);
    res.end();
  });
}

function parseListen(text) {
  const [address, port, cert = 'service', mode = ''] = text.split(':');
  // Loopback only: this service is for development and tests on this machine.
  if (!/^127\.\d{1,3}\.\d{1,3}\.\d{1,3}$/.test(address || '')) fail(`not a loopback address: ${text}`);
  const portNumber = Number(port);
  if (!Number.isInteger(portNumber) || portNumber <= 0 || portNumber > 65535) fail(`bad port: ${text}`);
  if (mode && !['silent', 'plain', 'mute', 'http'].includes(mode)) fail(`bad mode: ${text}`);
  return { address, port: portNumber, cert, silent: mode === 'silent', plain: mode === 'plain',
           mute: mode === 'mute', http: mode === 'http' };
}

const listeners = opts.listen.map(parseListen);
let pending = listeners.length;
function createServer(listener) {
  if (listener.plain || listener.mute) {
    return net.createServer((socket) => {
      record({ seq: ++sequence, local: socket.localAddress, port: socket.localPort, method: 'TCP' });
      if (listener.plain) return socket.destroy();
      socket.on('error', () => {});
      socket.resume();  // read and drop; the client's time-outs end it
    });
  }
  if (listener.http) return http.createServer((req, res) => handle(listener, req, res));
  return https.createServer({
    key: fs.readFileSync(path.join(opts.certs, `${listener.cert}-key.pem`)),
    cert: fs.readFileSync(path.join(opts.certs, `${listener.cert}.pem`)),
  }, (req, res) => handle(listener, req, res));
}

for (const listener of listeners) {
  const server = createServer(listener);
  server.on('error', (e) => fail(`${listener.address}:${listener.port}: ${e.message}`));
  server.listen(listener.port, listener.address, () => {
    if (--pending === 0) {
      if (opts.ready) fs.writeFileSync(opts.ready, `${process.pid}\n`);
      process.stdout.write(`dev-service: listening on ${opts.listen.join(' ')}\n`);
    }
  });
}
process.on('SIGTERM', () => process.exit(0));
process.on('SIGINT', () => process.exit(0));
