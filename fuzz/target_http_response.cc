// The HTTP response reader on any bytes a server might send. The first two
// bytes of the input choose where the rest is split in two, the third
// whether the connection ends after it; each piece is handed over in a
// block of exactly its size, so a read past what arrived is caught.
// Properties that hold whatever the bytes:
// - whole, in two pieces, and byte by byte, the reader comes to the same
//   verdict, status, Content-Type and body;
// - a whole response has a final status (200..599) and at most 64 kB of
//   body;
// - a decided reader keeps its verdict whatever follows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "support/http_response.h"

using namespace tarvelo;

namespace {

http_read_verdict feed_exact(http_reader* r, const uint8_t* data,
                             size_t size) {
  char* block = static_cast<char*>(malloc(size == 0 ? 1 : size));
  if (size > 0) memcpy(block, data, size);
  http_read_verdict v = http_reader_feed(r, block, size);
  free(block);
  return v;
}

void check_same(const http_reader& a, const http_reader& b) {
  FUZZ_CHECK(a.verdict == b.verdict);
  if (a.verdict != HTTP_READ_DONE) return;
  FUZZ_CHECK(a.status == b.status);
  FUZZ_CHECK(a.content_type == b.content_type);
  FUZZ_CHECK(a.body == b.body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  size_t split = static_cast<size_t>(data[0] << 8 | data[1]);
  bool closed = (data[2] & 1) != 0;
  data += 3;
  size -= 3;
  split %= size + 1;

  http_reader whole;
  feed_exact(&whole, data, size);
  http_reader halves;
  feed_exact(&halves, data, split);
  feed_exact(&halves, data + split, size - split);
  http_reader bytewise;
  for (size_t i = 0; i < size; ++i) feed_exact(&bytewise, data + i, 1);
  if (closed) {
    http_reader_end(&whole);
    http_reader_end(&halves);
    http_reader_end(&bytewise);
  }
  check_same(whole, halves);
  check_same(whole, bytewise);

  if (whole.verdict == HTTP_READ_DONE) {
    FUZZ_CHECK(whole.status >= 200 && whole.status <= 599);
    FUZZ_CHECK(whole.body.size() <= kHttpMaxBodyBytes);
  }
  if (whole.verdict != HTTP_READ_MORE) {
    http_read_verdict decided = whole.verdict;
    FUZZ_CHECK(feed_exact(&whole, data, size) == decided);
    FUZZ_CHECK(http_reader_end(&whole) == decided);
  }
  return 0;
}
