// Measures commit -> client latency of varnel-inspect serve with bench/serve/latency_host.c
// (timestamps in wall-clock microseconds: serve --time-unit us): for each /scene
// message, the time between the host's stamp and its arrival here.
//
//   node latency_client.mjs ws://127.0.0.1:PORT/ SECONDS
import protocol from "@foxglove/ws-protocol";
import { WebSocket } from "ws";

const { FoxgloveClient } = protocol;
const [url, seconds = "20"] = process.argv.slice(2);
const client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
const latencies = [];
let scene = -1;
client.on("advertise", (channels) => {
  for (const c of channels) if (c.topic === "/scene") scene = client.subscribe(c.id);
});
client.on("message", ({ subscriptionId, timestamp }) => {
  const nowMicros = (performance.timeOrigin + performance.now()) * 1000;
  if (subscriptionId === scene) latencies.push(nowMicros - Number(timestamp / 1000n));
});
setTimeout(() => {
  const l = latencies.slice(10).sort((a, b) => a - b);
  const at = (q) => l[Math.min(l.length - 1, Math.floor(q * l.length))].toFixed(0);
  console.log(`client: ${l.length} /scene messages, commit -> client median ${at(0.5)} us, p99 ${at(0.99)} us, max ${at(1)} us`);
  client.close();
  process.exit(0);
}, Number(seconds) * 1000);
