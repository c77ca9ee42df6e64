// A client of `varnel-inspect serve` that nobody here wrote: the viewers' own
// protocol client over `ws`. It follows /scene, /graph and /stats while a host
// runs, validates every /scene message against the viewers' JSON Schema for
// SceneUpdate, and checks the entities against the graph's versions of the same
// publication. Then hostile clients: bad messages, too many connections, one
// that never reads; the well-behaved client must be served throughout.
//
//   node check_serve.mjs ws://127.0.0.1:PORT/ SECONDS [--no-hostile]
import protocol from "@foxglove/ws-protocol";
import { WebSocket } from "ws";
import net from "node:net";
import AjvModule from "ajv";
import schemas from "@foxglove/schemas/jsonschema.js";

const { FoxgloveClient } = protocol;
const Ajv = AjvModule.default ?? AjvModule;
const [url, secondsText, ...flags] = process.argv.slice(2);
const seconds = Number(secondsText ?? 6);
const hostile = !flags.includes("--no-hostile");
const ajv = new Ajv({ strict: false, allErrors: true });
const validScene = ajv.compile(schemas.SceneUpdate);
const failures = [];
const fail = (what) => {
  failures.push(what);
  if (failures.length < 20) console.error("FAIL: " + what);
};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const decoder = new TextDecoder();

// ---- The well-behaved client ----------------------------------------------
function follow() {
  const client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
  const state = {
    client, serverInfo: null, channels: new Map(), subs: new Map(), statuses: [],
    scene: new Map(), graph: new Map(), sceneAt: null, graphAt: null,
    counts: { scene: 0, graph: 0, stats: 0, compared: 0, cars: 0, deleted: 0, removed: 0, lanes: 0 },
    lastStats: null, times: [], clock: [], closed: false,
  };
  client.on("serverInfo", (info) => (state.serverInfo = info));
  client.on("status", (s) => state.statuses.push(s));
  client.on("close", () => (state.closed = true));
  client.on("error", (e) => fail("client error: " + e.message));
  client.on("advertise", (channels) => {
    for (const c of channels) {
      state.channels.set(c.topic, c);
      state.subs.set(client.subscribe(c.id), c.topic);
    }
  });
  client.on("message", ({ subscriptionId, timestamp, data }) => {
    const topic = state.subs.get(subscriptionId);
    const message = JSON.parse(decoder.decode(data));
    if (topic === "/scene") {
      state.counts.scene++;
      if (!validScene(message))
        fail("a /scene message does not validate: " + ajv.errorsText(validScene.errors).slice(0, 400));
      applyScene(state, message);
      state.sceneAt = timestamp;
    } else if (topic === "/graph") {
      state.counts.graph++;
      applyGraph(state, message, timestamp);
      state.graphAt = { timestamp, message };
    } else if (topic === "/stats") {
      state.counts.stats++;
      state.lastStats = message;
    } else {
      fail("a message on an unknown subscription " + subscriptionId);
    }
    // A viewer applies every message as it comes; a slow one may get a channel's
    // publications coalesced into a whole scene later. The two pictures are
    // compared whenever both channels stand at the same publication.
    if (state.graphAt && state.sceneAt === state.graphAt.timestamp) {
      compare(state, state.graphAt.message);
      state.graphAt = null;
    }
  });
  return state;
}

// The graph's versions of a publication into a model.
function applyGraph(state, graph, timestamp) {
  if (!graph.start && state.times.length && timestamp < state.times[state.times.length - 1])
    fail(`publication ${graph.publication}: its time goes back without a fresh start`);
  state.times.push(timestamp);
  state.clock.push([performance.now(), Number(timestamp / 1000000n)]);
  if (graph.start) state.graph.clear();
  for (const v of graph.nodes) {
    const key = v.kind + "/" + v.id;
    if (v.marker === "Removed") {
      if (state.graph.delete(key) && v.kind === "Car") state.counts.removed++;
    } else state.graph.set(key, v);
  }
}

// A scene update into the entity map.
function applyScene(state, scene) {
  for (const d of scene.deletions) {
    if (d.type === 1) state.scene.clear();
    else {
      if (!state.scene.delete(d.id)) fail("deletion of an entity never sent: " + d.id);
      if (d.id.startsWith("car/")) state.counts.deleted++;
    }
  }
  for (const e of scene.entities) state.scene.set(e.id, e);
}

// Every car entity must stand where the graph has the car.
function compare(state, graph) {
  const carsInGraph = [...state.graph.values()].filter((v) => v.kind === "Car");
  const carEntities = [...state.scene.keys()].filter((id) => id.startsWith("car/"));
  if (carEntities.length !== carsInGraph.length)
    fail(`publication ${graph.publication}: ${carEntities.length} car entities, ${carsInGraph.length} cars in the graph`);
  for (const car of carsInGraph) {
    const e = state.scene.get("car/" + car.id);
    if (!e) {
      fail(`publication ${graph.publication}: no entity for car ${car.id}`);
      continue;
    }
    const p = car.carPosition, d = car.carDirection;
    const yaw = Math.atan2(d.y, d.x);
    const cube = e.cubes[0].pose.position;
    // The cube's front face is at the car's position (its front bumper).
    const ex = p.x - 2.25 * Math.cos(yaw), ey = p.y - 2.25 * Math.sin(yaw);
    if (Math.abs(cube.x - ex) > 1e-3 || Math.abs(cube.y - ey) > 1e-3)
      fail(`publication ${graph.publication}: car ${car.id} drawn at ${cube.x},${cube.y}, the graph has ${ex},${ey}`);
    const text = e.texts[0].pose.position;
    if (Math.abs(text.x - p.x) > 1e-3 || Math.abs(text.y - p.y) > 1e-3) fail(`car ${car.id}: its label is not at its position`);
    state.counts.compared++;
  }
  for (const [key, v] of state.graph) {
    if (v.kind === "Pedestrian") {
      const e = state.scene.get("pedestrian/" + v.id);
      const at = e?.spheres[0].pose.position;
      if (!at || Math.abs(at.x - v.pedestrianPosition.x) > 1e-3 || Math.abs(at.y - v.pedestrianPosition.y) > 1e-3)
        fail(`publication ${graph.publication}: ${key} not drawn at its position`);
    }
  }
  state.counts.cars = carsInGraph.length;
  state.counts.lanes = [...state.scene.values()].filter((e) => e.id.startsWith("lane/") && e.lines.length > 0).length;
}

// ---- Hostile clients ---------------------------------------------------------
function raw(onOpen) {
  return new Promise((resolve) => {
    const ws = new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]);
    const texts = [];
    ws.on("message", (data, binary) => { if (!binary) texts.push(JSON.parse(data.toString())); });
    ws.on("open", () => onOpen(ws, texts, resolve));
    ws.on("error", (e) => resolve({ error: e.message }));
  });
}

async function badMessages() {
  const cases = [
    ["not JSON", "{this is not json", /not a JSON object/],
    ["an array", "[1,2,3]", /not a JSON object/],
    ["no op", '{"subscriptions":[]}', /no "op"/],
    ["unknown op", '{"op":"explode"}', /unknown op "explode"/],
    ["an op this server lacks", '{"op":"publish"}', /not offered/],
    ["a channel that does not exist", '{"op":"subscribe","subscriptions":[{"id":7,"channelId":99}]}', /channel 99 does not exist/],
    ["a malformed subscription", '{"op":"subscribe","subscriptions":[{"id":"x","channelId":1}]}', /each subscription is/],
    ["subscriptions not an array", '{"op":"subscribe","subscriptions":5}', /must be an array/],
    ["unsubscribing what is not subscribed", '{"op":"unsubscribe","subscriptionIds":[12345]}', /no subscription 12345/],
  ];
  const result = await raw(async (ws, texts, resolve) => {
    for (const [, text] of cases) ws.send(text);
    ws.send(Buffer.from([1, 2, 3]), { binary: true });
    await sleep(500);
    resolve({ texts, open: ws.readyState === WebSocket.OPEN });
    ws.close();
  });
  if (result.error) return fail("the hostile client could not connect: " + result.error);
  const statuses = result.texts.filter((t) => t.op === "status").map((t) => t.message);
  for (const [name, , pattern] of cases)
    if (!statuses.some((s) => pattern.test(s))) fail(`no clear refusal of ${name} (statuses: ${JSON.stringify(statuses)})`);
  if (!statuses.some((s) => /binary messages/.test(s))) fail("no refusal of a binary message");
  if (!result.open) fail("the server closed a client for bad messages");
  console.log(`hostile: ${statuses.length} refusals as status messages, connection kept`);
}

async function manyConnections(limit) {
  const sockets = [];
  const outcomes = await Promise.all(Array.from({ length: 100 }, () => new Promise((resolve) => {
    const ws = new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]);
    sockets.push(ws);
    ws.on("open", () => resolve("open"));
    ws.on("unexpected-response", (req, res) => {
      let body = "";
      res.on("data", (c) => (body += c));
      res.on("end", () => resolve(`${res.statusCode} ${body.trim()}`));
    });
    ws.on("error", (e) => resolve("error " + e.message));
  })));
  const open = outcomes.filter((o) => o === "open").length;
  const refused = outcomes.filter((o) => o.startsWith("503 too many clients")).length;
  if (open > limit) fail(`${open} of 100 connections accepted, over the limit of ${limit}`);
  if (open + refused !== 100) fail("connections neither served nor refused clearly: " + [...new Set(outcomes)].join("; "));
  console.log(`100 connections: ${open} served, ${refused} refused with 503 (${[...new Set(outcomes.filter((o) => o !== "open"))][0] ?? ""})`);
  for (const ws of sockets) ws.terminate();
}

// A client that subscribes to everything and then never reads: its socket's
// receive window fills, and the server must go on serving everyone else.
function neverReads() {
  const [, host, port] = /^ws:\/\/([^:/]+):(\d+)/.exec(url);
  const socket = net.connect({ host, port: Number(port) });
  let handshake = "";
  socket.setNoDelay(true);
  socket.on("error", () => {});
  socket.on("connect", () => {
    socket.write(`GET / HTTP/1.1\r\nHost: ${host}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
      `Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n` +
      `Sec-WebSocket-Protocol: foxglove.websocket.v1\r\n\r\n`);
  });
  socket.on("data", (chunk) => {
    handshake += chunk.toString("latin1");
    if (!handshake.includes("\r\n\r\n")) return;
    // Masked text frames, as a client must send: subscribe to all three channels.
    const body = Buffer.from(JSON.stringify({ op: "subscribe", subscriptions: [1, 2, 3].map((c) => ({ id: c, channelId: c })) }));
    const mask = Buffer.from([1, 2, 3, 4]);
    const header = body.length < 126 ? Buffer.from([0x81, 0x80 | body.length])
      : Buffer.from([0x81, 0x80 | 126, body.length >> 8, body.length & 255]);
    const masked = Buffer.from(body.map((b, i) => b ^ mask[i % 4]));
    socket.write(Buffer.concat([header, mask, masked]));
    socket.pause();  // and never read again
    socket.removeAllListeners("data");
  });
  return socket;
}

// ---- Run ---------------------------------------------------------------------
const main = follow();
await sleep(1500);
let stuck = null;
if (hostile) {
  stuck = [neverReads(), neverReads()];
  await badMessages();
}
const scenesBefore = main.counts.scene;
await sleep(Math.max(1000, seconds * 1000 - 1500) / 2);
if (hostile) await manyConnections(Number(process.env.VARNEL_SERVE_MAX_CLIENTS ?? 16) - 1);
await sleep(Math.max(1000, seconds * 1000 - 1500) / 2);
const scenesAfter = main.counts.scene;

if (!main.serverInfo) fail("no serverInfo");
for (const topic of ["/scene", "/graph", "/stats"])
  if (!main.channels.has(topic)) fail("no channel " + topic + " advertised");
const sceneChannel = main.channels.get("/scene");
if (sceneChannel && (sceneChannel.schemaName !== "foxglove.SceneUpdate" || sceneChannel.encoding !== "json" ||
    sceneChannel.schemaEncoding !== "jsonschema"))
  fail("/scene is not advertised as JSON foxglove.SceneUpdate with a JSON Schema");
if (main.counts.scene < 10) fail(`only ${main.counts.scene} /scene messages`);
if (hostile && scenesAfter - scenesBefore < 5) fail("the well-behaved client was starved while hostile clients were about");
if (main.counts.compared === 0) fail("no car was compared with the graph");
if (!main.lastStats || typeof main.lastStats.fill !== "number" || !main.lastStats.nodes) fail("no usable /stats message");
if (main.counts.lanes === 0) fail("no lane was drawn");
if (main.closed) fail("the server closed the well-behaved client");
// The host (the demo: 100 ms of scene time per tick at 10 Hz) kept its pace while
// hostile clients were about: scene time went on at about the wall clock's rate.
if (process.env.VARNEL_EXPECT_REALTIME && main.clock.length > 2) {
  const [[w0, t0], [w1, t1]] = [main.clock[0], main.clock[main.clock.length - 1]];
  const pace = (t1 - t0) / (w1 - w0);
  if (pace < 0.8) fail(`the host fell behind while the clients were about: ${pace.toFixed(2)} s of scene time per second`);
  console.log(`the host's pace meanwhile: ${pace.toFixed(2)} s of scene time per second`);
}
if (process.env.VARNEL_EXPECT_REMOVALS && main.counts.removed === 0) fail("no car was removed during the run");
if (main.counts.deleted < main.counts.removed) fail(`${main.counts.removed} cars removed but ${main.counts.deleted} deletions`);
console.log(`followed ${main.counts.scene} /scene, ${main.counts.graph} /graph, ${main.counts.stats} /stats messages; ` +
  `${main.counts.compared} car positions compared; ${main.counts.removed} cars removed, ${main.counts.deleted} deleted; ` +
  `${main.counts.lanes} lanes drawn; fill ${main.lastStats?.fill?.toFixed(3)}, writer ${main.lastStats?.writer}`);
main.client.close();
for (const s of stuck ?? []) s.destroy();
if (failures.length) {
  console.error(`${failures.length} failure(s)`);
  process.exit(1);
}
console.log("serve client test passed");
process.exit(0);
