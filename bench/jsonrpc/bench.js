// JSON-RPC over stdio with vscode-jsonrpc: a client process and a server child, both on the
// CPU set the caller pins. Prints one JSON line: the median round trip of a small request in
// microseconds and the notification rate per second.
'use strict';
const { spawn } = require('child_process');
const rpc = require('vscode-jsonrpc/node');

const ROUNDS = 7;
const ROUND_TRIPS = 2000;
const NOTIFICATIONS = 10000;

function connect(input, output) {
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(input), new rpc.StreamMessageWriter(output));
  connection.listen();
  return connection;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function seconds(start) {
  return Number(process.hrtime.bigint() - start) / 1e9;
}

if (process.argv[2] === 'server') {
  const connection = connect(process.stdin, process.stdout);
  let notified = 0;
  connection.onRequest('IsRun', () => 'true');
  connection.onNotification('heartbeat', () => { notified += 1; });
  connection.onRequest('notified', () => notified);
} else {
  const child = spawn(process.execPath, [__filename, 'server'], { stdio: ['pipe', 'pipe', 'inherit'] });
  const connection = connect(child.stdout, child.stdin);
  (async () => {
    const roundTrips = [];
    const rates = [];
    let seen = 0;
    for (let round = 0; round < ROUNDS; round += 1) {
      let start = process.hrtime.bigint();
      for (let i = 0; i < ROUND_TRIPS; i += 1) await connection.sendRequest('IsRun');
      roundTrips.push(seconds(start) / ROUND_TRIPS * 1e6);

      start = process.hrtime.bigint();
      for (let i = 0; i < NOTIFICATIONS; i += 1) connection.sendNotification('heartbeat');
      seen += NOTIFICATIONS;
      // Requests are answered in order, so this returns once every notification was handled.
      const count = await connection.sendRequest('notified');
      if (count !== seen) throw new Error(`server saw ${count} of ${seen} notifications`);
      rates.push(NOTIFICATIONS / seconds(start));
    }
    console.log(JSON.stringify({ roundTripUs: median(roundTrips), notificationsPerSecond: median(rates) }));
    connection.dispose();
    child.kill();
  })().catch((error) => { console.error(error); process.exit(1); });
}
