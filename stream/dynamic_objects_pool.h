// The dynamic containers and inner lists that the packet reader fills again
// instead of allocating new ones for every packet.
#pragma once

#include <cstdint>
#include <memory>

#include "streamio/dynamic_objects.h"

// Where delivered dynamic containers go back to when their last holder lets
// go of them (dynamic_objects_pool.cpp).
class VDynamicObjectsBin;

// Used by the receiving thread only; containers come back to it from any
// thread.
class VDynamicObjectsPool {
 public:
  VDynamicObjectsPool();
  ~VDynamicObjectsPool();

  // A container for the dynamic objects of a packet of `payloadBytes`: one
  // that came back, emptied (its inner lists go to Spare()), or a new one
  // whose lists have the capacity of `previous`'s (the previous packet's
  // container, or nullptr). Containers and lists with room for far more than
  // this payload can fill are freed rather than reused, so that the memory
  // kept follows the stream. The container returns here when its last
  // holder drops it, or is freed once the pool is gone.
  std::shared_ptr<LumoraQSStream::VDynamicObjects> Take(uint32_t payloadBytes,
                                                        const LumoraQSStream::VDynamicObjects* previous);

  // Readies a container that has come back for a packet of about
  // `payloadBytes`, doing now what Take would do on its arrival: the
  // container is emptied (its inner lists go to Spare()) and wrapped for
  // sharing. The next Take hands it out as it is when its packet's payload
  // is at least as large; for a smaller one Take decides again as if
  // nothing had been readied. Does nothing when no container has come back
  // or one is readied already. The receiving thread calls it between
  // packets, while it waits anyway, so that a packet's arrival and its
  // delivery are not kept apart by this work.
  void Prepare(uint32_t payloadBytes) noexcept;

  // The inner lists given up by the containers taken, for
  // DecodeDynamicObject to hand to the elements it appends.
  LumoraQSStream::VSpareLists& Spare() { return SpareLists; }

  // Frees every container and list kept (the start of a connection).
  void Clear();

 private:
  // A container that came back, emptied for a packet whose lists may take
  // up to `maxRoom` bytes; nullptr when none came back or it holds more.
  std::unique_ptr<LumoraQSStream::VDynamicObjects> Reuse(uint64_t maxRoom);

  std::shared_ptr<VDynamicObjectsBin> Bin;
  LumoraQSStream::VSpareLists SpareLists;
  // The container Prepare readied, and the room it was readied for.
  std::shared_ptr<LumoraQSStream::VDynamicObjects> Prepared;
  uint64_t PreparedRoom = 0;
};
