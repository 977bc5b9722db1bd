#include "api/prefetch_frame.h"

#include <utility>

void VPreFetchFrame::Put(VFrameRecord& fresh) {
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  std::swap(Record, fresh);
  ++Generation;
}

bool VPreFetchFrame::TakeNewer(VFrameRecord& current) {
  // The generation only grows, so an unchanged one needs no lock.
  if (TakenGeneration == Generation.load()) return false;
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  std::swap(current, Record);
  TakenGeneration = Generation.load();
  return true;
}

void VPreFetchFrame::ReplaceCurrent(VFrameRecord& current, VFrameRecord& newest) {
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  std::swap(current, newest);
  // Whatever was prefetched so far is older than `current` now: only a
  // record put after this one is taken.
  TakenGeneration = Generation.load();
}

void VPreFetchFrame::DropVideoFrames() {
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  Record.VideoFrames.clear();
}
