// Checked allocation: the run-time layer takes heap memory only through these
// wrappers. A zero size is raised to 1 (with a warning when the warning bit of
// the message level is set); exhausted memory is a fatal report that ends the
// process.
#pragma once

#include <cstddef>

namespace nodrix {

void* xu_malloc(std::size_t size);
void* xu_calloc(std::size_t num, std::size_t size);
void* xu_realloc(void* ptr, std::size_t size);
void xu_free(void* ptr);

// Makes the next `count` system allocations of the wrappers fail, so that the
// exhaustion path can be exercised without exhausting memory.
void xu_mem_fail_next(int count);

}  // namespace nodrix
