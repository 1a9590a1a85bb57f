// The round-trip check of the form readers' fuzz targets: the pairs a
// browser would have sent come back from the table, in order, exactly.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "form/body_readers.h"
#include "fuzz_check.h"

namespace tarvelo {

using sent_pairs = std::vector<std::pair<std::string, std::string>>;

// Checks table against sent, then empties the table for the next input.
inline void check_pairs_read_back(const sent_pairs& sent, form_table* table) {
  FUZZ_CHECK(table->form_count == static_cast<int>(sent.size()));
  for (int i = 0; i < table->form_count; ++i) {
    FUZZ_CHECK(sent[i].first == table->names[i]);
    FUZZ_CHECK(sent[i].second == table->values[i]);
  }
  clear_form_table(table);
}

}  // namespace tarvelo
