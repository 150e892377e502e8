#!/usr/bin/env node
// One session of the npm package rtpmidi 1.0.0 on 127.0.0.1, driven by lines on stdin and
// reporting by lines on stdout, so that C++ tests can use an RTP-MIDI participant written by
// others. The package's log and every error go to stderr; its two errors at start about the
// missing optional mDNS modules are expected.
//
//   node rtpmidi-peer.js --name NAME [--port PORT]
//     PORT is the control port, PORT+1 the data port; 0 or none picks a free even pair.
//
// stdin                      stdout
//   invite <host> <port>       ready <control port>        once both ports are bound
//   send <hex bytes>           joined <name>               both channels up, either side invited
//   end  (or end of input)     synced <round trip ms> <name>   first clock sync with that peer
//                              midi <ms> <hex bytes>       each MIDI message received, in order
//                              left <name>                 the session with that peer ended
//
// Hex bytes are two digits each, separated by spaces. The time of a received message is the
// package's own in ms since 1970; how near it is to this machine's clock depends on its clock
// sync. `end` sends BY to every peer, closes the ports and exits with 0.
//
// What the package does that callers must know:
// - it sends MIDI only to peers whose clock sync has finished, and drops it silently before;
// - it picks its sending socket by the parity of the destination port, so a remote control
//   port must be even;
// - the delta times it writes before commands always come out as zero;
// - it cannot join a sysex sent in segments (RFC 6295 3.2): each segment is lost, and the last
//   comes out as a lone F7.
'use strict';

const dgram = require('dgram');
const readline = require('readline');

const logger = require('rtpmidi/src/logger');
// The package logs to stdout, which carries this program's reports; this must precede loading
// the rest of it, which logs the missing optional mDNS modules.
for (const transport of logger.transports) {
  transport.stderrLevels = Object.fromEntries(Object.keys(logger.levels).map(l => [l, true]));
}
const Session = require('rtpmidi/src/Session');

function report(line) {
  process.stdout.write(`${line}\n`);
}

function warn(message) {
  process.stderr.write(`rtpmidi-peer: ${message}\n`);
}

function fail(message) {
  warn(message);
  process.exit(1);
}

function option(name, fallback) {
  const index = process.argv.indexOf(`--${name}`);
  return index >= 0 && index + 1 < process.argv.length ? process.argv[index + 1] : fallback;
}

function toHex(bytes) {
  return Array.from(bytes, b => b.toString(16).padStart(2, '0')).join(' ');
}

function fromHex(text) {
  const digits = text.replace(/\s+/g, '');
  if (!/^([0-9a-fA-F]{2})+$/.test(digits)) return null;
  return digits.match(/../g).map(pair => parseInt(pair, 16));
}

function bindUdp(port) {
  return new Promise((resolve) => {
    const socket = dgram.createSocket('udp4');
    socket.once('error', () => resolve(null));
    socket.bind(port, '127.0.0.1', () => resolve(socket));
  });
}

function closeAll(sockets) {
  return Promise.all(sockets.map(s => new Promise(done => s.close(done))));
}

// The package takes port 0 for its default 5004, so a free even pair is found here.
async function freeControlPort() {
  for (let attempt = 0; attempt < 50; attempt += 1) {
    const control = await bindUdp(0);
    if (!control) break;
    const port = control.address().port;
    const data = port % 2 === 0 ? await bindUdp(port + 1) : null;
    await closeAll(data ? [control, data] : [control]);
    if (data) return port;
  }
  return fail('no free even pair of UDP ports');
}

// Units of the package's clock per millisecond.
const ticksPerMs = session => session.rate / 1000;

// The package keeps the terminating NUL of a peer's name.
const peerName = stream => stream.name.replace(/\0.*$/, '');

function watchStream(session, stream) {
  const joined = () => report(`joined ${peerName(stream)}`);
  // An initiator's stream counts as connected once its control channel is; wait for data too.
  if (stream.isInitiator) stream.once('established', joined);
  else joined();
  let synced = false;
  stream.on('control-message', () => {
    if (synced || stream.latency === null || stream.timeDifference === null) return;
    synced = true;
    report(`synced ${(stream.latency / ticksPerMs(session)).toFixed(1)} ${peerName(stream)}`);
  });
}

function send(session, bytes) {
  if (session.getStreams().some(s => s.latency === null || s.timeDifference === null)) {
    warn('sent before clock sync; rtpmidi drops it');
  }
  // The one-argument form loses the message, and a Buffer is lost too: the package needs a
  // time (which it then ignores) and a plain array.
  session.sendMessage(Date.now() * ticksPerMs(session), bytes);
}

// Session.end ends its streams while removing them from the list it walks, so with several
// peers some get no BY; each is ended here first. A stream also leaves its feedback timer
// running, which would send on the closed socket.
let ending = false;
function endSession(session) {
  if (ending) return;
  ending = true;
  const streams = session.streams.slice();
  const endNext = () => {
    const stream = streams.shift();
    if (!stream) {
      session.end(() => process.exit(0));
      return;
    }
    clearTimeout(stream.receiverFeedbackTimeout);
    stream.end(endNext);
  };
  endNext();
}

function handleCommand(session, line) {
  const [command, ...args] = line.trim().split(/\s+/);
  const bytes = command === 'send' ? fromHex(args.join('')) : null;
  if (command === 'invite' && args.length === 2) {
    const port = Number(args[1]);
    if (port % 2 !== 0) warn('an odd control port gets messages from the wrong socket');
    session.connect({ address: args[0], port });
  } else if (bytes) {
    send(session, bytes);
  } else if (command === 'end') {
    endSession(session);
  } else if (command) {
    warn(`not understood: ${line}`);
  }
}

async function main() {
  const name = option('name', 'rtpmidi-peer');
  const port = Number(option('port', '0')) || await freeControlPort();
  const session = new Session(port, name, name, undefined, false);
  session.on('error', error => fail(error.message));
  session.on('streamAdded', ({ stream }) => watchStream(session, stream));
  session.on('streamRemoved', ({ stream }) => report(`left ${peerName(stream)}`));
  session.on('message', (delta, bytes, time) => {
    report(`midi ${Math.round(time / ticksPerMs(session))} ${toHex(bytes)}`);
  });
  session.on('ready', () => {
    report(`ready ${port}`);
    const input = readline.createInterface({ input: process.stdin });
    input.on('line', line => handleCommand(session, line));
    input.on('close', () => endSession(session));
  });
  // Loopback only, where Session.start would bind every interface.
  session.controlChannel.bind(port, '127.0.0.1');
  session.messageChannel.bind(port + 1, '127.0.0.1');
}

main();
