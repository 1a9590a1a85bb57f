#include "support/alloc.h"

#include <cstdlib>
#include <cstring>

#include "support/log.h"

namespace tarvelo {

void* malloc_or_fail(size_t size, const char* message) {
  // malloc(0) may return null on success; one byte keeps null for failure.
  void* block = malloc(size == 0 ? 1 : size);
  if (block == nullptr) fail_with_page(message);
  return block;
}

void* realloc_or_fail(void* block, size_t size, const char* message) {
  void* grown = realloc(block, size == 0 ? 1 : size);
  if (grown == nullptr) fail_with_page(message);
  return grown;
}

char* copy_or_fail(const char* data, size_t size, const char* message) {
  char* copy = static_cast<char*>(malloc_or_fail(size + 1, message));
  memcpy(copy, data, size);
  copy[size] = '\0';
  return copy;
}

char* copy_text_or_fail(const char* text, const char* message) {
  return copy_or_fail(text, strlen(text), message);
}

}  // namespace tarvelo
