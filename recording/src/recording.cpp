#include "recording.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <limits>

#include <nlohmann/json.hpp>

#include "knowledge_graph/graph/raw_span.hpp"

namespace varnel::record {
namespace {

namespace kg = knowledge_graph::graph;
namespace types = knowledge_graph::graph::types;
using nlohmann::json;

constexpr const char* kRecordingMetadata = "varnel.recording";
constexpr const char* kSummaryMetadata = "varnel.summary";

bool unhex(const std::string& text, unsigned char* bytes, std::size_t size) {
  if (text.size() % 2 != 0 || text.size() / 2 > size) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::memset(bytes, 0, size);
  for (std::size_t i = 0; i < text.size() / 2; ++i) {
    const int hi = digit(text[2 * i]), lo = digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return true;
}

template <class T> bool get(const json& object, const char* key, T& out) {
  auto it = object.find(key);
  if (it == object.end()) return false;
  try {
    out = it->template get<T>();
  } catch (const json::exception&) {
    return false;
  }
  return true;
}

std::optional<kg::Marker> marker_of(const std::string& text) {
  if (text == "None") return kg::Marker::None;
  if (text == "Valid") return kg::Marker::Valid;
  if (text == "Removed") return kg::Marker::Removed;
  return std::nullopt;
}

bool index_of(const json& object, kg::Index& out) {
  return object.is_object() && get(object, "type_index", out.type_index) && get(object, "id", out.instance_id);
}

bool list_of(const json& array, kg::RelationList& out) {
  out.fill(kg::Index{});
  if (!array.is_array()) return false;
  for (const json& entry : array) {
    if (!entry.is_array() || entry.size() != 3) return false;
    for (const json& number : entry)
      if (!number.is_number_unsigned()) return false;
    const auto slot = entry[0].get<std::uint64_t>();
    if (slot >= out.size()) return false;
    out[slot] = kg::Index(entry[1].get<std::uint64_t>(), entry[2].get<std::uint64_t>());
  }
  return true;
}

}  // namespace

std::uint64_t nanoseconds_per_unit(const std::string& unit) {
  if (unit == "ms") return 1'000'000;
  if (unit == "us") return 1'000;
  if (unit == "ns") return 1;
  return 0;
}

namespace {

bool described(const mcap::File& file, RecordingInfo& info) {
  for (const auto& [name, map] : file.metadata)
    if (name == kRecordingMetadata) {
      auto unit = map.find("timestamp_unit");
      if (unit != map.end()) info.time_unit = unit->second;
      return true;
    }
  return false;
}

const std::string kNotARecording = "the MCAP file is valid but holds no varnel recording (no \"" +
                                   std::string(kRecordingMetadata) + "\" metadata)";

// What a channel carries, by its topic (and kind number): other writers may
// have given it another id (tools that re-pack or merge files renumber them).
struct Role {
  enum What { unknown, marker, node, relation, passed } what = unknown;
  std::uint64_t kind = 0;
};

Role role_of(const mcap::Channel& channel) {
  Role role;
  const std::string& topic = channel.topic;
  if (topic == "/publications") {
    role.what = Role::marker;
    return role;
  }
  if (topic == "/scene") {
    role.what = Role::passed;
    return role;
  }
  const bool node = topic.rfind("/nodes/", 0) == 0, relation = topic.rfind("/relations/", 0) == 0;
  if (!node && !relation) return role;
  const std::string name = topic.substr(node ? 7 : 11);
  const std::uint64_t kinds = node ? kg::kNodeKinds : kg::kRelationKinds;
  const auto kind_name = [&](std::uint64_t k) {
    return std::string(node ? types::node_kind_name(k) : types::relation_kind_name(k));
  };
  auto number = channel.metadata.find("kind_number");
  if (number != channel.metadata.end() && !number->second.empty() && number->second.size() < 10 &&
      number->second.find_first_not_of("0123456789") == std::string::npos) {
    const std::uint64_t k = std::stoull(number->second);
    if (k < kinds && kind_name(k) == name) role.kind = k, role.what = node ? Role::node : Role::relation;
    return role;
  }
  for (std::uint64_t k = 0; k < kinds; ++k)
    if (kind_name(k) == name) {
      role.kind = k;
      role.what = node ? Role::node : Role::relation;
      break;
    }
  return role;
}

// Turns messages into publications as they are read: only the publication
// being read is kept here.
struct Decoder {
  const PublicationSink& each;
  RecordingInfo info;
  Publication current;
  std::uint64_t index = 0, publications = 0;
  std::uint64_t first = 0;  // a read from the middle: publications before this one are passed over
  std::map<std::uint16_t, Role> roles;  // by channel id, once looked at
  bool undescribed = false;  // no recording metadata before the first message (yet)

  bool take(const mcap::Message& m, const mcap::File& so_far, std::string& error) {
    const std::uint64_t number = ++index;
    auto bad = [&](const std::string& what) {
      if (undescribed && !described(so_far, info)) {
        error = kNotARecording;  // not a recording, rather than a bad one
        return false;
      }
      auto channel = so_far.channels.find(m.channel_id);
      error = "message " + std::to_string(number) + " of the recording" +
              (channel != so_far.channels.end() ? " (" + channel->second.topic + ")" : std::string()) +
              ": " + what;
      return false;
    };
    // Re-packed files may carry the recording's metadata after its messages:
    // it is required by the end of the file.
    if (number == 1 && first == 0 && !described(so_far, info)) undescribed = true;
    auto role = roles.find(m.channel_id);
    if (role == roles.end()) {
      auto channel = so_far.channels.find(m.channel_id);
      role = roles.emplace(m.channel_id, channel == so_far.channels.end() ? Role{} : role_of(channel->second)).first;
    }
    if (role->second.what == Role::passed) return true;  // /scene: drawn from the versions, not read back
    if (role->second.what == Role::unknown) return bad("on an unknown channel " + std::to_string(m.channel_id));
    json message = json::parse(m.data, nullptr, false);
    if (!message.is_object()) return bad("not a JSON object");
    std::uint64_t publication = 0;
    if (!get(message, "publication", publication)) return bad("no publication number");
    if (publication < first) return true;
    if (publication != publications + 1)
      return bad("belongs to publication " + std::to_string(publication) + " where " +
                 std::to_string(publications + 1) + " was expected");
    std::string marker_text, payload;
    std::uint64_t timestamp = 0, id = 0, value_index = 0;
    if (role->second.what == Role::marker) {
      std::uint64_t nodes = 0, relations = 0;
      if (!get(message, "timestamp", current.timestamp) || !get(message, "nodes", nodes) ||
          !get(message, "relations", relations) || !get(message, "start", current.start) ||
          !get(message, "cleared", current.cleared) || !get(message, "gap", current.gap) ||
          !get(message, "merged", current.merged))
        return bad("a publication marker lacks a field");
      // Recordings made before compactions were marked have no "compacted".
      if (message.contains("compacted")) {
        const auto kept = message.find("kept");
        if (!get(message, "compacted", current.compacted) ||
            (current.compacted &&
             (!get(message, "keep_since", current.keep_since) || kept == message.end() ||
              !kept->is_object() || !get(*kept, "versions", current.kept_versions) ||
              !get(*kept, "node_payloads", current.kept_node_payloads) ||
              !get(*kept, "relation_payloads", current.kept_relation_payloads))))
          return bad("a compaction marker lacks keep_since or what it kept");
        if (current.compacted && (nodes != 0 || relations != 0 || current.start || current.cleared ||
                                  current.gap || publications == 0))
          return bad("a compaction marker follows versions of its own or starts the recording");
      }
      if (nodes != current.nodes.size() || relations != current.relations.size())
        return bad("the publication marker counts other versions than were recorded before it");
      current.number = publication;
      ++publications;
      info.versions += current.nodes.size() + current.relations.size();
      info.gaps += current.gap ? 1 : 0;
      info.merged += current.merged > 1 ? current.merged - 1 : 0;
      Publication done = std::move(current);
      current = Publication{};
      return each(std::move(done), error);
    }
    if (!get(message, "timestamp", timestamp) || !get(message, "id", id) ||
        !get(message, "marker", marker_text) || !get(message, "value_index", value_index) ||
        !get(message, "payload", payload))
      return bad("a version lacks one of timestamp, id, marker, value_index, payload");
    const auto marker = marker_of(marker_text);
    if (!marker) return bad("unknown marker \"" + marker_text + "\"");
    // Payload positions are given out afresh when a recording is put into a
    // graph, so only what a version itself names is checked here: what a graph
    // (and every mirror of it) would refuse is refused before it is published.
    constexpr std::uint64_t kAnyPosition = ~std::uint64_t{0};
    // What nodes and relations have alike; false for a bad payload.
    const auto fill = [&](auto& item) {
      item.value.tag = role->second.kind;
      item.record.timestamp = timestamp;
      item.record.instance_id = id;
      item.record.value_index = value_index;
      item.record.marker = *marker;
      return unhex(payload, item.value.payload, sizeof item.value.payload);
    };
    if (role->second.what == Role::node) {
      NodeItem item{};
      if (!fill(item)) return bad("a bad payload");
      if (!list_of(message.value("outgoing", json()), item.record.outgoing) ||
          !list_of(message.value("incoming", json()), item.record.incoming))
        return bad("bad outgoing or incoming lists");
      if (auto problem = kg::node_version_error(item.record, kAnyPosition)) return bad(*problem);
      current.nodes.push_back(item);
    } else {
      RelationItem item{};
      if (!fill(item)) return bad("a bad payload");
      if (!index_of(message.value("from", json()), item.record.from) ||
          !index_of(message.value("to", json()), item.record.to))
        return bad("bad from or to");
      if (auto problem = kg::relation_version_error(item.record, kAnyPosition)) return bad(*problem);
      current.relations.push_back(item);
    }
    return true;
  }
};

std::optional<RecordingInfo> read_stream(std::string_view bytes, const std::string& path,
                                         const PublicationSink& each, std::string& error) {
  Decoder decoder{each, {}, {}, 0, 0, 0, {}, false};
  const mcap::MessageSink sink = [&](mcap::Message&& m, const mcap::File& so_far, std::string& why) {
    return decoder.take(m, so_far, why);
  };
  auto file = mcap::stream(bytes, path, sink, error);
  if (!file) return std::nullopt;
  if (!described(*file, decoder.info)) {
    error = kNotARecording;
    return std::nullopt;
  }
  if (!decoder.current.nodes.empty() || !decoder.current.relations.empty()) {
    error = "the recording ends inside a publication (versions without their /publications marker)";
    return std::nullopt;
  }
  decoder.info.publications = decoder.publications;
  return decoder.info;
}

}  // namespace

namespace {

// A publication's marker as found in a chunk.
struct Marker {
  std::uint64_t publication = 0, timestamp = 0;
  bool fresh = false;
};

bool marker_of(const std::string& data, Marker& out) {
  const json message = json::parse(data, nullptr, false);
  bool start = false, cleared = false, gap = false;
  if (!message.is_object() || !get(message, "publication", out.publication) ||
      !get(message, "timestamp", out.timestamp) || !get(message, "start", start) ||
      !get(message, "cleared", cleared) || !get(message, "gap", gap))
    return false;
  out.fresh = start || cleared || gap;
  return true;
}

}  // namespace

Seek read_moment(const std::string& path, std::optional<std::uint64_t> time, const PublicationSink& each,
                 MomentRead& out, std::string& error) {
  out = MomentRead{};
  mcap::IndexedReader reader;
  if (!reader.open({}, path, error)) return Seek::failed;
  const mcap::Summary& summary = reader.summary();
  // The recording's own metadata, by its index: the time unit.
  RecordingInfo info;
  const mcap::MetadataIndex* described_at = nullptr;
  for (const auto& m : summary.metadata_indexes)
    if (m.name == kRecordingMetadata) described_at = &m;
  // The markers' channel, by its topic (a re-packed file may have renumbered it).
  std::optional<std::uint16_t> marker_channel;
  for (const auto& [id, channel] : summary.channels)
    if (channel.topic == "/publications") marker_channel = id;
  if (summary.chunk_indexes.empty() || described_at == nullptr || !marker_channel) return Seek::no_index;
  mcap::MetadataRecord recording_metadata;
  if (!reader.read_metadata(*described_at, recording_metadata, error)) return Seek::failed;
  mcap::File so_far;
  so_far.metadata.emplace_back(recording_metadata.name, recording_metadata.metadata);
  so_far.schemas = summary.schemas;
  so_far.channels = summary.channels;
  if (!described(so_far, info)) return Seek::no_index;
  const std::uint64_t scale = nanoseconds_per_unit(info.time_unit);
  if (scale == 0) return Seek::no_index;

  // The chunks in file order, and the publication markers of each, read when needed.
  std::vector<const mcap::ChunkIndex*> chunks;
  for (const auto& c : summary.chunk_indexes) chunks.push_back(&c);
  std::stable_sort(chunks.begin(), chunks.end(), [](const mcap::ChunkIndex* a, const mcap::ChunkIndex* b) {
    return a->chunk_start_offset < b->chunk_start_offset;
  });
  out.chunks = chunks.size();
  std::map<std::size_t, std::vector<Marker>> markers;
  const auto markers_of = [&](std::size_t i) -> const std::vector<Marker>* {
    auto found = markers.find(i);
    if (found != markers.end()) return &found->second;
    std::vector<Marker> list;
    ++out.chunks_read;
    const mcap::RecordSink take = [&](mcap::Record&& r, const mcap::Place&, std::string& why) {
      auto* m = std::get_if<mcap::Message>(&r);
      if (m == nullptr || m->channel_id != *marker_channel) return true;
      Marker marker;
      if (!marker_of(m->data, marker)) {
        why = "a publication marker that is not one";
        return false;
      }
      list.push_back(marker);
      return true;
    };
    if (!reader.read_chunk(*chunks[i], take, error)) return nullptr;
    return &markers.emplace(i, std::move(list)).first->second;
  };

  // The total, from the statistics (or the summary metadata).
  if (summary.statistics) {
    for (const auto& [channel, count] : summary.statistics->channel_message_counts)
      if (channel == *marker_channel) out.publications = count;
  }
  // The moment: the last marker at or before `time`, from the last chunk back.
  const std::uint64_t limit = !time ? ~std::uint64_t{0}
                              : *time > ~std::uint64_t{0} / scale ? ~std::uint64_t{0}
                                                                  : *time * scale;
  std::optional<std::pair<std::size_t, std::size_t>> moment;  // chunk, marker in it
  for (std::size_t i = chunks.size(); i-- > 0 && !moment;) {
    if (chunks[i]->message_start_time > limit) continue;  // every message in it comes later
    const std::vector<Marker>* list = markers_of(i);
    if (list == nullptr) return Seek::failed;
    for (std::size_t k = list->size(); k-- > 0;)
      if (!time || (*list)[k].timestamp <= *time) {
        moment = {i, k};
        break;
      }
  }
  if (!moment) {  // before the first publication, or none at all
    const std::vector<Marker>* first = nullptr;
    for (std::size_t i = 0; i < chunks.size() && (first == nullptr || first->empty()); ++i)
      if ((first = markers_of(i)) == nullptr) return Seek::failed;
    if (first == nullptr || first->empty()) out.publications = 0;
    else out.first_time = first->front().timestamp;
    return Seek::read;
  }
  const Marker at = markers[moment->first][moment->second];
  out.moment = at.publication;
  out.moment_time = at.timestamp;

  // The fresh start it builds on, and the chunk holding the marker before it
  // (whose versions end there): reading starts in that chunk.
  std::size_t start_chunk = 0;
  std::uint64_t base = 0;
  for (std::size_t i = moment->first + 1, k = moment->second + 1; i-- > 0;) {
    const std::vector<Marker>* list = markers_of(i);
    if (list == nullptr) return Seek::failed;
    if (i != moment->first) k = list->size();
    bool found = false;
    while (k-- > 0) {
      const Marker& m = (*list)[k];
      if (base == 0 && m.fresh) {
        base = m.publication;
        continue;
      }
      if (base != 0) {  // the marker before the fresh start
        start_chunk = i;
        found = true;
        break;
      }
    }
    if (found) break;
  }
  if (base == 0) {  // no fresh start before it: from the first publication of the file
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const std::vector<Marker>* list = markers_of(i);
      if (list == nullptr) return Seek::failed;
      if (!list->empty()) {
        base = list->front().publication;
        break;
      }
    }
  }

  // From there to the moment, front to back.
  bool done = false;
  const PublicationSink until = [&](Publication&& p, std::string& why) {
    const std::uint64_t number = p.number;
    if (!each(std::move(p), why)) return false;
    done = number == at.publication;
    return true;
  };
  Decoder decoder{until, info, {}, 0, base - 1, base, {}, false};
  const mcap::RecordSink take = [&](mcap::Record&& r, const mcap::Place&, std::string& why) {
    auto* m = std::get_if<mcap::Message>(&r);
    if (done || m == nullptr) return true;
    return decoder.take(*m, so_far, why);
  };
  for (std::size_t i = start_chunk; i < chunks.size() && !done; ++i) {
    ++out.chunks_read;
    if (!reader.read_chunk(*chunks[i], take, error)) return Seek::failed;
  }
  if (!done) {
    error = "the chunks end before publication " + std::to_string(at.publication) + ": the file is damaged";
    return Seek::failed;
  }
  if (out.publications == 0) {  // no statistics: the count the recorder wrote at its end
    for (const auto& m : summary.metadata_indexes) {
      mcap::MetadataRecord counts;
      if (m.name != kSummaryMetadata || !reader.read_metadata(m, counts, error)) continue;
      auto found = counts.metadata.find("publications");
      if (found != counts.metadata.end()) out.publications = std::strtoull(found->second.c_str(), nullptr, 10);
    }
  }
  out.publications = std::max(out.publications, at.publication);
  return Seek::read;
}

std::optional<RecordingInfo> read_publications(const std::string& path, const PublicationSink& each,
                                               std::string& error) {
  auto info = read_stream({}, path, each, error);
  if (!info && error.find(path) == std::string::npos) error = path + ": " + error;
  return info;
}

std::optional<Recording> read_recording_bytes(std::string_view bytes, std::string& error) {
  Recording out;
  const PublicationSink keep = [&](Publication&& p, std::string&) {
    out.publications.push_back(std::move(p));
    return true;
  };
  auto info = read_stream(bytes, "", keep, error);
  if (!info) return std::nullopt;
  out.info = *info;
  return out;
}

std::optional<Recording> read_recording(const std::string& path, std::string& error) {
  Recording out;
  const PublicationSink keep = [&](Publication&& p, std::string&) {
    out.publications.push_back(std::move(p));
    return true;
  };
  auto info = read_publications(path, keep, error);
  if (!info) return std::nullopt;
  out.info = *info;
  return out;
}

}  // namespace varnel::record
