// Reads a varnel recording with the reference MCAP reader, twice: as a stream
// (every record in file order, CRCs checked) and through the summary's indexes,
// compressed chunks (zstd, lz4) through @mcap/support's decompression handlers.
// Fails when the two disagree, when a message does not follow its channel's
// JSON Schema, or when the file is not valid MCAP. Prints one line per message
// in file order, for the caller to compare with what the graph published:
//   <topic> <publication> <id> <timestamp> <marker> <payload> <lists>
//
//   node check_recording.mjs FILE.mcap
import { readFile, open } from "node:fs/promises";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { FileHandleReadable } from "@mcap/nodejs";
import { loadDecompressHandlers } from "@mcap/support";

const path = process.argv[2];
if (!path) {
  console.error("usage: node check_recording.mjs FILE.mcap");
  process.exit(2);
}

function fail(message) {
  console.error(`check_recording: ${path}: ${message}`);
  process.exit(1);
}

// A small JSON Schema check: the types and properties our schemas use.
function conforms(value, schema, where) {
  const types = Array.isArray(schema.type) ? schema.type : [schema.type];
  const typeOf = (v) =>
    v === null ? "null" : Array.isArray(v) ? "array" : Number.isInteger(v) ? "integer" : typeof v;
  const actual = typeOf(value);
  const ok = types.some((t) => t === actual || (t === "number" && actual === "integer"));
  if (!ok) return `${where}: ${actual} where the schema wants ${types.join(" or ")}`;
  if (schema.enum && !schema.enum.includes(value)) return `${where}: ${value} is not one of ${schema.enum}`;
  if (actual === "object" && schema.properties) {
    for (const [key, v] of Object.entries(value)) {
      if (!(key in schema.properties)) return `${where}.${key}: not in the schema`;
      const problem = conforms(v, schema.properties[key], `${where}.${key}`);
      if (problem) return problem;
    }
  }
  if (actual === "array" && schema.items) {
    if (schema.minItems !== undefined && value.length < schema.minItems) return `${where}: too few items`;
    if (schema.maxItems !== undefined && value.length > schema.maxItems) return `${where}: too many items`;
    for (let i = 0; i < value.length; ++i) {
      const problem = conforms(value[i], schema.items, `${where}[${i}]`);
      if (problem) return problem;
    }
  }
  return null;
}

const decoder = new TextDecoder();
const decompressHandlers = await loadDecompressHandlers();

// ---- Streaming read ----
const stream = new McapStreamReader({ validateCrcs: true, decompressHandlers });
stream.append(new Uint8Array(await readFile(path)));
const schemas = new Map();
const channels = new Map();
const streamed = [];
const metadata = [];
let sawHeader = false, sawFooter = false, sawDataEnd = false;
try {
  for (let record; (record = stream.nextRecord()); ) {
    switch (record.type) {
      case "Header": sawHeader = true; break;
      case "Schema": schemas.set(record.id, record); break;
      case "Channel": channels.set(record.id, record); break;
      case "Message": streamed.push(record); break;
      case "Metadata": metadata.push(record); break;
      case "DataEnd": sawDataEnd = true; break;
      case "Footer": sawFooter = true; break;
      default: break;
    }
  }
} catch (error) {
  fail(`the streaming reader refused the file: ${error.message}`);
}
if (!stream.done()) fail("the streaming reader did not reach the end of the file");
if (!sawHeader || !sawDataEnd || !sawFooter) fail("header, data end or footer missing");

const recordingInfo = metadata.find((m) => m.name === "varnel.recording");
if (!recordingInfo) fail("no varnel.recording metadata");
if (!recordingInfo.metadata.get("timestamp_unit")) fail("no timestamp_unit in the metadata");

const parsedSchemas = new Map();
for (const [id, schema] of schemas) {
  if (schema.encoding !== "jsonschema") fail(`schema ${id} is encoded as ${schema.encoding}`);
  try {
    parsedSchemas.set(id, JSON.parse(decoder.decode(schema.data)));
  } catch (error) {
    fail(`schema ${id} is not JSON: ${error.message}`);
  }
}

const lines = [];
for (const message of streamed) {
  const channel = channels.get(message.channelId);
  if (!channel) fail(`a message on unknown channel ${message.channelId}`);
  if (channel.messageEncoding !== "json") fail(`channel ${channel.topic} is not json`);
  let value;
  try {
    value = JSON.parse(decoder.decode(message.data));
  } catch (error) {
    fail(`a message on ${channel.topic} is not JSON: ${error.message}`);
  }
  const problem = conforms(value, parsedSchemas.get(channel.schemaId), channel.topic);
  if (problem) fail(`a message does not follow its schema: ${problem}`);
  if (channel.topic === "/scene") continue;  // the drawn scene (record --scene): checked on its own
  if (channel.topic === "/publications") {
    lines.push(`${channel.topic} ${value.publication} ${value.timestamp} ${value.nodes} ${value.relations} ` +
               `${value.cleared} ${value.gap} ${value.merged}`);
  } else {
    const lists = channel.topic.startsWith("/nodes/")
      ? `${JSON.stringify(value.outgoing)} ${JSON.stringify(value.incoming)}`
      : `${value.from.type_index}:${value.from.id} ${value.to.type_index}:${value.to.id}`;
    lines.push(`${channel.topic} ${value.publication} ${value.id} ${value.timestamp} ${value.marker} ` +
               `${value.payload === "" ? "-" : value.payload} ${lists}`);
  }
}

// ---- Indexed read ----
const handle = await open(path, "r");
let indexed;
try {
  indexed = await McapIndexedReader.Initialize({ readable: new FileHandleReadable(handle), decompressHandlers });
} catch (error) {
  fail(`the indexed reader refused the file: ${error.message}`);
}
if (indexed.chunkIndexes.length === 0 && streamed.length > 0) fail("messages but no chunk index");
if (!indexed.statistics) fail("no statistics record");
if (indexed.statistics.messageCount !== BigInt(streamed.length))
  fail(`statistics count ${indexed.statistics.messageCount} messages, the stream holds ${streamed.length}`);
const key = (m) => `${m.channelId}/${m.sequence}/${m.logTime}/${Buffer.from(m.data).toString("base64")}`;
const expected = new Map();
for (const m of streamed) expected.set(key(m), (expected.get(key(m)) ?? 0) + 1);
let count = 0;
let lastTime = -1n;
for await (const m of indexed.readMessages({ validateCrcs: true })) {
  const k = key(m);
  if (!expected.get(k)) fail("the indexed read yields a message the stream does not hold");
  expected.set(k, expected.get(k) - 1);
  if (m.logTime < lastTime) fail("the indexed read is not in log time order");
  lastTime = m.logTime;
  ++count;
}
await handle.close();
if (count !== streamed.length) fail(`the indexed read yields ${count} messages, the stream ${streamed.length}`);
for (const [topic] of [...channels.values()].map((c) => [c.topic]))
  if (![...indexed.channelsById.values()].some((c) => c.topic === topic)) fail(`summary lacks channel ${topic}`);

process.stdout.write(lines.join("\n") + (lines.length ? "\n" : ""));
const compressions = [...new Set(indexed.chunkIndexes.map((c) => c.compression || "none"))].join(", ");
console.error(`check_recording: ${path}: valid; ${streamed.length} messages on ${channels.size} channels, ` +
              `${indexed.chunkIndexes.length} chunks (${compressions || "none"})`);
