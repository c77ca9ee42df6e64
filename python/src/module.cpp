// The `varnel` module: kinds and statuses as IntEnums, the exception classes,
// and the bindings of values, intervals and the graph.
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "interval_algebra/interval.hpp"

namespace varnel_python {
namespace {

using Members = std::vector<std::pair<std::string, std::uint64_t>>;

py::object make_int_enum(py::module_& m, const char* name, const Members& members,
                         const char* doc) {
  py::list pairs;
  for (const auto& [member, value] : members) pairs.append(py::make_tuple(member, value));
  py::object type = py::module_::import("enum").attr("IntEnum")(name, pairs, py::arg("module") = "varnel");
  type.attr("__doc__") = doc;
  m.attr(name) = type;
  return type;
}

Members node_kinds() {
  Members members;
#define VARNEL_MEMBER(type, number, size) members.emplace_back(#type, number);
  VARNEL_NODE_KINDS(VARNEL_MEMBER)
  return members;
}

Members relation_kinds() {
  Members members;
  VARNEL_RELATION_KINDS(VARNEL_MEMBER)
#undef VARNEL_MEMBER
  return members;
}

Members write_statuses() {
  Members members;
  for (std::uint32_t value = 0; value <= static_cast<std::uint32_t>(graph::WriteStatus::NotWriter);
       ++value) {
    members.emplace_back(std::string(graph::to_string(static_cast<graph::WriteStatus>(value))), value);
  }
  for (const graph::WriteStatus status : {graph::WriteStatus::NoHandle, graph::WriteStatus::NothingWritten}) {
    members.emplace_back(std::string(graph::to_string(status)), static_cast<std::uint32_t>(status));
  }
  members.emplace_back(std::string(graph::to_string(graph::WriteStatus::InsideBatch)),
                       static_cast<std::uint32_t>(graph::WriteStatus::InsideBatch));
  return members;
}

Members interval_relations() {
  using interval_algebra::IntervalRelation;
  Members members;
  for (std::uint8_t value = 0; value <= static_cast<std::uint8_t>(IntervalRelation::PrecededBy); ++value) {
    members.emplace_back(std::string(to_string(static_cast<IntervalRelation>(value))), value);
  }
  return members;
}

py::object make_error(py::module_& m, const char* name, py::tuple bases, const char* doc) {
  py::dict body;
  body["__module__"] = "varnel";
  body["__doc__"] = doc;
  py::object type = py::module_::import("builtins").attr("type")(name, bases, body);
  m.attr(name) = type;
  return type;
}

}  // namespace

ModuleTypes& module_types() {
  static ModuleTypes* types = new ModuleTypes();  // lives as long as the interpreter
  return *types;
}

void bind_enums(py::module_& m) {
  ModuleTypes& t = module_types();
  t.node_kind = make_int_enum(m, "NodeKind", node_kinds(),
                              "Node kind numbers; 0 is Empty, the rest in alphabetical order.");
  t.relation_kind = make_int_enum(m, "RelationKind", relation_kinds(),
                                  "Relation kind numbers; 0 is Empty, the rest in alphabetical order.");
  t.marker = make_int_enum(m, "Marker", {{"None_", 0}, {"Valid", 1}, {"Removed", 2}},
                           "State of a stored version. None_ (0) is a slot never written; its "
                           "text form is \"None\".");
  t.write_status = make_int_enum(m, "WriteStatus", write_statuses(),
                                 "Outcome of a write; every value but Stored is a refusal.");
  t.interval_type = make_int_enum(m, "IntervalType",
                                  {{"Open", 0}, {"RightOpen", 1}, {"LeftOpen", 2}, {"Closed", 3}},
                                  "Which ends belong to an interval: bit 0 the start, bit 1 the end.");
  t.interval_relation = make_int_enum(m, "IntervalRelation", interval_relations(),
                                      "Allen's thirteen interval relations.");
}

void bind_errors(py::module_& m) {
  ModuleTypes& t = module_types();
  const py::object exception = py::module_::import("builtins").attr("Exception");
  const py::object lookup_error = py::module_::import("builtins").attr("LookupError");
  const py::object os_error = py::module_::import("builtins").attr("OSError");
  t.varnel_error = make_error(m, "VarnelError", py::make_tuple(exception),
                              "Base class of the errors that varnel raises itself.");
  t.write_refused = make_error(
      m, "WriteRefused", py::make_tuple(t.varnel_error),
      "A write that stored nothing. `status` holds the WriteStatus that says why; the graph "
      "is as it was before the call.");
  t.not_found_error = make_error(
      m, "NotFoundError", py::make_tuple(t.write_refused, lookup_error),
      "The node or relation to remove, or a node to join, has no version (NotFound, NodeMissing).");
  t.capacity_error = make_error(
      m, "CapacityError", py::make_tuple(t.write_refused),
      "A fixed capacity of the graph is used up: a kind's version slots, the value arrays, or a "
      "node's 40-entry relation list.");
  t.read_only_error = make_error(m, "ReadOnlyError", py::make_tuple(t.varnel_error),
                                 "A write through a graph attached read-only.");
  t.region_error = make_error(m, "RegionError", py::make_tuple(t.varnel_error, os_error),
                              "The shared region could not be set up, opened or used; the "
                              "message names the reason (missing, owner, mode, size, lock).");
  t.snapshot_file_error = make_error(
      m, "SnapshotFileError", py::make_tuple(t.varnel_error, os_error),
      "A snapshot file could not be read (missing, damaged or foreign; the message says which "
      "check failed) or written.");
  t.recording_error = make_error(
      m, "RecordingError", py::make_tuple(t.snapshot_file_error),
      "A recording could not be read (missing, damaged, not MCAP), does not cover the time "
      "asked for, or does not hold the history of the region it stands behind (a second "
      "source); the message names the file and what is wrong.");
  const py::object value_error = py::module_::import("builtins").attr("ValueError");
  t.damaged_record_error = make_error(
      m, "DamagedRecordError", py::make_tuple(t.varnel_error, value_error),
      "A stored version holds a value no writer stores (a marker byte other than 0, 1, 2): "
      "the region was damaged. `value` holds the byte; repr() of the record shows it as "
      "Unknown(N).");
}

void raise(const py::object& type, const std::string& message) {
  PyErr_SetObject(type.ptr(), type(message).ptr());
  throw py::error_already_set();
}

void raise_refused(graph::WriteStatus status, const std::string& what, graph::Index limit) {
  raise_refusal(status, what + " refused: " + graph::describe(status, limit));
}

void raise_refusal(graph::WriteStatus status, const std::string& message) {
  const ModuleTypes& t = module_types();
  py::object type = t.write_refused;
  switch (status) {
    case graph::WriteStatus::NotFound:
    case graph::WriteStatus::NodeMissing: type = t.not_found_error; break;
    case graph::WriteStatus::NodeVersionsFull:
    case graph::WriteStatus::NodeValuesFull:
    case graph::WriteStatus::RelationVersionsFull:
    case graph::WriteStatus::RelationValuesFull:
    case graph::WriteStatus::OutgoingListFull:
    case graph::WriteStatus::IncomingListFull: type = t.capacity_error; break;
    default: break;
  }
  py::object error = type(message);
  error.attr("status") = t.write_status(static_cast<std::uint32_t>(status));
  PyErr_SetObject(type.ptr(), error.ptr());
  throw py::error_already_set();
}

}  // namespace varnel_python

PYBIND11_MODULE(varnel, m) {
  using namespace varnel_python;
  m.doc() =
      "The varnel road-scene knowledge graph: write it as a host does, or read a live graph "
      "from another process.";
  bind_enums(m);
  bind_errors(m);
  bind_values(m);
  bind_intervals(m);
  bind_graph(m);
}
