#include "api/prefetch_frame.h"

#include <utility>

void VPreFetchFrame::Put(VFrameRecord& fresh) {
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  std::swap(Record, fresh);
  ++Generation;
  Lent = false;
}

bool VPreFetchFrame::TakeNewer(VFrameRecord& current) {
  // The generation only grows, so an unchanged one needs no lock.
  if (TakenGeneration == Generation.load()) return false;
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  std::swap(current, Record);
  Lent = true;
  TakenGeneration = Generation.load();
  return true;
}

void VPreFetchFrame::ReplaceCurrent(VFrameRecord& current, VFrameRecord& newest) {
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  std::swap(current, newest);
  if (Lent) {
    std::swap(Record, newest);
    Lent = false;
  }
  TakenGeneration = 0;
}

void VPreFetchFrame::DropVideoFrames() {
  std::lock_guard<std::recursive_mutex> lock(FrameMutex);
  Record.VideoFrames.clear();
}
