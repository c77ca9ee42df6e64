// Re-writes a recording as other MCAP tools leave recordings, with @mcap/core's
// writer: other chunk boundaries (in the middle of publications), compressed or
// not, channels and schemas renumbered, no message indexes, no summary at all,
// unchunked, schemas and channels repeated in every chunk, an attachment and
// extra metadata among the chunks, the recording's own metadata after its
// messages. One input, four outputs:
//
//   node repack.mjs IN.mcap OUT_PREFIX
//
//   OUT_PREFIX-small-chunks.mcap  McapWriter: 4 KiB zstd chunks cut anywhere, ids
//                                 renumbered, no message indexes, an attachment
//                                 and another metadata record; full summary
//   OUT_PREFIX-no-summary.mcap    McapWriter: 64 KiB chunks uncompressed, no
//                                 message indexes, no summary section at all
//   OUT_PREFIX-unchunked.mcap     McapWriter: every record in the data section
//   OUT_PREFIX-repeated.mcap      records written one by one: every chunk (zstd,
//                                 50 messages) repeats every schema and channel,
//                                 its message indexes follow it, metadata comes
//                                 after the last chunk, no CRCs, summary with
//                                 chunk indexes but no statistics
import { openSync, writeSync, closeSync, readFileSync } from "node:fs";
import { McapStreamReader, McapWriter, McapRecordBuilder, McapChunkBuilder } from "@mcap/core";
import { loadDecompressHandlers } from "@mcap/support";
import * as zstd from "@foxglove/wasm-zstd";

const [input, prefix] = process.argv.slice(2);
if (!input || !prefix) {
  console.error("usage: node repack.mjs IN.mcap OUT_PREFIX");
  process.exit(2);
}
await zstd.isLoaded;
const compressZstd = (data) => ({ compression: "zstd", compressedData: new Uint8Array(zstd.compress(data, 3)) });

// The input, in file order.
const reader = new McapStreamReader({ validateCrcs: true, decompressHandlers: await loadDecompressHandlers() });
reader.append(new Uint8Array(readFileSync(input)));
const schemas = new Map(), channels = new Map(), items = [];  // items: messages and metadata in order
for (let record; (record = reader.nextRecord()); ) {
  if (record.type === "Schema") schemas.set(record.id, record);
  else if (record.type === "Channel") channels.set(record.id, record);
  else if (record.type === "Message" || record.type === "Metadata") items.push(record);
}
if (!reader.done()) throw new Error("the input did not read to its end");

// A synchronous file writable for McapWriter.
function fileWritable(path) {
  const fd = openSync(path, "w");
  let position = 0n;
  return {
    position: () => position,
    async write(data) {
      writeSync(fd, data);
      position += BigInt(data.byteLength);
    },
    close: () => closeSync(fd),
  };
}

const attachment = {
  name: "notes.txt",
  mediaType: "text/plain",
  logTime: 1n,
  createTime: 2n,
  data: new TextEncoder().encode("re-packed by repack.mjs"),
};

async function withWriter(path, options) {
  const writable = fileWritable(path);
  const writer = new McapWriter({ writable, ...options });
  await writer.start({ profile: "", library: "repack.mjs" });
  // Ids as this writer gives them out: schemas from 1, channels from 0.
  const schemaIds = new Map(), channelIds = new Map();
  for (const [id, s] of schemas) schemaIds.set(id, await writer.registerSchema({ name: s.name, encoding: s.encoding, data: s.data }));
  for (const [id, c] of channels) {
    const given = await writer.registerChannel({
      topic: c.topic,
      messageEncoding: c.messageEncoding,
      schemaId: c.schemaId === 0 ? 0 : schemaIds.get(c.schemaId),
      metadata: c.metadata,
    });
    channelIds.set(id, given);
  }
  let n = 0, recordingMetadata = null;
  for (const item of items) {
    if (item.type === "Metadata") {
      // The recording's own description is held back to the end: other tools
      // put metadata where they like.
      if (item.name === "varnel.recording") recordingMetadata = item;
      else await writer.addMetadata({ name: item.name, metadata: item.metadata });
      continue;
    }
    await writer.addMessage({ ...item, channelId: channelIds.get(item.channelId) });
    if (++n === Math.floor(items.length / 2)) await writer.addAttachment(attachment);
  }
  await writer.addMetadata({ name: "repack", metadata: new Map([["by", "repack.mjs"]]) });
  if (recordingMetadata) await writer.addMetadata({ name: recordingMetadata.name, metadata: recordingMetadata.metadata });
  await writer.end();
  writable.close();
}

await withWriter(`${prefix}-small-chunks.mcap`, { chunkSize: 4096, useMessageIndex: false, compressChunk: compressZstd });
await withWriter(`${prefix}-no-summary.mcap`, {
  chunkSize: 64 * 1024,
  useMessageIndex: false,
  useChunkIndex: false,
  useStatistics: false,
  repeatSchemas: false,
  repeatChannels: false,
  useAttachmentIndex: false,
  useMetadataIndex: false,
  useSummaryOffsets: false,
});
await withWriter(`${prefix}-unchunked.mcap`, { useChunks: false });

// Record by record: every chunk repeats every schema and channel.
{
  const writable = fileWritable(`${prefix}-repeated.mcap`);
  const builder = new McapRecordBuilder();
  const flush = async () => {
    await writable.write(builder.buffer);
    builder.reset();
  };
  builder.writeMagic();
  builder.writeHeader({ profile: "", library: "repack.mjs records" });
  await flush();
  const chunkIndexes = [];
  const metadata = [];
  const messages = items.filter((i) => i.type === "Message");
  for (const item of items) if (item.type === "Metadata") metadata.push(item);
  for (let first = 0; first < messages.length; first += 50) {
    const chunk = new McapChunkBuilder({ useMessageIndex: true });
    for (const s of schemas.values()) chunk.addSchema(s);
    for (const c of channels.values()) chunk.addChannel(c);
    for (const m of messages.slice(first, first + 50)) chunk.addMessage(m);
    const { compressedData } = compressZstd(chunk.buffer);
    const chunkStartOffset = writable.position();
    const chunkLength = builder.writeChunk({
      messageStartTime: chunk.messageStartTime,
      messageEndTime: chunk.messageEndTime,
      uncompressedSize: BigInt(chunk.buffer.byteLength),
      uncompressedCrc: 0,
      compression: "zstd",
      records: compressedData,
    });
    await flush();
    const messageIndexOffsets = new Map();
    let messageIndexLength = 0n;
    for (const index of chunk.indices) {
      if (index.records.length === 0) continue;
      messageIndexOffsets.set(index.channelId, writable.position() + messageIndexLength);
      messageIndexLength += builder.writeMessageIndex(index);
    }
    await flush();
    chunkIndexes.push({
      messageStartTime: chunk.messageStartTime,
      messageEndTime: chunk.messageEndTime,
      chunkStartOffset,
      chunkLength,
      messageIndexOffsets,
      messageIndexLength,
      compression: "zstd",
      compressedSize: BigInt(compressedData.byteLength),
      uncompressedSize: BigInt(chunk.buffer.byteLength),
    });
    if (first === 0) {
      builder.writeAttachment(attachment);
      await flush();
    }
  }
  for (const m of metadata) builder.writeMetadata({ name: m.name, metadata: m.metadata });
  builder.writeDataEnd({ dataSectionCrc: 0 });
  await flush();
  const summaryStart = writable.position();
  for (const s of schemas.values()) builder.writeSchema(s);
  for (const c of channels.values()) builder.writeChannel(c);
  for (const c of chunkIndexes) builder.writeChunkIndex(c);
  builder.writeFooter({ summaryStart, summaryOffsetStart: 0n, summaryCrc: 0 });
  builder.writeMagic();
  await flush();
  writable.close();
}
console.error(`repack: ${input}: ${items.length} messages and metadata re-written four ways to ${prefix}-*.mcap`);
