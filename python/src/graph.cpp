// Graph: a writable host view of the shared region, a read-only attachment to
// it, or a private in-memory graph; with writes, transactions and reads.
//
// Every call checks that the graph is still mapped and, for writes, writable:
// a write through a read-only mapping would crash the process, so it raises.
// Reads copy what they return, so results outlive the graph.
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <deque>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/publication_signal.hpp"
#include "graph_session/graph_session.hpp"
#include "logging/logging.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "shared_memory_interface/memory_interface.hpp"
#include "snapshot_file.hpp"
#include "recording/recording.hpp"
#include "recording/scene_reader.hpp"

namespace varnel_python {
namespace {

using graph::Index;
using graph::KnowledgeGraph;
using interval_algebra::Interval;
namespace memory_interface = shared_memory_interface::memory_interface;

constexpr const char* kLogTarget = "varnel";

// What a Graph reads and writes. Iterators share it, so that a released graph
// makes them raise instead of reading unmapped memory. A region graph is a graph
// session: its writes pass the session's write gate (refused while another live
// process writes the region, until that writer has gone).
struct Mapping {
  std::unique_ptr<graph_session::GraphSession> session;
  KnowledgeGraph::Boxed boxed;
  KnowledgeGraph* graph = nullptr;
  bool read_only = false;

  bool may_write() { return boxed != nullptr || (session && session->may_write()); }
  // A region graph commits through its session, which then knows it is between
  // batches (where the history window acts).
  void commit(KnowledgeGraph& g) {
    if (session) session->commit_transaction();
    else g.commit_transaction();
  }

  // Threads asleep in Graph.wait(); release() stops them before it unmaps.
  std::atomic<int> waiting{0};
  std::atomic<bool> stop_waits{false};

  void release() {
    if (graph != nullptr && waiting.load() > 0) {
      stop_waits.store(true);
      py::gil_scoped_release unlocked;
      while (waiting.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    graph = nullptr;
    session.reset();
    boxed.reset();
  }
};

[[noreturn]] void raise_released() { throw py::value_error("the graph has been released"); }

const KnowledgeGraph& mapped(const Mapping& mapping) {
  if (mapping.graph == nullptr) raise_released();
  return *mapping.graph;
}

std::unique_ptr<graph_session::GraphSession> open_session(bool read_only) {
  graph_session::Options options;
  options.holder = "this graph";
  options.log_target = kLogTarget;
  auto opened = read_only ? graph_session::GraphSession::open_reader(options)
                          : graph_session::GraphSession::open_writer(options);
  if (!opened) {
    const bool missing = opened.refusal == memory_interface::Refusal::Missing;
    raise(module_types().region_error,
          read_only && missing
              ? "cannot attach to the shared region \"KnowledgeGraph\": no host has set it up"
              : std::string(read_only ? "cannot attach: " : "cannot set up: ") + opened.error);
  }
  return std::move(opened.session);
}

template <class Record, class Lookup>
std::optional<Record> copy_latest(const KnowledgeGraph& g, Lookup lookup) {
  for (;;) {
    const graph::Snapshot before = g.snapshot();
    const Record* found = lookup();
    std::optional<Record> copy;
    if (found != nullptr) copy = *found;
    if (!g.cleared_since(before)) return copy;
  }
}

template <class Iterator> struct PyIterator {
  std::shared_ptr<Mapping> mapping;
  Iterator walk;

  auto next() {
    if (mapping->graph == nullptr) raise_released();
    auto item = walk.next();
    if (!item) throw py::stop_iteration();
    return *item;
  }
};

using PyNodeIterator = PyIterator<graph::iterators::NodeIterator>;
using PyRelationIterator = PyIterator<graph::iterators::RelationIterator>;

// One consistent scene: the C++ SceneView over the graph's mapping. Every call
// checks that the graph is still mapped, as the iterators do.
class View {
 public:
  View(std::shared_ptr<Mapping> mapping, const KnowledgeGraph& g)
      : mapping_(std::move(mapping)), view_(g) {}
  // A region's view with its recording behind it (Graph.attach(recording=...)).
  View(std::shared_ptr<Mapping> mapping, recording::SceneView second)
      : mapping_(std::move(mapping)), view_(second.live()), second_(std::move(second)) {}

  const graph::SceneView& get() const {
    if (mapping_->graph == nullptr) raise_released();
    return view_;
  }
  // What answers reads as of t: the region's view, or (for t before the
  // region's horizon) the recording behind it.
  template <class Read> auto as_of(std::optional<std::uint64_t> t, Read read) const {
    const graph::SceneView& live = get();
    if (second_ && t) return read(*second_);
    return read(live);
  }

 private:
  std::shared_ptr<Mapping> mapping_;
  graph::SceneView view_;
  std::optional<recording::SceneView> second_;
};

class Graph {
 public:
  static std::unique_ptr<Graph> open() {
    auto g = std::make_unique<Graph>();
    g->mapping_->session = open_session(false);
    g->mapping_->graph = &g->mapping_->session->graph();
    return g;
  }

  static std::unique_ptr<Graph> attach(std::shared_ptr<const recording::Recording> second = nullptr) {
    auto g = std::make_unique<Graph>();
    g->mapping_->session = open_session(true);
    g->mapping_->graph = &g->mapping_->session->graph();
    g->mapping_->read_only = true;
    if (second) g->second_ = std::make_shared<recording::SceneReader>(*g->mapping_->graph, std::move(second));
    return g;
  }

  static std::unique_ptr<Graph> new_boxed() {
    auto g = std::make_unique<Graph>();
    g->mapping_->boxed = KnowledgeGraph::new_boxed();
    g->mapping_->graph = g->mapping_->boxed.get();
    return g;
  }

  // A private graph holding a snapshot file's published state, Removed versions
  // and relation lists included.
  static std::unique_ptr<Graph> load(const std::string& path) {
    varnel::inspect::Snapshot snapshot;
    std::string error;
    if (!varnel::inspect::read_snapshot_file(path, snapshot, error))
      raise(module_types().snapshot_file_error, error);
    auto g = new_boxed();
    if (!varnel::inspect::install_snapshot(snapshot, *g->mapping_->graph, error))
      raise(module_types().snapshot_file_error, path + ": " + error);
    return g;
  }

  void save(const std::string& path) const {
    varnel::inspect::Snapshot snapshot;
    std::string error;
    if (!varnel::inspect::take_snapshot(reader(), snapshot, error))
      raise(module_types().snapshot_file_error, "cannot save the graph: " + error);
    if (!varnel::inspect::write_snapshot_file(snapshot, path, error))
      raise(module_types().snapshot_file_error, error);
  }

  // A batch still open is dropped first, so the region is not left in
  // transaction mode for the next writer.
  void release() {
    if (in_transaction_ && !closed()) end_batch(false);
    second_.reset();
    mapping_->release();
    in_transaction_ = false;
  }

  bool closed() const { return mapping_->graph == nullptr; }
  bool read_only() const { return mapping_->read_only; }
  bool is_private() const { return mapping_->boxed != nullptr; }
  bool region_already_existed() const {
    return mapping_->session != nullptr && mapping_->session->already_existed();
  }
  bool in_transaction() const { return in_transaction_; }

  // Whether a live process holds the region's writer lock (a paused host is
  // alive, a killed one is not). A private graph's only writer is this process.
  bool writer_alive() const {
    if (closed()) raise_released();
    if (is_private()) return true;
    const auto probe = mapping_->session->probe_writer();
    if (probe.presence == memory_interface::WriterPresence::Unknown) {
      raise(module_types().region_error,
            "cannot tell whether a host writes the region \"KnowledgeGraph\": " +
                mapping_->session->writer_presence());
    }
    return probe.presence == memory_interface::WriterPresence::Alive;
  }

  std::string repr() const {
    if (closed()) return "<varnel.Graph released>";
    if (is_private()) return "<varnel.Graph private>";
    return std::string("<varnel.Graph region \"KnowledgeGraph\" ") +
           (read_only() ? "read-only>" : "read-write>");
  }

  // ---- Graph-wide ----
  const KnowledgeGraph& reader() const { return mapped(*mapping_); }
  KnowledgeGraph& writer() {
    if (mapping_->graph == nullptr) raise_released();
    if (mapping_->read_only) {
      raise(module_types().read_only_error, "the graph is attached read-only; writes need Graph.open()");
    }
    if (!mapping_->may_write()) {
      raise_refusal(graph::WriteStatus::NotWriter,
                    "write refused: another live process writes the region \"" +
                        mapping_->session->name() + "\"");
    }
    return *mapping_->graph;
  }

  // ---- The history window (a region writer's session keeps it) ----
  graph_session::GraphSession& window_session() const {
    if (mapping_->graph == nullptr) raise_released();
    if (!mapping_->session) raise(module_types().varnel_error, "a private graph has no history window");
    return *mapping_->session;
  }
  void set_history_window(std::uint64_t window) {
    if (mapping_->read_only) {
      raise(module_types().read_only_error, "the graph is attached read-only; a window needs Graph.open()");
    }
    window_session().set_history_window(window);
  }
  void commit_transaction() {
    KnowledgeGraph& g = writer();
    mapping_->commit(g);
  }

  // ---- Transactions ----
  void begin_batch() {
    KnowledgeGraph& g = writer();
    if (in_transaction_) raise(module_types().varnel_error, "a transaction is already open");
    g.set_autocommit(false);
    g.start_transaction();
    in_transaction_ = true;
  }

  void end_batch(bool commit) {
    if (!in_transaction_ || closed()) return;
    in_transaction_ = false;
    KnowledgeGraph& g = writer();
    if (commit) {
      mapping_->commit(g);
      // The gate again, between batches: where the history window looks at the room.
      (void)mapping_->may_write();
    }
    // Back in autocommit mode an uncommitted batch is dropped; readers keep what
    // was published.
    g.set_autocommit(true);
  }

  // ---- Writes ----
  Index add_node(std::uint64_t timestamp, std::uint64_t id, const types::KnowledgeGraphNode& value) {
    const auto result = writer().add_node(timestamp, id, value);
    if (!result.stored())
      refused("add_node", graph::describe_node(Index(value.type_index(), id)), result);
    return result.value;
  }

  Index update_node(std::uint64_t timestamp, std::uint64_t id, const types::KnowledgeGraphNode& value) {
    const auto result = writer().update_node(timestamp, id, value);
    if (!result.stored())
      refused("update_node", graph::describe_node(Index(value.type_index(), id)), result);
    return result.value;
  }

  bool remove_node(std::uint64_t timestamp, Index node, bool missing_ok) {
    return removed(writer().remove_node(timestamp, node), missing_ok, "remove_node", graph::describe_node(node));
  }

  Index add_relation(std::uint64_t timestamp, std::uint64_t id, const types::KnowledgeGraphRelation& value,
                     Index from, Index to) {
    const auto result = writer().add_relation(timestamp, id, value, from, to);
    if (!result.stored()) {
      refused("add_relation", graph::describe_relation(Index(value.type_index(), id)), result,
              "from " + graph::describe_node(from) + " to " + graph::describe_node(to));
    }
    return result.value;
  }

  bool remove_relation(std::uint64_t timestamp, Index relation, bool missing_ok) {
    return removed(writer().remove_relation(timestamp, relation), missing_ok, "remove_relation",
                   graph::describe_relation(relation));
  }

  // ---- Reads ----
  std::optional<graph::NodeRecord> latest_node_record(Index node) const {
    const KnowledgeGraph& g = reader();
    return copy_latest<graph::NodeRecord>(g, [&] { return g.get_latest_node_record(node); });
  }
  std::optional<types::KnowledgeGraphNode> latest_node_value(Index node) const {
    const KnowledgeGraph& g = reader();
    return copy_latest<types::KnowledgeGraphNode>(g, [&] { return g.get_latest_node_value(node); });
  }
  std::optional<graph::RelationRecord> latest_relation_record(Index relation) const {
    const KnowledgeGraph& g = reader();
    return copy_latest<graph::RelationRecord>(g, [&] { return g.get_latest_relation_record(relation); });
  }
  std::optional<types::KnowledgeGraphRelation> latest_relation_value(Index relation) const {
    const KnowledgeGraph& g = reader();
    return copy_latest<types::KnowledgeGraphRelation>(g, [&] { return g.get_latest_relation_value(relation); });
  }

  View view() const {
    const KnowledgeGraph& g = reader();
    View made = second_ ? View(mapping_, second_->view()) : View(mapping_, g);
    seen_ = made.get().last_update();
    return made;
  }

  // Sleeps in slices, so that Ctrl-C and a release() from another thread end it.
  std::optional<std::uint64_t> wait(std::optional<double> timeout, std::optional<std::uint64_t> after) {
    const KnowledgeGraph& g = reader();
    if (timeout && !(*timeout >= 0)) throw py::value_error("timeout must be a number of seconds >= 0 or None");
    const std::uint64_t from = after ? *after : seen_ ? *seen_ : g.last_update();
    using Clock = std::chrono::steady_clock;
    const auto limit = timeout ? std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                     std::min(*timeout, 1e9)))
                               : Clock::duration::max();
    const auto start = Clock::now();
    Mapping& mapping = *mapping_;
    for (;;) {
      const auto spent = Clock::now() - start;
      const auto slice = std::min<Clock::duration>(limit - std::min(spent, limit), std::chrono::milliseconds(200));
      std::optional<std::uint64_t> published;
      mapping.waiting.fetch_add(1);
      {
        py::gil_scoped_release unlocked;
        published = graph::wait_for_publication(g, from, slice, &mapping.stop_waits);
        mapping.waiting.fetch_sub(1);
      }
      if (published) {
        seen_ = published;
        return published;
      }
      if (mapping.stop_waits.load()) raise_released();
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (Clock::now() - start >= limit) return std::nullopt;
    }
  }

  PyNodeIterator nodes_iter(const Interval& interval, std::uint64_t kind) const {
    return PyNodeIterator{mapping_, reader().nodes_iter(interval, kind)};
  }
  PyRelationIterator relations_iter(const Interval& interval, std::uint64_t kind) const {
    return PyRelationIterator{mapping_, reader().relations_iter(interval, kind)};
  }

 private:
  template <class T>
  [[noreturn]] static void refused(std::string_view operation, const std::string& subject,
                                   const graph::WriteResult<T>& result, const std::string& ends = {}) {
    raise_refusal(result.status,
                  graph::describe_refusal(operation, subject, result.status, result.limit, ends));
  }

  static bool removed(const graph::WriteResult<bool>& result, bool missing_ok,
                      std::string_view operation, const std::string& subject) {
    if (result.stored()) return true;
    if (missing_ok && result.status == graph::WriteStatus::NotFound) return false;
    refused(operation, subject, result);
  }

  std::shared_ptr<Mapping> mapping_ = std::make_shared<Mapping>();
  bool in_transaction_ = false;
  mutable std::optional<std::uint64_t> seen_;  // the last update of the latest view() or wait()
  std::shared_ptr<recording::SceneReader> second_;  // the recording behind an attached region
};

struct Transaction {
  Graph* graph;
};

// ---- Arguments --------------------------------------------------------------

types::KnowledgeGraphNode node_value_arg(py::handle kind_or_value, const py::dict& attributes) {
  if (py::isinstance<types::KnowledgeGraphNode>(kind_or_value)) {
    if (!attributes.empty()) throw py::type_error("attributes are given either as a Node or as keywords");
    const auto& value = kind_or_value.cast<const types::KnowledgeGraphNode&>();
    node_kind_arg(py::int_(value.type_index()));
    return value;
  }
  return make_node(node_kind_arg(kind_or_value), attributes);
}

types::KnowledgeGraphRelation relation_value_arg(py::handle kind_or_value, const py::dict& attributes) {
  if (py::isinstance<types::KnowledgeGraphRelation>(kind_or_value)) {
    if (!attributes.empty()) throw py::type_error("attributes are given either as a Relation or as keywords");
    const auto& value = kind_or_value.cast<const types::KnowledgeGraphRelation&>();
    relation_kind_arg(py::int_(value.type_index()));
    return value;
  }
  return make_relation(relation_kind_arg(kind_or_value), attributes);
}

// The names of the exported per-kind functions: the kind name in lower case.
std::string lower(std::string_view name) {
  std::string text(name);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* keep(std::string text) {
  static std::deque<std::string> texts;  // pybind11 keeps the pointers of names
  return texts.emplace_back(std::move(text)).c_str();
}

// ---- Bindings -----------------------------------------------------------------

std::string path_arg(py::handle path) {
  const py::object text = py::module_::import("os").attr("fspath")(path);
  if (!py::isinstance<py::str>(text)) throw py::type_error("path must be a str or os.PathLike of str");
  return text.cast<std::string>();
}

// A Recording, or the path of one, as a second source (defined with Recording).
std::shared_ptr<const recording::Recording> recording_arg(py::handle second);

void bind_lifecycle(py::class_<Graph>& c) {
  c.def_static("open", &Graph::open,
               "Set up the shared region \"KnowledgeGraph\" as a host does: create it (zero-filled) "
               "or open it, switch autocommit on and clear the graph. Raises RegionError.")
      .def_static("attach", [](py::handle second) {
        return Graph::attach(second.is_none() ? nullptr : recording_arg(second));
      }, py::kw_only(), py::arg("recording") = py::none(),
                  "Map the live region read-only, as a reader: nothing is reset, writes raise "
                  "ReadOnlyError. Raises RegionError when no host has set the region up. "
                  "recording= (a path or a Recording of this region's drive) is a second source: "
                  "reads as of t older than the region's horizon (the keep_since of its last "
                  "compaction, as the recording tells it) are answered from the recording, as if the "
                  "region had kept everything. view() raises RecordingError when the recording "
                  "does not hold the region's history (another scene, another drive with the same "
                  "counts, or it ended before the region's "
                  "last update); such a read that the recording does not cover raises it too.")
      .def_static("new_boxed", &Graph::new_boxed, "A private, empty graph in this process's memory.")
      .def_static("load", [](py::handle path) { return Graph::load(path_arg(path)); }, py::arg("path"),
                  "A private graph holding the published state saved in a snapshot file (as "
                  "save() or varnel-inspect write them). Raises SnapshotFileError for a missing, "
                  "damaged or foreign file.")
      .def("save", [](const Graph& g, py::handle path) { g.save(path_arg(path)); }, py::arg("path"),
           "Write the published state to a snapshot file, every version kept. The file is "
           "replaced at once, or left as it was when saving fails (SnapshotFileError).")
      .def("release", &Graph::release,
           "Unmap the region (or free the private graph). The region's content lives on while any "
           "process holds it. Idempotent.")
      .def("close", &Graph::release, "Same as release().")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Graph& g, py::args) { g.release(); return false; })
      .def_property_readonly("closed", &Graph::closed)
      .def_property_readonly("read_only", &Graph::read_only)
      .def_property_readonly("is_private", &Graph::is_private)
      .def_property_readonly("region_already_existed", &Graph::region_already_existed,
                             "Whether another process had created the region before open().")
      .def("__repr__", &Graph::repr);
}

py::tuple fill_pair(const graph::ArrayFill& fill) { return py::make_tuple(fill.used, fill.capacity); }

py::dict fill_dict(const graph::Fill& fill) {
  const ModuleTypes& t = module_types();
  py::dict node_versions, relation_versions;
  for (std::uint64_t k = 0; k < graph::kNodeKinds; ++k)
    node_versions[t.node_kind(k)] = fill_pair(fill.node_versions[k]);
  for (std::uint64_t k = 0; k < graph::kRelationKinds; ++k)
    relation_versions[t.relation_kind(k)] = fill_pair(fill.relation_versions[k]);
  py::dict result;
  result["node_versions"] = node_versions;
  result["node_values"] = fill_pair(fill.node_values);
  result["relation_versions"] = relation_versions;
  result["relation_values"] = fill_pair(fill.relation_values);
  return result;
}

void bind_graph_wide(py::class_<Graph>& c) {
  c.def("clear", [](Graph& g) { g.writer().clear(); }, "Empty the graph; last_update() is kept.")
      .def("compact", [](Graph& g, std::uint64_t keep_since) {
        const auto result = g.writer().compact(keep_since);
        if (!result.stored()) raise_refused(result.status, "compact to " + std::to_string(keep_since));
        return result.value;
      }, py::arg("keep_since"),
         "Drop the history before keep_since: keep every version stamped at or after it and "
         "each instance's older latest version when Valid. Returns the versions kept. Raises "
         "WriteRefused (status InsideBatch) inside a transaction.")
      .def("is_empty", [](const Graph& g) { return g.reader().is_empty(); })
      .def("node_count", [](const Graph& g) { return g.reader().node_count(); },
           "Stored node versions (not distinct nodes) in the published state.")
      .def("relation_count", [](const Graph& g) { return g.reader().relation_count(); })
      .def("last_update", [](const Graph& g) { return g.reader().last_update(); })
      .def("fill", [](const Graph& g) { return fill_dict(g.reader().fill()); },
           "How full every fixed array is in the published state: a dict with 'node_versions' "
           "({NodeKind: (used, capacity)}), 'node_values' ((used, capacity)), 'relation_versions' "
           "({RelationKind: (used, capacity)}) and 'relation_values'.")
      .def_property_readonly("autocommit", [](const Graph& g) { return g.reader().autocommit_enabled(); })
      .def("set_autocommit", [](Graph& g, bool value) { g.writer().set_autocommit(value); }, py::arg("value"))
      .def("start_transaction", [](Graph& g) { g.writer().start_transaction(); })
      .def("commit_transaction", &Graph::commit_transaction)
      .def_property(
          "history_window", [](const Graph& g) { return g.window_session().history_window(); },
          &Graph::set_history_window,
          "The history window, in the host's time units (ms in practice); 0 (the default) is off. "
          "Set, the library keeps room by itself between batches: when an array could pass 80 % "
          "within the next batch it compacts, keeping this much history, less (halving, down to "
          "the present scene alone) while an array stays above 50 %; it resets the graph only "
          "when the present scene plus one batch does not fit (logged at warn level, counted in "
          "history_resets: re-add the scene then). Graph.open() graphs only (VarnelError for a "
          "private graph, ReadOnlyError for an attached one).")
      .def_property_readonly("history_held", [](const Graph& g) { return g.window_session().history_held(); },
                             "The history the window's last compaction kept (last_update() minus its "
                             "keep_since); 0 before the first.")
      .def_property_readonly("history_compactions",
                             [](const Graph& g) { return g.window_session().history_compactions(); },
                             "Compactions the history window made since this graph was opened.")
      .def_property_readonly("history_resets",
                             [](const Graph& g) { return g.window_session().history_resets(); },
                             "Resets the history window made since this graph was opened: the "
                             "present scene did not fit; re-add it when this moves.")
      .def("transaction", [](Graph& g) { return Transaction{&g}; }, py::keep_alive<0, 1>(),
           "A context manager for one batch: on entry set_autocommit(False) and "
           "start_transaction(); on success commit_transaction() and set_autocommit(True). If the "
           "block raises, set_autocommit(True) alone: the uncommitted batch is dropped and the "
           "exception propagates. Readers see the graph before the batch or the committed batch, "
           "never part of it. After a clear() in the block, the empty graph is published just "
           "before the first write that reuses a slot of the old graph; a dropped batch leaves it "
           "so. In transaction mode a write with no open batch opens one itself.")
      .def_property_readonly("in_transaction", &Graph::in_transaction)
      .def("writer_alive", &Graph::writer_alive,
           "Whether a live process holds the region's writer lock: True for a paused host, False "
           "once it has ended or was killed (the scene then stays as it left it). Asks the "
           "operating system on every call. A private graph: True (this process writes it).");
}

void bind_generic_writes(py::class_<Graph>& c) {
  c.def("add_node", [](Graph& g, std::uint64_t ts, std::uint64_t id, py::handle kind, py::kwargs attributes) {
         return g.add_node(ts, id, node_value_arg(kind, attributes));
       }, py::arg("timestamp"), py::arg("instance_id"), py::arg("kind"),
       "Append a version of node (kind, instance_id); `kind` is a NodeKind with the attributes as "
       "keywords, or a Node. Returns its Index; raises WriteRefused.")
      .def("update_node", [](Graph& g, std::uint64_t ts, std::uint64_t id, py::handle kind, py::kwargs attributes) {
         return g.update_node(ts, id, node_value_arg(kind, attributes));
       }, py::arg("timestamp"), py::arg("instance_id"), py::arg("kind"),
       "Append a version of an existing node with the new attributes and the relations of its latest "
       "version, Valid. A moving object is written this way: add_node starts with empty lists. "
       "Returns its Index; a node without versions raises NotFoundError.")
      .def("remove_node", [](Graph& g, std::uint64_t ts, py::handle node, bool missing_ok) {
        return g.remove_node(ts, node_index_arg(node), missing_ok);
      }, py::arg("timestamp"), py::arg("node"), py::kw_only(), py::arg("missing_ok") = false,
      "Append a Removed version and remove the relations it lists. True when done; a node without "
      "versions raises NotFoundError, or gives False with missing_ok=True.")
      .def("add_relation", [](Graph& g, std::uint64_t ts, std::uint64_t id, py::handle kind, py::handle from,
                              py::handle to, py::kwargs attributes) {
        return g.add_relation(ts, id, relation_value_arg(kind, attributes), node_index_arg(from),
                              node_index_arg(to));
      }, py::arg("timestamp"), py::arg("instance_id"), py::arg("kind"), py::arg("from_node"),
      py::arg("to_node"),
      "Join two nodes (Index or (kind, id) pairs). Returns the relation's Index; a node without "
      "versions raises NotFoundError (status NodeMissing), a full list CapacityError.")
      .def("remove_relation", [](Graph& g, std::uint64_t ts, py::handle relation, bool missing_ok) {
        return g.remove_relation(ts, relation_index_arg(relation), missing_ok);
      }, py::arg("timestamp"), py::arg("relation"), py::kw_only(), py::arg("missing_ok") = false);
}

// add_car_node, remove_car_node, ..., add_ison_relation, ...: the host's calls.
void bind_kind_writes(py::class_<Graph>& c) {
  for (std::uint64_t kind = 1; kind < types::kNodeKindCount; ++kind) {
    const std::string name = lower(types::node_kind_name(kind));
    c.def(keep("add_" + name + "_node"), [kind](Graph& g, std::uint64_t ts, std::uint64_t id, py::kwargs attributes) {
       return g.add_node(ts, id, make_node(kind, attributes));
     }, py::arg("timestamp"), py::arg("instance_id"),
     keep("add_node(timestamp, instance_id, NodeKind." + std::string(types::node_kind_name(kind)) +
          ", **attributes)"));
    c.def(keep("update_" + name + "_node"), [kind](Graph& g, std::uint64_t ts, std::uint64_t id, py::kwargs attributes) {
       return g.update_node(ts, id, make_node(kind, attributes));
     }, py::arg("timestamp"), py::arg("instance_id"),
     keep("update_node(timestamp, instance_id, NodeKind." + std::string(types::node_kind_name(kind)) +
          ", **attributes)"));
    c.def(keep("remove_" + name + "_node"), [kind](Graph& g, std::uint64_t ts, std::uint64_t id, bool missing_ok) {
       return g.remove_node(ts, Index(kind, id), missing_ok);
     }, py::arg("timestamp"), py::arg("instance_id"), py::kw_only(), py::arg("missing_ok") = false);
  }
  for (std::uint64_t kind = 1; kind < types::kRelationKindCount; ++kind) {
    const std::string name = lower(types::relation_kind_name(kind));
    c.def(keep("add_" + name + "_relation"), [kind](Graph& g, std::uint64_t ts, std::uint64_t id, py::handle from,
                                                   py::handle to, py::kwargs attributes) {
       return g.add_relation(ts, id, make_relation(kind, attributes), node_index_arg(from), node_index_arg(to));
     }, py::arg("timestamp"), py::arg("instance_id"), py::arg("from_node"), py::arg("to_node"),
     keep("add_relation(timestamp, instance_id, RelationKind." +
          std::string(types::relation_kind_name(kind)) + ", from_node, to_node, **attributes)"));
    c.def(keep("remove_" + name + "_relation"), [kind](Graph& g, std::uint64_t ts, std::uint64_t id, bool missing_ok) {
       return g.remove_relation(ts, Index(kind, id), missing_ok);
     }, py::arg("timestamp"), py::arg("instance_id"), py::kw_only(), py::arg("missing_ok") = false);
  }
}

void bind_reads(py::class_<Graph>& c) {
  c.def("get_latest_node_record", [](const Graph& g, py::handle node) {
         return g.latest_node_record(node_index_arg(node));
       }, py::arg("node"), "A copy of the node's latest version (Removed ones included), or None.")
      .def("get_latest_node_value", [](const Graph& g, py::handle node) {
        return g.latest_node_value(node_index_arg(node));
      }, py::arg("node"), "The node's current value, or None when it has none or is removed.")
      .def("get_nodes_of_type", [](const Graph& g, const Interval& interval, py::handle kind) {
        return g.reader().get_nodes_of_type(interval, node_kind_arg(kind));
      }, py::arg("interval"), py::arg("kind"),
      "One item per instance whose latest version inside the interval is Valid, by instance id.")
      .def("get_all_nodes", [](const Graph& g, const Interval& interval) {
        return g.reader().get_all_nodes(interval);
      }, py::arg("interval"))
      .def("nodes_iter", [](const Graph& g, const Interval& interval, py::handle kind) {
        return g.nodes_iter(interval, node_kind_arg(kind));
      }, py::arg("interval"), py::arg("kind"),
      "Every stored version of the kind inside the interval, oldest first, as of now.")
      .def("get_latest_relation_record", [](const Graph& g, py::handle relation) {
        return g.latest_relation_record(relation_index_arg(relation));
      }, py::arg("relation"))
      .def("get_latest_relation_value", [](const Graph& g, py::handle relation) {
        return g.latest_relation_value(relation_index_arg(relation));
      }, py::arg("relation"))
      .def("get_relations_of_type", [](const Graph& g, const Interval& interval, py::handle kind) {
        return g.reader().get_relations_of_type(interval, relation_kind_arg(kind));
      }, py::arg("interval"), py::arg("kind"))
      .def("get_all_relations", [](const Graph& g, const Interval& interval) {
        return g.reader().get_all_relations(interval);
      }, py::arg("interval"))
      .def("relations_iter", [](const Graph& g, const Interval& interval, py::handle kind) {
        return g.relations_iter(interval, relation_kind_arg(kind));
      }, py::arg("interval"), py::arg("kind"));
}

template <class It> void bind_iterator(py::module_& m, const char* name, const char* doc) {
  py::class_<It>(m, name, doc)
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &It::next)
      .def_property_readonly("overtaken", [](const It& it) { return it.walk.overtaken(); },
                             "True when a clear() by the writer ended the walk early; start a new one.")
      .def_property_readonly("type_index", [](const It& it) { return it.walk.type_index; })
      .def_property_readonly("interval", [](const It& it) { return it.walk.interval; });
}

void bind_transaction(py::module_& m) {
  py::class_<Transaction>(m, "Transaction", "The context manager that Graph.transaction() returns.")
      .def("__enter__", [](py::object self) {
        self.cast<Transaction&>().graph->begin_batch();
        return self;
      })
      .def("__exit__", [](Transaction& t, py::handle type, py::handle, py::handle) {
        t.graph->end_batch(type.is_none());
        return false;
      });
}

// ---- SceneView ----------------------------------------------------------------

graph::NodeIndex node_arg(py::handle index) { return graph::NodeIndex::of(node_index_arg(index)); }
graph::RelationIndex relation_arg(py::handle index) {
  return graph::RelationIndex::of(relation_index_arg(index));
}

py::list neighbours_list(const std::vector<graph::Neighbour>& found) {
  py::list result;
  for (const graph::Neighbour& n : found) result.append(py::make_tuple(py::cast(n.relation), py::cast(n.node)));
  return result;
}

py::dict counts_dict(const graph::KindCounts& counts) {
  const ModuleTypes& t = module_types();
  py::dict nodes, relations;
  for (std::uint64_t k = 1; k < types::kNodeKindCount; ++k) nodes[t.node_kind(k)] = counts.nodes[k];
  for (std::uint64_t k = 1; k < types::kRelationKindCount; ++k) relations[t.relation_kind(k)] = counts.relations[k];
  py::dict result;
  result["nodes"] = nodes;
  result["relations"] = relations;
  return result;
}

// The time just before a window: versions stamped up to it precede the window.
std::optional<std::uint64_t> before_window(const Interval& window) {
  if (!window.includes(window.start)) return window.start;  // an open start
  if (window.start == 0) return std::nullopt;
  return window.start - 1;
}

// A kind's versions in the view as numpy columns; a plain int is ambiguous.
py::object columns(const graph::SceneView& s, py::handle kind, py::handle window, bool value_changes) {
  const ModuleTypes& t = module_types();
  const bool node = py::isinstance(kind, t.node_kind);
  if (!node && !py::isinstance(kind, t.relation_kind)) {
    throw py::type_error("columns() takes a NodeKind or a RelationKind, got " +
                         py::repr(kind).cast<std::string>());
  }
  std::optional<Interval> interval;
  if (!window.is_none()) {
    if (!py::isinstance<Interval>(window))
      throw py::type_error("window must be an Interval or None, got " + py::repr(window).cast<std::string>());
    interval = window.cast<Interval>();
  }
  require_numpy();
  // What each instance was before the window, for the `change` of its first version in it.
  // (A flag and a time, not an optional: GCC takes the optional's value for
  // uninitialized where it is read under the check.)
  bool has_before = false;
  std::uint64_t before = 0;
  if (interval) {
    if (const auto time = before_window(*interval)) {
      has_before = true;
      before = *time;
    }
  }
  if (node) {
    const std::uint64_t k = node_kind_arg(kind);
    std::vector<graph::NodeVersion> versions;
    std::map<std::uint64_t, graph::NodeVersion> previous;
    {
      py::gil_scoped_release unlocked;
      versions = s.node_versions(static_cast<graph::NodeKind>(k), interval);
      if (has_before) {
        for (const graph::NodeItem& item : s.nodes_as_of(static_cast<graph::NodeKind>(k), before))
          previous[item.record.instance_id] =
              graph::NodeVersion{item.record.instance_id, item.record.timestamp, item.record.marker, item.value};
      }
    }
    return node_columns(k, versions, std::move(previous), value_changes);
  }
  const std::uint64_t k = relation_kind_arg(kind);
  std::vector<graph::RelationVersion> versions;
  std::map<std::uint64_t, graph::RelationVersion> previous;
  {
    py::gil_scoped_release unlocked;
    versions = s.relation_versions(static_cast<graph::RelationKind>(k), interval);
    if (has_before) {
      for (const graph::RelationItem& item : s.relations_as_of(static_cast<graph::RelationKind>(k), before))
        previous[item.record.instance_id] =
            graph::RelationVersion{item.record.instance_id, item.record.timestamp, item.record.from,
                                   item.record.to, item.record.marker, item.value};
    }
  }
  return relation_columns(k, versions, std::move(previous), value_changes);
}

py::object columns_as(const graph::SceneView& s, py::handle kind, py::handle window, bool flat,
                      bool value_changes) {
  py::object rows = columns(s, kind, window, value_changes);
  if (!flat) return rows;
  return flat_columns(rows);
}

py::object to_pandas(const graph::SceneView& s, py::handle kind, py::handle window, bool value_changes) {
  require_pandas();
  py::dict flat = flat_columns(columns(s, kind, window, value_changes));
  return py::module_::import("pandas").attr("DataFrame")(flat);
}

constexpr const char* kColumnsDoc =
    "A kind's versions as a numpy structured array, one row per stored version in write order "
    "(Removed ones included; not per instance): instance_id, timestamp, marker (compare with "
    "Marker.Valid), for relations from_kind, from_id, to_kind, to_id, then the kind's attributes "
    "by name (vectors as float32 rows, names as bytes), then `change`: b'value' (a first version, "
    "a new value, a revival, new endpoints), b'lists' (the value as before: a relation of the node "
    "was added or removed, which appends a version of both its nodes with that relation's "
    "timestamp) or b'removed'. With a window, only the versions stamped inside it. "
    "value_changes=True keeps one row per (instance, timestamp): its last version that is not a "
    "'lists' change, so that per-tick statistics count each instance once. flat=True gives a dict "
    "of 1-D arrays instead (vectors split into NAME_x, NAME_y, NAME_z; names and `change` as str), "
    "which pandas.DataFrame takes. Needs numpy (ImportError otherwise).";

constexpr const char* kToPandasDoc =
    "columns(kind, window, flat=True, value_changes=...) as a pandas DataFrame: one row per version, "
    "vectors as NAME_x/_y/_z columns, names and `change` as str. Needs pandas (Debian: "
    "python3-pandas; ImportError otherwise).";

void bind_view(py::module_& m) {
  using graph::SceneView;
  py::class_<View>(m, "SceneView",
                   "One consistent scene: every query answers from the one publication the view "
                   "was made from, whatever the writer does meanwhile. Results are copies. A clear() "
                   "by the writer that reuses the view's slots makes later queries answer empty and "
                   "`overtaken` True; make a new view then. Kinds are NodeKind/RelationKind, "
                   "indexes Index or (kind, instance_id) pairs.")
      .def_property_readonly("overtaken", [](const View& v) { return v.get().overtaken(); },
                             "Whether a clear() may have reused the view's slots; answers are empty then.")
      .def_property_readonly("last_update", [](const View& v) { return v.get().last_update(); },
                             "Timestamp of the publication the view shows.")
      .def("nodes", [](const View& v, py::handle kind) {
        const SceneView& s = v.get();
        if (kind.is_none()) return s.all_nodes();
        return s.nodes(static_cast<graph::NodeKind>(node_kind_arg(kind)));
      }, py::arg("kind") = py::none(),
      "Current state: per instance its latest version if Valid, of one kind or of all (by kind, "
      "then instance id).")
      .def("relations", [](const View& v, py::handle kind) {
        const SceneView& s = v.get();
        if (kind.is_none()) return s.all_relations();
        return s.relations(static_cast<graph::RelationKind>(relation_kind_arg(kind)));
      }, py::arg("kind") = py::none())
      .def("nodes_as_of", [](const View& v, py::handle kind, std::uint64_t t) {
        return v.as_of(t, [&](const auto& s) {
          if (kind.is_none()) return s.all_nodes_as_of(t);
          return s.nodes_as_of(static_cast<graph::NodeKind>(node_kind_arg(kind)), t);
        });
      }, py::arg("kind") = py::none(), py::kw_only(), py::arg("t"),
      "The state at t: per instance its latest version stamped <= t, if Valid. An instance "
      "written before t and not touched since is part of it. The kind comes first, as in C++ "
      "(None: every kind); t is keyword-only: nodes_as_of(NodeKind.Lane, t=5000).")
      .def("relations_as_of", [](const View& v, py::handle kind, std::uint64_t t) {
        return v.as_of(t, [&](const auto& s) {
          if (kind.is_none()) return s.all_relations_as_of(t);
          return s.relations_as_of(static_cast<graph::RelationKind>(relation_kind_arg(kind)), t);
        });
      }, py::arg("kind") = py::none(), py::kw_only(), py::arg("t"),
      "As nodes_as_of: relations_as_of(RelationKind.isOn, t=5000).")
      .def("nodes_in", [](const View& v, const Interval& window, py::handle kind) {
        const SceneView& s = v.get();
        if (kind.is_none()) return s.all_nodes_in(window);
        return s.nodes_in(static_cast<graph::NodeKind>(node_kind_arg(kind)), window);
      }, py::arg("window"), py::arg("kind") = py::none(),
      "Versions stamped inside the window: per instance the latest of them, if Valid. An instance "
      "not written inside the window is missing; use nodes_as_of for what existed then.")
      .def("relations_in", [](const View& v, const Interval& window, py::handle kind) {
        const SceneView& s = v.get();
        if (kind.is_none()) return s.all_relations_in(window);
        return s.relations_in(static_cast<graph::RelationKind>(relation_kind_arg(kind)), window);
      }, py::arg("window"), py::arg("kind") = py::none())
      .def("node", [](const View& v, py::handle index) { return v.get().node(node_arg(index)); },
           py::arg("node"), "The node's latest version if Valid, else None.")
      .def("node_at", [](const View& v, py::handle index, std::uint64_t t) {
        return v.as_of(t, [&](const auto& s) { return s.node_at(node_arg(index), t); });
      }, py::arg("node"), py::arg("t"), "The node as of t, or None.")
      .def("relation", [](const View& v, py::handle index) { return v.get().relation(relation_arg(index)); },
           py::arg("relation"))
      .def("relation_at", [](const View& v, py::handle index, std::uint64_t t) {
        return v.as_of(t, [&](const auto& s) { return s.relation_at(relation_arg(index), t); });
      }, py::arg("relation"), py::arg("t"))
      .def("history", [](const View& v, py::handle index) { return v.get().history(node_arg(index)); },
           py::arg("node"), "Every version of one node, oldest first, Removed ones included.")
      .def("relation_history", [](const View& v, py::handle index) {
        return v.get().history(relation_arg(index));
      }, py::arg("relation"), "Every version of one relation, oldest first, Removed ones included.")
      .def("outgoing", [](const View& v, py::handle node, py::handle kind, std::optional<std::uint64_t> t) {
        return neighbours_list(v.as_of(t, [&](const auto& s) {
          return s.outgoing(node_arg(node), static_cast<graph::RelationKind>(relation_kind_arg(kind)), t);
        }));
      }, py::arg("node"), py::arg("kind"), py::arg("t") = py::none(),
      "(RelationItem, NodeItem) pairs: the relations of `kind` leaving the node and the node at "
      "their other end, all Valid as of t (default: current).")
      .def("incoming", [](const View& v, py::handle node, py::handle kind, std::optional<std::uint64_t> t) {
        return neighbours_list(v.as_of(t, [&](const auto& s) {
          return s.incoming(node_arg(node), static_cast<graph::RelationKind>(relation_kind_arg(kind)), t);
        }));
      }, py::arg("node"), py::arg("kind"), py::arg("t") = py::none(),
      "(RelationItem, NodeItem) pairs: the relations of `kind` reaching the node and the node "
      "they come from.")
      .def("relations_between", [](const View& v, py::handle from, py::handle to, std::optional<std::uint64_t> t) {
        return v.as_of(t, [&](const auto& s) { return s.relations_between(node_arg(from), node_arg(to), t); });
      }, py::arg("from_node"), py::arg("to_node"), py::arg("t") = py::none(),
      "Relations of any kind from one node to the other, Valid as of t (default: current).")
      .def("counts", [](const View& v) { return counts_dict(v.get().counts()); },
           "Instances per kind in the current state: {'nodes': {NodeKind: n}, 'relations': "
           "{RelationKind: n}} (Empty left out).")
      .def("versions", [](const View& v, py::handle kind) {
        const ModuleTypes& t = module_types();
        if (py::isinstance(kind, t.node_kind))
          return v.get().versions(static_cast<graph::NodeKind>(node_kind_arg(kind)));
        if (py::isinstance(kind, t.relation_kind))
          return v.get().versions(static_cast<graph::RelationKind>(relation_kind_arg(kind)));
        throw py::type_error("versions() takes a NodeKind or a RelationKind, got " +
                             py::repr(kind).cast<std::string>());
      }, py::arg("kind"), "Stored versions of a kind (not instances) in the view's snapshot.")
      .def("columns", [](const View& v, py::handle kind, py::handle window, bool flat, bool value_changes) {
        return columns_as(v.get(), kind, window, flat, value_changes);
      }, py::arg("kind"), py::arg("window") = py::none(), py::kw_only(), py::arg("flat") = false,
      py::arg("value_changes") = false, kColumnsDoc)
      .def("to_pandas", [](const View& v, py::handle kind, py::handle window, bool value_changes) {
        return to_pandas(v.get(), kind, window, value_changes);
      }, py::arg("kind"), py::arg("window") = py::none(), py::kw_only(), py::arg("value_changes") = false,
      kToPandasDoc)
      .def("__repr__", [](const View& v) {
        return "<varnel.SceneView last_update=" + std::to_string(v.get().last_update()) +
               (v.get().overtaken() ? " overtaken>" : ">");
      });
}

void bind_view_shortcuts(py::class_<Graph>& c) {
  // pybind11 keeps the pointer: the text lives as long as the module.
  static const std::string graph_columns_doc =
      std::string("view().columns(kind, window) on a view taken now. ") + kColumnsDoc;
  c.def("view", &Graph::view,
        "A SceneView of the state published now: one consistent scene for many queries.")
      .def("history", [](const Graph& g, py::handle node) { return g.view().get().history(node_arg(node)); },
           py::arg("node"), "view().history(node): every version of one node, oldest first.")
      .def("relation_history", [](const Graph& g, py::handle relation) {
        return g.view().get().history(relation_arg(relation));
      }, py::arg("relation"))
      .def("counts", [](const Graph& g) { return counts_dict(g.view().get().counts()); },
           "view().counts(): instances per kind in the current state.")
      .def("columns", [](const Graph& g, py::handle kind, py::handle window, bool flat, bool value_changes) {
        return columns_as(g.view().get(), kind, window, flat, value_changes);
      }, py::arg("kind"), py::arg("window") = py::none(), py::kw_only(), py::arg("flat") = false,
      py::arg("value_changes") = false, graph_columns_doc.c_str())
      .def("to_pandas", [](const Graph& g, py::handle kind, py::handle window, bool value_changes) {
        return to_pandas(g.view().get(), kind, window, value_changes);
      }, py::arg("kind"), py::arg("window") = py::none(), py::kw_only(), py::arg("value_changes") = false,
      "view().to_pandas(kind, window, value_changes=...) on a view taken now.")
      .def("wait", &Graph::wait, py::arg("timeout") = py::none(), py::kw_only(), py::arg("after") = py::none(),
           "Sleep until the host publishes a last update other than `after` and return it; None when "
           "`timeout` seconds pass first (None: no limit). `after` defaults to the last update of this "
           "graph's latest view() or wait(), else the one published now, so that a loop of view() and "
           "wait() sees every publication's last update once. Woken by the host's commit in any "
           "process (no CPU while asleep; a private graph polls every millisecond). Ctrl-C interrupts "
           "it; release() from another thread ends it with ValueError.");
}

// A recording file (varnel-inspect record), read through the C++ recording
// module: the scene as its writer held it at any moment, and one instance's
// versions over the whole drive, whatever the region's history window kept.
class Recording {
 public:
  explicit Recording(const std::string& path) : file_(open(path)) {}

  std::unique_ptr<Graph> at(std::optional<std::uint64_t> t) const {
    if (t && !file_->moment_at(*t))
      throw py::value_error("the recording " + file_->path() + " begins after " + std::to_string(*t) +
                            " (its first publication is stamped " + std::to_string(file_->first_time()) + ")");
    auto g = Graph::new_boxed();
    file_->install_at(t, g->writer());
    return g;
  }

  py::list history(py::handle kind, std::uint64_t id, bool relation) const {
    py::list out;
    if (relation) {
      const graph::RelationIndex index(static_cast<graph::RelationKind>(relation_kind_arg(kind)), id);
      for (const auto& item : file_->history(index)) out.append(py::cast(item));
    } else {
      const graph::NodeIndex index(static_cast<graph::NodeKind>(node_kind_arg(kind)), id);
      for (const auto& item : file_->history(index)) out.append(py::cast(item));
    }
    return out;
  }

  const recording::Recording& file() const { return *file_; }
  std::shared_ptr<const recording::Recording> shared() const { return file_; }

 private:
  // RecordingError reaches Python as varnel.RecordingError (see bind_recording).
  static std::shared_ptr<const recording::Recording> open(const std::string& path) {
    return std::make_shared<const recording::Recording>(path);
  }
  std::shared_ptr<const recording::Recording> file_;
};

std::shared_ptr<const recording::Recording> recording_arg(py::handle second) {
  if (py::isinstance<Recording>(second)) return second.cast<const Recording&>().shared();
  return Recording(path_arg(second)).shared();
}

void bind_recording(py::module_& m) {
  // A second source's errors (Graph.attach(recording=...)) come from view() and
  // the reads as of old times.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const recording::RecordingError& e) {
      PyErr_SetString(module_types().recording_error.ptr(), e.what());
    }
  });
  py::class_<Recording>(m, "Recording",
                        "A recording made by `varnel-inspect record`, read a chunk at a time "
                        "(memory bounded by the chunks a read touches, not the file). The whole file is "
                        "checked when it is opened; RecordingError names what is wrong.")
      .def(py::init([](py::handle path) { return Recording(path_arg(path)); }), py::arg("path"))
      .def("at", &Recording::at, py::kw_only(), py::arg("t") = py::none(),
           "A private Graph holding the scene as its writer held it right after the last publication "
           "stamped at or before t (the end without t): every read of it, as of any time since the "
           "fresh start before that publication, answers as the live graph did, whatever history "
           "window the host kept. ValueError when the recording begins after t.")
      .def("view", [](const Recording& r, std::optional<std::uint64_t> t) { return r.at(t)->view(); },
           py::kw_only(), py::arg("at") = py::none(),
           "Recording.at(t=at).view(): one consistent view of the scene at that moment.")
      .def("history", [](const Recording& r, py::handle kind, std::uint64_t id) { return r.history(kind, id, false); },
           py::arg("kind"), py::arg("instance_id"),
           "Every recorded version of the node (kind, instance_id), oldest first, across clears and "
           "compactions (each version is recorded once).")
      .def("relation_history",
           [](const Recording& r, py::handle kind, std::uint64_t id) { return r.history(kind, id, true); },
           py::arg("kind"), py::arg("instance_id"), "The same for a relation.")
      .def_property_readonly("path", [](const Recording& r) { return r.file().path(); })
      .def_property_readonly("publications", [](const Recording& r) { return r.file().publications(); })
      .def_property_readonly("first_time", [](const Recording& r) { return r.file().first_time(); })
      .def_property_readonly("last_time", [](const Recording& r) { return r.file().last_time(); })
      .def_property_readonly("versions", [](const Recording& r) { return r.file().versions(); })
      .def_property_readonly("gaps", [](const Recording& r) { return r.file().gaps(); })
      .def_property_readonly("time_unit", [](const Recording& r) { return r.file().time_unit(); })
      .def("__len__", [](const Recording& r) { return r.file().publications(); })
      .def("__repr__", [](const Recording& r) {
        const recording::Recording& f = r.file();
        return "<varnel.Recording " + f.path() + ": " + std::to_string(f.publications()) +
               " publications, " + std::to_string(f.first_time()) + " to " + std::to_string(f.last_time()) + ">";
      });
}

}  // namespace

void bind_graph(py::module_& m) {
  bind_iterator<PyNodeIterator>(m, "NodeIterator", "Yields NodeItem copies; see Graph.nodes_iter.");
  bind_iterator<PyRelationIterator>(m, "RelationIterator", "Yields RelationItem copies.");
  bind_transaction(m);
  bind_view(m);
  py::class_<Graph> c(m, "Graph",
                      "One knowledge graph: the shared region written as a host (Graph.open()), "
                      "attached read-only (Graph.attach()), or private (Graph.new_boxed()). A context "
                      "manager that releases it on exit. One writer at a time across all processes.");
  bind_lifecycle(c);
  bind_graph_wide(c);
  bind_generic_writes(c);
  bind_kind_writes(c);
  bind_reads(c);
  bind_view_shortcuts(c);
  bind_recording(m);
  m.attr("REGION_NAME") = graph_session::kRegionName;
  m.attr("REGION_SIZE") = graph_session::kRegionSize;
}

}  // namespace varnel_python
