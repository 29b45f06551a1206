// The test binary's own nothrow operator new (plain and array forms), which
// can be told to fail one chosen allocation: the way the recorder meets an
// exhausted heap, without exhausting the machine's.
#pragma once

#include <cstddef>

namespace failing_allocator {

// Counting from now, the `nth` nothrow allocation of exactly `size` bytes
// returns null. With `otherThreadsOnly`, allocations made by the calling
// thread are neither counted nor failed.
void FailNth(std::size_t size, unsigned long nth, bool otherThreadsOnly);
// Nothing fails any more.
void Disarm();
// Allocations failed since the last FailNth.
unsigned long Failed();

}  // namespace failing_allocator
