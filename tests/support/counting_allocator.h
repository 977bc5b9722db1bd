// A replaced global operator new that counts what a test program allocates:
// calls and bytes between two points, the largest single allocation, and the
// bytes live at any moment (every block carries its size, so a release
// subtracts exactly what its allocation added). Compile counting_allocator.cpp
// into a test program of its own: it replaces the allocator of the whole
// program.
#pragma once

#include <cstddef>
#include <functional>

namespace QSTesting {

struct VAllocationReport {
  std::size_t Count = 0;    // operator new calls
  std::size_t Bytes = 0;    // bytes asked for, freed or not
  std::size_t Largest = 0;  // the largest single request
  // The most bytes live at once, above those live when counting began.
  std::size_t PeakAbove = 0;
};

// Runs `step` while counting every allocation made on any thread.
VAllocationReport MeasureAllocations(const std::function<void()>& step);

// Bytes allocated through operator new and not yet released, now.
std::size_t LiveBytes();

}  // namespace QSTesting
