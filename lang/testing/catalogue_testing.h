// Test hook of the text catalogue: included by tests only.
#pragma once

#include <cstddef>

namespace lang {
// Allocator of the catalogue table (calloc semantics), to make it fail; nullptr restores
// calloc.
using TableAllocator = void* (*)(std::size_t count, std::size_t size);
void SetTableAllocatorForTests(TableAllocator allocator);
}  // namespace lang
