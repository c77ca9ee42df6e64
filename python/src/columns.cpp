// Columns: a kind's versions as one numpy structured array, filled in C++ row
// by row from the view's copies (no Python object per version).
//
// Row layout (little-endian, itemsize a multiple of 8):
//   nodes:     instance_id u8 @0, timestamp u8 @8, marker u1 @16, attributes @20
//   relations: instance_id u8 @0, timestamp u8 @8, marker u1 @16, from_kind u8 @24,
//              from_id u8 @32, to_kind u8 @40, to_id u8 @48, attributes @56
// The attributes keep their offsets within the kind's stored record, so a row's
// attribute bytes are one copy of the record. Behind them, `change` (S8): what
// the version changed against the instance's previous one (see kChange*).
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
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
    const std::size_t change = change_offset(attributes, record_size);
    add("change", py::str("S8"), change);
    return py::dtype(names, formats, offsets, static_cast<py::ssize_t>(change + 8));
  }
  static std::size_t change_offset(std::size_t attributes, std::size_t record_size) {
    return (attributes + record_size + 7) / 8 * 8;
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

// What each version changed against the instance's previous version: its
// value (a first version, a new payload, a revival, a relation's endpoints), only
// its lists (the payload as before: a relation was added or removed, or the host
// wrote the same value again), or it removed the instance.
enum class Change : unsigned char { Value, Lists, Removed };
constexpr const char* change_name(Change change) {
  switch (change) {
    case Change::Value: return "value";
    case Change::Lists: return "lists";
    case Change::Removed: return "removed";
  }
  return "";
}

template <class Version> bool same_ends(const Version&, const Version&) { return true; }
bool same_ends(const graph::RelationVersion& a, const graph::RelationVersion& b) {
  return a.from == b.from && a.to == b.to;
}

// What each version changed, version by version in write order. `before` holds
// each instance's Valid version just before the first one (for a window: as of
// its start); it must outlive the tracker.
template <class Version> class ChangeTracker {
 public:
  ChangeTracker(std::uint64_t kind, std::size_t size, const std::map<std::uint64_t, Version>& before)
      : kind_(kind), size_(size) {
    latest_.reserve(before.size() + 64);
    for (const auto& [id, version] : before) latest_[id] = &version;
  }
  // `version` must outlive the tracker too.
  Change next(const Version& version) {
    const Version*& previous = latest_[version.instance_id];
    if (version.marker != graph::Marker::Valid) {
      previous = nullptr;
      return Change::Removed;
    }
    const bool same = previous != nullptr && version.value.type_index() == kind_ &&
                      previous->value.type_index() == kind_ && same_ends(*previous, version) &&
                      std::memcmp(previous->value.payload, version.value.payload, size_) == 0;
    previous = &version;
    return same ? Change::Lists : Change::Value;
  }

 private:
  std::uint64_t kind_;
  std::size_t size_;
  // Each instance's latest Valid version so far (null: none, or removed).
  std::unordered_map<std::uint64_t, const Version*> latest_;
};

// With `value_changes`: the rows kept, one per (instance, timestamp), the last
// of its versions that changed more than the lists, in write order.
template <class Version>
std::vector<std::size_t> value_change_rows(ChangeTracker<Version>& tracker, const std::vector<Version>& versions) {
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> last;
  for (std::size_t i = 0; i < versions.size(); ++i)
    if (tracker.next(versions[i]) != Change::Lists) last[{versions[i].instance_id, versions[i].timestamp}] = i;
  std::vector<std::size_t> rows;
  rows.reserve(last.size());
  for (const auto& entry : last) rows.push_back(entry.second);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// One row per kept version: `head` writes the version's own fields, then the
// kind's record is copied in whole when the version holds a value of that kind.
template <class Version, class Head>
py::object fill_rows(Layout& layout, const Fields& fields, std::size_t attributes,
                     std::size_t size, std::uint64_t kind, const std::vector<Version>& versions,
                     std::map<std::uint64_t, Version> before, bool value_changes, Head head) {
  require_numpy();
  const py::dtype dtype = layout.dtype(fields, attributes, size);
  const std::size_t itemsize = static_cast<std::size_t>(dtype.itemsize());
  const std::size_t change_at = Layout::change_offset(attributes, size);
  ChangeTracker<Version> tracker(kind, size, before);
  std::vector<std::size_t> kept;
  if (value_changes) kept = value_change_rows(tracker, versions);
  const std::size_t rows = value_changes ? kept.size() : versions.size();
  unsigned char* data = nullptr;
  py::array array = zeroed(dtype, rows, data);
  for (std::size_t row = 0; row < rows; ++row) {
    const Version& version = versions[value_changes ? kept[row] : row];
    put(data, 0, version.instance_id);
    put(data, 8, version.timestamp);
    put(data, 16, version.marker);
    head(data, version);
    // A version that names no value of its kind keeps zero attributes.
    if (version.value.type_index() == kind) std::memcpy(data + attributes, version.value.payload, size);
    // Kept rows are never "lists" changes; the others are told in order.
    const Change change = value_changes ? (version.marker == graph::Marker::Valid ? Change::Value : Change::Removed)
                                        : tracker.next(version);
    const std::string_view name = change_name(change);
    std::memcpy(data + change_at, name.data(), name.size());
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

py::object node_columns(std::uint64_t kind, const std::vector<graph::NodeVersion>& versions,
                        std::map<std::uint64_t, graph::NodeVersion> before, bool value_changes) {
  Layout layout = common_layout();
  return fill_rows(layout, types::node_fields(kind), kNodeAttributes, types::node_record_size(kind), kind,
                   versions, std::move(before), value_changes, [](unsigned char*, const graph::NodeVersion&) {});
}

py::object relation_columns(std::uint64_t kind, const std::vector<graph::RelationVersion>& versions,
                            std::map<std::uint64_t, graph::RelationVersion> before, bool value_changes) {
  Layout layout = common_layout();
  layout.add("from_kind", py::str("<u8"), 24);
  layout.add("from_id", py::str("<u8"), 32);
  layout.add("to_kind", py::str("<u8"), 40);
  layout.add("to_id", py::str("<u8"), 48);
  return fill_rows(layout, types::relation_fields(kind), kRelationAttributes,
                   types::relation_record_size(kind), kind, versions, std::move(before), value_changes,
                   [](unsigned char* row, const graph::RelationVersion& version) {
                     put(row, 24, version.from.type_index);
                     put(row, 32, version.from.instance_id);
                     put(row, 40, version.to.type_index);
                     put(row, 48, version.to.instance_id);
                   });
}

py::dict flat_columns(const py::object& rows) {
  const py::module_ numpy = py::module_::import("numpy");
  const py::object ascontiguous = numpy.attr("ascontiguousarray");
  const py::object decode = numpy.attr("char").attr("decode");
  const py::object every = py::module_::import("builtins").attr("slice")(py::none());
  py::dict flat;
  const py::object dtype = rows.attr("dtype");
  for (const py::handle name : dtype.attr("names")) {
    const py::object column = rows[name];
    const py::object field = dtype[name];
    const std::string key = name.cast<std::string>();
    if (py::len(field.attr("shape")) > 0) {  // a vector: one column per component
      const auto width = field.attr("shape").cast<py::tuple>()[0].cast<std::size_t>();
      static constexpr const char* kComponents[] = {"x", "y", "z"};
      for (std::size_t i = 0; i < width && i < 3; ++i)
        flat[py::str(key + "_" + kComponents[i])] = ascontiguous(column[py::make_tuple(every, i)]);
    } else if (field.attr("kind").cast<std::string>() == "S") {  // names: str, as the items give them
      flat[name] = decode(column, "utf-8");
    } else {
      flat[name] = ascontiguous(column);
    }
  }
  return flat;
}

void require_pandas() {
  try {
    py::module_::import("pandas");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw py::import_error(
        "to_pandas() returns a pandas DataFrame, and pandas cannot be imported (" +
        std::string(error.what()) + "); install it (Debian: apt-get install python3-pandas)");
  }
}

}  // namespace varnel_python
