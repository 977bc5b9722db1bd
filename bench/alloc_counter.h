// Counts the calls of the global operator new of the program it is linked
// into (alloc_counter.cpp replaces every form of it).
#pragma once

#include <cstdint>

namespace QSBench {

struct VAllocationCount {
  uint64_t Calls = 0;
  uint64_t Bytes = 0;
};

// Totals since the program started, over all threads.
VAllocationCount AllocationsSoFar();

}  // namespace QSBench
