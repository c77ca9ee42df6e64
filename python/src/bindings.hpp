// Shared declarations of the `varnel` module's binding files.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/scene_view.hpp"

namespace varnel_python {

namespace py = pybind11;
namespace graph = knowledge_graph::graph;
namespace types = knowledge_graph::graph::types;

// The module's enum classes and exception classes, made once at import.
struct ModuleTypes {
  py::object node_kind, relation_kind, marker, write_status, interval_type, interval_relation;
  py::object varnel_error, write_refused, not_found_error, capacity_error, read_only_error,
      region_error, damaged_record_error, snapshot_file_error, recording_error;
};
ModuleTypes& module_types();

void bind_enums(py::module_& m);
void bind_errors(py::module_& m);
void bind_values(py::module_& m);
void bind_intervals(py::module_& m);
void bind_graph(py::module_& m);

// ---- Argument checks shared by the bindings ----

// A node (or relation) kind number in range, from an int or the kind enum.
// Raises TypeError for a non-integer or an enum of the other family, ValueError
// for a number out of range.
std::uint64_t node_kind_arg(py::handle kind);
std::uint64_t relation_kind_arg(py::handle kind);
// An Index of a node (or relation): an Index or a (kind, instance_id) pair,
// whose kind is checked as above.
graph::Index node_index_arg(py::handle index);
graph::Index relation_index_arg(py::handle index);

// Payloads built from keyword attributes; unknown names raise TypeError, values
// of the wrong type TypeError, out of range or too long ValueError.
types::KnowledgeGraphNode make_node(std::uint64_t kind, const py::dict& attributes);
types::KnowledgeGraphRelation make_relation(std::uint64_t kind, const py::dict& attributes);

// Where each attribute of a kind lies in its stored record: the vocabulary's
// field tables (types::node_fields, types::relation_fields).
using types::Field;
using types::FieldType;
using Fields = types::FieldList;

// A kind's versions as a numpy structured array, one row per version: the
// version's instance_id, timestamp and marker (relations: from_kind, from_id,
// to_kind, to_id too), then the kind's attributes (vectors as float32 subarrays, names as
// 128-byte strings). Raises ImportError with what to install without numpy.
// Behind them, `change`: b"value", b"lists" or b"removed" (what the version
// changed against the instance's previous one; `before` holds each instance's
// Valid version before the first of `versions`). With `value_changes`, one row
// per (instance, timestamp): the last version that changed its value or removed it.
py::object node_columns(std::uint64_t kind, const std::vector<graph::NodeVersion>& versions,
                        std::map<std::uint64_t, graph::NodeVersion> before, bool value_changes);
py::object relation_columns(std::uint64_t kind, const std::vector<graph::RelationVersion>& versions,
                            std::map<std::uint64_t, graph::RelationVersion> before, bool value_changes);
// The structured array as a dict of 1-D arrays: vectors split into NAME_x,
// NAME_y (, NAME_z), names decoded to str.
py::dict flat_columns(const py::object& rows);
// Imports numpy or raises ImportError that says how to install it.
void require_numpy();
// Imports pandas or raises ImportError that names the package.
void require_pandas();

// Raises the exception class `type` with `message` (and `status` set, if given).
[[noreturn]] void raise(const py::object& type, const std::string& message);
// A refusal as its WriteRefused subclass; a capacity names the kind or node and the limit.
[[noreturn]] void raise_refused(graph::WriteStatus status, const std::string& what,
                                graph::Index limit = {});
// The same with the whole message given (graph::describe_refusal's words).
[[noreturn]] void raise_refusal(graph::WriteStatus status, const std::string& message);

}  // namespace varnel_python
