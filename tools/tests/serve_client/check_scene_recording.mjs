// Reads a recording made with `varnel-inspect record --scene` with the reference
// MCAP reader: the /scene channel must carry the schema the viewers' 3D panel
// expects (foxglove.SceneUpdate, JSON Schema, JSON messages), one message per
// publication, and every message must validate against the viewers' own schema
// and stand alone (a deletion of everything first), with the cars the
// publication's versions leave in the scene.
//
//   node check_scene_recording.mjs FILE.mcap
import { readFile } from "node:fs/promises";
import { McapStreamReader } from "@mcap/core";
import AjvModule from "ajv";
import schemas from "@foxglove/schemas/jsonschema.js";

const Ajv = AjvModule.default ?? AjvModule;
const path = process.argv[2];
const fail = (message) => {
  console.error(`check_scene_recording: ${path}: ${message}`);
  process.exit(1);
};
const valid = new Ajv({ strict: false, allErrors: true }).compile(schemas.SceneUpdate);
const stream = new McapStreamReader({ validateCrcs: true });
stream.append(new Uint8Array(await readFile(path)));
const decoder = new TextDecoder();
const schemaRecords = new Map(), channels = new Map();
const cars = new Map();  // the graph's cars, from the versions
let scenes = 0, publications = 0, sceneSincePublication = 0, entities = 0, compared = 0;
let pending = [], lastScene = null;
for (let record; (record = stream.nextRecord()); ) {
  if (record.type === "Schema") schemaRecords.set(record.id, record);
  if (record.type === "Channel") channels.set(record.id, record);
  if (record.type !== "Message") continue;
  const channel = channels.get(record.channelId);
  const body = JSON.parse(decoder.decode(record.data));
  if (channel.topic === "/nodes/Car") {
    pending.push(body);
  } else if (channel.topic === "/publications") {
    ++publications;
    if (sceneSincePublication !== 1) fail(`publication ${body.publication} has ${sceneSincePublication} /scene messages`);
    sceneSincePublication = 0;
    if (body.start || body.cleared || body.gap) cars.clear();
    for (const v of pending) {
      if (v.marker === "Valid") cars.set(v.id, v);
      else cars.delete(v.id);
    }
    pending = [];
    // The publication's scene holds exactly the graph's cars, each where the graph has it.
    const drawn = lastScene.entities.filter((e) => e.id.startsWith("car/"));
    if (drawn.length !== cars.size) fail(`publication ${body.publication}: ${drawn.length} cars drawn, ${cars.size} in the graph`);
    for (const e of drawn) {
      const car = cars.get(Number(e.id.slice(4)));
      const at = e.texts[0].pose.position;
      if (!car || Math.abs(at.x - car.carPosition.x) > 1e-3 || Math.abs(at.y - car.carPosition.y) > 1e-3)
        fail(`publication ${body.publication}: ${e.id} is not where the graph has it`);
      ++compared;
    }
  } else if (channel.topic === "/scene") {
    ++scenes;
    ++sceneSincePublication;
    const schema = schemaRecords.get(channel.schemaId);
    if (schema?.name !== "foxglove.SceneUpdate" || schema.encoding !== "jsonschema" || channel.messageEncoding !== "json")
      fail("/scene is not a JSON channel with the foxglove.SceneUpdate JSON Schema");
    JSON.parse(decoder.decode(schema.data));
    if (!valid(body)) fail(`a /scene message does not validate: ${JSON.stringify(valid.errors).slice(0, 400)}`);
    if (body.deletions.length !== 1 || body.deletions[0].type !== 1) fail("a /scene message does not start afresh");
    entities += body.entities.length;
    lastScene = body;
  }
}
if (!stream.done()) fail("the reader did not reach the end of the file");
if (publications === 0 || scenes !== publications) fail(`${scenes} /scene messages for ${publications} publications`);
console.log(`${path}: ${scenes} /scene messages (one per publication, ${entities} entities) validate as foxglove.SceneUpdate; ${compared} cars where the graph has them`);
