// ILumoraQSStreamClientCallback: the events of one stream client connection.
#pragma once

#include <memory>

#include "streamio/dynamic_objects.h"
#include "streamio/static_objects.h"

// Every operation has an empty default body; an implementer overrides what
// it needs. Containers arrive as shared pointers to const: a delivered
// container is never modified again by anyone, so the receiving thread may
// still read it for the next packet's carry-over while its receiver reads
// it on another thread.
class ILumoraQSStreamClientCallback {
 public:
  // Once, on the thread that called Connect, before the receiving thread
  // exists.
  virtual void OnConnected() {}
  // On the receiving thread, after a packet that held static objects.
  virtual void OnStaticObjects(std::shared_ptr<const LumoraQSStream::VStaticObjects> objects) {
    (void)objects;
  }
  // On the receiving thread, after a packet that held dynamic objects;
  // always after OnStaticObjects of the same packet.
  virtual void OnDynamicObjects(std::shared_ptr<const LumoraQSStream::VDynamicObjects> objects) {
    (void)objects;
  }
  // Once per connection: on the thread that called Connect when no
  // connection could be made, otherwise on the receiving thread when its
  // loop has ended.
  virtual void OnDisconnected() {}
  virtual ~ILumoraQSStreamClientCallback() = default;
};
