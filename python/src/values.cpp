// Node and relation values, their attributes as keyword arguments, Index,
// the stored versions and the items of the read side.
#include <pybind11/stl.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings.hpp"

namespace varnel_python {

using namespace types;

namespace {

// ---- Python value -> record bytes ------------------------------------------

[[noreturn]] void type_error(const std::string& message) { throw py::type_error(message); }
[[noreturn]] void value_error(const std::string& message) { throw py::value_error(message); }

bool is_integer(py::handle value) { return PyLong_Check(value.ptr()) != 0; }

bool is_real(py::handle value) {
  return PyFloat_Check(value.ptr()) != 0 || PyLong_Check(value.ptr()) != 0;
}

std::int32_t to_i32(py::handle value, const std::string& name) {
  if (!is_integer(value)) type_error(name + " must be an int");
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow != 0 || number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    value_error(name + " does not fit a signed 32-bit integer");
  }
  return static_cast<std::int32_t>(number);
}

float to_f32(py::handle value, const std::string& name) {
  if (!is_real(value)) type_error(name + " must be a float or an int");
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();  // int too large
  // Narrowing a finite double beyond the float range is undefined; refuse it as
  // struct.pack("f") does. NaN and infinities pass.
  if (std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max()) {
    throw py::value_error(name + " is too large for a 32-bit float");
  }
  return static_cast<float>(number);
}

std::vector<float> to_floats(py::handle value, std::size_t count, const std::string& name) {
  if (py::isinstance<Vector3f>(value) && count == 3) {
    const auto& v = value.cast<const Vector3f&>();
    return {v.x, v.y, v.z};
  }
  if (py::isinstance<Vector2f>(value) && count == 2) {
    const auto& v = value.cast<const Vector2f&>();
    return {v.x, v.y};
  }
  if (!PySequence_Check(value.ptr()) || py::isinstance<py::str>(value) ||
      py::isinstance<py::bytes>(value)) {
    type_error(name + " must be a sequence of " + std::to_string(count) + " numbers");
  }
  const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
  if (items.size() != count) {
    value_error(name + " must have " + std::to_string(count) + " components, not " +
                std::to_string(items.size()));
  }
  std::vector<float> floats;
  for (std::size_t i = 0; i < count; ++i) floats.push_back(to_f32(items[i], name + " component"));
  return floats;
}

// Text is stored as its UTF-8 bytes (or the bytes given), zero-padded to 128.
RawString to_raw_string(py::handle value, const std::string& name) {
  std::string bytes;
  if (py::isinstance<py::str>(value)) {
    // UTF-8. Text that has none (a lone surrogate) raises Python's own
    // UnicodeEncodeError, a ValueError, as str.encode() would.
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &length);
    if (utf8 == nullptr) throw py::error_already_set();
    bytes.assign(utf8, static_cast<std::size_t>(length));
  } else if (py::isinstance<py::bytes>(value) || PyByteArray_Check(value.ptr())) {
    const auto copied = py::reinterpret_steal<py::bytes>(PyBytes_FromObject(value.ptr()));
    if (!copied) throw py::error_already_set();
    bytes = copied.cast<std::string>();
  } else {
    type_error(name + " must be str or bytes");
  }
  RawString raw;
  if (bytes.size() > sizeof(raw.bytes)) {
    value_error(name + " takes at most 128 bytes, not " + std::to_string(bytes.size()));
  }
  std::memcpy(raw.bytes, bytes.data(), bytes.size());
  return raw;
}

void store_field(unsigned char* payload, const Field& field, py::handle value) {
  unsigned char* at = payload + field.offset;
  const std::string name(field.name);
  switch (field.type) {
    case FieldType::i32: {
      const std::int32_t number = to_i32(value, name);
      std::memcpy(at, &number, sizeof number);
      break;
    }
    case FieldType::f32: {
      const float number = to_f32(value, name);
      std::memcpy(at, &number, sizeof number);
      break;
    }
    case FieldType::Vector3f:
    case FieldType::Vector2f: {
      const std::vector<float> floats = to_floats(value, types::components(field.type).size(), name);
      std::memcpy(at, floats.data(), floats.size() * sizeof(float));
      break;
    }
    case FieldType::RawString: {
      const RawString raw = to_raw_string(value, name);
      std::memcpy(at, raw.bytes, sizeof raw.bytes);
      break;
    }
  }
}

// Writes every keyword into the payload; attributes not given keep their zero default.
void store_attributes(unsigned char* payload, const Fields& fields, std::string_view kind_name,
                      const py::dict& attributes) {
  for (const auto& [key, value] : attributes) {
    const std::string name = py::str(key);
    const Field* match = nullptr;
    for (const Field& field : fields) {
      if (name == field.name) match = &field;
    }
    if (match == nullptr) {
      type_error(std::string(kind_name) + " has no attribute '" + name + "'");
    }
    store_field(payload, *match, value);
  }
}

// ---- Record bytes -> Python value ------------------------------------------

py::object load_field(const unsigned char* payload, const Field& field) {
  const unsigned char* at = payload + field.offset;
  switch (field.type) {
    case FieldType::i32: {
      std::int32_t number;
      std::memcpy(&number, at, sizeof number);
      return py::int_(number);
    }
    case FieldType::f32: {
      float number;
      std::memcpy(&number, at, sizeof number);
      return py::float_(number);
    }
    case FieldType::Vector3f: {
      Vector3f v;
      std::memcpy(&v, at, sizeof v);
      return py::cast(v);
    }
    case FieldType::Vector2f: {
      Vector2f v;
      std::memcpy(&v, at, sizeof v);
      return py::cast(v);
    }
    case FieldType::RawString: {
      const char* text = reinterpret_cast<const char*>(at);
      const std::size_t length = strnlen(text, sizeof(RawString::bytes));
      return py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "replace"));
    }
  }
  return py::none();
}

py::dict load_fields(const unsigned char* payload, const Fields& fields) {
  py::dict values;
  for (const Field& field : fields)
    values[py::str(field.name.data(), field.name.size())] = load_field(payload, field);
  return values;
}

// Kind numbers of stored values come from the record and may be damaged: the
// tables give no fields for a number out of range.
Fields fields_of_node(const KnowledgeGraphNode& node) { return node_fields(node.type_index()); }

Fields fields_of_relation(const KnowledgeGraphRelation& relation) {
  return relation_fields(relation.type_index());
}

py::object node_kind_of(std::uint64_t kind) {
  return kind < kNodeKindCount ? module_types().node_kind(kind) : py::int_(kind);
}

py::object relation_kind_of(std::uint64_t kind) {
  return kind < kRelationKindCount ? module_types().relation_kind(kind) : py::int_(kind);
}

py::object field_attribute(const py::dict& fields, const std::string& owner, const std::string& name) {
  if (!fields.contains(name)) {
    throw py::attribute_error("'" + owner + "' value has no attribute '" + name + "'");
  }
  return fields[name.c_str()];
}

// Rejects the other family's enum by type: RelationKind.isOn is not node kind 9.
std::uint64_t kind_arg(py::handle kind, std::uint64_t count, const py::object& other,
                       const char* family) {
  if (py::isinstance(kind, other)) {
    type_error(std::string("expected a ") + family + " kind, got " + py::repr(kind).cast<std::string>());
  }
  if (!is_integer(kind)) type_error(std::string(family) + " kind must be an int");
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(kind.ptr(), &overflow);
  if (overflow != 0 || number < 0 || static_cast<std::uint64_t>(number) >= count) {
    value_error(std::string(family) + " kind " + py::repr(kind).cast<std::string>() +
                " is out of range 0.." + std::to_string(count - 1));
  }
  return static_cast<std::uint64_t>(number);
}

std::uint64_t id_arg(py::handle id) {
  if (!is_integer(id)) type_error("instance_id must be an int");
  const unsigned long long number = PyLong_AsUnsignedLongLong(id.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    value_error("instance_id must lie in 0..2**64-1");
  }
  return number;
}

graph::Index index_arg(py::handle index, std::uint64_t (*kind)(py::handle)) {
  if (py::isinstance<graph::Index>(index)) {
    const auto& given = index.cast<const graph::Index&>();
    return graph::Index(kind(py::int_(given.type_index)), given.instance_id);
  }
  if (!py::isinstance<py::tuple>(index) || py::len(index) != 2) {
    type_error("expected an Index or a (kind, instance_id) pair");
  }
  const py::tuple pair = py::reinterpret_borrow<py::tuple>(index);
  return graph::Index(kind(pair[0]), id_arg(pair[1]));
}

std::string list_text(const graph::RelationList& list) {
  std::string text = "[";
  for (const graph::Index& entry : list) {
    if (entry.is_empty()) continue;
    if (text.size() > 1) text += ", ";
    text += graph::to_string(entry);
  }
  return text + "]";
}

std::string record_text(const graph::NodeRecord& r) {
  return "NodeRecord { timestamp: " + std::to_string(r.timestamp) +
         ", value_index: " + std::to_string(r.value_index) +
         ", instance_id: " + std::to_string(r.instance_id) + ", outgoing: " + list_text(r.outgoing) +
         ", incoming: " + list_text(r.incoming) + ", marker: " + graph::to_string(r.marker) + " }";
}

std::string record_text(const graph::RelationRecord& r) {
  return "RelationRecord { timestamp: " + std::to_string(r.timestamp) +
         ", value_index: " + std::to_string(r.value_index) +
         ", instance_id: " + std::to_string(r.instance_id) + ", from: " + graph::to_string(r.from) +
         ", to: " + graph::to_string(r.to) + ", marker: " + graph::to_string(r.marker) + " }";
}

std::vector<graph::Index> list_of(const graph::RelationList& list) {
  return std::vector<graph::Index>(list.begin(), list.end());
}

py::bytes payload_bytes(const unsigned char* payload, std::size_t size) {
  return py::bytes(reinterpret_cast<const char*>(payload), size);
}

void bind_vectors(py::module_& m) {
  py::class_<Vector3f>(m, "Vector3f", "Three f32 components; unpacks as (x, y, z).")
      .def(py::init([](float x, float y, float z) { return Vector3f{x, y, z}; }), py::arg("x") = 0.0f,
           py::arg("y") = 0.0f, py::arg("z") = 0.0f)
      .def_readonly("x", &Vector3f::x)
      .def_readonly("y", &Vector3f::y)
      .def_readonly("z", &Vector3f::z)
      .def("__iter__", [](const Vector3f& v) { return py::iter(py::make_tuple(v.x, v.y, v.z)); })
      .def("__len__", [](const Vector3f&) { return 3; })
      .def("__eq__", [](const Vector3f& a, const Vector3f& b) { return a == b; }, py::is_operator())
      .def("__repr__", [](const Vector3f& v) { return to_string(v); });
  py::class_<Vector2f>(m, "Vector2f", "Two f32 components; unpacks as (x, y).")
      .def(py::init([](float x, float y) { return Vector2f{x, y}; }), py::arg("x") = 0.0f,
           py::arg("y") = 0.0f)
      .def_readonly("x", &Vector2f::x)
      .def_readonly("y", &Vector2f::y)
      .def("__iter__", [](const Vector2f& v) { return py::iter(py::make_tuple(v.x, v.y)); })
      .def("__len__", [](const Vector2f&) { return 2; })
      .def("__eq__", [](const Vector2f& a, const Vector2f& b) { return a == b; }, py::is_operator())
      .def("__repr__", [](const Vector2f& v) { return to_string(v); });
}

void bind_index(py::module_& m) {
  py::class_<graph::Index>(m, "Index",
                           "Identity of a node or relation: (type_index, instance_id). Unpacks as "
                           "a pair; (0, 0) is the empty Index.")
      .def(py::init<std::uint64_t, std::uint64_t>(), py::arg("type_index"), py::arg("instance_id"))
      .def_static("zeroed", &graph::Index::zeroed)
      .def_readonly("type_index", &graph::Index::type_index)
      .def_readonly("instance_id", &graph::Index::instance_id)
      .def("is_empty", &graph::Index::is_empty)
      .def("__iter__", [](const graph::Index& i) { return py::iter(py::make_tuple(i.type_index, i.instance_id)); })
      .def("__len__", [](const graph::Index&) { return 2; })
      // Equal to, and hashing like, its (type_index, instance_id) tuple, so
      // either works as a dict key or in a set.
      .def("__eq__", [](const graph::Index& a, py::handle b) -> py::object {
        if (py::isinstance<graph::Index>(b)) return py::bool_(a == b.cast<const graph::Index&>());
        if (py::isinstance<py::tuple>(b)) {
          return py::make_tuple(a.type_index, a.instance_id).attr("__eq__")(b);
        }
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
      }, py::is_operator())
      .def("__ne__", [](const graph::Index& a, py::handle b) -> py::object {
        if (py::isinstance<graph::Index>(b)) return py::bool_(a != b.cast<const graph::Index&>());
        if (py::isinstance<py::tuple>(b)) {
          return py::make_tuple(a.type_index, a.instance_id).attr("__ne__")(b);
        }
        return py::reinterpret_borrow<py::object>(Py_NotImplemented);
      }, py::is_operator())
      .def("__hash__", [](const graph::Index& i) { return py::hash(py::make_tuple(i.type_index, i.instance_id)); })
      .def("__repr__", [](const graph::Index& i) { return graph::to_string(i); });
}

void bind_node_value(py::module_& m) {
  py::class_<KnowledgeGraphNode>(m, "Node",
                                 "One node value: a kind and that kind's attributes. "
                                 "Node(NodeKind.Car, carSpeed=3.5) builds one; attributes not given "
                                 "are 0 (text: empty). Attributes read as `node.carSpeed` or "
                                 "`node.fields`.")
      .def(py::init([](py::handle kind, py::kwargs attributes) {
             return make_node(node_kind_arg(kind), attributes);
           }),
           py::arg("kind"))
      .def_property_readonly("kind", [](const KnowledgeGraphNode& n) { return node_kind_of(n.type_index()); })
      .def("type_index", &KnowledgeGraphNode::type_index)
      .def_property_readonly("fields", [](const KnowledgeGraphNode& n) {
        return load_fields(n.payload, fields_of_node(n));
      }, "The attributes by name, in record order (text decoded as UTF-8 up to the first 0 byte).")
      .def_property_readonly("payload", [](const KnowledgeGraphNode& n) {
        return payload_bytes(n.payload, sizeof n.payload);
      }, "The 136-byte payload area exactly as stored.")
      .def("__getattr__", [](const KnowledgeGraphNode& n, const std::string& name) {
        return field_attribute(load_fields(n.payload, fields_of_node(n)),
                               std::string(node_kind_name(n.type_index())), name);
      })
      .def("__eq__", [](const KnowledgeGraphNode& a, const KnowledgeGraphNode& b) {
        return a.type_index() == b.type_index() &&
               load_fields(a.payload, fields_of_node(a)).equal(load_fields(b.payload, fields_of_node(b)));
      }, py::is_operator())
      .def("__repr__", [](const KnowledgeGraphNode& n) { return to_string(n); });
}

void bind_relation_value(py::module_& m) {
  py::class_<KnowledgeGraphRelation>(m, "Relation",
                                     "One relation value: a kind and its attributes, e.g. "
                                     "Relation(RelationKind.yieldsToCarIn, ifDirection=2). Which "
                                     "nodes it joins is kept in its RelationRecord.")
      .def(py::init([](py::handle kind, py::kwargs attributes) {
             return make_relation(relation_kind_arg(kind), attributes);
           }),
           py::arg("kind"))
      .def_property_readonly("kind", [](const KnowledgeGraphRelation& r) { return relation_kind_of(r.type_index()); })
      .def("type_index", &KnowledgeGraphRelation::type_index)
      .def_property_readonly("fields", [](const KnowledgeGraphRelation& r) {
        return load_fields(r.payload, fields_of_relation(r));
      })
      .def_property_readonly("payload", [](const KnowledgeGraphRelation& r) {
        return payload_bytes(r.payload, sizeof r.payload);
      })
      .def("__getattr__", [](const KnowledgeGraphRelation& r, const std::string& name) {
        return field_attribute(load_fields(r.payload, fields_of_relation(r)),
                               std::string(relation_kind_name(r.type_index())), name);
      })
      .def("__eq__", [](const KnowledgeGraphRelation& a, const KnowledgeGraphRelation& b) {
        return a.type_index() == b.type_index() &&
               load_fields(a.payload, fields_of_relation(a)).equal(load_fields(b.payload, fields_of_relation(b)));
      }, py::is_operator())
      .def("__repr__", [](const KnowledgeGraphRelation& r) { return to_string(r); });
}

// A marker byte that no writer stores comes only from damaged memory: it gets
// our own documented error, not the enum's ValueError.
py::object marker_of(graph::Marker marker) {
  const auto byte = static_cast<unsigned>(marker);
  if (byte > static_cast<unsigned>(graph::Marker::Removed)) {
    const py::object& type = module_types().damaged_record_error;
    py::object error = type("marker byte " + std::to_string(byte) +
                            " is none of None_ (0), Valid (1), Removed (2): the record is damaged");
    error.attr("value") = byte;
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
  }
  return module_types().marker(byte);
}

void bind_records(py::module_& m) {
  py::class_<graph::NodeRecord>(m, "NodeRecord",
                                "One stored version of a node (a copy). Its text form lists only "
                                "the used entries of `outgoing` and `incoming`.")
      .def_readonly("timestamp", &graph::NodeRecord::timestamp)
      .def_readonly("value_index", &graph::NodeRecord::value_index)
      .def_readonly("instance_id", &graph::NodeRecord::instance_id)
      .def_property_readonly("outgoing", [](const graph::NodeRecord& r) { return list_of(r.outgoing); },
                             "All 40 entries, free ones as Index(0, 0).")
      .def_property_readonly("incoming", [](const graph::NodeRecord& r) { return list_of(r.incoming); },
                             "All 40 entries, free ones as Index(0, 0).")
      .def_property_readonly("marker", [](const graph::NodeRecord& r) { return marker_of(r.marker); })
      .def("__repr__", [](const graph::NodeRecord& r) { return record_text(r); });
  py::class_<graph::RelationRecord>(m, "RelationRecord", "One stored version of a relation (a copy).")
      .def_readonly("timestamp", &graph::RelationRecord::timestamp)
      .def_readonly("value_index", &graph::RelationRecord::value_index)
      .def_readonly("instance_id", &graph::RelationRecord::instance_id)
      .def_readonly("from_", &graph::RelationRecord::from, "The node the relation leaves.")
      .def_readonly("to", &graph::RelationRecord::to, "The node the relation arrives at.")
      .def_property_readonly("marker", [](const graph::RelationRecord& r) { return marker_of(r.marker); })
      .def("__repr__", [](const graph::RelationRecord& r) { return record_text(r); });
}

void bind_items(py::module_& m) {
  py::class_<graph::NodeItem>(m, "NodeItem", "An owned copy of one node version and its value.")
      .def_readonly("record", &graph::NodeItem::record)
      .def_readonly("value", &graph::NodeItem::value)
      .def_property_readonly("index", [](const graph::NodeItem& i) {
        return graph::Index(i.value.type_index(), i.record.instance_id);
      }, "Index(kind of the value, instance_id).")
      .def_property_readonly("kind", [](const graph::NodeItem& i) { return node_kind_of(i.value.type_index()); })
      .def_property_readonly("instance_id", [](const graph::NodeItem& i) { return i.record.instance_id; })
      .def_property_readonly("timestamp", [](const graph::NodeItem& i) { return i.record.timestamp; })
      .def_property_readonly("marker", [](const graph::NodeItem& i) { return marker_of(i.record.marker); })
      .def("__repr__", [](const graph::NodeItem& i) {
        return "NodeItem { record: " + record_text(i.record) + ", value: " + to_string(i.value) + " }";
      });
  py::class_<graph::RelationItem>(m, "RelationItem", "An owned copy of one relation version and its value.")
      .def_readonly("record", &graph::RelationItem::record)
      .def_readonly("value", &graph::RelationItem::value)
      .def_property_readonly("index", [](const graph::RelationItem& i) {
        return graph::Index(i.value.type_index(), i.record.instance_id);
      })
      .def_property_readonly("kind", [](const graph::RelationItem& i) { return relation_kind_of(i.value.type_index()); })
      .def_property_readonly("instance_id", [](const graph::RelationItem& i) { return i.record.instance_id; })
      .def_property_readonly("timestamp", [](const graph::RelationItem& i) { return i.record.timestamp; })
      .def_property_readonly("marker", [](const graph::RelationItem& i) { return marker_of(i.record.marker); })
      .def("__repr__", [](const graph::RelationItem& i) {
        return "RelationItem { record: " + record_text(i.record) + ", value: " + to_string(i.value) + " }";
      });
}

}  // namespace

std::uint64_t node_kind_arg(py::handle kind) {
  const ModuleTypes& t = module_types();
  return kind_arg(kind, kNodeKindCount, t.relation_kind, "node");
}

std::uint64_t relation_kind_arg(py::handle kind) {
  const ModuleTypes& t = module_types();
  return kind_arg(kind, kRelationKindCount, t.node_kind, "relation");
}

graph::Index node_index_arg(py::handle index) { return index_arg(index, node_kind_arg); }
graph::Index relation_index_arg(py::handle index) { return index_arg(index, relation_kind_arg); }

KnowledgeGraphNode make_node(std::uint64_t kind, const py::dict& attributes) {
  KnowledgeGraphNode node;
  node.tag = kind;
  store_attributes(node.payload, node_fields(kind), node_kind_name(kind), attributes);
  return node;
}

KnowledgeGraphRelation make_relation(std::uint64_t kind, const py::dict& attributes) {
  KnowledgeGraphRelation relation;
  relation.tag = kind;
  store_attributes(relation.payload, relation_fields(kind), relation_kind_name(kind), attributes);
  return relation;
}

void bind_values(py::module_& m) {
  bind_vectors(m);
  bind_index(m);
  bind_node_value(m);
  bind_relation_value(m);
  bind_records(m);
  bind_items(m);
}

}  // namespace varnel_python
