// The archive's sheet (-archive_csv). The input is an archive's text.
// Checked: the sheet starts with the byte-order mark and reads back under
// RFC 4180's grammar (every quote doubled inside a quoted cell, CRLF after
// each row); it has a row per record plus the header, every row as wide as
// the header; no cell starts with a formula character; every line is
// either a record or a skipped number, in order.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "tools/archive_csv.h"

using namespace tarvelo;

namespace {

// Reads sheet (after the mark) as RFC 4180 rows; a breach of the grammar
// fails a check.
std::vector<std::vector<std::string>> rows_of(std::string_view sheet) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  size_t i = 0;
  while (i < sheet.size()) {
    std::string cell;
    if (sheet[i] == '"') {
      ++i;
      for (;;) {
        FUZZ_CHECK(i < sheet.size());
        if (sheet[i] == '"') {
          if (i + 1 < sheet.size() && sheet[i + 1] == '"') {
            cell += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        cell += sheet[i++];
      }
    } else {
      while (i < sheet.size() && sheet[i] != ',' && sheet[i] != '\r') {
        FUZZ_CHECK(sheet[i] != '"' && sheet[i] != '\n');
        cell += sheet[i++];
      }
    }
    row.push_back(cell);
    FUZZ_CHECK(i < sheet.size());
    if (sheet[i] == ',') {
      ++i;
      continue;
    }
    FUZZ_CHECK(sheet.substr(i, 2) == "\r\n");
    i += 2;
    rows.push_back(row);
    row.clear();
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view archive(reinterpret_cast<const char*>(data), size);
  std::vector<int> skipped;
  std::string sheet = archive_csv_of(archive, &skipped);
  FUZZ_CHECK(sheet.compare(0, 3, "\xEF\xBB\xBF") == 0);
  std::vector<std::vector<std::string>> rows =
      rows_of(std::string_view(sheet).substr(3));
  FUZZ_CHECK(!rows.empty());
  FUZZ_CHECK(rows[0][0] == "time" && rows[0][1] == "outcome");
  for (const auto& row : rows) {
    FUZZ_CHECK(row.size() == rows[0].size());
    for (const std::string& cell : row) {
      FUZZ_CHECK(cell.empty() || std::string_view("=+-@\t\r").find(
                                     cell[0]) == std::string_view::npos);
    }
  }
  size_t lines = 0;
  for (size_t i = 0; i < archive.size(); ++i) {
    if (archive[i] == '\n') ++lines;
  }
  if (!archive.empty() && archive.back() != '\n') ++lines;
  FUZZ_CHECK(rows.size() - 1 + skipped.size() == lines);
  for (size_t k = 0; k < skipped.size(); ++k) {
    FUZZ_CHECK(skipped[k] >= 1 && static_cast<size_t>(skipped[k]) <= lines);
    FUZZ_CHECK(k == 0 || skipped[k] > skipped[k - 1]);
  }
  return 0;
}
