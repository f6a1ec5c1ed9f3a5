// Reading schedule JSON: each record's fields by name, each number checked against its width.

#include "schedule_reader.hpp"

#include "strict_json.hpp"

#include <limits>
#include <set>
#include <string>
#include <utility>

namespace orvik_compiler::schedule_io {
namespace {

using nlohmann::json;

/// A schedule nests seven levels deep (document, phases, phase, commands, command, key, shape).
constexpr std::size_t max_nesting = 8;
constexpr std::uint64_t schema_version = 1;

/// A field that cannot be read: its JSON path (without the leading "$") and what is wrong.
struct FieldError {
  std::string path;
  std::string message;
};

std::string element_path(const std::string& parent, std::size_t index) {
  return parent + "[" + std::to_string(index) + "]";
}

/// The fields of one JSON object, read by name; any field not read is reported as unknown.
class Fields {
public:
  Fields(const json& value, std::string path) : value_(value), path_(std::move(path)) {
    if (!value.is_object()) {
      throw FieldError{path_.empty() ? "$" : path_, "must be an object"};
    }
  }

  /// The member `name`, which must be present.
  std::pair<const json&, std::string> operator[](const char* name) {
    const auto found = value_.find(name);
    const std::string path = member_path(path_, name);
    if (found == value_.end()) {
      throw FieldError{path, "missing"};
    }
    read_.insert(name);
    return {*found, path};
  }

  /// Fails for the first member that was not read.
  void no_other_fields() const {
    for (const auto& [name, value] : value_.items()) {
      if (read_.count(name) == 0) {
        throw FieldError{member_path(path_, name), "unknown field"};
      }
    }
  }

private:
  const json& value_;
  std::string path_;
  std::set<std::string> read_;
};

/// An unsigned integer of at most `max`; `what` names what a number of the field is, for the
/// range error ("a tile number").
std::uint64_t unsigned_number(const std::pair<const json&, std::string>& field, std::uint64_t max,
                              const char* what) {
  const auto& [value, path] = field;
  if (!value.is_number_unsigned() &&
      !(value.is_number_integer() && value.get<std::int64_t>() >= 0)) {
    throw FieldError{path, value.dump() + " is not " + std::string(what)};
  }
  const auto number = value.get<std::uint64_t>();
  if (number > max) {
    throw FieldError{path, std::to_string(number) + " is not " + std::string(what)};
  }
  return number;
}

template <class Integer>
Integer sized(const std::pair<const json&, std::string>& field, const char* what) {
  return static_cast<Integer>(unsigned_number(field, std::numeric_limits<Integer>::max(), what));
}

std::uint16_t tile(const std::pair<const json&, std::string>& field) {
  return sized<std::uint16_t>(field, "a tile number");
}

std::uint32_t u32(const std::pair<const json&, std::string>& field) {
  return sized<std::uint32_t>(field, "an unsigned 32-bit number");
}

std::uint64_t u64(const std::pair<const json&, std::string>& field) {
  return sized<std::uint64_t>(field, "an unsigned 64-bit number");
}

std::string text(const std::pair<const json&, std::string>& field) {
  if (!field.first.is_string()) {
    throw FieldError{field.second, "must be a string"};
  }
  return field.first.get<std::string>();
}

/// The elements of an array field, each read by `element(value, path)`.
template <class Element>
auto array(const std::pair<const json&, std::string>& field, Element element) {
  const auto& [value, path] = field;
  if (!value.is_array()) {
    throw FieldError{path, "must be an array"};
  }
  std::vector<decltype(element(value, path))> elements;
  elements.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    elements.push_back(element(value[i], element_path(path, i)));
  }
  return elements;
}

TensorId tensor_id(const json& value, const std::string& path) {
  return TensorId{u64({value, path})};
}

Layout layout(const json& value, const std::string& path) {
  Fields fields(value, path);
  Layout result;
  result.tensor = TensorId{u64(fields["tensor"])};
  result.tiles = array(fields["tiles"], [](const json& v, const std::string& p) {
    return tile({v, p});
  });
  const auto sharding_field = fields["sharding"];
  const std::optional<Sharding> sharding = sharding_named(text(sharding_field));
  if (!sharding) {
    throw FieldError{sharding_field.second, sharding_field.first.dump() +
                                                " is not a sharding (Replicated, Rows, "
                                                "Columns or Heads)"};
  }
  result.sharding = *sharding;
  result.alignment = u32(fields["alignment"]);
  fields.no_other_fields();
  return result;
}

Transfer transfer(const json& value, const std::string& path) {
  Fields fields(value, path);
  Transfer result{tile(fields["source_tile"]), tile(fields["destination_tile"]),
                  TensorId{u64(fields["tensor"])}, u32(fields["bytes"])};
  fields.no_other_fields();
  return result;
}

KernelCommand command(const json& value, const std::string& path) {
  Fields fields(value, path);
  KernelCommand result;
  result.tile = tile(fields["tile"]);
  result.output = TensorId{u64(fields["output"])};
  result.inputs = array(fields["inputs"], tensor_id);
  const auto key_field = fields["specialization"];
  Fields key(key_field.first, key_field.second);
  SpecializationKey& specialization = result.specialization;
  specialization.operation = text(key["operation"]);
  specialization.shape = array(key["shape"], [](const json& v, const std::string& p) {
    return u64({v, p});
  });
  specialization.worker_count = sized<std::uint8_t>(key["worker_count"], "a worker count");
  specialization.role = text(key["role"]);
  specialization.alignment = u32(key["alignment"]);
  key.no_other_fields();
  fields.no_other_fields();
  return result;
}

Phase phase(const json& value, const std::string& path) {
  Fields fields(value, path);
  const auto kind_field = fields["kind"];
  const std::string kind = text(kind_field);
  Phase result;
  if (kind == "exchange") {
    result = Phase::Exchange{array(fields["transfers"], transfer)};
  } else if (kind == "compute") {
    result = Phase::Compute{OpId{u64(fields["op"])}, array(fields["commands"], command)};
  } else {
    throw FieldError{kind_field.second,
                     kind_field.first.dump() + " is not a phase kind (exchange or compute)"};
  }
  fields.no_other_fields();
  return result;
}

Allocation allocation(const json& value, const std::string& path) {
  Fields fields(value, path);
  Allocation result{TensorId{u64(fields["tensor"])}, tile(fields["tile"]),
                    u32(fields["address"]),          u32(fields["size"]),
                    u64(fields["live_from"]),        u64(fields["live_until"])};
  fields.no_other_fields();
  return result;
}

Schedule schedule(const json& document) {
  Fields fields(document, "");
  const auto schema = fields["schema"];
  if (text(schema) != "orvik-schedule") {
    throw FieldError{schema.second, schema.first.dump() + " is not the schema \"orvik-schedule\""};
  }
  const auto version = fields["version"];
  if (!version.first.is_number_integer() || version.first != schema_version) {
    throw FieldError{version.second, version.first.dump() +
                                         " is not a version this tool reads; it reads version 1"};
  }
  Schedule result;
  result.tile_count = sized<std::uint16_t>(fields["tile_count"], "a tile count");
  result.layouts = array(fields["layouts"], layout);
  result.phases = array(fields["phases"], phase);
  result.allocations = array(fields["allocations"], allocation);
  const auto peaks = fields["peak_sram"];
  for (const auto& [tile_number, bytes] : array(peaks, [](const json&v, const std::string&p) {
         Fields peak(v, p);
         std::pair entry{tile(peak["tile"]), u32(peak["bytes"])};
         peak.no_other_fields();
         return entry;
       })) {
    if (!result.peak_sram.emplace(tile_number, bytes).second) {
      throw FieldError{peaks.second, "tile " + std::to_string(tile_number) + " appears twice"};
    }
  }
  fields.no_other_fields();
  return result;
}

} // namespace

Result<Schedule> read_schedule_json(std::string_view text_of_file, std::string_view file) {
  const Result<json> parsed = parse_strict_json(text_of_file, file, max_nesting);
  if (!parsed) {
    return parsed.error();
  }
  try {
    return schedule(*parsed);
  } catch (const FieldError& error) {
    // Paths read like the schedule's own fields: "phases[3].commands[0].tile".
    std::string path = error.path;
    if (path.starts_with('.')) {
      path.erase(0, 1);
    }
    return CompileError::graph(std::string(file) + ": error: " + path + ": " + error.message);
  }
}

} // namespace orvik_compiler::schedule_io
