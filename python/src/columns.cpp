// Columns: a kind's versions as one numpy structured array, filled in C++ row
// by row from the view's copies (no Python object per version).
//
// Row layout (little-endian, itemsize a multiple of 8):
//   nodes:     instance_id u8 @0, timestamp u8 @8, marker u1 @16, attributes @20
//   relations: instance_id u8 @0, timestamp u8 @8, marker u1 @16, from_kind u8 @24,
//              from_id u8 @32, to_kind u8 @40, to_id u8 @48, attributes @56
// The attributes keep their offsets within the kind's stored record, so a row's
// attribute bytes are one copy of the record.
#include <pybind11/numpy.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bindings.hpp"

namespace varnel_python {
namespace {

constexpr std::size_t kNodeAttributes = 20;
constexpr std::size_t kRelationAttributes = 56;

// A field's numpy format; vectors are float32 subarrays of their components.
py::object field_format(FieldType type) {
  switch (type) {
    case FieldType::i32: return py::str("<i4");
    case FieldType::f32: return py::str("<f4");
    case FieldType::Vector3f:
    case FieldType::Vector2f: return py::make_tuple("<f4", py::make_tuple(types::components(type).size()));
    case FieldType::RawString: return py::str("S" + std::to_string(types::field_size(type)));
  }
  return py::str("V1");
}

struct Layout {
  py::list names, formats, offsets;
  void add(std::string_view name, py::object format, std::size_t offset) {
    names.append(py::str(name.data(), name.size()));
    formats.append(std::move(format));
    offsets.append(offset);
  }
  py::dtype dtype(const Fields& fields, std::size_t attributes, std::size_t record_size) {
    for (const Field& field : fields)
      add(field.name, field_format(field.type), attributes + field.offset);
    const std::size_t itemsize = (attributes + record_size + 7) / 8 * 8;
    return py::dtype(names, formats, offsets, static_cast<py::ssize_t>(itemsize));
  }
};

template <class T> void put(unsigned char* row, std::size_t offset, const T& value) {
  std::memcpy(row + offset, &value, sizeof value);
}

// An array of `rows` zeroed rows, and where its bytes are.
py::array zeroed(const py::dtype& dtype, std::size_t rows, unsigned char*& data) {
  py::array array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows)});
  data = static_cast<unsigned char*>(array.mutable_data());
  std::memset(data, 0, rows * static_cast<std::size_t>(dtype.itemsize()));
  return array;
}

}  // namespace

void require_numpy() {
  try {
    py::module_::import("numpy");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw py::import_error(
        "columns() returns numpy arrays, and numpy cannot be imported (" +
        std::string(error.what()) + "); install it (Debian: apt-get install python3-numpy)");
  }
}

namespace {

// One row per version: `head` writes the version's own fields, then the kind's
// record is copied in whole when the version holds a value of that kind.
template <class Version, class Head>
py::object fill_rows(Layout& layout, const Fields& fields, std::size_t attributes,
                     std::size_t size, std::uint64_t kind, const std::vector<Version>& versions,
                     Head head) {
  require_numpy();
  const py::dtype dtype = layout.dtype(fields, attributes, size);
  const std::size_t itemsize = static_cast<std::size_t>(dtype.itemsize());
  unsigned char* data = nullptr;
  py::array array = zeroed(dtype, versions.size(), data);
  for (const Version& version : versions) {
    put(data, 0, version.instance_id);
    put(data, 8, version.timestamp);
    put(data, 16, version.marker);
    head(data, version);
    // A version that names no value of its kind keeps zero attributes.
    if (version.value.type_index() == kind) std::memcpy(data + attributes, version.value.payload, size);
    data += itemsize;
  }
  return array;
}

// The fields every row starts with.
Layout common_layout() {
  Layout layout;
  layout.add("instance_id", py::str("<u8"), 0);
  layout.add("timestamp", py::str("<u8"), 8);
  layout.add("marker", py::str("u1"), 16);
  return layout;
}

}  // namespace

py::object node_columns(std::uint64_t kind, const std::vector<graph::NodeVersion>& versions) {
  Layout layout = common_layout();
  return fill_rows(layout, types::node_fields(kind), kNodeAttributes, types::node_record_size(kind), kind,
                   versions, [](unsigned char*, const graph::NodeVersion&) {});
}

py::object relation_columns(std::uint64_t kind,
                            const std::vector<graph::RelationVersion>& versions) {
  Layout layout = common_layout();
  layout.add("from_kind", py::str("<u8"), 24);
  layout.add("from_id", py::str("<u8"), 32);
  layout.add("to_kind", py::str("<u8"), 40);
  layout.add("to_id", py::str("<u8"), 48);
  return fill_rows(layout, types::relation_fields(kind), kRelationAttributes,
                   types::relation_record_size(kind), kind, versions,
                   [](unsigned char* row, const graph::RelationVersion& version) {
                     put(row, 24, version.from.type_index);
                     put(row, 32, version.from.instance_id);
                     put(row, 40, version.to.type_index);
                     put(row, 48, version.to.instance_id);
                   });
}

}  // namespace varnel_python
