// varnel-inspect: shows the shared graph "KnowledgeGraph" (or another region
// named with --region, or a saved snapshot) while a host writes it, and saves
// and loads snapshots of it. Ctrl-C and SIGTERM end it, also while it waits
// for a region's set-up lock.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <new>
#include <thread>
#include <unordered_set>

#include "graph_session/graph_session.hpp"
#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/publication_signal.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "record_commands.hpp"
#include "render.hpp"
#include "run_program.hpp"
#include "snapshot_file.hpp"
#ifdef VARNEL_WITH_SERVE
#include "serve.hpp"
#endif

namespace {

namespace kg = knowledge_graph::graph;
using interval_algebra::Interval;
using interval_algebra::IntervalType;

constexpr const char* kDefaultRegionName = "KnowledgeGraph";

std::atomic<bool> g_stop{false};
extern "C" void on_signal(int) { g_stop = true; }

// The region to use (--region) and how long to wait for its set-up lock (--wait).
std::string g_region_name = kDefaultRegionName;
double g_wait_seconds = 5.0;

shared_memory_interface::memory_interface::LockWait lock_wait() {
  const auto limit = std::chrono::duration<double>(g_wait_seconds);
  return {std::chrono::duration_cast<std::chrono::milliseconds>(limit), &g_stop};
}

// A failure to report: what failed and what to do about it.
struct Failure {
  std::string message;
};

int fail(const std::string& message) {
  std::cerr << "varnel-inspect: " << message << "\n";
  return 2;
}

// The graph being read: the live region (read-only) or a snapshot file in private memory.
struct Source {
  std::unique_ptr<graph_session::GraphSession> session;
  kg::KnowledgeGraph::Boxed boxed;
  const kg::KnowledgeGraph* graph = nullptr;
  std::string description;
};

// The session options of this command's region.
graph_session::Options session_options() {
  graph_session::Options options;
  options.name = g_region_name;
  options.wait = lock_wait();
  options.holder = "varnel-inspect";
  options.log_target = "varnel_inspect";
  return options;
}

Source attach(const std::string& file, std::optional<std::uint64_t> moment) {
  Source source;
  if (!file.empty() && varnel::inspect::is_recording_file(file)) {
    source.boxed = kg::KnowledgeGraph::new_boxed();
    source.description = varnel::inspect::load_recording_moment(file, moment, *source.boxed);
    source.graph = source.boxed.get();
    return source;
  }
  if (!file.empty()) {
    varnel::inspect::Snapshot snapshot;
    std::string error;
    if (!varnel::inspect::read_snapshot_file(file, snapshot, error)) throw Failure{error};
    source.boxed = kg::KnowledgeGraph::new_boxed();
    if (!varnel::inspect::install_snapshot(snapshot, *source.boxed, error)) throw Failure{file + ": " + error};
    source.graph = source.boxed.get();
    source.description = "snapshot file " + file;
    return source;
  }
  auto opened = graph_session::GraphSession::open_reader(session_options());
  if (!opened) {
    if (opened.refusal == shared_memory_interface::memory_interface::Refusal::Missing)
      throw Failure{"no shared region \"" + g_region_name +
                    "\" to read: is a host running? (start one with varnel-demo, or read a "
                    "saved scene with --file FILE)"};
    throw Failure{"cannot read: " + opened.error};
  }
  source.session = std::move(opened.session);
  source.graph = &source.session->graph();
  source.description = "region \"" + g_region_name + "\" (" +
                       std::to_string(source.session->view_size()) + " bytes mapped)";
  return source;
}

// Whether a live host writes the source: a paused one is alive, a killed one is not.
std::string writer_text(const Source& source) {
  using shared_memory_interface::memory_interface::WriterPresence;
  if (!source.session) return "none (a file)";
  const auto probe = source.session->probe_writer();
  switch (probe.presence) {
    case WriterPresence::Alive: return "alive (a live process holds the writer lock)";
    case WriterPresence::Absent:
      return "none (no live host: the scene stays as its last writer left it)";
    case WriterPresence::Unknown: break;
  }
  return shared_memory_interface::memory_interface::describe_writer_probe(g_region_name, probe);
}

// ---- Time windows -------------------------------------------------------------

struct Window {
  std::uint64_t at = 0;
  std::uint64_t from = 0;
  std::uint64_t to = ~std::uint64_t{0};
  bool open_start = false;
  bool open_end = false;
  CLI::Option* at_option = nullptr;

  void add_to(CLI::App& command) {
    at_option = command.add_option("--at", at, "Show the scene as it stood at this time (ms)");
    command.add_option("--from", from, "Start of the time window (ms, default 0)")->excludes(at_option);
    command.add_option("--to", to, "End of the time window (ms, default: no end)")->excludes(at_option);
    command.add_flag("--open-start", open_start, "Leave the window's start out of it");
    command.add_flag("--open-end", open_end, "Leave the window's end out of it");
  }
  Interval interval() const {
    const bool closed_start = !open_start, closed_end = !open_end;
    const auto type = static_cast<IntervalType>((closed_start ? 1 : 0) | (closed_end ? 2 : 0));
    return Interval::of_type(Interval::make(from, to), type);
  }
  // --at asks for a state (what existed then), not for the versions stamped then.
  std::optional<std::uint64_t> as_of() const {
    return at_option != nullptr && *at_option ? std::optional<std::uint64_t>(at) : std::nullopt;
  }
};

// A state as of --at comes from one view, so nodes and relations agree.
std::vector<kg::NodeItem> nodes_in(const kg::SceneView& view, const Window& window,
                                   std::optional<std::uint64_t> kind) {
  if (const auto t = window.as_of())
    return kind ? view.nodes_as_of(static_cast<kg::NodeKind>(*kind), *t) : view.all_nodes_as_of(*t);
  return kind ? view.nodes_in(static_cast<kg::NodeKind>(*kind), window.interval())
              : view.all_nodes_in(window.interval());
}
std::vector<kg::RelationItem> relations_in(const kg::SceneView& view, const Window& window,
                                           std::optional<std::uint64_t> kind) {
  if (const auto t = window.as_of())
    return kind ? view.relations_as_of(static_cast<kg::RelationKind>(*kind), *t)
                : view.all_relations_as_of(*t);
  return kind ? view.relations_in(static_cast<kg::RelationKind>(*kind), window.interval())
              : view.all_relations_in(window.interval());
}

std::optional<std::uint64_t> node_kind_option(const std::string& text) {
  if (text.empty()) return std::nullopt;
  if (auto kind = varnel::inspect::parse_node_kind(text)) return kind;
  throw Failure{"unknown node kind \"" + text + "\": give a number 0-17 or a name such as Car, Lane"};
}
std::optional<std::uint64_t> relation_kind_option(const std::string& text) {
  if (text.empty()) return std::nullopt;
  if (auto kind = varnel::inspect::parse_relation_kind(text)) return kind;
  throw Failure{"unknown relation kind \"" + text +
                "\": give a number 0-16 or a name such as isOn, walksOn"};
}

// ---- stats ----------------------------------------------------------------------

void print_fill(const std::string& name, const kg::ArrayFill& fill) {
  std::printf("  %-34s %6llu / %6llu  %5.1f%%\n", name.c_str(), static_cast<unsigned long long>(fill.used),
              static_cast<unsigned long long>(fill.capacity), 100.0 * fill.fraction());
}

// The earliest timestamp of any stored version: how far back the history reaches
// (a host compacting to a window drops what lies before it); and the earliest
// of the versions that follow an older one of their instance: how far back the
// window of history reaches (a compaction keeps every version from its
// keep_since on, and before it only each instance's latest, one version each,
// so that, however old, the present scene's versions do not count). Walks again
// while a clear or a compaction overtakes the walk.
struct Oldest {
  std::optional<std::uint64_t> any;
  std::optional<std::uint64_t> following;
};
Oldest oldest_timestamps(const kg::KnowledgeGraph& g) {
  for (int attempt = 0;; ++attempt) {
    Oldest oldest;
    bool overtaken = false;
    auto earliest = [](std::optional<std::uint64_t>& at, std::uint64_t t) { at = at ? std::min(*at, t) : t; };
    std::unordered_set<std::uint64_t> seen;  // instances of a kind met so far, in slot order
    auto consider = [&](std::uint64_t id, std::uint64_t t) {
      earliest(oldest.any, t);
      if (!seen.insert(id).second) earliest(oldest.following, t);
    };
    for (std::uint64_t k = 0; k < kg::kNodeKinds && !overtaken; ++k) {
      seen.clear();
      auto walk = g.nodes_iter(Interval::eternity(), k);
      while (auto item = walk.next()) consider(item->record.instance_id, item->record.timestamp);
      overtaken = walk.overtaken();
    }
    for (std::uint64_t k = 0; k < kg::kRelationKinds && !overtaken; ++k) {
      seen.clear();
      auto walk = g.relations_iter(Interval::eternity(), k);
      while (auto item = walk.next()) consider(item->record.instance_id, item->record.timestamp);
      overtaken = walk.overtaken();
    }
    if (!overtaken || attempt == 100) return oldest;
  }
}

void stats(const Source& source) {
  const kg::KnowledgeGraph& g = *source.graph;
  const kg::Snapshot s = g.snapshot();
  std::uint64_t nodes = 0, relations = 0;
  for (auto t : s.indices.node_index_tail) nodes += t;
  for (auto t : s.indices.relation_index_tail) relations += t;
  std::printf("source:            %s\n", source.description.c_str());
  std::printf("node versions:     %llu\nrelation versions: %llu\n", static_cast<unsigned long long>(nodes),
              static_cast<unsigned long long>(relations));
  std::printf("empty:             %s\n", nodes == 0 && relations == 0 ? "yes" : "no");
  std::printf("last update:       %llu\n", static_cast<unsigned long long>(s.indices.update_timestamp));
  const Oldest oldest_versions = oldest_timestamps(g);
  const std::optional<std::uint64_t>& oldest = oldest_versions.any;
  const auto span = [&](std::uint64_t t) {
    return static_cast<unsigned long long>(s.indices.update_timestamp >= t ? s.indices.update_timestamp - t : 0);
  };
  if (oldest) {
    // The window held: from the oldest version that follows another of its instance.
    std::printf("oldest version:    %llu (history spans %llu ms; window held %llu ms)\n",
                static_cast<unsigned long long>(*oldest), span(*oldest),
                oldest_versions.following ? span(*oldest_versions.following) : 0ull);
  } else {
    std::printf("oldest version:    none\n");
  }
  if (s.compaction_stalled)
    std::printf("compaction:        left unfinished by its writer; the graph reads as empty "
                "until a host sets it up again\n");
  std::printf("writer:            %s\n", writer_text(source).c_str());
  std::printf("autocommit:        %s\n", g.autocommit_enabled() ? "on" : "off");
  std::printf("published buffer:  %llu\n", static_cast<unsigned long long>(s.active));
  std::printf("fill:\n");
  const kg::Fill fill = kg::fill_of(s.indices);
  for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k)
    print_fill("node versions " + std::string(kg::types::node_kind_name(k)), fill.node_versions[k]);
  print_fill("node values", fill.node_values);
  for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k)
    print_fill("relation versions " + std::string(kg::types::relation_kind_name(k)),
               fill.relation_versions[k]);
  print_fill("relation values", fill.relation_values);
}

// ---- history ----------------------------------------------------------------------

// Prints the versions of instance `id`, walking again while a clear overtakes the walk.
template <class Walk, class Line>
void print_versions(std::uint64_t id, Walk walk, Line line) {
  for (int attempt = 0;; ++attempt) {
    auto it = walk();
    std::vector<std::string> lines;
    while (auto item = it.next())
      if (item->record.instance_id == id) lines.push_back(line(*item));
    if (!it.overtaken() || attempt == 100) {
      for (std::size_t i = 0; i < lines.size(); ++i) std::cout << "  #" << i + 1 << "  " << lines[i] << "\n";
      if (lines.empty()) std::cout << "  no versions\n";
      return;
    }
  }
}

int history(const Source& source, const std::string& kind_text, std::uint64_t id, bool relation) {
  const kg::KnowledgeGraph& g = *source.graph;
  std::optional<std::uint64_t> node_kind;
  if (!relation) node_kind = varnel::inspect::parse_node_kind(kind_text);
  std::optional<std::uint64_t> relation_kind = varnel::inspect::parse_relation_kind(kind_text);
  if (node_kind) {
    const kg::Index self(*node_kind, id);
    std::cout << varnel::inspect::node_name(self) << " = " << kg::to_string(self) << "\n";
    print_versions(id,
                   [&] { return g.nodes_iter(Interval::eternity(), *node_kind); },
                   [](const kg::NodeItem& item) { return varnel::inspect::node_line(item); });
    return 0;
  }
  if (!relation_kind) throw Failure{"unknown kind \"" + kind_text + "\": give a node or relation kind name"};
  const kg::Index self(*relation_kind, id);
  std::cout << varnel::inspect::relation_name(self) << " = " << kg::to_string(self) << "\n";
  print_versions(id,
                 [&] { return g.relations_iter(Interval::eternity(), *relation_kind); },
                 [](const kg::RelationItem& item) { return varnel::inspect::relation_line(item); });
  return 0;
}

// ---- dot ----------------------------------------------------------------------

// A file name that dot cannot take for an option.
std::string as_operand(const std::string& path) { return path.rfind('-', 0) == 0 ? "./" + path : path; }

int dot(const Source& source, const std::string& output, const std::string& svg) {
  const kg::KnowledgeGraph& g = *source.graph;
  const std::string text =
      varnel::inspect::scene_dot(g.get_all_nodes(Interval::eternity()), g.get_all_relations(Interval::eternity()));
  // The source goes to stdout unless a file is named; rendering needs it in a file.
  const bool to_stdout = output.empty() ? svg.empty() : output == "-";
  const std::string dot_file = (output.empty() || output == "-") ? (svg.empty() ? "" : svg + ".dot") : output;
  if (!svg.empty() && (output.empty() || output == "-")) {
    // The Graphviz source goes beside the picture; a file there may be the
    // user's own, so it is never replaced unasked.
    std::error_code ignored;
    if (std::filesystem::exists(std::filesystem::symlink_status(dot_file, ignored)))
      throw Failure{dot_file + " exists and would be overwritten by the Graphviz source; name "
                    "the source file with --output FILE (the same name to replace it)"};
  }
  // Neither file is written through a link planted at its name.
  if (!svg.empty())
    if (auto refused = varnel::inspect::planted_link_error(svg)) throw Failure{"cannot write " + *refused};
  if (to_stdout) std::cout << text << std::flush;
  if (!dot_file.empty()) {
    std::string error;
    const int fd = varnel::inspect::open_output_file(dot_file, error);
    if (fd < 0) throw Failure{error};
    const bool written = varnel::inspect::write_all(fd, text.data(), text.size());
    if (!varnel::inspect::close_output_file(fd) || !written)
      throw Failure{"cannot write " + dot_file + ": check the folder, its permissions and free space"};
  }
  if (svg.empty()) return 0;
  // Graphviz writes a private new file beside the picture, renamed over it at the end.
  std::string temporary;
  const int fd = varnel::inspect::create_temporary(svg, temporary);
  if (fd < 0) throw Failure{"cannot write " + svg + ": cannot create a file beside it (check the folder)"};
  varnel::inspect::close_output_file(fd);
  struct Remove {
    std::string path;
    ~Remove() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove(path, ignored);
    }
  } leftover{temporary};
  const auto run =
      varnel::inspect::run_program({"dot", "-Tsvg", "-o", as_operand(temporary), as_operand(dot_file)});
  if (run.not_found)
    throw Failure{"Graphviz \"dot\" is not installed (Debian: apt-get install graphviz; Windows: install "
                  "Graphviz and put its bin folder on PATH); no SVG was written, the graph is in " + dot_file};
  if (!run.started) throw Failure{"cannot start Graphviz \"dot\" (" + run.error + "); the graph is in " + dot_file};
  if (run.exit_code != 0)
    throw Failure{"Graphviz \"dot\" failed (exit status " + std::to_string(run.exit_code) + ") to render " +
                  dot_file + " into " + svg};
  if (auto refused = varnel::inspect::planted_link_error(svg)) throw Failure{"cannot write " + *refused};
  std::error_code failed;
  std::filesystem::rename(temporary, svg, failed);  // replaces a name, never follows it
  if (failed) throw Failure{"cannot write " + svg + ": " + failed.message()};
  leftover.path.clear();
  std::cerr << "varnel-inspect: wrote " << svg << " (Graphviz source in " << dot_file << ")\n";
  return 0;
}

// ---- watch ----------------------------------------------------------------------

void sleep_unless_stopped(double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!g_stop && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Until the host publishes a new last update (woken by its commit), at most
// `seconds`, and at least kWatchMinGap after the last refresh so a fast host does
// not make the screen flicker.
constexpr std::chrono::milliseconds kWatchMinGap{100};
void wait_for_change(const kg::KnowledgeGraph& g, std::uint64_t seen, double seconds,
                     std::chrono::steady_clock::time_point refreshed) {
  const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
  kg::wait_for_publication(g, seen, limit, &g_stop);
  const auto earliest = refreshed + kWatchMinGap;
  while (!g_stop && std::chrono::steady_clock::now() < earliest)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void watch(const Source& source, double interval, int count, std::size_t limit, bool clear) {
  const kg::KnowledgeGraph& g = *source.graph;
  std::uint64_t last_nodes = g.node_count(), last_update = g.last_update();
  auto last_time = std::chrono::steady_clock::now();
  for (int round = 0; !g_stop && (count == 0 || round < count); ++round) {
    if (round > 0) wait_for_change(g, last_update, interval, last_time);
    if (g_stop) break;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - last_time).count();
    const std::uint64_t nodes = g.node_count(), update = g.last_update();
    const auto all = g.get_all_nodes(Interval::eternity());
    const auto relations = g.get_all_relations(Interval::eternity());
    if (clear) std::cout << "\x1b[H\x1b[2J";
    std::cout << "varnel-inspect watch: " << source.description << "  (Ctrl-C ends)\n";
    std::cout << "node versions " << nodes << "  relation versions " << g.relation_count()
              << "  last update " << update << "  autocommit " << (g.autocommit_enabled() ? "on" : "off") << "\n";
    std::cout << "writer: " << writer_text(source) << "\n";
    if (round > 0 && elapsed > 0) {
      if (nodes < last_nodes)
        std::cout << "rates: the graph was reset since the last look\n";
      else
        std::printf("rates: %.0f node versions/s, scene time %.2f s per second\n",
                    static_cast<double>(nodes - last_nodes) / elapsed,
                    static_cast<double>(update - last_update) / 1000.0 / elapsed);
    }
    std::map<std::string, int> live;
    for (const auto& item : all) ++live[std::string(kg::types::node_kind_name(item.value.type_index()))];
    for (const auto& item : relations) ++live[std::string(kg::types::relation_kind_name(item.value.type_index()))];
    std::cout << "live:";
    for (const auto& [name, n] : live) std::cout << " " << name << " " << n;
    std::cout << "\n";
    std::size_t shown = 0;
    for (const auto& item : all)
      if (shown++ < limit) std::cout << "  " << varnel::inspect::node_line(item) << "\n";
    if (all.size() > limit) std::cout << "  ... " << all.size() - limit << " more nodes\n";
    std::cout << std::flush;
    last_nodes = nodes;
    last_update = update;
    last_time = now;
  }
}

// ---- save / load ----------------------------------------------------------------

void save(const Source& source, const std::string& path) {
  varnel::inspect::Snapshot snapshot;
  std::string error;
  if (!varnel::inspect::take_snapshot(*source.graph, snapshot, error))
    throw Failure{"cannot save " + source.description + ": " + error};
  if (!varnel::inspect::write_snapshot_file(snapshot, path, error)) throw Failure{error};
  std::cout << "saved " << source.description << " to " << path << " ("
            << sizeof(varnel::inspect::SnapshotHeader) + sizeof(kg::GraphIndices) + snapshot.span.size()
            << " bytes, last update "
            << snapshot.indices.update_timestamp << ")\n";
}

void load(const std::string& path, bool force, double hold) {
  varnel::inspect::Snapshot snapshot;
  std::string error;
  if (!varnel::inspect::read_snapshot_file(path, snapshot, error)) throw Failure{error + "; nothing was changed"};
  const auto opened = varnel::inspect::open_scene_writer(session_options());
  const graph_session::GraphSession& session = *opened;
  kg::KnowledgeGraph& graph = session.graph();
  if (session.already_existed() && !graph.is_empty() && !force)
    throw Failure{"the region already holds a graph (a host may be writing it); stop the host, or "
                  "pass --force to replace its scene; nothing was changed"};
  if (!varnel::inspect::install_snapshot(snapshot, graph, error)) throw Failure{path + ": " + error};
  std::cout << "loaded " << path << " into region \"" << g_region_name << "\": " << graph.node_count()
            << " node versions, " << graph.relation_count() << " relation versions\n";
  if (hold == 0) {
    if (!session.already_existed())
      std::cout << "note: no other process holds the region, so it ends when this command exits; "
                   "use --hold SECONDS (or -1 until Ctrl-C) to keep it\n";
    return;
  }
  std::cout << "holding the region" << (hold < 0 ? " until Ctrl-C" : "") << "\n" << std::flush;
  sleep_unless_stopped(hold < 0 ? 1e12 : hold);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"varnel-inspect: reads the shared graph \"KnowledgeGraph\" that a host writes "
               "(or a snapshot saved from it) and shows the scene."};
  app.require_subcommand(1);
  app.fallthrough();  // the options below may also follow the subcommand
  std::string file;
  app.add_option("--file", file,
                 "Read a saved snapshot file, or an MCAP recording, instead of the live region");
  std::optional<std::uint64_t> moment;
  app.add_option("--time", moment,
                 "With a recording: show the scene as it stood at this time (default: the end, or "
                 "the command's --at/--to)");
  varnel::inspect::RecordCommands record_commands;
  record_commands.add_to(app);
#ifdef VARNEL_WITH_SERVE
  varnel::inspect::ServeCommand serve_command;
  serve_command.add_to(app);
#endif
  app.add_option("--region", g_region_name,
                 "Name of the shared region to read or load into (default KnowledgeGraph)")
      ->check([](const std::string& name) {
        return name.empty() || name.find('/') != std::string::npos
                   ? std::string("a region name is not empty and holds no '/'")
                   : std::string();
      });
  app.add_option("--wait", g_wait_seconds,
                 "Seconds to wait for the region's set-up lock while another process holds it "
                 "(default 5; Ctrl-C ends the wait)")
      ->check(CLI::Range(0.0, 86400.0));

  app.add_subcommand("stats", "Counts, last update, oldest version, whether a writer is alive, autocommit and the fill of every array");

  std::string node_kind, relation_kind;
  Window node_window, relation_window, json_window;
  auto* nodes = app.add_subcommand("nodes", "The node instances (latest version in the window), one line each");
  nodes->add_option("--kind", node_kind, "Node kind, by name (Car) or number (1)");
  node_window.add_to(*nodes);
  auto* relations = app.add_subcommand("relations", "The relation instances, one line each");
  relations->add_option("--kind", relation_kind, "Relation kind, by name (isOn) or number (9)");
  relation_window.add_to(*relations);

  std::string history_kind;
  std::uint64_t history_id = 0;
  bool history_relation = false;
  auto* history_command = app.add_subcommand("history", "Every version of one node or relation");
  history_command->add_option("KIND", history_kind, "Kind name (Car, isOn) or number")->required();
  history_command->add_option("ID", history_id, "Instance id")->required();
  history_command->add_flag("--relation", history_relation, "KIND is a relation kind (for numbers)");

  auto* json_command = app.add_subcommand("json", "The scene (or a time window of it) as JSON");
  json_window.add_to(*json_command);
  int indent = 2;
  json_command->add_option("--indent", indent, "Spaces per level; -1 for one line");

  std::string dot_output, svg;
  auto* dot_command = app.add_subcommand("dot", "The latest scene as a Graphviz graph");
  dot_command->add_option("--output,-o", dot_output,
                          "Write the Graphviz source here (default stdout; with --svg: SVG.dot)");
  dot_command->add_option("--svg", svg, "Also render it to this SVG file with Graphviz dot (must be on PATH)");

  double interval = 1.0;
  int count = 0;
  std::size_t limit = 40;
  bool no_clear = false;
  auto* watch_command = app.add_subcommand("watch", "A live view that refreshes until Ctrl-C");
  watch_command->add_option("--interval", interval, "Longest time between refreshes in seconds (a commit refreshes sooner)")->check(CLI::PositiveNumber);
  watch_command->add_option("--count", count, "Stop after this many refreshes (0: until Ctrl-C)");
  watch_command->add_option("--limit", limit, "Node lines to show");
  watch_command->add_flag("--no-clear", no_clear, "Do not clear the screen between refreshes");

  std::string save_path, load_path;
  auto* save_command = app.add_subcommand("save", "Write the published graph to a snapshot file");
  save_command->add_option("FILE", save_path, "Snapshot file to write")->required();
  bool force = false;
  double hold = 0;
  auto* load_command = app.add_subcommand("load", "Load a snapshot file into the region, as its writer");
  load_command->add_option("FILE", load_path, "Snapshot file to read")->required();
  load_command->add_flag("--force", force, "Replace a scene that the region already holds");
  load_command->add_option("--hold", hold, "Keep holding the region this many seconds (-1: until Ctrl-C)");

  // The chosen command; every failure it throws is caught below.
  auto run_command = [&]() -> int {
    if (*load_command) {
      if (!file.empty()) throw Failure{"load reads its own FILE; --file does not apply"};
      load(load_path, force, hold);
      return 0;
    }
    int status = 0;
#ifdef VARNEL_WITH_SERVE
    if (serve_command.run(status, g_region_name, lock_wait(), file, g_stop)) return status;
#endif
    record_commands.use_region(session_options());
    if (record_commands.run(status, g_stop)) {
      if (!file.empty()) throw Failure{"record and replay take their own FILE; --file does not apply"};
      return status;
    }
    if (*history_command && !file.empty() && varnel::inspect::is_recording_file(file))
      return varnel::inspect::recording_history(file, history_kind, history_id, history_relation);
    // Kinds are checked before the region is looked for.
    const auto node_filter = node_kind_option(node_kind);
    const auto relation_filter = relation_kind_option(relation_kind);
    // A recording is read as it stood at one moment: --time, else the window's end.
    for (const Window* window : {&node_window, &relation_window, &json_window})
      if (!moment && window->at_option != nullptr && *window->at_option) moment = window->at;
      else if (!moment && window->to != ~std::uint64_t{0}) moment = window->to;
    const Source source = attach(file, moment);
    const kg::KnowledgeGraph& g = *source.graph;
    if (app.got_subcommand("stats")) stats(source);
    const kg::SceneView view(g);
    if (*nodes)
      for (const auto& item : nodes_in(view, node_window, node_filter))
        std::cout << varnel::inspect::node_line(item) << "\n";
    if (*relations)
      for (const auto& item : relations_in(view, relation_window, relation_filter))
        std::cout << varnel::inspect::relation_line(item) << "\n";
    if (*history_command) return history(source, history_kind, history_id, history_relation);
    if (*json_command) {
      std::cout << varnel::inspect::scene_json(g, nodes_in(view, json_window, std::nullopt),
                                               relations_in(view, json_window, std::nullopt))
                       .dump(indent, ' ', false, nlohmann::json::error_handler_t::replace)
                << "\n";
    }
    if (*dot_command) return dot(source, dot_output, svg);
    if (*watch_command) watch(source, interval, count, limit, !no_clear);
    if (*save_command) save(source, save_path);
    return 0;
  };

  CLI11_PARSE(app, argc, argv);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  try {
    return run_command();
  } catch (const Failure& failure) {
    return fail(failure.message);
  } catch (const varnel::inspect::RecordingFailure& failure) {
    return fail(failure.what());
  } catch (const std::bad_alloc&) {
    return fail("out of memory; nothing was changed");
  } catch (const std::exception& error) {
    return fail(std::string("unexpected error: ") + error.what());
  } catch (...) {
    return fail("unexpected error");
  }
}
