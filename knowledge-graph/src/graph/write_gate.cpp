// The write gate's per-process table and the writer seat's word.
#include "knowledge_graph/graph/write_gate.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <random>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "attachments.hpp"

namespace knowledge_graph::graph {
namespace {

struct Gate {
  WriterSeat* seat = nullptr;
  WriterAliveProbe probe = nullptr;
  const void* context = nullptr;
  std::atomic<bool> admitted{false};
  std::atomic<bool> overtaken{false};
};
detail::AttachmentTable<Gate> gates;

// Every write asks (the table is static, so a remembered entry is always readable).
Gate* gate_of(const KnowledgeGraph& graph) {
  auto* slot = gates.find(graph);
  return slot == nullptr ? nullptr : &slot->payload;
}

// This process's token: never 0, and different from any other live process's
// with overwhelming odds (a process id would repeat across containers).
std::uint64_t process_token() {
  static const std::uint64_t token = [] {
    std::random_device entropy;
    std::uint64_t value = (std::uint64_t{entropy()} << 32) ^ entropy();
    value ^= static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    return value == 0 ? 1 : value;
  }();
  return token;
}

std::atomic_ref<std::uint64_t> seat_word(WriterSeat& seat) {
  return std::atomic_ref<std::uint64_t>(seat.token);
}

}  // namespace

bool gate_writes(const KnowledgeGraph& graph, std::size_t view_size, WriterAliveProbe probe,
                 const void* context) {
  ungate_writes(graph);
  WriterSeat* seat = nullptr;
  if (view_size >= writer_seat_offset() + sizeof(WriterSeat)) {
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<KnowledgeGraph*>(&graph));
    seat = reinterpret_cast<WriterSeat*>(bytes + writer_seat_offset());
  }
  return gates.attach(graph, [&](Gate& gate) {
    gate.seat = seat;
    gate.probe = probe;
    gate.context = context;
    gate.admitted.store(false, std::memory_order_relaxed);
    gate.overtaken.store(false, std::memory_order_relaxed);
  }) != nullptr;
}

void admit_writes(const KnowledgeGraph& graph) {
  Gate* gate = gate_of(graph);
  if (gate == nullptr) return;
  if (gate->seat != nullptr) seat_word(*gate->seat).store(process_token(), std::memory_order_seq_cst);
  gate->overtaken.store(false, std::memory_order_relaxed);
  gate->admitted.store(true, std::memory_order_release);
}

void refuse_writes(const KnowledgeGraph& graph) {
  if (Gate* gate = gate_of(graph)) gate->admitted.store(false, std::memory_order_release);
}

void ungate_writes(const KnowledgeGraph& graph) { gates.detach(graph); }

bool writes_admitted(const KnowledgeGraph& graph) {
  Gate* gate = gate_of(graph);
  if (gate == nullptr) return true;
  if (!gate->admitted.load(std::memory_order_acquire)) return false;
  if (gate->seat != nullptr &&
      seat_word(*gate->seat).load(std::memory_order_acquire) != process_token()) {
    gate->admitted.store(false, std::memory_order_release);
    gate->overtaken.store(true, std::memory_order_release);
    return false;
  }
  return true;
}

bool writes_overtaken(const KnowledgeGraph& graph) {
  const Gate* gate = gate_of(graph);
  return gate != nullptr && gate->overtaken.load(std::memory_order_acquire);
}

int gated_writer_alive(const KnowledgeGraph& graph) {
  const Gate* gate = gate_of(graph);
  if (gate == nullptr || gate->probe == nullptr) return -1;
  return gate->probe(gate->context);
}

}  // namespace knowledge_graph::graph
