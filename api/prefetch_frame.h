// VPreFetchFrame: the frame record prefetching keeps filling, and the
// bookkeeping that lets the host's GetFrame take it by exchange instead of
// copying it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "client/frame_record.h"

// Fillers call Put, one at a time: the frame client's receiving thread (the
// frames the prefetch thread has it deliver), the prefetch thread (the frames
// it pulls itself) or a host call while that thread is not running. Host
// calls, which the facade serialises, call the rest. Records are only ever
// exchanged, never copied, each exchange under FrameMutex. What an exchange
// hands back (a replaced record) is the caller's to free, after the lock is
// released.
class VPreFetchFrame {
 public:
  // Holds an empty record (frame number -1), which is never taken.
  VPreFetchFrame() = default;
  VPreFetchFrame(const VPreFetchFrame&) = delete;
  VPreFetchFrame& operator=(const VPreFetchFrame&) = delete;

  // Filler: `fresh` becomes the newest prefetched record; `fresh` receives
  // the record it replaces.
  void Put(VFrameRecord& fresh);

  // Host: when a record was put since `current` was filled, exchanges it
  // into `current` and returns true. The record `current` held then waits
  // here, never read as a frame, until the next Put replaces it. Takes no
  // lock when nothing new is here, so a host polling GetFrame does not
  // contend with the prefetch thread.
  bool TakeNewer(VFrameRecord& current);

  // Host, prefetching off: exchanges `newest` (a record fetched directly from
  // the frame client) into `current`; `newest` receives what is to be freed.
  // Every record put before is older than `current` from then on, so the
  // next TakeNewer takes only a record put after this call: switching
  // prefetching on never goes back to an older frame (or to none).
  void ReplaceCurrent(VFrameRecord& current, VFrameRecord& newest);

  // Drops the video frame handles of the record held here.
  void DropVideoFrames();

 private:
  std::recursive_mutex FrameMutex;
  VFrameRecord Record;
  // Records put so far (1 counts the initial empty record); read without
  // the lock by TakeNewer.
  std::atomic<uint64_t> Generation{1};
  // Host calls only (the facade serialises them): the generation `current`
  // is as new as.
  uint64_t TakenGeneration = 1;
};
