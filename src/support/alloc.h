// Heap blocks that a run cannot do without: when memory runs out the run
// ends through fail_with_page with the caller's message, so a caller never
// sees a null pointer. No state.
#pragma once

#include <cstddef>

namespace tarvelo {

// The messages the run ends with when memory runs out. Each call site names
// its own; the log and the page show it byte for byte, with or without the
// full stop.
constexpr const char kNoMemory[] = "Unable to malloc memory";
constexpr const char kNoMemoryStop[] = "Unable to malloc memory.";
constexpr const char kOutOfMemory[] = "out of memory.";

// A new block of size bytes (size 0 asks for one byte). On failure:
// fail_with_page(message), which does not return.
void* malloc_or_fail(size_t size, const char* message);

// Resizes block (null: a new one) to size bytes, keeping its bytes as
// realloc does. On failure: fail_with_page(message); block is not freed.
void* realloc_or_fail(void* block, size_t size, const char* message);

// A new NUL-terminated copy of the size bytes at data (which may hold NULs).
// On failure: fail_with_page(message).
char* copy_or_fail(const char* data, size_t size, const char* message);

// A new copy of the NUL-terminated text. On failure: fail_with_page(message).
char* copy_text_or_fail(const char* text, const char* message);

}  // namespace tarvelo
