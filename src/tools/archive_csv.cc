// Reads the archive's lines with rapidjson (RFC 8259); kept apart so the
// sanitizer builds can leave out one check for rapidjson (CMakeLists).
#include "tools/archive_csv.h"

#include <cerrno>
#include <cstring>
#include <map>

#include <rapidjson/document.h>

#include "support/exit_codes.h"
#include "support/os.h"

namespace tarvelo {

namespace {

using json_value = rapidjson::Value;

std::string text_of(const json_value& value) {
  return std::string(value.GetString(), value.GetStringLength());
}

// The member of object called name (the first, should it repeat), or null.
// Looked up by rapidjson itself: comparing its member iterators here is
// ambiguous to clang in C++20.
const json_value* member_of(const json_value& object, const char* name) {
  if (!object.HasMember(name)) return nullptr;
  return &object[name];
}

// A string member of object, or null when it is missing or no string.
const json_value* string_member(const json_value& object, const char* name) {
  const json_value* member = member_of(object, name);
  return member != nullptr && member->IsString() ? member : nullptr;
}

// A field's value: a string, or {"file": NAME, "size": N}.
bool field_value_of(const json_value& value, std::string* out) {
  if (value.IsString()) {
    *out = text_of(value);
    return true;
  }
  if (!value.IsObject()) return false;
  const json_value* file = string_member(value, "file");
  const json_value* size = member_of(value, "size");
  if (file == nullptr || size == nullptr || !size->IsInt64()) return false;
  *out = text_of(*file) + " (" + std::to_string(size->GetInt64()) +
         " bytes)";
  return true;
}

// The column a field's occurrence goes to: the name, then a count for a
// name that came before within the same record.
struct column_key {
  std::string name;
  int occurrence = 1;
  bool operator<(const column_key& other) const {
    return name != other.name ? name < other.name
                              : occurrence < other.occurrence;
  }
};

std::string column_title(const column_key& key) {
  if (key.occurrence == 1) return key.name;
  return key.name + " (" + std::to_string(key.occurrence) + ")";
}

// Each field of record with its column key, in the record's order.
std::vector<column_key> keys_of(const archive_record& record) {
  std::map<std::string, int> seen;
  std::vector<column_key> keys;
  for (const auto& field : record.fields) {
    keys.push_back({field.first, ++seen[field.first]});
  }
  return keys;
}

void append_row(const std::vector<std::string>& cells, std::string* out) {
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) *out += ',';
    *out += csv_cell(cells[i]);
  }
  *out += "\r\n";  // RFC 4180 2.1
}

}  // namespace

bool archive_record_of(std::string_view line, archive_record* out) {
  *out = archive_record();
  rapidjson::Document document;
  // Encoding checked: a sheet of broken UTF-8 shows as garbage.
  // Iterative: a deep nest must not run the stack out.
  document.Parse<rapidjson::kParseValidateEncodingFlag |
                 rapidjson::kParseIterativeFlag>(line.data(), line.size());
  if (document.HasParseError() || !document.IsObject()) return false;
  const json_value* time = string_member(document, "time");
  const json_value* outcome = string_member(document, "outcome");
  const json_value* fields = member_of(document, "fields");
  if (time == nullptr || outcome == nullptr || fields == nullptr ||
      !fields->IsArray()) {
    return false;
  }
  out->time = text_of(*time);
  out->outcome = text_of(*outcome);
  const json_value* client = member_of(document, "client");
  if (client != nullptr) {
    if (!client->IsString()) return false;
    out->has_client = true;
    out->client = text_of(*client);
  }
  for (const json_value& pair : fields->GetArray()) {
    if (!pair.IsArray() || pair.Size() != 2 || !pair[0].IsString()) {
      return false;
    }
    std::string value;
    if (!field_value_of(pair[1], &value)) return false;
    out->fields.emplace_back(text_of(pair[0]), std::move(value));
  }
  return true;
}

std::string csv_cell(std::string_view text) {
  std::string cell;
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) !=
                           std::string_view::npos) {
    cell += '\'';
  }
  cell.append(text);
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';  // RFC 4180 2.7
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string archive_csv_of(std::string_view archive,
                           std::vector<int>* skipped) {
  std::vector<archive_record> records;
  int line_number = 0;
  size_t start = 0;
  while (start < archive.size()) {
    size_t end = archive.find('\n', start);
    bool finished = end != std::string_view::npos;
    if (!finished) end = archive.size();
    ++line_number;
    archive_record record;
    // A line without its line feed is still being written, or was cut.
    if (finished &&
        archive_record_of(archive.substr(start, end - start), &record)) {
      records.push_back(std::move(record));
    } else {
      skipped->push_back(line_number);
    }
    start = end + 1;
  }

  bool any_client = false;
  std::vector<column_key> columns;
  std::map<column_key, size_t> column_of;
  for (const archive_record& record : records) {
    any_client = any_client || record.has_client;
    for (const column_key& key : keys_of(record)) {
      if (column_of.emplace(key, columns.size()).second) {
        columns.push_back(key);
      }
    }
  }
  size_t first_field = any_client ? 3 : 2;

  std::string sheet = "\xEF\xBB\xBF";
  std::vector<std::string> cells = {"time", "outcome"};
  if (any_client) cells.push_back("client");
  for (const column_key& key : columns) cells.push_back(column_title(key));
  append_row(cells, &sheet);
  for (const archive_record& record : records) {
    cells.assign(first_field + columns.size(), std::string());
    cells[0] = record.time;
    cells[1] = record.outcome;
    if (any_client) cells[2] = record.client;
    std::vector<column_key> keys = keys_of(record);
    for (size_t i = 0; i < keys.size(); ++i) {
      cells[first_field + column_of[keys[i]]] = record.fields[i].second;
    }
    append_row(cells, &sheet);
  }
  return sheet;
}

int archive_csv_command(const char* path, FILE* out, FILE* err) {
  int error = 0;
  FILE* file = os_open_regular_file(path, &error);
  if (file == nullptr) {
    fprintf(err, "-archive_csv: cannot read %s: %s\n", path, strerror(error));
    return EXIT_TOOL_FAILED;
  }
  std::string archive;
  char buffer[65536];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
    archive.append(buffer, n);
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) {
    fprintf(err, "-archive_csv: cannot read %s: read error\n", path);
    return EXIT_TOOL_FAILED;
  }
  std::vector<int> skipped;
  std::string sheet = archive_csv_of(archive, &skipped);
  for (int line : skipped) {
    fprintf(err, "-archive_csv: line %d is no record; skipped\n", line);
  }
  os_stdout_binary();
  fwrite(sheet.data(), 1, sheet.size(), out);
  return EXIT_RUN_DONE;
}

}  // namespace tarvelo
