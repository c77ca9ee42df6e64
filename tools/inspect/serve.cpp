#include "serve.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <nlohmann/json.hpp>

#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "moments.hpp"
#include "record_commands.hpp"
#include "recording.hpp"
#include "recording_writer.hpp"
#include "scene_update.hpp"
#include "serve_page.hpp"
#include "snapshot_file.hpp"

namespace varnel::inspect {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace kg = knowledge_graph::graph;
using tcp = net::ip::tcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kSubprotocol = "foxglove.websocket.v1";
constexpr std::uint32_t kSceneChannel = 1, kGraphChannel = 2, kStatsChannel = 3;
// A client whose unsent messages pass these limits gets no more until it has
// caught up (then the scene whole, the versions it missed counted).
constexpr std::size_t kQueueBytes = 4 << 20;
constexpr std::size_t kQueueMessages = 256;
// A client that has taken none of a message for this long is closed.
constexpr auto kStalledWrite = std::chrono::seconds(10);
// HTTP requests (and WebSocket handshakes) must arrive within this time.
constexpr auto kRequestTime = std::chrono::seconds(10);
// Connections still in their HTTP request, over which new ones are closed at once.
constexpr std::size_t kPendingRequests = 256;
constexpr auto kStatsEvery = std::chrono::milliseconds(200);

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- What is served: the live region, or a private graph filled from a file ----

struct Source {
  std::unique_ptr<graph_session::GraphSession> session;
  kg::KnowledgeGraph::Boxed boxed;
  const kg::KnowledgeGraph* graph = nullptr;
  std::string description;
  std::string writer_kind;  // for a file: "recording" or "snapshot"
  std::uint64_t ns_per_unit = 1'000'000;
  std::thread player;       // plays a recording into `boxed`
  std::atomic<bool> done{false};
  ~Source() {
    done = true;
    if (player.joinable()) player.join();
  }
};

// Plays a recording into the private graph at its recorded pace, from the
// start again at the end, until `stop`.
void play(const std::string& path, kg::KnowledgeGraph& graph, std::uint64_t unit_ns,
          const std::atomic<bool>& stop, const std::atomic<bool>& done) {
  record::Republisher republisher(graph);
  const auto halted = [&] { return stop.load() || done.load(); };
  while (!halted()) {
    const auto loop_start = Clock::now();
    auto pace = loop_start;
    std::optional<std::uint64_t> previous;
    std::string error;
    const auto read = record::read_publications(path, [&](record::Publication&& p, std::string& why) {
      if (previous && p.timestamp > *previous) {
        pace += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::nano>(
            std::min(static_cast<double>(p.timestamp - *previous) * static_cast<double>(unit_ns), 10e9)));
        while (!halted() && Clock::now() < pace) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (halted()) return false;
      previous = p.timestamp;
      return republisher.publish(p, why);
    }, error);
    if (!read && !halted()) {
      std::cerr << "varnel-inspect serve: " << error << "; the recording stops here\n";
      return;
    }
    // A pass lasts at least a second, so that a short recording does not spin.
    while (!halted() && Clock::now() < loop_start + std::chrono::seconds(1))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::unique_ptr<Source> open_source(const std::string& region,
                                    const shared_memory_interface::memory_interface::LockWait& wait,
                                    const std::string& file, const std::string& time_unit,
                                    const std::atomic<bool>& stop) {
  auto source = std::make_unique<Source>();
  source->ns_per_unit = record::nanoseconds_per_unit(time_unit);
  if (source->ns_per_unit == 0) throw Failure("unknown --time-unit \"" + time_unit + "\": give ms, us or ns");
  if (!file.empty() && is_recording_file(file)) {
    // The whole file is checked before anything is served.
    std::string error;
    const auto info = record::read_publications(file, [](record::Publication&&, std::string&) { return true; }, error);
    if (!info) throw Failure(error);
    source->ns_per_unit = record::nanoseconds_per_unit(info->time_unit);
    if (source->ns_per_unit == 0) throw Failure(file + ": unknown timestamp unit \"" + info->time_unit + "\"");
    source->boxed = kg::KnowledgeGraph::new_boxed();
    source->graph = source->boxed.get();
    source->description = "recording " + file;
    source->writer_kind = "recording";
    source->player = std::thread(play, file, std::ref(*source->boxed), source->ns_per_unit, std::cref(stop),
                                 std::cref(source->done));
    return source;
  }
  if (!file.empty()) {
    Snapshot snapshot;
    std::string error;
    if (!read_snapshot_file(file, snapshot, error)) throw Failure(error);
    source->boxed = kg::KnowledgeGraph::new_boxed();
    if (!install_snapshot(snapshot, *source->boxed, error)) throw Failure(file + ": " + error);
    source->graph = source->boxed.get();
    source->description = "snapshot file " + file;
    source->writer_kind = "snapshot";
    return source;
  }
  graph_session::Options options;
  options.name = region;
  options.wait = wait;
  options.holder = "varnel-inspect";
  options.log_target = "varnel_inspect";
  auto opened = graph_session::GraphSession::open_reader(options);
  if (!opened) {
    if (opened.refusal == shared_memory_interface::memory_interface::Refusal::Missing)
      throw Failure("no shared region \"" + region +
                    "\" to serve: is a host running? (start one with varnel-demo, or serve a "
                    "recording with --file FILE)");
    throw Failure("cannot read: " + opened.error);
  }
  source->session = std::move(opened.session);
  source->graph = &source->session->graph();
  source->description = "region \"" + region + "\"";
  return source;
}

// ---- Following the graph publication by publication --------------------------

struct Frame {
  kg::Snapshot snapshot;
  bool fresh = false;  // the first look, or a clear or compaction came before it
  std::vector<kg::NodeItem> new_nodes;          // versions added since the last look
  std::vector<kg::RelationItem> new_relations;
  std::vector<kg::NodeItem> nodes;              // the current scene
  std::vector<kg::RelationItem> relations;
};

class Follower {
 public:
  explicit Follower(const kg::KnowledgeGraph& graph) : graph_(graph), reader_(graph) {}

  // The next publication, if one came since the last call. The new versions
  // are copied only when `versions` (a fresh start gives none: the current
  // scene stands for them).
  std::optional<Frame> poll(bool versions) {
    const kg::Snapshot quick = graph_.snapshot();
    if (last_ && quick.clear_epoch == last_->clear_epoch &&
        std::memcmp(&quick.indices, &last_->indices, sizeof quick.indices) == 0)
      return std::nullopt;
    kg::SceneView view = reader_.view();
    Frame f;
    f.snapshot = view.snapshot();
    const kg::GraphIndices& to = f.snapshot.indices;
    f.fresh = !last_ || graph_.cleared_since(*last_);
    for (std::uint64_t k = 0; !f.fresh && k < kg::kNodeKinds; ++k)
      f.fresh = to.node_index_tail[k] < last_->indices.node_index_tail[k];
    for (std::uint64_t k = 0; !f.fresh && k < kg::kRelationKinds; ++k)
      f.fresh = to.relation_index_tail[k] < last_->indices.relation_index_tail[k];
    if (versions && !f.fresh) copy_versions(last_->indices, to, f);
    f.nodes = view.all_nodes();
    f.relations = view.all_relations();
    if (view.overtaken() || graph_.cleared_since(f.snapshot)) return std::nullopt;  // again next time
    last_ = f.snapshot;
    return f;
  }

 private:
  void copy_versions(const kg::GraphIndices& from, const kg::GraphIndices& to, Frame& out) const {
    for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k) {
      const std::uint64_t hi = std::min(to.node_index_tail[k], kg::kNodeVersionsPerKind);
      for (std::uint64_t slot = std::min(from.node_index_tail[k], hi); slot < hi; ++slot) {
        kg::NodeItem item{};
        std::memcpy(static_cast<void*>(&item.record), &graph_.node_records[k][slot], sizeof item.record);
        if (item.record.value_index < kg::kNodeValues)
          std::memcpy(static_cast<void*>(&item.value), &graph_.node_values[item.record.value_index],
                      sizeof item.value);
        item.value.tag = k;
        out.new_nodes.push_back(item);
      }
    }
    for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k) {
      const std::uint64_t hi = std::min(to.relation_index_tail[k], kg::kRelationVersionsPerKind);
      for (std::uint64_t slot = std::min(from.relation_index_tail[k], hi); slot < hi; ++slot) {
        kg::RelationItem item{};
        std::memcpy(static_cast<void*>(&item.record), &graph_.relation_records[k][slot], sizeof item.record);
        if (item.record.value_index < kg::kRelationValues)
          std::memcpy(static_cast<void*>(&item.value), &graph_.relation_values[item.record.value_index],
                      sizeof item.value);
        item.value.tag = k;
        out.new_relations.push_back(item);
      }
    }
  }

  const kg::KnowledgeGraph& graph_;
  kg::SceneReader reader_;
  std::optional<kg::Snapshot> last_;
};

// ---- Channel schemas ---------------------------------------------------------

std::string graph_schema() {
  return json{{"title", "varnel.publication_versions"},
              {"description", "The versions one publication made visible, each as a recording's "
                              "/nodes/KIND or /relations/KIND message holds it; with start, the "
                              "current scene instead (a new subscriber, a clear, a compaction)"},
              {"type", "object"},
              {"properties",
               {{"publication", {{"type", "integer"}}},
                {"timestamp", {{"type", "integer"}}},
                {"start", {{"type", "boolean"}}},
                {"skipped", {{"type", "integer"}, {"description", "publications left out before this one"}}},
                {"nodes", {{"type", "array"}, {"items", {{"type", "object"}}}}},
                {"relations", {{"type", "array"}, {"items", {{"type", "object"}}}}}}},
              {"required", {"publication", "timestamp", "start", "nodes", "relations"}}}
      .dump();
}

std::string stats_schema() {
  const json count_map = {{"type", "object"}, {"additionalProperties", {{"type", "integer"}}}};
  return json{{"title", "varnel.stats"},
              {"type", "object"},
              {"properties",
               {{"publication", {{"type", "integer"}}},
                {"timestamp", {{"type", "integer"}}},
                {"source", {{"type", "string"}}},
                {"writer", {{"type", "string"}, {"enum", {"alive", "none", "unknown", "recording", "snapshot"}}}},
                {"node_versions", {{"type", "integer"}}},
                {"relation_versions", {{"type", "integer"}}},
                {"nodes", count_map},
                {"relations", count_map},
                {"fill", {{"type", "number"}, {"description", "fill of the fullest array, 0..1"}}},
                {"fullest", {{"type", "string"}}},
                {"oldest", {{"type", {"integer", "null"}}, {"description", "the oldest stored version's time"}}},
                {"window", {{"type", "integer"}, {"description", "history held: timestamp - oldest"}}},
                {"clients", {{"type", "integer"}}}}}}
      .dump();
}

// ---- Clients -----------------------------------------------------------------

class Server;

// One message on its way: a binary frame's 13-byte header (opcode, subscription,
// time) before a payload shared by every client, or a text frame.
struct Outgoing {
  std::array<unsigned char, 13> header{};
  std::shared_ptr<const std::string> payload;
  bool binary = true;
  std::size_t size() const { return payload->size() + (binary ? header.size() : 0); }
};

struct Subscription {
  std::uint32_t channel = 0;
  bool needs_start = true;  // /scene and /graph: the next message gives the whole scene
  std::uint64_t skipped = 0;
};

class Client : public std::enable_shared_from_this<Client> {
 public:
  Client(tcp::socket&& socket, Server& server) : ws_(std::move(socket)), server_(server) {}
  void start(http::request<http::string_body> request);
  using Make = std::function<std::shared_ptr<const std::string>()>;
  // A publication for the subscribers of `channel`: `message` makes it (once,
  // shared by all clients); `start`, where given, makes the whole-scene message
  // that a new subscriber, or one that fell behind, gets instead.
  void deliver(std::uint32_t channel, std::uint64_t log_time, const Make& message, const Make& start);
  bool stalled(Clock::time_point now) const { return writing_ && now - write_since_ > kStalledWrite; }
  bool open() const { return !closed_; }
  void close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
  }
  void send_text(const std::string& text) {
    Outgoing o;
    o.payload = std::make_shared<const std::string>(text);
    o.binary = false;
    enqueue(std::move(o));
  }

 private:
  void read();
  void on_message(const std::string& text);
  void status(int level, const std::string& message) {
    send_text(json{{"op", "status"}, {"level", level}, {"message", message}}.dump(
        -1, ' ', false, json::error_handler_t::replace));
  }
  bool behind() const { return queued_ > kQueueBytes || out_.size() > kQueueMessages; }
  void enqueue(Outgoing o) {
    if (closed_) return;
    queued_ += o.size();
    out_.push_back(std::move(o));
    write();
  }
  void enqueue(std::uint32_t subscription, std::uint64_t log_time, std::shared_ptr<const std::string> payload) {
    Outgoing o;
    o.header[0] = 1;
    for (int i = 0; i < 4; ++i) o.header[1 + i] = static_cast<unsigned char>(subscription >> (8 * i));
    for (int i = 0; i < 8; ++i) o.header[5 + i] = static_cast<unsigned char>(log_time >> (8 * i));
    o.payload = std::move(payload);
    enqueue(std::move(o));
  }
  void write();
  void catch_up();  // the whole-scene messages owed, once nothing else waits

  websocket::stream<beast::tcp_stream> ws_;
  Server& server_;
  beast::flat_buffer in_;
  std::deque<Outgoing> out_;
  std::size_t queued_ = 0;
  bool writing_ = false, closed_ = false, accepted_ = false;
  Clock::time_point write_since_{};
  std::map<std::uint32_t, Subscription> subscriptions_;
};

// A connection until its HTTP request is read: the page, a WebSocket upgrade or a refusal.
class Request : public std::enable_shared_from_this<Request> {
 public:
  Request(tcp::socket&& socket, Server& server, std::shared_ptr<std::size_t> pending)
      : stream_(std::move(socket)), server_(server), pending_(std::move(pending)) {}
  ~Request() { --*pending_; }
  void start() {
    parser_.emplace();
    parser_->header_limit(16 * 1024);
    parser_->body_limit(4 * 1024);
    stream_.expires_after(kRequestTime);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
  }

 private:
  void on_read(beast::error_code ec);
  void respond(http::status status, const std::string& type, std::string body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::server, "varnel-inspect");
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-store");
    response->keep_alive(false);
    response->body() = std::move(body);
    response->prepare_payload();
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code, std::size_t) {
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    });
  }

  beast::tcp_stream stream_;
  Server& server_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<std::size_t> pending_;  // requests in progress, this one included
};

// ---- The server --------------------------------------------------------------

class Server {
 public:
  // Pending handlers (and the clients they hold) go with the io_context, last.
  net::io_context io_;

  Server(Source& source, const tcp::endpoint& at, unsigned max_clients, double poll_ms, const std::atomic<bool>& stop)
      : source_(source), acceptor_(io_), poll_timer_(io_), house_timer_(io_), follower_(*source.graph),
        builder_(source.ns_per_unit), max_clients_(max_clients),
        poll_every_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(poll_ms))),
        stop_(stop) {
    beast::error_code ec;
    acceptor_.open(at.protocol(), ec);
    if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(at, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
      throw Failure("cannot listen on " + at.address().to_string() + " port " + std::to_string(at.port()) + ": " +
                    ec.message() + " (another server on that port? choose one with --port)");
    server_info_ = json{{"op", "serverInfo"},
                        {"name", "varnel-inspect serve: " + source.description},
                        {"capabilities", json::array()},
                        {"supportedEncodings", json::array()},
                        {"metadata", {{"source", source.description}}},
                        {"sessionId", std::to_string(std::chrono::system_clock::now().time_since_epoch().count())}}
                       .dump(-1, ' ', false, json::error_handler_t::replace);
    json channels = json::array();
    channels.push_back({{"id", kSceneChannel}, {"topic", "/scene"}, {"encoding", "json"},
                        {"schemaName", kSceneUpdateSchemaName}, {"schema", scene_update_schema()},
                        {"schemaEncoding", "jsonschema"}});
    channels.push_back({{"id", kGraphChannel}, {"topic", "/graph"}, {"encoding", "json"},
                        {"schemaName", "varnel.publication_versions"}, {"schema", graph_schema()},
                        {"schemaEncoding", "jsonschema"}});
    channels.push_back({{"id", kStatsChannel}, {"topic", "/stats"}, {"encoding", "json"},
                        {"schemaName", "varnel.stats"}, {"schema", stats_schema()},
                        {"schemaEncoding", "jsonschema"}});
    advertise_ = json{{"op", "advertise"}, {"channels", channels}}.dump();
  }

  unsigned short port() const { return acceptor_.local_endpoint().port(); }
  std::string address() const { return acceptor_.local_endpoint().address().to_string(); }

  void run() {
    accept();
    poll();
    housekeeping();
    io_.run();
  }

  // For clients and requests.
  const std::string& server_info() const { return server_info_; }
  const std::string& advertise() const { return advertise_; }
  void admit(const std::shared_ptr<Client>& client) { clients_.push_back(client); }
  unsigned max_clients() const { return max_clients_; }
  bool room() {
    prune();
    return clients_.size() < max_clients_;
  }
  bool has_scene() const { return frames_ > 0; }
  std::shared_ptr<const std::string> scene_start() {
    if (!scene_start_) scene_start_ = std::make_shared<const std::string>(builder_.full());
    return scene_start_;
  }
  std::shared_ptr<const std::string> graph_start() {
    if (!graph_start_) graph_start_ = std::make_shared<const std::string>(graph_message(last_frame_, true));
    return graph_start_;
  }
  const std::shared_ptr<const std::string>& stats() const { return stats_; }
  std::uint64_t log_time() const { return log_time_; }
  void note_subscriber(std::uint32_t channel) {
    if (channel == kGraphChannel) graph_wanted_ = true;
  }

 private:
  void accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
      if (!ec) {
        if (*requests_ >= kPendingRequests) {
          beast::error_code ignored;
          socket.close(ignored);  // too many half-open requests: not even an answer
        } else {
          ++*requests_;
          beast::error_code ignored;
          socket.set_option(tcp::no_delay(true), ignored);
          std::make_shared<Request>(std::move(socket), *this, requests_)->start();
        }
      }
      accept();
    });
  }

  void prune() {
    clients_.remove_if([](const std::weak_ptr<Client>& c) {
      auto client = c.lock();
      return !client || !client->open();
    });
  }

  std::string graph_message(const Frame& f, bool start) const {
    json nodes = json::array(), relations = json::array();
    const std::uint64_t number = publications_;
    for (const auto& item : start ? f.nodes : f.new_nodes) nodes.push_back(record::version_message(item, number));
    for (const auto& item : start ? f.relations : f.new_relations)
      relations.push_back(record::version_message(item, number));
    return json{{"publication", number},
                {"timestamp", f.snapshot.indices.update_timestamp},
                {"start", start},
                {"nodes", std::move(nodes)},
                {"relations", std::move(relations)}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
  }

  std::string stats_message(const Frame& f) {
    using shared_memory_interface::memory_interface::WriterPresence;
    const auto now = Clock::now();
    if (source_.session && now - writer_checked_ >= std::chrono::seconds(1)) {
      writer_checked_ = now;
      const auto presence = source_.session->probe_writer().presence;
      writer_ = presence == WriterPresence::Alive ? "alive" : presence == WriterPresence::Absent ? "none" : "unknown";
    } else if (!source_.session) {
      writer_ = source_.writer_kind;
    }
    const kg::GraphIndices& s = f.snapshot.indices;
    std::uint64_t node_versions = 0, relation_versions = 0;
    for (auto t : s.node_index_tail) node_versions += t;
    for (auto t : s.relation_index_tail) relation_versions += t;
    std::map<std::string, std::uint64_t> nodes, relations;
    for (const auto& item : f.nodes) ++nodes[std::string(kg::types::node_kind_name(item.value.type_index()))];
    for (const auto& item : f.relations)
      ++relations[std::string(kg::types::relation_kind_name(item.value.type_index()))];
    const kg::Fill fill = kg::fill_of(s);
    double fullest = 0;
    std::string fullest_name = "none";
    auto consider = [&](const kg::ArrayFill& a, const std::string& name) {
      if (a.fraction() > fullest) fullest = a.fraction(), fullest_name = name;
    };
    for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k)
      consider(fill.node_versions[k], "node versions " + std::string(kg::types::node_kind_name(k)));
    consider(fill.node_values, "node values");
    for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k)
      consider(fill.relation_versions[k], "relation versions " + std::string(kg::types::relation_kind_name(k)));
    consider(fill.relation_values, "relation values");
    // The oldest stored version: where the writer keeps its stamps in order, slot 0 of a kind.
    std::optional<std::uint64_t> oldest;
    const kg::KnowledgeGraph& g = *source_.graph;
    for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k)
      if (s.node_index_tail[k] > 0) oldest = std::min(oldest.value_or(~0ull), g.node_records[k][0].timestamp);
    for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k)
      if (s.relation_index_tail[k] > 0)
        oldest = std::min(oldest.value_or(~0ull), g.relation_records[k][0].timestamp);
    prune();
    return json{{"publication", publications_},
                {"timestamp", s.update_timestamp},
                {"source", source_.description},
                {"writer", writer_},
                {"node_versions", node_versions},
                {"relation_versions", relation_versions},
                {"nodes", nodes},
                {"relations", relations},
                {"fill", fullest},
                {"fullest", fullest_name},
                {"oldest", oldest ? json(*oldest) : json(nullptr)},
                {"window", oldest && s.update_timestamp >= *oldest ? s.update_timestamp - *oldest : 0},
                {"clients", clients_.size()}}
        .dump(-1, ' ', false, json::error_handler_t::replace);
  }

  void poll() {
    if (stop_) return shutdown();
    auto frame = follower_.poll(graph_wanted_);
    if (frame) publish(std::move(*frame));
    poll_timer_.expires_after(poll_every_);
    poll_timer_.async_wait([this](beast::error_code ec) {
      if (!ec) poll();
    });
  }

  void publish(Frame&& f) {
    ++publications_;
    ++frames_;
    log_time_ = f.snapshot.indices.update_timestamp * source_.ns_per_unit;
    auto scene = std::make_shared<const std::string>(
        builder_.update(f.nodes, f.relations, f.snapshot.indices.update_timestamp));
    scene_start_.reset();
    graph_start_.reset();
    last_frame_ = std::move(f);
    prune();
    graph_wanted_ = false;  // set again by the subscribers below
    std::vector<std::shared_ptr<Client>> clients;
    for (const auto& c : clients_)
      if (auto client = c.lock()) clients.push_back(std::move(client));
    std::shared_ptr<const std::string> graph;
    const auto graph_message_now = [&] {
      if (!graph)
        graph = std::make_shared<const std::string>(graph_message(last_frame_, last_frame_.fresh));
      return graph;
    };
    const auto now = Clock::now();
    if (now - stats_at_ >= kStatsEvery || !stats_) {
      stats_at_ = now;
      stats_ = std::make_shared<const std::string>(stats_message(last_frame_));
    }
    const Client::Make scene_now = [&] { return scene; }, scene_whole = [this] { return scene_start(); };
    const Client::Make graph_now = graph_message_now, graph_whole = [this] { return graph_start(); };
    const Client::Make stats_now = [this] { return stats_; };
    for (const auto& client : clients) {
      client->deliver(kSceneChannel, log_time_, scene_now, scene_whole);
      client->deliver(kGraphChannel, log_time_, graph_now, graph_whole);
      if (stats_at_ == now) client->deliver(kStatsChannel, log_time_, stats_now, nullptr);
    }
  }

  void housekeeping() {
    if (stop_) return shutdown();
    const auto now = Clock::now();
    for (const auto& c : clients_)
      if (auto client = c.lock(); client && client->stalled(now)) client->close();
    prune();
    house_timer_.expires_after(std::chrono::milliseconds(200));
    house_timer_.async_wait([this](beast::error_code ec) {
      if (!ec) housekeeping();
    });
  }

  void shutdown() {
    beast::error_code ignored;
    acceptor_.close(ignored);
    poll_timer_.cancel();
    house_timer_.cancel();
    for (const auto& c : clients_)
      if (auto client = c.lock()) client->close();
    io_.stop();
  }

 private:
  Source& source_;
  tcp::acceptor acceptor_;
  net::steady_timer poll_timer_, house_timer_;
  Follower follower_;
  SceneBuilder builder_;
  unsigned max_clients_;
  Clock::duration poll_every_;
  const std::atomic<bool>& stop_;
  std::string server_info_, advertise_;
  std::list<std::weak_ptr<Client>> clients_;
  std::shared_ptr<std::size_t> requests_ = std::make_shared<std::size_t>(0);
  std::uint64_t publications_ = 0, frames_ = 0, log_time_ = 0;
  Frame last_frame_;
  bool graph_wanted_ = false;
  std::shared_ptr<const std::string> scene_start_, graph_start_, stats_;
  Clock::time_point stats_at_{}, writer_checked_{};
  std::string writer_ = "unknown";
};


void Request::on_read(beast::error_code ec) {
  if (ec) return;  // closed, timed out or not HTTP: nothing to answer
  auto& request = parser_->get();
  if (websocket::is_upgrade(request)) {
    const auto offered = request[http::field::sec_websocket_protocol];
    if (offered.find(kSubprotocol) == beast::string_view::npos)
      return respond(http::status::bad_request, "text/plain",
                     std::string("this server speaks the WebSocket subprotocol ") + kSubprotocol + "; ask for it\n");
    if (!server_.room())
      return respond(http::status::service_unavailable, "text/plain",
                     "too many clients: this server takes " + std::to_string(server_.max_clients()) +
                         " at a time (varnel-inspect serve --max-clients)\n");
    stream_.expires_never();
    auto client = std::make_shared<Client>(stream_.release_socket(), server_);
    server_.admit(client);
    client->start(parser_->release());
    return;
  }
  if (request.method() != http::verb::get && request.method() != http::verb::head)
    return respond(http::status::method_not_allowed, "text/plain", "only GET is served here\n");
  const auto target = request.target();
  if (target == "/" || target == "/index.html" || target.starts_with("/?"))
    return respond(http::status::ok, "text/html; charset=utf-8", std::string(kServePage));
  respond(http::status::not_found, "text/plain", "not found: the page and the WebSocket are at /\n");
}

void Client::start(http::request<http::string_body> request) {
  ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
    response.set(http::field::server, "varnel-inspect");
    response.set(http::field::sec_websocket_protocol, kSubprotocol);
  }));
  websocket::stream_base::timeout timeout{};
  timeout.handshake_timeout = kRequestTime;
  timeout.idle_timeout = std::chrono::seconds(30);  // a peer that answers no ping for this long is gone
  timeout.keep_alive_pings = true;
  ws_.set_option(timeout);
  ws_.read_message_max(64 * 1024);
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
    if (ec) return self->close();
    self->accepted_ = true;
    self->send_text(self->server_.server_info());
    self->send_text(self->server_.advertise());
    self->read();
  });
}

void Client::read() {
  ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
    if (ec) return self->close();
    if (!self->ws_.got_text())
      self->status(2, "binary messages from clients are not taken here (this server has no client channels)");
    else
      self->on_message(beast::buffers_to_string(self->in_.data()));
    self->in_.consume(self->in_.size());
    self->read();
  });
}

void Client::on_message(const std::string& text) {
  const json message = json::parse(text, nullptr, false);
  if (message.is_discarded() || !message.is_object())
    return status(2, "not a JSON object: each message is {\"op\": ...}");
  const auto op = message.find("op");
  if (op == message.end() || !op->is_string()) return status(2, "the message has no \"op\" string");
  const std::string name = op->get<std::string>();
  auto id_of = [](const json& value, std::uint32_t& out) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xffffffffu) return false;
    out = static_cast<std::uint32_t>(value.get<std::uint64_t>());
    return true;
  };
  if (name == "subscribe") {
    const auto list = message.find("subscriptions");
    if (list == message.end() || !list->is_array())
      return status(2, "subscribe: \"subscriptions\" must be an array of {\"id\", \"channelId\"}");
    for (const json& entry : *list) {
      std::uint32_t id = 0, channel = 0;
      if (!entry.is_object() || !entry.contains("id") || !entry.contains("channelId") || !id_of(entry["id"], id) ||
          !id_of(entry["channelId"], channel)) {
        status(2, "subscribe: each subscription is {\"id\": number, \"channelId\": number}");
        continue;
      }
      if (channel != kSceneChannel && channel != kGraphChannel && channel != kStatsChannel) {
        status(2, "subscribe: channel " + std::to_string(channel) +
                      " does not exist (advertised: 1 /scene, 2 /graph, 3 /stats)");
        continue;
      }
      if (subscriptions_.count(id)) {
        status(2, "subscribe: subscription id " + std::to_string(id) + " is taken already");
        continue;
      }
      subscriptions_[id] = Subscription{channel, channel != kStatsChannel, 0};
      server_.note_subscriber(channel);
      if (channel == kStatsChannel && server_.stats()) enqueue(id, server_.log_time(), server_.stats());
    }
    return catch_up();
  }
  if (name == "unsubscribe") {
    const auto list = message.find("subscriptionIds");
    if (list == message.end() || !list->is_array())
      return status(2, "unsubscribe: \"subscriptionIds\" must be an array of numbers");
    for (const json& entry : *list) {
      std::uint32_t id = 0;
      if (!id_of(entry, id) || subscriptions_.erase(id) == 0)
        status(1, "unsubscribe: no subscription " + entry.dump());
    }
    return;
  }
  static const char* const kNotHere[] = {"advertise", "unadvertise", "publish", "getParameters", "setParameters",
                                         "subscribeParameterUpdates", "unsubscribeParameterUpdates",
                                         "subscribeConnectionGraph", "unsubscribeConnectionGraph",
                                         "fetchAsset", "callService"};
  for (const char* other : kNotHere)
    if (name == other) return status(2, "op \"" + name + "\" is not offered by this server (capabilities: none)");
  status(2, "unknown op \"" + name + "\"");
}

void Client::deliver(std::uint32_t channel, std::uint64_t log_time, const Make& message, const Make& start) {
  if (!accepted_ || closed_) return;
  for (auto& [id, sub] : subscriptions_) {
    if (sub.channel != channel) continue;
    if (channel == kGraphChannel) server_.note_subscriber(channel);
    if (behind()) {
      // Coalesced: what this client misses now it gets as one whole scene later.
      if (start) sub.needs_start = true;
      ++sub.skipped;
      continue;
    }
    if (start && sub.needs_start) continue;  // catch_up() sends the whole scene
    enqueue(id, log_time, message());
  }
  catch_up();
}

void Client::catch_up() {
  if (!accepted_ || closed_ || !server_.has_scene() || !out_.empty()) return;
  for (auto& [id, sub] : subscriptions_) {
    if (!sub.needs_start) continue;
    std::shared_ptr<const std::string> whole =
        sub.channel == kSceneChannel ? server_.scene_start() : server_.graph_start();
    if (sub.channel == kGraphChannel && sub.skipped > 0 && !whole->empty() && (*whole)[0] == '{')
      whole = std::make_shared<const std::string>("{\"skipped\":" + std::to_string(sub.skipped) + "," +
                                                  whole->substr(1));
    sub.needs_start = false;
    sub.skipped = 0;
    enqueue(id, server_.log_time(), std::move(whole));
  }
}

void Client::write() {
  if (writing_ || out_.empty() || closed_ || !accepted_) return;
  writing_ = true;
  write_since_ = Clock::now();
  const Outgoing& o = out_.front();
  ws_.binary(o.binary);
  auto done = [self = shared_from_this()](beast::error_code ec, std::size_t) {
    self->writing_ = false;
    if (ec) return self->close();
    self->queued_ -= self->out_.front().size();
    self->out_.pop_front();
    self->write();
    self->catch_up();
  };
  if (o.binary)
    ws_.async_write(std::array<net::const_buffer, 2>{net::buffer(o.header), net::buffer(*o.payload)},
                    std::move(done));
  else
    ws_.async_write(net::buffer(*o.payload), std::move(done));
}

}  // namespace

void ServeCommand::add_to(CLI::App& app) {
  command_ = app.add_subcommand(
      "serve",
      "Serve the live scene (or --file) over WebSocket (foxglove.websocket.v1: /scene, /graph, /stats) "
      "and a page for any browser, on one port, until Ctrl-C");
  command_->add_option("--port", port_, "TCP port (default 8765; 0 picks a free one)")->check(CLI::Range(0, 65535));
  command_->add_option("--bind", bind_,
                       "Address to listen on (default 127.0.0.1, this machine only; 0.0.0.0 for every interface)");
  command_->add_option("--max-clients", max_clients_, "WebSocket clients served at a time (default 16)")
      ->check(CLI::Range(1, 1024));
  command_->add_option("--time-unit", time_unit_,
                       "What one host timestamp unit is: ms (default), us or ns (a recording says its own)");
  command_->add_option("--poll", poll_ms_, "Milliseconds between looks at the graph (default 1)")
      ->check(CLI::Range(0.1, 1000.0));
}

bool ServeCommand::run(int& status, const std::string& region,
                       const shared_memory_interface::memory_interface::LockWait& wait, const std::string& file,
                       const std::atomic<bool>& stop) {
  if (command_ == nullptr || !*command_) return false;
  try {
    beast::error_code ec;
    const auto address = net::ip::make_address(bind_, ec);
    if (ec) throw Failure("--bind " + bind_ + " is not an IP address (such as 127.0.0.1, ::1 or 0.0.0.0)");
    auto source = open_source(region, wait, file, time_unit_, stop);
    Server server(*source, tcp::endpoint(address, static_cast<unsigned short>(port_)), max_clients_, poll_ms_, stop);
    const std::string host = address.is_v6() ? "[" + server.address() + "]" : server.address();
    std::cout << "varnel-inspect serve: " << source->description << " at http://" << host << ":" << server.port()
              << "/ (the page; viewers connect to ws://" << host << ":" << server.port() << "/ with "
              << kSubprotocol << "); Ctrl-C ends\n"
              << std::flush;
    server.run();
    status = 0;
  } catch (const Failure& failure) {
    std::cerr << "varnel-inspect: " << failure.what() << "\n";
    status = 2;
  } catch (const RecordingFailure& failure) {
    std::cerr << "varnel-inspect: " << failure.what() << "\n";
    status = 2;
  }
  return true;
}

}  // namespace varnel::inspect
