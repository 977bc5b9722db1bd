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

  // The inner lists given up by the containers taken, for
  // DecodeDynamicObject to hand to the elements it appends.
  LumoraQSStream::VSpareLists& Spare() { return SpareLists; }

  // Frees every container and list kept (the start of a connection).
  void Clear();

 private:
  std::shared_ptr<VDynamicObjectsBin> Bin;
  LumoraQSStream::VSpareLists SpareLists;
};
