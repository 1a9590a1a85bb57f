// The spool file reader: the input is a whole spool file as -resend_spool
// finds it. A file the reader takes must be exactly the bytes the writer
// makes of what it read back, so nothing a resend sends differs from what
// the run spooled, and a file the writer could not have made is refused.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "spool/spool.h"

using namespace tarvelo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  spool_record record;
  if (!spool_parse(text, size, &record)) return 0;
  FUZZ_CHECK(strcmp(record.line_end, "\r\n") == 0 ||
             strcmp(record.line_end, "\n") == 0);
  std::string again;
  spool_format(spool_fields_of(record), &again);
  FUZZ_CHECK(again.size() == size);
  FUZZ_CHECK(memcmp(again.data(), text, size) == 0);
  return 0;
}
